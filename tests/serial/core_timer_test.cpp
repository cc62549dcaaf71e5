// Tick conversions and timers of the serial time base.
#include <gtest/gtest.h>

#include <chrono>

#include "serial/event_timer.h"
#include "serial/time_base.h"

namespace brimwell::serial {
namespace {

struct Conversion {
    int32_t (*convert)(int32_t);
    int32_t in, out;
};

class ConversionTest : public ::testing::TestWithParam<Conversion> {};

TEST_P(ConversionTest, IntegerArithmeticAsSpecified) {
    EXPECT_EQ(GetParam().convert(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Values, ConversionTest,
                         ::testing::Values(Conversion{secsToTicks, 1, 18}, Conversion{secsToTicks, 60, 1092},
                                           Conversion{secsToTicks, 0, 0}, Conversion{ticksToSecs, 18, 1},
                                           Conversion{ticksToSecs, 0, 0}, Conversion{ticksToSecs, 9, 0},
                                           Conversion{ticksToSecs, 10, 1}, Conversion{msToTicks, 1000, 18},
                                           Conversion{msToTicks, 54, 0}, Conversion{msToTicks, 3600, 65}));

TEST(EventTimerTest, ExpiresAfterItsLengthAndReportsRemainingTicks) {
    EventTimer t;
    newTimer(t, 2);
    EXPECT_EQ(t.expireTicks - t.startTicks, 2);
    EXPECT_FALSE(timerExpired(t));
    EXPECT_GT(remainingTime(t), 0);
    delayTicks(3);
    EXPECT_TRUE(timerExpired(t));
    EXPECT_EQ(remainingTime(t), 0);

    newTimer(t, kMaxTimerTicks + 1000);
    EXPECT_EQ(t.expireTicks - t.startTicks, kMaxTimerTicks);
    newTimer(t, -5);
    EXPECT_EQ(t.expireTicks, t.startTicks);
}

TEST(EventTimerTest, DelayEndsEarlyWhenTheYieldSaysQuit) {
    int calls = 0;
    const auto start = std::chrono::steady_clock::now();
    delayTicks(1000, [&] { return ++calls < 3; });
    EXPECT_EQ(calls, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    calls = 0;
    delayTicks(0, [&] { return ++calls > 0; });
    EXPECT_EQ(calls, 0);
}

} // namespace
} // namespace brimwell::serial
