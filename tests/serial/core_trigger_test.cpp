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
    TQuavTermiosDispatcher& port() { return *raw; }
    std::string readBlock(uint32_t n) {
        std::string s(n, '\0');
        EXPECT_EQ(port().GetBlock(s.data(), n), static_cast<int32_t>(n));
        return s;
    }
    PortOnPty p;
    TQuavTermiosDispatcher* raw = nullptr;
};

// ---- Avail notifications and shared reads ---------------------------------------------------

TEST_F(TriggerTest, AllConsumersOfOneAvailNotificationSeeTheSameBytes) {
    Consumer a, b;
    std::string readByA, readByB;
    a.action = [&](const TTriggerMessage& m) {
        if (m.Msg == kTriggerAvail) readByA = readBlock(40);
    };
    b.action = [&](const TTriggerMessage& m) {
        if (m.Msg == kTriggerAvail) readByB = readBlock(m.WParam);
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&a), 0);
    ASSERT_EQ(port().RegisterEventTriggerHandler(&b), 0);
    port().ChangeLengthTrigger(100);
    ASSERT_EQ(port().InitTracing(1000), 0);

    const std::string data = patternBytes(100);
    ASSERT_TRUE(p.pty.write(data));
    ASSERT_TRUE(a.waitCount(kTriggerAvail, 1));
    ASSERT_TRUE(b.waitCount(kTriggerAvail, 1));
    EXPECT_EQ(a.seen()[0].WParam, 100u);
    EXPECT_EQ(a.seen()[0].DispatcherHandle(), port().Handle());
    EXPECT_EQ(readByA, data.substr(0, 40));
    EXPECT_EQ(readByB, data);
    // The consumer that read the most decides: all 100 are gone, and nothing is announced again.
    EXPECT_TRUE(waitFor([&] { return port().InBuffUsed() == 0; }));
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(a.count(kTriggerAvail), 1u);
    // Every read is traced, so bytes both consumers took are there twice.
    testing::TempDir dir;
    ASSERT_EQ(port().DumpTrace(dir.file("t"), true, true), 0);
    EXPECT_EQ(readRecorded(dir.read("t"), true, false).at(0).second, data.substr(0, 40) + data);
}

TEST_F(TriggerTest, UnreadBytesStayAndAreAnnouncedAgainWithNewOnes) {
    Consumer c;
    std::deque<uint32_t> toRead{60, 41};
    std::string got;
    c.action = [&](const TTriggerMessage& m) {
        if (m.Msg != kTriggerAvail || toRead.empty()) return;
        got += readBlock(toRead.front());
        toRead.pop_front();
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    port().ChangeLengthTrigger(100);

    const std::string data = patternBytes(100);
    ASSERT_TRUE(p.pty.write(data));
    ASSERT_TRUE(c.waitCount(kTriggerAvail, 1));
    EXPECT_TRUE(waitFor([&] { return port().InBuffUsed() == 40; }));
    port().ChangeLengthTrigger(1);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(c.count(kTriggerAvail), 1u) << "no new announcement without new bytes";
    EXPECT_EQ(port().InBuffUsed(), 40u);

    ASSERT_TRUE(p.pty.write("!"));
    ASSERT_TRUE(c.waitCount(kTriggerAvail, 2));
    EXPECT_EQ(c.seen()[1].WParam, 41u);
    EXPECT_EQ(got, data + "!");
    EXPECT_TRUE(waitFor([&] { return port().InBuffUsed() == 0; }));
}

TEST_F(TriggerTest, AHandlerThatJoinsLaterHearsOfBytesAlreadyWaiting) {
    // Bytes that came while nobody listened are announced to a newcomer without new bytes.
    port().ChangeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("more"));
    ASSERT_TRUE(waitFor([&] { return port().InBuffUsed() == 4; }));
    std::this_thread::sleep_for(milliseconds(120));

    Consumer c;
    std::string got;
    c.action = [&](const TTriggerMessage& m) {
        if (m.Msg == kTriggerAvail) got += readBlock(m.WParam);
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    ASSERT_TRUE(c.waitCount(kTriggerAvail, 1));
    EXPECT_EQ(c.seen()[0].WParam, 4u);
    EXPECT_EQ(got, "more");
    EXPECT_TRUE(waitFor([&] { return port().InBuffUsed() == 0; }));
}

TEST_F(TriggerTest, NobodyListeningConsumesNothing) {
    port().ChangeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("0123456789"));
    ASSERT_TRUE(waitFor([&] { return port().InBuffUsed() == 10; }));
    std::this_thread::sleep_for(milliseconds(120));
    EXPECT_EQ(port().InBuffUsed(), 10u);
}

