// The dispatcher's trace and dispatch-log operations: the port's recorders, reached through its
// dispatcher while it is open.
#include "serial/dispatcher_recording.h"

namespace brimwell::serial {

int32_t DispatcherRecording::initTracing(uint32_t entries) {
    return recorders_.initTracing(entries);
}
int32_t DispatcherRecording::startTracing() {
    return recorders_.startTracing();
}
void DispatcherRecording::stopTracing() {
    recorders_.stopTracing();
}
int32_t DispatcherRecording::clearTracing() {
    return recorders_.clearTracing();
}
void DispatcherRecording::abortTracing() {
    recorders_.abortTracing();
}
void DispatcherRecording::addTraceEntry(char kind, uint8_t byte) {
    recorders_.addTraceEntry(kind, byte);
}
int32_t DispatcherRecording::dumpTrace(const std::string& path, bool hex, bool allHex) {
    return recorders_.dumpTrace(path, hex, allHex);
}
int32_t DispatcherRecording::appendTrace(const std::string& path, bool hex, bool allHex) {
    return recorders_.appendTrace(path, hex, allHex);
}

int32_t DispatcherRecording::initDispatchLogging(uint32_t bytes) {
    return recorders_.initDispatchLogging(bytes);
}
int32_t DispatcherRecording::startDispatchLogging() {
    return recorders_.startDispatchLogging();
}
void DispatcherRecording::stopDispatchLogging() {
    recorders_.stopDispatchLogging();
}
int32_t DispatcherRecording::clearDispatchLogging() {
    return recorders_.clearDispatchLogging();
}
void DispatcherRecording::abortDispatchLogging() {
    recorders_.abortDispatchLogging();
}
void DispatcherRecording::addStringToLog(std::string_view text) {
    recorders_.addStringToLog(text);
}
int32_t DispatcherRecording::dumpDispatchLog(const std::string& path, bool hex, bool allHex) {
    return recorders_.dumpDispatchLog(path, hex, allHex);
}
int32_t DispatcherRecording::appendDispatchLog(const std::string& path, bool hex, bool allHex) {
    return recorders_.appendDispatchLog(path, hex, allHex);
}

} // namespace brimwell::serial
