// The engine's time: every wait and time limit of a run goes through one clock object, so that
// tests can drive time instead of sleeping through it.
#pragma once

#include <cstdint>

namespace brimwell::script {

class EngineClock {
  public:
    // A moment as now() gives it; only its differences mean anything.
    struct Mark {
        uint32_t ms = 0;
        int64_t realUs = 0;
    };

    virtual ~EngineClock() = default;
    virtual Mark now() = 0;
    // Milliseconds of engine time since `since`.
    virtual int64_t elapsedMs(const Mark& since) = 0;
    // True once `ms` have passed since `since`: a limit on what the unit must do in time. The
    // system clock gives the unit a real-time floor here when the clock runs fast.
    virtual bool limitPassed(const Mark& since, int64_t ms) = 0;
    // A limit made of time on the line at the port's rate: the unit's side runs at that rate in
    // real time, so the system clock never lets it pass sooner than `ms` of real time.
    virtual bool lineLimitPassed(const Mark& since, int64_t ms) { return limitPassed(since, ms); }
    virtual void sleepMs(int64_t ms) = 0;
    // How long a link call may block for `ms` of engine time, in real microseconds.
    virtual int64_t realMicros(int64_t ms) = 0;

    // The process clock (serial time base), at real time unless a test sped it up.
    static EngineClock& system();
};

} // namespace brimwell::script
