// The trace and dispatch log of one port behind one lock.
#include "serial/recorders.h"

#include <array>

#include "serial/error_codes.h"
#include "serial/time_base.h"
#include "serial/triggers.h"

namespace brimwell::serial {
namespace {

std::array<uint8_t, 4> littleEndian(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

} // namespace

Recorders::Recorders(MsClock clock) : clock_(clock ? clock : &Clock::msecs) {
    startMs_ = clock_();
}

void Recorders::portOpened() {
    std::lock_guard guard(lock_);
    tracing_ = false;
    logging_ = false;
    trace_.release();
    log_.release();
    startMs_ = clock_();
}

void Recorders::setDeviceLabel(std::string label) {
    std::lock_guard guard(lock_);
    deviceLabel_ = std::move(label);
}

// ---- Trace -------------------------------------------------------------------------------------

int32_t Recorders::initTracing(uint32_t entries) {
    std::lock_guard guard(lock_);
    const int32_t rc = trace_.init(entries);
    if (rc == result::kOk) tracing_ = true;
    return rc;
}

int32_t Recorders::startTracing() {
    std::lock_guard guard(lock_);
    if (!trace_.hasBuffer()) return result::kTracingNotEnabled;
    tracing_ = true;
    return result::kOk;
}

void Recorders::stopTracing() {
    tracing_ = false;
}

int32_t Recorders::clearTracing() {
    std::lock_guard guard(lock_);
    if (!trace_.hasBuffer()) return result::kTracingNotEnabled;
    trace_.clear();
    return result::kOk;
}

void Recorders::abortTracing() {
    std::lock_guard guard(lock_);
    tracing_ = false;
    trace_.release();
}

void Recorders::addTraceEntry(char kind, uint8_t byte) {
    std::lock_guard guard(lock_);
    if (trace_.hasBuffer()) trace_.add(kind, &byte, 1);
}

void Recorders::traceLocked(char kind, const uint8_t* bytes, uint32_t n) {
    std::lock_guard guard(lock_);
    // Re-checked under the lock: a dump or abort may have switched tracing off meanwhile.
    if (tracing_.load(std::memory_order_relaxed) && trace_.hasBuffer()) trace_.add(kind, bytes, n);
}

int32_t Recorders::writeTrace(const std::string& path, const RecorderFileOptions& options) {
    std::lock_guard guard(lock_);
    tracing_ = false;
    return trace_.write(path, options);
}

int32_t Recorders::dumpTrace(const std::string& path, bool hex, bool allHex) {
    return writeTrace(path, {false, hex, allHex});
}

int32_t Recorders::appendTrace(const std::string& path, bool hex, bool allHex) {
    return writeTrace(path, {true, hex, allHex});
}

// ---- Dispatch log ------------------------------------------------------------------------------

int32_t Recorders::initDispatchLogging(uint32_t bytes) {
    std::lock_guard guard(lock_);
    const int32_t rc = log_.init(bytes);
    if (rc == result::kOk) logging_ = true;
    return rc;
}

int32_t Recorders::startDispatchLogging() {
    std::lock_guard guard(lock_);
    if (!log_.hasBuffer()) return result::kLoggingNotEnabled;
    logging_ = true;
    return result::kOk;
}

void Recorders::stopDispatchLogging() {
    logging_ = false;
}

int32_t Recorders::clearDispatchLogging() {
    std::lock_guard guard(lock_);
    if (!log_.hasBuffer()) return result::kLoggingNotEnabled;
    log_.clear();
    return result::kOk;
}

void Recorders::abortDispatchLogging() {
    std::lock_guard guard(lock_);
    logging_ = false;
    log_.release();
}

void Recorders::logLocked(DispatchType type, DispatchSubType subtype, uint32_t data, const void* extra,
                          size_t n) {
    std::lock_guard guard(lock_);
    if (!logging_.load(std::memory_order_relaxed) || !log_.hasBuffer() || n > kLogSizeMax) return;
    log_.add(type, subtype, clock_() - startMs_, data, extra, static_cast<uint32_t>(n));
}

void Recorders::logTriggerAnnounced(uint32_t message, uint32_t value) {
    switch (message) {
    case kTriggerAvail:
        return addDispatchEntry(DispatchType::Trigger, DispatchSubType::Avail, value);
    case kTriggerData:
        return addDispatchEntry(DispatchType::Trigger, DispatchSubType::Data, value);
    case kTriggerTimer:
        return addDispatchEntry(DispatchType::Trigger, DispatchSubType::Timer, value);
    case kTriggerStatus:
        return addDispatchEntry(DispatchType::Trigger, DispatchSubType::Status, value);
    }
}

void Recorders::logStatusTriggerKind(DispatchType type, int32_t handle, uint8_t kind) {
    addDispatchEntry(type, DispatchSubType::StatusTrigger, static_cast<uint32_t>(handle), &kind, 1);
}

void Recorders::logTimerTriggerChange(int32_t handle, int32_t ticks, bool active) {
    static constexpr std::string_view kDeactivated = "Deactivated";
    const auto bytes = littleEndian(static_cast<uint32_t>(ticks));
    if (active)
        addDispatchEntry(DispatchType::TriggerDataChange, DispatchSubType::TimerTrigger,
                         static_cast<uint32_t>(handle), bytes.data(), bytes.size());
    else
        addDispatchEntry(DispatchType::TriggerDataChange, DispatchSubType::TimerTrigger,
                         static_cast<uint32_t>(handle), kDeactivated.data(), kDeactivated.size());
}

void Recorders::logStatusTriggerArmed(int32_t handle, uint32_t value) {
    const auto bytes = littleEndian(value);
    addDispatchEntry(DispatchType::TriggerDataChange, DispatchSubType::StatusTrigger,
                     static_cast<uint32_t>(handle), bytes.data(), bytes.size());
}

int32_t Recorders::writeLog(const std::string& path, const RecorderFileOptions& options) {
    std::lock_guard guard(lock_);
    logging_ = false;
    return log_.write(path, options, LogFileHeader{deviceLabel_, {}, {}, {}});
}

int32_t Recorders::dumpDispatchLog(const std::string& path, bool hex, bool allHex) {
    return writeLog(path, {false, hex, allHex});
}

int32_t Recorders::appendDispatchLog(const std::string& path, bool hex, bool allHex) {
    return writeLog(path, {true, hex, allHex});
}

} // namespace brimwell::serial
