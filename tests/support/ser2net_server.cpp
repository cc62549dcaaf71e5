// Starting and stopping a test's own ser2net.
#include "support/ser2net_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace brimwell::test {
namespace {

constexpr auto kStartLimit = std::chrono::seconds(20);

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

} // namespace

int Ser2netServer::freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Ser2netServer::start(const std::string& device, Mode mode, const std::string& dir,
                          const std::string& initialLine) {
    stop();
    mode_ = mode;
    port_ = freePort();
    const std::string config = dir + "/ser2net-" + std::to_string(port_) + ".yaml";
    std::ofstream(config) << "connection: &unit\n  accepter: "
                          << (mode == Mode::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1,"
                          << port_ << "\n  connector: serialdev,"
                          << std::filesystem::canonical(device).string() << "," << initialLine
                          << ",local\n  options:\n    kickolduser: true\n";
    pid_ = ::fork();
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execlp("ser2net", "ser2net", "-n", "-d", "-c", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto until = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < until) {
        const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback(port_);
        const bool accepted = ::connect(probe, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
        ::close(probe);
        if (accepted) return true;
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    return false;
}

void Ser2netServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string Ser2netServer::url() const {
    return std::string(mode_ == Mode::Rfc2217 ? "rfc2217://" : "socket://") +
           "127.0.0.1:" + std::to_string(port_);
}

} // namespace brimwell::test
