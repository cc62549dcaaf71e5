// A thread ended by a signal, for watchers that block in calls without a time-out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace brimwell::serial {

// A thread that spends its life blocked in system calls without a time-out (TIOCMIWAIT cannot be
// given one, nor woken through a descriptor) and is ended by interrupting them with a signal.
// The body gets the stop flag; every blocking call it makes must treat EINTR as "look at the flag".
class SignalWakeThread {
  public:
    using Body = std::function<void(const std::atomic<bool>& stop)>;
    SignalWakeThread() = default;
    ~SignalWakeThread() { stop(); }
    SignalWakeThread(const SignalWakeThread&) = delete;
    SignalWakeThread& operator=(const SignalWakeThread&) = delete;

    // Starts the body on a new thread (a running one is stopped first).
    void start(Body body);
    // Raises the stop flag, then interrupts the thread's blocking call until the body has returned,
    // and joins it. Returns at once when no thread runs.
    void stop();
    // True from Start until the body has returned.
    bool running() const { return running_.load(); }
    // How many wake-up signals the last Stop sent (at least one when the thread was still running).
    int signalsSent() const { return signalsSent_.load(); }
    // The real-time signal used, with its empty handler installed (once per process).
    static int wakeSignal();

  private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<int> signalsSent_{0};
    std::mutex leftMutex_;
    std::condition_variable leftCv_;
};

} // namespace brimwell::serial
