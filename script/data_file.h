// Where a script's data file is found: the name as written (so relative to the current directory,
// which existing scripts rely on), then next to the script, so that a script and its data files
// can be run from anywhere.
#pragma once

#include <string>

namespace brimwell::script {

struct DataFileLookup {
    std::string found;  // the path that opens; empty when neither place has the file
    std::string places; // where it was looked for, for a message: "DIR" or "DIR and DIR"
};

DataFileLookup findDataFile(const std::string& name, const std::string& scriptPath);

} // namespace brimwell::script
