// brimwell-unit-sim: plays the embedded unit on a pseudo-terminal and on TCP so that the tool can be
// run, tested and benchmarked without hardware. Protocol and options: tools/unit-sim/README.md.
#include "tools/unit-sim/line.h"
#include "tools/unit-sim/options.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace brimwell::unitsim;

namespace {

int fail(const std::string& what) {
    std::fprintf(stderr, "brimwell-unit-sim: %s\n", what.c_str());
    return 2;
}

void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// The pseudo-terminal the host opens. We keep a descriptor of the device side open ourselves so
// that the line survives the host closing and reopening it (a closed pty would hang up the master).
struct Pty {
    int master = -1;
    int device = -1;
    std::string path;
};

bool openPty(Pty& p, std::string& error) {
    p.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.master < 0 || ::grantpt(p.master) != 0 || ::unlockpt(p.master) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ::ptsname(p.master);
    if (!name) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    p.path = name;
    p.device = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.device < 0) {
        error = "cannot open " + p.path + ": " + std::strerror(errno);
        return false;
    }
    // Raw from the start: with the default cooked mode the line discipline would echo our own
    // output back to us and turn CR into LF before the host has set its modes.
    termios tio{};
    ::tcgetattr(p.device, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(p.device, TCSANOW, &tio);
    setNonBlocking(p.master);
    return true;
}

bool makeLink(const std::string& link, const std::string& target, std::string& error) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = link + " exists and is not a symlink; not replacing it";
            return false;
        }
        ::unlink(link.c_str());
    }
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        error = "cannot link " + link + " to " + target + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int listenTcp(const SimOptions& o, int& port, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(o.tcpPort));
    if (::inet_pton(AF_INET, o.tcpBind.c_str(), &addr.sin_addr) != 1) {
        error = "--bind: not an IPv4 address: " + o.tcpBind;
        ::close(fd);
        return -1;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
        error =
            "cannot listen on " + o.tcpBind + ":" + std::to_string(o.tcpPort) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    SimOptions opt;
    std::string error;
    bool help = false;
    if (!parseOptions(argc, argv, opt, error, help)) {
        std::fprintf(stderr, "brimwell-unit-sim: %s\n%s", error.c_str(), usageText());
        return 2;
    }
    if (help) {
        std::fputs(usageText(), stdout);
        return 0;
    }

    catchStopSignals();

    Pty pty;
    std::unique_ptr<Line> ptyLine;
    if (opt.pty) {
        if (!openPty(pty, error)) return fail(error);
        if (!opt.link.empty() && !makeLink(opt.link, pty.path, error)) return fail(error);
        ptyLine = std::make_unique<Line>(pty.master, "pty", opt);
        say("PTY " + pty.path);
        if (!opt.link.empty()) say("LINK " + opt.link);
    }
    int listener = -1;
    if (opt.tcpPort >= 0) {
        int port = 0;
        listener = listenTcp(opt, port, error);
        if (listener < 0) return fail(error);
        say("TCP " + opt.tcpBind + ":" + std::to_string(port));
    }
    say("READY");

    std::vector<std::unique_ptr<Line>> clients;
    int clientCount = 0;
    std::vector<pollfd> fds;
    while (!stopRequested()) {
        Nanos now = monotonicNanos();
        fds.clear();
        Nanos deadline = INT64_MAX;
        auto add = [&](Line& l) {
            fds.push_back({l.fd(), l.pollEvents(now), 0});
            deadline = std::min(deadline, l.deadline(now));
        };
        if (ptyLine) add(*ptyLine);
        for (auto& c : clients)
            add(*c);
        if (listener >= 0) fds.push_back({listener, POLLIN, 0});

        timespec ts{};
        timespec* timeout = nullptr;
        if (deadline != INT64_MAX) {
            const Nanos wait = std::max<Nanos>(0, deadline - now);
            ts.tv_sec = wait / 1'000'000'000;
            ts.tv_nsec = wait % 1'000'000'000;
            timeout = &ts;
        }
        if (::ppoll(fds.data(), fds.size(), timeout, nullptr) < 0 && errno != EINTR)
            return fail(std::string("poll: ") + std::strerror(errno));
        now = monotonicNanos();

        size_t i = 0;
        if (ptyLine) {
            if (!ptyLine->service(fds[i].revents, now)) {
                say("DISCONNECTED pty");
                ptyLine.reset(); // closes the master: the host's next read or write fails
                ::close(pty.device);
                pty.device = -1;
                if (!opt.link.empty()) ::unlink(opt.link.c_str());
                if (listener < 0) return 0;
            }
            ++i;
        }
        for (auto it = clients.begin(); it != clients.end(); ++i) {
            if (!(*it)->service(fds[i].revents, now)) {
                say("DISCONNECTED " + (*it)->source());
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
        if (listener >= 0 && (fds[i].revents & POLLIN)) {
            const int c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c >= 0) {
                const int one = 1;
                ::setsockopt(c, IPPROTO_TCP, 1 /* TCP_NODELAY */, &one, sizeof one);
                const std::string name = "tcp" + std::to_string(++clientCount);
                clients.push_back(std::make_unique<Line>(c, name, opt));
                say("CONNECTED " + name);
            }
        }
    }
    if (!opt.link.empty() && opt.pty) ::unlink(opt.link.c_str());
    return 0;
}
