// The two uses of an eventfd as a wake-up: signal it, and drain it (one read resets its counter).
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace brimwell::serial {

inline void signalEventFd(int fd) {
    const uint64_t one = 1;
    if (fd < 0) return;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

inline void drainEventFd(int fd) {
    uint64_t v;
    if (fd < 0) return;
    while (::read(fd, &v, sizeof v) < 0 && errno == EINTR) {
    }
}

} // namespace brimwell::serial
