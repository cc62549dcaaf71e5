// The scaled clock: ticks follow clock milliseconds, and a faster scale shortens real waits.
#include "serial/time_base.h"

#include "serial/event_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using brimwell::serial::Clock;

namespace {

struct ScaleGuard {
    double saved = Clock::scale();
    ~ScaleGuard() { Clock::setScale(saved); }
};

double realMsOf(void (*fn)()) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

TEST(ClockTest, TicksAreFiftyFiveMillisecondsOfClockTime) {
    ScaleGuard guard;
    Clock::setScale(1.0);
    const uint32_t m0 = Clock::msecs();
    const uint32_t t0 = Clock::ticks();
    Clock::sleepMs(120);
    const uint32_t elapsed = Clock::msecs() - m0;
    EXPECT_GE(elapsed, 120u);
    EXPECT_LT(elapsed, 1200u);
    const uint32_t ticks = Clock::ticks() - t0;
    EXPECT_GE(ticks, 2u);
    EXPECT_LE(ticks, elapsed / brimwell::serial::kTickMs + 1);
}

TEST(ClockTest, ScaleShortensRealWaitsButNotClockTime) {
    ScaleGuard guard;
    Clock::setScale(20.0);
    const uint32_t m0 = Clock::msecs();
    const double real = realMsOf([] { Clock::sleepMs(1000); });
    EXPECT_GE(Clock::msecs() - m0, 1000u);
    EXPECT_LT(real, 500.0) << "a 1000 ms clock wait at scale 20 should take about 50 ms";
    EXPECT_EQ(Clock::realMicros(1000), 50000);
}

TEST(ClockTest, ClockNeverRunsBackwardsAcrossScaleChanges) {
    ScaleGuard guard;
    Clock::setScale(50.0);
    Clock::sleepMs(500);
    const uint32_t before = Clock::msecs();
    Clock::setScale(1.0);
    EXPECT_GE(Clock::msecs(), before);
}

TEST(ClockTest, OutOfRangeScalesAreIgnored) {
    ScaleGuard guard;
    Clock::setScale(2.0);
    Clock::setScale(0.5);
    Clock::setScale(-1.0);
    Clock::setScale(1e9);
    EXPECT_DOUBLE_EQ(Clock::scale(), 2.0);
    EXPECT_EQ(Clock::realMicros(0), 0);
}

TEST(ClockTest, AnswerLimitsKeepUpToASecondOfRealTimeOnAFastClock) {
    ScaleGuard guard;
    Clock::setScale(50.0);
    const brimwell::serial::ClockMark since = Clock::mark();
    Clock::sleepMs(3600); // 72 ms of real time
    EXPECT_FALSE(Clock::limitPassed(since, 3600)) << "a peer gets a second, not 72 ms";
    EXPECT_TRUE(Clock::limitPassed(since, 20)) << "a shorter limit keeps only its own length";
    std::this_thread::sleep_for(std::chrono::milliseconds(brimwell::serial::kAnswerFloorMs));
    EXPECT_TRUE(Clock::limitPassed(since, 3600));
    Clock::setScale(1.0);
    const brimwell::serial::ClockMark real = Clock::mark();
    Clock::sleepMs(30);
    EXPECT_TRUE(Clock::limitPassed(real, 30)) << "at real time the limit is the clock's alone";
}

TEST(ClockTest, AnAnswerFloorEndsSoonAfterThePeerWasHeard) {
    ScaleGuard guard;
    Clock::setScale(50.0);
    const auto created = std::chrono::steady_clock::now();
    brimwell::serial::AnswerTimer silent(65), answered(65); // 3.6 s of clock, 72 ms of real time
    answered.heard();
    std::this_thread::sleep_for(std::chrono::milliseconds(brimwell::serial::kAnswerPauseFloorMs + 50));
    EXPECT_TRUE(answered.expired()) << "the peer got to run and has been quiet since";
    // A machine that kept this thread off the processor for the whole floor proves nothing here.
    if (std::chrono::steady_clock::now() - created <
        std::chrono::milliseconds(brimwell::serial::kAnswerFloorMs)) {
        EXPECT_FALSE(silent.expired()) << "a peer not heard from keeps its whole second";
    }
    Clock::setAnswerFloorMs(0);
    EXPECT_TRUE(silent.expired()) << "without a floor the clock alone decides";
    Clock::setAnswerFloorMs(brimwell::serial::kAnswerFloorMs);
}
