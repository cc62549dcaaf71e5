// Looking up a data file named by a script, and what keeps a path from being one.
#include "script/data_file.h"

#include "script/file_pieces.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace brimwell::script {

std::string dataFileProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR
                   ? kDataFileMissing
                   : std::string("it cannot be opened: ") + std::strerror(errno);
    if (const std::string kind = notRegularFile(path); !kind.empty()) return kind;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string("it cannot be read: ") + std::strerror(errno);
    ::close(fd);
    return {};
}

DataFileLookup findDataFile(const std::string& name, const std::string& scriptPath) {
    namespace fs = std::filesystem;
    DataFileLookup result;
    result.problem = dataFileProblem(name);
    if (result.problem.empty()) {
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
    if (dataFileProblem(beside).empty()) {
        result.found = beside;
        return result;
    }
    result.places += " and " + scriptDir.string();
    return result;
}

} // namespace brimwell::script
