// Entry point: "brimwell run SCRIPT ..." runs a script on the command line; anything else opens the window.
#include "app/cli/cli_main.h"
#include "app/window_main.h"

#include <cstring>

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0) return brimwell::cli::runMain(argc, argv);
    return brimwell::runWindow(argc, argv);
}
