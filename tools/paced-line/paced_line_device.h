// A serial line as a real UART driver presents it, in front of any tty (a simulator's
// pseudo-terminal): a transmit queue of the driver's size that drains at the configured baud rate,
// its fill reported as TIOCOUTQ would, purged by a transmit flush; writes it can refuse; and an
// unplug after which every call fails as on a vanished USB adapter. Pseudo-terminals have none of
// these, so this layer is how the stack is tried against them. What leaves the queue reaches the
// tty behind it whenever that tty's reader takes it: like a real line, the queue never waits for
// the far end.
//
// Port name: paced:PATH[?OPTION=VALUE&...] with the options
//   queue=N          transmit queue size (default: a UART's 4096 bytes)
//   refuse-at=N      once N bytes were taken, writes are refused (EPROTO) ...
//   refusals=K       ... K times, then taken again (default: for good)
//   unplug-at=N      the device is unplugged once N bytes went out on the line ...
//   unplug-errno=E   ... and every call then fails with E: EIO, ENXIO or ENODEV (default ENODEV)
//   max-rate=N       rates above N baud are refused, as by a UART whose clock cannot make them
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serial/termios_device.h"

namespace brimwell::paced {

inline constexpr const char* kPacedPrefix = "paced:";

struct LineOptions {
    std::string path;
    uint32_t queueSize = serial::kUartQueueSize;
    int64_t refuseAt = -1; // -1: never
    int64_t refusals = -1; // -1: for good
    int64_t unplugAt = -1; // -1: never
    int unplugErrno = ENODEV;
    int64_t maxRate = -1; // -1: every rate
};

// The options of a port name, or nothing (with a reason) when it does not parse.
std::optional<LineOptions> parseLineName(const std::string& name, std::string& error);

class PacedLineDevice : public serial::TermiosDevice {
  public:
    PacedLineDevice() = default;
    ~PacedLineDevice() override;

    // Unplugs the device now: every further call fails with err.
    void unplug(int err);
    // Called (on the pacing thread) when the device is unplugged by its unplug-at option.
    void setUnplugHandler(std::function<void(int err)> handler) { onUnplug_ = std::move(handler); }
    // Bytes that went out on the line since the open.
    uint64_t bytesOnLine();

    int32_t driverOutQueue() override;
    uint32_t driverQueueSize() const override;
    int open(const std::string& name, serial::PortError& error) override;
    void threadsStarted() override;
    void threadsStopping() override;
    int32_t apply(const serial::LineSettings& settings) override;
    uint32_t read(uint8_t* buffer, uint32_t n) override;
    serial::LineStatus lineStatus() override;
    serial::ModemLines modemLines() override;
    bool setDtr(bool on) override;
    bool setRts(bool on) override;
    int32_t purge(serial::Direction direction) override;
    ssize_t write(const iovec* iov, int count) override;
    int roomWaitMs() override;

  private:
    using Clock = std::chrono::steady_clock;
    // The error every call fails with once unplugged (0 while plugged in); reports the loss.
    int gone();
    std::chrono::nanoseconds byteTime() const;
    void paceBody();
    void wireBody();
    // Hands bytes that left the queue to the device behind it; false when that device is gone.
    bool deliver(const uint8_t* bytes, size_t n);

    LineOptions options_;
    std::function<void(int)> onUnplug_;
    std::mutex lock_; // everything below (a leaf lock)
    std::condition_variable changed_;
    std::deque<uint8_t> queue_;
    std::vector<uint8_t> wire_; // left the queue, not yet taken by the device behind the line
    uint32_t baud_ = 38400;
    uint64_t taken_ = 0, onLine_ = 0;
    int64_t refusalsLeft_ = 0;
    int unplugged_ = 0;
    bool stop_ = false;
    std::thread pacer_;
    std::thread wireThread_;
};

// Makes port names starting with "paced:" open through PacedLineDevice; `onUnplug` hears of
// every unplug its option caused.
void registerPacedLine(std::function<void(int err)> onUnplug = {});

} // namespace brimwell::paced
