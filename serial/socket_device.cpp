// The raw TCP device layer.
//
// A peer that closes shows as a readable socket with nothing to read, which the engine's receive
// pass never asks for (it reads only what is queued): the status read looks for it instead.
// Writes use MSG_NOSIGNAL, so a connection lost mid-write is an error and not SIGPIPE.
#include "serial/socket_device.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "serial/error_codes.h"

namespace brimwell::serial {
namespace {

// Receive purges read what is waiting in pieces of this size.
constexpr std::size_t kDiscardChunk = 4096;

} // namespace

SocketDevice::~SocketDevice() {
    close();
}

void SocketDevice::close() {
    std::unique_lock<std::shared_mutex> device(deviceLock_);
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

int SocketDevice::open(const std::string& name, PortError& error) {
    lostCode_ = 0;
    const auto endpoint = parseNetEndpoint(name);
    int32_t code = result::kSocketBadAddress;
    int sysErrno = 0;
    const int fd = endpoint ? connectTcp(*endpoint, kConnectTimeoutMs, code, sysErrno) : -1;
    if (fd < 0) {
        error = socketFailure(code, sysErrno);
        return -1;
    }
    if (!connected(fd, error)) {
        ::close(fd);
        return -1;
    }
    return adopt(fd);
}

bool SocketDevice::connected(int, PortError&) {
    return true;
}

int32_t SocketDevice::lossCause() {
    int32_t none = 0;
    lostCode_.compare_exchange_strong(none, result::kSocketConnectionLost);
    // A plain loss of the connection adds nothing to "the connection was lost".
    const int32_t code = lostCode_.load();
    return code == result::kSocketConnectionLost ? 0 : code;
}

void SocketDevice::connectionLost(int32_t code) {
    int32_t none = 0;
    lostCode_.compare_exchange_strong(none, code);
}

void SocketDevice::peerFailed(int32_t code) {
    connectionLost(code);
    lose();
}

uint32_t SocketDevice::queuedNow() {
    SharedLock device(deviceLock_);
    int queued = 0;
    if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &queued) != 0 || queued < 0) return 0;
    return static_cast<uint32_t>(queued);
}

bool SocketDevice::current(LineSettings& settings) {
    std::lock_guard<std::mutex> g(stateMutex_);
    settings = shadow_;
    return true;
}

int32_t SocketDevice::apply(const LineSettings& settings) {
    std::lock_guard<std::mutex> g(stateMutex_);
    shadow_ = settings;
    return 0;
}

uint32_t SocketDevice::receiveRaw(uint8_t* buffer, uint32_t n) {
    SharedLock device(deviceLock_);
    if (fd_ < 0 || n == 0 || lostCode_.load() != 0) return 0;
    ssize_t r;
    do {
        r = ::recv(fd_, buffer, n, MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    if (r > 0) return static_cast<uint32_t>(r);
    if (r == 0)
        connectionLost(result::kSocketConnectionLost);
    else if (errno != EAGAIN)
        connectionLost(socketCodeForErrno(errno));
    return 0;
}

uint32_t SocketDevice::read(uint8_t* buffer, uint32_t n) {
    return receiveRaw(buffer, n);
}

LineStatus SocketDevice::lineStatus() {
    LineStatus status;
    int queued = 0;
    {
        SharedLock device(deviceLock_);
        if (fd_ < 0 || lostCode_.load() != 0) return status;
        if (::ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0) {
            status.inQueue = static_cast<uint32_t>(queued);
            return status;
        }
    }
    // Nothing queued: a peek tells a quiet connection from a closed one.
    uint8_t probe;
    SharedLock device(deviceLock_);
    const ssize_t r = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r == 0)
        connectionLost(result::kSocketConnectionLost);
    else if (r < 0 && errno != EAGAIN && errno != EINTR)
        connectionLost(socketCodeForErrno(errno));
    else if (r > 0)
        status.inQueue = 1;
    return status;
}

ModemLines SocketDevice::modemLines() {
    return ModemLines::tiedHigh();
}

bool SocketDevice::setDtr(bool) {
    return true;
}

bool SocketDevice::setRts(bool) {
    return true;
}

void SocketDevice::setBreak(bool) {}

// Only received bytes can be purged: what was sent is in the server's hands already. Only what
// waits now goes: a peer that never pauses cannot hold the caller here.
int32_t SocketDevice::purge(Direction direction) {
    if (direction != Direction::Input) return 0;
    uint8_t discard[kDiscardChunk];
    for (uint32_t left = queuedNow(); left > 0;) {
        const uint32_t got = receiveRaw(discard, std::min<uint32_t>(left, sizeof discard));
        if (got == 0) break;
        left -= got;
    }
    return 0;
}

ssize_t SocketDevice::write(const iovec* iov, int count) {
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(iov);
    msg.msg_iovlen = static_cast<std::size_t>(count);
    SharedLock device(deviceLock_);
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    const ssize_t w = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && errno != EAGAIN && errno != EINTR) {
        const int err = errno;
        connectionLost(socketCodeForErrno(err));
        errno = err;
    }
    return w;
}

bool SocketDevice::sendAll(int fd, const char* data, std::size_t n, int timeoutMs) {
    return sendAll(fd, data, n, SetupDeadline(timeoutMs, false));
}

bool SocketDevice::sendAll(int fd, const char* data, std::size_t n, const SetupDeadline& deadline) {
    while (n > 0) {
        const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            data += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) {
            connectionLost(socketCodeForErrno(errno));
            return false;
        }
        if (pollInSlices(fd, POLLOUT, deadline) != SliceWait::Ready) return false;
    }
    return true;
}

} // namespace brimwell::serial
