// The serial-device dispatcher for POSIX termios devices (serial ports, USB adapters,
// pseudo-terminals): exclusive open, line configuration, modem lines, and the three threads
// (com thread in poll() on the device, dispatcher thread, output thread), plus a modem-watch
// thread in TIOCMIWAIT on devices whose driver can wait for line changes.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "serial/dispatcher.h"

namespace brimwell {

// Platform error numbers that InitPort reports for the common open failures (the component
// maps them to its exceptions); every other failure is minus the errno of the failing call.
inline constexpr int kOpenErrorNotFound = 2;
inline constexpr int kOpenErrorPathNotFound = 3;
inline constexpr int kOpenErrorInUse = 5;
inline constexpr int kOpenErrorPermission = 13;

// How long a transmit flush waits for the output thread to let go of the output ring.
inline constexpr int kFlushAbortTimeoutMs = 5000;
// How long starting waits for each thread to report that it runs.
inline constexpr int kThreadStartTimeoutMs = 3000;
// The dispatcher thread runs a pass at least this often.
inline constexpr int kDispatcherPeriodMs = 50;

// A thread that spends its life blocked in system calls without a time-out (TIOCMIWAIT cannot be
// given one, nor woken through a descriptor) and is ended by interrupting them with a signal.
// The body gets the stop flag; every blocking call it makes must treat EINTR as "look at the flag".
class TSignalWakeThread {
  public:
    using Body = std::function<void(const std::atomic<bool>& stop)>;
    TSignalWakeThread() = default;
    ~TSignalWakeThread() { Stop(); }
    TSignalWakeThread(const TSignalWakeThread&) = delete;
    TSignalWakeThread& operator=(const TSignalWakeThread&) = delete;

    // Starts the body on a new thread (a running one is stopped first).
    void Start(Body body);
    // Raises the stop flag, then interrupts the thread's blocking call until the body has returned,
    // and joins it. Returns at once when no thread runs.
    void Stop();
    // True from Start until the body has returned.
    bool Running() const { return running_.load(); }
    // How many wake-up signals the last Stop sent (at least one when the thread was still running).
    int SignalsSent() const { return signalsSent_.load(); }
    // The real-time signal used, with its empty handler installed (once per process).
    static int WakeSignal();

  private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<int> signalsSent_{0};
    std::mutex leftMutex_;
    std::condition_variable leftCv_;
};

// Result of one wait for a modem-line change.
enum class ModemWaitResult {
    Changed,     // a watched line changed
    Interrupted, // a signal ended the wait (EINTR)
    Refused,     // the driver cannot wait for line changes (pseudo-terminals, many adapters)
    Failed,      // any other error (a device that went away)
};
// Blocks in TIOCMIWAIT on fd until CTS, DSR, DCD or RI changes (or a signal interrupts it).
ModemWaitResult WaitForModemChange(int fd);

class TQuavTermiosDispatcher : public TQuavBaseDispatcher {
  public:
    explicit TQuavTermiosDispatcher(void* owner = nullptr);
    ~TQuavTermiosDispatcher() override;

    // True when the device reports its modem lines (false on pseudo-terminals and some adapters,
    // where CTS, DSR and DCD read as on). Valid while open.
    bool ModemLinesReported() const { return modemLinesReported_.load(); }
    // True while a modem-watch thread blocks in TIOCMIWAIT for line changes; false where the
    // device cannot report its lines or refuses the wait, and the 50 ms pass polls them instead.
    bool ModemWatchActive() const { return modemWatchActive_.load(); }
    // Running background threads of this port (0 after a completed close; the modem-watch thread
    // is not counted).
    int RunningThreads() const { return runningThreads_.load(); }
    // Kernel thread ids of the com, dispatcher and output threads (0 where not running).
    std::array<int, 3> ThreadIds() const {
        return {comTid_.load(), dispatcherTid_.load(), outputTid_.load()};
    }

  protected:
    int32_t OpenCom(const std::string& name, uint32_t inSize, uint32_t outSize) override;
    int32_t CloseCom() override;
    bool SetupCom(uint32_t inSize, uint32_t outSize) override;
    int32_t GetComState(TDeviceControlBlock& dcb) override;
    int32_t SetComState(const TDeviceControlBlock& dcb) override;
    int32_t ReadCom(uint8_t* buffer, uint32_t n) override;
    uint32_t ReadComError(TComStat& status) override;
    uint8_t GetComModemStatus() override;
    int32_t EscapeComFunction(int function) override;
    void SetComBreak(bool on) override;
    int32_t PurgeCom(int direction) override;
    void SignalOutputRequest() override;
    uint32_t TryWriteDirect(const uint8_t* buffer, uint32_t n) override;
    void AbortOutput() override;
    void StartDispatcher() override;
    void StopDispatcher() override;
    void ProcessCommunications() override;
    void ApplyThreadBoost(TQuavThreadBoost boost, bool rs485) override;

  private:
    template <typename Body, typename OnExit>
    void runPortThread(std::atomic<int>& tid, const char* what, Body body, OnExit onExit);
    void comThread();
    void modemWatchBody(const std::atomic<bool>& stop);
    void stopModemWatch();
    void postModemEvents(uint32_t events);
    void dispatcherThread();
    void outputThread();
    void comThreadBody();
    void dispatcherThreadBody();
    void outputThreadBody();
    void acknowledgeOutput();
    void writeLoop();
    void threadStarted();
    void threadEnded();
    void closeDescriptors();

    int fd_ = -1;
    int wakeFd_ = -1;   // wakes the com thread (shutdown)
    int outReqFd_ = -1; // output-request
    int outAbortFd_ = -1;
    std::atomic<bool> modemLinesReported_{true};
    std::atomic<bool> icountSupported_{true};
    // Shadow of the configuration parts termios cannot hold (limits, DTR/DSR handshake fields).
    std::mutex stateMutex_; // shadow_ and icount_ (a leaf lock)
    TDeviceControlBlock shadow_;
    bool shadowValid_ = false;
    bool formatIgnored_ = false; // the device keeps its own byte size and parity
    std::atomic<bool> ctsFlow_{false};
    struct IcountSnapshot {
        int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    } icount_;

    std::thread comThread_, dispatcherThread_, outputThread_;
    TSignalWakeThread modemWatch_;
    std::atomic<bool> modemWatchActive_{false};
    std::atomic<bool> started_{false};
    std::atomic<int> runningThreads_{0};
    std::atomic<int> comTid_{0}, dispatcherTid_{0}, outputTid_{0};
    std::atomic<bool> boosted_{false};

    // com-event / ready hand-off between the com thread and the dispatcher thread.
    std::mutex eventMutex_;
    std::condition_variable eventCv_;
    uint32_t pendingEvents_ = 0;
    bool comEvent_ = false;
    bool modemEvent_ = false; // line changes from the modem-watch thread (no answer awaited)
    bool ready_ = true;
    // acknowledge from the output thread after an abort, and from threads at start.
    std::mutex ackMutex_;
    std::condition_variable ackCv_;
    uint64_t outputAcks_ = 0;
    int startAcks_ = 0;
    std::atomic<bool> abortRequested_{false}; // set with output-abort; the write loop checks it
    std::atomic<bool> writerIdle_{false};     // the output thread waits for output-request
};

// The device layer that the component's default DeviceLayer selects.
using TQuavWin32Dispatcher = TQuavTermiosDispatcher;

} // namespace brimwell