TEST_F(TriggerTest, ReadsOutsideTheBufferFailDuringANotification) {
    Consumer c;
    int32_t tooMany = 0, peekResult = 0;
    bool readyAfterAll = true;
    uint32_t usedAfterAll = 99;
    c.action = [&](const TTriggerMessage& m) {
        if (m.Msg != kTriggerAvail) return;
        char buf[32];
        tooMany = port().GetBlock(buf, m.WParam + 1);
        peekResult = port().PeekBlock(buf, m.WParam);
        port().GetBlock(buf, m.WParam);
        readyAfterAll = port().CharReady();
        usedAfterAll = port().InBuffUsed();
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    port().ChangeLengthTrigger(5);
    ASSERT_TRUE(p.pty.write("abcde"));
    ASSERT_TRUE(c.waitCount(kTriggerAvail, 1));
    EXPECT_EQ(tooMany, secBufferIsEmpty);
    EXPECT_EQ(peekResult, 5);
    EXPECT_FALSE(readyAfterAll);
    EXPECT_EQ(usedAfterAll, 0u);
}

// ---- Data triggers --------------------------------------------------------------------------

TEST_F(TriggerTest, DataTriggerAnnouncesBytesBeforeTheMatchThenTheMatch) {
    Consumer c;
    std::mutex readsLock;
    std::vector<std::string> reads;
    c.action = [&](const TTriggerMessage& m) {
        std::string got = readBlock(m.Msg == kTriggerAvail ? m.WParam : 0);
        std::lock_guard<std::mutex> g(readsLock);
        reads.push_back(std::move(got));
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    port().ChangeLengthTrigger(1);
    const int32_t ok = port().AddDataTrigger("ok", true);
    ASSERT_GT(ok, 0);
    ASSERT_TRUE(p.pty.write("xxOK"));
    ASSERT_TRUE(c.waitCount(kTriggerData, 1));
    const auto seen = c.seen();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0].Msg, kTriggerAvail);
    EXPECT_EQ(seen[0].WParam, 2u);
    {
        std::lock_guard<std::mutex> g(readsLock);
        EXPECT_EQ(reads[0], "xx");
    }
    EXPECT_EQ(seen[1].Msg, kTriggerData);
    EXPECT_EQ(seen[1].WParam, static_cast<uint32_t>(ok));
    EXPECT_EQ(seen[1].Data(), 2);
}

TEST_F(TriggerTest, DataTriggerFindsOverlappingStarts) {
    Consumer c;
    c.action = [&](const TTriggerMessage& m) {
        if (m.Msg == kTriggerAvail) readBlock(m.WParam);
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    port().ChangeLengthTrigger(0);
    const int32_t aab = port().AddDataTrigger("aab", false);
    const int32_t upper = port().AddDataTrigger("AAB", false);
    ASSERT_TRUE(p.pty.write("aaab"));
    ASSERT_TRUE(c.waitCount(kTriggerData, 1));
    std::this_thread::sleep_for(milliseconds(100));
    const auto seen = c.seen();
    ASSERT_EQ(c.count(kTriggerData), 1u) << "the case-sensitive AAB must not match";
    EXPECT_EQ(seen.back().WParam, static_cast<uint32_t>(aab));
    EXPECT_NE(aab, upper);
}

TEST_F(TriggerTest, FlushedBytesDoNotCompleteADataTrigger) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    port().ChangeLengthTrigger(0);
    ASSERT_GT(port().AddDataTrigger("XY", false), 0);
    ASSERT_EQ(port().SetEventBusy(true), false); // hold the checks while bytes arrive
    ASSERT_TRUE(p.pty.write("X"));
    ASSERT_TRUE(waitFor([&] { return port().InBuffUsed() == 1; }));
    EXPECT_EQ(port().FlushInBuffer(), 0);
    EXPECT_EQ(port().SetEventBusy(false), true);
    ASSERT_TRUE(p.pty.write("Y"));
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(c.count(kTriggerData), 0u);
}

// ---- Timer triggers -------------------------------------------------------------------------

