// The one clock behind the serial time base (55 ms ticks) and every wait of the script engine.
// Tests may run it faster through a time scale; the shipped program always runs at real time.
#pragma once

#include <cstdint>

namespace brimwell::serial {

inline constexpr int kTickMs = 55; // one tick of the serial time base; 18 ticks are about a second

// A sped-up clock never gives a peer less real time than this to answer (or the whole wait, when
// that is shorter): a unit or simulator on a busy machine may not be scheduled for a good part of
// a second, and a time limit that fires before it could answer tests the machine, not the tool.
inline constexpr int64_t kAnswerFloorMs = 1000;
// A peer that has answered within a wait has been scheduled: from then on the floor only has to
// cover a pause inside its answer, this much real time after its last byte.
inline constexpr int64_t kAnswerPauseFloorMs = 250;

// One moment on both the clock and the real time line.
struct ClockMark {
    uint32_t clockMs = 0;
    int64_t realUs = 0;
};

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

    // The real-time floor of answer limits on a sped-up clock (kAnswerFloorMs unless changed). Only
    // a test whose peer is the test itself (a pseudo-terminal it holds and never answers on) lowers
    // it: no other process then needs time to be scheduled.
    static int64_t answerFloorMs();
    static void setAnswerFloorMs(int64_t ms);

    static ClockMark mark();
    // True once `clockMs` of clock time have passed since `since` and, on a sped-up clock, also
    // min(clockMs, answerFloorMs()) of real time. For limits on a peer's answer.
    static bool limitPassed(const ClockMark& since, int64_t clockMs);
    // The same with a real-time floor of its own: a limit derived from the line rate (bytes on the
    // line at the port's baud) is physical time, which a faster clock cannot shorten.
    static bool limitPassed(const ClockMark& since, int64_t clockMs, int64_t realFloorMs);
    // True once `ms` of real time have passed since `since`.
    static bool realPassed(const ClockMark& since, int64_t ms);
};

} // namespace brimwell::serial
