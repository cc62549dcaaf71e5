// The trace and dispatch-log operations of a dispatcher: its port's recorders (serial/recorders.h
// for the results), which the dispatcher also writes at the point of each event.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "serial/recorders.h"

namespace brimwell::serial {

class DispatcherRecording {
  public:
    int32_t initTracing(uint32_t entries);
    int32_t startTracing();
    void stopTracing();
    int32_t clearTracing();
    void abortTracing();
    void addTraceEntry(char kind, uint8_t byte);
    int32_t dumpTrace(const std::string& path, bool hex, bool allHex);
    int32_t appendTrace(const std::string& path, bool hex, bool allHex);
    int32_t initDispatchLogging(uint32_t bytes);
    int32_t startDispatchLogging();
    void stopDispatchLogging();
    int32_t clearDispatchLogging();
    void abortDispatchLogging();
    void addStringToLog(std::string_view text);
    int32_t dumpDispatchLog(const std::string& path, bool hex, bool allHex);
    int32_t appendDispatchLog(const std::string& path, bool hex, bool allHex);

  protected:
    Recorders& recorders() { return recorders_; }

  private:
    Recorders recorders_;
};

} // namespace brimwell::serial