TEST_F(TriggerTest, TimerOf18TicksFiresOnceAboutASecondLater) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    const int32_t t = port().AddTimerTrigger();
    ASSERT_GT(t, 0);
    const auto start = steady_clock::now();
    ASSERT_EQ(port().SetTimerTrigger(t, 18, true), 0);
    EXPECT_GT(port().TimerTicksRemaining(t), 16);
    ASSERT_TRUE(c.waitCount(kTriggerTimer, 1, 15000));
    const auto elapsed = steady_clock::now() - start;
    const double scale = Clock::scale();
    EXPECT_GE(elapsed, milliseconds(static_cast<int>((18 - 1) * kTickMs / scale)));
    // Generous: a loaded machine may run the dispatcher thread late, never early.
    EXPECT_LE(elapsed, milliseconds(static_cast<int>(10 * 19 * kTickMs / scale)));
    EXPECT_EQ(c.seen()[0].WParam, static_cast<uint32_t>(t));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(c.count(kTriggerTimer), 1u) << "one-shot until set again";
    EXPECT_EQ(port().TimerTicksRemaining(t), 0);

    ASSERT_EQ(port().SetTimerTrigger(t, 0, true), 0); // 0 keeps the stored length
    EXPECT_GT(port().TimerTicksRemaining(t), 16);
    ASSERT_EQ(port().ExtendTimer(t, 100), 0);
    EXPECT_GT(port().TimerTicksRemaining(t), 100);
    ASSERT_EQ(port().SetTimerTrigger(t, 0, false), 0);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(c.count(kTriggerTimer), 1u);
}

// ---- Status triggers ------------------------------------------------------------------------

TEST_F(TriggerTest, OutputUsedKindFiresOnceWhenTheOutputEmpties) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    PtyPeer peer(p.pty);
    peer.setReading(false);
    const std::string sent = backUpOutput(port());
    const int32_t used = port().AddStatusTrigger(stOutBuffUsed);
    ASSERT_EQ(TQuavBaseDispatcher::ClassifyStatusTrigger(used), stOutBuffUsed);
    ASSERT_EQ(port().SetStatusTrigger(used, 0, true), 0);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(c.count(kTriggerStatus), 0u);

    peer.setReading(true);
    ASSERT_TRUE(c.waitCount(kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].WParam, static_cast<uint32_t>(used));
    EXPECT_EQ(c.seen()[0].Data(), 0);
    EXPECT_EQ(port().PutString("more"), 0);
    ASSERT_TRUE(peer.waitReceived(sent.size() + 4, 5000));
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(c.count(kTriggerStatus), 1u) << "one-shot until re-armed";
    ASSERT_EQ(port().SetStatusTrigger(used, 0, true), 0);
    ASSERT_TRUE(c.waitCount(kTriggerStatus, 2));
}

TEST_F(TriggerTest, OutputFreeKindReportsTheFreeCount) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    PtyPeer peer(p.pty);
    peer.setReading(false);
    backUpOutput(port());
    const int32_t freeTrigger = port().AddStatusTrigger(stOutBuffFree);
    ASSERT_EQ(port().SetStatusTrigger(freeTrigger, 3000, true), 0);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(c.count(kTriggerStatus), 0u);
    peer.setReading(true);
    ASSERT_TRUE(c.waitCount(kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].WParam, static_cast<uint32_t>(freeTrigger));
    EXPECT_GE(c.seen()[0].Data(), 3000);
}

TEST_F(TriggerTest, OutputSentKindFiresAfterAPut) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    PtyPeer peer(p.pty);
    const int32_t sent = port().AddStatusTrigger(stOutSent);
    ASSERT_EQ(port().SetStatusTrigger(sent, 0, true), 0);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(c.count(kTriggerStatus), 0u);
    ASSERT_EQ(port().PutChar('x'), 0);
    ASSERT_TRUE(c.waitCount(kTriggerStatus, 1));
    EXPECT_EQ(c.seen()[0].WParam, static_cast<uint32_t>(sent));
    ASSERT_EQ(port().PutChar('y'), 0);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(c.count(kTriggerStatus), 1u);
}

TEST_F(TriggerTest, ModemKindDoesNotFireWhileLinesStayPut) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    const int32_t modem = port().AddStatusTrigger(stModem);
    ASSERT_EQ(port().SetStatusTrigger(modem, msCtsOn | msDcdOn, true), 0);
    const int32_t line = port().AddStatusTrigger(stLine);
    ASSERT_EQ(port().SetStatusTrigger(line, 1 | 2 | 4 | 8, true), 0);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(c.count(kTriggerStatus), 0u);
}

// ---- Trigger bookkeeping --------------------------------------------------------------------

