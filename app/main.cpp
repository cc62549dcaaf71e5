// Entry point: the commands of app/cli (help, version, run, check) need no display; without one the
// main window opens.
#include "app/cli/commands.h"
#include "app/window_main.h"

int main(int argc, char** argv) {
    if (const auto code = brimwell::cli::runCommand(argc, argv)) return *code;
    return brimwell::runWindow(argc, argv);
}
