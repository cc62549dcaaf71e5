// The termios device layer.
//
// Linux notes, each handled where it matters below:
// - TIOCEXCL does not hold against root, so exclusivity also takes a non-blocking flock().
// - Pseudo-terminals and some USB adapters have no modem lines (TIOCMGET fails with ENOTTY/EINVAL):
//   CTS, DSR and DCD then read as on and DTR/RTS changes succeed without effect.
// - Line changes are read on every dispatcher pass (at least every 50 ms). Where the driver can
//   wait for them (TIOCMGET works and TIOCMIWAIT is not refused) a modem-watch thread blocks in
//   TIOCMIWAIT and wakes the dispatcher at once. That ioctl has no time-out and no descriptor to
//   wake it through, so the thread is ended with a signal (see SignalWakeThread).
// - Line errors come from TIOCGICOUNT deltas where the driver keeps counters.
// - The driver has one RTS/CTS switch (CRTSCTS) for both directions and fixed queue thresholds.
#include "serial/termios_device.h"

#include "serial/error_codes.h"
#include "serial/line_rate.h"
#include "serial/port_names.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace brimwell::serial {

namespace {

struct BaudEntry {
    uint32_t bps;
    speed_t code;
};
constexpr BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool speedCode(uint32_t bps, speed_t& code) {
    for (const BaudEntry& e : kBauds)
        if (e.bps == bps) {
            code = e.code;
            return true;
        }
    return false;
}

// A UART makes a rate from its clock by division, so it runs near the rate asked for, not at it;
// further off than this the far end cannot read the bytes and the rate counts as refused.
constexpr uint32_t kRateTolerancePercent = 2;

bool rateMatches(uint32_t running, uint32_t asked) {
    const uint64_t off = running > asked ? running - asked : asked - running;
    return off * 100 <= uint64_t(asked) * kRateTolerancePercent;
}

// The kernel's "ioctl not handled" code, which a few serial drivers let reach user space.
constexpr int kNoIoctlCommand = 515;

bool noModemLines(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOTSUP;
}

// Errors by which a driver says it cannot wait for line changes at all.
bool modemWaitRefused(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOTSUP || err == ENOSYS || err == kNoIoctlCommand;
}

} // namespace

ModemWaitResult waitForModemChange(int fd) {
    const int mask = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
    if (::ioctl(fd, TIOCMIWAIT, mask) == 0) return ModemWaitResult::Changed;
    const int err = errno;
    if (err == EINTR) return ModemWaitResult::Interrupted;
    return modemWaitRefused(err) ? ModemWaitResult::Refused : ModemWaitResult::Failed;
}

TermiosDevice::~TermiosDevice() {
    close();
}

void TermiosDevice::close() {
    std::unique_lock<std::shared_mutex> device(deviceLock_);
    if (fd_ < 0) return;
    ::ioctl(fd_, TIOCNXCL);
    lockFiles_.release();
    ::close(fd_);
    fd_ = -1;
}

// ---- Device operations ----------------------------------------------------------------------

int TermiosDevice::open(const std::string& name, PortError& error) {
    auto refuse = [&](int err) {
        lockFiles_.release();
        error = openFailure(err);
        return -1;
    };
    // The lock files come first: opening a line already raises its DTR, which resets many units,
    // and a line that minicom or ser2net has must not be touched at all.
    if (isKernelConsole(name)) return refuse(EACCES);
    if (lockFiles_.take(name) == DeviceLock::Outcome::HeldByOther) return refuse(EBUSY);
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse(errno);
    auto fail = [&](int err) {
        ::close(fd);
        return refuse(err);
    };
    if (!::isatty(fd)) return fail(ENOTTY);
    // TIOCEXCL keeps other users out, but not root; the advisory lock keeps every well-behaved
    // program (including another instance of this one) out.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno);
    ::ioctl(fd, TIOCEXCL);

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return fail(errno);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return fail(errno);

    // Unix98 pseudo-terminal slaves have the majors 136 to 143.
    struct stat st {};
    pseudoTerminal_ = ::fstat(fd, &st) == 0 && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
    int lines = 0;
    modemLinesReported_ = ::ioctl(fd, TIOCMGET, &lines) == 0 || !noModemLines(errno);
    serial_icounter_struct ic{};
    icountSupported_ = ::ioctl(fd, TIOCGICOUNT, &ic) == 0;
    {
        std::lock_guard<std::mutex> g(stateMutex_);
        icount_ = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
        shadowValid_ = false;
    }
    return adopt(fd);
}

