// Main-thread calls: the call travels in state guarded by our own mutex; a posted event only
// wakes the main thread.
#include "serial/component/main_thread_call.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "serial/dispatcher.h"

namespace brimwell::serial {
namespace {

struct Call {
    const std::function<void()>* fn = nullptr;
    bool started = false;
    bool finished = false;
    bool withdrawn = false;
};

class MainThreadRunner : public QObject {
  public:
    static MainThreadRunner& instance() {
        // Made on first use; moved to the main thread so its events run there.
        static MainThreadRunner* runner = [] {
            auto* r = new MainThreadRunner;
            if (auto* app = QCoreApplication::instance()) r->moveToThread(app->thread());
            return r;
        }();
        return *runner;
    }

    bool run(const std::function<void()>& fn, int startTimeoutMs) {
        Call call;
        call.fn = &fn;
        std::unique_lock<std::mutex> lock(mutex_);
        queue_.push_back(&call);
        QCoreApplication::postEvent(this, new QEvent(QEvent::Type(wakeType())));
        if (!cv_.wait_for(lock, std::chrono::milliseconds(startTimeoutMs), [&] { return call.started; })) {
            std::erase(queue_, &call);
            call.withdrawn = true;
            return false;
        }
        cv_.wait(lock, [&] { return call.finished; });
        return true;
    }

  protected:
    bool event(QEvent* e) override {
        QEvent::Type type;
        {
            // The event was made under this mutex by the calling thread; see ComNotifier::event.
            std::lock_guard<std::mutex> lock(mutex_);
            type = e->type();
        }
        if (type != wakeType()) return QObject::event(e);
        for (;;) {
            Call* call = nullptr;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (queue_.empty()) break;
                call = queue_.front();
                queue_.pop_front();
                call->started = true;
            }
            cv_.notify_all();
            try {
                (*call->fn)();
            } catch (...) {
                // A handler's failure stays on the main thread; the waiting thread just goes on.
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                call->finished = true;
            }
            cv_.notify_all();
        }
        return true;
    }

  private:
    static int wakeType() {
        static const int type = QEvent::registerEventType();
        return type;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Call*> queue_;
};

constexpr int kSyncHandlerStartTimeoutMs = 3000;

} // namespace

bool runOnMainThread(const std::function<void()>& call, int startTimeoutMs) {
    auto* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) {
        call();
        return true;
    }
    return MainThreadRunner::instance().run(call, startTimeoutMs);
}

void installMainThreadSynchronizer() {
    static std::once_flag once;
    std::call_once(once, [] {
        MainThreadRunner::instance(); // made here, on the thread that makes the first component
        Dispatcher::setMainThreadSynchronizer(
            [](const std::function<void()>& call) { runOnMainThread(call, kSyncHandlerStartTimeoutMs); });
    });
}

} // namespace brimwell::serial
