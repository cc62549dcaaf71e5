// The platform-neutral half of a port's dispatcher: rings, line and flow settings, modem lines and
// line errors, triggers and notification delivery, and the process-wide port list.
#include "serial/dispatcher.h"

#include <algorithm>
#include <cstdint>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "serial/event_timer.h"
#include "serial/time_base.h"

namespace brimwell {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// A line change waits for the transmitter to drain, polling this often, at most this many times.
constexpr int kDrainPollMs = 2;
constexpr int kDrainPolls = 5000;
// Character times slept before a line change, so the last byte is off the wire.
constexpr int64_t kLineChangeCharTimes = 18;
// Handles of timer, data and status triggers are multiples of 8; the counter hands them out
// up to this count, then the smallest free one up to this value is searched.
constexpr uint32_t kHandleCounterLimit = 4096;
constexpr int32_t kLargestReusedHandle = 4096;
// The last-announcement mark that matches no received count: the next check announces what waits.
constexpr uint64_t kNoAnnouncement = UINT64_MAX;

struct PortList {
    std::recursive_mutex lock;
    std::vector<TQuavBaseDispatcher*> ports;
    int32_t lastHandle = -1;
    TQuavBaseDispatcher* lastFound = nullptr;
};

PortList& portList() {
    static PortList list;
    return list;
}

std::mutex& synchronizerLock() {
    static std::mutex m;
    return m;
}

TQuavBaseDispatcher::MainThreadSynchronizer& synchronizer() {
    static TQuavBaseDispatcher::MainThreadSynchronizer s;
    return s;
}

TQuavBaseDispatcher::ExceptionReporter& exceptionReporter() {
    static TQuavBaseDispatcher::ExceptionReporter r;
    return r;
}

uint8_t upcase(uint8_t c) {
    return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 'a' + 'A') : c;
}

} // namespace

// ---- Port list ------------------------------------------------------------------------------

void TQuavBaseDispatcher::LockPortList() {
    portList().lock.lock();
}
void TQuavBaseDispatcher::UnlockPortList() {
    portList().lock.unlock();
}

TQuavBaseDispatcher* TQuavBaseDispatcher::FindDispatcher(int32_t handle) {
    PortList& list = portList();
    Lock guard(list.lock);
    if (handle == list.lastHandle && list.lastFound) return list.lastFound;
    if (handle < 0 || static_cast<size_t>(handle) >= list.ports.size()) return nullptr;
    TQuavBaseDispatcher* found = list.ports[static_cast<size_t>(handle)];
    if (found) {
        list.lastHandle = handle;
        list.lastFound = found;
    }
    return found;
}

TQuavBaseDispatcher::TQuavBaseDispatcher(void* owner) : owner_(owner) {
    PortList& list = portList();
    Lock guard(list.lock);
    auto slot = std::find(list.ports.begin(), list.ports.end(), nullptr);
    if (slot != list.ports.end()) {
        *slot = this;
        handle_ = static_cast<int32_t>(slot - list.ports.begin());
    } else {
        list.ports.push_back(this);
        handle_ = static_cast<int32_t>(list.ports.size() - 1);
    }
}

TQuavBaseDispatcher::~TQuavBaseDispatcher() {
    PortList& list = portList();
    Lock guard(list.lock);
    if (handle_ >= 0 && static_cast<size_t>(handle_) < list.ports.size() &&
        list.ports[static_cast<size_t>(handle_)] == this)
        list.ports[static_cast<size_t>(handle_)] = nullptr;
    while (!list.ports.empty() && list.ports.back() == nullptr)
        list.ports.pop_back();
    if (list.lastFound == this) {
        list.lastFound = nullptr;
        list.lastHandle = -1;
    }
}

void TQuavBaseDispatcher::SetMainThreadSynchronizer(MainThreadSynchronizer s) {
    std::lock_guard<std::mutex> guard(synchronizerLock());
    synchronizer() = std::move(s);
}

void TQuavBaseDispatcher::SetExceptionReporter(ExceptionReporter reporter) {
    std::lock_guard<std::mutex> guard(synchronizerLock());
    exceptionReporter() = std::move(reporter);
}

void TQuavBaseDispatcher::ReportException(const std::string& where, std::exception_ptr error) {
    std::string message = where + ": ";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        message += e.what();
    } catch (...) {
        message += "unknown exception";
    }
    ExceptionReporter reporter;
    {
        std::lock_guard<std::mutex> guard(synchronizerLock());
        reporter = exceptionReporter();
    }
    if (reporter)
        reporter(message);
    else
        std::fprintf(stderr, "brimwell: %s\n", message.c_str());
}

// ---- Opening and closing --------------------------------------------------------------------

int32_t TQuavBaseDispatcher::InitPort(const std::string& deviceName, uint32_t baud, uint8_t parity,
                                      uint8_t dataBits, uint8_t stopBits, uint32_t inSize, uint32_t outSize,
                                      uint32_t openFlags) {
    if (open_.load() || !released_.load()) return secAlreadyOpen;
    ringFlag_ = false;
    busy_ = false;
    delivering_ = false;
    stopThreads_ = false;
    doneRequested_ = false;
    {
        Lock guard(mainLock_);
        handlerDeletionPending_ = false;
    }
    deviceName_ = deviceName;
    lastOpenErrno_ = 0;
    lastOpenSystemErrno_ = 0;

    const int32_t opened = OpenCom(deviceName, inSize, outSize);
    if (opened == secOutOfMemory) return secOutOfMemory;
    if (opened < 0) return lastOpenErrno_ > 0 ? -lastOpenErrno_ : secHardwareFailure;
    open_ = true;
    released_ = false;

    auto fail = [this](int32_t code) {
        DonePort();
        return code;
    };
    if (!SetupCom(inSize, outSize)) return fail(lastOpenErrno_ > 0 ? -lastOpenErrno_ : secHardwareFailure);

    {
        Lock in(inputLock_);
        inBuf_.assign(kInputBufferSize, 0);
        resetInputRing();
    }
    {
        Lock out(outputLock_);
        outBuf_.assign(outSize, 0);
        outHead_ = outTail_ = 0;
        outFull_ = false;
    }
    receiveSize_ = inSize;
    transmitSize_ = outSize;
    errorAccum_ = 0;
    outputWritten_ = false;
    rs485_ = false;
    baseAddress_ = 0;

    {
        Lock guard(mainLock_);
        TDeviceControlBlock dcb;
        if (GetComState(dcb) == 0) dcb_ = dcb;
        dtrAuto_ = (openFlags & ofDtrAutomatic) != 0;
        rtsAuto_ = (openFlags & ofRtsAutomatic) != 0;
        // The lines are set now: the line settings below write nothing when the device already
        // runs with them.
        if (!dtrAuto_) SetDtr((openFlags & ofDtrOn) != 0);
        if (!rtsAuto_) SetRts((openFlags & ofRtsOn) != 0);

        availLength_ = 0;
        timers_.clear();
        datas_.clear();
        statuses_.clear();
        handleCounter_ = 1;
        statusHit_ = false;
        modemStatus_ = 0;
        lastBaud_ = 115200;
    }
    readModemStatus(0);

    const int32_t line = SetLine(baud, parity, dataBits, stopBits);
    if (line < 0) return fail(line);

    TComStat status;
    GetComError(status);
    StartDispatcher();
    return secOK;
}

