// What the thread engine needs of a device: the operations of a serial line in the shape termios
// gives them (open, apply line settings, modem lines, break, purge, line errors, close) and the
// transport beneath them (read, write, the wait for room, why it went away). A tty, a raw TCP
// connection, an RFC 2217 server and the paced test line each implement it
// (serial/termios_device.h, socket_device.h, rfc2217_device.h, tools/paced-line).
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "serial/dispatcher_constants.h"
#include "serial/port_error.h"

namespace brimwell::serial {

// The order is that of the parity numbers of initPort and setLine (kParityNone ... kParitySpace).
enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, OnePointFive, Two };
// How the driver drives DTR or RTS: held off, held on, as a receive handshake, or (RTS only)
// raised while sending (RS-485).
enum class LineControl { Off, On, Handshake, Toggle };

struct LineSettings {
    uint32_t baud = 115200;
    uint8_t dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool ctsFlow = false; // output waits while CTS is off
    bool dsrFlow = false; // output waits while DSR is off
    LineControl dtr = LineControl::On;
    LineControl rts = LineControl::On;
    bool xonXoffOut = false; // output stops at XOFF from the far end
    bool xonXoffIn = false;  // the driver sends XOFF when its input fills
    uint8_t xonChar = 17;
    uint8_t xoffChar = 19;
    uint16_t xonLimit = 0;  // free room at which input resumes
    uint16_t xoffLimit = 0; // free room at which input is held back

    bool operator==(const LineSettings&) const = default;
};

// Levels of the modem lines the far end drives.
struct ModemLines {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool dcd = false;

    // As the high half of the dispatcher's modem-status byte (kModemCtsOn ... kModemDcdOn).
    uint8_t levels() const {
        return uint8_t((cts ? kModemCtsOn : 0) | (dsr ? kModemDsrOn : 0) | (ri ? kModemRingOn : 0) |
                       (dcd ? kModemDcdOn : 0));
    }
    static ModemLines fromLevels(uint8_t levels) {
        return {(levels & kModemCtsOn) != 0, (levels & kModemDsrOn) != 0, (levels & kModemRingOn) != 0,
                (levels & kModemDcdOn) != 0};
    }
    // What a line without modem lines reads (a pseudo-terminal, a raw connection): the lines a
    // waiting peer would hold on are on.
    static ModemLines tiedHigh() { return {true, true, false, true}; }
};

enum class LineError : uint32_t {
    ReceiveOverflow = kLineErrorRxOver,
    Overrun = kLineErrorOverrun,
    Parity = kLineErrorParity,
    Framing = kLineErrorFrame,
    Break = kLineErrorBreak,
};

// Line errors seen since the last look.
class LineErrors {
  public:
    void add(LineError e) { bits_ |= static_cast<uint32_t>(e); }
    bool has(LineError e) const { return (bits_ & static_cast<uint32_t>(e)) != 0; }
    bool empty() const { return bits_ == 0; }
    // The errors as the dispatcher's accumulator holds them (kLineError... bits).
    uint32_t bits() const { return bits_; }
    static LineErrors fromBits(uint32_t bits) {
        LineErrors e;
        e.bits_ = bits & kAllLineErrors;
        return e;
    }

  private:
    static constexpr uint32_t kAllLineErrors =
        kLineErrorRxOver | kLineErrorOverrun | kLineErrorParity | kLineErrorFrame | kLineErrorBreak;
    uint32_t bits_ = 0;
};

// Why the driver holds output back.
struct LineHolds {
    bool cts = false;      // waiting for CTS
    bool dsr = false;      // waiting for DSR
    bool xoff = false;     // an XOFF came from the far end
    bool xoffSent = false; // the driver sent XOFF
};

struct LineStatus {
    LineErrors errors;
    LineHolds holds;
    uint32_t inQueue = 0; // bytes waiting to be read
};

enum class Direction { Input, Output };

