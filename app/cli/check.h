// "brimwell check SCRIPT": the pre-flight check a line runs before a shift. Reads the script with
// the reader's line rules and reports, with line numbers, what would make a run fail or do
// nothing, without opening any port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brimwell::cli {

struct CheckFinding {
    int line = 0; // 0: the script as a whole
    std::string text;
    // The script would do something other than it reads as (a command code one slip away from a
    // real one, line ends the reader does not see): a run refuses it unless forced.
    bool refuses = false;
};

// The most of a script that is read: far more than 300 command lines and their comments.
inline constexpr uint64_t kScriptFileLimit = 1024 * 1024;

// The findings for the script at `path`, in line order, and the data files it names that were
// found. False with a reason when it cannot be read (it is no regular file, longer than
// kScriptFileLimit, a stop came).
bool checkScript(const std::string& path, std::vector<CheckFinding>& findings, std::string& error,
                 std::vector<std::string>* dataFiles = nullptr);

// The findings that make a run refuse the script, as lines "SCRIPT:LINE: text" ("" when none).
std::string refusingFindings(const std::string& path, const std::vector<CheckFinding>& findings);

// argv[1] is "check". 0: no findings, 1: findings, 2: usage error or unreadable script.
int checkMain(int argc, char** argv);

} // namespace brimwell::cli