void TQuavBaseDispatcher::DonePort() {
    if (open_.load()) {
        FlushOutBuffer();
        FlushInBuffer();
        CloseCom();
        open_ = false;
        SignalOutputEmpty();
    }
    if (delivering_.load() || busy_.load()) {
        // A notification (or a wait holding the busy flag) is still running: the dispatcher thread
        // finishes the close when it leaves its loop.
        if (!released_.load()) doneRequested_ = true;
        return;
    }
    // The dispatcher thread may already have released the buffers on its way out; it is joined
    // all the same, so that no thread of this port outlives the close.
    StopDispatcher();
    freeBuffers();
}

void TQuavBaseDispatcher::freeBuffers() {
    if (released_.exchange(true)) return;
    {
        Lock in(inputLock_);
        inBuf_.clear();
        inBuf_.shrink_to_fit();
        resetInputRing();
    }
    {
        Lock out(outputLock_);
        outBuf_.clear();
        outBuf_.shrink_to_fit();
        outHead_ = outTail_ = 0;
        outFull_ = false;
    }
    SignalOutputEmpty();
}

void TQuavBaseDispatcher::DispatcherThreadExit() {
    if (doneRequested_.load() || stopThreads_.load()) freeBuffers();
}

void TQuavBaseDispatcher::ShutdownForDestroy() {
    if (!doneRequested_.load()) DonePort();
    StopDispatcher();
    freeBuffers();
}

bool TQuavBaseDispatcher::IsOpen() const {
    return open_.load();
}

void TQuavBaseDispatcher::SetDeviceLabel(const std::string& label) {
    Lock guard(mainLock_);
    deviceLabel_ = label;
}

std::string TQuavBaseDispatcher::DeviceLabel() const {
    Lock guard(mainLock_);
    return deviceLabel_;
}

// ---- Line settings --------------------------------------------------------------------------

namespace {
void setFixedFlags(TDeviceControlBlock& dcb) {
    dcb.Flags |= dcbBinary | dcbTXContinueOnXoff;
    dcb.Flags &= ~(dcbParity | dcbDsrSensitivity | dcbNull);
}
} // namespace

int32_t TQuavBaseDispatcher::SetLine(uint32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits) {
    uint32_t newBaud;
    uint8_t newParity, newSize, newStop;
    {
        Lock guard(mainLock_);
        TDeviceControlBlock cur;
        if (GetComState(cur) != 0) return secCommNotOpen;
        newBaud = baud == kKeepBaud ? cur.BaudRate : baud;
        newParity = parity == kKeepParity ? cur.Parity : parity;
        newSize = dataBits == kKeepDataBits ? cur.ByteSize : dataBits;
        if (stopBits == kKeepStopBits) {
            newStop = cur.StopBits;
        } else {
            newStop = stopBits <= 1 ? kOneStopBit : kTwoStopBits;
            if (newStop == kTwoStopBits && newSize == 5) newStop = kOne5StopBits;
        }
        if (newBaud == cur.BaudRate && newParity == cur.Parity && newSize == cur.ByteSize &&
            newStop == cur.StopBits)
            return secOK;
    }

    for (int i = 0; i < kDrainPolls && OutBuffUsed() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(kDrainPollMs));
    {
        TDeviceControlBlock cur;
        uint32_t lastBaud;
        {
            Lock guard(mainLock_);
            if (GetComState(cur) != 0) return secCommNotOpen;
            lastBaud = lastBaud_ ? lastBaud_ : 115200;
        }
        const int64_t bits = int64_t{cur.ByteSize} + 2 + (cur.Parity != kParityNone ? 1 : 0) +
                             (cur.StopBits != kOneStopBit ? 1 : 0);
        int64_t d = (10000000 / int64_t{lastBaud}) * bits * kLineChangeCharTimes; // 100 ns units
        if (d < 10000) d *= 2;
        std::this_thread::sleep_for(std::chrono::milliseconds((d + 9999) / 10000));
    }

    Lock guard(mainLock_);
    TDeviceControlBlock cur;
    if (GetComState(cur) != 0) return secCommNotOpen;
    setFixedFlags(cur);
    cur.BaudRate = newBaud;
    cur.Parity = newParity;
    cur.ByteSize = newSize;
    cur.StopBits = newStop;
    return writeConfig(cur);
}

int32_t TQuavBaseDispatcher::writeConfig(TDeviceControlBlock& dcb) {
    Lock guard(mainLock_);
    if (!dtrAuto_)
        dcb.Flags =
            (dcb.Flags & ~dcbDtrControlMask) | (dtrState_ ? dcbDtrControlEnable : dcbDtrControlDisable);
    if (!rtsAuto_)
        dcb.Flags =
            (dcb.Flags & ~dcbRtsControlMask) | (rtsState_ ? dcbRtsControlEnable : dcbRtsControlDisable);
    const int32_t r = SetComState(dcb);
    if (r != 0) return r;
    dcb_ = dcb;
    lastBaud_ = dcb.BaudRate;
    if (!dtrAuto_) EscapeComFunction(dtrState_ ? kSetDtr : kClrDtr);
    if (!rtsAuto_ && !rs485_.load()) EscapeComFunction(rtsState_ ? kSetRts : kClrRts);
    return secOK;
}

void TQuavBaseDispatcher::GetLine(uint32_t& baud, uint8_t& parity, uint8_t& dataBits, uint8_t& stopBits) {
    Lock guard(mainLock_);
    TDeviceControlBlock cur = dcb_;
    GetComState(cur);
    baud = cur.BaudRate;
    parity = cur.Parity;
    dataBits = cur.ByteSize;
    stopBits = cur.StopBits == kOneStopBit ? 1 : 2;
}

int32_t TQuavBaseDispatcher::ChangeBaud(uint32_t baud) {
    return SetLine(baud, kKeepParity, kKeepDataBits, kKeepStopBits);
}

// ---- Modem lines, break, line errors -------------------------------------------------------

int32_t TQuavBaseDispatcher::SetDtr(bool on) {
    Lock guard(mainLock_);
    if (dtrAuto_) return 1;
    dtrState_ = on;
    return EscapeComFunction(on ? kSetDtr : kClrDtr) < 0 ? secBadArgument : secOK;
}

int32_t TQuavBaseDispatcher::SetRts(bool on) {
    Lock guard(mainLock_);
    if (rtsAuto_) return 1;
    rtsState_ = on;
    return EscapeComFunction(on ? kSetRts : kClrRts) < 0 ? secBadArgument : secOK;
}

int32_t TQuavBaseDispatcher::SetModem(bool dtr, bool rts) {
    const int32_t a = SetDtr(dtr);
    const int32_t b = SetRts(rts);
    return a < 0 ? a : b < 0 ? b : secOK;
}

uint8_t TQuavBaseDispatcher::readModemStatus(uint8_t clearBits) {
    Lock guard(mainLock_);
    uint8_t ms = static_cast<uint8_t>((modemStatus_.load() & 0x0F) | (GetComModemStatus() & 0xF0));
    if (ringFlag_.exchange(false)) ms |= msRingEnded;
    modemStatus_ = static_cast<uint8_t>(ms & ~clearBits);
    return ms;
}

