// The serial port component's byte operations, buffer and line queries, triggers, and the trace
// and log controls, each a call of the dispatcher whose failure is raised.
#include "serial/component/com_port.h"

#include <algorithm>

#include <thread>

#include "serial/component/pending_events.h"

namespace brimwell::serial {

// ---- Byte operations -------------------------------------------------------------------------

void ComPort::putChar(char c) {
    if (state_ == PortState::ShuttingDown) return;
    check(requireDispatcher()->putChar(uint8_t(c)));
}

void ComPort::putString(std::string_view s) {
    if (state_ == PortState::ShuttingDown) return;
    check(requireDispatcher()->putString(s));
}

int32_t ComPort::putBlock(const void* buffer, uint16_t length) {
    if (state_ == PortState::ShuttingDown) return 0;
    check(requireDispatcher()->putBlock(buffer, length));
    return 0;
}

uint16_t ComPort::getBlock(void* buffer, uint16_t length) {
    if (state_ == PortState::ShuttingDown) return 0;
    return uint16_t(check(requireDispatcher()->getBlock(buffer, length)));
}

char ComPort::getChar() {
    if (state_ == PortState::ShuttingDown) return 0;
    uint8_t c = 0;
    check(requireDispatcher()->getChar(c));
    return char(c);
}

char ComPort::peekChar(uint16_t n) {
    if (state_ == PortState::ShuttingDown) return 0;
    uint8_t c = 0;
    check(requireDispatcher()->peekChar(c, n));
    return char(c);
}

uint16_t ComPort::peekBlock(void* buffer, uint16_t length) {
    if (state_ == PortState::ShuttingDown) return 0;
    return uint16_t(check(requireDispatcher()->peekBlock(buffer, length)));
}

bool ComPort::charReady() {
    if (state_ == PortState::ShuttingDown) return false;
    return requireDispatcher()->charReady();
}

void ComPort::flushInBuffer() {
    if (state_ == PortState::ShuttingDown) return;
    check(requireDispatcher()->flushInBuffer());
}

void ComPort::flushOutBuffer() {
    if (state_ == PortState::ShuttingDown) return;
    check(requireDispatcher()->flushOutBuffer());
}

// The driver's transmit queue counts too: those bytes are not on the line yet either.
uint16_t ComPort::getOutBuffUsed() {
    checkPortError();
    if (state_ != PortState::Open || !dispatcher_) return 0;
    const int64_t used = int64_t(dispatcher_->outBuffUsed()) + std::max(0, dispatcher_->driverOutQueue());
    return uint16_t(std::min<int64_t>(used, 0xFFFF));
}

bool ComPort::waitOutBuffEmpty(uint32_t maxMicros) {
    if (state_ != PortState::Open || !dispatcher_) return true;
    const bool empty = dispatcher_->waitOutputEmpty(maxMicros);
    checkPortError();
    return empty;
}

uint16_t ComPort::getOutBuffFree() {
    checkPortError();
    return state_ == PortState::Open && dispatcher_ ? uint16_t(dispatcher_->outBuffFree()) : outSize_;
}

// The input ring holds 8192 bytes, which a 16-bit count still carries.
uint16_t ComPort::getInBuffUsed() {
    return state_ == PortState::Open && dispatcher_ ? uint16_t(dispatcher_->inBuffUsed()) : 0;
}

uint16_t ComPort::getInBuffFree() {
    return state_ == PortState::Open && dispatcher_ ? uint16_t(dispatcher_->inBuffFree())
                                                    : uint16_t(kInputBufferSize);
}

bool ComPort::getCts() {
    return state_ == PortState::Open && dispatcher_ && dispatcher_->checkCts();
}
bool ComPort::getDsr() {
    return state_ == PortState::Open && dispatcher_ && dispatcher_->checkDsr();
}
bool ComPort::getRi() {
    return state_ == PortState::Open && dispatcher_ && dispatcher_->checkRi();
}
bool ComPort::getDcd() {
    return state_ == PortState::Open && dispatcher_ && dispatcher_->checkDcd();
}
bool ComPort::getDeltaCts() {
    return state_ == PortState::Open && dispatcher_ && dispatcher_->checkDeltaCts();
}
bool ComPort::getDeltaDsr() {
    return state_ == PortState::Open && dispatcher_ && dispatcher_->checkDeltaDsr();
}
bool ComPort::getDeltaRi() {
    return state_ == PortState::Open && dispatcher_ && dispatcher_->checkDeltaRi();
}
bool ComPort::getDeltaDcd() {
    return state_ == PortState::Open && dispatcher_ && dispatcher_->checkDeltaDcd();
}

uint8_t ComPort::getModemStatus() {
    if (state_ == PortState::ShuttingDown) return 0;
    return requireDispatcher()->getModemStatus();
}

uint16_t ComPort::getLineError() {
    return state_ == PortState::Open && dispatcher_ ? dispatcher_->getLineError() : 0;
}

bool ComPort::getLineBreak() {
    return state_ == PortState::Open && dispatcher_ && dispatcher_->checkLineBreak();
}

FlowControlState ComPort::getFlowState() {
    if (state_ == PortState::ShuttingDown) return FlowControlState::Off;
    Dispatcher* d = requireDispatcher();
    const int32_t hw = d->hwFlowState() - 1;
    if (hw != static_cast<int32_t>(FlowControlState::Off)) return FlowControlState(hw);
    return FlowControlState(d->swFlowState() - 1);
}

void ComPort::sendBreak(int32_t ticks, bool yield) {
    if (state_ == PortState::ShuttingDown) return;
    Dispatcher* d = requireDispatcher();
    if (!yield) {
        d->sendBreak(ticks);
        return;
    }
    // Events run during the break; one of them may close the port. Holding the dispatcher busy
    // turns such a close into a deferred one, so the dispatcher outlives this call, and the wait
    // ends early once the port is closing.
    const bool wasBusy = d->setEventBusy(true);
    d->sendBreak(ticks, [this] {
        processPendingEvents();
        return state_ == PortState::Open && !applicationTerminating();
    });
    if (!wasBusy) d->setEventBusy(false);
}

void ComPort::setBreak(bool on) {
    if (state_ == PortState::ShuttingDown) return;
    requireDispatcher()->setBreak(on);
}

// ---- Triggers --------------------------------------------------------------------------------

int32_t ComPort::addDataTrigger(std::string_view s, bool ignoreCase) {
    if (state_ == PortState::ShuttingDown) return 0;
    return check(requireDispatcher()->addDataTrigger(s, ignoreCase));
}

int32_t ComPort::addTimerTrigger() {
    if (state_ == PortState::ShuttingDown) return 0;
    return check(requireDispatcher()->addTimerTrigger());
}

int32_t ComPort::addStatusTrigger(uint16_t kind) {
    if (state_ == PortState::ShuttingDown) return 0;
    return check(requireDispatcher()->addStatusTrigger(kind));
}

void ComPort::setTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    if (state_ == PortState::ShuttingDown) return;
    check(requireDispatcher()->setTimerTrigger(handle, ticks, activate));
}

