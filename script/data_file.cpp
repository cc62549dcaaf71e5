// Looking up a data file named by a script.
#include "script/data_file.h"

#include <filesystem>
#include <fstream>

namespace brimwell::script {
namespace {

bool opens(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return static_cast<bool>(in);
}

} // namespace

DataFileLookup findDataFile(const std::string& name, const std::string& scriptPath) {
    namespace fs = std::filesystem;
    DataFileLookup result;
    if (opens(name)) {
        result.found = name;
        return result;
    }
    std::error_code ec;
    const fs::path here = fs::current_path(ec);
    const fs::path asWritten(name);
    if (asWritten.is_absolute() || name.empty()) {
        result.places = asWritten.parent_path().string();
        return result;
    }
    result.places = here.string();
    if (scriptPath.empty()) return result;
    const fs::path scriptDir = fs::absolute(fs::path(scriptPath), ec).parent_path();
    if (ec || fs::equivalent(scriptDir, here, ec)) return result;
    const std::string beside = (scriptDir / asWritten).string();
    if (opens(beside)) {
        result.found = beside;
        return result;
    }
    result.places += " and " + scriptDir.string();
    return result;
}

} // namespace brimwell::script