TEST_F(TriggerTest, HandlesAndFailures) {
    const int32_t t1 = port().AddTimerTrigger();
    const int32_t d1 = port().AddDataTrigger("abc", false);
    const int32_t s1 = port().AddStatusTrigger(stOutSent);
    EXPECT_EQ(t1, 8);
    EXPECT_EQ(d1, 16);
    EXPECT_EQ(s1, 24 + stOutSent);
    EXPECT_EQ(port().AddStatusTrigger(6), secBadArgument);
    EXPECT_EQ(port().AddDataTrigger(std::string(22, 'x'), false), secTriggerTooLong);
    EXPECT_EQ(port().AddDataTriggerLen("0123456789012345678901", false, 22), secTriggerTooLong);
    EXPECT_GT(port().AddDataTrigger(std::string(21, 'x'), false), 0);
    EXPECT_EQ(port().SetTimerTrigger(s1, 5, true), secBadTriggerHandle);
    EXPECT_EQ(port().ExtendTimer(d1, 5), secBadTriggerHandle);
    EXPECT_EQ(port().TimerTicksRemaining(999), secBadTriggerHandle);
    EXPECT_EQ(port().SetStatusTrigger(t1, 0, true), secBadTriggerHandle);
    EXPECT_EQ(port().RemoveTrigger(d1), 0);
    EXPECT_EQ(port().RemoveTrigger(d1), secBadTriggerHandle);

    port().ChangeLengthTrigger(7);
    EXPECT_EQ(port().RemoveTrigger(kAvailTriggerHandle), 0);
    EXPECT_EQ(port().AvailTriggerLength(), 0u);

    port().ChangeLengthTrigger(3);
    TTriggerSave save;
    port().SaveTriggers(save);
    EXPECT_EQ(save.AvailLength, 3u);
    EXPECT_EQ(save.Timers.size(), 1u);
    EXPECT_EQ(save.Statuses.size(), 1u);
    EXPECT_EQ(save.Datas.size(), 1u);
    port().RemoveAllTriggers();
    EXPECT_EQ(port().AvailTriggerLength(), 0u);
    EXPECT_EQ(port().RemoveTrigger(t1), secBadTriggerHandle);
    port().RestoreTriggers(save);
    EXPECT_EQ(port().AvailTriggerLength(), 3u);
    EXPECT_EQ(port().SetTimerTrigger(t1, 5, false), 0);
    const int32_t fresh = port().AddTimerTrigger();
    EXPECT_GT(fresh, s1) << "a new handle never repeats a restored one";
    TQuavBaseDispatcher::ClearSaveBuffers(save);
    EXPECT_TRUE(save.Timers.empty() && save.Datas.empty() && save.Statuses.empty());
}

TEST_F(TriggerTest, HandlesAreReusedAfterTheCounterRunsOut) {
    for (int i = 1; i < 4096; ++i)
        ASSERT_EQ(port().AddTimerTrigger(), i * 8);
    // The counter is spent; the smallest free multiple of 8 up to 4096 is used.
    EXPECT_EQ(port().RemoveTrigger(40), 0);
    EXPECT_EQ(port().AddTimerTrigger(), 40);
    EXPECT_EQ(port().AddTimerTrigger(), secNoMoreTriggers);
}

// ---- Handler kinds --------------------------------------------------------------------------

class RecordingWindow : public TQuavWindowHandler {
  public:
    bool SendTriggerMessage(const TTriggerMessage& message) override {
        std::lock_guard<std::mutex> g(lock);
        messages.push_back(message);
        return true;
    }
    size_t count() {
        std::lock_guard<std::mutex> g(lock);
        return messages.size();
    }
    std::mutex lock;
    std::vector<TTriggerMessage> messages;
};

std::atomic<int> procCalls{0};
void countingProc(uint32_t msg, uint32_t, int32_t) {
    if (msg == kTriggerAvail) ++procCalls;
}

TEST_F(TriggerTest, WindowHandlersNeedThePortFlagOrASecondWindow) {
    RecordingWindow own, other;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterWndTriggerHandler(&own), 0);
    port().UpdateHandlerFlags(fuDisablePort);
    port().ChangeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("a"));
    ASSERT_TRUE(waitFor([&] { return port().InBuffUsed() == 1; }));
    std::this_thread::sleep_for(milliseconds(120));
    EXPECT_EQ(own.count(), 0u) << "the component's own window alone does not count";

    port().UpdateHandlerFlags(fuEnablePort);
    ASSERT_TRUE(p.pty.write("b"));
    ASSERT_TRUE(waitFor([&] { return own.count() == 1; }));
    port().UpdateHandlerFlags(fuDisablePort);
    ASSERT_EQ(port().RegisterWndTriggerHandler(&other), 0);
    ASSERT_TRUE(p.pty.write("c"));
    ASSERT_TRUE(waitFor([&] { return own.count() == 2 && other.count() == 1; }));
    EXPECT_EQ(own.messages.back().WParam, 3u) << "nobody read: all three are announced";
    EXPECT_EQ(port().DeregisterWndTriggerHandler(&other), 0);
    EXPECT_EQ(port().DeregisterWndTriggerHandler(&other), secBadArgument);
}

