// Triggers and their notifications on a port over a pseudo-terminal: shared reads of one avail
// notification, data, timer and status triggers, the handler kinds, deferred deregistration and
// closing from inside a notification.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <stdexcept>

#include "core_test_util.h"
#include "serial/event_timer.h"
#include "serial/exception_report.h"
#include "serial/time_base.h"
#include "support/recorder_files.h"
#include "support/temp_dir.h"

namespace brimwell::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class TriggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(p.openResult, 0);
        raw = p.port.get();
    }
    // Not through p.port: consumers may still run while StopPortOnExit destroys the port.
    serial::ThreadEngine& port() { return *raw; }
    std::string readBlock(uint32_t n) {
        std::string s(n, '\0');
        EXPECT_EQ(port().getBlock(s.data(), n), static_cast<int32_t>(n));
        return s;
    }
    PortOnPty p;
    serial::ThreadEngine* raw = nullptr;
};

// ---- Avail notifications and shared reads ---------------------------------------------------

TEST_F(TriggerTest, AllConsumersOfOneAvailNotificationSeeTheSameBytes) {
    Consumer a, b;
    std::string readByA, readByB;
    a.action = [&](const serial::TriggerMessage& m) {
        if (m.msg == serial::kTriggerAvail) readByA = readBlock(40);
    };
    b.action = [&](const serial::TriggerMessage& m) {
        if (m.msg == serial::kTriggerAvail) readByB = readBlock(m.wParam);
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&a), 0);
    ASSERT_EQ(port().registerEventTriggerHandler(&b), 0);
    port().changeLengthTrigger(100);
    ASSERT_EQ(port().initTracing(1000), 0);

    const std::string data = patternBytes(100);
    ASSERT_TRUE(p.pty.write(data));
    ASSERT_TRUE(a.waitCount(serial::kTriggerAvail, 1));
    ASSERT_TRUE(b.waitCount(serial::kTriggerAvail, 1));
    EXPECT_EQ(a.seen()[0].wParam, 100u);
    EXPECT_EQ(a.seen()[0].dispatcherHandle(), port().handle());
    EXPECT_EQ(readByA, data.substr(0, 40));
    EXPECT_EQ(readByB, data);
    // The consumer that read the most decides: all 100 are gone, and nothing is announced again.
    EXPECT_TRUE(waitUntil([&] { return port().inBuffUsed() == 0; }));
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(a.count(serial::kTriggerAvail), 1u);
    // Every read is traced, so bytes both consumers took are there twice.
    testing::TempDir dir;
    ASSERT_EQ(port().dumpTrace(dir.file("t"), true, true), 0);
    EXPECT_EQ(readRecorded(dir.read("t"), true, false).at(0).second, data.substr(0, 40) + data);
}

TEST_F(TriggerTest, UnreadBytesStayAndAreAnnouncedAgainWithNewOnes) {
    Consumer c;
    std::deque<uint32_t> toRead{60, 41};
    std::string got;
    c.action = [&](const serial::TriggerMessage& m) {
        if (m.msg != serial::kTriggerAvail || toRead.empty()) return;
        got += readBlock(toRead.front());
        toRead.pop_front();
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    port().changeLengthTrigger(100);

    const std::string data = patternBytes(100);
    ASSERT_TRUE(p.pty.write(data));
    ASSERT_TRUE(c.waitCount(serial::kTriggerAvail, 1));
    EXPECT_TRUE(waitUntil([&] { return port().inBuffUsed() == 40; }));
    port().changeLengthTrigger(1);
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(c.count(serial::kTriggerAvail), 1u) << "no new announcement without new bytes";
    EXPECT_EQ(port().inBuffUsed(), 40u);

    ASSERT_TRUE(p.pty.write("!"));
    ASSERT_TRUE(c.waitCount(serial::kTriggerAvail, 2));
    EXPECT_EQ(c.seen()[1].wParam, 41u);
    EXPECT_EQ(got, data + "!");
    EXPECT_TRUE(waitUntil([&] { return port().inBuffUsed() == 0; }));
}

TEST_F(TriggerTest, AHandlerThatJoinsLaterHearsOfBytesAlreadyWaiting) {
    // Bytes that came while nobody listened are announced to a newcomer without new bytes.
    port().changeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("more"));
    ASSERT_TRUE(waitUntil([&] { return port().inBuffUsed() == 4; }));
    ASSERT_TRUE(p.settle());

    Consumer c;
    std::string got;
    c.action = [&](const serial::TriggerMessage& m) {
        if (m.msg == serial::kTriggerAvail) got += readBlock(m.wParam);
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    ASSERT_TRUE(c.waitCount(serial::kTriggerAvail, 1));
    EXPECT_EQ(c.seen()[0].wParam, 4u);
    EXPECT_EQ(got, "more");
    EXPECT_TRUE(waitUntil([&] { return port().inBuffUsed() == 0; }));
}

TEST_F(TriggerTest, NobodyListeningConsumesNothing) {
    port().changeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("0123456789"));
    ASSERT_TRUE(waitUntil([&] { return port().inBuffUsed() == 10; }));
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(port().inBuffUsed(), 10u);
}

