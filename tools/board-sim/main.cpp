// brimwell-board-sim: serves simulated PCI boards on the sockets that stand for the driver's
// devices (WRTdev0, WRTdev1, ... in --dir), each with the unit of brimwell-unit-sim behind it.
// Options and report lines: tools/board-sim/README.md.
#include "tools/board-sim/board.h"
#include "tools/unit-sim/process.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace brimwell;
using namespace brimwell::boardsim;

namespace {

const char* usage() {
    return "usage: brimwell-board-sim --dir DIR [options]\n"
           "  --dir DIR             serve device i on the socket DIR/WRTdev<i> (the tool's "
           "BRIMWELL_PCI_DIR)\n"
           "  --boards ID,ID,...    one board per device, with these board IDs (default 0; 0..255)\n"
           "  --vendor-id HEX       PCI vendor ID (default 10E8)\n"
           "  --device-id HEX       PCI device ID (default 0213)\n"
           "  --driver-version M.N  driver version in the configuration record (default 4.0; 3.14 cannot\n"
           "                        read the vendor and device IDs)\n"
           "  --store DIR           write every good image into DIR, as brimwell-unit-sim does\n"
           "                        (DIR/board<i> for device i when there are several boards)\n"
           "  --start-in-loader     the units start in loader mode\n"
           "faults:\n"
           "  --never-ready         status bit 7 is never set: nothing the unit sends reaches the host\n"
           "  --busy-tries N        N status reads show busy (bit 4) before each byte is taken\n"
           "  --refuse-at N         from data byte N on (0-based, over all loads) the board stays busy\n";
}

bool number(const char* text, int64_t& v, int base = 10) {
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, v, base);
    return ec == std::errc() && ptr == end && ptr != text;
}

struct Options {
    std::string dir, store;
    std::vector<int> ids{0};
    BoardOptions board;
};

bool parse(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* v = nullptr;
        auto value = [&] {
            if (i + 1 >= argc)
                error = arg + " needs a value";
            else
                v = argv[++i];
            return v != nullptr;
        };
        int64_t n = 0;
        auto bounded = [&](int64_t min, int64_t max, int base = 10) {
            if (!value()) return false;
            if (number(v, n, base) && n >= min && n <= max) return true;
            error =
                arg + ": not a number from " + std::to_string(min) + " to " + std::to_string(max) + ": " + v;
            return false;
        };
        if (arg == "--dir") {
            if (!value()) return false;
            o.dir = v;
        } else if (arg == "--store") {
            if (!value()) return false;
            o.store = v;
        } else if (arg == "--boards") {
            if (!value()) return false;
            o.ids.clear();
            std::string list = v;
            for (size_t at = 0; at <= list.size();) {
                const size_t comma = std::min(list.find(',', at), list.size());
                const std::string item = list.substr(at, comma - at);
                if (!number(item.c_str(), n) || n < 0 || n > 255) {
                    error = "--boards: not a board ID from 0 to 255: " + item;
                    return false;
                }
                o.ids.push_back(static_cast<int>(n));
                at = comma + 1;
            }
            if (o.ids.size() > static_cast<size_t>(pci::kDeviceCount)) {
                error = "--boards: at most 16 boards";
                return false;
            }
        } else if (arg == "--vendor-id") {
            if (!bounded(0, 0xFFFF, 16)) return false;
            o.board.vendorId = static_cast<uint16_t>(n);
        } else if (arg == "--device-id") {
            if (!bounded(0, 0xFFFF, 16)) return false;
            o.board.deviceId = static_cast<uint16_t>(n);
        } else if (arg == "--driver-version") {
            if (!value()) return false;
            const char* dot = std::strchr(v, '.');
            int64_t minor = 0;
            if (!dot || !number(std::string(v, dot).c_str(), n) || !number(dot + 1, minor) || n > 0xFFFF ||
                minor > 0xFFFF) {
                error = "--driver-version takes MAJOR.MINOR";
                return false;
            }
            o.board.major = static_cast<uint16_t>(n);
            o.board.minor = static_cast<uint16_t>(minor);
        } else if (arg == "--start-in-loader") {
            o.board.unit.startInLoader = true;
        } else if (arg == "--never-ready") {
            o.board.neverReady = true;
        } else if (arg == "--busy-tries") {
            if (!bounded(0, INT_MAX)) return false;
            o.board.busyTries = static_cast<int>(n);
        } else if (arg == "--refuse-at") {
            if (!bounded(0, INT64_MAX)) return false;
            o.board.refuseAt = n;
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    if (o.dir.empty()) error = "--dir is required";
    return error.empty();
}

// A socket path that still exists from an earlier run is replaced; anything else there is kept.
int listenOn(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = path + ": path too long for a socket";
        return -1;
    }
    path.copy(addr.sun_path, path.size());
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket; not replacing it";
            return -1;
        }
        ::unlink(path.c_str());
    }
    // Bound under a temporary name and renamed once listening, so that a socket that exists accepts.
    const std::string part = path + ".part";
    ::unlink(part.c_str());
    std::memset(addr.sun_path, 0, sizeof addr.sun_path);
    part.copy(addr.sun_path, std::min(part.size(), sizeof addr.sun_path - 1));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || part.size() >= sizeof addr.sun_path ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
        ::rename(part.c_str(), path.c_str()) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        ::unlink(part.c_str());
        return -1;
    }
    return fd;
}

