// The serial port component's byte operations, buffer and line queries, triggers, and the trace
// and log controls, each a call of the dispatcher whose failure is raised.
#include "serial/component/com_port.h"

#include <algorithm>

#include <thread>

#include "serial/component/pending_events.h"

namespace brimwell {

// ---- Byte operations -------------------------------------------------------------------------

void TQuavCustomComPort::PutChar(char c) {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->PutChar(uint8_t(c)));
}

void TQuavCustomComPort::PutString(std::string_view s) {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->PutString(s));
}

int32_t TQuavCustomComPort::PutBlock(const void* buffer, uint16_t length) {
    if (state_ == psShuttingDown) return 0;
    check(requireDispatcher()->PutBlock(buffer, length));
    return 0;
}

uint16_t TQuavCustomComPort::GetBlock(void* buffer, uint16_t length) {
    if (state_ == psShuttingDown) return 0;
    return uint16_t(check(requireDispatcher()->GetBlock(buffer, length)));
}

char TQuavCustomComPort::GetChar() {
    if (state_ == psShuttingDown) return 0;
    uint8_t c = 0;
    check(requireDispatcher()->GetChar(c));
    return char(c);
}

char TQuavCustomComPort::PeekChar(uint16_t n) {
    if (state_ == psShuttingDown) return 0;
    uint8_t c = 0;
    check(requireDispatcher()->PeekChar(c, n));
    return char(c);
}

uint16_t TQuavCustomComPort::PeekBlock(void* buffer, uint16_t length) {
    if (state_ == psShuttingDown) return 0;
    return uint16_t(check(requireDispatcher()->PeekBlock(buffer, length)));
}

bool TQuavCustomComPort::CharReady() {
    if (state_ == psShuttingDown) return false;
    return requireDispatcher()->CharReady();
}

void TQuavCustomComPort::FlushInBuffer() {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->FlushInBuffer());
}

void TQuavCustomComPort::FlushOutBuffer() {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->FlushOutBuffer());
}

// The driver's transmit queue counts too: those bytes are not on the line yet either.
uint16_t TQuavCustomComPort::GetOutBuffUsed() {
    checkPortError();
    if (state_ != psOpen || !dispatcher_) return 0;
    const int64_t used = int64_t(dispatcher_->OutBuffUsed()) + std::max(0, dispatcher_->DriverOutQueue());
    return uint16_t(std::min<int64_t>(used, 0xFFFF));
}

bool TQuavCustomComPort::WaitOutBuffEmpty(uint32_t maxMicros) {
    if (state_ != psOpen || !dispatcher_) return true;
    const bool empty = dispatcher_->WaitOutputEmpty(maxMicros);
    checkPortError();
    return empty;
}

uint16_t TQuavCustomComPort::GetOutBuffFree() {
    checkPortError();
    return state_ == psOpen && dispatcher_ ? uint16_t(dispatcher_->OutBuffFree()) : outSize_;
}

// The input ring holds 8192 bytes, which a 16-bit count still carries.
uint16_t TQuavCustomComPort::GetInBuffUsed() {
    return state_ == psOpen && dispatcher_ ? uint16_t(dispatcher_->InBuffUsed()) : 0;
}

uint16_t TQuavCustomComPort::GetInBuffFree() {
    return state_ == psOpen && dispatcher_ ? uint16_t(dispatcher_->InBuffFree()) : uint16_t(kInputBufferSize);
}

bool TQuavCustomComPort::GetCTS() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckCTS();
}
bool TQuavCustomComPort::GetDSR() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDSR();
}
bool TQuavCustomComPort::GetRI() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckRI();
}
bool TQuavCustomComPort::GetDCD() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDCD();
}
bool TQuavCustomComPort::GetDeltaCTS() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDeltaCTS();
}
bool TQuavCustomComPort::GetDeltaDSR() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDeltaDSR();
}
bool TQuavCustomComPort::GetDeltaRI() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDeltaRI();
}
bool TQuavCustomComPort::GetDeltaDCD() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDeltaDCD();
}

uint8_t TQuavCustomComPort::GetModemStatus() {
    if (state_ == psShuttingDown) return 0;
    return requireDispatcher()->GetModemStatus();
}

uint16_t TQuavCustomComPort::GetLineError() {
    return state_ == psOpen && dispatcher_ ? dispatcher_->GetLineError() : 0;
}

bool TQuavCustomComPort::GetLineBreak() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckLineBreak();
}

TFlowControlState TQuavCustomComPort::GetFlowState() {
    if (state_ == psShuttingDown) return fcOff;
    TQuavBaseDispatcher* d = requireDispatcher();
    const int32_t hw = d->HWFlowState() - 1;
    if (hw != fcOff) return TFlowControlState(hw);
    return TFlowControlState(d->SWFlowState() - 1);
}

void TQuavCustomComPort::SendBreak(int32_t ticks, bool yield) {
    if (state_ == psShuttingDown) return;
    TQuavBaseDispatcher* d = requireDispatcher();
    if (!yield) {
        d->SendBreak(ticks);
        return;
    }
    // Events run during the break; one of them may close the port. Holding the dispatcher busy
    // turns such a close into a deferred one, so the dispatcher outlives this call, and the wait
    // ends early once the port is closing.
    const bool wasBusy = d->SetEventBusy(true);
    d->SendBreak(ticks, [this] {
        processPendingEvents();
        return state_ == psOpen && !applicationTerminating();
    });
    if (!wasBusy) d->SetEventBusy(false);
}