TEST_F(TriggerTest, ReadsOutsideTheBufferFailDuringANotification) {
    Consumer c;
    int32_t tooMany = 0, peekResult = 0;
    bool readyAfterAll = true;
    uint32_t usedAfterAll = 99;
    c.action = [&](const serial::TriggerMessage& m) {
        if (m.msg != serial::kTriggerAvail) return;
        char buf[32];
        tooMany = port().getBlock(buf, m.wParam + 1);
        peekResult = port().peekBlock(buf, m.wParam);
        port().getBlock(buf, m.wParam);
        readyAfterAll = port().charReady();
        usedAfterAll = port().inBuffUsed();
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    port().changeLengthTrigger(5);
    ASSERT_TRUE(p.pty.write("abcde"));
    ASSERT_TRUE(c.waitCount(serial::kTriggerAvail, 1));
    EXPECT_EQ(tooMany, serial::result::kBufferIsEmpty);
    EXPECT_EQ(peekResult, 5);
    EXPECT_FALSE(readyAfterAll);
    EXPECT_EQ(usedAfterAll, 0u);
}

// ---- Data triggers --------------------------------------------------------------------------

TEST_F(TriggerTest, DataTriggerAnnouncesBytesBeforeTheMatchThenTheMatch) {
    Consumer c;
    std::mutex readsLock;
    std::vector<std::string> reads;
    c.action = [&](const serial::TriggerMessage& m) {
        std::string got = readBlock(m.msg == serial::kTriggerAvail ? m.wParam : 0);
        std::lock_guard<std::mutex> g(readsLock);
        reads.push_back(std::move(got));
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    port().changeLengthTrigger(1);
    const int32_t ok = port().addDataTrigger("ok", true);
    ASSERT_GT(ok, 0);
    ASSERT_TRUE(p.pty.write("xxOK"));
    ASSERT_TRUE(c.waitCount(serial::kTriggerData, 1));
    const auto seen = c.seen();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0].msg, serial::kTriggerAvail);
    EXPECT_EQ(seen[0].wParam, 2u);
    {
        std::lock_guard<std::mutex> g(readsLock);
        EXPECT_EQ(reads[0], "xx");
    }
    EXPECT_EQ(seen[1].msg, serial::kTriggerData);
    EXPECT_EQ(seen[1].wParam, static_cast<uint32_t>(ok));
    EXPECT_EQ(seen[1].data(), 2);
}

