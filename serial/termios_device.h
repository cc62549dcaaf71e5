// The device layer for POSIX termios devices (serial ports, USB adapters, pseudo-terminals):
// exclusive open, line configuration, modem lines, line-error counters, and a modem-watch thread in
// TIOCMIWAIT on devices whose driver can wait for line changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "serial/device_layer.h"
#include "serial/signal_wake_thread.h"
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

class TermiosDevice : public DeviceLayer {
  public:
    TermiosDevice() = default;
    ~TermiosDevice() override;

    // True when the device reports its modem lines (false on pseudo-terminals and some adapters,
    // where CTS, DSR and DCD read as on). Valid while open.
    bool modemLinesReported() const { return modemLinesReported_.load(); }
    // True while a modem-watch thread blocks in TIOCMIWAIT for line changes; false where the
    // device cannot report its lines or refuses the wait, and the periodic pass polls them instead.
    bool modemWatchActive() const { return modemWatchActive_.load(); }

    int open(const std::string& name, PortError& error) override;
    void close() override;
    int32_t apply(const LineSettings& settings) override;
    bool current(LineSettings& settings) override;
    ModemLines modemLines() override;
    bool setDtr(bool on) override;
    bool setRts(bool on) override;
    void setBreak(bool on) override;
    int32_t purge(Direction direction) override;
    LineStatus lineStatus() override;
    uint32_t read(uint8_t* buffer, uint32_t n) override;
    ssize_t write(const iovec* iov, int count) override;
    void threadsStarted() override;
    void threadsStopping() override;
    int32_t driverOutQueue() override;
    uint32_t driverQueueSize() const override;

  private:
    // Raises (TIOCMBIS) or drops (TIOCMBIC) one output line.
    bool setOutputLine(int line, bool on);
    void modemWatchBody(const std::atomic<bool>& stop);

    std::atomic<bool> modemLinesReported_{true};
    std::atomic<bool> pseudoTerminal_{false};
    std::atomic<bool> icountSupported_{true};
    // Shadow of the settings termios cannot hold (limits, DTR/DSR handshake fields).
    std::mutex stateMutex_; // shadow_ and icount_ (a leaf lock)
    LineSettings shadow_;
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

} // namespace brimwell::serial