void TQuavBaseDispatcher::updateModemDeltas() {
    Lock guard(mainLock_);
    const uint8_t old = modemStatus_.load();
    const uint8_t levels = GetComModemStatus() & 0xF0;
    uint8_t deltas = old & 0x0F;
    const uint8_t changed = (old ^ levels) & 0xF0;
    if (changed & msCtsOn) deltas |= msDeltaCts;
    if (changed & msDsrOn) deltas |= msDeltaDsr;
    if (changed & msDcdOn) deltas |= msDeltaDcd;
    if ((old & msRingOn) && !(levels & msRingOn)) deltas |= msRingEnded;
    if (ringFlag_.exchange(false)) deltas |= msRingEnded;
    modemStatus_ = static_cast<uint8_t>(levels | deltas);
}

uint8_t TQuavBaseDispatcher::GetModemStatus() {
    return readModemStatus(0x0F);
}
bool TQuavBaseDispatcher::CheckCTS() {
    return readModemStatus(msDeltaCts) & msCtsOn;
}
bool TQuavBaseDispatcher::CheckDSR() {
    return readModemStatus(msDeltaDsr) & msDsrOn;
}
bool TQuavBaseDispatcher::CheckRI() {
    return readModemStatus(msRingEnded) & msRingOn;
}
bool TQuavBaseDispatcher::CheckDCD() {
    return readModemStatus(msDeltaDcd) & msDcdOn;
}
bool TQuavBaseDispatcher::CheckDeltaCTS() {
    return readModemStatus(msDeltaCts) & msDeltaCts;
}
bool TQuavBaseDispatcher::CheckDeltaDSR() {
    return readModemStatus(msDeltaDsr) & msDeltaDsr;
}
bool TQuavBaseDispatcher::CheckDeltaRI() {
    return readModemStatus(msRingEnded) & msRingEnded;
}
bool TQuavBaseDispatcher::CheckDeltaDCD() {
    return readModemStatus(msDeltaDcd) & msDeltaDcd;
}

uint16_t TQuavBaseDispatcher::GetLineError() {
    Lock guard(mainLock_);
    const uint32_t acc = errorAccum_.load();
    uint16_t e = 0;
    if (acc & ceRxOver)
        e = 1;
    else if (acc & ceOverrun)
        e = 2;
    else if (acc & ceRxParity)
        e = 3;
    else if (acc & ceFrame)
        e = 4;
    else if (acc & ceBreak)
        e = 9;
    if (e != 0) errorAccum_.fetch_and(~uint32_t{0x0F});
    return e;
}

bool TQuavBaseDispatcher::CheckLineBreak() {
    return errorAccum_.fetch_and(~ceBreak) & ceBreak;
}

void TQuavBaseDispatcher::SendBreak(int32_t ticks, const std::function<bool()>& yield) {
    SetBreak(true);
    DelayTicks(ticks, yield);
    SetBreak(false);
}

void TQuavBaseDispatcher::SetBreak(bool on) {
    if (on) {
        if (rs485_.load()) EscapeComFunction(kSetRts);
        SetComBreak(true);
    } else {
        SetComBreak(false);
        if (rs485_.load() && OutBuffUsed() == 0) EscapeComFunction(kClrRts);
    }
}

// ---- Input ring -----------------------------------------------------------------------------

void TQuavBaseDispatcher::resetInputRing() {
    head_ = tail_ = 0;
    full_ = false;
    availMode_ = false;
    availReadCount_ = 0;
    availMax_ = 0;
    totalIn_ = scanAbs_ = notifyAbs_ = 0;
}

uint32_t TQuavBaseDispatcher::usedLocked() const {
    if (head_ == tail_) return full_ ? kInputBufferSize : 0;
    return (head_ + kInputBufferSize - tail_) % kInputBufferSize;
}

uint32_t TQuavBaseDispatcher::readableLocked() const {
    const uint32_t used = usedLocked();
    if (!availMode_) return used;
    return used > availReadCount_ ? used - availReadCount_ : 0;
}

void TQuavBaseDispatcher::copyOut(uint8_t* dst, uint32_t from, uint32_t n) const {
    const uint32_t first = std::min(n, kInputBufferSize - from);
    std::memcpy(dst, inBuf_.data() + from, first);
    if (first < n) std::memcpy(dst + first, inBuf_.data(), n - first);
}

bool TQuavBaseDispatcher::InputFull() {
    Lock in(inputLock_);
    return full_;
}

void TQuavBaseDispatcher::receive() {
    Lock in(inputLock_);
    if (inBuf_.empty() || full_) return;
    TComStat status;
    GetComError(status);
    if (status.InQue == 0) return;

    uint32_t freeSpace, first;
    if (head_ == tail_) {
        freeSpace = kInputBufferSize;
        first = kInputBufferSize - head_;
    } else if (tail_ > head_) {
        freeSpace = first = tail_ - head_;
    } else {
        freeSpace = tail_ + kInputBufferSize - head_;
        first = kInputBufferSize - head_;
    }
    const uint32_t total = std::min(freeSpace, status.InQue);
    first = std::min(first, total);
    const uint32_t second = total - first;

    auto readAt = [this](uint32_t want) {
        int32_t got = ReadCom(inBuf_.data() + head_, want);
        if (got < 0) got = 0;
        const auto n = static_cast<uint32_t>(got);
        head_ = (head_ + n) % kInputBufferSize;
        totalIn_ += n;
        if (n > 0) full_ = head_ == tail_;
        bytesReceived_.fetch_add(n, std::memory_order_relaxed);
        return n;
    };
    if (readAt(first) < first) return;
    if (second > 0) readAt(second);
}

bool TQuavBaseDispatcher::CharReady() {
    Lock in(inputLock_);
    return readableLocked() > 0;
}

uint32_t TQuavBaseDispatcher::InBuffUsed() {
    Lock in(inputLock_);
    return readableLocked();
}

uint32_t TQuavBaseDispatcher::InBuffFree() {
    Lock in(inputLock_);
    return kInputBufferSize - readableLocked();
}

int32_t TQuavBaseDispatcher::PeekChar(uint8_t& c, uint32_t n) {
    Lock in(inputLock_);
    if (n == 0 || readableLocked() < n) return secBufferIsEmpty;
    const uint32_t start = availMode_ ? tail_ + availReadCount_ : tail_;
    c = inBuf_[(start + n - 1) % kInputBufferSize];
    return secOK;
}

int32_t TQuavBaseDispatcher::GetChar(uint8_t& c) {
    Lock in(inputLock_);
    const int32_t r = PeekChar(c, 1);
    if (r < 0) return r;
    if (availMode_) {
        ++availReadCount_;
    } else {
        tail_ = (tail_ + 1) % kInputBufferSize;
        full_ = false;
    }
    return secOK;
}

int32_t TQuavBaseDispatcher::PeekBlock(void* buffer, uint32_t n) {
    Lock in(inputLock_);
    if (readableLocked() < n) return secBufferIsEmpty;
    if (n == 0) return 0;
    const uint32_t start = (availMode_ ? tail_ + availReadCount_ : tail_) % kInputBufferSize;
    copyOut(static_cast<uint8_t*>(buffer), start, n);
    return static_cast<int32_t>(n);
}

int32_t TQuavBaseDispatcher::GetBlock(void* buffer, uint32_t n) {
    Lock in(inputLock_);
    const int32_t r = PeekBlock(buffer, n);
    if (r <= 0) return r;
    if (availMode_) {
        availReadCount_ += n;
    } else {
        tail_ = (tail_ + n) % kInputBufferSize;
        full_ = false;
    }
    return r;
}

