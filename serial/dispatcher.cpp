// The platform-neutral half of a port's dispatcher: the port list, opening and closing, line and
// flow settings, modem lines and line errors, and the settings stored for callers.
#include "serial/dispatcher.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "serial/dispatcher_state.h"
#include "serial/event_timer.h"
#include "serial/time_base.h"

namespace brimwell {

namespace {

// A line change waits for the transmitter to drain, polling this often, at most this many times.
constexpr int kDrainPollMs = 2;
constexpr int kDrainPolls = 5000;
// Character times slept before a line change, so the last byte is off the wire.
constexpr int64_t kLineChangeCharTimes = 18;
// Start, parity-free stop and one more bit around the data bits of a character.
constexpr int64_t kFramingBits = 2;
// The drain computation counts in 100 ns units; a drain shorter than a millisecond is doubled.
constexpr int64_t kUnitsPerSecond = 10000000;
constexpr int64_t kUnitsPerMs = 10000;
// The error accumulator's bits that a line-error read clears.
constexpr uint32_t kLineErrorBits = 0x0F;
// The modem-status byte: change bits in the low half, levels in the high half.
constexpr uint8_t kModemDeltaBits = 0x0F;
constexpr uint8_t kModemLevelBits = 0xF0;
// Line-error codes GetLineError reports, highest priority first.
constexpr uint16_t kLineErrRxOver = 1, kLineErrOverrun = 2, kLineErrParity = 3, kLineErrFrame = 4,
                   kLineErrBreak = 9;
// XON and XOFF characters set when software flow control is switched on.
constexpr uint8_t kXonChar = 17, kXoffChar = 19;

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

TQuavBaseDispatcher::TQuavBaseDispatcher(void* owner) : s_(std::make_unique<DispatcherState>(recorders())) {
    s_->owner = owner;
    PortList& list = portList();
    Lock guard(list.lock);
    auto slot = std::find(list.ports.begin(), list.ports.end(), nullptr);
    if (slot != list.ports.end()) {
        *slot = this;
        s_->handle = static_cast<int32_t>(slot - list.ports.begin());
    } else {
        list.ports.push_back(this);
        s_->handle = static_cast<int32_t>(list.ports.size() - 1);
    }
}

TQuavBaseDispatcher::~TQuavBaseDispatcher() {
    PortList& list = portList();
    Lock guard(list.lock);
    if (s_->handle >= 0 && static_cast<size_t>(s_->handle) < list.ports.size() &&
        list.ports[static_cast<size_t>(s_->handle)] == this)
        list.ports[static_cast<size_t>(s_->handle)] = nullptr;
    while (!list.ports.empty() && list.ports.back() == nullptr)
        list.ports.pop_back();
    if (list.lastFound == this) {
        list.lastFound = nullptr;
        list.lastHandle = -1;
    }
}

int32_t TQuavBaseDispatcher::Handle() const {
    return s_->handle;
}

void* TQuavBaseDispatcher::Owner() const {
    return s_->owner;
}

const std::string& TQuavBaseDispatcher::DeviceName() const {
    return s_->deviceName;
}

void TQuavBaseDispatcher::SetMainThreadSynchronizer(MainThreadSynchronizer s) {
    HandlerRegistry::SetMainThreadSynchronizer(std::move(s));
}

bool TQuavBaseDispatcher::StopThreadsRequested() const {
    return s_->stopThreads.load();
}

bool TQuavBaseDispatcher::DoneRequested() const {
    return s_->doneRequested.load();
}

void TQuavBaseDispatcher::RequestStopThreads() {
    s_->stopThreads.store(true);
}

// ---- Opening and closing --------------------------------------------------------------------

int32_t TQuavBaseDispatcher::InitPort(const std::string& deviceName, uint32_t baud, uint8_t parity,
                                      uint8_t dataBits, uint8_t stopBits, uint32_t inSize, uint32_t outSize,
                                      uint32_t openFlags) {
    if (s_->open.load() || !s_->released.load()) return secAlreadyOpen;
    s_->ringFlag = false;
    s_->busy = false;
    s_->handlers.ResetDelivery();
    s_->stopThreads = false;
    s_->doneRequested = false;
    s_->portError = 0;
    s_->deviceName = deviceName;
    lastOpenErrno_ = 0;
    lastOpenSystemErrno_ = 0;

    const int32_t opened = OpenCom(deviceName, inSize, outSize);
    if (opened == secOutOfMemory) return secOutOfMemory;
    if (opened < 0) return lastOpenErrno_ > 0 ? -lastOpenErrno_ : secHardwareFailure;
    s_->open = true;
    s_->released = false;

    auto fail = [this](int32_t code) {
        DonePort();
        return code;
    };
    if (!SetupCom(inSize, outSize)) return fail(lastOpenErrno_ > 0 ? -lastOpenErrno_ : secHardwareFailure);

    {
        Lock in(s_->inputLock);
        s_->in.reset(kInputBufferSize);
        s_->resetInput();
    }
    {
        Lock out(s_->outputLock);
        s_->out.reset(outSize);
    }
    s_->receiveSize = inSize;
    s_->transmitSize = outSize;
    s_->errorAccum = 0;
    s_->outputWritten = false;
    s_->rs485 = false;
    s_->baseAddress = 0;

    {
        Lock guard(s_->mainLock);
        TDeviceControlBlock dcb;
        if (GetComState(dcb) == 0) s_->dcb = dcb;
        s_->dtrAuto = (openFlags & ofDtrAutomatic) != 0;
        s_->rtsAuto = (openFlags & ofRtsAutomatic) != 0;
        // The lines are set now: the line settings below write nothing when the device already
        // runs with them.
        if (!s_->dtrAuto) SetDtr((openFlags & ofDtrOn) != 0);
        if (!s_->rtsAuto) SetRts((openFlags & ofRtsOn) != 0);

        s_->triggers.Clear();
        s_->modemStatus = 0;
        s_->lastBaud = kDefaultBaud;
    }
    Work::readModemStatus(*this, 0);

    const int32_t line = SetLine(baud, parity, dataBits, stopBits);
    if (line < 0) return fail(line);

    TComStat status;
    GetComError(status);
    s_->recorders.PortOpened();
    StartDispatcher();
    return secOK;
}

void TQuavBaseDispatcher::DonePort() {
    if (s_->open.load()) {
        FlushOutBuffer();
        FlushInBuffer();
        CloseCom();
        s_->open = false;
        Work::signalOutputEmpty(*this);
    }
    if (s_->handlers.Delivering() || s_->busy.load()) {
        // A notification (or a wait holding the busy flag) is still running: the dispatcher thread
        // finishes the close when it leaves its loop.
        if (!s_->released.load()) s_->doneRequested = true;
        return;
    }
    // The dispatcher thread may already have released the buffers on its way out; it is joined
    // all the same, so that no thread of this port outlives the close.
    StopDispatcher();
    Work::freeBuffers(*this);
}

void TQuavBaseDispatcher::Work::freeBuffers(TQuavBaseDispatcher& d) {
    if (d.s_->released.exchange(true)) return;
    {
        Lock in(d.s_->inputLock);
        d.s_->in.reset(0);
        d.s_->resetInput();
    }
    {
        Lock out(d.s_->outputLock);
        d.s_->out.reset(0);
    }
    Work::signalOutputEmpty(d);
}

void TQuavBaseDispatcher::DispatcherThreadExit() {
    if (s_->doneRequested.load() || s_->stopThreads.load()) Work::freeBuffers(*this);
}

void TQuavBaseDispatcher::ShutdownForDestroy() {
    if (!s_->doneRequested.load()) DonePort();
    StopDispatcher();
    Work::freeBuffers(*this);
}

bool TQuavBaseDispatcher::IsOpen() const {
    return s_->open.load();
}

void TQuavBaseDispatcher::SetDeviceLabel(const std::string& label) {
    Lock guard(s_->mainLock);
    s_->deviceLabel = label;
    s_->recorders.SetDeviceLabel(label);
}

std::string TQuavBaseDispatcher::DeviceLabel() const {
    Lock guard(s_->mainLock);
    return s_->deviceLabel;
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
        Lock guard(s_->mainLock);
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
            Lock guard(s_->mainLock);
            if (GetComState(cur) != 0) return secCommNotOpen;
            lastBaud = s_->lastBaud ? s_->lastBaud : kDefaultBaud;
        }
        const int64_t bits = int64_t{cur.ByteSize} + kFramingBits + (cur.Parity != kParityNone ? 1 : 0) +
                             (cur.StopBits != kOneStopBit ? 1 : 0);
        int64_t d = (kUnitsPerSecond / int64_t{lastBaud}) * bits * kLineChangeCharTimes;
        if (d < kUnitsPerMs) d *= 2;
        std::this_thread::sleep_for(std::chrono::milliseconds((d + kUnitsPerMs - 1) / kUnitsPerMs));
    }