TEST_F(TriggerTest, DataTriggerFindsOverlappingStarts) {
    Consumer c;
    c.action = [&](const serial::TriggerMessage& m) {
        if (m.msg == serial::kTriggerAvail) readBlock(m.wParam);
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    port().changeLengthTrigger(0);
    const int32_t aab = port().addDataTrigger("aab", false);
    const int32_t upper = port().addDataTrigger("AAB", false);
    ASSERT_TRUE(p.pty.write("aaab"));
    ASSERT_TRUE(c.waitCount(serial::kTriggerData, 1));
    ASSERT_TRUE(p.settle());
    const auto seen = c.seen();
    ASSERT_EQ(c.count(serial::kTriggerData), 1u) << "the case-sensitive AAB must not match";
    EXPECT_EQ(seen.back().wParam, static_cast<uint32_t>(aab));
    EXPECT_NE(aab, upper);
}

TEST_F(TriggerTest, FlushedBytesDoNotCompleteADataTrigger) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    port().changeLengthTrigger(0);
    ASSERT_GT(port().addDataTrigger("XY", false), 0);
    ASSERT_EQ(port().setEventBusy(true), false); // hold the checks while bytes arrive
    ASSERT_TRUE(p.pty.write("X"));
    ASSERT_TRUE(waitUntil([&] { return port().inBuffUsed() == 1; }));
    EXPECT_EQ(port().flushInBuffer(), 0);
    EXPECT_EQ(port().setEventBusy(false), true);
    ASSERT_TRUE(p.pty.write("Y"));
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(c.count(serial::kTriggerData), 0u);
}

// ---- Timer triggers -------------------------------------------------------------------------

TEST_F(TriggerTest, TimerOf18TicksFiresOnceAboutASecondLater) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    const int32_t t = port().addTimerTrigger();
    ASSERT_GT(t, 0);
    const auto start = steady_clock::now();
    ASSERT_EQ(port().setTimerTrigger(t, 18, true), 0);
    EXPECT_GT(port().timerTicksRemaining(t), 16);
    ASSERT_TRUE(c.waitCount(serial::kTriggerTimer, 1, 15000));
    const auto elapsed = steady_clock::now() - start;
    const double scale = serial::Clock::scale();
    EXPECT_GE(elapsed, milliseconds(static_cast<int>((18 - 1) * serial::kTickMs / scale)));
    // Generous: a loaded machine may run the dispatcher thread late, never early.
    EXPECT_LE(elapsed, milliseconds(static_cast<int>(10 * 19 * serial::kTickMs / scale)));
    EXPECT_EQ(c.seen()[0].wParam, static_cast<uint32_t>(t));
    // Time passes on purpose: a timer that fired again would do so within it.
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(c.count(serial::kTriggerTimer), 1u) << "one-shot until set again";
    EXPECT_EQ(port().timerTicksRemaining(t), 0);

    ASSERT_EQ(port().setTimerTrigger(t, 0, true), 0); // 0 keeps the stored length
    EXPECT_GT(port().timerTicksRemaining(t), 16);
    ASSERT_EQ(port().extendTimer(t, 100), 0);
    EXPECT_GT(port().timerTicksRemaining(t), 100);
    ASSERT_EQ(port().setTimerTrigger(t, 0, false), 0);
    // Time passes on purpose: a timer that fired again would do so within it.
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(c.count(serial::kTriggerTimer), 1u);
}

// ---- Status triggers ------------------------------------------------------------------------

TEST_F(TriggerTest, OutputUsedKindFiresOnceWhenTheOutputEmpties) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    PtyPeer peer(p.pty);
    peer.setReading(false);
    const std::string sent = backUpOutput(port());
    const int32_t used = port().addStatusTrigger(serial::kStatusOutBuffUsed);
    ASSERT_EQ(serial::Dispatcher::classifyStatusTrigger(used), serial::kStatusOutBuffUsed);
    ASSERT_EQ(port().setStatusTrigger(used, 0, true), 0);
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(c.count(serial::kTriggerStatus), 0u);

    peer.setReading(true);
    ASSERT_TRUE(c.waitCount(serial::kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].wParam, static_cast<uint32_t>(used));
    EXPECT_EQ(c.seen()[0].data(), 0);
    EXPECT_EQ(port().putString("more"), 0);
    ASSERT_TRUE(peer.waitReceived(sent.size() + 4, 5000));
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(c.count(serial::kTriggerStatus), 1u) << "one-shot until re-armed";
    ASSERT_EQ(port().setStatusTrigger(used, 0, true), 0);
    ASSERT_TRUE(c.waitCount(serial::kTriggerStatus, 2));
}