int32_t TQuavBaseDispatcher::FlushInBuffer() {
    Lock in(inputLock_);
    const int32_t r = open_.load() ? PurgeCom(kFlushReceive) : 0;
    if (availMode_) {
        availMax_ = usedLocked();
    } else {
        tail_ = head_;
        availReadCount_ = 0;
        // Flushed bytes must not complete a data trigger later.
        scanAbs_ = totalIn_;
    }
    full_ = false;
    Lock guard(mainLock_);
    for (TDataTrigger& t : datas_)
        t.PartialCount = 0;
    return r;
}

// ---- Output ring ----------------------------------------------------------------------------

uint32_t TQuavBaseDispatcher::outUsedLocked() const {
    if (outFull_) return transmitSize_;
    if (outHead_ > outTail_) return outHead_ - outTail_;
    if (outHead_ < outTail_) return outHead_ + transmitSize_ - outTail_;
    return 0;
}

uint32_t TQuavBaseDispatcher::GetComError(TComStat& status) {
    const uint32_t errors = ReadComError(status);
    errorAccum_.fetch_or(errors & 0x1F);
    Lock out(outputLock_);
    status.OutQue = outUsedLocked();
    comStat_ = status;
    return errors;
}

int32_t TQuavBaseDispatcher::WriteCom(const uint8_t* buffer, uint32_t n) {
    {
        Lock out(outputLock_);
        const uint32_t first = std::min(n, transmitSize_ - outHead_);
        std::memcpy(outBuf_.data() + outHead_, buffer, first);
        if (first < n) std::memcpy(outBuf_.data(), buffer + first, n - first);
        outHead_ = (outHead_ + n) % transmitSize_;
    }
    SignalOutputRequest();
    return static_cast<int32_t>(n);
}

int32_t TQuavBaseDispatcher::PutChar(uint8_t c) {
    return PutBlock(&c, 1);
}

int32_t TQuavBaseDispatcher::PutString(std::string_view s) {
    return PutBlock(s.data(), static_cast<uint32_t>(s.size()));
}

int32_t TQuavBaseDispatcher::PutBlock(const void* buffer, uint32_t n) {
    if (n == 0) return 0;
    if (!open_.load()) return secCommNotOpen;
    int32_t count;
    {
        // The device's error bits are not read here: the dispatcher thread gathers them at least
        // every 50 ms, and a put costs no device call. (Neither does a put ever clear errors that
        // GetLineError has not reported yet.)
        Lock out(outputLock_);
        if (outBuf_.empty()) return secOutputBufferTooSmall;
        const uint32_t used = outUsedLocked();
        const uint32_t freeSpace = transmitSize_ - used;
        if (n > freeSpace) return secOutputBufferTooSmall;
        // On an idle line the bytes go straight to the device; only what it does not take at
        // once waits in the ring. Order is kept: the ring is empty and nothing is being written.
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        const uint32_t direct = used == 0 ? std::min(TryWriteDirect(bytes, n), n) : 0;
        count = static_cast<int32_t>(direct);
        if (direct < n) {
            const int32_t queued = WriteCom(bytes + direct, n - direct);
            if (queued <= 0 && direct == 0)
                count = queued;
            else
                count = static_cast<int32_t>(direct + static_cast<uint32_t>(std::max(queued, 0)));
            if (n == freeSpace && direct == 0 && queued > 0) outFull_ = true;
        }
    }
    if (count <= 0) {
        TComStat status;
        GetComError(status);
        return secPutBlockFail;
    }
    outputWritten_ = true;
    return secOK;
}

uint32_t TQuavBaseDispatcher::OutBuffUsed() {
    Lock out(outputLock_);
    return outUsedLocked();
}

uint32_t TQuavBaseDispatcher::OutBuffFree() {
    Lock out(outputLock_);
    return transmitSize_ - outUsedLocked();
}

void TQuavBaseDispatcher::BufferSizes(uint32_t& receiveSize, uint32_t& transmitSize) const {
    receiveSize = receiveSize_;
    transmitSize = transmitSize_;
}

uint32_t TQuavBaseDispatcher::TryWriteDirect(const uint8_t*, uint32_t) {
    return 0;
}

bool TQuavBaseDispatcher::OutputPending() {
    Lock out(outputLock_);
    return outUsedLocked() > 0;
}

// Wrapped bytes are handed out as two pieces for one gathering write, rather than rotated to the
// front of the ring: the effect on the line is the same without moving the whole ring each time.
bool TQuavBaseDispatcher::TakeOutputPieces(OutputPieces& pieces) {
    Lock out(outputLock_);
    const uint32_t pending = outUsedLocked();
    if (pending == 0 || outBuf_.empty()) return false;
    pieces.first = outBuf_.data() + outTail_;
    if (outTail_ < outHead_) {
        pieces.firstLength = outHead_ - outTail_;
        pieces.secondLength = 0;
    } else {
        pieces.firstLength = transmitSize_ - outTail_;
        pieces.second = outBuf_.data();
        pieces.secondLength = outHead_;
    }
    return true;
}

void TQuavBaseDispatcher::AdvanceOutput(uint32_t count) {
    bool emptied = false;
    {
        Lock out(outputLock_);
        if (count == 0 || transmitSize_ == 0) return;
        outTail_ = (outTail_ + count) % transmitSize_;
        emptied = outTail_ == outHead_;
        if (emptied) outTail_ = outHead_ = 0;
        outFull_ = false;
    }
    if (emptied) SignalOutputEmpty();
}

void TQuavBaseDispatcher::ClearOutputRing() {
    {
        Lock out(outputLock_);
        outFull_ = false;
        outHead_ = outTail_ = 0;
    }
    SignalOutputEmpty();
}

// The count is raised before the sleepers are looked at, and a sleeper registers before it reads
// the count (both sequentially consistent), so either the signal sees the sleeper or the sleeper
// sees the new count: no wake-up is lost, and an emptying nobody waits for costs no lock.
void TQuavBaseDispatcher::SignalOutputEmpty() {
    outEmptied_.fetch_add(1);
    if (outEmptyWaiters_.load() == 0) return;
    { std::lock_guard<std::mutex> g(outEmptyMutex_); }
    outEmptyCv_.notify_all();
}

bool TQuavBaseDispatcher::WaitOutputEmpty(int64_t maxMicros) {
    if (OutBuffUsed() == 0) return true;
    if (maxMicros <= 0) return false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(maxMicros);
    outEmptyWaiters_.fetch_add(1);
    const uint64_t seen = outEmptied_.load();
    bool empty = OutBuffUsed() == 0;
    if (!empty) {
        std::unique_lock<std::mutex> lock(outEmptyMutex_);
        outEmptyCv_.wait_until(lock, until, [&] { return outEmptied_.load() != seen || !open_.load(); });
    }
    outEmptyWaiters_.fetch_sub(1);
    return empty || OutBuffUsed() == 0;
}

int32_t TQuavBaseDispatcher::FlushCom(int direction) {
    if (direction == kFlushTransmit) {
        AbortOutput();
        ClearOutputRing();
    }
    return open_.load() ? PurgeCom(direction) : 0;
}

int32_t TQuavBaseDispatcher::FlushOutBuffer() {
    return FlushCom(kFlushTransmit);
}

// ---- Flow control ---------------------------------------------------------------------------

