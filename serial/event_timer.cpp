// Tick timers and conversions of the serial time base.
#include "serial/event_timer.h"

#include <algorithm>

#include "serial/time_base.h"

namespace brimwell::serial {

namespace {
// Sleep between looks at a tick delay's timer, in clock milliseconds: short enough that a
// delay ends within a small fraction of a tick.
constexpr int64_t kDelaySliceMs = 5;
} // namespace

int32_t currentTicks() {
    return static_cast<int32_t>(Clock::ticks());
}

void newTimer(EventTimer& timer, int32_t ticks) {
    ticks = std::clamp(ticks, 0, kMaxTimerTicks);
    timer.startTicks = currentTicks();
    timer.expireTicks = timer.startTicks + ticks;
}

bool timerExpired(const EventTimer& timer) {
    const int32_t now = currentTicks();
    if (now > timer.expireTicks) return true;
    // The tick counter wrapped since the timer started.
    return now < timer.startTicks && timer.expireTicks < now + kMaxTimerTicks;
}

int32_t remainingTime(const EventTimer& timer) {
    return std::max(timer.expireTicks - currentTicks(), 0);
}

AnswerTimer::AnswerTimer(int32_t ticks)
    : since_(Clock::mark()), floorMs_(int64_t{std::max(ticks, 0)} * kTickMs) {
    newTimer(timer_, ticks);
}

bool AnswerTimer::expired() const {
    if (!timerExpired(timer_)) return false;
    if (Clock::limitPassed(since_, floorMs_)) return true;
    return lastHeard_ && Clock::realPassed(*lastHeard_, std::min(floorMs_, kAnswerPauseFloorMs));
}

int32_t secsToTicks(int32_t seconds) {
    return static_cast<int32_t>(int64_t{seconds} * 1675 / 92);
}
int32_t ticksToSecs(int32_t ticks) {
    return static_cast<int32_t>((int64_t{ticks} + 9) * 92 / 1675);
}
int32_t msToTicks(int32_t ms) {
    return static_cast<int32_t>(int64_t{ms} * 1675 / 92000);
}

void delayTicks(int32_t ticks, const std::function<bool()>& yield) {
    if (ticks < 1) return;
    EventTimer timer;
    newTimer(timer, ticks);
    while (!timerExpired(timer)) {
        if (yield && !yield()) return;
        Clock::sleepMs(kDelaySliceMs);
    }
}

} // namespace brimwell::serial
