// The signal-woken thread: start, and a stop that interrupts its blocking call until it returns.
#include "serial/signal_wake_thread.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>

#include "serial/exception_report.h"

namespace brimwell::serial {
namespace {

void ignoreWakeSignal(int) {}

} // namespace

// ---- Signal-woken thread ----------------------------------------------------------------------

// A real-time signal, as every standard signal already means something to somebody (SIGUSR1/2 to
// debuggers and libraries). Its handler is empty and installed without SA_RESTART: its only effect
// is that the thread's blocking call returns EINTR instead of being restarted by the kernel.
int SignalWakeThread::wakeSignal() {
    static const int signal = [] {
        const int sig = SIGRTMIN + 4;
        struct sigaction action {};
        action.sa_handler = ignoreWakeSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(sig, &action, nullptr);
        return sig;
    }();
    return signal;
}

void SignalWakeThread::start(Body body) {
    stop();
    wakeSignal(); // the handler must be in place before the first signal can be sent
    stop_ = false;
    running_ = true;
    signalsSent_ = 0;
    thread_ = std::thread([this, body = std::move(body)] {
        try {
            body(stop_);
        } catch (...) {
            reportException("exception in a signal-woken thread", std::current_exception());
        }
        {
            std::lock_guard<std::mutex> g(leftMutex_);
            running_ = false;
        }
        leftCv_.notify_all();
    });
}

// A signal that arrives after the body looked at the stop flag but before it entered its blocking
// call only runs the empty handler and is lost; so the signal is sent again, a millisecond apart,
// until the body has returned. The thread is not joined before that: pthread_kill needs a thread
// that has not been joined yet.
void SignalWakeThread::stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    const pthread_t handle = thread_.native_handle();
    std::unique_lock<std::mutex> lock(leftMutex_);
    while (running_.load()) {
        ::pthread_kill(handle, wakeSignal());
        signalsSent_.fetch_add(1);
        leftCv_.wait_for(lock, std::chrono::milliseconds(1), [this] { return !running_.load(); });
    }
    lock.unlock();
    thread_.join();
}

} // namespace brimwell::serial
