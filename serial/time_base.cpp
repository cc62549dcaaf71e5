// Scaled monotonic clock: clock time = anchor value + real time since anchor * scale.
#include "serial/time_base.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace brimwell::serial {
namespace {

using SteadyClock = std::chrono::steady_clock;

// One setting of the clock: the real time and clock time at which the scale last changed.
// A setting is never changed once published, so readers need no lock: msecs() runs for every
// block of an upload and every pass of a wait, from several threads at once.
struct Anchor {
    SteadyClock::time_point real;
    double clockMs;
    double scale;
};

double initialScale() {
    if (const char* env = std::getenv("BRIMWELL_TIME_SCALE")) {
        char* end = nullptr;
        const double v = std::strtod(env, &end);
        if (end != env && v >= 1.0 && v <= 1000.0) return v;
    }
    return 1.0;
}

struct ClockState {
    std::mutex lock; // serialises setScale
    // Every setting ever published stays alive (setScale is for tests and runs a few times), so a
    // reader still holding an older one never reads freed memory.
    std::vector<std::unique_ptr<Anchor>> settings;
    std::atomic<const Anchor*> current{nullptr};

    ClockState() {
        settings.push_back(std::make_unique<Anchor>(Anchor{SteadyClock::now(), 0.0, initialScale()}));
        current.store(settings.back().get());
    }
};

ClockState& state() {
    static ClockState s;
    return s;
}

double nowMs(const Anchor& a) {
    const double realMs = std::chrono::duration<double, std::milli>(SteadyClock::now() - a.real).count();
    return a.clockMs + realMs * a.scale;
}

} // namespace

double Clock::scale() {
    return state().current.load(std::memory_order_acquire)->scale;
}

namespace {
// Publishes a new setting that starts now, `jumpMs` ahead of where the clock stands.
void republish(double factor, double jumpMs) {
    ClockState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    const Anchor& old = *s.current.load(std::memory_order_acquire);
    const auto real = SteadyClock::now();
    const double clockMs =
        old.clockMs + std::chrono::duration<double, std::milli>(real - old.real).count() * old.scale;
    s.settings.push_back(std::make_unique<Anchor>(Anchor{real, clockMs + jumpMs, factor}));
    s.current.store(s.settings.back().get(), std::memory_order_release);
}

int64_t realNowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now().time_since_epoch())
        .count();
}
} // namespace

void Clock::setScale(double factor) {
    if (!(factor >= 1.0 && factor <= 1000.0)) return;
    republish(factor, 0.0);
}

ClockMark Clock::mark() {
    return ClockMark{msecs(), realNowUs()};
}

namespace {
std::atomic<int64_t> answerFloor{kAnswerFloorMs};
}

int64_t Clock::answerFloorMs() {
    return answerFloor.load(std::memory_order_relaxed);
}

void Clock::setAnswerFloorMs(int64_t ms) {
    answerFloor.store(std::clamp<int64_t>(ms, 0, kAnswerFloorMs), std::memory_order_relaxed);
}

bool Clock::limitPassed(const ClockMark& since, int64_t clockMs) {
    return limitPassed(since, clockMs, std::min(clockMs, answerFloorMs()));
}

bool Clock::limitPassed(const ClockMark& since, int64_t clockMs, int64_t realFloorMs) {
    if (static_cast<int64_t>(static_cast<uint32_t>(msecs() - since.clockMs)) < clockMs) return false;
    // At real time this holds already; it only matters on a clock that ran ahead.
    return realPassed(since, realFloorMs);
}

bool Clock::realPassed(const ClockMark& since, int64_t ms) {
    return realNowUs() - since.realUs >= ms * 1000;
}

uint32_t Clock::msecs() {
    return static_cast<uint32_t>(
        static_cast<uint64_t>(nowMs(*state().current.load(std::memory_order_acquire))));
}

uint32_t Clock::ticks() {
    return msecs() / kTickMs;
}

int64_t Clock::realMicros(int64_t clockMs) {
    if (clockMs <= 0) return 0;
    const auto us = static_cast<int64_t>(static_cast<double>(clockMs) * 1000.0 / scale());
    return us > 0 ? us : 1;
}

void Clock::sleepMs(int64_t clockMs) {
    if (clockMs <= 0) return;
    std::this_thread::sleep_for(std::chrono::microseconds(realMicros(clockMs)));
}

} // namespace brimwell::serial