TEST_F(TriggerTest, OutputFreeKindReportsTheFreeCount) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    PtyPeer peer(p.pty);
    peer.setReading(false);
    backUpOutput(port());
    const int32_t freeTrigger = port().addStatusTrigger(serial::kStatusOutBuffFree);
    ASSERT_EQ(port().setStatusTrigger(freeTrigger, 3000, true), 0);
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(c.count(serial::kTriggerStatus), 0u);
    peer.setReading(true);
    ASSERT_TRUE(c.waitCount(serial::kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].wParam, static_cast<uint32_t>(freeTrigger));
    EXPECT_GE(c.seen()[0].data(), 3000);
}

TEST_F(TriggerTest, OutputSentKindFiresAfterAPut) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    PtyPeer peer(p.pty);
    const int32_t sent = port().addStatusTrigger(serial::kStatusOutSent);
    ASSERT_EQ(port().setStatusTrigger(sent, 0, true), 0);
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(c.count(serial::kTriggerStatus), 0u);
    ASSERT_EQ(port().putChar('x'), 0);
    ASSERT_TRUE(c.waitCount(serial::kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].wParam, static_cast<uint32_t>(sent));
    ASSERT_EQ(port().putChar('y'), 0);
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(c.count(serial::kTriggerStatus), 1u);
}

TEST_F(TriggerTest, ModemKindDoesNotFireWhileLinesStayPut) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    const int32_t modem = port().addStatusTrigger(serial::kStatusModem);
    ASSERT_EQ(port().setStatusTrigger(modem, serial::kModemCtsOn | serial::kModemDcdOn, true), 0);
    const int32_t line = port().addStatusTrigger(serial::kStatusLine);
    ASSERT_EQ(port().setStatusTrigger(line, 1 | 2 | 4 | 8, true), 0);
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(c.count(serial::kTriggerStatus), 0u);
}

// ---- Trigger bookkeeping --------------------------------------------------------------------

TEST_F(TriggerTest, HandlesAndFailures) {
    const int32_t t1 = port().addTimerTrigger();
    const int32_t d1 = port().addDataTrigger("abc", false);
    const int32_t s1 = port().addStatusTrigger(serial::kStatusOutSent);
    EXPECT_EQ(t1, 8);
    EXPECT_EQ(d1, 16);
    EXPECT_EQ(s1, 24 + serial::kStatusOutSent);
    EXPECT_EQ(port().addStatusTrigger(6), serial::result::kBadArgument);
    EXPECT_EQ(port().addDataTrigger(std::string(22, 'x'), false), serial::result::kTriggerTooLong);
    EXPECT_EQ(port().addDataTriggerLen("0123456789012345678901", false, 22), serial::result::kTriggerTooLong);
    EXPECT_GT(port().addDataTrigger(std::string(21, 'x'), false), 0);
    EXPECT_EQ(port().setTimerTrigger(s1, 5, true), serial::result::kBadTriggerHandle);
    EXPECT_EQ(port().extendTimer(d1, 5), serial::result::kBadTriggerHandle);
    EXPECT_EQ(port().timerTicksRemaining(999), serial::result::kBadTriggerHandle);
    EXPECT_EQ(port().setStatusTrigger(t1, 0, true), serial::result::kBadTriggerHandle);
    EXPECT_EQ(port().removeTrigger(d1), 0);
    EXPECT_EQ(port().removeTrigger(d1), serial::result::kBadTriggerHandle);

    port().changeLengthTrigger(7);
    EXPECT_EQ(port().removeTrigger(serial::kAvailTriggerHandle), 0);
    EXPECT_EQ(port().availTriggerLength(), 0u);

    port().changeLengthTrigger(3);
    serial::TriggerSave save;
    port().saveTriggers(save);
    EXPECT_EQ(save.availLength, 3u);
    EXPECT_EQ(save.timers.size(), 1u);
    EXPECT_EQ(save.statuses.size(), 1u);
    EXPECT_EQ(save.dataTriggers.size(), 1u);
    port().removeAllTriggers();
    EXPECT_EQ(port().availTriggerLength(), 0u);
    EXPECT_EQ(port().removeTrigger(t1), serial::result::kBadTriggerHandle);
    port().restoreTriggers(save);
    EXPECT_EQ(port().availTriggerLength(), 3u);
    EXPECT_EQ(port().setTimerTrigger(t1, 5, false), 0);
    const int32_t fresh = port().addTimerTrigger();
    EXPECT_GT(fresh, s1) << "a new handle never repeats a restored one";
    serial::Dispatcher::clearSaveBuffers(save);
    EXPECT_TRUE(save.timers.empty() && save.dataTriggers.empty() && save.statuses.empty());
}

