// POSIX termios device layer and the three threads of an open port.
//
// Linux notes, each handled where it matters below:
// - TIOCEXCL does not hold against root, so exclusivity also takes a non-blocking flock().
// - Pseudo-terminals and some USB adapters have no modem lines (TIOCMGET fails with ENOTTY/EINVAL):
//   CTS, DSR and DCD then read as on and DTR/RTS changes succeed without effect.
// - Line changes are read on every dispatcher pass (at least every 50 ms). Where the driver can
//   wait for them (TIOCMGET works and TIOCMIWAIT is not refused) a modem-watch thread blocks in
//   TIOCMIWAIT and wakes the dispatcher at once. That ioctl has no time-out and no descriptor to
//   wake it through, so the thread is ended with a signal (see TSignalWakeThread).
// - Line errors come from TIOCGICOUNT deltas where the driver keeps counters.
// - The driver has one RTS/CTS switch (CRTSCTS) for both directions and fixed queue thresholds.
#include "serial/termios_dispatcher.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace brimwell {

namespace {

using SharedLock = std::shared_lock<std::shared_mutex>;

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

uint32_t speedBps(speed_t code) {
    for (const BaudEntry& e : kBauds)
        if (e.code == code) return e.bps;
    return 0;
}

// The platform error numbers the component understands for the common failures.
int openErrorNumber(int err) {
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO: // a device node without hardware behind it, or a pseudo-terminal without its master
        return kOpenErrorNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return kOpenErrorPathNotFound;
    case EBUSY:
    case EWOULDBLOCK:
        return kOpenErrorInUse;
    case EACCES:
    case EPERM:
    case EROFS:
        return kOpenErrorPermission;
    default:
        return err;
    }
}

// The kernel's "ioctl not handled" code, which a few serial drivers let reach user space.
constexpr int kNoIoctlCommand = 515;

bool noModemLines(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOTSUP;
}

// One read resets an eventfd's counter.
void drainEventFd(int fd) {
    uint64_t v;
    while (::read(fd, &v, sizeof v) < 0 && errno == EINTR) {
    }
}

void signalEventFd(int fd) {
    const uint64_t one = 1;
    if (fd < 0) return;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void ignoreWakeSignal(int) {}

// Errors by which a driver says it cannot wait for line changes at all.
bool modemWaitRefused(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOTSUP || err == ENOSYS || err == kNoIoctlCommand;
}

} // namespace

// ---- Signal-woken thread ----------------------------------------------------------------------

