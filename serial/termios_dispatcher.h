// The serial-device dispatcher for POSIX termios devices (serial ports, USB adapters,
// pseudo-terminals): exclusive open, line configuration, modem lines, and the three threads
// (com thread in poll() on the device, dispatcher thread, output thread).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
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

class TQuavTermiosDispatcher : public TQuavBaseDispatcher {
  public:
    explicit TQuavTermiosDispatcher(void* owner = nullptr);
    ~TQuavTermiosDispatcher() override;

    // True when the device reports its modem lines (false on pseudo-terminals and some adapters,
    // where CTS, DSR and DCD read as on). Valid while open.
    bool ModemLinesReported() const { return modemLinesReported_.load(); }
    // Running background threads of this port (0 after a completed close).
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
    void comThread();
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
    std::atomic<bool> started_{false};
    std::atomic<int> runningThreads_{0};
    std::atomic<int> comTid_{0}, dispatcherTid_{0}, outputTid_{0};
    std::atomic<bool> boosted_{false};

    // com-event / ready hand-off between the com thread and the dispatcher thread.
    std::mutex eventMutex_;
    std::condition_variable eventCv_;
    uint32_t pendingEvents_ = 0;
    bool comEvent_ = false;
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
