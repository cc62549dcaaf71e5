// The trace and dispatch log of a command-line run.
#include "app/cli/run_recording.h"

#include "serial/port_names.h"

#include <exception>

namespace brimwell::cli {

void prepareRecording(TQuavComPort& port, const RunOptions& options) {
    if (options.traceFile.empty() && options.logFile.empty()) return;
    // A whole upload of a few hundred kilobytes fits in either at the largest sizes.
    port.SetTraceSize(kTraceSizeLimit);
    port.SetLogSize(kLogSizeLimit);
    if (!options.traceFile.empty()) port.SetTraceName(options.traceFile);
    if (!options.logFile.empty()) port.SetLogName(options.logFile);
    if (!options.port.empty() && !comNumberOf(options.port)) port.SetDeviceLabel(options.port);
}

void startRecording(TQuavComPort& port, const RunOptions& options) {
    if (!options.traceFile.empty()) port.SetTracing(tlOn);
    if (!options.logFile.empty()) port.SetLogging(tlOn);
}

void closeRecordedPort(TQuavComPort& port, const RunOptions& options, CliHost& host) {
    try {
        port.SetOpen(false);
    } catch (const std::exception& e) {
        // The close itself went through; only a file is missing.
        host.note("brimwell run: cannot write the trace or log (" + options.traceFile + " " +
                  options.logFile + "): " + e.what());
    }
}

} // namespace brimwell::cli