    Lock guard(s_->mainLock);
    TDeviceControlBlock cur;
    if (GetComState(cur) != 0) return secCommNotOpen;
    setFixedFlags(cur);
    cur.BaudRate = newBaud;
    cur.Parity = newParity;
    cur.ByteSize = newSize;
    cur.StopBits = newStop;
    return Work::writeConfig(*this, cur);
}

int32_t TQuavBaseDispatcher::Work::writeConfig(TQuavBaseDispatcher& d, TDeviceControlBlock& dcb) {
    Lock guard(d.s_->mainLock);
    if (!d.s_->dtrAuto)
        dcb.Flags =
            (dcb.Flags & ~dcbDtrControlMask) | (d.s_->dtrState ? dcbDtrControlEnable : dcbDtrControlDisable);
    if (!d.s_->rtsAuto)
        dcb.Flags =
            (dcb.Flags & ~dcbRtsControlMask) | (d.s_->rtsState ? dcbRtsControlEnable : dcbRtsControlDisable);
    const int32_t r = d.SetComState(dcb);
    if (r != 0) return r;
    d.s_->dcb = dcb;
    d.s_->lastBaud = dcb.BaudRate;
    if (!d.s_->dtrAuto) d.EscapeComFunction(d.s_->dtrState ? kSetDtr : kClrDtr);
    if (!d.s_->rtsAuto && !d.s_->rs485.load()) d.EscapeComFunction(d.s_->rtsState ? kSetRts : kClrRts);
    return secOK;
}

