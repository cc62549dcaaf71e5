// The dispatcher's trace and dispatch-log operations: the port's recorders, reached through its
// dispatcher while it is open.
#include "serial/dispatcher.h"
#include "serial/dispatcher_state.h"

namespace brimwell {

int32_t TQuavBaseDispatcher::InitTracing(uint32_t entries) {
    return s_->recorders.InitTracing(entries);
}
int32_t TQuavBaseDispatcher::StartTracing() {
    return s_->recorders.StartTracing();
}
void TQuavBaseDispatcher::StopTracing() {
    s_->recorders.StopTracing();
}
int32_t TQuavBaseDispatcher::ClearTracing() {
    return s_->recorders.ClearTracing();
}
void TQuavBaseDispatcher::AbortTracing() {
    s_->recorders.AbortTracing();
}
void TQuavBaseDispatcher::AddTraceEntry(char kind, uint8_t byte) {
    s_->recorders.AddTraceEntry(kind, byte);
}
int32_t TQuavBaseDispatcher::DumpTrace(const std::string& path, bool hex, bool allHex) {
    return s_->recorders.DumpTrace(path, hex, allHex);
}
int32_t TQuavBaseDispatcher::AppendTrace(const std::string& path, bool hex, bool allHex) {
    return s_->recorders.AppendTrace(path, hex, allHex);
}

int32_t TQuavBaseDispatcher::InitDispatchLogging(uint32_t bytes) {
    return s_->recorders.InitDispatchLogging(bytes);
}
int32_t TQuavBaseDispatcher::StartDispatchLogging() {
    return s_->recorders.StartDispatchLogging();
}
void TQuavBaseDispatcher::StopDispatchLogging() {
    s_->recorders.StopDispatchLogging();
}
int32_t TQuavBaseDispatcher::ClearDispatchLogging() {
    return s_->recorders.ClearDispatchLogging();
}
void TQuavBaseDispatcher::AbortDispatchLogging() {
    s_->recorders.AbortDispatchLogging();
}
void TQuavBaseDispatcher::AddStringToLog(std::string_view text) {
    s_->recorders.AddStringToLog(text);
}
int32_t TQuavBaseDispatcher::DumpDispatchLog(const std::string& path, bool hex, bool allHex) {
    return s_->recorders.DumpDispatchLog(path, hex, allHex);
}
int32_t TQuavBaseDispatcher::AppendDispatchLog(const std::string& path, bool hex, bool allHex) {
    return s_->recorders.AppendDispatchLog(path, hex, allHex);
}

} // namespace brimwell
