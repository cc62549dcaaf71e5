// Waking blocked threads of a port: a sender waiting for the output ring to empty, and the
// signal-woken thread that watches modem lines where the driver can wait for them.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <future>

#include "core_test_util.h"

namespace brimwell::test {
namespace {

using namespace std::chrono;

// ---- Output ring empty ---------------------------------------------------------------------

class OutputEmptyTest : public ::testing::Test {
  protected:
    PortOnPty p;
    serial::ThreadEngine& port() { return *p.port; }
    void SetUp() override { ASSERT_EQ(p.openResult, 0); }
};

TEST_F(OutputEmptyTest, AnEmptyRingAnswersAtOnceWhateverTheLimit) {
    for (int64_t limit : {int64_t{0}, int64_t{1}, int64_t{1000000}}) {
        SCOPED_TRACE(limit);
        EXPECT_TRUE(port().waitOutputEmpty(limit));
    }
}

TEST_F(OutputEmptyTest, BackedUpLineTimesOutThenWakesWhenTheFarEndReads) {
    PtyPeer peer(p.pty);
    peer.setReading(false);
    const std::string sent = backUpOutput(port());
    ASSERT_GT(port().outBuffUsed(), 0u);

    // Nothing drains: every bounded wait ends with bytes still waiting.
    for (int64_t limit : {int64_t{0}, int64_t{500}, int64_t{20000}}) {
        SCOPED_TRACE(limit);
        EXPECT_FALSE(port().waitOutputEmpty(limit));
        EXPECT_GT(port().outBuffUsed(), 0u);
    }

    // A waiter that sleeps while the line drains sees the ring empty in the end.
    auto waiter = std::async(std::launch::async, [&] {
        for (int pass = 0; pass < 200; ++pass)
            if (port().waitOutputEmpty(50000)) return true;
        return false;
    });
    std::this_thread::sleep_for(milliseconds(20));
    peer.setReading(true);
    EXPECT_TRUE(waiter.get());
    EXPECT_EQ(port().outBuffUsed(), 0u);
    ASSERT_TRUE(peer.waitReceived(sent.size(), 10000));
    EXPECT_EQ(peer.received(), sent);
}

TEST_F(OutputEmptyTest, TransmitFlushAndCloseWakeAWaiter) {
    for (bool closeInstead : {false, true}) {
        SCOPED_TRACE(closeInstead ? "close" : "flush");
        PortOnPty q;
        ASSERT_EQ(q.openResult, 0);
        PtyPeer peer(q.pty);
        peer.setReading(false);
        backUpOutput(*q.port);
        ASSERT_GT(q.port->outBuffUsed(), 0u);
        // Long enough that only the flush or the close can end it early.
        auto waiter = std::async(std::launch::async, [&] { return q.port->waitOutputEmpty(30'000'000); });
        std::this_thread::sleep_for(milliseconds(20));
        if (closeInstead)
            q.port->donePort();
        else
            EXPECT_EQ(q.port->flushOutBuffer(), 0);
        ASSERT_EQ(waiter.wait_for(seconds(10)), std::future_status::ready);
        EXPECT_TRUE(waiter.get());
        EXPECT_EQ(q.port->outBuffUsed(), 0u);
        peer.setReading(true);
    }
}

// ---- Signal-woken thread -------------------------------------------------------------------

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe2(fd, O_CLOEXEC), 0); }
    ~Pipe() {
        ::close(fd[0]);
        ::close(fd[1]);
    }
};

// Stops the thread from another thread, so that a thread that cannot be woken fails the test
// instead of hanging it; the unblock action then frees the body where it can.
void stopWithin(serial::SignalWakeThread& t, seconds limit, const std::function<void()>& unblock) {
    auto stopping = std::async(std::launch::async, [&] { t.stop(); });
    if (stopping.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "the thread did not leave its blocking call";
        if (unblock) unblock();
    }
    stopping.wait();
}

struct BlockingCall {
    const char* name;
    // Makes one blocking call that only a signal (or the unblock action) ends; returns its errno.
    std::function<int(Pipe&)> call;
};

class SignalWakeTest : public ::testing::TestWithParam<BlockingCall> {};

TEST_P(SignalWakeTest, StopInterruptsTheBlockingCallAndJoins) {
    Pipe pipe;
    std::atomic<int> interrupted{0};
    std::atomic<bool> entered{false};
    serial::SignalWakeThread t;
    t.start([&](const std::atomic<bool>& stop) {
        entered = true;
        while (!stop.load())
            if (GetParam().call(pipe) == EINTR) ++interrupted;
    });
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
    std::this_thread::sleep_for(milliseconds(20)); // most likely inside the call by now
    EXPECT_TRUE(t.running());
    stopWithin(t, seconds(10), [&] { (void)!::write(pipe.fd[1], "x", 1); });
    EXPECT_FALSE(t.running());
    EXPECT_GE(t.signalsSent(), 1);
    EXPECT_GE(interrupted.load(), 1) << "the call returned, but not through the signal";
    t.stop(); // a second stop has nothing to do
}

