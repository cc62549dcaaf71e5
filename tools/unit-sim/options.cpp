// Parsing of brimwell-unit-sim's command line.
#include "tools/unit-sim/options.h"

#include <cctype>
#include <charconv>
#include <cstring>

namespace brimwell::unitsim {
namespace {

bool toNumber(const char* text, int64_t& v) {
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, v);
    return ec == std::errc() && ptr == end;
}

// Reads \r, \n, \\ and \xNN in `text`; false on any other escape.
bool unescape(const char* text, std::string& out) {
    out.clear();
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '\\') {
            out += *p;
            continue;
        }
        const char e = *++p;
        if (e == 'r') {
            out += '\r';
        } else if (e == 'n') {
            out += '\n';
        } else if (e == '\\') {
            out += '\\';
        } else if (e == 'x' && std::isxdigit(static_cast<unsigned char>(p[1])) &&
                   std::isxdigit(static_cast<unsigned char>(p[2]))) {
            out += static_cast<char>(std::stoi(std::string(p + 1, 2), nullptr, 16));
            p += 2;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

const char* usageText() {
    return "usage: brimwell-unit-sim [options]\n"
           "  --link PATH            make PATH a symlink to the pseudo-terminal device\n"
           "  --no-pty               no pseudo-terminal (TCP only)\n"
           "  --tcp PORT             also play the unit to TCP clients on PORT (0: any free port)\n"
           "  --bind ADDR            TCP address to listen on (default 127.0.0.1)\n"
           "  --store DIR            write every good image into DIR\n"
           "  --baud N               pace bytes in both directions at N baud (10 bits a byte)\n"
           "  --main-prompt C        prompt of the normal firmware (default #)\n"
           "  --loader-prompt C      prompt in loader mode (default >)\n"
           "  --loader-command TEXT  loader-mode command (default LOADR)\n"
           "  --answer QUERY=TEXT    answer TEXT to the command QUERY (default ver=V1.08 BOOT)\n"
           "  --start-in-loader      start in loader mode\n"
           "  --no-echo              do not echo what the unit is typed\n"
           "faults:\n"
           "  --stay-normal          ignore the loader-mode command (stay in normal firmware)\n"
           "  --prompt-delay MS      send every prompt MS milliseconds late\n"
           "  --no-prompt            never send a prompt\n"
           "  --skip-prompts N       withhold the first N prompts\n"
           "  --corrupt-at N         invert data byte N (0-based, counted over all loads)\n"
           "  --drop-at N            lose data byte N\n"
           "  --hang-after N         stop reading and answering after N data bytes\n"
           "  --disconnect-after N   drop the line after N data bytes\n"
           "  --dead                 hear nothing, say nothing (a unit switched off)\n"
           "  --after-load TEXT      once a load's data is in, answer it and every line after it\n"
           "                         with TEXT only (escapes \\r \\n \\\\ \\xNN)\n"
           "  --data-timeout MS      abandon a load that stalls this long (default 2000)\n"
           "  --max-size BYTES       refuse larger loads (default 67108864)\n"
           "  --quiet                print only the device, the stored images and errors\n";
}

bool parseOptions(int argc, char** argv, SimOptions& out, std::string& error, bool& help) {
    help = false;
    bool answersGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char*& v) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        auto number = [&](int64_t& n, int64_t min) {
            const char* v = nullptr;
            if (!value(v)) return false;
            if (!toNumber(v, n) || n < min) {
                error = arg + ": not a number of at least " + std::to_string(min) + ": " + v;
                return false;
            }
            return true;
        };
        auto character = [&](char& c) {
            const char* v = nullptr;
            if (!value(v)) return false;
            if (std::strlen(v) != 1) {
                error = arg + " takes one character";
                return false;
            }
            c = v[0];
            return true;
        };
        const char* v = nullptr;
        int64_t n = 0;
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        } else if (arg == "--link") {
            if (!value(v)) return false;
            out.link = v;
        } else if (arg == "--no-pty") {
            out.pty = false;
        } else if (arg == "--tcp") {
            if (!number(n, 0)) return false;
            if (n > 65535) {
                error = "--tcp: port above 65535";
                return false;
            }
            out.tcpPort = static_cast<int>(n);
        } else if (arg == "--bind") {
            if (!value(v)) return false;
            out.tcpBind = v;
        } else if (arg == "--store") {
            if (!value(v)) return false;
            out.storeDir = v;
        } else if (arg == "--baud") {
            if (!number(n, 1)) return false;
            out.baud = static_cast<long>(n);
        } else if (arg == "--main-prompt") {
            if (!character(out.unit.mainPrompt)) return false;
        } else if (arg == "--loader-prompt") {
            if (!character(out.unit.loaderPrompt)) return false;
        } else if (arg == "--loader-command") {
            if (!value(v)) return false;
            out.unit.loaderCommand = v;
        } else if (arg == "--answer") {
            if (!value(v)) return false;
            const char* eq = std::strchr(v, '=');
            if (!eq) { // QUERY may be empty: the answer to an empty line
                error = "--answer takes QUERY=TEXT";
                return false;
            }
            if (!answersGiven) out.unit.answers.clear();
            answersGiven = true;
            out.unit.answers[std::string(v, eq)] = eq + 1;
        } else if (arg == "--start-in-loader") {
            out.unit.startInLoader = true;
        } else if (arg == "--no-echo") {
            out.unit.echo = false;
        } else if (arg == "--dead") {
            out.unit.dead = true;
        } else if (arg == "--after-load") {
            if (!value(v)) return false;
            if (!unescape(v, out.unit.afterLoad) || out.unit.afterLoad.empty()) {
                error = "--after-load: empty, or an escape other than \\r \\n \\\\ \\xNN: " + std::string(v);
                return false;
            }
        } else if (arg == "--stay-normal") {
            out.unit.stayNormal = true;
        } else if (arg == "--prompt-delay") {
            if (!number(n, 0)) return false;
            out.unit.promptDelay = n * 1'000'000;
        } else if (arg == "--no-prompt") {
            out.unit.noPrompt = true;
        } else if (arg == "--skip-prompts") {
            if (!number(n, 0)) return false;
            out.unit.skipPrompts = static_cast<int>(n);
        } else if (arg == "--corrupt-at") {
            if (!number(out.unit.corruptAt, 0)) return false;
        } else if (arg == "--drop-at") {
            if (!number(out.unit.dropAt, 0)) return false;
        } else if (arg == "--hang-after") {
            if (!number(out.unit.hangAfter, 0)) return false;
        } else if (arg == "--disconnect-after") {
            if (!number(out.unit.disconnectAfter, 0)) return false;
        } else if (arg == "--data-timeout") {
            if (!number(n, 1)) return false;
            out.unit.dataTimeout = n * 1'000'000;
        } else if (arg == "--max-size") {
            if (!number(n, 0)) return false;
            out.unit.maxSize = static_cast<uint64_t>(n);
        } else if (arg == "--quiet") {
            out.quiet = true;
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    if (!out.pty && out.tcpPort < 0) {
        error = "--no-pty needs --tcp";
        return false;
    }
    if (!out.pty && !out.link.empty()) {
        error = "--link needs the pseudo-terminal";
        return false;
    }
    return true;
}

} // namespace brimwell::unitsim
