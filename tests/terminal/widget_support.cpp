// Pseudo-terminal line and event-loop helpers for the terminal widget tests.
#include "widget_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace brimwell::widgettest {

bool runUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

void runFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

PtyLine::PtyLine() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return;
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0) {
        ::close(master_);
        master_ = -1;
        return;
    }
    path_ = name;
    holder_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (holder_ >= 0) {
        termios t{};
        ::tcgetattr(holder_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(holder_, TCSANOW, &t);
    }
    termios m{};
    ::tcgetattr(master_, &m);
    ::cfmakeraw(&m);
    ::tcsetattr(master_, TCSANOW, &m);
}

PtyLine::~PtyLine() {
    if (holder_ >= 0) ::close(holder_);
    if (master_ >= 0) ::close(master_);
}

void PtyLine::bindCom(unsigned n) const {
    ::setenv(("BRIMWELL_COM" + std::to_string(n)).c_str(), path_.c_str(), 1);
}

bool PtyLine::send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 50);
            continue;
        }
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

std::string PtyLine::receive(size_t n, int timeoutMs) {
    std::string got;
    runUntil(
        [&] {
            pollfd p{master_, POLLIN, 0};
            while (got.size() < n && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
                char buf[4096];
                const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - got.size()));
                if (r <= 0) break;
                got.append(buf, size_t(r));
            }
            return got.size() >= n;
        },
        timeoutMs);
    return got;
}

PtyStreamer::PtyStreamer(const PtyLine& line, std::string bytes)
    : thread_([this, &line, data = std::move(bytes)] {
          ok_ = line.send(data);
          finished_ = true;
      }) {}

PtyStreamer::~PtyStreamer() {
    if (thread_.joinable()) thread_.join();
}

} // namespace brimwell::widgettest
