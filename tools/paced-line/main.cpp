// brimwell-paced: "brimwell run" with one more kind of port, paced:PATH (a UART-like line in front
// of a tty, see paced_line_device.h), for the tests and benchmarks of real-line behaviour. It prints
// "PACED UNPLUGGED ERRNO" on standard output when its unplug-at option pulls the device.
#include "app/cli/commands.h"
#include "tools/paced-line/paced_line_device.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    brimwell::paced::registerPacedLine([](int err) {
        std::printf("PACED UNPLUGGED %s\n", ::strerrorname_np(err));
        std::fflush(stdout);
    });
    if (const auto code = brimwell::cli::runCommand(argc, argv)) return *code;
    std::fprintf(stderr,
                 "brimwell-paced: usage: brimwell-paced run SCRIPT --port paced:PATH[?OPTIONS] ...\n");
    return 2;
}
