// "--trace FILE" and "--log FILE" of a command-line run: the port's trace and dispatch log,
// recorded over the whole script run and written when the port closes, however the run ended.
#pragma once

#include "app/cli/cli_host.h"
#include "app/cli/cli_options.h"
#include "serial/component/com_port.h"

namespace brimwell::cli {

// Before the port opens: names the files, the largest sizes, and the device as the user named it.
void prepareRecording(TQuavComPort& port, const RunOptions& options);
// The run's port is open: both recorders start empty.
void startRecording(TQuavComPort& port, const RunOptions& options);
// Closes the port, which writes both files; a file that cannot be written is reported, not thrown.
void closeRecordedPort(TQuavComPort& port, const RunOptions& options, CliHost& host);

} // namespace brimwell::cli