int32_t TQuavBaseDispatcher::HWFlowOptions(uint16_t bufferFull, uint16_t bufferResume, uint16_t options) {
    if (bufferFull < bufferResume || bufferFull > receiveSize_) return secBadArgument;
    Lock guard(mainLock_);
    TDeviceControlBlock cur;
    if (GetComState(cur) != 0) return secCommNotOpen;
    cur.Flags &= ~(dcbOutxCtsFlow | dcbOutxDsrFlow | dcbDtrControlMask | dcbRtsControlMask);
    dtrAuto_ = rtsAuto_ = false;
    if (options & hfUseDtr) {
        cur.Flags |= dcbDtrControlHandshake;
        dtrAuto_ = true;
    } else if (dtrState_) {
        cur.Flags |= dcbDtrControlEnable;
    }
    if (options & hfUseRts) {
        cur.Flags |= dcbRtsControlHandshake;
        rtsAuto_ = true;
    } else if (rtsState_) {
        cur.Flags |= dcbRtsControlEnable;
    }
    if (rs485_.load()) {
        cur.Flags = (cur.Flags & ~dcbRtsControlMask) | dcbRtsControlToggle;
        rtsAuto_ = true;
    }
    cur.XoffLim = static_cast<uint16_t>(receiveSize_ - bufferFull);
    cur.XonLim = bufferResume;
    if (options & hfRequireDsr) cur.Flags |= dcbOutxDsrFlow;
    if (options & hfRequireCts) cur.Flags |= dcbOutxCtsFlow;
    hwOptions_ = options;
    return writeConfig(cur);
}

int32_t TQuavBaseDispatcher::HWFlowState() {
    Lock guard(mainLock_);
    TDeviceControlBlock cur = dcb_;
    GetComState(cur);
    const bool cts = cur.Flags & dcbOutxCtsFlow;
    const bool dsr = cur.Flags & dcbOutxDsrFlow;
    const bool dtrHs = (cur.Flags & dcbDtrControlMask) == dcbDtrControlHandshake;
    const bool rtsHs = (cur.Flags & dcbRtsControlMask) == dcbRtsControlHandshake;
    if (!cts && !dsr && !dtrHs && !rtsHs) return fcOff + 1;
    if (!dtrHs && !rtsHs) return fcOn + 1;
    TComStat status;
    GetComError(status);
    if (cts && (status.HoldFlags & csCtsHold)) return fcCtsHold + 1;
    if (dsr && (status.HoldFlags & csDsrHold)) return fcDsrHold + 1;
    return fcOn + 1;
}

int32_t TQuavBaseDispatcher::SWFlowEnable(uint16_t bufferFull, uint16_t bufferResume, uint16_t options) {
    if (bufferFull < bufferResume || bufferFull > receiveSize_) return secBadArgument;
    Lock guard(mainLock_);
    TDeviceControlBlock cur;
    if (GetComState(cur) != 0) return secCommNotOpen;
    if (options & sfReceiveFlow) {
        cur.Flags |= dcbInX;
        cur.XoffLim = static_cast<uint16_t>(receiveSize_ - bufferFull);
        cur.XonLim = bufferResume;
    }
    if (options & sfTransmitFlow) cur.Flags |= dcbOutX;
    if (options & (sfReceiveFlow | sfTransmitFlow)) {
        cur.XonChar = 17;
        cur.XoffChar = 19;
    }
    return writeConfig(cur);
}

int32_t TQuavBaseDispatcher::SWFlowDisable() {
    Lock guard(mainLock_);
    TDeviceControlBlock cur;
    if (GetComState(cur) != 0) return secCommNotOpen;
    cur.Flags &= ~(dcbInX | dcbOutX);
    return writeConfig(cur);
}

int32_t TQuavBaseDispatcher::SWFlowState() {
    Lock guard(mainLock_);
    TDeviceControlBlock cur = dcb_;
    GetComState(cur);
    if (!(cur.Flags & (dcbInX | dcbOutX))) return fcOff + 1;
    TComStat status;
    GetComError(status);
    const bool sent = status.HoldFlags & csXoffSent;
    const bool held = status.HoldFlags & csXoffHold;
    if (sent && held) return fcXBothHold + 1;
    if (sent) return fcXInHold + 1;
    if (held) return fcXOutHold + 1;
    return fcOn + 1;
}

int32_t TQuavBaseDispatcher::SWFlowChars(uint8_t on, uint8_t off) {
    Lock guard(mainLock_);
    TDeviceControlBlock cur;
    if (GetComState(cur) != 0) return secCommNotOpen;
    cur.XonChar = on;
    cur.XoffChar = off;
    return writeConfig(cur);
}

// ---- Stored settings ------------------------------------------------------------------------

void TQuavBaseDispatcher::SetThreadBoost(TQuavThreadBoost boost) {
    {
        Lock guard(mainLock_);
        boost_ = boost;
    }
    ApplyThreadBoost(boost, rs485_.load());
}

void TQuavBaseDispatcher::ApplyThreadBoost(TQuavThreadBoost, bool) {}
TQuavThreadBoost TQuavBaseDispatcher::ThreadBoost() const {
    Lock guard(mainLock_);
    return boost_;
}
void TQuavBaseDispatcher::SetRS485Mode(bool on) {
    rs485_ = on;
    ApplyThreadBoost(ThreadBoost(), on);
}
bool TQuavBaseDispatcher::RS485Mode() const {
    return rs485_.load();
}
void TQuavBaseDispatcher::SetBaseAddress(uint16_t address) {
    Lock guard(mainLock_);
    baseAddress_ = address;
}
uint16_t TQuavBaseDispatcher::GetBaseAddress() const {
    Lock guard(mainLock_);
    return baseAddress_;
}
void TQuavBaseDispatcher::OptionsOn(uint16_t options) {
    Lock guard(mainLock_);
    options_ |= options;
}
void TQuavBaseDispatcher::OptionsOff(uint16_t options) {
    Lock guard(mainLock_);
    options_ &= static_cast<uint16_t>(~options);
}
bool TQuavBaseDispatcher::OptionsAreOn(uint16_t options) const {
    Lock guard(mainLock_);
    return (options_ & options) == options;
}
uint16_t TQuavBaseDispatcher::GetFlowOptions() const {
    Lock guard(mainLock_);
    return hwOptions_;
}
void TQuavBaseDispatcher::SetDataPointer(void* p, uint32_t index) {
    if (index < 1 || index > kMaxDataPointers) return;
    Lock guard(mainLock_);
    dataPointers_[index - 1] = p;
}
void* TQuavBaseDispatcher::GetDataPointer(uint32_t index) const {
    if (index < 1 || index > kMaxDataPointers) return nullptr;
    Lock guard(mainLock_);
    return dataPointers_[index - 1];
}

// ---- Triggers -------------------------------------------------------------------------------

void TQuavBaseDispatcher::ChangeLengthTrigger(uint32_t length) {
    Lock guard(mainLock_);
    availLength_ = length;
}

uint32_t TQuavBaseDispatcher::AvailTriggerLength() const {
    Lock guard(mainLock_);
    return availLength_;
}