TEST_F(TriggerTest, HandlesAreReusedAfterTheCounterRunsOut) {
    for (int i = 1; i < 4096; ++i)
        ASSERT_EQ(port().addTimerTrigger(), i * 8);
    // The counter is spent; the smallest free multiple of 8 up to 4096 is used.
    EXPECT_EQ(port().removeTrigger(40), 0);
    EXPECT_EQ(port().addTimerTrigger(), 40);
    EXPECT_EQ(port().addTimerTrigger(), serial::result::kNoMoreTriggers);
}

// ---- Handler kinds --------------------------------------------------------------------------

class RecordingWindow : public serial::WindowHandler {
  public:
    bool sendTriggerMessage(const serial::TriggerMessage& message) override {
        std::lock_guard<std::mutex> g(lock);
        messages.push_back(message);
        return true;
    }
    size_t count() {
        std::lock_guard<std::mutex> g(lock);
        return messages.size();
    }
    std::mutex lock;
    std::vector<serial::TriggerMessage> messages;
};

std::atomic<int> procCalls{0};
void countingProc(uint32_t msg, uint32_t, int32_t) {
    if (msg == serial::kTriggerAvail) ++procCalls;
}

TEST_F(TriggerTest, WindowHandlersNeedThePortFlagOrASecondWindow) {
    RecordingWindow own, other;
    // Told of the first byte in the same round as the windows would be: once it has been, that
    // round is over for them, however late the dispatcher ran.
    Consumer witness;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerWndTriggerHandler(&own), 0);
    ASSERT_EQ(port().registerEventTriggerHandler(&witness), 0);
    port().updateHandlerFlags(serial::HandlerFlagUpdate::DisablePort);
    port().changeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("a"));
    ASSERT_TRUE(witness.waitCount(serial::kTriggerAvail, 1));
    EXPECT_EQ(own.count(), 0u) << "the component's own window alone does not count";
    ASSERT_EQ(port().deregisterEventTriggerHandler(&witness), 0);

    port().updateHandlerFlags(serial::HandlerFlagUpdate::EnablePort);
    ASSERT_TRUE(p.pty.write("b"));
    ASSERT_TRUE(waitUntil([&] { return own.count() == 1; }));
    port().updateHandlerFlags(serial::HandlerFlagUpdate::DisablePort);
    ASSERT_EQ(port().registerWndTriggerHandler(&other), 0);
    ASSERT_TRUE(p.pty.write("c"));
    ASSERT_TRUE(waitUntil([&] { return own.count() == 2 && other.count() == 1; }));
    EXPECT_EQ(own.messages.back().wParam, 3u) << "nobody read: all three are announced";
    EXPECT_EQ(port().deregisterWndTriggerHandler(&other), 0);
    EXPECT_EQ(port().deregisterWndTriggerHandler(&other), serial::result::kBadArgument);
}

TEST_F(TriggerTest, ProcedureAndEventHandlersAreCalledInOrder) {
    procCalls = 0;
    Consumer first, second;
    std::vector<int> order;
    std::mutex orderLock;
    first.action = [&](const serial::TriggerMessage&) {
        std::lock_guard<std::mutex> g(orderLock);
        order.push_back(1);
    };
    second.action = [&](const serial::TriggerMessage&) {
        std::lock_guard<std::mutex> g(orderLock);
        order.push_back(2);
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerProcTriggerHandler(&countingProc), 0);
    ASSERT_EQ(port().registerEventTriggerHandler(&first), 0);
    ASSERT_EQ(port().registerEventTriggerHandler(&second), 0);
    port().changeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("z"));
    ASSERT_TRUE(second.waitCount(serial::kTriggerAvail, 1));
    EXPECT_TRUE(waitUntil([&] { return procCalls.load() == 1; }));
    {
        std::lock_guard<std::mutex> g(orderLock);
        EXPECT_EQ(order, (std::vector<int>{1, 2}));
    }
    EXPECT_EQ(port().deregisterProcTriggerHandler(&countingProc), 0);
    EXPECT_EQ(port().deregisterProcTriggerHandler(&countingProc), serial::result::kBadArgument);
}

