// Starts the main window and its message loop; returns the process exit code.
#pragma once

namespace brimwell {

int runWindow(int argc, char** argv);

} // namespace brimwell