struct Connection {
    int fd;
    Board* board;
    std::vector<uint8_t> in;
};

// Answers every whole request in the connection's buffer. False when the peer must be dropped.
bool serve(Connection& c) {
    std::vector<uint8_t> payload, out, reply;
    while (c.in.size() >= pci::kHeaderSize) {
        const uint32_t code = pci::getLe32(c.in.data());
        const uint32_t count = pci::getLe32(c.in.data() + 4);
        if (count > pci::kMaxPayload) return false;
        if (c.in.size() < pci::kHeaderSize + count) return true;
        payload.assign(c.in.begin() + pci::kHeaderSize, c.in.begin() + pci::kHeaderSize + count);
        c.in.erase(c.in.begin(), c.in.begin() + pci::kHeaderSize + count);
        const uint32_t status = c.board->handle(code, payload, out, unitsim::monotonicNanos());
        if (status != 0) out.clear();
        reply.assign(pci::kHeaderSize, 0);
        pci::putLe32(reply.data(), status);
        pci::putLe32(reply.data() + 4, static_cast<uint32_t>(out.size()));
        reply.insert(reply.end(), out.begin(), out.end());
        for (size_t done = 0; done < reply.size();) {
            const ssize_t n = ::send(c.fd, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                pollfd p{c.fd, POLLOUT, 0};
                ::poll(&p, 1, 1000);
                continue;
            }
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options opt;
    std::string error;
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage(), stdout);
        return 0;
    }
    if (!parse(argc, argv, opt, error)) {
        std::fprintf(stderr, "brimwell-board-sim: %s\n%s", error.c_str(), usage());
        return 2;
    }
    unitsim::catchStopSignals();

    std::vector<std::unique_ptr<Board>> boards;
    std::vector<int> listeners;
    std::vector<std::string> paths;
    for (size_t i = 0; i < opt.ids.size(); ++i) {
        BoardOptions b = opt.board;
        b.boardId = opt.ids[i];
        b.base = opt.board.base + static_cast<uint32_t>(i) * 0x100;
        const std::string source = "board" + std::to_string(i);
        // Several boards flash the same images: each keeps its own in a folder of the store.
        const std::string store =
            opt.store.empty() || opt.ids.size() == 1 ? opt.store : opt.store + "/board" + std::to_string(i);
        if (!store.empty() && store != opt.store) ::mkdir(opt.store.c_str(), 0755);
        boards.push_back(std::make_unique<Board>(b, store, source, unitsim::say));
        const std::string path = opt.dir + "/WRTdev" + std::to_string(i);
        const int fd = listenOn(path, error);
        if (fd < 0) {
            std::fprintf(stderr, "brimwell-board-sim: %s\n", error.c_str());
            return 2;
        }
        listeners.push_back(fd);
        paths.push_back(path);
        unitsim::say("BOARD " + std::to_string(i) + " " + path + " id=" + std::to_string(b.boardId));
    }
    unitsim::say("READY");

    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    // A driver in the middle of an upload sends its next request within microseconds of the last
    // answer: for a short while after serving one, the loop looks without sleeping, which spares
    // the wake-up that would cost more than the request itself.
    constexpr unitsim::Nanos kHotNanos = 50'000;
    unitsim::Nanos lastServed = INT64_MIN / 2;
    while (!unitsim::stopRequested()) {
        fds.clear();
        for (int l : listeners)
            fds.push_back({l, POLLIN, 0});
        for (const Connection& c : connections)
            fds.push_back({c.fd, POLLIN, 0});
        unitsim::Nanos deadline = INT64_MAX;
        for (const auto& b : boards)
            deadline = std::min(deadline, b->nextDeadline());
        const unitsim::Nanos t = unitsim::monotonicNanos();
        const int timeout =
            t - lastServed < kHotNanos ? 0
            : deadline == INT64_MAX
                ? -1
                : static_cast<int>(std::clamp<unitsim::Nanos>((deadline - t) / 1'000'000 + 1, 0, 1000));
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        for (const auto& b : boards)
            b->tick(unitsim::monotonicNanos());
        for (size_t i = 0; i < listeners.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            const int c = ::accept4(listeners[i], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c >= 0) connections.push_back({c, boards[i].get(), {}});
        }
        for (size_t k = 0; k < connections.size(); ++k) {
            const short ev = listeners.size() + k < fds.size() ? fds[listeners.size() + k].revents : 0;
            if (!ev) continue;
            Connection& c = connections[k];
            uint8_t buf[4096];
            const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0 || (c.in.insert(c.in.end(), buf, buf + n), !serve(c))) {
                ::close(c.fd);
                c.fd = -1;
            }
            lastServed = unitsim::monotonicNanos();
        }
        std::erase_if(connections, [](const Connection& c) { return c.fd < 0; });
    }
    for (const Connection& c : connections)
        ::close(c.fd);
    for (size_t i = 0; i < listeners.size(); ++i) {
        ::close(listeners[i]);
        ::unlink(paths[i].c_str());
    }
    return 0;
}
