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

namespace brimwell::serial {

// Result of one wait for a modem-line change.
enum class ModemWaitResult {
    Changed,     // a watched line changed
    Interrupted, // a signal ended the wait (EINTR)
    Refused,     // the driver cannot wait for line changes (pseudo-terminals, many adapters)
    Failed,      // any other error (a device that went away)
};
// Blocks in TIOCMIWAIT on fd until CTS, DSR, DCD or RI changes (or a signal interrupts it).
ModemWaitResult waitForModemChange(int fd);

class TermiosDispatcher : public ThreadEngine {
  public:
    explicit TermiosDispatcher(void* owner = nullptr) : ThreadEngine(owner) {}
    ~TermiosDispatcher() override;

    // True when the device reports its modem lines (false on pseudo-terminals and some adapters,
    // where CTS, DSR and DCD read as on). Valid while open.
    bool modemLinesReported() const { return modemLinesReported_.load(); }
    // True while a modem-watch thread blocks in TIOCMIWAIT for line changes; false where the
    // device cannot report its lines or refuses the wait, and the periodic pass polls them instead.
    bool modemWatchActive() const { return modemWatchActive_.load(); }

    int32_t driverOutQueue() override;
    uint32_t driverQueueSize() const override;

  protected:
    int openDevice(const std::string& name) override;
    void releaseDevice(int fd) override;
    void deviceThreadsStarted() override;
    void deviceThreadsStopping() override;
    bool setupCom(uint32_t inSize, uint32_t outSize) override;
    int32_t getComState(DeviceConfig& dcb) override;
    int32_t setComState(const DeviceConfig& dcb) override;
    uint32_t readComError(ComStatus& status) override;
    uint8_t getComModemStatus() override;
    int32_t escapeComFunction(int function) override;
    void setComBreak(bool on) override;
    int32_t purgeCom(int direction) override;

  private:
    void modemWatchBody(const std::atomic<bool>& stop);

    std::atomic<bool> modemLinesReported_{true};
    std::atomic<bool> pseudoTerminal_{false};
    std::atomic<bool> icountSupported_{true};
    // Shadow of the configuration parts termios cannot hold (limits, DTR/DSR handshake fields).
    std::mutex stateMutex_; // shadow_ and icount_ (a leaf lock)
    DeviceConfig shadow_;
    bool shadowValid_ = false;
    bool formatIgnored_ = false; // the device keeps its own byte size and parity
    std::atomic<bool> ctsFlow_{false};
    struct IcountSnapshot {
        int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    } icount_;
    SignalWakeThread modemWatch_;
    DeviceLock lockFiles_; // our lock files while the device is open (the thread that opens and closes)
    std::atomic<bool> modemWatchActive_{false};
};

// The device layer that the component's default deviceLayer selects.
using TermiosDispatcher = TermiosDispatcher;

} // namespace brimwell::serial