void TQuavBaseDispatcher::GetLine(uint32_t& baud, uint8_t& parity, uint8_t& dataBits, uint8_t& stopBits) {
    Lock guard(s_->mainLock);
    TDeviceControlBlock cur = s_->dcb;
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
    Lock guard(s_->mainLock);
    if (s_->dtrAuto) return 1;
    s_->dtrState = on;
    return EscapeComFunction(on ? kSetDtr : kClrDtr) < 0 ? secBadArgument : secOK;
}

int32_t TQuavBaseDispatcher::SetRts(bool on) {
    Lock guard(s_->mainLock);
    if (s_->rtsAuto) return 1;
    s_->rtsState = on;
    return EscapeComFunction(on ? kSetRts : kClrRts) < 0 ? secBadArgument : secOK;
}

int32_t TQuavBaseDispatcher::SetModem(bool dtr, bool rts) {
    const int32_t a = SetDtr(dtr);
    const int32_t b = SetRts(rts);
    return a < 0 ? a : b < 0 ? b : secOK;
}

uint8_t TQuavBaseDispatcher::Work::readModemStatus(TQuavBaseDispatcher& d, uint8_t clearBits) {
    Lock guard(d.s_->mainLock);
    uint8_t ms = static_cast<uint8_t>((d.s_->modemStatus.load() & kModemDeltaBits) |
                                      (d.GetComModemStatus() & kModemLevelBits));
    if (d.s_->ringFlag.exchange(false)) ms |= msRingEnded;
    d.s_->modemStatus = static_cast<uint8_t>(ms & ~clearBits);
    return ms;
}

void TQuavBaseDispatcher::Work::updateModemDeltas(TQuavBaseDispatcher& d) {
    Lock guard(d.s_->mainLock);
    const uint8_t old = d.s_->modemStatus.load();
    const uint8_t levels = d.GetComModemStatus() & kModemLevelBits;
    uint8_t deltas = old & kModemDeltaBits;
    const uint8_t changed = (old ^ levels) & kModemLevelBits;
    if (changed & msCtsOn) deltas |= msDeltaCts;
    if (changed & msDsrOn) deltas |= msDeltaDsr;
    if (changed & msDcdOn) deltas |= msDeltaDcd;
    if ((old & msRingOn) && !(levels & msRingOn)) deltas |= msRingEnded;
    if (d.s_->ringFlag.exchange(false)) deltas |= msRingEnded;
    d.s_->modemStatus = static_cast<uint8_t>(levels | deltas);
}

