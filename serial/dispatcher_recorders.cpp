// The dispatcher's trace and dispatch-log operations: the port's recorders, reached through its
// dispatcher while it is open.
#include "serial/dispatcher_recording.h"

namespace brimwell {

int32_t DispatcherRecording::InitTracing(uint32_t entries) {
    return recorders_.InitTracing(entries);
}
int32_t DispatcherRecording::StartTracing() {
    return recorders_.StartTracing();
}
void DispatcherRecording::StopTracing() {
    recorders_.StopTracing();
}
int32_t DispatcherRecording::ClearTracing() {
    return recorders_.ClearTracing();
}
void DispatcherRecording::AbortTracing() {
    recorders_.AbortTracing();
}
void DispatcherRecording::AddTraceEntry(char kind, uint8_t byte) {
    recorders_.AddTraceEntry(kind, byte);
}
int32_t DispatcherRecording::DumpTrace(const std::string& path, bool hex, bool allHex) {
    return recorders_.DumpTrace(path, hex, allHex);
}
int32_t DispatcherRecording::AppendTrace(const std::string& path, bool hex, bool allHex) {
    return recorders_.AppendTrace(path, hex, allHex);
}

int32_t DispatcherRecording::InitDispatchLogging(uint32_t bytes) {
    return recorders_.InitDispatchLogging(bytes);
}
int32_t DispatcherRecording::StartDispatchLogging() {
    return recorders_.StartDispatchLogging();
}
void DispatcherRecording::StopDispatchLogging() {
    recorders_.StopDispatchLogging();
}
int32_t DispatcherRecording::ClearDispatchLogging() {
    return recorders_.ClearDispatchLogging();
}
void DispatcherRecording::AbortDispatchLogging() {
    recorders_.AbortDispatchLogging();
}
void DispatcherRecording::AddStringToLog(std::string_view text) {
    recorders_.AddStringToLog(text);
}
int32_t DispatcherRecording::DumpDispatchLog(const std::string& path, bool hex, bool allHex) {
    return recorders_.DumpDispatchLog(path, hex, allHex);
}
int32_t DispatcherRecording::AppendDispatchLog(const std::string& path, bool hex, bool allHex) {
    return recorders_.AppendDispatchLog(path, hex, allHex);
}

} // namespace brimwell
