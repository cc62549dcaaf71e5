// Cross-thread hand-off of trigger messages to the port component. The message itself travels in
// state guarded by our own mutex; the posted Qt event is only the wake-up of the UI thread.
#include "serial/component/com_notifier.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <chrono>

namespace brimwell::serial {
namespace {

int wakeEventType() {
    static const int type = QEvent::registerEventType();
    return type;
}

class CloseCompleteEvent : public QEvent {
  public:
    explicit CloseCompleteEvent(int32_t handle) : QEvent(Type(type())), handle(handle) {}
    static int type() {
        static const int t = QEvent::registerEventType();
        return t;
    }
    int32_t handle;
};

} // namespace

ComNotifier::ComNotifier(MessageHandler onMessage, CloseCompleteHandler onCloseComplete)
    : onMessage_(std::move(onMessage)), onCloseComplete_(std::move(onCloseComplete)) {}

ComNotifier::~ComNotifier() {
    shutdown();
}

bool ComNotifier::sendTriggerMessage(const TriggerMessage& message) {
    std::unique_lock<std::mutex> lock(mutex_);
    // While the component waits for a string no notification reaches its handlers; one that was
    // already under way when the wait began is turned away here rather than run inside the wait.
    if (closing_ || waiting_) return false;
    const uint64_t id = ++nextId_;
    pending_ = Request{id, message};
    inSend_ = true;
    QCoreApplication::postEvent(this, new QEvent(QEvent::Type(wakeEventType())));
    // A message the UI thread has started on is waited for to the end of the time-out even while
    // the port closes: the close is deferred until this delivery is over.
    done_.wait_for(lock, std::chrono::milliseconds(kWindowHandlerTimeoutMs),
                   [&] { return finishedId_ >= id || withdrawnId_ == id; });
    inSend_ = false;
    done_.notify_all();
    if (finishedId_ >= id) return true;
    // Not taken in time: withdraw it so the UI thread does not run it after the dispatcher has
    // moved on (the bytes it announced may be gone by then).
    if (pending_ && pending_->id == id) pending_.reset();
    return false;
}

void ComNotifier::endWait() {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_ = false;
}

void ComNotifier::withdrawPendingAndSettle(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (running_) return; // called from inside a handler: that delivery is ours to finish
    waiting_ = true;
    if (pending_) {
        withdrawnId_ = pending_->id;
        pending_.reset();
        done_.notify_all();
    }
    done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !inSend_; });
}

void ComNotifier::reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = false;
}

void ComNotifier::shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    if (pending_) {
        // Not started yet: the port's handlers must not see it any more.
        withdrawnId_ = pending_->id;
        pending_.reset();
        done_.notify_all();
    }
}

void ComNotifier::postCloseComplete(int32_t handle, int delayMs) {
    if (delayMs <= 0) {
        QCoreApplication::postEvent(this, new CloseCompleteEvent(handle));
        return;
    }
    QTimer::singleShot(delayMs, this,
                       [this, handle] { QCoreApplication::postEvent(this, new CloseCompleteEvent(handle)); });
}

void ComNotifier::runPending() {
    std::optional<Request> request;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        request.swap(pending_);
        if (request) running_ = true;
    }
    if (!request) return;
    onMessage_(request->message);
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    if (request->id > finishedId_) finishedId_ = request->id;
    done_.notify_all();
}

bool ComNotifier::event(QEvent* e) {
    QEvent::Type type;
    {
        // The wake-up event was made by the dispatcher thread while it held this mutex; taking it
        // before touching the event orders that thread's writes before our reads in a way the
        // race detector sees (Qt's own hand-off inside postEvent is invisible to it).
        std::lock_guard<std::mutex> lock(mutex_);
        type = e->type();
    }
    if (type == wakeEventType()) {
        runPending();
        return true;
    }
    if (type == CloseCompleteEvent::type()) {
        onCloseComplete_(static_cast<CloseCompleteEvent*>(e)->handle);
        return true;
    }
    return QObject::event(e);
}

} // namespace brimwell::serial
