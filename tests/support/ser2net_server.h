// ser2net, the real serial-port server, started by a test with a configuration of its own: one
// device served on a free loopback port, as RFC 2217 (telnet) or raw TCP.
#pragma once

#include <string>
#include <sys/types.h>

namespace brimwell::test {

class Ser2netServer {
  public:
    enum class Mode { Rfc2217, Raw };
    Ser2netServer() = default;
    ~Ser2netServer() { stop(); }
    Ser2netServer(const Ser2netServer&) = delete;
    Ser2netServer& operator=(const Ser2netServer&) = delete;

    // Serves `device` (symlinks are followed) at `initialLine` (ser2net's "9600n81" form); the
    // configuration file goes to `dir`. True once the port accepts connections.
    bool start(const std::string& device, Mode mode, const std::string& dir,
               const std::string& initialLine = "9600n81");
    void stop();
    // rfc2217://127.0.0.1:PORT or socket://127.0.0.1:PORT.
    std::string url() const;

    // A loopback TCP port on which nothing listens right now.
    static int freePort();

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    Mode mode_ = Mode::Rfc2217;
};

} // namespace brimwell::test
