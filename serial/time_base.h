// The one clock behind the serial time base (55 ms ticks) and every wait of the script engine.
// Tests may run it faster through a time scale; the shipped program always runs at real time.
#pragma once

#include <cstdint>

namespace brimwell {

inline constexpr int kTickMs = 55; // one tick of the serial time base; 18 ticks are about a second

class Clock {
public:
    // How much faster than real time the clock runs (1.0 = real time). Read once from the
    // environment variable BRIMWELL_TIME_SCALE, which only tests set.
    static double scale();
    // Change the scale; meant for tests, before any port is opened.
    static void setScale(double factor);

    // Milliseconds of clock time since the process started (wraps like a 32-bit counter).
    static uint32_t msecs();
    // Ticks of 55 ms of clock time.
    static uint32_t ticks();

    // Real microseconds that a wait of `clockMs` clock milliseconds lasts (at least 1 for ms > 0).
    static int64_t realMicros(int64_t clockMs);
    // Sleep for `clockMs` milliseconds of clock time.
    static void sleepMs(int64_t clockMs);
};

} // namespace brimwell