void TQuavCustomComPort::SetBreak(bool on) {
    if (state_ == psShuttingDown) return;
    requireDispatcher()->SetBreak(on);
}

// ---- Triggers --------------------------------------------------------------------------------

int32_t TQuavCustomComPort::AddDataTrigger(std::string_view s, bool ignoreCase) {
    if (state_ == psShuttingDown) return 0;
    return check(requireDispatcher()->AddDataTrigger(s, ignoreCase));
}

int32_t TQuavCustomComPort::AddTimerTrigger() {
    if (state_ == psShuttingDown) return 0;
    return check(requireDispatcher()->AddTimerTrigger());
}

int32_t TQuavCustomComPort::AddStatusTrigger(uint16_t kind) {
    if (state_ == psShuttingDown) return 0;
    return check(requireDispatcher()->AddStatusTrigger(kind));
}

void TQuavCustomComPort::SetTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->SetTimerTrigger(handle, ticks, activate));
}

void TQuavCustomComPort::SetStatusTrigger(int32_t handle, uint16_t value, bool activate) {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->SetStatusTrigger(handle, value, activate));
}

void TQuavCustomComPort::RemoveTrigger(int32_t handle) {
    if (state_ == psOpen && dispatcher_) check(dispatcher_->RemoveTrigger(handle));
}

void TQuavCustomComPort::RemoveAllTriggers() {
    availTriggerLength_ = 0;
    if (state_ == psOpen && dispatcher_) dispatcher_->RemoveAllTriggers();
}

// ---- Trace and log control -------------------------------------------------------------------

// The trace and the dispatch log follow the same controls; a shutting-down port ignores them all.
// On an open port they go through the Tracing/Logging state table. A closed port keeps the state
// for the next open: stop pauses only a running recorder; dump and append end it.
void TQuavCustomComPort::controlRecorder(bool log, TTraceLogState wanted, bool onlyWhenOn, bool init) {
    TTraceLogState& state = log ? logging_ : tracing_;
    if (state_ == psOpen && dispatcher_) {
        if (init) setRecorderState(log, tlClear); // what there is starts again empty
        if (wanted != state) setRecorderState(log, wanted);
        return;
    }
    if (state_ == psShuttingDown || (onlyWhenOn && state != tlOn)) return;
    state = wanted == tlDump || wanted == tlAppend ? tlOff : wanted == tlClear ? state : wanted;
}

void TQuavCustomComPort::InitTracing(uint32_t entries) {
    if (state_ == psShuttingDown) return;
    SetTraceSize(entries);
    controlRecorder(false, tlOn, false, true);
}
void TQuavCustomComPort::StartTracing() {
    controlRecorder(false, tlOn);
}
void TQuavCustomComPort::StopTracing() {
    controlRecorder(false, tlPause, true);
}
void TQuavCustomComPort::ClearTracing() {
    controlRecorder(false, tlClear);
}
void TQuavCustomComPort::AbortTracing() {
    controlRecorder(false, tlOff);
}
void TQuavCustomComPort::DumpTrace(const std::string& name) {
    if (state_ != psShuttingDown) SetTraceName(name);
    controlRecorder(false, tlDump);
}
void TQuavCustomComPort::AppendTrace(const std::string& name) {
    if (state_ != psShuttingDown) SetTraceName(name);
    controlRecorder(false, tlAppend);
}
void TQuavCustomComPort::InitLogging(uint32_t bytes) {
    if (state_ == psShuttingDown) return;
    SetLogSize(bytes);
    controlRecorder(true, tlOn, false, true);
}
void TQuavCustomComPort::StartLogging() {
    controlRecorder(true, tlOn);
}
void TQuavCustomComPort::StopLogging() {
    controlRecorder(true, tlPause, true);
}
void TQuavCustomComPort::ClearLogging() {
    controlRecorder(true, tlClear);
}
void TQuavCustomComPort::AbortLogging() {
    controlRecorder(true, tlOff);
}
void TQuavCustomComPort::DumpLog(const std::string& name) {
    if (state_ != psShuttingDown) SetLogName(name);
    controlRecorder(true, tlDump);
}
void TQuavCustomComPort::AppendLog(const std::string& name) {
    if (state_ != psShuttingDown) SetLogName(name);
    controlRecorder(true, tlAppend);
}
void TQuavCustomComPort::AddTraceEntry(char kind, uint8_t byte) {
    if (state_ == psOpen && dispatcher_) dispatcher_->AddTraceEntry(kind, byte);
}
void TQuavCustomComPort::AddStringToLog(std::string_view text) {
    if (state_ == psOpen && dispatcher_) dispatcher_->AddStringToLog(text);
}

void TQuavCustomComPort::ProcessCommunications() {
    if (state_ == psShuttingDown) return;
    requireDispatcher();
    std::this_thread::yield();
}

} // namespace brimwell
