// The command line of "brimwell run": what it asks for, parsed without touching any device.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brimwell::cli {

inline constexpr int kExitCompleted = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitSetup = 2;
// The unit passed, but its record (report, trace, log, record store) could not all be written.
inline constexpr int kExitRecordIncomplete = 3;

struct RunOptions {
    std::string script;
    std::string port; // "COMn", a device path, "PCI" or "PCI:N"; empty: settings, then probe COM1 and COM2
                      // (or several ports, below)
    std::vector<std::string> ports;      // every --port; two or more: one unit per port, in parallel
    std::optional<int> baud;             // overrides setting 2
    std::optional<std::string> settings; // settings file; default LoaderDefault.ini in the current directory
    std::string traceFile;               // --trace: the port's trace, written when the run ends; empty: none
    std::string logFile;                 // --log: the port's dispatch log, likewise
    std::string reportFile;              // --report: the JSON run record; empty: none
    std::string records; // --records: the record store's URL; empty: $BRIMWELL_RECORDS, else none
    std::vector<std::pair<std::string, std::string>>
        tags;           // --tag K=V: kept with the run's record (lot, work order)
    int eventFd = -1;   // --events: a parent running several units reads this one's events here
    bool force = false; // --force: run a script that check finds a slip away from what it reads as
    bool help = false;
};

// argv[0] is the program, argv[1] is "run". False with a message in `error` for a usage error.
bool parseRunOptions(int argc, char** argv, RunOptions& out, std::string& error);

const char* runUsage();

// "PCI" (every mapped board, kAllBoards) and "PCI:N" (board ID N, 0..15), in any case, name the PCI
// board link; they are never device names. Nothing for other names; for a malformed PCI name,
// nothing with the reason in `error`.
inline constexpr int kAllBoards = -1;
std::optional<int> pciBoardOf(const std::string& name, std::string& error);

// The line rates --baud takes: any Linux can ask a device for; whether the device can make it is
// found out when the port opens.
inline constexpr long kLowestBaud = 50;
inline constexpr long kHighestBaud = 20'000'000;
bool isSupportedBaud(long baud);

} // namespace brimwell::cli