int32_t TQuavBaseDispatcher::newTriggerHandle() {
    if (handleCounter_ < kHandleCounterLimit) return static_cast<int32_t>(handleCounter_++ * 8);
    for (int32_t h = 8; h <= kLargestReusedHandle; h += 8) {
        const bool used =
            std::any_of(timers_.begin(), timers_.end(),
                        [h](const TTimerTrigger& t) { return t.Handle == h; }) ||
            std::any_of(statuses_.begin(), statuses_.end(),
                        [h](const TStatusTrigger& t) { return (t.Handle & ~7) == h; }) ||
            std::any_of(datas_.begin(), datas_.end(), [h](const TDataTrigger& t) { return t.Handle == h; });
        if (!used) return h;
    }
    return secNoMoreTriggers;
}

TTimerTrigger* TQuavBaseDispatcher::findTimer(int32_t handle) {
    for (TTimerTrigger& t : timers_)
        if (t.Handle == handle) return &t;
    return nullptr;
}

int32_t TQuavBaseDispatcher::AddTimerTrigger() {
    Lock guard(mainLock_);
    const int32_t h = newTriggerHandle();
    if (h < 0) return h;
    TTimerTrigger t;
    t.Handle = h;
    timers_.push_back(t);
    return h;
}

int32_t TQuavBaseDispatcher::SetTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    Lock guard(mainLock_);
    TTimerTrigger* t = findTimer(handle);
    if (!t) return secBadTriggerHandle;
    if (activate) {
        if (ticks != 0) t->Ticks = ticks;
        NewTimer(t->Timer, t->Ticks);
    }
    t->Active = activate;
    return secOK;
}

int32_t TQuavBaseDispatcher::ExtendTimer(int32_t handle, int32_t ticks) {
    Lock guard(mainLock_);
    TTimerTrigger* t = findTimer(handle);
    if (!t) return secBadTriggerHandle;
    t->Timer.ExpireTicks += ticks;
    return secOK;
}

int32_t TQuavBaseDispatcher::TimerTicksRemaining(int32_t handle) {
    Lock guard(mainLock_);
    TTimerTrigger* t = findTimer(handle);
    if (!t) return secBadTriggerHandle;
    return RemainingTime(t->Timer);
}

int32_t TQuavBaseDispatcher::AddStatusTrigger(uint16_t kind) {
    if (kind < stModem || kind > stOutSent) return secBadArgument;
    Lock guard(mainLock_);
    const int32_t h = newTriggerHandle();
    if (h < 0) return h;
    TStatusTrigger t;
    t.Handle = h + kind;
    t.Kind = kind;
    statuses_.push_back(t);
    return t.Handle;
}

int32_t TQuavBaseDispatcher::SetStatusTrigger(int32_t handle, uint16_t value, bool activate) {
    // Reads the modem lines (main lock) before looking the trigger up under the same lock.
    if (activate) readModemStatus(0);
    Lock guard(mainLock_);
    auto it = std::find_if(statuses_.begin(), statuses_.end(),
                           [handle](const TStatusTrigger& t) { return t.Handle == handle; });
    if (it == statuses_.end()) return secBadTriggerHandle;
    if (activate) {
        switch (it->Kind) {
        case stModem: {
            const uint8_t mask = value & 0xFF;
            const uint8_t snapshot = mask & modemStatus_.load();
            it->Value = static_cast<uint16_t>((mask << 8) | snapshot);
            break;
        }
        case stLine: {
            uint16_t bits = 0;
            if (value & 1) bits |= ceOverrun;
            if (value & 2) bits |= ceRxParity;
            if (value & 4) bits |= ceFrame;
            if (value & 8) bits |= ceBreak;
            it->Value = bits;
            break;
        }
        case stOutBuffFree:
        case stOutBuffUsed:
            it->Value = value;
            break;
        default:
            break;
        }
    }
    it->Enabled = activate;
    return secOK;
}

int32_t TQuavBaseDispatcher::AddDataTrigger(std::string_view text, bool ignoreCase) {
    if (text.size() > kMaxTrigger) return secTriggerTooLong;
    return AddDataTriggerLen(text.data(), ignoreCase, static_cast<uint32_t>(text.size()));
}

int32_t TQuavBaseDispatcher::AddDataTriggerLen(const char* text, bool ignoreCase, uint32_t length) {
    if (length > kMaxTrigger) return secTriggerTooLong;
    // An empty string would match before any byte arrives; it is refused.
    if (length == 0 || text == nullptr) return secBadArgument;
    Lock guard(mainLock_);
    const int32_t h = newTriggerHandle();
    if (h < 0) return h;
    TDataTrigger t;
    t.Handle = h;
    t.Length = length;
    t.IgnoreCase = ignoreCase;
    t.Text.assign(text, length);
    if (ignoreCase)
        for (char& c : t.Text)
            c = static_cast<char>(upcase(static_cast<uint8_t>(c)));
    datas_.push_back(std::move(t));
    return h;
}

int32_t TQuavBaseDispatcher::RemoveTrigger(int32_t handle) {
    Lock guard(mainLock_);
    if (handle == kAvailTriggerHandle) {
        availLength_ = 0;
        return secOK;
    }
    auto eraseIf = [handle](auto& list) {
        auto it =
            std::find_if(list.begin(), list.end(), [handle](const auto& t) { return t.Handle == handle; });
        if (it == list.end()) return false;
        list.erase(it);
        return true;
    };
    if (eraseIf(timers_) || eraseIf(statuses_) || eraseIf(datas_)) return secOK;
    return secBadTriggerHandle;
}

void TQuavBaseDispatcher::RemoveAllTriggers() {
    Lock guard(mainLock_);
    availLength_ = 0;
    timers_.clear();
    datas_.clear();
    statuses_.clear();
    handleCounter_ = 1;
}

void TQuavBaseDispatcher::SaveTriggers(TTriggerSave& save) {
    Lock guard(mainLock_);
    save.AvailLength = availLength_;
    save.Timers = timers_;
    save.Datas = datas_;
    save.Statuses = statuses_;
}

void TQuavBaseDispatcher::RestoreTriggers(const TTriggerSave& save) {
    Lock guard(mainLock_);
    availLength_ = save.AvailLength;
    timers_ = save.Timers;
    datas_ = save.Datas;
    statuses_ = save.Statuses;
    // Handles keep counting above every restored one so a new trigger never repeats one.
    uint32_t highest = 0;
    for (const auto& t : timers_)
        highest = std::max<uint32_t>(highest, static_cast<uint32_t>(t.Handle) / 8);
    for (const auto& t : datas_)
        highest = std::max<uint32_t>(highest, static_cast<uint32_t>(t.Handle) / 8);
    for (const auto& t : statuses_)
        highest = std::max<uint32_t>(highest, static_cast<uint32_t>(t.Handle) / 8);
    handleCounter_ = std::max(handleCounter_, highest + 1);
}

void TQuavBaseDispatcher::ClearSaveBuffers(TTriggerSave& save) {
    save.AvailLength = 0;
    save.Timers.clear();
    save.Datas.clear();
    save.Statuses.clear();
}

// ---- Trigger handlers -----------------------------------------------------------------------

int32_t TQuavBaseDispatcher::RegisterWndTriggerHandler(TQuavWindowHandler* window) {
    if (!window) return secBadArgument;
    Lock guard(mainLock_);
    wndHandlers_.push_back({window, false});
    handlerService_ = true;
    announceWaiting_ = true;
    return secOK;
}

