// An engine clock that tests drive: sleeping moves it forward at once, so every wait of a run
// takes no real time and ends at the same point however busy the machine is.
#pragma once

#include "script/engine_clock.h"

namespace brimwell::testing {

class DrivenClock final : public script::EngineClock {
  public:
    Mark now() override { return Mark{static_cast<uint32_t>(nowMs_), 0}; }
    int64_t elapsedMs(const Mark& since) override { return static_cast<uint32_t>(nowMs_ - since.ms); }
    bool limitPassed(const Mark& since, int64_t ms) override { return elapsedMs(since) >= ms; }
    void sleepMs(int64_t ms) override {
        if (ms > 0) nowMs_ += ms;
    }
    int64_t realMicros(int64_t ms) override { return ms * 1000; }

    int64_t ms() const { return nowMs_; }

  private:
    int64_t nowMs_ = 0;
};

} // namespace brimwell::testing
