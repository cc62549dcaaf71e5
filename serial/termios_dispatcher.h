// The device layer for POSIX termios devices (serial ports, USB adapters, pseudo-terminals), a thin
// class on the thread engine: exclusive open, line configuration, modem lines, line-error counters,
// and a modem-watch thread in TIOCMIWAIT on devices whose driver can wait for line changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "serial/signal_wake_thread.h"
#include "serial/thread_engine.h"
#include "serial/uucp_lock.h"

namespace brimwell {

// Platform error numbers that InitPort reports for the common open failures (the component
// maps them to its exceptions); every other failure is minus the errno of the failing call.
inline constexpr int kOpenErrorNotFound = 2;
inline constexpr int kOpenErrorPathNotFound = 3;
inline constexpr int kOpenErrorInUse = 5;
inline constexpr int kOpenErrorPermission = 13;

// Result of one wait for a modem-line change.
enum class ModemWaitResult {
    Changed,     // a watched line changed
    Interrupted, // a signal ended the wait (EINTR)
    Refused,     // the driver cannot wait for line changes (pseudo-terminals, many adapters)
    Failed,      // any other error (a device that went away)
};
// Blocks in TIOCMIWAIT on fd until CTS, DSR, DCD or RI changes (or a signal interrupts it).
ModemWaitResult WaitForModemChange(int fd);

class TQuavTermiosDispatcher : public TQuavThreadEngine {
  public:
    explicit TQuavTermiosDispatcher(void* owner = nullptr) : TQuavThreadEngine(owner) {}
    ~TQuavTermiosDispatcher() override;

    // True when the device reports its modem lines (false on pseudo-terminals and some adapters,
    // where CTS, DSR and DCD read as on). Valid while open.
    bool ModemLinesReported() const { return modemLinesReported_.load(); }
    // True while a modem-watch thread blocks in TIOCMIWAIT for line changes; false where the
    // device cannot report its lines or refuses the wait, and the periodic pass polls them instead.
    bool ModemWatchActive() const { return modemWatchActive_.load(); }

    int32_t DriverOutQueue() override;
    uint32_t DriverQueueSize() const override;

  protected:
    int OpenDevice(const std::string& name) override;
    void ReleaseDevice(int fd) override;
    void DeviceThreadsStarted() override;
    void DeviceThreadsStopping() override;
    bool SetupCom(uint32_t inSize, uint32_t outSize) override;
    int32_t GetComState(TDeviceControlBlock& dcb) override;
    int32_t SetComState(const TDeviceControlBlock& dcb) override;
    uint32_t ReadComError(TComStat& status) override;
    uint8_t GetComModemStatus() override;
    int32_t EscapeComFunction(int function) override;
    void SetComBreak(bool on) override;
    int32_t PurgeCom(int direction) override;

  private:
    void modemWatchBody(const std::atomic<bool>& stop);

    std::atomic<bool> modemLinesReported_{true};
    std::atomic<bool> pseudoTerminal_{false};
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
    TSignalWakeThread modemWatch_;
    DeviceLock lockFiles_; // our lock files while the device is open (the thread that opens and closes)
    std::atomic<bool> modemWatchActive_{false};
};

// The device layer that the component's default DeviceLayer selects.
using TQuavWin32Dispatcher = TQuavTermiosDispatcher;

} // namespace brimwell