TEST_F(TriggerTest, ProcedureAndEventHandlersAreCalledInOrder) {
    procCalls = 0;
    Consumer first, second;
    std::vector<int> order;
    std::mutex orderLock;
    first.action = [&](const TTriggerMessage&) {
        std::lock_guard<std::mutex> g(orderLock);
        order.push_back(1);
    };
    second.action = [&](const TTriggerMessage&) {
        std::lock_guard<std::mutex> g(orderLock);
        order.push_back(2);
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterProcTriggerHandler(&countingProc), 0);
    ASSERT_EQ(port().RegisterEventTriggerHandler(&first), 0);
    ASSERT_EQ(port().RegisterEventTriggerHandler(&second), 0);
    port().ChangeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("z"));
    ASSERT_TRUE(second.waitCount(kTriggerAvail, 1));
    EXPECT_TRUE(waitFor([&] { return procCalls.load() == 1; }));
    {
        std::lock_guard<std::mutex> g(orderLock);
        EXPECT_EQ(order, (std::vector<int>{1, 2}));
    }
    EXPECT_EQ(port().DeregisterProcTriggerHandler(&countingProc), 0);
    EXPECT_EQ(port().DeregisterProcTriggerHandler(&countingProc), secBadArgument);
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
        TQuavBaseDispatcher::SetMainThreadSynchronizer({});
        {
            std::lock_guard<std::mutex> g(m);
            quit = true;
        }
        cv.notify_all();
        mainThread.join();
    }};
    TQuavBaseDispatcher::SetMainThreadSynchronizer([&](const std::function<void()>& call) {
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
    c.action = [&](const TTriggerMessage&) { ranOn = std::this_thread::get_id(); };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterSyncEventTriggerHandler(&c), 0);
    port().ChangeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("s"));
    ASSERT_TRUE(c.waitCount(kTriggerAvail, 1));
    EXPECT_EQ(ranOn, mainThread.get_id());
}

TEST_F(TriggerTest, DeregisteringInsideANotificationTakesEffectAfterIt) {
    Consumer a, b, c;
    a.action = [&](const TTriggerMessage&) {
        if (a.count(kTriggerAvail) == 0) {
            EXPECT_EQ(port().DeregisterEventTriggerHandler(&b), 0);
            EXPECT_EQ(port().DeregisterEventTriggerHandler(&b), secBadArgument);
        }
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&a), 0);
    ASSERT_EQ(port().RegisterEventTriggerHandler(&b), 0);
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    port().ChangeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("1"));
    ASSERT_TRUE(c.waitCount(kTriggerAvail, 1));
    EXPECT_EQ(b.count(kTriggerAvail), 0u) << "a marked handler is skipped";
    ASSERT_TRUE(p.pty.write("2"));
    ASSERT_TRUE(c.waitCount(kTriggerAvail, 2));
    EXPECT_EQ(a.count(kTriggerAvail), 2u);
    EXPECT_EQ(b.count(kTriggerAvail), 0u);
}

TEST_F(TriggerTest, DeregisteringFromAnotherThreadWaitsForTheCallInProgress) {
    std::atomic<bool> entered{false}, left{false};
    auto handler = std::make_unique<Consumer>();
    handler->action = [&](const TTriggerMessage&) {
        entered = true;
        std::this_thread::sleep_for(milliseconds(200));
        left = true;
    };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(handler.get()), 0);
    port().ChangeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("1"));
    ASSERT_TRUE(waitFor([&] { return entered.load(); }));
    EXPECT_EQ(port().DeregisterEventTriggerHandler(handler.get()), 0);
    EXPECT_TRUE(left.load()) << "deregistration returned while the handler still ran";
    handler.reset(); // its owner may free it at once
    ASSERT_TRUE(p.pty.write("2"));
    std::this_thread::sleep_for(milliseconds(150));
}

