// The socket stand-in for the board's driver: one connection per open device carries every request.
#include "app/pci/pci_driver.h"

#include "serial/setup_stop.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace brimwell::pci {
namespace {

// A bridge that stops answering must not freeze the window for good; after this the connection is
// treated as lost, since a late reply would be taken for the answer to the next request.
constexpr int kReplyTimeoutSeconds = 10;

bool validDevice(int device) {
    return device >= 0 && device < kDeviceCount;
}

// The driver closed the connection (no errno of its own says that).
constexpr int kClosedByDriver = ECONNRESET;

int sendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE) return kClosedByDriver;
        if (n <= 0) return n < 0 ? errno : EIO;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// A board answers a request within microseconds, while sleeping in poll() and being woken again
// costs tens of them on many machines: a reply is first looked for without blocking for this long.
constexpr auto kReplySpin = std::chrono::microseconds(40);

ssize_t receiveSpinning(int fd, uint8_t* data, size_t room) {
    const auto until = std::chrono::steady_clock::now() + kReplySpin;
    ssize_t n;
    do {
        n = ::recv(fd, data, room, MSG_DONTWAIT);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return n;
    } while (std::chrono::steady_clock::now() < until);
    return n;
}

} // namespace

// Reads until `want` bytes are in; a read may bring more, up to `room` (the reply is never longer).
// The wait for the rest is cut into slices, so that a stop can end it.
int SocketPciDriver::receiveAtLeast(int fd, uint8_t* data, size_t& have, size_t want, size_t room) {
    const serial::SetupDeadline deadline(kReplyTimeoutSeconds * 1000, stoppable_);
    while (have < want) {
        const ssize_t n = receiveSpinning(fd, data + have, room - have);
        if (n == 0) return kClosedByDriver;
        if (n > 0) {
            have += static_cast<size_t>(n);
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return errno;
        if (const int err = serial::pollInSlicesErrno(fd, POLLIN, deadline); err != 0) return err;
    }
    return 0;
}

SocketPciDriver::SocketPciDriver(std::string directory) : directory_(std::move(directory)) {
    fds_.fill(-1);
}

SocketPciDriver::~SocketPciDriver() {
    for (int i = 0; i < kDeviceCount; ++i)
        close(i);
}

std::string SocketPciDriver::socketPath(int device) const {
    return directory_ + "/WRTdev" + std::to_string(device);
}

int SocketPciDriver::open(int device) {
    if (!validDevice(device)) return ENODEV;
    if (fds_[device] >= 0) return 0;
    const std::string path = socketPath(device);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
    path.copy(addr.sun_path, path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(fd);
        return err;
    }
    // Replies are waited for in slices (receiveAtLeast); a request is sent within this limit.
    const timeval limit{kReplyTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    fds_[device] = fd;
    broken_[device] = 0;
    return 0;
}

int SocketPciDriver::close(int device) {
    if (!validDevice(device) || fds_[device] < 0) return EBADF;
    const int rc = ::close(fds_[device]) == 0 ? 0 : errno;
    fds_[device] = -1;
    broken_[device] = 0;
    return rc;
}

int SocketPciDriver::broken(int device, int rc) {
    // A stopped wait leaves the stream out of step just the same: a late reply would be taken for
    // the answer to the next request.
    broken_[device] = rc;
    return rc;
}

std::string SocketPciDriver::failure(int device) const {
    if (!validDevice(device) || broken_[device] == 0) return {};
    switch (broken_[device]) {
    case kClosedByDriver:
        return "The driver closed its socket " + socketPath(device);
    case ETIMEDOUT:
        return "The driver gave no answer on " + socketPath(device) + " for " +
               std::to_string(kReplyTimeoutSeconds) + " s";
    case EPROTO:
        return "The driver's answer on " + socketPath(device) + " was out of step";
    default:
        return std::string("The driver's socket ") + socketPath(device) +
               " failed: " + std::strerror(broken_[device]);
    }
}

int SocketPciDriver::exchange(int device, uint32_t code, const uint8_t* in, size_t inSize, uint8_t* out,
                              size_t outSize) {
    if (!validDevice(device) || fds_[device] < 0) return EBADF;
    if (broken_[device] != 0) return EIO;
    const int fd = fds_[device];
    // The buffers are kept between requests: an upload makes two requests per byte.
    std::vector<uint8_t>& request = request_;
    request.resize(kHeaderSize + inSize);
    putLe32(request.data(), code);
    putLe32(request.data() + 4, static_cast<uint32_t>(inSize));
    if (inSize > 0) std::memcpy(request.data() + kHeaderSize, in, inSize);
    // Header and output in one read where the socket has both, which halves the calls per request.
    std::vector<uint8_t>& reply = reply_;
    reply.resize(kHeaderSize + outSize);
    size_t have = 0;
    int rc = sendAll(fd, request.data(), request.size());
    if (rc == 0) rc = receiveAtLeast(fd, reply.data(), have, kHeaderSize, reply.size());
    if (rc != 0) return broken(device, rc);
    const uint32_t status = getLe32(reply.data());
    const uint32_t count = getLe32(reply.data() + 4);
    // A reply of another size than asked for leaves the stream out of step: nothing after it can be trusted.
    if ((status == 0 && count != outSize) || (status != 0 && (count != 0 || have > kHeaderSize)))
        return broken(device, EPROTO);
    if (status != 0) return static_cast<int>(status);
    if ((rc = receiveAtLeast(fd, reply.data(), have, reply.size(), reply.size())) != 0)
        return broken(device, rc);
    if (outSize > 0) std::memcpy(out, reply.data() + kHeaderSize, outSize);
    return 0;
}

int SocketPciDriver::getConfiguration(int device, ConfigRecord& out) {
    return exchange(device, kGetConfiguration, nullptr, 0, out.data(), out.size());
}

int SocketPciDriver::processList(int device, std::vector<RequestItem>& items) {
    if (items.empty() || items.size() * kItemSize > kMaxPayload) return EINVAL;
    std::vector<uint8_t>& bytes = items_;
    bytes.resize(items.size() * kItemSize);
    encodeItems(items, bytes.data());
    const int rc = exchange(device, kProcessList, bytes.data(), bytes.size(), bytes.data(), bytes.size());
    if (rc == 0)
        for (size_t k = 0; k < items.size(); ++k)
            items[k].value = getLe32(bytes.data() + k * kItemSize + 8);
    return rc;
}

std::unique_ptr<PciDriver> installedPciDriver() {
    const char* dir = std::getenv("BRIMWELL_PCI_DIR");
    struct stat st {};
    if (dir == nullptr || *dir == '\0' || ::stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
    return std::make_unique<SocketPciDriver>(dir);
}

} // namespace brimwell::pci
