// Command dispatch of the brimwell program.
#include "app/cli/commands.h"

#include "app/cli/check.h"
#include "app/cli/cli_main.h"
#include "app/cli/ports.h"
#include "app/cli/records_command.h"
#include "app/cli/station_command.h"
#include "app/time_scale_notice.h"
#include "dashboard/dashboard_command.h"
#include "serial/finder/port_finder.h"
#include "serial/uucp_lock.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef BRIMWELL_VERSION
#define BRIMWELL_VERSION "unknown"
#endif

namespace brimwell::cli {
namespace {

struct Command {
    const char* name;
    const char* synopsis;
    const char* summary;
    int (*main)(int argc, char** argv);
};

// Every command of the program; --help lists them from here.
constexpr Command kCommands[] = {
    {"run", "run SCRIPT [--port COMn|DEVICE|URL]... [--baud N] [--settings FILE] [--report FILE]",
     "run a script without a window, on one unit or on several at once (brimwell run --help)", runMain},
    {"check", "check SCRIPT", "check a script before a run: line limits, commands, data files; opens no port",
     checkMain},
    {"ports", "ports [--json]",
     "list the serial devices: by-id link, USB identity, driver, who holds them; opens no device", portsMain},
    {"station", "station SCRIPT [--match usb:VID:PID[:SERIAL]|GLOB]... [--records URL] [--once] [--fixture]",
     "flash each matching adapter as it is plugged in, every run recorded (brimwell station --help)",
     stationMain},
    {"records",
     "records [--records URL] [--since TIME] [--port P] [--tag K=V]... [--json|--csv|--summary|--sync]",
     "search the run records, sum them up per day and script, send the backlog (brimwell records --help)",
     recordsMain},
    {"dashboard", "dashboard [--records URL] [--listen ADDRESS:PORT] [--token-file FILE]",
     "serve a read-only page of the line's stations, yield and failures (brimwell dashboard --help)",
     dashboard::dashboardMain},
};

void printHelp() {
    std::printf("usage: brimwell [COMMAND [ARGS]]\n"
                "Loads firmware and data into embedded units over a serial line.\n\n"
                "  (no command)      open the main window (needs a display)\n");
    for (const Command& c : kCommands)
        std::printf("  %s\n      %s\n", c.synopsis, c.summary);
    std::printf(
        "  -h, --help        show this text\n"
        "  --version         show the program's version\n\n"
        "exit status: 0 success, 1 a run failed or a check found something, 2 usage or set-up error,\n"
        "3 a run passed but its record is incomplete (a report, trace, log or record store not written)\n");
}

bool isSet(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}

} // namespace

bool displayAvailable() {
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM");
}

std::optional<int> runCommand(int argc, char** argv) {
    // Wherever a port can be named (--port, the settings file, BRIMWELL_COMn, the window).
    serial::installUsbPortNames();
    // A port's lock file must not outlive the program, however a signal ends it.
    serial::removeLockFilesOnSignals();
    const std::string first = argc >= 2 ? argv[1] : "";
    if (first == "--help" || first == "-h" || first == "help") {
        printHelp();
        return 0;
    }
    if (first == "--version") {
        std::printf("brimwell %s\n", BRIMWELL_VERSION);
        return 0;
    }
    if (const std::string refusal = app::timeScaleRefusal(); !refusal.empty()) {
        std::fprintf(stderr, "brimwell: %s\n", refusal.c_str());
        return 2;
    }
    if (const std::string notice = app::timeScaleNotice(); !notice.empty())
        std::fprintf(stderr, "brimwell: %s\n", notice.c_str());
    for (const Command& c : kCommands)
        if (first == c.name) return c.main(argc, argv);
    if (!first.empty() && first[0] != '-') {
        std::fprintf(stderr, "brimwell: unknown command %s (brimwell --help lists the commands)\n",
                     first.c_str());
        return 2;
    }
    if (!displayAvailable()) {
        std::fprintf(stderr, "brimwell: no display to show the window on (DISPLAY is not set); "
                             "use \"brimwell run SCRIPT\" on the command line\n");
        return 2;
    }
    return std::nullopt;
}

} // namespace brimwell::cli
