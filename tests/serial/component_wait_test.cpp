// waitForString and its matcher: what is found, what is consumed, time-outs in ticks, and that
// notifications hold off while it runs.
#include <QTimer>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "component_test_support.h"

namespace brimwell::serial {
namespace {

using testing::PortOnPty;
using testing::pumpFor;
using testing::pumpUntil;
using SteadyClock = std::chrono::steady_clock;

struct WaitCase {
    const char* input;
    const char* wanted;
    bool ignoreCase;
    bool found;
    const char* left; // bytes still waiting afterwards
};

TEST(WaitForString, FindsConsumesAndLeavesTheRest) {
    const WaitCase cases[] = {
        {"xOOK", "OK", false, true, ""},        {"OK!rest", "OK", false, true, "!rest"},
        {"aaab", "aab", false, false, ""}, // the restart looks at the first character only
        {"xaab", "aab", false, true, ""},       {"prompt> tail", ">", false, true, " tail"},
        {"ok", "OK", true, true, ""},           {"ok", "OK", false, false, ""},
        {"LoAdEr>", "loader>", true, true, ""}, {"#>#", "#>", false, true, "#"},
    };
    PortOnPty p(41);
    p.port.setOpen(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " / " + c.wanted + (c.ignoreCase ? " ignoring case" : ""));
        ASSERT_EQ(p.port.getInBuffUsed(), 0);
        ASSERT_TRUE(p.pty.write(c.input));
        ASSERT_TRUE(p.waitForInput(uint16_t(std::string(c.input).size())));
        ASSERT_EQ(p.port.getInBuffUsed(), std::string(c.input).size());
        std::string seen;
        p.port.setOnWaitChar([&](ComPort*, char ch) { seen += ch; });
        EXPECT_EQ(p.port.waitForString(c.wanted, 4, true, c.ignoreCase), c.found);
        EXPECT_EQ(p.takeAll(), c.left);
        // The wait-character handler saw exactly what was consumed.
        EXPECT_EQ(seen + c.left, c.input)
            << "bytes read from the device: " << p.port.currentDispatcher()->bytesReceived();
    }
}

TEST(WaitForString, EmptyStringReturnsAtOnceWithoutReading) {
    PortOnPty p(42);
    p.port.setOpen(true);
    ASSERT_TRUE(p.pty.write("abc"));
    ASSERT_TRUE(p.waitForInput(3));
    EXPECT_TRUE(p.port.waitForString("", 100, true, false));
    EXPECT_EQ(p.takeAll(), "abc");
}

TEST(WaitForString, TimeOutsCountInTicks) {
    PortOnPty p(43);
    p.port.setOpen(true);
    auto timed = [&](int32_t ticks) {
        const auto start = SteadyClock::now();
        EXPECT_FALSE(p.port.waitForString("never", ticks, true, false));
        return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    };
    const double second = timed(18); // 18 ticks of 55 ms
    EXPECT_GE(second, 18 * 55 - 60);
    EXPECT_LE(second, 10 * 18 * 55);
    const double zero = timed(0); // runs until the tick count moves on
    EXPECT_LE(zero, 10 * 2 * 55);
}

TEST(WaitForString, SeesBytesThatArriveDuringTheWait) {
    PortOnPty p(44);
    p.port.setOpen(true);
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        p.pty.write("...>after");
    });
    const auto start = SteadyClock::now();
    const bool found = p.port.waitForString(">", 365, true, false);
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    peer.join();
    EXPECT_TRUE(found);
    EXPECT_LT(ms, 10 * 150); // not at the end of the 20 s wait
    EXPECT_TRUE(p.waitForInput(5));
    EXPECT_EQ(p.takeAll(), "after");
}

// A wait kept from running past its limit (here by a slow event handler) still examines the
// bytes that had arrived by then, and only those.
TEST(WaitForString, BytesReceivedBeforeALateLookStillCount) {
    PortOnPty p(50);
    p.port.setOpen(true);
    for (const auto& [input, found, left] : {std::tuple{"\r\n#tail", true, "tail"}, {"\r\nx", false, ""}}) {
        ASSERT_TRUE(p.pty.write(input));
        ASSERT_TRUE(p.waitForInput(uint16_t(std::string(input).size())));
        QTimer::singleShot(0, [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
        EXPECT_EQ(p.port.waitForString("#", 1, true, false), found) << input;
        EXPECT_EQ(p.takeAll(), left);
    }
}

TEST(WaitForString, YieldRunsOtherEventsAndWithoutYieldNoneRun) {
    PortOnPty p(45);
    p.port.setOpen(true);
    int timerRuns = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++timerRuns; });
    timer.start(10);
    EXPECT_FALSE(p.port.waitForString("x", 4, true, false));
    EXPECT_GT(timerRuns, 3);
    timerRuns = 0;
    EXPECT_FALSE(p.port.waitForString("x", 4, false, false));
    EXPECT_EQ(timerRuns, 0);
}

