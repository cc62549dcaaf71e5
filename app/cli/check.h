// "brimwell check SCRIPT": the pre-flight check a line runs before a shift. Reads the script with
// the reader's line rules and reports, with line numbers, what would make a run fail or do
// nothing, without opening any port.
#pragma once

#include <string>
#include <vector>

namespace brimwell::cli {

struct CheckFinding {
    int line = 0; // 0: the script as a whole
    std::string text;
};

// The findings for the script at `path`, in line order. False with a reason when it cannot be read.
bool checkScript(const std::string& path, std::vector<CheckFinding>& findings, std::string& error);

// argv[1] is "check". 0: no findings, 1: findings, 2: usage error or unreadable script.
int checkMain(int argc, char** argv);

} // namespace brimwell::cli