TEST_F(TriggerTest, ClosingFromInsideANotificationIsCompletedByTheDispatcherThread) {
    Consumer c;
    bool busyDuring = false;
    c.action = [&](const TTriggerMessage&) {
        busyDuring = port().EventBusy();
        port().DonePort();
    };
    Consumer later;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    ASSERT_EQ(port().RegisterEventTriggerHandler(&later), 0);
    port().ChangeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("bye"));
    ASSERT_TRUE(c.waitCount(kTriggerAvail, 1));
    EXPECT_TRUE(busyDuring);
    EXPECT_FALSE(port().IsOpen());
    EXPECT_TRUE(waitFor([&] { return port().RunningThreads() == 0; }));
    EXPECT_FALSE(port().EventBusy());
    EXPECT_EQ(later.count(kTriggerAvail), 0u) << "delivery stops once the close is requested";
    // The device is free again for a new dispatcher.
    TQuavTermiosDispatcher again;
    EXPECT_EQ(again.InitPort(p.pty.slavePath(), 38400, 0, 8, 1, 4096, 4096, 0), 0);
}

TEST_F(TriggerTest, BusyFlagHoldsNotificationsButNotReception) {
    Consumer c;
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&c), 0);
    port().ChangeLengthTrigger(1);
    EXPECT_FALSE(port().SetEventBusy(true));
    ASSERT_TRUE(p.pty.write("held"));
    ASSERT_TRUE(waitFor([&] { return port().InBuffUsed() == 4; }));
    std::this_thread::sleep_for(milliseconds(120));
    EXPECT_EQ(c.count(kTriggerAvail), 0u);
    EXPECT_TRUE(port().SetEventBusy(false));
    ASSERT_TRUE(c.waitCount(kTriggerAvail, 1));
    EXPECT_EQ(c.seen()[0].WParam, 4u);
}

TEST_F(TriggerTest, AThrowingConsumerIsReportedAndThePortGoesOn) {
    std::mutex reportsLock;
    std::vector<std::string> reports;
    SetExceptionReporter([&](const std::string& what, std::exception_ptr e) {
        std::lock_guard<std::mutex> g(reportsLock);
        reports.push_back(what + ": " + ExceptionText(e));
    });
    struct ResetReporter {
        ~ResetReporter() { SetExceptionReporter({}); }
    } resetReporter;
    Consumer thrower, after;
    thrower.action = [](const TTriggerMessage&) { throw std::runtime_error("consumer failed"); };
    const StopPortOnExit stop{p.port};
    ASSERT_EQ(port().RegisterEventTriggerHandler(&thrower), 0);
    ASSERT_EQ(port().RegisterEventTriggerHandler(&after), 0);
    port().ChangeLengthTrigger(1);
    ASSERT_TRUE(p.pty.write("1"));
    ASSERT_TRUE(after.waitCount(kTriggerAvail, 1));
    ASSERT_TRUE(p.pty.write("2"));
    ASSERT_TRUE(after.waitCount(kTriggerAvail, 2));
    std::lock_guard<std::mutex> g(reportsLock);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0], "exception in a trigger handler: consumer failed");
}

// ---- Port list ------------------------------------------------------------------------------

TEST(PortListTest, HandlesAreSlotsOfTheList) {
    auto a = std::make_unique<TQuavTermiosDispatcher>();
    auto b = std::make_unique<TQuavTermiosDispatcher>();
    const int32_t ha = a->Handle(), hb = b->Handle();
    EXPECT_NE(ha, hb);
    TQuavBaseDispatcher::LockPortList();
    EXPECT_EQ(TQuavBaseDispatcher::FindDispatcher(ha), a.get());
    EXPECT_EQ(TQuavBaseDispatcher::FindDispatcher(hb), b.get());
    EXPECT_EQ(TQuavBaseDispatcher::FindDispatcher(-1), nullptr);
    TQuavBaseDispatcher::UnlockPortList();
    a.reset();
    TQuavBaseDispatcher::LockPortList();
    EXPECT_EQ(TQuavBaseDispatcher::FindDispatcher(ha), nullptr);
    TQuavBaseDispatcher::UnlockPortList();
    auto c = std::make_unique<TQuavTermiosDispatcher>();
    EXPECT_EQ(c->Handle(), ha) << "a new dispatcher takes the first empty slot";
    b.reset();
    c.reset();
    TQuavBaseDispatcher::LockPortList();
    EXPECT_EQ(TQuavBaseDispatcher::FindDispatcher(hb), nullptr);
    TQuavBaseDispatcher::UnlockPortList();
}

} // namespace
} // namespace brimwell::test
