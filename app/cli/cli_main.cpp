// Placeholder until the runner lands: says so and fails, so nothing mistakes it for a run.
#include "app/cli/cli_main.h"

#include <cstdio>

namespace brimwell::cli {

int runMain(int, char**) {
    std::fputs("brimwell run: the command-line runner is not built yet\n", stderr);
    return 2;
}

} // namespace brimwell::cli