uint8_t TQuavBaseDispatcher::GetModemStatus() {
    return Work::readModemStatus(*this, kModemDeltaBits);
}
bool TQuavBaseDispatcher::CheckCTS() {
    return Work::readModemStatus(*this, msDeltaCts) & msCtsOn;
}
bool TQuavBaseDispatcher::CheckDSR() {
    return Work::readModemStatus(*this, msDeltaDsr) & msDsrOn;
}
bool TQuavBaseDispatcher::CheckRI() {
    return Work::readModemStatus(*this, msRingEnded) & msRingOn;
}
bool TQuavBaseDispatcher::CheckDCD() {
    return Work::readModemStatus(*this, msDeltaDcd) & msDcdOn;
}
bool TQuavBaseDispatcher::CheckDeltaCTS() {
    return Work::readModemStatus(*this, msDeltaCts) & msDeltaCts;
}
bool TQuavBaseDispatcher::CheckDeltaDSR() {
    return Work::readModemStatus(*this, msDeltaDsr) & msDeltaDsr;
}
bool TQuavBaseDispatcher::CheckDeltaRI() {
    return Work::readModemStatus(*this, msRingEnded) & msRingEnded;
}
bool TQuavBaseDispatcher::CheckDeltaDCD() {
    return Work::readModemStatus(*this, msDeltaDcd) & msDeltaDcd;
}

uint16_t TQuavBaseDispatcher::GetLineError() {
    Lock guard(s_->mainLock);
    const uint32_t acc = s_->errorAccum.load();
    uint16_t e = 0;
    if (acc & ceRxOver)
        e = kLineErrRxOver;
    else if (acc & ceOverrun)
        e = kLineErrOverrun;
    else if (acc & ceRxParity)
        e = kLineErrParity;
    else if (acc & ceFrame)
        e = kLineErrFrame;
    else if (acc & ceBreak)
        e = kLineErrBreak;
    if (e != 0) s_->errorAccum.fetch_and(~kLineErrorBits);
    return e;
}

bool TQuavBaseDispatcher::CheckLineBreak() {
    return s_->errorAccum.fetch_and(~ceBreak) & ceBreak;
}

void TQuavBaseDispatcher::SendBreak(int32_t ticks, const std::function<bool()>& yield) {
    SetBreak(true);
    DelayTicks(ticks, yield);
    SetBreak(false);
}

void TQuavBaseDispatcher::SetBreak(bool on) {
    if (on) {
        if (s_->rs485.load()) EscapeComFunction(kSetRts);
        SetComBreak(true);
    } else {
        SetComBreak(false);
        if (s_->rs485.load() && OutBuffUsed() == 0) EscapeComFunction(kClrRts);
    }
}

// ---- Flow control ---------------------------------------------------------------------------

int32_t TQuavBaseDispatcher::HWFlowOptions(uint16_t bufferFull, uint16_t bufferResume, uint16_t options) {
    if (bufferFull < bufferResume || bufferFull > s_->receiveSize) return secBadArgument;
    Lock guard(s_->mainLock);
    TDeviceControlBlock cur;
    if (GetComState(cur) != 0) return secCommNotOpen;
    cur.Flags &= ~(dcbOutxCtsFlow | dcbOutxDsrFlow | dcbDtrControlMask | dcbRtsControlMask);
    s_->dtrAuto = s_->rtsAuto = false;
    if (options & hfUseDtr) {
        cur.Flags |= dcbDtrControlHandshake;
        s_->dtrAuto = true;
    } else if (s_->dtrState) {
        cur.Flags |= dcbDtrControlEnable;
    }
    if (options & hfUseRts) {
        cur.Flags |= dcbRtsControlHandshake;
        s_->rtsAuto = true;
    } else if (s_->rtsState) {
        cur.Flags |= dcbRtsControlEnable;
    }
    if (s_->rs485.load()) {
        cur.Flags = (cur.Flags & ~dcbRtsControlMask) | dcbRtsControlToggle;
        s_->rtsAuto = true;
    }
    cur.XoffLim = static_cast<uint16_t>(s_->receiveSize - bufferFull);
    cur.XonLim = bufferResume;
    if (options & hfRequireDsr) cur.Flags |= dcbOutxDsrFlow;
    if (options & hfRequireCts) cur.Flags |= dcbOutxCtsFlow;
    s_->hwOptions = options;
    return Work::writeConfig(*this, cur);
}

