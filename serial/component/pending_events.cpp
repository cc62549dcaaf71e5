// processPendingEvents() and the application-terminating test over QCoreApplication.
#include "serial/component/pending_events.h"

#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <mutex>

namespace brimwell::serial {
namespace {

std::atomic<bool> g_quitting{false};

void watchForQuit() {
    // aboutToQuit is the only portable sign that the main loop is ending; hook it once per
    // application object.
    static std::once_flag once;
    std::call_once(once, [] {
        if (auto* app = QCoreApplication::instance())
            QObject::connect(app, &QCoreApplication::aboutToQuit, [] { g_quitting.store(true); });
    });
}

} // namespace

void processPendingEvents() {
    if (QCoreApplication::instance() == nullptr) return;
    watchForQuit();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

DescriptorSleep::DescriptorSleep(int fd) : fd_(fd >= 0 ? ::dup(fd) : -1) {}

DescriptorSleep::~DescriptorSleep() {
    notifier_.reset();
    timer_.reset();
    if (fd_ >= 0) ::close(fd_);
}

void DescriptorSleep::sleep(int64_t maxMicros, bool processMessages) {
    if (maxMicros <= 0) return;
    auto* app = QCoreApplication::instance();
    if (!processMessages || app == nullptr || QThread::currentThread() != app->thread()) {
        pollfd fds{fd_, POLLIN, 0};
        ::poll(&fds, fd_ >= 0 ? 1 : 0, int((maxMicros + 999) / 1000));
        return;
    }
    watchForQuit();
    if (!timer_) {
        timer_ = std::make_unique<QTimer>();
        timer_->setSingleShot(true);
        timer_->setTimerType(Qt::PreciseTimer);
    }
    // Both only end the sleep: the timer's event and the notifier's activation each end the
    // processing of one batch. The caller drains the descriptor before it looks again.
    if (!notifier_ && fd_ >= 0)
        notifier_ = std::make_unique<QSocketNotifier>(qintptr(fd_), QSocketNotifier::Read);
    if (notifier_) notifier_->setEnabled(true);
    timer_->start(int((maxMicros + 999) / 1000));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    timer_->stop();
    if (notifier_) notifier_->setEnabled(false);
}

bool applicationTerminating() {
    if (QCoreApplication::instance() == nullptr) return false;
    watchForQuit();
    return g_quitting.load() || QCoreApplication::closingDown();
}

} // namespace brimwell::serial
