// The program's commands: what "brimwell ARGS" does before any window or Qt object exists, so that
// help, version and the command-line runs work on a machine without a display.
#pragma once

#include <optional>

namespace brimwell::cli {

// The exit code when the arguments name a command (or help, version, or a refusal); nothing when
// the main window is to start.
std::optional<int> runCommand(int argc, char** argv);

// Whether a window can be shown: a display is named, or a Qt platform is chosen explicitly.
bool displayAvailable();

} // namespace brimwell::cli