int32_t TQuavBaseDispatcher::RegisterProcTriggerHandler(TTriggerProc proc) {
    if (!proc) return secBadArgument;
    Lock guard(mainLock_);
    procHandlers_.push_back({proc, false});
    handlerService_ = true;
    announceWaiting_ = true;
    return secOK;
}

int32_t TQuavBaseDispatcher::RegisterEventTriggerHandler(TQuavTriggerEventHandler* handler) {
    if (!handler) return secBadArgument;
    Lock guard(mainLock_);
    eventHandlers_.push_back({handler, false, false});
    handlerService_ = true;
    announceWaiting_ = true;
    return secOK;
}

int32_t TQuavBaseDispatcher::RegisterSyncEventTriggerHandler(TQuavTriggerEventHandler* handler) {
    if (!handler) return secBadArgument;
    Lock guard(mainLock_);
    eventHandlers_.push_back({handler, false, true});
    handlerService_ = true;
    announceWaiting_ = true;
    return secOK;
}

namespace {
// Removes (or, during a delivery, marks) the first live entry that `matches`. False: none.
template <typename List, typename Pred> bool deregister(List& list, bool defer, bool& pending, Pred matches) {
    auto it = std::find_if(list.begin(), list.end(), [&](const auto& e) { return !e.Deleted && matches(e); });
    if (it == list.end()) return false;
    if (defer) {
        it->Deleted = true;
        pending = true;
    } else {
        list.erase(it);
    }
    return true;
}
} // namespace

// Removal is deferred only while a notification walks the lists; a caller-held busy flag without
// a delivery leaves nothing walking them.
int32_t TQuavBaseDispatcher::DeregisterWndTriggerHandler(TQuavWindowHandler* window) {
    Lock guard(mainLock_);
    const bool defer = delivering_.load();
    if (!deregister(wndHandlers_, defer, handlerDeletionPending_,
                    [window](const WndEntry& e) { return e.Window == window; }))
        return secBadArgument;
    if (!defer) recomputeHandlerService();
    return secOK;
}

int32_t TQuavBaseDispatcher::DeregisterProcTriggerHandler(TTriggerProc proc) {
    Lock guard(mainLock_);
    const bool defer = delivering_.load();
    if (!deregister(procHandlers_, defer, handlerDeletionPending_,
                    [proc](const ProcEntry& e) { return e.Proc == proc; }))
        return secBadArgument;
    if (!defer) recomputeHandlerService();
    return secOK;
}

int32_t TQuavBaseDispatcher::DeregisterEventTriggerHandler(TQuavTriggerEventHandler* handler) {
    Lock guard(mainLock_);
    const bool defer = delivering_.load();
    if (!deregister(eventHandlers_, defer, handlerDeletionPending_,
                    [handler](const EventEntry& e) { return e.Handler == handler; }))
        return secBadArgument;
    if (!defer) recomputeHandlerService();
    return secOK;
}

void TQuavBaseDispatcher::recomputeHandlerService() {
    Lock guard(mainLock_);
    auto live = [](const auto& list) {
        return std::count_if(list.begin(), list.end(), [](const auto& e) { return !e.Deleted; });
    };
    handlerService_ =
        live(wndHandlers_) > 1 || live(procHandlers_) > 0 || live(eventHandlers_) > 0 || portHandler_;
}

void TQuavBaseDispatcher::UpdateHandlerFlags(TQuavHandlerFlagUpdate update) {
    Lock guard(mainLock_);
    switch (update) {
    case fuKeepPort:
        recomputeHandlerService();
        break;
    case fuEnablePort:
        portHandler_ = true;
        handlerService_ = true;
        break;
    case fuDisablePort:
        portHandler_ = false;
        recomputeHandlerService();
        break;
    }
}

void TQuavBaseDispatcher::removeDeletedHandlers() {
    auto purge = [](auto& list) {
        list.erase(std::remove_if(list.begin(), list.end(), [](const auto& e) { return e.Deleted; }),
                   list.end());
    };
    purge(wndHandlers_);
    purge(procHandlers_);
    purge(eventHandlers_);
    handlerDeletionPending_ = false;
    recomputeHandlerService();
}

bool TQuavBaseDispatcher::SetEventBusy(bool busy) {
    Lock guard(mainLock_);
    return busy_.exchange(busy);
}

bool TQuavBaseDispatcher::EventBusy() const {
    return busy_.load() || delivering_.load();
}

// ---- Notification ---------------------------------------------------------------------------

// Called by the dispatcher thread with no lock held: consumers take the input lock to read and
// the main lock for trigger operations.
bool TQuavBaseDispatcher::notify(uint32_t msg, uint32_t wParam, uint16_t data) {
    if (!handlerService_.load()) return true;
    {
        Lock guard(mainLock_);
        delivering_ = true;
    }
    const bool availMsg = msg == kTriggerAvail || msg == kTriggerData;
    {
        Lock in(inputLock_);
        availMax_ = 0;
        availMode_ = availMsg;
    }
    TTriggerMessage message;
    message.Msg = msg;
    message.WParam = wParam;
    message.LParam = static_cast<int32_t>((static_cast<uint32_t>(handle_) << 16) | data);

    bool stopped = false;
    auto consume = [&](auto&& call) {
        {
            Lock in(inputLock_);
            availReadCount_ = 0;
        }
        // A consumer that throws loses its notification, not the port.
        try {
            call();
        } catch (...) {
            ReportException("exception in a trigger handler", std::current_exception());
        }
        {
            Lock in(inputLock_);
            availMax_ = std::max(availMax_, availReadCount_);
        }
        if (doneRequested_.load()) stopped = true;
    };

    for (size_t i = 0; !stopped; ++i) {
        EventEntry e;
        {
            Lock guard(mainLock_);
            if (i >= eventHandlers_.size()) break;
            e = eventHandlers_[i];
        }
        if (e.Deleted) continue;
        consume([&] {
            if (e.Sync) {
                MainThreadSynchronizer sync;
                {
                    std::lock_guard<std::mutex> g(synchronizerLock());
                    sync = synchronizer();
                }
                if (sync) {
                    sync([&] { e.Handler->HandleTrigger(message); });
                    return;
                }
            }
            e.Handler->HandleTrigger(message);
        });
    }
    for (size_t i = 0; !stopped; ++i) {
        ProcEntry e;
        {
            Lock guard(mainLock_);
            if (i >= procHandlers_.size()) break;
            e = procHandlers_[i];
        }
        if (e.Deleted) continue;
        consume([&] { e.Proc(message.Msg, message.WParam, message.LParam); });
    }
    bool windows;
    {
        Lock guard(mainLock_);
        windows = wndHandlers_.size() > 1 || portHandler_;
    }
    for (size_t i = 0; windows && !stopped; ++i) {
        WndEntry e;
        {
            Lock guard(mainLock_);
            if (i >= wndHandlers_.size()) break;
            e = wndHandlers_[i];
        }
        if (e.Deleted) continue;
        consume([&] { e.Window->SendTriggerMessage(message); });
    }

    bool result = !stopped;
    {
        Lock in(inputLock_);
        if (availMode_) {
            availMode_ = false;
            const uint32_t take = std::min(availMax_, usedLocked());
            tail_ = (tail_ + take) % kInputBufferSize;
            if (availMax_ != 0) full_ = false;
            if (msg == kTriggerAvail && availMax_ != wParam) result = false;
        }
        availReadCount_ = 0;
    }
    Lock guard(mainLock_);
    delivering_ = false;
    if (handlerDeletionPending_) removeDeletedHandlers();
    return result;
}

