// Network port names and the TCP connection behind them.
#include "serial/net_endpoint.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "serial/error_codes.h"
#include "serial/setup_stop.h"

namespace brimwell::serial {
namespace {

constexpr std::string_view kSocketPrefix = "socket://";
constexpr std::string_view kRfc2217Prefix = "rfc2217://";

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

int32_t codeForLookup(int rc, int sysErrno) {
    // EAI_AGAIN is what a host without a reachable name server reports for every name it does
    // not know itself: for the operator that is still "host not found".
    return rc == EAI_SYSTEM ? socketCodeForErrno(sysErrno) : result::kSocketHostNotFound;
}

// Waits for a non-blocking connect() to finish; 0 or the errno it ended with (ECANCELED: a stop).
int finishConnect(int fd, const SetupDeadline& deadline) {
    if (const int err = pollInSlicesErrno(fd, POLLOUT, deadline); err != 0) return err;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

// The name lookup runs on a thread of its own, since getaddrinfo() cannot be interrupted: the
// opening waits for it in slices and leaves it behind on a stop (it then frees its own result).
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false, abandoned = false;
    int rc = 0, sysErrno = 0;
    addrinfo* list = nullptr;
};

int lookUp(const NetEndpoint& endpoint, addrinfo*& list, int& sysErrno) {
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host = endpoint.host, port = endpoint.port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
        const int err = errno;
        std::lock_guard<std::mutex> g(lookup->mutex);
        if (lookup->abandoned) {
            if (rc == 0) ::freeaddrinfo(found);
            return;
        }
        lookup->rc = rc;
        lookup->sysErrno = err;
        lookup->list = found;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    const SetupDeadline deadline(-1);
    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->finished) {
        if (deadline.stopped()) {
            lookup->abandoned = true;
            return EAI_CANCELED;
        }
        lookup->done.wait_for(lock, std::chrono::milliseconds(deadline.sliceMs()));
    }
    list = lookup->list;
    sysErrno = lookup->sysErrno;
    return lookup->rc;
}

} // namespace

NetScheme netSchemeOf(std::string_view name) {
    if (startsWithNoCase(name, kSocketPrefix)) return NetScheme::Socket;
    if (startsWithNoCase(name, kRfc2217Prefix)) return NetScheme::Rfc2217;
    return NetScheme::None;
}

std::optional<NetEndpoint> parseNetEndpoint(std::string_view name) {
    NetEndpoint e;
    e.scheme = netSchemeOf(name);
    if (e.scheme == NetScheme::None) return std::nullopt;
    name.remove_prefix(e.scheme == NetScheme::Socket ? kSocketPrefix.size() : kRfc2217Prefix.size());
    // A trailing slash is what people add to URLs out of habit.
    if (name.ends_with('/')) name.remove_suffix(1);
    std::size_t colon;
    if (name.starts_with('[')) {
        const std::size_t close = name.find(']');
        if (close == std::string_view::npos || close + 1 >= name.size() || name[close + 1] != ':')
            return std::nullopt;
        e.host = std::string(name.substr(1, close - 1));
        colon = close + 1;
    } else {
        colon = name.rfind(':');
        if (colon == std::string_view::npos || name.substr(0, colon).find(':') != std::string_view::npos)
            return std::nullopt;
        e.host = std::string(name.substr(0, colon));
    }
    e.port = std::string(name.substr(colon + 1));
    if (e.host.empty() || e.port.empty() || e.port.find_first_of("/?# ") != std::string::npos)
        return std::nullopt;
    return e;
}

int32_t socketCodeForErrno(int err) {
    switch (err) {
    case ECANCELED:
        return result::kSocketStopped;
    case ECONNREFUSED:
        return result::kSocketRefused;
    case ETIMEDOUT:
        return result::kSocketTimedOut;
    case ENETUNREACH:
    case ENETDOWN:
        return result::kSocketNetUnreachable;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return result::kSocketHostUnreachable;
    default:
        return result::kSocketConnectionLost;
    }
}

int connectTcp(const NetEndpoint& endpoint, int timeoutMs, int32_t& code, int& sysErrno) {
    addrinfo* list = nullptr;
    int lookupErrno = 0;
    const int rc = lookUp(endpoint, list, lookupErrno);
    if (rc != 0) {
        sysErrno = rc == EAI_SYSTEM ? lookupErrno : 0;
        code = rc == EAI_CANCELED ? result::kSocketStopped : codeForLookup(rc, lookupErrno);
        return -1;
    }
    const SetupDeadline deadline(timeoutMs);
    int lastErr = ECONNREFUSED;
    int fd = -1;
    for (addrinfo* a = list; a != nullptr && fd < 0; a = a->ai_next) {
        if (deadline.stopped() || deadline.passed()) {
            lastErr = deadline.stopped() ? ECANCELED : ETIMEDOUT;
            break;
        }
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastErr = errno;
            continue;
        }
        int err = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINPROGRESS) err = finishConnect(fd, deadline);
        if (err != 0) {
            ::close(fd);
            fd = -1;
            lastErr = err;
        }
    }
    ::freeaddrinfo(list);
    if (fd < 0) {
        sysErrno = lastErr;
        code = socketCodeForErrno(lastErr);
        return -1;
    }
    // Prompts and commands are a few bytes each; they must not wait for more to fill a segment.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A server that vanishes without closing (a pulled cable) is noticed after about ten seconds.
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    const int idle = 5, interval = 1, count = 5;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    code = 0;
    sysErrno = 0;
    return fd;
}

} // namespace brimwell::serial