// A real-time signal, as every standard signal already means something to somebody (SIGUSR1/2 to
// debuggers and libraries). Its handler is empty and installed without SA_RESTART: its only effect
// is that the thread's blocking call returns EINTR instead of being restarted by the kernel.
int TSignalWakeThread::WakeSignal() {
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

void TSignalWakeThread::Start(Body body) {
    Stop();
    WakeSignal(); // the handler must be in place before the first signal can be sent
    stop_ = false;
    running_ = true;
    signalsSent_ = 0;
    thread_ = std::thread([this, body = std::move(body)] {
        try {
            body(stop_);
        } catch (...) {
            TQuavBaseDispatcher::ReportException("exception in a signal-woken thread", std::current_exception());
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
void TSignalWakeThread::Stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    const pthread_t handle = thread_.native_handle();
    std::unique_lock<std::mutex> lock(leftMutex_);
    while (running_.load()) {
        ::pthread_kill(handle, WakeSignal());
        signalsSent_.fetch_add(1);
        leftCv_.wait_for(lock, std::chrono::milliseconds(1), [this] { return !running_.load(); });
    }
    lock.unlock();
    thread_.join();
}

ModemWaitResult WaitForModemChange(int fd) {
    const int mask = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
    if (::ioctl(fd, TIOCMIWAIT, mask) == 0) return ModemWaitResult::Changed;
    const int err = errno;
    if (err == EINTR) return ModemWaitResult::Interrupted;
    return modemWaitRefused(err) ? ModemWaitResult::Refused : ModemWaitResult::Failed;
}

TQuavTermiosDispatcher::TQuavTermiosDispatcher(void* owner) : TQuavBaseDispatcher(owner) {}

TQuavTermiosDispatcher::~TQuavTermiosDispatcher() {
    ShutdownForDestroy();
    closeDescriptors();
}

void TQuavTermiosDispatcher::closeDescriptors() {
    {
        std::unique_lock<std::shared_mutex> device(deviceLock_);
        if (fd_ >= 0) {
            ::ioctl(fd_, TIOCNXCL);
            ::close(fd_);
            fd_ = -1;
        }
    }
    for (int* fd : {&wakeFd_, &outReqFd_, &outAbortFd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

// ---- Device operations ----------------------------------------------------------------------

int32_t TQuavTermiosDispatcher::OpenCom(const std::string& name, uint32_t, uint32_t) {
    for (int* efd : {&wakeFd_, &outReqFd_, &outAbortFd_}) {
        if (*efd >= 0) continue;
        *efd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (*efd < 0) {
            closeDescriptors();
            return secOutOfMemory;
        }
    }

    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lastOpenSystemErrno_ = errno;
        lastOpenErrno_ = openErrorNumber(lastOpenSystemErrno_);
        return -1;
    }
    auto fail = [&](int err) {
        ::close(fd);
        lastOpenSystemErrno_ = err;
        lastOpenErrno_ = openErrorNumber(err);
        return -1;
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

    int lines = 0;
    modemLinesReported_ = ::ioctl(fd, TIOCMGET, &lines) == 0 || !noModemLines(errno);
    serial_icounter_struct ic{};
    icountSupported_ = ::ioctl(fd, TIOCGICOUNT, &ic) == 0;
    {
        std::lock_guard<std::mutex> g(stateMutex_);
        icount_ = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
        shadowValid_ = false;
    }
    drainEventFd(outReqFd_);
    drainEventFd(outAbortFd_);
    drainEventFd(wakeFd_);

    std::unique_lock<std::shared_mutex> device(deviceLock_);
    fd_ = fd;
    return fd;
}

int32_t TQuavTermiosDispatcher::CloseCom() {
    if (started_.load()) {
        RequestStopThreads();
        signalEventFd(wakeFd_);
        abortRequested_ = true;
        signalEventFd(outAbortFd_);
        {
            std::lock_guard<std::mutex> g(eventMutex_);
            ready_ = true;
        }
        eventCv_.notify_all();
        stopModemWatch();
        // The com and output threads block on the device; they end before it is closed. The
        // dispatcher thread only makes non-blocking calls under the device lock and is stopped later.
        if (outputThread_.joinable()) outputThread_.join();
        if (comThread_.joinable()) comThread_.join();
    }
    std::unique_lock<std::shared_mutex> device(deviceLock_);
    if (fd_ < 0) return 0;
    ::ioctl(fd_, TIOCNXCL);
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0 ? 0 : -1;
}

bool TQuavTermiosDispatcher::SetupCom(uint32_t, uint32_t) {
    // The tty layer's queues have a fixed size; nothing to set.
    return true;
}

int32_t TQuavTermiosDispatcher::GetComState(TDeviceControlBlock& dcb) {
    SharedLock device(deviceLock_);
    if (fd_ < 0) return -1;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return -1;
    std::lock_guard<std::mutex> g(stateMutex_);
    TDeviceControlBlock out = shadowValid_ ? shadow_ : TDeviceControlBlock{};
    if (!shadowValid_ && (tio.c_cflag & CRTSCTS))
        out.Flags = (out.Flags & ~dcbRtsControlMask) | dcbOutxCtsFlow | dcbRtsControlHandshake;
    const uint32_t bps = speedBps(::cfgetospeed(&tio));
    if (bps != 0) out.BaudRate = bps;
    if (!formatIgnored_) {
        switch (tio.c_cflag & CSIZE) {
        case CS5:
            out.ByteSize = 5;
            break;
        case CS6:
            out.ByteSize = 6;
            break;
        case CS7:
            out.ByteSize = 7;
            break;
        default:
            out.ByteSize = 8;
            break;
        }
        if (!(tio.c_cflag & PARENB))
            out.Parity = kParityNone;
        else if (tio.c_cflag & CMSPAR)
            out.Parity = (tio.c_cflag & PARODD) ? kParityMark : kParitySpace;
        else
            out.Parity = (tio.c_cflag & PARODD) ? kParityOdd : kParityEven;
    }
    if (tio.c_cflag & CSTOPB)
        out.StopBits = out.ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
    else
        out.StopBits = kOneStopBit;
    out.Flags = (out.Flags & ~(dcbOutX | dcbInX)) | ((tio.c_iflag & IXON) ? dcbOutX : 0) |
                ((tio.c_iflag & IXOFF) ? dcbInX : 0);
    out.XonChar = tio.c_cc[VSTART];
    out.XoffChar = tio.c_cc[VSTOP];
    dcb = out;
    return 0;
}

int32_t TQuavTermiosDispatcher::SetComState(const TDeviceControlBlock& dcb) {
    SharedLock device(deviceLock_);
    if (fd_ < 0) return secCommNotOpen;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return -errno;
    speed_t code;
    if (!speedCode(dcb.BaudRate, code)) return secBaudRate;
    ::cfsetispeed(&tio, code);
    ::cfsetospeed(&tio, code);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (dcb.ByteSize) {
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
        return secByteSize;
    }
    switch (dcb.Parity) {
    case kParityNone:
        break;
    case kParityOdd:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case kParityEven:
        tio.c_cflag |= PARENB;
        break;
    case kParityMark:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case kParitySpace:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        return secBadArgument;
    }
    if (dcb.StopBits != kOneStopBit) tio.c_cflag |= CSTOPB;
    // One switch covers both directions: waiting for CTS and driving RTS as a receive handshake.
    const bool rtscts =
        (dcb.Flags & dcbOutxCtsFlow) || (dcb.Flags & dcbRtsControlMask) == dcbRtsControlHandshake;
    if (rtscts) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (dcb.Flags & dcbOutX) tio.c_iflag |= IXON;
    if (dcb.Flags & dcbInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = dcb.XonChar;
    tio.c_cc[VSTOP] = dcb.XoffChar;
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return -errno;
    // RTS toggling for RS-485 is the driver's where it offers it; elsewhere the request has no
    // effect (the mode is only remembered).
    const bool toggle = (dcb.Flags & dcbRtsControlMask) == dcbRtsControlToggle;
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
    shadow_ = dcb;
    shadowValid_ = true;
    ctsFlow_ = (dcb.Flags & dcbOutxCtsFlow) != 0;
    return 0;
}

int32_t TQuavTermiosDispatcher::ReadCom(uint8_t* buffer, uint32_t n) {
    SharedLock device(deviceLock_);
    if (fd_ < 0 || n == 0) return 0;
    ssize_t r;
    do {
        r = ::read(fd_, buffer, n);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? static_cast<int32_t>(r) : 0;
}

uint32_t TQuavTermiosDispatcher::ReadComError(TComStat& status) {
    SharedLock device(deviceLock_);
    status = TComStat{};
    if (fd_ < 0) return 0;
    int queued = 0;
    // Where the driver cannot count its queue, a read is simply tried for the free space.
    status.InQue = ::ioctl(fd_, FIONREAD, &queued) == 0 ? static_cast<uint32_t>(queued) : kInputBufferSize;

    uint32_t errors = 0;
    if (icountSupported_.load()) {
        serial_icounter_struct ic{};
        if (::ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
            std::lock_guard<std::mutex> g(stateMutex_);
            if (ic.buf_overrun != icount_.bufOverrun) errors |= ceRxOver;
            if (ic.overrun != icount_.overrun) errors |= ceOverrun;
            if (ic.parity != icount_.parity) errors |= ceRxParity;
            if (ic.frame != icount_.frame) errors |= ceFrame;
            if (ic.brk != icount_.brk) errors |= ceBreak;
            icount_ = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
        } else {
            icountSupported_ = false;
        }
    }
    if (ctsFlow_.load() && modemLinesReported_.load()) {
        int lines = 0;
        if (::ioctl(fd_, TIOCMGET, &lines) == 0 && !(lines & TIOCM_CTS)) status.HoldFlags |= csCtsHold;
    }
    return errors;
}

uint8_t TQuavTermiosDispatcher::GetComModemStatus() {
    SharedLock device(deviceLock_);
    if (fd_ < 0) return 0;
    constexpr uint8_t tiedHigh = msCtsOn | msDsrOn | msDcdOn;
    if (!modemLinesReported_.load()) return tiedHigh;
    int lines = 0;
    if (::ioctl(fd_, TIOCMGET, &lines) != 0) {
        if (noModemLines(errno)) modemLinesReported_ = false;
        return tiedHigh;
    }
    uint8_t ms = 0;
    if (lines & TIOCM_CTS) ms |= msCtsOn;
    if (lines & TIOCM_DSR) ms |= msDsrOn;
    if (lines & TIOCM_RI) ms |= msRingOn;
    if (lines & TIOCM_CD) ms |= msDcdOn;
    return ms;
}

int32_t TQuavTermiosDispatcher::EscapeComFunction(int function) {
    SharedLock device(deviceLock_);
    if (fd_ < 0) return -1;
    int bits;
    unsigned long request;
    switch (function) {
    case kSetRts:
        bits = TIOCM_RTS;
        request = TIOCMBIS;
        break;
    case kClrRts:
        bits = TIOCM_RTS;
        request = TIOCMBIC;
        break;
    case kSetDtr:
        bits = TIOCM_DTR;
        request = TIOCMBIS;
        break;
    case kClrDtr:
        bits = TIOCM_DTR;
        request = TIOCMBIC;
        break;
    default:
        return -1;
    }
    if (!modemLinesReported_.load()) return 0;
    if (::ioctl(fd_, request, &bits) == 0) return 0;
    return noModemLines(errno) ? 0 : -1;
}

void TQuavTermiosDispatcher::SetComBreak(bool on) {
    SharedLock device(deviceLock_);
    if (fd_ >= 0) ::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK);
}

int32_t TQuavTermiosDispatcher::PurgeCom(int direction) {
    SharedLock device(deviceLock_);
    if (fd_ < 0) return 0;
    if (direction != kFlushReceive) {
        // Purge the driver's transmit queue only when it holds unsent bytes. A pseudo-terminal keeps
        // no transmit queue (TIOCOUTQ reads 0): what was written has already reached the other
        // side's input, and TCOFLUSH there would discard bytes the peer simply has not read yet.
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued == 0) return 0;
    }
    return ::tcflush(fd_, direction == kFlushReceive ? TCIFLUSH : TCOFLUSH) == 0 ? 0 : -errno;
}

uint32_t TQuavTermiosDispatcher::TryWriteDirect(const uint8_t* buffer, uint32_t n) {
    if (!writerIdle_.load() || abortRequested_.load() || StopThreadsRequested()) return 0;
    SharedLock device(deviceLock_);
    if (fd_ < 0) return 0;
    ssize_t w;
    do {
        w = ::write(fd_, buffer, n);
    } while (w < 0 && errno == EINTR);
    return w > 0 ? static_cast<uint32_t>(w) : 0;
}

// Only an idle output thread needs waking: a busy one takes new bytes before it goes idle.
void TQuavTermiosDispatcher::SignalOutputRequest() {
    if (writerIdle_.exchange(false)) signalEventFd(outReqFd_);
}

void TQuavTermiosDispatcher::AbortOutput() {
    if (!outputThread_.joinable() || std::this_thread::get_id() == outputThread_.get_id()) return;
    std::unique_lock<std::mutex> lock(ackMutex_);
    const uint64_t before = outputAcks_;
    abortRequested_ = true;
    signalEventFd(outAbortFd_);
    ackCv_.wait_for(lock, std::chrono::milliseconds(kFlushAbortTimeoutMs),
                    [&] { return outputAcks_ != before || runningThreads_.load() == 0; });
}

// Raising a priority needs the right to (CAP_SYS_NICE); without it the threads stay at normal
// priority, which is also what the default boost asks for.
void TQuavTermiosDispatcher::ApplyThreadBoost(TQuavThreadBoost boost, bool rs485) {
    const int steps = static_cast<int>(boost);
    // Threads never boosted are left alone, so a program started with a lower priority keeps it.
    if (steps == 0 && !rs485 && !boosted_.load()) return;
    boosted_ = true;
    for (const auto& [tid, extra] : {std::pair{comTid_.load(), 0}, std::pair{dispatcherTid_.load(), 0},
                                     std::pair{outputTid_.load(), rs485 ? 1 : 0}})
        if (tid > 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -(steps + extra));
}

void TQuavTermiosDispatcher::ProcessCommunications() {
    ::sched_yield();
}

// ---- Threads --------------------------------------------------------------------------------

void TQuavTermiosDispatcher::threadStarted() {
    runningThreads_.fetch_add(1);
    {
        std::lock_guard<std::mutex> g(ackMutex_);
        ++startAcks_;
    }
    ackCv_.notify_all();
}

void TQuavTermiosDispatcher::threadEnded() {
    runningThreads_.fetch_sub(1);
    ackCv_.notify_all();
}

void TQuavTermiosDispatcher::StartDispatcher() {
    if (started_.exchange(true)) throw std::logic_error("Dispatcher already started");
    writerIdle_ = false;
    abortRequested_ = false;
    {
        std::lock_guard<std::mutex> g(eventMutex_);
        pendingEvents_ = 0;
        comEvent_ = false;
        modemEvent_ = false;
        ready_ = true;
    }
    auto startOne = [this](std::thread& t, void (TQuavTermiosDispatcher::*body)()) {
        std::unique_lock<std::mutex> lock(ackMutex_);
        const int before = startAcks_;
        t = std::thread(body, this);
        ackCv_.wait_for(lock, std::chrono::milliseconds(kThreadStartTimeoutMs),
                        [&] { return startAcks_ != before; });
    };
    startOne(comThread_, &TQuavTermiosDispatcher::comThread);
    startOne(dispatcherThread_, &TQuavTermiosDispatcher::dispatcherThread);
    startOne(outputThread_, &TQuavTermiosDispatcher::outputThread);
    // Devices that cannot report their lines at all are not asked to wait for them.
    modemWatchActive_ = ModemLinesReported();
    if (modemWatchActive_.load())
        modemWatch_.Start([this](const std::atomic<bool>& stop) { modemWatchBody(stop); });
}

void TQuavTermiosDispatcher::stopModemWatch() {
    modemWatch_.Stop();
    modemWatchActive_ = false;
}

// The first wait is also the probe: a driver that refuses it leaves the lines to the 50 ms pass.
void TQuavTermiosDispatcher::modemWatchBody(const std::atomic<bool>& stop) {
    const int fd = [this] {
        SharedLock device(deviceLock_);
        return fd_;
    }();
    // The device is closed only after this thread has been stopped (CloseCom), so the copy stays valid.
    auto counters = [&](serial_icounter_struct& ic) { return icountSupported_.load() && ::ioctl(fd, TIOCGICOUNT, &ic) == 0; };
    serial_icounter_struct before{};
    bool counted = counters(before);
    while (!stop.load() && fd >= 0) {
        const ModemWaitResult r = WaitForModemChange(fd);
        if (stop.load()) break;
        if (r == ModemWaitResult::Interrupted) continue;
        if (r != ModemWaitResult::Changed) break;
        // The driver's counters tell which lines moved (a ring pulse may be over by now); without
        // them every line is looked at.
        uint32_t events = evCts | evDsr | evRlsd;
        serial_icounter_struct after{};
        if (counted && counters(after)) {
            events = (after.cts != before.cts ? evCts : 0) | (after.dsr != before.dsr ? evDsr : 0) |
                     (after.dcd != before.dcd ? evRlsd : 0) | (after.rng != before.rng ? evRing : 0);
            if (events == 0) events = evCts | evDsr | evRlsd;
            before = after;
        } else {
            counted = counters(before);
        }
        postModemEvents(events);
    }
    modemWatchActive_ = false;
}

void TQuavTermiosDispatcher::postModemEvents(uint32_t events) {
    {
        std::lock_guard<std::mutex> g(eventMutex_);
        pendingEvents_ |= events;
        modemEvent_ = true;
    }
    eventCv_.notify_all();
}

void TQuavTermiosDispatcher::StopDispatcher() {
    RequestStopThreads();
    abortRequested_ = true;
    signalEventFd(outAbortFd_);
    signalEventFd(wakeFd_);
    {
        std::lock_guard<std::mutex> g(eventMutex_);
        ready_ = true;
    }
    eventCv_.notify_all();
    stopModemWatch();
    if (outputThread_.joinable()) outputThread_.join();
    if (comThread_.joinable()) comThread_.join();
    if (dispatcherThread_.joinable()) {
        // A close requested from inside a notification runs on the dispatcher thread itself;
        // that thread ends on its own once the notification returns.
        if (std::this_thread::get_id() == dispatcherThread_.get_id())
            dispatcherThread_.detach();
        else
            dispatcherThread_.join();
    }
    started_ = false;
}

// The frame every port thread runs in: its id is visible while it runs, it counts as running, and an
// exception escaping its work is reported instead of ending the process; its exit duties (`onExit`)
// run all the same, before the thread stops counting.
template <typename Body, typename OnExit>
void TQuavTermiosDispatcher::runPortThread(std::atomic<int>& tid, const char* what, Body body,
                                           OnExit onExit) {
    tid = static_cast<int>(::gettid());
    ApplyThreadBoost(ThreadBoost(), RS485Mode());
    threadStarted();
    try {
        body();
    } catch (...) {
        ReportException(what, std::current_exception());
    }
    onExit();
    tid = 0;
    threadEnded();
}

void TQuavTermiosDispatcher::comThread() {
    runPortThread(comTid_, "exception in the com thread", [this] { comThreadBody(); }, [] {});
}

void TQuavTermiosDispatcher::dispatcherThread() {
    const auto onExit = [this] {
        {
            std::lock_guard<std::mutex> g(eventMutex_);
            ready_ = true;
        }
        eventCv_.notify_all();
        DispatcherThreadExit();
    };
    runPortThread(dispatcherTid_, "exception in the dispatcher thread", [this] { dispatcherThreadBody(); },
                  onExit);
}

void TQuavTermiosDispatcher::outputThread() {
    runPortThread(outputTid_, "exception in the output thread", [this] { outputThreadBody(); },
                  [this] { acknowledgeOutput(); });
}

void TQuavTermiosDispatcher::acknowledgeOutput() {
    {
        std::lock_guard<std::mutex> g(ackMutex_);
        ++outputAcks_;
    }
    ackCv_.notify_all();
}

void TQuavTermiosDispatcher::comThreadBody() {
    const int fd = [this] {
        SharedLock device(deviceLock_);
        return fd_;
    }();
    bool backOff = false;
    while (!StopThreadsRequested()) {
        // With the input ring full, the peer gone, or a device that reports readiness without
        // bytes to read, poll() would return at once for ever; the dispatcher's 50 ms pass
        // picks up from there instead.
        const bool watchDevice = !backOff && !InputFull();
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {watchDevice ? fd : -1, POLLIN | POLLPRI, 0}};
        const int r = ::poll(fds, 2, watchDevice ? -1 : kDispatcherPeriodMs);
        if (StopThreadsRequested()) break;
        backOff = false;
        if (r < 0) continue;
        if (fds[0].revents & POLLIN) {
            drainEventFd(wakeFd_);
            continue;
        }
        uint32_t events = 0;
        if (fds[1].revents & (POLLIN | POLLPRI)) events |= evRxChar;
        if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) backOff = true;
        if (events == 0) continue;
        const uint64_t receivedBefore = BytesReceived();
        {
            std::unique_lock<std::mutex> lock(eventMutex_);
            pendingEvents_ |= events;
            comEvent_ = true;
            ready_ = false;
            eventCv_.notify_all();
            eventCv_.wait(lock, [this] { return ready_ || StopThreadsRequested(); });
        }
        if (BytesReceived() == receivedBefore && !InputFull()) backOff = true;
    }
}

void TQuavTermiosDispatcher::dispatcherThreadBody() {
    for (;;) {
        uint32_t events = 0;
        bool answered = false; // this pass serves an event the com thread waits on
        {
            std::unique_lock<std::mutex> lock(eventMutex_);
            eventCv_.wait_for(lock, std::chrono::milliseconds(kDispatcherPeriodMs),
                              [this] { return comEvent_ || modemEvent_ || StopThreadsRequested(); });
            events = pendingEvents_;
            pendingEvents_ = 0;
            answered = comEvent_;
            comEvent_ = false;
            modemEvent_ = false;
        }
        if (StopThreadsRequested() || DoneRequested()) break;
        if (events & (evRing | evRingTe)) SetRingFlag();
        const bool go = DispatcherPass(events);
        if (answered) {
            {
                std::lock_guard<std::mutex> g(eventMutex_);
                ready_ = true;
            }
            eventCv_.notify_all();
        }
        if (!go) break;
    }
}

void TQuavTermiosDispatcher::outputThreadBody() {
    while (!StopThreadsRequested() && !DoneRequested()) {
        writerIdle_ = true;
        // Bytes put between the last look at the ring and going idle found the thread busy
        // and did not wake it.
        if (OutputPending() && !abortRequested_.load()) {
            writerIdle_ = false;
            writeLoop();
            continue;
        }
        pollfd fds[2] = {{outReqFd_, POLLIN, 0}, {outAbortFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        writerIdle_ = false;
        if (fds[1].revents & POLLIN) {
            abortRequested_ = false;
            drainEventFd(outAbortFd_);
            acknowledgeOutput();
            continue;
        }
        if (fds[0].revents & POLLIN) {
            drainEventFd(outReqFd_);
            if (StopThreadsRequested()) break;
            writeLoop();
        }
    }
}

// Writes the output ring until it is empty or a transmit flush aborts the write. The device is
// written first and waited for only when it is full, so a line that keeps up costs one call per
// piece of the ring.
void TQuavTermiosDispatcher::writeLoop() {
    const int fd = [this] {
        SharedLock device(deviceLock_);
        return fd_;
    }();
    auto aborted = [this] {
        if (!abortRequested_.exchange(false)) return false;
        drainEventFd(outAbortFd_);
        acknowledgeOutput();
        return true;
    };
    auto waitForRoom = [&] {
        pollfd fds[2] = {{outAbortFd_, POLLIN, 0}, {fd, POLLOUT, 0}};
        ::poll(fds, 2, -1);
        // A signal whose abort was already served would wake every poll from now on.
        if ((fds[0].revents & POLLIN) && !abortRequested_.load()) drainEventFd(outAbortFd_);
    };
    for (;;) {
        if (aborted()) return;
        OutputPieces pieces;
        if (!TakeOutputPieces(pieces)) return;
        iovec iov[2] = {{const_cast<uint8_t*>(pieces.first), pieces.firstLength},
                        {const_cast<uint8_t*>(pieces.second), pieces.secondLength}};
        const uint32_t offered = pieces.firstLength + pieces.secondLength;
        const ssize_t w = ::writev(fd, iov, pieces.secondLength > 0 ? 2 : 1);
        if (w > 0) {
            AdvanceOutput(static_cast<uint32_t>(w));
            // A short write means the device is full: the next write would only be refused, so
            // the wait for room comes first. (On a fast line that refused write was a third of
            // all the calls.)
            if (static_cast<uint32_t>(w) < offered) waitForRoom();
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            waitForRoom();
            continue;
        }
        // The device refused the bytes (a hung-up line): they are dropped, not retried for ever.
        AdvanceOutput(offered);
    }
}

} // namespace brimwell
