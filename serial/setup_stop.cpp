// The set-up stop flag and the sliced waits that look at it.
#include "serial/setup_stop.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace brimwell::serial {
namespace {

// Lock-free, so that a signal handler may set it.
std::atomic<bool> stopRaised{false};
static_assert(std::atomic<bool>::is_always_lock_free);

} // namespace

void raiseSetupStop() noexcept {
    stopRaised.store(true, std::memory_order_relaxed);
}

bool setupStopRaised() noexcept {
    return stopRaised.load(std::memory_order_relaxed);
}

void clearSetupStop() noexcept {
    stopRaised.store(false, std::memory_order_relaxed);
}

SetupDeadline::SetupDeadline(int64_t limitMs, bool stoppable)
    : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<int64_t>(limitMs, 0))),
      endless_(limitMs < 0), stoppable_(stoppable) {}

bool SetupDeadline::passed() const {
    return !endless_ && std::chrono::steady_clock::now() >= end_;
}

int SetupDeadline::sliceMs() const {
    if (endless_) return kSetupSliceMs;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, kSetupSliceMs));
}

SliceWait pollInSlices(int fd, short events, const SetupDeadline& deadline, short* revents) {
    for (;;) {
        if (deadline.stopped()) return SliceWait::Stopped;
        if (deadline.passed()) return SliceWait::TimedOut;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, deadline.sliceMs());
        if (r < 0 && errno != EINTR) return SliceWait::Failed;
        if (r > 0) {
            if (revents) *revents = p.revents;
            return SliceWait::Ready;
        }
    }
}

int pollInSlicesErrno(int fd, short events, const SetupDeadline& deadline) {
    switch (pollInSlices(fd, events, deadline)) {
    case SliceWait::Ready:
        return 0;
    case SliceWait::Stopped:
        return ECANCELED;
    case SliceWait::TimedOut:
        return ETIMEDOUT;
    case SliceWait::Failed:
        break;
    }
    return errno;
}

} // namespace brimwell::serial