bool TQuavBaseDispatcher::checkTimerTriggers() {
    int32_t handle = 0;
    {
        Lock guard(mainLock_);
        auto it = std::find_if(timers_.begin(), timers_.end(),
                               [](const TTimerTrigger& t) { return t.Active && TimerExpired(t.Timer); });
        if (it == timers_.end()) return false;
        it->Active = false;
        handle = it->Handle;
    }
    return notify(kTriggerTimer, static_cast<uint32_t>(handle), 0);
}

bool TQuavBaseDispatcher::checkStatusTriggers() {
    int32_t handle = 0;
    uint16_t data = 0;
    {
        Lock guard(mainLock_);
        bool fired = false;
        for (TStatusTrigger& t : statuses_) {
            if (!t.Enabled || t.Hit) continue;
            switch (t.Kind) {
            case stModem:
                fired = ((t.Value & 0xFF) ^ modemStatus_.load()) & (t.Value >> 8);
                break;
            case stLine: {
                const uint32_t acc = errorAccum_.load();
                if (t.Value & acc) {
                    fired = true;
                    t.Value = static_cast<uint16_t>(acc);
                }
                break;
            }
            case stOutBuffFree: {
                const uint32_t freeCount = OutBuffFree();
                if (freeCount >= t.Value) {
                    fired = true;
                    data = static_cast<uint16_t>(freeCount);
                }
                break;
            }
            case stOutBuffUsed: {
                const uint32_t used = OutBuffUsed();
                if (used <= t.Value) {
                    fired = true;
                    data = static_cast<uint16_t>(used);
                }
                break;
            }
            case stOutSent:
                fired = outputWritten_.exchange(false);
                break;
            default:
                break;
            }
            if (fired) {
                t.Enabled = false;
                t.Hit = true;
                statusHit_ = true;
                handle = t.Handle;
                break;
            }
        }
        if (!fired) return false;
    }
    return notify(kTriggerStatus, static_cast<uint32_t>(handle), data);
}

void TQuavBaseDispatcher::resetStatusHits() {
    Lock guard(mainLock_);
    for (TStatusTrigger& t : statuses_)
        t.Hit = false;
    statusHit_ = false;
}

bool TQuavBaseDispatcher::advanceMatch(TDataTrigger& t, uint8_t c) {
    const uint8_t b = t.IgnoreCase ? upcase(c) : c;
    std::array<uint8_t, kMaxTrigger + 1> next{};
    uint8_t count = 0;
    auto add = [&](uint8_t len) {
        for (uint8_t i = 0; i < count; ++i)
            if (next[i] == len) return;
        if (count < next.size()) next[count++] = len;
    };
    for (uint8_t i = 0; i < t.PartialCount; ++i) {
        const uint8_t m = t.Partial[i];
        if (m < t.Length && static_cast<uint8_t>(t.Text[m]) == b) add(static_cast<uint8_t>(m + 1));
    }
    if (static_cast<uint8_t>(t.Text[0]) == b) add(1);
    for (uint8_t i = 0; i < count; ++i) {
        if (next[i] >= t.Length) {
            t.PartialCount = 0;
            return true;
        }
    }
    t.Partial = next;
    t.PartialCount = count;
    return false;
}

bool TQuavBaseDispatcher::checkReceiveTriggers() {
    bool announceAvail = false;
    uint32_t availCount = 0;
    std::vector<std::pair<int32_t, uint32_t>> matched;
    {
        Lock in(inputLock_);
        Lock guard(mainLock_);
        if (inBuf_.empty()) return false;
        if (announceWaiting_) {
            announceWaiting_ = false;
            notifyAbs_ = kNoAnnouncement;
        }
        const uint32_t L = availLength_;
        bool completed = false;
        uint64_t p = 0;
        uint32_t longest = 0;
        if (!datas_.empty()) {
            for (uint64_t a = scanAbs_; a < totalIn_ && !completed; ++a) {
                const uint8_t c = inBuf_[a % kInputBufferSize];
                for (TDataTrigger& t : datas_) {
                    if (advanceMatch(t, c)) {
                        t.Matched = true;
                        completed = true;
                        longest = std::max(longest, t.Length);
                    }
                }
                if (completed) p = a;
            }
        }
        if (completed) {
            const uint64_t tailAbs = totalIn_ - usedLocked();
            if (L != 0 && notifyAbs_ != p) {
                const uint64_t b = p - tailAbs + 1;
                if (b >= longest && b - longest >= L) {
                    announceAvail = true;
                    availCount = static_cast<uint32_t>(b - longest);
                    notifyAbs_ = p;
                }
            }
            for (auto it = datas_.rbegin(); it != datas_.rend(); ++it) {
                if (!it->Matched) continue;
                matched.emplace_back(it->Handle, it->Length);
                it->Matched = false;
            }
            scanAbs_ = p + 1;
        } else {
            scanAbs_ = totalIn_;
            const uint32_t used = usedLocked();
            if (L == 0 || notifyAbs_ == totalIn_ || used < L) return false;
            announceAvail = true;
            availCount = used;
            notifyAbs_ = totalIn_;
        }
    }
    bool result = false;
    if (announceAvail) result = notify(kTriggerAvail, availCount, 0);
    for (const auto& [handle, length] : matched)
        result = notify(kTriggerData, static_cast<uint32_t>(handle), static_cast<uint16_t>(length));
    return result;
}

// ---- The dispatcher thread's pass -----------------------------------------------------------

bool TQuavBaseDispatcher::DispatcherPass(uint32_t eventMask) {
    auto endNow = [this] { return doneRequested_.load() || stopThreads_.load(); };
    if (endNow()) return false;
    auto resetHitsAfterAHit = [this] {
        bool hit;
        {
            Lock guard(mainLock_);
            hit = statusHit_;
        }
        if (hit) resetStatusHits();
    };
    auto statusLoop = [&] {
        if (busy_.load()) return;
        while (!doneRequested_.load() && checkStatusTriggers()) {
        }
        resetHitsAfterAHit();
    };

    // Modem lines are read on every pass: that also catches changes on devices that cannot
    // signal them as events.
    const uint8_t before = modemStatus_.load();
    updateModemDeltas();
    if ((eventMask & (evCts | evDsr | evRlsd | evRing | evRingTe)) || ((before ^ modemStatus_.load()) & 0xF0))
        statusLoop();
    if (eventMask & (evBreak | evErr)) {
        TComStat status;
        GetComError(status);
        statusLoop();
    }

    receive();

    if (!busy_.load()) {
        while (!doneRequested_.load() && checkStatusTriggers()) {
        }
        while (!doneRequested_.load() && checkReceiveTriggers()) {
        }
    }
    resetHitsAfterAHit();

    // The periodic step: status and timer triggers, whether or not anything arrived.
    if (!doneRequested_.load() && !busy_.load()) {
        {
            Lock guard(mainLock_);
            statusHit_ = false;
        }
        bool delivered;
        do {
            delivered = checkStatusTriggers();
            if (!delivered) delivered = checkTimerTriggers();
        } while (delivered && !doneRequested_.load());
        resetHitsAfterAHit();
    }
    return !endNow();
}

void TQuavBaseDispatcher::SetRingFlag() {
    ringFlag_ = true;
}

} // namespace brimwell