void ComPort::setStatusTrigger(int32_t handle, uint16_t value, bool activate) {
    if (state_ == PortState::ShuttingDown) return;
    check(requireDispatcher()->setStatusTrigger(handle, value, activate));
}

void ComPort::removeTrigger(int32_t handle) {
    if (state_ == PortState::Open && dispatcher_) check(dispatcher_->removeTrigger(handle));
}

void ComPort::removeAllTriggers() {
    availTriggerLength_ = 0;
    if (state_ == PortState::Open && dispatcher_) dispatcher_->removeAllTriggers();
}

// ---- Trace and log control -------------------------------------------------------------------

// The trace and the dispatch log follow the same controls; a shutting-down port ignores them all.
// On an open port they go through the Tracing/Logging state table. A closed port keeps the state
// for the next open: stop pauses only a running recorder; dump and append end it.
void ComPort::controlRecorder(bool log, TraceLogState wanted, bool onlyWhenOn, bool init) {
    TraceLogState& state = log ? logging_ : tracing_;
    if (state_ == PortState::Open && dispatcher_) {
        if (init) setRecorderState(log, TraceLogState::Clear); // what there is starts again empty
        if (wanted != state) setRecorderState(log, wanted);
        return;
    }
    if (state_ == PortState::ShuttingDown || (onlyWhenOn && state != TraceLogState::On)) return;
    state = wanted == TraceLogState::Dump || wanted == TraceLogState::Append ? TraceLogState::Off
            : wanted == TraceLogState::Clear                                 ? state
                                                                             : wanted;
}

void ComPort::initTracing(uint32_t entries) {
    if (state_ == PortState::ShuttingDown) return;
    setTraceSize(entries);
    controlRecorder(false, TraceLogState::On, false, true);
}
void ComPort::startTracing() {
    controlRecorder(false, TraceLogState::On);
}
void ComPort::stopTracing() {
    controlRecorder(false, TraceLogState::Pause, true);
}
void ComPort::clearTracing() {
    controlRecorder(false, TraceLogState::Clear);
}
void ComPort::abortTracing() {
    controlRecorder(false, TraceLogState::Off);
}
void ComPort::dumpTrace(const std::string& name) {
    if (state_ != PortState::ShuttingDown) setTraceName(name);
    controlRecorder(false, TraceLogState::Dump);
}
void ComPort::appendTrace(const std::string& name) {
    if (state_ != PortState::ShuttingDown) setTraceName(name);
    controlRecorder(false, TraceLogState::Append);
}
void ComPort::initLogging(uint32_t bytes) {
    if (state_ == PortState::ShuttingDown) return;
    setLogSize(bytes);
    controlRecorder(true, TraceLogState::On, false, true);
}
void ComPort::startLogging() {
    controlRecorder(true, TraceLogState::On);
}
void ComPort::stopLogging() {
    controlRecorder(true, TraceLogState::Pause, true);
}
void ComPort::clearLogging() {
    controlRecorder(true, TraceLogState::Clear);
}
void ComPort::abortLogging() {
    controlRecorder(true, TraceLogState::Off);
}
void ComPort::dumpLog(const std::string& name) {
    if (state_ != PortState::ShuttingDown) setLogName(name);
    controlRecorder(true, TraceLogState::Dump);
}
void ComPort::appendLog(const std::string& name) {
    if (state_ != PortState::ShuttingDown) setLogName(name);
    controlRecorder(true, TraceLogState::Append);
}
void ComPort::addTraceEntry(char kind, uint8_t byte) {
    if (state_ == PortState::Open && dispatcher_) dispatcher_->addTraceEntry(kind, byte);
}
void ComPort::addStringToLog(std::string_view text) {
    if (state_ == PortState::Open && dispatcher_) dispatcher_->addStringToLog(text);
}

void ComPort::processCommunications() {
    if (state_ == PortState::ShuttingDown) return;
    requireDispatcher();
    std::this_thread::yield();
}

} // namespace brimwell::serial
