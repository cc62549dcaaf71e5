// A stop asked for while a run is being set up: opening a network port, looking for PCI boards,
// reading the script, settings and data files. Those phases wait in short slices and look at one
// process-wide flag between them, so that SIGINT, SIGTERM or SIGHUP ends them within a slice
// instead of after their own time limits. The flag is raised from a signal handler.
#pragma once

#include <chrono>
#include <cstdint>

namespace brimwell::serial {

// The longest one slice of a set-up wait lasts: a stop is seen this soon.
inline constexpr int kSetupSliceMs = 50;

// Async-signal-safe.
void raiseSetupStop() noexcept;
bool setupStopRaised() noexcept;
// For a process that goes on after a stop it has handled (tests).
void clearSetupStop() noexcept;

// A set-up phase's own time limit, together with the stop flag (which a wait of a run under way,
// where a stop takes its own course, does not look at: `stoppable` false).
class SetupDeadline {
  public:
    // `limitMs` from now; a negative limit never passes.
    explicit SetupDeadline(int64_t limitMs, bool stoppable = true);

    bool stopped() const { return stoppable_ && setupStopRaised(); }
    bool passed() const;
    // What the next slice of a wait may last: at most kSetupSliceMs, never past the deadline.
    int sliceMs() const;

  private:
    std::chrono::steady_clock::time_point end_;
    bool endless_;
    bool stoppable_;
};

enum class SliceWait { Ready, TimedOut, Stopped, Failed };

// poll() on one descriptor in slices of the deadline until one of `events` (POLLIN, POLLOUT) comes,
// the deadline passes or a stop is raised; `revents` gets what poll() reported. Failed leaves
// errno set.
SliceWait pollInSlices(int fd, short events, const SetupDeadline& deadline, short* revents = nullptr);
// The same wait as an errno: 0 once ready, ECANCELED on a stop, ETIMEDOUT past the deadline.
int pollInSlicesErrno(int fd, short events, const SetupDeadline& deadline);

} // namespace brimwell::serial
