// The engine's clock on the serial time base.
#include "script/engine_clock.h"

#include "serial/time_base.h"

namespace brimwell::script {
namespace {

class SystemClock final : public EngineClock {
  public:
    Mark now() override {
        const ClockMark m = Clock::mark();
        return Mark{m.clockMs, m.realUs};
    }
    int64_t elapsedMs(const Mark& since) override { return static_cast<uint32_t>(Clock::msecs() - since.ms); }
    bool limitPassed(const Mark& since, int64_t ms) override {
        return Clock::limitPassed(ClockMark{since.ms, since.realUs}, ms);
    }
    bool lineLimitPassed(const Mark& since, int64_t ms) override {
        return Clock::limitPassed(ClockMark{since.ms, since.realUs}, ms, ms);
    }
    void sleepMs(int64_t ms) override { Clock::sleepMs(ms); }
    int64_t realMicros(int64_t ms) override { return Clock::realMicros(ms); }
};

} // namespace

EngineClock& EngineClock::system() {
    static SystemClock clock;
    return clock;
}

} // namespace brimwell::script