bool TermiosDevice::current(LineSettings& settings) {
    SharedLock device(deviceLock_);
    if (fd_ < 0) return false;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return false;
    std::lock_guard<std::mutex> g(stateMutex_);
    LineSettings out = shadowValid_ ? shadow_ : LineSettings{};
    if (!shadowValid_ && (tio.c_cflag & CRTSCTS)) {
        out.ctsFlow = true;
        out.rts = LineControl::Handshake;
    }
    const uint32_t bps = lineRate(fd_);
    if (bps != 0) out.baud = bps;
    if (!formatIgnored_) {
        switch (tio.c_cflag & CSIZE) {
        case CS5:
            out.dataBits = 5;
            break;
        case CS6:
            out.dataBits = 6;
            break;
        case CS7:
            out.dataBits = 7;
            break;
        default:
            out.dataBits = 8;
            break;
        }
        if (!(tio.c_cflag & PARENB))
            out.parity = Parity::None;
        else if (tio.c_cflag & CMSPAR)
            out.parity = (tio.c_cflag & PARODD) ? Parity::Mark : Parity::Space;
        else
            out.parity = (tio.c_cflag & PARODD) ? Parity::Odd : Parity::Even;
    }
    if (tio.c_cflag & CSTOPB)
        out.stopBits = out.dataBits == 5 ? StopBits::OnePointFive : StopBits::Two;
    else
        out.stopBits = StopBits::One;
    out.xonXoffOut = (tio.c_iflag & IXON) != 0;
    out.xonXoffIn = (tio.c_iflag & IXOFF) != 0;
    out.xonChar = tio.c_cc[VSTART];
    out.xoffChar = tio.c_cc[VSTOP];
    settings = out;
    return true;
}

int32_t TermiosDevice::apply(const LineSettings& settings) {
    SharedLock device(deviceLock_);
    if (fd_ < 0) return result::kCommNotOpen;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return -errno;
    const termios before = tio;
    // Rates without a Bnnn constant are set through termios2 once the rest is written.
    speed_t code;
    const bool named = speedCode(settings.baud, code);
    if (settings.baud == 0) return result::kBaudRate;
    if (named) {
        ::cfsetispeed(&tio, code);
        ::cfsetospeed(&tio, code);
    }
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (settings.dataBits) {
    case 5:
        tio.c_cflag |= CS5;
        break;
    case 6:
        tio.c_cflag |= CS6;
        break;
    case 7:
        tio.c_cflag |= CS7;
        break;
    case 8:
        tio.c_cflag |= CS8;
        break;
    default:
        return result::kByteSize;
    }
    switch (settings.parity) {
    case Parity::None:
        break;
    case Parity::Odd:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case Parity::Even:
        tio.c_cflag |= PARENB;
        break;
    case Parity::Mark:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case Parity::Space:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    }
    if (settings.stopBits != StopBits::One) tio.c_cflag |= CSTOPB;
    // One switch covers both directions: waiting for CTS and driving RTS as a receive handshake.
    if (settings.ctsFlow || settings.rts == LineControl::Handshake) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (settings.xonXoffOut) tio.c_iflag |= IXON;
    if (settings.xonXoffIn) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = settings.xonChar;
    tio.c_cc[VSTOP] = settings.xoffChar;
    // The C library reports EINVAL when the device kept another byte format than the one written
    // (as pseudo-terminals do), although the rest was set; that case is found out below.
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
        const int err = errno;
        constexpr tcflag_t format = CSIZE | PARENB | PARODD | CMSPAR;
        termios now{};
        if (err != EINVAL || ::tcgetattr(fd_, &now) != 0 ||
            (now.c_cflag & ~format) != (tio.c_cflag & ~format))
            return -err;
    }
    // A driver that cannot make the rate either refuses it or quietly runs at another (a 16550's
    // clock ends at 115200): either way the line is put back and the rate is refused. (A rate that
    // cannot be read back is taken as set.)
    const bool refused = !named && setLineRate(fd_, settings.baud) != 0;
    const uint32_t running = refused ? 0 : lineRate(fd_);
    if (refused || (running != 0 && !rateMatches(running, settings.baud))) {
        ::tcsetattr(fd_, TCSANOW, &before);
        return result::kBaudRate;
    }
    // RTS toggling for RS-485 is the driver's where it offers it; elsewhere the request has no
    // effect (the mode is only remembered).
    const bool toggle = settings.rts == LineControl::Toggle;
    serial_rs485 rs485{};
    if (::ioctl(fd_, TIOCGRS485, &rs485) == 0 && bool(rs485.flags & SER_RS485_ENABLED) != toggle) {
        if (toggle)
            rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        else
            rs485.flags &= ~static_cast<uint32_t>(SER_RS485_ENABLED);
        ::ioctl(fd_, TIOCSRS485, &rs485);
    }
    // Pseudo-terminals always carry 8 bits without parity and silently drop other formats; the
    // format asked for is then reported back, as nothing on such a line depends on it.
    termios set{};
    const bool ignored =
        ::tcgetattr(fd_, &set) == 0 && (set.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR)) !=
                                           (tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR));
    std::lock_guard<std::mutex> g(stateMutex_);
    formatIgnored_ = ignored;
    shadow_ = settings;
    shadowValid_ = true;
    ctsFlow_ = settings.ctsFlow;
    return 0;
}

