// Pseudo-terminal pairs and the peer thread on their master side.
#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace brimwell::test {

namespace {
using SteadyClock = std::chrono::steady_clock;

int msLeft(SteadyClock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}
} // namespace

bool hangUpTty(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    // Straight to the kernel: a test under umockdev-wrapper has its ioctl() wrapped, and the
    // wrapper refuses this one even on a real pseudo-terminal.
    const bool done = ::syscall(SYS_ioctl, fd, TIOCVHANGUP) == 0;
    ::close(fd);
    return done;
}

PtyPair::PtyPair(Slave slave) : holdWanted_(slave == Slave::held) {
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    char name[128];
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
        ::close(fd);
        return;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    master_ = fd;
    slavePath_ = name;
    if (holdWanted_) holdSlave();
}

PtyPair::~PtyPair() {
    if (slaveHolder_ >= 0) ::close(slaveHolder_);
    closeMaster();
}

bool PtyPair::holdSlave() {
    if (slaveHolder_ >= 0) return true;
    if (slavePath_.empty()) return false;
    slaveHolder_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHolder_ < 0) return false;
    termios tio{};
    if (::tcgetattr(slaveHolder_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slaveHolder_, TCSANOW, &tio);
    }
    return true;
}

void PtyPair::bindCom(unsigned n) const {
    ::setenv(("BRIMWELL_COM" + std::to_string(n)).c_str(), slavePath_.c_str(), 1);
}

void PtyPair::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

bool PtyPair::write(std::string_view bytes) const {
    const auto end = SteadyClock::now() + std::chrono::seconds(10);
    while (!bytes.empty()) {
        const ssize_t w = ::write(master_, bytes.data(), bytes.size());
        if (w > 0) {
            bytes.remove_prefix(static_cast<size_t>(w));
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{master_, POLLOUT, 0};
        if (::poll(&p, 1, msLeft(end)) <= 0) return false;
    }
    return true;
}

std::string PtyPair::read(size_t n, int timeoutMs) const {
    std::string out;
    const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (out.size() < n) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, msLeft(end)) <= 0) break;
        const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
        if (r > 0)
            out.append(buf, static_cast<size_t>(r));
        else if (r == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

std::string PtyPair::readSome(int timeoutMs, size_t atLeast) const {
    std::string out = read(atLeast, timeoutMs);
    if (out.size() >= atLeast) out += readUntilQuiet(0);
    return out;
}

std::string PtyPair::readUntilQuiet(int quietMs) const {
    std::string out;
    char buf[4096];
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0) break;
        const ssize_t r = ::read(master_, buf, sizeof buf);
        if (r > 0)
            out.append(buf, static_cast<size_t>(r));
        else if (r == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

PtyPeer::PtyPeer(PtyPair& pair) : pair_(pair) {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

PtyPeer::~PtyPeer() {
    stop_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(wakeFd_);
}

void PtyPeer::send(std::string_view bytes) {
    {
        std::lock_guard<std::mutex> g(lock_);
        outgoing_.append(bytes);
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write(wakeFd_, &one, sizeof one);
}

std::string PtyPeer::received() const {
    std::lock_guard<std::mutex> g(lock_);
    return received_;
}

size_t PtyPeer::receivedCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return received_.size();
}

bool PtyPeer::waitReceived(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= n; });
}

void PtyPeer::setReading(bool on) {
    {
        std::lock_guard<std::mutex> g(lock_);
        reading_ = on;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write(wakeFd_, &one, sizeof one);
}

void PtyPeer::run() {
    const int fd = pair_.master();
    char buf[8192];
    while (!stop_) {
        bool reading, writing;
        {
            std::lock_guard<std::mutex> g(lock_);
            reading = reading_;
            writing = !outgoing_.empty();
        }
        pollfd fds[2] = {{wakeFd_, POLLIN, 0},
                         {fd, static_cast<short>((reading ? POLLIN : 0) | (writing ? POLLOUT : 0)), 0}};
        // A slave that is not open reports hang-up on the master; look again a little later.
        if (::poll(fds, 2, 20) < 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] const ssize_t r = ::read(wakeFd_, &v, sizeof v);
        }
        if (reading && (fds[1].revents & POLLIN)) {
            const ssize_t r = ::read(fd, buf, sizeof buf);
            if (r > 0) {
                std::lock_guard<std::mutex> g(lock_);
                received_.append(buf, static_cast<size_t>(r));
                changed_.notify_all();
            }
        }
        if (writing && (fds[1].revents & POLLOUT)) {
            std::lock_guard<std::mutex> g(lock_);
            const ssize_t w = ::write(fd, outgoing_.data(), outgoing_.size());
            if (w > 0) outgoing_.erase(0, static_cast<size_t>(w));
        }
        if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & (POLLIN | POLLOUT)))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace brimwell::test
