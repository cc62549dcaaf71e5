// The command-line runner: brimwell run SCRIPT [--port COMn|DEVICE] [--baud N] [--settings FILE].
#pragma once

#include "script/script_host.h"

#include <string>
#include <vector>

namespace brimwell::cli {

// argv[1] is "run". Returns the process exit code: 0 run completed, 1 failed or stopped, 2 usage or set-up
// error.
int runMain(int argc, char** argv);

// The run's last line: "Run completed.", "Run stopped (SIGNAL)." or "Run failed: FIRST ERROR".
std::string runSummary(script::RunOutcome outcome, const std::vector<std::string>& messages,
                       const std::string& stopSignal, bool stopRequested);

} // namespace brimwell::cli
