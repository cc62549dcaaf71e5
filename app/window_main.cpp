// Placeholder until the main window lands: says so and fails.
#include "app/window_main.h"

#include <cstdio>

namespace brimwell {

int runWindow(int, char**) {
    std::fputs("brimwell: the main window is not built yet\n", stderr);
    return 2;
}

} // namespace brimwell
