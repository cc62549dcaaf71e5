// The trace and dispatch log of one port behind one lock.
#include "serial/recorders.h"

#include <array>

#include "serial/error_codes.h"
#include "serial/time_base.h"
#include "serial/triggers.h"

namespace brimwell {
namespace {

std::array<uint8_t, 4> littleEndian(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

} // namespace

Recorders::Recorders(MsClock clock) : clock_(clock ? clock : &Clock::msecs) {
    startMs_ = clock_();
}

void Recorders::PortOpened() {
    std::lock_guard guard(lock_);
    tracing_ = false;
    logging_ = false;
    trace_.Free();
    log_.Free();
    startMs_ = clock_();
}

void Recorders::SetDeviceLabel(std::string label) {
    std::lock_guard guard(lock_);
    deviceLabel_ = std::move(label);
}

// ---- Trace -------------------------------------------------------------------------------------

int32_t Recorders::InitTracing(uint32_t entries) {
    std::lock_guard guard(lock_);
    const int32_t rc = trace_.Init(entries);
    if (rc == secOK) tracing_ = true;
    return rc;
}

int32_t Recorders::StartTracing() {
    std::lock_guard guard(lock_);
    if (!trace_.HasBuffer()) return secTracingNotEnabled;
    tracing_ = true;
    return secOK;
}

void Recorders::StopTracing() {
    tracing_ = false;
}

int32_t Recorders::ClearTracing() {
    std::lock_guard guard(lock_);
    if (!trace_.HasBuffer()) return secTracingNotEnabled;
    trace_.Clear();
    return secOK;
}

void Recorders::AbortTracing() {
    std::lock_guard guard(lock_);
    tracing_ = false;
    trace_.Free();
}

void Recorders::AddTraceEntry(char kind, uint8_t byte) {
    std::lock_guard guard(lock_);
    if (trace_.HasBuffer()) trace_.Add(kind, &byte, 1);
}

void Recorders::traceLocked(char kind, const uint8_t* bytes, uint32_t n) {
    std::lock_guard guard(lock_);
    // Re-checked under the lock: a dump or abort may have switched tracing off meanwhile.
    if (tracing_.load(std::memory_order_relaxed) && trace_.HasBuffer()) trace_.Add(kind, bytes, n);
}

int32_t Recorders::writeTrace(const std::string& path, const RecorderFileOptions& options) {
    std::lock_guard guard(lock_);
    tracing_ = false;
    return trace_.Write(path, options);
}

int32_t Recorders::DumpTrace(const std::string& path, bool hex, bool allHex) {
    return writeTrace(path, {false, hex, allHex});
}

int32_t Recorders::AppendTrace(const std::string& path, bool hex, bool allHex) {
    return writeTrace(path, {true, hex, allHex});
}

// ---- Dispatch log ------------------------------------------------------------------------------

int32_t Recorders::InitDispatchLogging(uint32_t bytes) {
    std::lock_guard guard(lock_);
    const int32_t rc = log_.Init(bytes);
    if (rc == secOK) logging_ = true;
    return rc;
}

int32_t Recorders::StartDispatchLogging() {
    std::lock_guard guard(lock_);
    if (!log_.HasBuffer()) return secLoggingNotEnabled;
    logging_ = true;
    return secOK;
}

void Recorders::StopDispatchLogging() {
    logging_ = false;
}

int32_t Recorders::ClearDispatchLogging() {
    std::lock_guard guard(lock_);
    if (!log_.HasBuffer()) return secLoggingNotEnabled;
    log_.Clear();
    return secOK;
}

void Recorders::AbortDispatchLogging() {
    std::lock_guard guard(lock_);
    logging_ = false;
    log_.Free();
}

void Recorders::logLocked(TDispatchType type, TDispatchSubType subtype, uint32_t data, const void* extra,
                          size_t n) {
    std::lock_guard guard(lock_);
    if (!logging_.load(std::memory_order_relaxed) || !log_.HasBuffer() || n > kLogSizeMax) return;
    log_.Add(type, subtype, clock_() - startMs_, data, extra, static_cast<uint32_t>(n));
}

void Recorders::LogTriggerAnnounced(uint32_t message, uint32_t value) {
    switch (message) {
    case kTriggerAvail:
        return AddDispatchEntry(dtTrigger, dstAvail, value);
    case kTriggerData:
        return AddDispatchEntry(dtTrigger, dstData, value);
    case kTriggerTimer:
        return AddDispatchEntry(dtTrigger, dstTimer, value);
    case kTriggerStatus:
        return AddDispatchEntry(dtTrigger, dstStatus, value);
    }
}

void Recorders::LogStatusTriggerKind(TDispatchType type, int32_t handle, uint8_t kind) {
    AddDispatchEntry(type, dstStatusTrigger, static_cast<uint32_t>(handle), &kind, 1);
}

void Recorders::LogTimerTriggerChange(int32_t handle, int32_t ticks, bool active) {
    static constexpr std::string_view kDeactivated = "Deactivated";
    const auto bytes = littleEndian(static_cast<uint32_t>(ticks));
    if (active)
        AddDispatchEntry(dtTriggerDataChange, dstTimerTrigger, static_cast<uint32_t>(handle), bytes.data(),
                         bytes.size());
    else
        AddDispatchEntry(dtTriggerDataChange, dstTimerTrigger, static_cast<uint32_t>(handle),
                         kDeactivated.data(), kDeactivated.size());
}

void Recorders::LogStatusTriggerArmed(int32_t handle, uint32_t value) {
    const auto bytes = littleEndian(value);
    AddDispatchEntry(dtTriggerDataChange, dstStatusTrigger, static_cast<uint32_t>(handle), bytes.data(),
                     bytes.size());
}

int32_t Recorders::writeLog(const std::string& path, const RecorderFileOptions& options) {
    std::lock_guard guard(lock_);
    logging_ = false;
    return log_.Write(path, options, LogFileHeader{deviceLabel_, {}, {}, {}});
}

int32_t Recorders::DumpDispatchLog(const std::string& path, bool hex, bool allHex) {
    return writeLog(path, {false, hex, allHex});
}

int32_t Recorders::AppendDispatchLog(const std::string& path, bool hex, bool allHex) {
    return writeLog(path, {true, hex, allHex});
}

} // namespace brimwell
