// The trace and the dispatch log of one port, as its dispatcher owns them: safe to call from any
// thread, and cheap to call when a recorder is off (one relaxed atomic load).
//
// The recorder lock is a leaf: it may be taken while holding any of the dispatcher's locks, and
// nothing else is ever taken while it is held (it calls no handler and no device operation).
// A dump runs under it, but recording is switched off first, so reads and writes of the port
// keep going at their own pace and only a concurrent Init/Start waits for the file.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "serial/dispatch_log.h"
#include "serial/trace_recorder.h"

namespace brimwell::serial {

class Recorders {
  public:
    // Milliseconds of the clock that log times count in; the serial time base by default.
    using MsClock = uint32_t (*)();
    explicit Recorders(MsClock clock = nullptr);

    // A port was opened: both recorders empty and off, log times count from now.
    void portOpened();
    // The port as the user named it, for the log file's "Device: " line.
    void setDeviceLabel(std::string label);

    // ---- Trace ------------------------------------------------------------------------------
    // Allocates (or empties the existing buffer) and switches tracing on. 0, -1002, -8.
    int32_t initTracing(uint32_t entries);
    // Recording on again with the buffer kept. 0, or -3008 when there is no buffer to record in.
    int32_t startTracing();
    void stopTracing();
    // Position 0, not wrapped; recording state unchanged. 0 or -3008.
    int32_t clearTracing();
    // Off, buffer freed.
    void abortTracing();
    bool tracing() const { return tracing_.load(std::memory_order_relaxed); }
    // A caller's own entry, of any kind: kept whenever a buffer exists, also while paused.
    void addTraceEntry(char kind, uint8_t byte);
    // The dispatcher's recording, only while tracing is on: n bytes of one kind (kTraceReceive
    // for reads, kTraceTransmit for puts).
    void traceBytes(char kind, const void* bytes, uint32_t n) {
        if (tracing() && n > 0) traceLocked(kind, static_cast<const uint8_t*>(bytes), n);
    }
    // Switch tracing off, write the trace and free it. 0 (also when there was nothing to write)
    // or minus the file system's error number.
    int32_t dumpTrace(const std::string& path, bool hex, bool allHex);
    int32_t appendTrace(const std::string& path, bool hex, bool allHex);

    // ---- Dispatch log ------------------------------------------------------------------------
    // Allocates (or empties the existing log) and switches logging on. 0, -1002, -8.
    int32_t initDispatchLogging(uint32_t bytes);
    // 0, or -3009 when there is no log to record in.
    int32_t startDispatchLogging();
    void stopDispatchLogging();
    int32_t clearDispatchLogging();
    void abortDispatchLogging();
    bool logging() const { return logging_.load(std::memory_order_relaxed); }
    void addStringToLog(std::string_view text) {
        addDispatchEntry(DispatchType::User, DispatchSubType::None, 0, text.data(), text.size());
    }
    // One entry of the event table, stamped with the time since the port opened.
    void addDispatchEntry(DispatchType type, DispatchSubType subtype, uint32_t data,
                          const void* extra = nullptr, size_t extraLength = 0) {
        if (logging()) logLocked(type, subtype, data, extra, extraLength);
    }
    // A notification announced (message kTriggerAvail, kTriggerData, kTriggerTimer or
    // kTriggerStatus): the byte count for avail, else the trigger's handle.
    void logTriggerAnnounced(uint32_t message, uint32_t value);
    // The rows whose extra data is encoded rather than passed through:
    // a status trigger added (DispatchType::TriggerAlloc) or removed (DispatchType::TriggerDispose): its kind
    // as one byte;
    void logStatusTriggerKind(DispatchType type, int32_t handle, uint8_t kind);
    // a timer trigger set or extended: its ticks as 4 bytes, or "Deactivated";
    void logTimerTriggerChange(int32_t handle, int32_t ticks, bool active);
    // a status trigger armed: its value field as 4 bytes.
    void logStatusTriggerArmed(int32_t handle, uint32_t value);
    int32_t dumpDispatchLog(const std::string& path, bool hex, bool allHex);
    int32_t appendDispatchLog(const std::string& path, bool hex, bool allHex);

  private:
    void traceLocked(char kind, const uint8_t* bytes, uint32_t n);
    void logLocked(DispatchType type, DispatchSubType subtype, uint32_t data, const void* extra, size_t n);
    int32_t writeTrace(const std::string& path, const RecorderFileOptions& options);
    int32_t writeLog(const std::string& path, const RecorderFileOptions& options);

    MsClock clock_;
    std::mutex lock_;
    std::atomic<bool> tracing_{false};
    std::atomic<bool> logging_{false};
    TraceRecorder trace_;
    DispatchLog log_;
    uint32_t startMs_ = 0;
    std::string deviceLabel_;
};

} // namespace brimwell::serial
