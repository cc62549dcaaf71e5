// A pseudo-terminal pair for the component tests: the component opens the slave path (through a
// COM number pointed at it with BRIMWELL_COMn), the test plays the far end on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace brimwell::testing {

class TestPty {
  public:
    TestPty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) return;
        path_ = name;
        // Keep one slave descriptor open so the master never sees a hang-up between the
        // component's closes and reopens; raw mode so no byte is changed on the way.
        holder_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (holder_ >= 0) {
            termios t{};
            ::tcgetattr(holder_, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(holder_, TCSANOW, &t);
        }
    }
    ~TestPty() {
        if (holder_ >= 0) ::close(holder_);
        if (master_ >= 0) ::close(master_);
    }
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool ok() const { return master_ >= 0 && holder_ >= 0 && !path_.empty(); }
    const std::string& path() const { return path_; }
    int master() const { return master_; }

    // Points COMn at this pty.
    void bindCom(unsigned n) const {
        ::setenv(("BRIMWELL_COM" + std::to_string(n)).c_str(), path_.c_str(), 1);
    }

    bool send(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += std::size_t(n);
        }
        return true;
    }

    // Reads until |count| bytes came or |timeoutMs| passed; returns what came.
    std::string receive(std::size_t count, int timeoutMs = 3000) const {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, int(left)) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n > 0)
                out.append(buf, std::size_t(n));
            else if (n < 0 && errno != EINTR && errno != EAGAIN)
                break;
        }
        return out;
    }

  private:
    int master_ = -1;
    int holder_ = -1;
    std::string path_;
};

} // namespace brimwell::testing
