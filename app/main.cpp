// Entry point: the commands of app/cli (help, version, run, check) need no display; without one the
// main window opens (a build without the window says so).
#include "app/cli/commands.h"
#if BRIMWELL_WITH_WINDOW
#include "app/window_main.h"
#endif

#include <cstdio>

int main(int argc, char** argv) {
    if (const auto code = brimwell::cli::runCommand(argc, argv)) return *code;
#if BRIMWELL_WITH_WINDOW
    return brimwell::app::runWindow(argc, argv);
#else
    std::fprintf(stderr, "brimwell: this build has no window; use brimwell run SCRIPT (brimwell --help)\n");
    return 2;
#endif
}
