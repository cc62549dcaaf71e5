// Scaled monotonic clock: clock time = anchor value + real time since anchor * scale.
#include "serial/time_base.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace brimwell {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct ClockState {
    std::mutex lock;
    SteadyClock::time_point anchor = SteadyClock::now();
    double anchorMs = 0.0; // clock milliseconds at the anchor
    std::atomic<double> scale{initialScale()};

    static double initialScale() {
        if (const char* env = std::getenv("BRIMWELL_TIME_SCALE")) {
            char* end = nullptr;
            const double v = std::strtod(env, &end);
            if (end != env && v >= 1.0 && v <= 1000.0) return v;
        }
        return 1.0;
    }
};

ClockState& state() {
    static ClockState s;
    return s;
}

double nowMs(ClockState& s) {
    const double realMs =
        std::chrono::duration<double, std::milli>(SteadyClock::now() - s.anchor).count();
    return s.anchorMs + realMs * s.scale.load(std::memory_order_relaxed);
}

} // namespace

double Clock::scale() { return state().scale.load(std::memory_order_relaxed); }

void Clock::setScale(double factor) {
    if (!(factor >= 1.0 && factor <= 1000.0)) return;
    ClockState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.anchorMs = nowMs(s);
    s.anchor = SteadyClock::now();
    s.scale.store(factor, std::memory_order_relaxed);
}

uint32_t Clock::msecs() {
    ClockState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return static_cast<uint32_t>(static_cast<uint64_t>(nowMs(s)));
}

uint32_t Clock::ticks() { return msecs() / kTickMs; }

int64_t Clock::realMicros(int64_t clockMs) {
    if (clockMs <= 0) return 0;
    const auto us = static_cast<int64_t>(static_cast<double>(clockMs) * 1000.0 / scale());
    return us > 0 ? us : 1;
}

void Clock::sleepMs(int64_t clockMs) {
    if (clockMs <= 0) return;
    std::this_thread::sleep_for(std::chrono::microseconds(realMicros(clockMs)));
}

} // namespace brimwell