TEST_F(TriggerTest, SynchronisedHandlersRunOnTheMainThread) {
    // A stand-in for the UI thread: runs posted calls one at a time.
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> queue;
    bool quit = false;
    std::thread mainThread([&] {
        std::unique_lock<std::mutex> g(m);
        while (!quit) {
            cv.wait(g, [&] { return quit || !queue.empty(); });
            while (!queue.empty()) {
                auto call = std::move(queue.front());
                queue.pop_front();
                g.unlock();
                call();
                g.lock();
            }
        }
    });
    struct Finish {
        std::function<void()> run;
        ~Finish() { run(); }
    } finish{[&] {
        serial::Dispatcher::setMainThreadSynchronizer({});
        {
            std::lock_guard<std::mutex> g(m);
            quit = true;
        }
        cv.notify_all();
        mainThread.join();
    }};
    serial::Dispatcher::setMainThreadSynchronizer([&](const std::function<void()>& call) {
        std::promise<void> done;
        {
            std::lock_guard<std::mutex> g(m);
            queue.push_back([&] {
                call();
                done.set_value();
            });
        }
        cv.notify_all();
        done.get_future().wait();
    });

    Consumer c;
    std::thread::id ranOn;
    c.action = [&](const serial::TriggerMessage&) { ranOn = std::this_thread::get_id(); };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerSyncEventTriggerHandler(&c), 0);
    port().changeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("s"));
    ASSERT_TRUE(c.waitCount(serial::kTriggerAvail, 1));
    EXPECT_EQ(ranOn, mainThread.get_id());
}

TEST_F(TriggerTest, DeregisteringInsideANotificationTakesEffectAfterIt) {
    Consumer a, b, c;
    a.action = [&](const serial::TriggerMessage&) {
        if (a.count(serial::kTriggerAvail) == 0) {
            EXPECT_EQ(port().deregisterEventTriggerHandler(&b), 0);
            EXPECT_EQ(port().deregisterEventTriggerHandler(&b), serial::result::kBadArgument);
        }
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&a), 0);
    ASSERT_EQ(port().registerEventTriggerHandler(&b), 0);
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    port().changeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("1"));
    ASSERT_TRUE(c.waitCount(serial::kTriggerAvail, 1));
    EXPECT_EQ(b.count(serial::kTriggerAvail), 0u) << "a marked handler is skipped";
    ASSERT_TRUE(p.pty.write("2"));
    ASSERT_TRUE(c.waitCount(serial::kTriggerAvail, 2));
    EXPECT_EQ(a.count(serial::kTriggerAvail), 2u);
    EXPECT_EQ(b.count(serial::kTriggerAvail), 0u);
}

TEST_F(TriggerTest, DeregisteringFromAnotherThreadWaitsForTheCallInProgress) {
    std::atomic<bool> entered{false}, left{false};
    auto handler = std::make_unique<Consumer>();
    handler->action = [&](const serial::TriggerMessage&) {
        entered = true;
        std::this_thread::sleep_for(milliseconds(200));
        left = true;
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(handler.get()), 0);
    port().changeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("1"));
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
    EXPECT_EQ(port().deregisterEventTriggerHandler(handler.get()), 0);
    EXPECT_TRUE(left.load()) << "deregistration returned while the handler still ran";
    handler.reset(); // its owner may free it at once
    ASSERT_TRUE(p.pty.write("2"));
    ASSERT_TRUE(p.settle());
}