LineStatus TermiosDevice::lineStatus() {
    SharedLock device(deviceLock_);
    LineStatus status;
    if (fd_ < 0) return status;
    int queued = -1;
    if (::ioctl(fd_, FIONREAD, &queued) != 0 && failed(errno)) return status;
    status.inQueue = queued > 0 ? static_cast<uint32_t>(queued) : 0;
    // Where the driver cannot count its queue, a read is simply tried for the free space.
    if (queued < 0) status.inQueue = kInputBufferSize;

    if (icountSupported_.load()) {
        serial_icounter_struct ic{};
        if (::ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
            std::lock_guard<std::mutex> g(stateMutex_);
            if (ic.buf_overrun != icount_.bufOverrun) status.errors.add(LineError::ReceiveOverflow);
            if (ic.overrun != icount_.overrun) status.errors.add(LineError::Overrun);
            if (ic.parity != icount_.parity) status.errors.add(LineError::Parity);
            if (ic.frame != icount_.frame) status.errors.add(LineError::Framing);
            if (ic.brk != icount_.brk) status.errors.add(LineError::Break);
            icount_ = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
        } else {
            icountSupported_ = false;
        }
    }
    if (ctsFlow_.load() && modemLinesReported_.load()) {
        int lines = 0;
        if (::ioctl(fd_, TIOCMGET, &lines) == 0 && !(lines & TIOCM_CTS)) status.holds.cts = true;
    }
    return status;
}

ModemLines TermiosDevice::modemLines() {
    SharedLock device(deviceLock_);
    if (fd_ < 0) return {};
    if (!modemLinesReported_.load()) return ModemLines::tiedHigh();
    int lines = 0;
    if (::ioctl(fd_, TIOCMGET, &lines) != 0) {
        const int err = errno;
        // A device that is gone has no lines on: reading them as on would hide the loss.
        if (failed(err)) return {};
        if (noModemLines(err)) modemLinesReported_ = false;
        return ModemLines::tiedHigh();
    }
    return {(lines & TIOCM_CTS) != 0, (lines & TIOCM_DSR) != 0, (lines & TIOCM_RI) != 0,
            (lines & TIOCM_CD) != 0};
}

bool TermiosDevice::setOutputLine(int line, bool on) {
    SharedLock device(deviceLock_);
    if (fd_ < 0) return false;
    if (!modemLinesReported_.load()) return true;
    if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
    return noModemLines(errno);
}

