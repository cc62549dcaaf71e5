// A plain blocking HTTP client over a loopback TCP socket.
#include "support/http_client.h"

#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace brimwell::testing {

HttpAnswer httpRequest(int port, const std::string& method, const std::string& path,
                       const std::vector<std::string>& headers, const std::string& body) {
    HttpAnswer answer;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return answer;
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const std::string& h : headers)
        request += h + "\r\n";
    if (!body.empty())
        request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    std::string raw;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        // The server may keep the connection open: the answer ends after Content-Length bytes.
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
            raw.append(buf, static_cast<size_t>(n));
            const size_t end = raw.find("\r\n\r\n");
            const size_t length = raw.find("\r\nContent-Length: ");
            if (end != std::string::npos && length != std::string::npos && length < end &&
                raw.size() >= end + 4 + std::stoul(raw.substr(length + 18)))
                break;
        }
    }
    ::close(fd);
    const size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return answer;
    answer.status = std::stoi(raw.substr(9, 3));
    for (size_t at = raw.find("\r\n") + 2; at < end;) {
        const size_t eol = raw.find("\r\n", at);
        const std::string line = raw.substr(at, eol - at);
        const size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (colon != std::string::npos)
            answer.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        at = eol + 2;
    }
    answer.body = raw.substr(end + 4);
    return answer;
}

} // namespace brimwell::testing
