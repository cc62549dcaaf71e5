// Tick timers of the serial time base (55 ms ticks taken from brimwell::serial::Clock), the
// second/millisecond/tick conversions, and the tick delay with an optional yield.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "serial/time_base.h"
#include "serial/triggers.h"

namespace brimwell::serial {

// Longest timer; longer requests are cut to this many ticks (about 24 days).
inline constexpr int32_t kMaxTimerTicks = 39045157;

int32_t currentTicks();
void newTimer(EventTimer& timer, int32_t ticks);
bool timerExpired(const EventTimer& timer);
// Ticks until expiry, never below 0.
int32_t remainingTime(const EventTimer& timer);

int32_t secsToTicks(int32_t seconds);
int32_t ticksToSecs(int32_t ticks);
int32_t msToTicks(int32_t ms);

// A tick timer limiting a wait on the peer's answer. Besides its ticks it runs for the real-time
// floor of Clock::limitPassed, so a sped-up clock cannot cut an answer short on a busy machine.
// Once the peer was heard during the wait it evidently got to run: the floor then ends
// kAnswerPauseFloorMs of real time after its last byte, if that comes sooner.
class AnswerTimer {
  public:
    explicit AnswerTimer(int32_t ticks);
    bool expired() const;
    // A byte from the peer arrived now.
    void heard() { lastHeard_ = Clock::mark(); }

  private:
    EventTimer timer_;
    ClockMark since_;
    int64_t floorMs_;
    std::optional<ClockMark> lastHeard_;
};

// Waits until a timer of `ticks` ticks expires (nothing for ticks < 1). When `yield` is set it is
// called between short sleeps; it returns false to end the wait early (the application is quitting).
void delayTicks(int32_t ticks, const std::function<bool()>& yield = {});

} // namespace brimwell::serial
