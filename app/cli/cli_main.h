// The command-line runner: brimwell run SCRIPT [--port COMn|DEVICE] [--baud N] [--settings FILE].
#pragma once

namespace brimwell::cli {

// argv[1] is "run". Returns the process exit code: 0 run completed, 1 failed or stopped, 2 usage or set-up
// error.
int runMain(int argc, char** argv);

} // namespace brimwell::cli
