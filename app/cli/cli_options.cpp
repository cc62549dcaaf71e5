// Parsing of "brimwell run SCRIPT [--port COMn|DEVICE]... [--baud N] [--settings FILE] ...".
#include "app/cli/cli_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace brimwell::cli {

const char* runUsage() {
    return "usage: brimwell run SCRIPT [--port COMn|DEVICE|URL|usb:ID|PCI|PCI:N]... [--baud N]\n"
           "                   [--settings FILE] [--trace FILE] [--log FILE] [--report FILE]\n"
           "                   [--records URL] [--tag KEY=VALUE]... [--force]\n"
           "  SCRIPT           the .sld script to run\n"
           "  --port COMn      use port COMn (COMn maps to /dev/ttyS(n-1) or $BRIMWELL_COMn)\n"
           "  --port DEVICE    use the serial device at this path (a /dev/serial/by-id link stays right\n"
           "                   when adapters are plugged in another order), or a serial server's port:\n"
           "                   rfc2217://HOST:PORT (RFC 2217) or socket://HOST:PORT (raw TCP)\n"
           "  --port usb:VID:PID[:SERIAL]  use the USB adapter with this vendor and product (and serial\n"
           "                   number); brimwell ports lists them\n"
           "  --port PCI       run over the PCI board link, once per board found ($BRIMWELL_PCI_DIR\n"
           "                   holds the driver's sockets); PCI:N runs on the board with ID N only\n"
           "                   without --port: setting 1 of the settings file, else COM1 and COM2\n"
           "                   are probed for the unit's prompt\n"
           "                   --port given several times flashes every unit at once, one process\n"
           "                   per port, and ends with a summary (not with PCI)\n"
           "  --baud N         line rate in bits per second: 1200 ... 115200, 230400, 460800, 921600 or\n"
           "                   any other the device can make (a rate it refuses is a set-up error)\n"
           "  --settings FILE  settings file (default: LoaderDefault.ini in the current directory)\n"
           "  --trace FILE     write every byte the run sent and read to FILE when it ends (also\n"
           "                   after a failure or Ctrl+C; no file when nothing was recorded)\n"
           "  --log FILE       likewise the port's dispatch log: the device's reads and writes and\n"
           "                   the port's notifications, with times\n"
           "                   with several ports both get the port's name as a suffix: FILE.PORT\n"
           "  --report FILE    write the run record as JSON: per unit the script, port, times, each\n"
           "                   data file (size, checksum, address, version, timing, outcome), every\n"
           "                   message and status text, the outcome\n"
           "  --records URL    keep the run in a record store: sqlite:PATH, or postgresql://USER@HOST/DB\n"
           "                   (committed to $XDG_DATA_HOME/brimwell/records.sqlite first, sent on when the\n"
           "                   server is reachable); default $BRIMWELL_RECORDS, else no store\n"
           "  --tag KEY=VALUE  kept with the run's record (lot, work order); may be given several times\n"
           "  --force          run the script even where brimwell check finds it would not do what it\n"
           "                   reads as (a command code in the wrong case or one character off, line\n"
           "                   ends of a carriage return alone); without it such a script is refused\n"
           "exit status: 0 the run completed (every unit), 1 it failed or was stopped, 2 usage or\n"
           "set-up error, 3 the unit passed but its record is incomplete (a store or file not written)\n";
}

bool isSupportedBaud(long baud) {
    return baud >= kLowestBaud && baud <= kHighestBaud;
}

std::optional<int> pciBoardOf(const std::string& name, std::string& error) {
    if (name.size() < 3 || !std::equal(name.begin(), name.begin() + 3, "PCI", [](char a, char b) {
            return std::toupper(static_cast<unsigned char>(a)) == b;
        }))
        return std::nullopt;
    if (name.size() == 3) return kAllBoards;
    int board = -1;
    const char* first = name.data() + 4;
    const char* last = name.data() + name.size();
    const auto [ptr, ec] = std::from_chars(first, last, board);
    if (name[3] != ':' || first == last || ec != std::errc() || ptr != last || board < 0 || board > 15) {
        error = name + ": the PCI link is named PCI (every board) or PCI:N with a board ID N from 0 to 15";
        return std::nullopt;
    }
    return board;
}

bool parseRunOptions(int argc, char** argv, RunOptions& out, std::string& error) {
    out = RunOptions{};
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            if (const auto eq = arg.find('='); eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        auto value = [&](std::string& v) {
            if (inlineValue) {
                v = *inlineValue;
            } else if (i + 1 < argc) {
                v = argv[++i];
            } else {
                error = arg + " needs a value";
                return false;
            }
            if (v.empty()) {
                error = arg + " needs a value";
                return false;
            }
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            out.help = true;
            return true;
        } else if (arg == "--port") {
            std::string v;
            if (!value(v)) return false;
            // The same unit flashed by two processes at once would get interleaved images.
            if (std::find(out.ports.begin(), out.ports.end(), v) != out.ports.end()) {
                error = "--port " + v + " given twice";
                return false;
            }
            if (!pciBoardOf(v, error) && !error.empty()) return false;
            out.ports.push_back(v);
        } else if (arg == "--baud") {
            std::string v;
            if (!value(v)) return false;
            long baud = 0;
            const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), baud);
            if (ec != std::errc() || ptr != v.data() + v.size() || !isSupportedBaud(baud)) {
                error = "--baud: unsupported line rate " + v + " (bits per second, " +
                        std::to_string(kLowestBaud) + " to " + std::to_string(kHighestBaud) + ")";
                return false;
            }
            out.baud = static_cast<int>(baud);
        } else if (arg == "--settings") {
            std::string v;
            if (!value(v)) return false;
            out.settings = v;
        } else if (arg == "--trace") {
            if (!value(out.traceFile)) return false;
        } else if (arg == "--log") {
            if (!value(out.logFile)) return false;
        } else if (arg == "--report") {
            if (!value(out.reportFile)) return false;
        } else if (arg == "--records") {
            if (!value(out.records)) return false;
        } else if (arg == "--tag") {
            std::string v;
            if (!value(v)) return false;
            const size_t eq = v.find('=');
            if (eq == 0 || eq == std::string::npos) {
                error = "--tag needs KEY=VALUE (lot=L42, order=WO-7)";
                return false;
            }
            out.tags.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (arg == "--force") {
            out.force = true;
        } else if (arg == "--events") {
            std::string v;
            if (!value(v)) return false;
            const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), out.eventFd);
            if (ec != std::errc() || ptr != v.data() + v.size() || out.eventFd < 0) {
                error = "--events needs a file descriptor number";
                return false;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (out.script.empty()) {
            out.script = arg;
        } else {
            error = "more than one script given (" + out.script + ", " + arg + ")";
            return false;
        }
    }
    if (out.script.empty()) {
        error = "no script given";
        return false;
    }
    if (out.ports.size() == 1) out.port = out.ports.front();
    if (out.ports.size() > 1) {
        // The PCI link runs its boards one after another in one process; it has no port per unit.
        for (const std::string& p : out.ports) {
            std::string ignored;
            if (pciBoardOf(p, ignored)) {
                error = "--port " + p + ": the PCI link cannot be one of several ports; run it on its own";
                return false;
            }
        }
        if (out.eventFd >= 0) {
            error = "--events is for a single unit";
            return false;
        }
    }
    return true;
}

} // namespace brimwell::cli
