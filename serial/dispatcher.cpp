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

namespace brimwell::serial {

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
// Line-error codes getLineError reports, highest priority first.
constexpr uint16_t kLineErrRxOver = 1, kLineErrOverrun = 2, kLineErrParity = 3, kLineErrFrame = 4,
                   kLineErrBreak = 9;
// XON and XOFF characters set when software flow control is switched on.
constexpr uint8_t kXonChar = 17, kXoffChar = 19;

struct PortList {
    std::recursive_mutex lock;
    std::vector<Dispatcher*> ports;
    int32_t lastHandle = -1;
    Dispatcher* lastFound = nullptr;
};

PortList& portList() {
    static PortList list;
    return list;
}

} // namespace

// ---- Port list ------------------------------------------------------------------------------

void Dispatcher::lockPortList() {
    portList().lock.lock();
}
void Dispatcher::unlockPortList() {
    portList().lock.unlock();
}

Dispatcher* Dispatcher::findDispatcher(int32_t handle) {
    PortList& list = portList();
    Lock guard(list.lock);
    if (handle == list.lastHandle && list.lastFound) return list.lastFound;
    if (handle < 0 || static_cast<size_t>(handle) >= list.ports.size()) return nullptr;
    Dispatcher* found = list.ports[static_cast<size_t>(handle)];
    if (found) {
        list.lastHandle = handle;
        list.lastFound = found;
    }
    return found;
}

