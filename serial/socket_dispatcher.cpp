// The raw TCP device layer on the thread engine.
//
// A peer that closes shows as a readable socket with nothing to read, which the engine's receive
// pass never asks for (it reads only what is queued): the status read looks for it instead.
// Writes use MSG_NOSIGNAL, so a connection lost mid-write is an error and not SIGPIPE.
#include "serial/socket_dispatcher.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "serial/error_codes.h"

namespace brimwell {
namespace {

using SharedLock = std::shared_lock<std::shared_mutex>;

// Receive purges read what is waiting in pieces of this size.
constexpr std::size_t kDiscardChunk = 4096;

} // namespace

TQuavSocketDispatcher::~TQuavSocketDispatcher() {
    ShutdownForDestroy();
}

int TQuavSocketDispatcher::OpenDevice(const std::string& name) {
    lostCode_ = 0;
    const auto endpoint = parseNetEndpoint(name);
    int32_t code = secSocketBadAddress;
    int sysErrno = 0;
    const int fd = endpoint ? connectTcp(*endpoint, kConnectTimeoutMs, code, sysErrno) : -1;
    if (fd < 0) {
        lastOpenErrno_ = -code;
        lastOpenSystemErrno_ = sysErrno;
        return -1;
    }
    if (!Connected(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool TQuavSocketDispatcher::Connected(int) {
    return true;
}

void TQuavSocketDispatcher::DeviceLost() {
    int32_t none = 0;
    lostCode_.compare_exchange_strong(none, secSocketConnectionLost);
    TQuavThreadEngine::DeviceLost();
}

void TQuavSocketDispatcher::ConnectionLost(int32_t code) {
    int32_t none = 0;
    if (lostCode_.compare_exchange_strong(none, code)) TQuavThreadEngine::DeviceLost();
}

void TQuavSocketDispatcher::PeerFailed(int32_t code) {
    ConnectionLost(code);
    lose();
}

int32_t TQuavSocketDispatcher::LossCause() const {
    const int32_t code = lostCode_.load();
    return code == secSocketConnectionLost ? 0 : code;
}

uint32_t TQuavSocketDispatcher::QueuedNow() {
    SharedLock device(deviceLock_);
    int queued = 0;
    if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &queued) != 0 || queued < 0) return 0;
    return static_cast<uint32_t>(queued);
}

bool TQuavSocketDispatcher::SetupCom(uint32_t, uint32_t) {
    return true;
}

int32_t TQuavSocketDispatcher::GetComState(TDeviceControlBlock& dcb) {
    std::lock_guard<std::mutex> g(stateMutex_);
    dcb = shadow_;
    return 0;
}

int32_t TQuavSocketDispatcher::SetComState(const TDeviceControlBlock& dcb) {
    std::lock_guard<std::mutex> g(stateMutex_);
    shadow_ = dcb;
    return 0;
}

uint32_t TQuavSocketDispatcher::ReceiveRaw(uint8_t* buffer, uint32_t n) {
    SharedLock device(deviceLock_);
    if (fd_ < 0 || n == 0 || lostCode_.load() != 0) return 0;
    ssize_t r;
    do {
        r = ::recv(fd_, buffer, n, MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    if (r > 0) return static_cast<uint32_t>(r);
    if (r == 0)
        ConnectionLost(secSocketConnectionLost);
    else if (errno != EAGAIN)
        ConnectionLost(socketCodeForErrno(errno));
    return 0;
}

int32_t TQuavSocketDispatcher::ReadCom(uint8_t* buffer, uint32_t n) {
    return static_cast<int32_t>(ReceiveRaw(buffer, n));
}

uint32_t TQuavSocketDispatcher::ReadComError(TComStat& status) {
    status = TComStat{};
    int queued = 0;
    {
        SharedLock device(deviceLock_);
        if (fd_ < 0 || lostCode_.load() != 0) return 0;
        if (::ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0) {
            status.InQue = static_cast<uint32_t>(queued);
            return 0;
        }
    }
    // Nothing queued: a peek tells a quiet connection from a closed one.
    uint8_t probe;
    SharedLock device(deviceLock_);
    const ssize_t r = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r == 0)
        ConnectionLost(secSocketConnectionLost);
    else if (r < 0 && errno != EAGAIN && errno != EINTR)
        ConnectionLost(socketCodeForErrno(errno));
    else if (r > 0)
        status.InQue = 1;
    return 0;
}

uint8_t TQuavSocketDispatcher::GetComModemStatus() {
    return msCtsOn | msDsrOn | msDcdOn;
}

int32_t TQuavSocketDispatcher::EscapeComFunction(int function) {
    return function >= kSetRts && function <= kClrDtr ? 0 : -1;
}

void TQuavSocketDispatcher::SetComBreak(bool) {}

// Only received bytes can be purged: what was sent is in the server's hands already. Only what
// waits now goes: a peer that never pauses cannot hold the caller here.
int32_t TQuavSocketDispatcher::PurgeCom(int direction) {
    if (direction != kFlushReceive) return 0;
    uint8_t discard[kDiscardChunk];
    for (uint32_t left = QueuedNow(); left > 0;) {
        const uint32_t got = ReceiveRaw(discard, std::min<uint32_t>(left, sizeof discard));
        if (got == 0) break;
        left -= got;
    }
    return 0;
}

ssize_t TQuavSocketDispatcher::WriteDevice(int fd, const iovec* iov, int count) {
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(iov);
    msg.msg_iovlen = static_cast<std::size_t>(count);
    const ssize_t w = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && errno != EAGAIN && errno != EINTR) {
        const int err = errno;
        ConnectionLost(socketCodeForErrno(err));
        errno = err;
    }
    return w;
}

bool TQuavSocketDispatcher::SendAll(int fd, const char* data, std::size_t n, int timeoutMs) {
    return SendAll(fd, data, n, SetupDeadline(timeoutMs, false));
}

bool TQuavSocketDispatcher::SendAll(int fd, const char* data, std::size_t n, const SetupDeadline& deadline) {
    while (n > 0) {
        const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            data += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) {
            ConnectionLost(socketCodeForErrno(errno));
            return false;
        }
        if (pollInSlices(fd, POLLOUT, deadline) != SliceWait::Ready) return false;
    }
    return true;
}

} // namespace brimwell