// True when err says a descriptor's device went away for good (hung up, unplugged, its peer closed).
bool deviceGone(int err);

// How a device layer tells the engine what it found on its own (a watcher thread, its protocol).
class DeviceEvents {
  public:
    // Device events (kEvent... bits) for the dispatcher thread.
    virtual void post(uint32_t events) = 0;
    // The device is gone: the port error is reported (the engine asks lossCause() for why) and
    // the threads stop using it.
    virtual void lose() = 0;

  protected:
    ~DeviceEvents() = default;
};

class DeviceLayer {
  public:
    DeviceLayer() = default;
    virtual ~DeviceLayer() = default;
    DeviceLayer(const DeviceLayer&) = delete;
    DeviceLayer& operator=(const DeviceLayer&) = delete;

    // Set by the engine that runs this layer, before the first open.
    void attach(DeviceEvents* events) { events_ = events; }

    // ---- The line -------------------------------------------------------------------------------
    // The device's descriptor (non-blocking), or -1 with `error` set.
    virtual int open(const std::string& name, PortError& error) = 0;
    // Closes the device (nothing when it is not open). The engine's threads have ended by then.
    virtual void close() = 0;
    // 0, or the result code the line settings were refused with (nothing is changed then).
    virtual int32_t apply(const LineSettings& settings) = 0;
    // The settings in force; false when the device cannot tell (closed).
    virtual bool current(LineSettings& settings) = 0;
    virtual ModemLines modemLines() = 0;
    // false when the device refused.
    virtual bool setDtr(bool on) = 0;
    virtual bool setRts(bool on) = 0;
    virtual void setBreak(bool on) = 0;
    // Drops what the driver holds in one direction: 0 or -errno.
    virtual int32_t purge(Direction direction) = 0;
    // Line errors since the last call, hold states and the bytes waiting.
    virtual LineStatus lineStatus() = 0;

    // ---- The transport --------------------------------------------------------------------------
    // Reads what is there without blocking (0 when nothing is); a device found gone is lost.
    virtual uint32_t read(uint8_t* buffer, uint32_t n) = 0;
    // Writes bytes (writev semantics: the count taken, or -1 with errno). A layer whose wire format
    // differs from the bytes (Telnet escaping) frames them here.
    virtual ssize_t write(const iovec* iov, int count) = 0;
    // How long the output thread waits for room when a write found the device full: -1 waits for
    // the descriptor to take bytes; a layer whose transmit queue is not the descriptor's own says
    // when its queue next has room.
    virtual int roomWaitMs() { return -1; }
    // The descriptor hung up or failed: a code whose message says why (0 when nothing is to add).
    virtual int32_t lossCause() { return 0; }
    // The engine's threads have started / are being stopped: a layer's own watchers start and
    // stop here.
    virtual void threadsStarted() {}
    virtual void threadsStopping() {}
    // Bytes in the driver's transmit queue, or -1 where the driver cannot tell.
    virtual int32_t driverOutQueue() { return -1; }
    // How much the driver can hold ahead of the output ring.
    virtual uint32_t driverQueueSize() const { return kUartQueueSize; }

  protected:
    using SharedLock = std::shared_lock<std::shared_mutex>;

    // Makes fd the open device's descriptor (under the device lock); returns it.
    int adopt(int fd) {
        std::unique_lock<std::shared_mutex> device(deviceLock_);
        fd_ = fd;
        return fd;
    }

    void post(uint32_t events) {
        if (events_ != nullptr) events_->post(events);
    }
    void lose() {
        if (events_ != nullptr) events_->lose();
    }
    // True when err says the device is gone (hung up, unplugged, its peer closed); it is then lost.
    bool failed(int err);

    // The open device's descriptor (-1 while closed): held shared around every use of fd_,
    // exclusively to set or close it.
    std::shared_mutex deviceLock_;
    int fd_ = -1;

  private:
    DeviceEvents* events_ = nullptr;
};

} // namespace brimwell::serial
