// A pseudo-terminal pair for tests: the test holds the master side and plays the far end of the
// line; the slave path is what the serial port opens (through BRIMWELL_COMn).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace brimwell::testing {

class PtyPair {
  public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            throw std::runtime_error("cannot create a pseudo-terminal");
        slavePath_ = ptsname(master_);
        // Hold the slave open so the master never sees a hang-up between the port's opens.
        keeper_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(keeper_, &t);
        cfmakeraw(&t);
        tcsetattr(keeper_, TCSANOW, &t);
    }
    ~PtyPair() {
        if (keeper_ >= 0) ::close(keeper_);
        if (master_ >= 0) ::close(master_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }

    // Points COMn at this pair's slave.
    void mapTo(int comNumber) const {
        setenv(("BRIMWELL_COM" + std::to_string(comNumber)).c_str(), slavePath_.c_str(), 1);
    }

    void write(const std::string& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) throw std::runtime_error("write to pseudo-terminal failed");
            done += static_cast<size_t>(n);
        }
    }

    // Whatever arrives within `ms` milliseconds (returns early once `atLeast` bytes are in).
    std::string read(int ms, size_t atLeast = 1) const {
        std::string out;
        const auto deadline = now() + ms;
        while (out.size() < atLeast) {
            const long left = deadline - now();
            if (left <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

  private:
    static long now() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
    }

    int master_ = -1;
    int keeper_ = -1;
    std::string slavePath_;
};

} // namespace brimwell::testing
