// The command-line runner: brimwell run SCRIPT [--port COMn|DEVICE] [--baud N] [--settings FILE].
#pragma once

#include "app/cli/cli_options.h"
#include "app/cli/output_file.h"
#include "script/script_host.h"

#include <optional>
#include <string>
#include <vector>

namespace brimwell::cli {

// argv[1] is "run". Returns the process exit code: 0 run completed, 1 failed or stopped, 2 usage or set-up
// error.
int runMain(int argc, char** argv);

// How a script run ended for its caller: the last line ("Run completed.", "Run stopped (SIGNAL)."
// or "Run failed: FIRST FAILURE") and whether the run counts as completed.
struct RunSummary {
    std::string text;
    bool completed = false;
};
RunSummary runSummary(script::RunOutcome outcome, const std::optional<std::string>& firstFailure,
                      const std::string& stopSignal, bool stopRequested);

// The script is checked before anything touches a port: it is read whole (a regular file, of a
// script's size) and refused where it would not do what it reads as, unless the run is forced.
// `inputs` gets the script and the data files it names: the run's own files, which its output
// files must not be. "" when the script may run.
std::string scriptProblem(const RunOptions& options, RunInputs& inputs);

} // namespace brimwell::cli