Dispatcher::Dispatcher(void* owner) : s_(std::make_unique<DispatcherState>(recorders())) {
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

Dispatcher::~Dispatcher() {
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

int32_t Dispatcher::handle() const {
    return s_->handle;
}

void* Dispatcher::owner() const {
    return s_->owner;
}

const std::string& Dispatcher::deviceName() const {
    return s_->deviceName;
}

void Dispatcher::setMainThreadSynchronizer(MainThreadSynchronizer s) {
    HandlerRegistry::setMainThreadSynchronizer(std::move(s));
}

bool Dispatcher::stopThreadsRequested() const {
    return s_->stopThreads.load();
}

bool Dispatcher::doneRequested() const {
    return s_->doneRequested.load();
}

void Dispatcher::requestStopThreads() {
    s_->stopThreads.store(true);
}

// ---- Opening and closing --------------------------------------------------------------------

int32_t Dispatcher::initPort(const std::string& deviceName, uint32_t baud, uint8_t parity, uint8_t dataBits,
                             uint8_t stopBits, uint32_t inSize, uint32_t outSize, uint32_t openFlags) {
    if (s_->open.load() || !s_->released.load()) return result::kAlreadyOpen;
    s_->ringFlag = false;
    s_->busy = false;
    s_->handlers.resetDelivery();
    s_->stopThreads = false;
    s_->doneRequested = false;
    s_->portError = 0;
    {
        std::lock_guard<std::mutex> g(s_->portErrorMutex);
        s_->portFailure = {};
    }
    s_->deviceName = deviceName;
    openError_ = {};

    const int32_t opened = openCom(deviceName);
    if (opened == result::kOutOfMemory) return result::kOutOfMemory;
    if (opened < 0) return openError_ ? openError_.code : result::kHardwareFailure;
    s_->open = true;
    s_->released = false;

    auto fail = [this](int32_t code) {
        donePort();
        return code;
    };

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

    {
        Lock guard(s_->mainLock);
        LineSettings settings;
        if (device().current(settings)) s_->line = settings;
        s_->dtrAuto = (openFlags & kOpenDtrAutomatic) != 0;
        s_->rtsAuto = (openFlags & kOpenRtsAutomatic) != 0;
        // The lines are set now: the line settings below write nothing when the device already
        // runs with them.
        if (!s_->dtrAuto) setDtr((openFlags & kOpenDtrOn) != 0);
        if (!s_->rtsAuto) setRts((openFlags & kOpenRtsOn) != 0);

        s_->triggers.clear();
        s_->modemStatus = 0;
        s_->lastBaud = kDefaultBaud;
    }
    Work::readModemStatus(*this, 0);

    const int32_t line = setLine(baud, parity, dataBits, stopBits);
    if (line < 0) return fail(line);

    readLineStatus();
    s_->recorders.portOpened();
    startDispatcher();
    return result::kOk;
}

void Dispatcher::donePort() {
    if (s_->open.load()) {
        flushOutBuffer();
        flushInBuffer();
        closeCom();
        s_->open = false;
        Work::signalOutputEmpty(*this);
    }
    if (s_->handlers.delivering() || s_->busy.load()) {
        // A notification (or a wait holding the busy flag) is still running: the dispatcher thread
        // finishes the close when it leaves its loop.
        if (!s_->released.load()) s_->doneRequested = true;
        return;
    }
    // The dispatcher thread may already have released the buffers on its way out; it is joined
    // all the same, so that no thread of this port outlives the close.
    stopDispatcher();
    Work::freeBuffers(*this);
}

void Dispatcher::Work::freeBuffers(Dispatcher& d) {
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

void Dispatcher::dispatcherThreadExit() {
    if (s_->doneRequested.load() || s_->stopThreads.load()) Work::freeBuffers(*this);
}

void Dispatcher::shutdownForDestroy() {
    if (!s_->doneRequested.load()) donePort();
    stopDispatcher();
    Work::freeBuffers(*this);
}

bool Dispatcher::isOpen() const {
    return s_->open.load();
}

void Dispatcher::setDeviceLabel(const std::string& label) {
    Lock guard(s_->mainLock);
    s_->deviceLabel = label;
    s_->recorders.setDeviceLabel(label);
}

std::string Dispatcher::deviceLabel() const {
    Lock guard(s_->mainLock);
    return s_->deviceLabel;
}

// ---- Line settings --------------------------------------------------------------------------

int32_t Dispatcher::setLine(uint32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits) {
    uint32_t newBaud;
    Parity newParity;
    uint8_t newSize;
    StopBits newStop;
    {
        Lock guard(s_->mainLock);
        LineSettings cur;
        if (!device().current(cur)) return result::kCommNotOpen;
        newBaud = baud == kKeepBaud ? cur.baud : baud;
        // The parity numbers are Parity's order; anything else is no parity a line can have.
        if (parity != kKeepParity && parity > kParitySpace) return result::kBadArgument;
        newParity = parity == kKeepParity ? cur.parity : static_cast<Parity>(parity);
        newSize = dataBits == kKeepDataBits ? cur.dataBits : dataBits;
        if (stopBits == kKeepStopBits) {
            newStop = cur.stopBits;
        } else {
            newStop = stopBits <= 1 ? StopBits::One : StopBits::Two;
            if (newStop == StopBits::Two && newSize == 5) newStop = StopBits::OnePointFive;
        }
        if (newBaud == cur.baud && newParity == cur.parity && newSize == cur.dataBits &&
            newStop == cur.stopBits)
            return result::kOk;
    }

    for (int i = 0; i < kDrainPolls && outBuffUsed() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(kDrainPollMs));
    {
        LineSettings cur;
        uint32_t lastBaud;
        {
            Lock guard(s_->mainLock);
            if (!device().current(cur)) return result::kCommNotOpen;
            lastBaud = s_->lastBaud ? s_->lastBaud : kDefaultBaud;
        }
        const int64_t bits = int64_t{cur.dataBits} + kFramingBits + (cur.parity != Parity::None ? 1 : 0) +
                             (cur.stopBits != StopBits::One ? 1 : 0);
        int64_t d = (kUnitsPerSecond / int64_t{lastBaud}) * bits * kLineChangeCharTimes;
        if (d < kUnitsPerMs) d *= 2;
        std::this_thread::sleep_for(std::chrono::milliseconds((d + kUnitsPerMs - 1) / kUnitsPerMs));
    }

    Lock guard(s_->mainLock);
    LineSettings cur;
    if (!device().current(cur)) return result::kCommNotOpen;
    cur.baud = newBaud;
    cur.parity = newParity;
    cur.dataBits = newSize;
    cur.stopBits = newStop;
    return Work::writeConfig(*this, cur);
}

int32_t Dispatcher::Work::writeConfig(Dispatcher& d, LineSettings& settings) {
    Lock guard(d.s_->mainLock);
    if (!d.s_->dtrAuto) settings.dtr = d.s_->dtrState ? LineControl::On : LineControl::Off;
    if (!d.s_->rtsAuto) settings.rts = d.s_->rtsState ? LineControl::On : LineControl::Off;
    DeviceLayer& device = d.device();
    const int32_t r = device.apply(settings);
    if (r != 0) return r;
    d.s_->line = settings;
    d.s_->lastBaud = settings.baud;
    if (!d.s_->dtrAuto) device.setDtr(d.s_->dtrState);
    if (!d.s_->rtsAuto && !d.s_->rs485.load()) device.setRts(d.s_->rtsState);
    return result::kOk;
}

LineSettings Dispatcher::Work::lineNow(Dispatcher& d) {
    LineSettings cur = d.s_->line;
    d.device().current(cur);
    return cur;
}

void Dispatcher::getLine(uint32_t& baud, uint8_t& parity, uint8_t& dataBits, uint8_t& stopBits) {
    Lock guard(s_->mainLock);
    const LineSettings cur = Work::lineNow(*this);
    baud = cur.baud;
    parity = static_cast<uint8_t>(cur.parity);
    dataBits = cur.dataBits;
    stopBits = cur.stopBits == StopBits::One ? 1 : 2;
}

int32_t Dispatcher::changeBaud(uint32_t baud) {
    return setLine(baud, kKeepParity, kKeepDataBits, kKeepStopBits);
}

// ---- Modem lines, break, line errors -------------------------------------------------------

int32_t Dispatcher::setDtr(bool on) {
    Lock guard(s_->mainLock);
    if (s_->dtrAuto) return 1;
    s_->dtrState = on;
    return device().setDtr(on) ? result::kOk : result::kBadArgument;
}

int32_t Dispatcher::setRts(bool on) {
    Lock guard(s_->mainLock);
    if (s_->rtsAuto) return 1;
    s_->rtsState = on;
    return device().setRts(on) ? result::kOk : result::kBadArgument;
}

int32_t Dispatcher::setModem(bool dtr, bool rts) {
    const int32_t a = setDtr(dtr);
    const int32_t b = setRts(rts);
    return a < 0 ? a : b < 0 ? b : result::kOk;
}

uint8_t Dispatcher::Work::readModemStatus(Dispatcher& d, uint8_t clearBits) {
    Lock guard(d.s_->mainLock);
    uint8_t ms =
        static_cast<uint8_t>((d.s_->modemStatus.load() & kModemDeltaBits) | d.device().modemLines().levels());
    if (d.s_->ringFlag.exchange(false)) ms |= kModemRingEnded;
    d.s_->modemStatus = static_cast<uint8_t>(ms & ~clearBits);
    return ms;
}

void Dispatcher::Work::updateModemDeltas(Dispatcher& d) {
    Lock guard(d.s_->mainLock);
    const uint8_t old = d.s_->modemStatus.load();
    const uint8_t levels = d.device().modemLines().levels();
    uint8_t deltas = old & kModemDeltaBits;
    const uint8_t changed = (old ^ levels) & kModemLevelBits;
    if (changed & kModemCtsOn) deltas |= kModemDeltaCts;
    if (changed & kModemDsrOn) deltas |= kModemDeltaDsr;
    if (changed & kModemDcdOn) deltas |= kModemDeltaDcd;
    if ((old & kModemRingOn) && !(levels & kModemRingOn)) deltas |= kModemRingEnded;
    if (d.s_->ringFlag.exchange(false)) deltas |= kModemRingEnded;
    d.s_->modemStatus = static_cast<uint8_t>(levels | deltas);
}

uint8_t Dispatcher::getModemStatus() {
    return Work::readModemStatus(*this, kModemDeltaBits);
}
bool Dispatcher::checkCts() {
    return Work::readModemStatus(*this, kModemDeltaCts) & kModemCtsOn;
}
bool Dispatcher::checkDsr() {
    return Work::readModemStatus(*this, kModemDeltaDsr) & kModemDsrOn;
}
bool Dispatcher::checkRi() {
    return Work::readModemStatus(*this, kModemRingEnded) & kModemRingOn;
}
bool Dispatcher::checkDcd() {
    return Work::readModemStatus(*this, kModemDeltaDcd) & kModemDcdOn;
}
bool Dispatcher::checkDeltaCts() {
    return Work::readModemStatus(*this, kModemDeltaCts) & kModemDeltaCts;
}
bool Dispatcher::checkDeltaDsr() {
    return Work::readModemStatus(*this, kModemDeltaDsr) & kModemDeltaDsr;
}
bool Dispatcher::checkDeltaRi() {
    return Work::readModemStatus(*this, kModemRingEnded) & kModemRingEnded;
}
bool Dispatcher::checkDeltaDcd() {
    return Work::readModemStatus(*this, kModemDeltaDcd) & kModemDeltaDcd;
}

uint16_t Dispatcher::getLineError() {
    Lock guard(s_->mainLock);
    const uint32_t acc = s_->errorAccum.load();
    uint16_t e = 0;
    if (acc & kLineErrorRxOver)
        e = kLineErrRxOver;
    else if (acc & kLineErrorOverrun)
        e = kLineErrOverrun;
    else if (acc & kLineErrorParity)
        e = kLineErrParity;
    else if (acc & kLineErrorFrame)
        e = kLineErrFrame;
    else if (acc & kLineErrorBreak)
        e = kLineErrBreak;
    if (e != 0) s_->errorAccum.fetch_and(~kLineErrorBits);
    return e;
}

bool Dispatcher::checkLineBreak() {
    return s_->errorAccum.fetch_and(~kLineErrorBreak) & kLineErrorBreak;
}

void Dispatcher::sendBreak(int32_t ticks, const std::function<bool()>& yield) {
    setBreak(true);
    delayTicks(ticks, yield);
    setBreak(false);
}

void Dispatcher::setBreak(bool on) {
    if (on) {
        if (s_->rs485.load()) device().setRts(true);
        device().setBreak(true);
    } else {
        device().setBreak(false);
        if (s_->rs485.load() && outBuffUsed() == 0) device().setRts(false);
    }
}

// ---- Flow control ---------------------------------------------------------------------------

int32_t Dispatcher::hwFlowOptions(uint16_t bufferFull, uint16_t bufferResume, uint16_t options) {
    if (bufferFull < bufferResume || bufferFull > s_->receiveSize) return result::kBadArgument;
    Lock guard(s_->mainLock);
    LineSettings cur;
    if (!device().current(cur)) return result::kCommNotOpen;
    s_->dtrAuto = (options & kHwFlowUseDtr) != 0;
    s_->rtsAuto = (options & kHwFlowUseRts) != 0;
    cur.dtr = s_->dtrAuto ? LineControl::Handshake : s_->dtrState ? LineControl::On : LineControl::Off;
    cur.rts = s_->rtsAuto ? LineControl::Handshake : s_->rtsState ? LineControl::On : LineControl::Off;
    if (s_->rs485.load()) {
        cur.rts = LineControl::Toggle;
        s_->rtsAuto = true;
    }
    cur.xoffLimit = static_cast<uint16_t>(s_->receiveSize - bufferFull);
    cur.xonLimit = bufferResume;
    cur.dsrFlow = (options & kHwFlowRequireDsr) != 0;
    cur.ctsFlow = (options & kHwFlowRequireCts) != 0;
    return Work::writeConfig(*this, cur);
}

// Reads the device status under the main lock, as swFlowState does.
int32_t Dispatcher::hwFlowState() {
    Lock guard(s_->mainLock);
    const LineSettings cur = Work::lineNow(*this);
    const bool dtrHs = cur.dtr == LineControl::Handshake;
    const bool rtsHs = cur.rts == LineControl::Handshake;
    if (!cur.ctsFlow && !cur.dsrFlow && !dtrHs && !rtsHs) return flowStateResult(FlowControlState::Off);
    if (!dtrHs && !rtsHs) return flowStateResult(FlowControlState::On);
    const LineHolds holds = readLineStatus().holds;
    if (cur.ctsFlow && holds.cts) return flowStateResult(FlowControlState::CtsHold);
    if (cur.dsrFlow && holds.dsr) return flowStateResult(FlowControlState::DsrHold);
    return flowStateResult(FlowControlState::On);
}

int32_t Dispatcher::swFlowEnable(uint16_t bufferFull, uint16_t bufferResume, uint16_t options) {
    if (bufferFull < bufferResume || bufferFull > s_->receiveSize) return result::kBadArgument;
    Lock guard(s_->mainLock);
    LineSettings cur;
    if (!device().current(cur)) return result::kCommNotOpen;
    if (options & kSwFlowReceive) {
        cur.xonXoffIn = true;
        cur.xoffLimit = static_cast<uint16_t>(s_->receiveSize - bufferFull);
        cur.xonLimit = bufferResume;
    }
    if (options & kSwFlowTransmit) cur.xonXoffOut = true;
    if (options & (kSwFlowReceive | kSwFlowTransmit)) {
        cur.xonChar = kXonChar;
        cur.xoffChar = kXoffChar;
    }
    return Work::writeConfig(*this, cur);
}

int32_t Dispatcher::swFlowDisable() {
    Lock guard(s_->mainLock);
    LineSettings cur;
    if (!device().current(cur)) return result::kCommNotOpen;
    cur.xonXoffIn = cur.xonXoffOut = false;
    return Work::writeConfig(*this, cur);
}

int32_t Dispatcher::swFlowState() {
    Lock guard(s_->mainLock);
    const LineSettings cur = Work::lineNow(*this);
    if (!cur.xonXoffIn && !cur.xonXoffOut) return flowStateResult(FlowControlState::Off);
    const LineHolds holds = readLineStatus().holds;
    const bool sent = holds.xoffSent;
    const bool held = holds.xoff;
    if (sent && held) return flowStateResult(FlowControlState::XBothHold);
    if (sent) return flowStateResult(FlowControlState::XInHold);
    if (held) return flowStateResult(FlowControlState::XOutHold);
    return flowStateResult(FlowControlState::On);
}

int32_t Dispatcher::swFlowChars(uint8_t on, uint8_t off) {
    Lock guard(s_->mainLock);
    LineSettings cur;
    if (!device().current(cur)) return result::kCommNotOpen;
    cur.xonChar = on;
    cur.xoffChar = off;
    return Work::writeConfig(*this, cur);
}

// ---- Thread priority and RS-485 mode -------------------------------------------------------

void Dispatcher::setThreadBoost(ThreadBoost boost) {
    {
        Lock guard(s_->mainLock);
        s_->boost = boost;
    }
    applyThreadBoost(boost, s_->rs485.load());
}

void Dispatcher::applyThreadBoost(ThreadBoost, bool) {}
ThreadBoost Dispatcher::threadBoost() const {
    Lock guard(s_->mainLock);
    return s_->boost;
}
void Dispatcher::setRs485Mode(bool on) {
    s_->rs485 = on;
    applyThreadBoost(threadBoost(), on);
}
bool Dispatcher::rs485Mode() const {
    return s_->rs485.load();
}

} // namespace brimwell::serial
