// Where a script's data file is found: the name as written (so relative to the current directory,
// which existing scripts rely on), then next to the script, so that a script and its data files
// can be run from anywhere. And whether a path can be a data file at all.
#pragma once

#include <string>

namespace brimwell::script {

struct DataFileLookup {
    std::string found;   // the path that can be uploaded; empty when neither place has such a file
    std::string places;  // where it was looked for, for a message: "DIR" or "DIR and DIR"
    std::string problem; // why the name as written cannot be uploaded ("" when it can)
};

DataFileLookup findDataFile(const std::string& name, const std::string& scriptPath);

// Why `path` cannot be uploaded, in words that follow "Data file NAME ...": "it does not exist",
// "it is a directory", "it is a device, not a file", "it is a FIFO (named pipe), not a file",
// "it cannot be read: REASON"; "" for a regular file this process may read. Never blocks (a FIFO
// is not opened).
std::string dataFileProblem(const std::string& path);
inline constexpr const char* kDataFileMissing = "it does not exist";

} // namespace brimwell::script
