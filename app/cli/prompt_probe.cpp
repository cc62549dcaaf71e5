// The asynchronous prompt probe of a test bed's adapter.
#include "app/cli/prompt_probe.h"

#include "serial/line_rate.h"

#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace brimwell::cli {

PromptProbe::PromptProbe(const std::string& device, uint32_t baud, std::string prompts, int timeoutMs,
                         QObject* parent)
    : QObject(parent), prompts_(std::move(prompts)) {
    // Another program's lock file, or its flock, means the line is in use: not ours to talk on.
    if (lock_.take(device) != serial::DeviceLock::Outcome::HeldByOther)
        fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0 || ::tcgetattr(fd_, &tio) != 0) {
        QTimer::singleShot(0, this, [this] { finish(false); });
        return;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(fd_, TCSANOW, &tio);
    if (baud > 0) serial::setLineRate(fd_, baud);
    ::tcflush(fd_, TCIFLUSH);
    reader_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(reader_, &QSocketNotifier::activated, this, [this] {
        char buf[256];
        ssize_t n = 0;
        while ((n = ::read(fd_, buf, sizeof buf)) > 0)
            if (std::string_view(buf, static_cast<size_t>(n)).find_first_of(prompts_) !=
                std::string_view::npos)
                return finish(true);
        // A line that went away (the unit's cable, a simulator that ended) answers no more.
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) finish(false);
    });
    limit_ = new QTimer(this);
    limit_->setSingleShot(true);
    connect(limit_, &QTimer::timeout, this, [this] { finish(false); });
    limit_->start(timeoutMs);
    if (::write(fd_, "\r", 1) != 1) QTimer::singleShot(0, this, [this] { finish(false); });
}

PromptProbe::~PromptProbe() {
    if (fd_ >= 0) ::close(fd_);
}

void PromptProbe::finish(bool answered) {
    if (finished_) return;
    finished_ = true;
    if (reader_) reader_->setEnabled(false);
    if (limit_) limit_->stop();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    lock_.release();
    emit done(answered);
    deleteLater();
}

} // namespace brimwell::cli