INSTANTIATE_TEST_SUITE_P(Calls, SignalWakeTest,
                         ::testing::Values(BlockingCall{"read",
                                                        [](Pipe& p) {
                                                            char c;
                                                            return ::read(p.fd[0], &c, 1) < 0 ? errno : 0;
                                                        }},
                                           BlockingCall{"poll",
                                                        [](Pipe& p) {
                                                            pollfd f{p.fd[0], POLLIN, 0};
                                                            return ::poll(&f, 1, -1) < 0 ? errno : 0;
                                                        }},
                                           BlockingCall{"sleep",
                                                        [](Pipe&) {
                                                            timespec ts{3600, 0};
                                                            return ::nanosleep(&ts, nullptr) < 0 ? errno : 0;
                                                        }}),
                         [](const auto& info) { return std::string(info.param.name); });

// A signal that lands before the body enters its blocking call is spent on the empty handler; the
// stop must keep signalling until the call itself has been interrupted.
TEST(SignalWakeThread, SignalsMissedBeforeTheBlockingCallAreRepeated) {
    Pipe pipe;
    std::atomic<bool> busy{false};
    std::atomic<bool> readInterrupted{false};
    serial::SignalWakeThread t;
    t.start([&](const std::atomic<bool>&) {
        // Work that restarts after every signal and ignores the stop flag, then a read entered
        // even though the stop was asked for meanwhile.
        busy = true;
        const auto until = steady_clock::now() + milliseconds(400);
        while (steady_clock::now() < until) {
            timespec ts{0, 1'000'000};
            ::nanosleep(&ts, nullptr);
        }
        char c;
        readInterrupted = ::read(pipe.fd[0], &c, 1) < 0 && errno == EINTR;
    });
    ASSERT_TRUE(waitUntil([&] { return busy.load(); }));
    stopWithin(t, seconds(10), [&] { (void)!::write(pipe.fd[1], "x", 1); });
    EXPECT_TRUE(readInterrupted.load());
    EXPECT_GE(t.signalsSent(), 2);
}

TEST(SignalWakeThread, StopWithoutStartAndAfterTheBodyReturnedSendsNothingMore) {
    serial::SignalWakeThread idle;
    idle.stop();
    EXPECT_FALSE(idle.running());
    EXPECT_EQ(idle.signalsSent(), 0);

    serial::SignalWakeThread quick;
    quick.start([](const std::atomic<bool>&) {});
    ASSERT_TRUE(waitUntil([&] { return !quick.running(); }));
    quick.stop();
    EXPECT_EQ(quick.signalsSent(), 0);
}

// ---- Modem-line watch ----------------------------------------------------------------------

TEST(ModemWatch, DevicesThatCannotWaitForLineChangesRefuseAtOnce) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const int slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    Pipe pipe;
    const struct {
        const char* name;
        int fd;
    } cases[] = {{"pty slave", slave}, {"pty master", pty.master()}, {"pipe", pipe.fd[0]}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(serial::waitForModemChange(c.fd), serial::ModemWaitResult::Refused);
    }
    ::close(slave);
    EXPECT_EQ(serial::waitForModemChange(-1), serial::ModemWaitResult::Failed);
}

TEST(ModemWatch, PtyPortFallsBackToThePolledLinesAcrossReopens) {
    PortOnPty p;
    ASSERT_EQ(p.openResult, 0);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_FALSE(p.device->modemLinesReported());
        EXPECT_FALSE(p.device->modemWatchActive());
        EXPECT_EQ(p.port->runningThreads(), 3);
        // The tied-high lines still come through the polled path.
        EXPECT_TRUE(p.port->checkCts());
        EXPECT_TRUE(p.port->checkDsr());
        EXPECT_TRUE(p.port->checkDcd());
        p.port->donePort();
        EXPECT_FALSE(p.device->modemWatchActive());
        EXPECT_EQ(p.port->runningThreads(), 0);
        ASSERT_EQ(p.port->initPort(p.pty.slavePath(), 38400, serial::kParityNone, 8, 1, 4096, 4096,
                                   serial::kOpenDtrOn | serial::kOpenRtsOn),
                  0);
    }
}

} // namespace
} // namespace brimwell::test
