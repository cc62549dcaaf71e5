// Tick conversions and timers of the serial time base.
#include <gtest/gtest.h>

#include <chrono>

#include "serial/event_timer.h"
#include "serial/time_base.h"

namespace brimwell {
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
                         ::testing::Values(Conversion{Secs2Ticks, 1, 18}, Conversion{Secs2Ticks, 60, 1092},
                                           Conversion{Secs2Ticks, 0, 0}, Conversion{Ticks2Secs, 18, 1},
                                           Conversion{Ticks2Secs, 0, 0}, Conversion{Ticks2Secs, 9, 0},
                                           Conversion{Ticks2Secs, 10, 1}, Conversion{MSecs2Ticks, 1000, 18},
                                           Conversion{MSecs2Ticks, 54, 0},
                                           Conversion{MSecs2Ticks, 3600, 65}));

TEST(EventTimerTest, ExpiresAfterItsLengthAndReportsRemainingTicks) {
    EventTimer t;
    NewTimer(t, 2);
    EXPECT_EQ(t.ExpireTicks - t.StartTicks, 2);
    EXPECT_FALSE(TimerExpired(t));
    EXPECT_GT(RemainingTime(t), 0);
    DelayTicks(3);
    EXPECT_TRUE(TimerExpired(t));
    EXPECT_EQ(RemainingTime(t), 0);

    NewTimer(t, kMaxTimerTicks + 1000);
    EXPECT_EQ(t.ExpireTicks - t.StartTicks, kMaxTimerTicks);
    NewTimer(t, -5);
    EXPECT_EQ(t.ExpireTicks, t.StartTicks);
}

TEST(EventTimerTest, DelayEndsEarlyWhenTheYieldSaysQuit) {
    int calls = 0;
    const auto start = std::chrono::steady_clock::now();
    DelayTicks(1000, [&] { return ++calls < 3; });
    EXPECT_EQ(calls, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    calls = 0;
    DelayTicks(0, [&] { return ++calls > 0; });
    EXPECT_EQ(calls, 0);
}

} // namespace
} // namespace brimwell
