// The trace and dispatch-log operations of a dispatcher: its port's recorders (serial/recorders.h
// for the results), which the dispatcher also writes at the point of each event.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "serial/recorders.h"

namespace brimwell {

class DispatcherRecording {
  public:
    int32_t InitTracing(uint32_t entries);
    int32_t StartTracing();
    void StopTracing();
    int32_t ClearTracing();
    void AbortTracing();
    void AddTraceEntry(char kind, uint8_t byte);
    int32_t DumpTrace(const std::string& path, bool hex, bool allHex);
    int32_t AppendTrace(const std::string& path, bool hex, bool allHex);
    int32_t InitDispatchLogging(uint32_t bytes);
    int32_t StartDispatchLogging();
    void StopDispatchLogging();
    int32_t ClearDispatchLogging();
    void AbortDispatchLogging();
    void AddStringToLog(std::string_view text);
    int32_t DumpDispatchLog(const std::string& path, bool hex, bool allHex);
    int32_t AppendDispatchLog(const std::string& path, bool hex, bool allHex);

  protected:
    Recorders& recorders() { return recorders_; }

  private:
    Recorders recorders_;
};

} // namespace brimwell