TEST_F(TriggerTest, ClosingFromInsideANotificationIsCompletedByTheDispatcherThread) {
    Consumer c;
    bool busyDuring = false;
    c.action = [&](const serial::TriggerMessage&) {
        busyDuring = port().eventBusy();
        port().donePort();
    };
    Consumer later;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    ASSERT_EQ(port().registerEventTriggerHandler(&later), 0);
    port().changeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("bye"));
    ASSERT_TRUE(c.waitCount(serial::kTriggerAvail, 1));
    EXPECT_TRUE(busyDuring);
    EXPECT_FALSE(port().isOpen());
    EXPECT_TRUE(waitUntil([&] { return port().runningThreads() == 0; }));
    EXPECT_FALSE(port().eventBusy());
    EXPECT_EQ(later.count(serial::kTriggerAvail), 0u) << "delivery stops once the close is requested";
    // The device is free again for a new dispatcher.
    TermiosPort again;
    EXPECT_EQ(again.initPort(p.pty.slavePath(), 38400, 0, 8, 1, 4096, 4096, 0), 0);
}

TEST_F(TriggerTest, BusyFlagHoldsNotificationsButNotReception) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&c), 0);
    port().changeLengthTrigger(1);
    EXPECT_FALSE(port().setEventBusy(true));
    ASSERT_TRUE(p.pty.write("held"));
    ASSERT_TRUE(waitUntil([&] { return port().inBuffUsed() == 4; }));
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(c.count(serial::kTriggerAvail), 0u);
    EXPECT_TRUE(port().setEventBusy(false));
    ASSERT_TRUE(c.waitCount(serial::kTriggerAvail, 1));
    EXPECT_EQ(c.seen()[0].wParam, 4u);
}

TEST_F(TriggerTest, AThrowingConsumerIsReportedAndThePortGoesOn) {
    std::mutex reportsLock;
    std::vector<std::string> reports;
    serial::setExceptionReporter([&](const std::string& what, std::exception_ptr e) {
        std::lock_guard<std::mutex> g(reportsLock);
        reports.push_back(what + ": " + serial::exceptionText(e));
    });
    struct ResetReporter {
        ~ResetReporter() { serial::setExceptionReporter({}); }
    } resetReporter;
    Consumer thrower, after;
    thrower.action = [](const serial::TriggerMessage&) { throw std::runtime_error("consumer failed"); };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().registerEventTriggerHandler(&thrower), 0);
    ASSERT_EQ(port().registerEventTriggerHandler(&after), 0);
    port().changeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("1"));
    ASSERT_TRUE(after.waitCount(serial::kTriggerAvail, 1));
    ASSERT_TRUE(p.pty.write("2"));
    ASSERT_TRUE(after.waitCount(serial::kTriggerAvail, 2));
    std::lock_guard<std::mutex> g(reportsLock);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0], "exception in a trigger handler: consumer failed");
}

// ---- Port list ------------------------------------------------------------------------------

TEST(PortListTest, HandlesAreSlotsOfTheList) {
    auto a = std::make_unique<TermiosPort>();
    auto b = std::make_unique<TermiosPort>();
    const int32_t ha = a->handle(), hb = b->handle();
    EXPECT_NE(ha, hb);
    serial::Dispatcher::lockPortList();
    EXPECT_EQ(serial::Dispatcher::findDispatcher(ha), a.get());
    EXPECT_EQ(serial::Dispatcher::findDispatcher(hb), b.get());
    EXPECT_EQ(serial::Dispatcher::findDispatcher(-1), nullptr);
    serial::Dispatcher::unlockPortList();
    a.reset();
    serial::Dispatcher::lockPortList();
    EXPECT_EQ(serial::Dispatcher::findDispatcher(ha), nullptr);
    serial::Dispatcher::unlockPortList();
    auto c = std::make_unique<TermiosPort>();
    EXPECT_EQ(c->handle(), ha) << "a new dispatcher takes the first empty slot";
    b.reset();
    c.reset();
    serial::Dispatcher::lockPortList();
    EXPECT_EQ(serial::Dispatcher::findDispatcher(hb), nullptr);
    serial::Dispatcher::unlockPortList();
}

} // namespace
} // namespace brimwell::test
