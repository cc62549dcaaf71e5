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

#include "serial/error_codes.h"

namespace brimwell {
namespace {

constexpr std::string_view kSocketPrefix = "socket://";
constexpr std::string_view kRfc2217Prefix = "rfc2217://";

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

int32_t codeForLookup(int rc) {
    // EAI_AGAIN is what a host without a reachable name server reports for every name it does
    // not know itself: for the operator that is still "host not found".
    return rc == EAI_SYSTEM ? socketCodeForErrno(errno) : secSocketHostNotFound;
}

// Waits for a non-blocking connect() to finish; 0 or the errno it ended with.
int finishConnect(int fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return ETIMEDOUT;
    if (r < 0) return errno;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
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
    case ECONNREFUSED:
        return secSocketRefused;
    case ETIMEDOUT:
        return secSocketTimedOut;
    case ENETUNREACH:
    case ENETDOWN:
        return secSocketNetUnreachable;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return secSocketHostUnreachable;
    default:
        return secSocketConnectionLost;
    }
}

int connectTcp(const NetEndpoint& endpoint, int timeoutMs, int32_t& code, int& sysErrno) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(endpoint.host.c_str(), endpoint.port.c_str(), &hints, &list);
    if (rc != 0) {
        sysErrno = rc == EAI_SYSTEM ? errno : 0;
        code = codeForLookup(rc);
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int lastErr = ECONNREFUSED;
    int fd = -1;
    for (addrinfo* a = list; a != nullptr && fd < 0; a = a->ai_next) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            lastErr = ETIMEDOUT;
            break;
        }
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastErr = errno;
            continue;
        }
        int err = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINPROGRESS) err = finishConnect(fd, static_cast<int>(left.count()));
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

} // namespace brimwell
