// Fuzzes the settings reader with arbitrary file contents: as given, and repeated past the reading
// limit in a file (so the line reader's pieces, long lines and the limit itself are exercised).
#include "script/settings_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using brimwell::script::LoaderSettings;

void checkValues(const LoaderSettings& s) {
    if (s.settingLines < 0 || s.settingLines > 29) std::abort();
    if (s.autoScriptPath.size() > 199 || s.loadKeyword.size() > 25 || s.loaderModeCommand.size() > 25)
        std::abort();
    if (s.loaderModeCommand.empty() || s.loaderModeCommand.back() != '\r') std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkValues(brimwell::script::parseSettings(text));
    if (size == 0) return 0;

    static const int fd = ::memfd_create("settings", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) std::abort();
    std::string file;
    while (file.size() <= brimwell::script::kSettingsFileLimit)
        file += text;
    if (::write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) std::abort();
    const LoaderSettings s = brimwell::script::readSettingsFile("/proc/self/fd/" + std::to_string(fd));
    checkValues(s);
    // Past the limit, reading ends either with every setting line read or with the limit's error.
    if ((s.settingLines == 29) != s.problem.empty()) std::abort();
    return 0;
}
