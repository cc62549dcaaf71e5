// The command line of "brimwell run": what it asks for, parsed without touching any device.
#pragma once

#include <optional>
#include <string>

namespace brimwell::cli {

inline constexpr int kExitCompleted = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitSetup = 2;

struct RunOptions {
    std::string script;
    std::string port;                    // "COMn" or a device path; empty: settings, then probe COM1 and COM2
    std::optional<int> baud;             // overrides setting 2
    std::optional<std::string> settings; // settings file; default LoaderDefault.ini in the current directory
    bool help = false;
};

// argv[0] is the program, argv[1] is "run". False with a message in `error` for a usage error.
bool parseRunOptions(int argc, char** argv, RunOptions& out, std::string& error);

const char* runUsage();

// The line rates the port accepts from the command line (the same set as the settings file).
bool isSupportedBaud(long baud);

} // namespace brimwell::cli