// Takes the output lock (the device status) under the main lock, as SWFlowState does.
int32_t TQuavBaseDispatcher::HWFlowState() {
    Lock guard(s_->mainLock);
    TDeviceControlBlock cur = s_->dcb;
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
    if (bufferFull < bufferResume || bufferFull > s_->receiveSize) return secBadArgument;
    Lock guard(s_->mainLock);
    TDeviceControlBlock cur;
    if (GetComState(cur) != 0) return secCommNotOpen;
    if (options & sfReceiveFlow) {
        cur.Flags |= dcbInX;
        cur.XoffLim = static_cast<uint16_t>(s_->receiveSize - bufferFull);
        cur.XonLim = bufferResume;
    }
    if (options & sfTransmitFlow) cur.Flags |= dcbOutX;
    if (options & (sfReceiveFlow | sfTransmitFlow)) {
        cur.XonChar = kXonChar;
        cur.XoffChar = kXoffChar;
    }
    return Work::writeConfig(*this, cur);
}

int32_t TQuavBaseDispatcher::SWFlowDisable() {
    Lock guard(s_->mainLock);
    TDeviceControlBlock cur;
    if (GetComState(cur) != 0) return secCommNotOpen;
    cur.Flags &= ~(dcbInX | dcbOutX);
    return Work::writeConfig(*this, cur);
}

int32_t TQuavBaseDispatcher::SWFlowState() {
    Lock guard(s_->mainLock);
    TDeviceControlBlock cur = s_->dcb;
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
    Lock guard(s_->mainLock);
    TDeviceControlBlock cur;
    if (GetComState(cur) != 0) return secCommNotOpen;
    cur.XonChar = on;
    cur.XoffChar = off;
    return Work::writeConfig(*this, cur);
}

// ---- Stored settings ------------------------------------------------------------------------

void TQuavBaseDispatcher::SetThreadBoost(TQuavThreadBoost boost) {
    {
        Lock guard(s_->mainLock);
        s_->boost = boost;
    }
    ApplyThreadBoost(boost, s_->rs485.load());
}

void TQuavBaseDispatcher::ApplyThreadBoost(TQuavThreadBoost, bool) {}
TQuavThreadBoost TQuavBaseDispatcher::ThreadBoost() const {
    Lock guard(s_->mainLock);
    return s_->boost;
}
void TQuavBaseDispatcher::SetRS485Mode(bool on) {
    s_->rs485 = on;
    ApplyThreadBoost(ThreadBoost(), on);
}
bool TQuavBaseDispatcher::RS485Mode() const {
    return s_->rs485.load();
}
void TQuavBaseDispatcher::SetBaseAddress(uint16_t address) {
    Lock guard(s_->mainLock);
    s_->baseAddress = address;
}
uint16_t TQuavBaseDispatcher::GetBaseAddress() const {
    Lock guard(s_->mainLock);
    return s_->baseAddress;
}
void TQuavBaseDispatcher::OptionsOn(uint16_t options) {
    Lock guard(s_->mainLock);
    s_->options |= options;
}
void TQuavBaseDispatcher::OptionsOff(uint16_t options) {
    Lock guard(s_->mainLock);
    s_->options &= static_cast<uint16_t>(~options);
}
bool TQuavBaseDispatcher::OptionsAreOn(uint16_t options) const {
    Lock guard(s_->mainLock);
    return (s_->options & options) == options;
}
uint16_t TQuavBaseDispatcher::GetFlowOptions() const {
    Lock guard(s_->mainLock);
    return s_->hwOptions;
}
void TQuavBaseDispatcher::SetDataPointer(void* p, uint32_t index) {
    if (index < 1 || index > kMaxDataPointers) return;
    Lock guard(s_->mainLock);
    s_->dataPointers[index - 1] = p;
}
void* TQuavBaseDispatcher::GetDataPointer(uint32_t index) const {
    if (index < 1 || index > kMaxDataPointers) return nullptr;
    Lock guard(s_->mainLock);
    return s_->dataPointers[index - 1];
}

} // namespace brimwell