bool TermiosDevice::setDtr(bool on) {
    return setOutputLine(TIOCM_DTR, on);
}

bool TermiosDevice::setRts(bool on) {
    return setOutputLine(TIOCM_RTS, on);
}

void TermiosDevice::setBreak(bool on) {
    SharedLock device(deviceLock_);
    if (fd_ >= 0) ::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK);
}

uint32_t TermiosDevice::read(uint8_t* buffer, uint32_t n) {
    SharedLock device(deviceLock_);
    if (fd_ < 0 || n == 0) return 0;
    ssize_t r;
    do {
        r = ::read(fd_, buffer, n);
    } while (r < 0 && errno == EINTR);
    if (r < 0) failed(errno);
    return r > 0 ? static_cast<uint32_t>(r) : 0;
}

ssize_t TermiosDevice::write(const iovec* iov, int count) {
    SharedLock device(deviceLock_);
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    return ::writev(fd_, iov, count);
}

int32_t TermiosDevice::purge(Direction direction) {
    SharedLock device(deviceLock_);
    if (fd_ < 0) return 0;
    if (direction == Direction::Output) {
        // Purge the driver's transmit queue only when it holds unsent bytes. A pseudo-terminal keeps
        // no transmit queue (TIOCOUTQ reads 0): what was written has already reached the other
        // side's input, and TCOFLUSH there would discard bytes the peer simply has not read yet.
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued == 0) return 0;
    }
    return ::tcflush(fd_, direction == Direction::Input ? TCIFLUSH : TCOFLUSH) == 0 ? 0 : -errno;
}

int32_t TermiosDevice::driverOutQueue() {
    if (pseudoTerminal_.load()) return -1;
    SharedLock device(deviceLock_);
    int queued = 0;
    if (fd_ < 0 || ::ioctl(fd_, TIOCOUTQ, &queued) != 0) return -1;
    return queued;
}

uint32_t TermiosDevice::driverQueueSize() const {
    return pseudoTerminal_.load() ? kPtyQueueSize : kUartQueueSize;
}

// ---- The modem watch --------------------------------------------------------------------------

// Devices that cannot report their lines at all are not asked to wait for them.
void TermiosDevice::threadsStarted() {
    modemWatchActive_ = modemLinesReported();
    if (modemWatchActive_.load())
        modemWatch_.start([this](const std::atomic<bool>& stop) { modemWatchBody(stop); });
}

void TermiosDevice::threadsStopping() {
    modemWatch_.stop();
    modemWatchActive_ = false;
}

// The first wait is also the probe: a driver that refuses it leaves the lines to the 50 ms pass.
void TermiosDevice::modemWatchBody(const std::atomic<bool>& stop) {
    const int fd = [this] {
        SharedLock device(deviceLock_);
        return fd_;
    }();
    // The device is closed only after this thread has been stopped (close), so the copy stays valid.
    auto counters = [&](serial_icounter_struct& ic) {
        return icountSupported_.load() && ::ioctl(fd, TIOCGICOUNT, &ic) == 0;
    };
    serial_icounter_struct before{};
    bool counted = counters(before);
    while (!stop.load() && fd >= 0) {
        const ModemWaitResult r = waitForModemChange(fd);
        if (stop.load()) break;
        if (r == ModemWaitResult::Interrupted) continue;
        if (r != ModemWaitResult::Changed) break;
        // The driver's counters tell which lines moved (a ring pulse may be over by now); without
        // them every line is looked at.
        uint32_t events = kEventCts | kEventDsr | kEventRlsd;
        serial_icounter_struct after{};
        if (counted && counters(after)) {
            events = (after.cts != before.cts ? kEventCts : 0) | (after.dsr != before.dsr ? kEventDsr : 0) |
                     (after.dcd != before.dcd ? kEventRlsd : 0) | (after.rng != before.rng ? kEventRing : 0);
            if (events == 0) events = kEventCts | kEventDsr | kEventRlsd;
            before = after;
        } else {
            counted = counters(before);
        }
        post(events);
    }
    modemWatchActive_ = false;
}

} // namespace brimwell::serial
