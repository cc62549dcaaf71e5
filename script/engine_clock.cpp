// The engine's clock on the serial time base.
#include "script/engine_clock.h"

#include "serial/time_base.h"

namespace brimwell::script {
namespace {

class SystemClock final : public EngineClock {
  public:
    Mark now() override {
        const serial::ClockMark m = serial::Clock::mark();
        return Mark{m.clockMs, m.realUs};
    }
    int64_t elapsedMs(const Mark& since) override {
        return static_cast<uint32_t>(serial::Clock::msecs() - since.ms);
    }
    bool limitPassed(const Mark& since, int64_t ms) override {
        return serial::Clock::limitPassed(serial::ClockMark{since.ms, since.realUs}, ms);
    }
    bool lineLimitPassed(const Mark& since, int64_t ms) override {
        return serial::Clock::limitPassed(serial::ClockMark{since.ms, since.realUs}, ms, ms);
    }
    void sleepMs(int64_t ms) override { serial::Clock::sleepMs(ms); }
    int64_t realMicros(int64_t ms) override { return serial::Clock::realMicros(ms); }
};

} // namespace

EngineClock& EngineClock::system() {
    static SystemClock clock;
    return clock;
}

} // namespace brimwell::script