TEST(WaitForString, NotificationsHoldOffDuringTheWaitAndResumeAfter) {
    PortOnPty p(46);
    ComPort& port = p.port;
    std::vector<uint16_t> counts;
    std::string taken;
    port.setOnTriggerAvail([&](ComPort* cp, uint16_t count) {
        counts.push_back(count);
        std::string s(count, '\0');
        cp->getBlock(s.data(), count);
        taken += s;
    });
    port.setOpen(true);
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        p.pty.write("abc#def");
    });
    EXPECT_TRUE(port.waitForString("#", 20, true, false));
    peer.join();
    // Nothing was announced while the wait ran, so the wait saw every byte up to the prompt.
    EXPECT_TRUE(counts.empty());
    // Afterwards the rest is announced with the next arrival.
    ASSERT_TRUE(p.pty.write("g"));
    ASSERT_TRUE(pumpUntil([&] { return taken.size() >= 4; }));
    EXPECT_EQ(taken, "defg");
}

TEST(WaitForString, PrepareWaitHoldsNotificationsUntilTheWaitEnds) {
    PortOnPty p(47);
    ComPort& port = p.port;
    int calls = 0;
    port.setOnTriggerAvail([&](ComPort*, uint16_t) { ++calls; });
    port.setOpen(true);
    port.prepareWait();
    ASSERT_TRUE(p.pty.write("xy>"));
    ASSERT_TRUE(p.waitForInput(3));
    pumpFor(120);
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(port.waitForString(">", 10, true, false));
    EXPECT_FALSE(port.currentDispatcher()->eventBusy());
    ASSERT_TRUE(p.pty.write("z"));
    EXPECT_TRUE(pumpUntil([&] { return calls > 0; }));
}

TEST(WaitForString, ClosingThePortFromAnEventDuringTheWaitEndsIt) {
    PortOnPty p(48);
    ComPort& port = p.port;
    port.setOpen(true);
    QTimer::singleShot(50, [&] { port.setOpen(false); });
    const auto start = SteadyClock::now();
    EXPECT_FALSE(port.waitForString("never", 365, true, false));
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    EXPECT_LT(ms, 10 * 500); // ended by the close, not by the 20 s time-out
    EXPECT_TRUE(pumpUntil([&] { return port.portState() == PortState::Closed; }));
}

TEST(SendBreak, ClosingDuringAYieldingBreakEndsItSafely) {
    PortOnPty p(30);
    ComPort& port = p.port;
    port.setOpen(true);
    const auto start = SteadyClock::now();
    port.sendBreak(4, true); // not closed: the whole break
    const double whole = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    EXPECT_GE(whole, 3 * 55);
    QTimer::singleShot(30, [&] { port.setOpen(false); });
    const auto second = SteadyClock::now();
    port.sendBreak(365, true);
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - second).count();
    EXPECT_LT(ms, 10 * 500); // ended by the close, not after the whole 20 s break
    EXPECT_TRUE(pumpUntil([&] { return port.portState() == PortState::Closed; }));
    EXPECT_EQ(port.currentDispatcher(), nullptr);
}

TEST(CheckForString, StepsTheMatcher) {
    ComPort port;
    struct Step {
        char c;
        bool result;
        uint8_t count;
    };
    const Step steps[] = {{'x', false, 0}, {'O', false, 1}, {'O', false, 1}, {'K', true, 0},
                          {'a', false, 0}, {'O', false, 1}, {'k', false, 0}};
    uint8_t m = 0;
    for (const auto& s : steps) {
        EXPECT_EQ(port.checkForString(m, s.c, "OK", false), s.result) << s.c;
        EXPECT_EQ(m, s.count) << s.c;
    }
    m = 1;
    EXPECT_TRUE(port.checkForString(m, 'k', "OK", true));
    // A string longer than the 8-bit count can hold is never completed.
    const std::string longText(300, 'a');
    m = 0;
    bool any = false;
    for (int i = 0; i < 600; ++i)
        any = any || port.checkForString(m, 'a', longText, false);
    EXPECT_FALSE(any);
}

TEST(WaitForMultiString, ReturnsTheAlternativeFound) {
    PortOnPty p(49);
    p.port.setOpen(true);
    ASSERT_TRUE(p.pty.write("..ERR.."));
    ASSERT_TRUE(p.waitForInput(7));
    EXPECT_EQ(p.port.waitForMultiString("OK|ERR", 4, true, false, '|'), 2);
    EXPECT_EQ(p.takeAll(), "..");
    EXPECT_EQ(p.port.waitForMultiString("OK|ERR", 2, true, false, '|'), 0);
}

} // namespace
} // namespace brimwell::serial
