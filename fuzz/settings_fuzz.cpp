// Fuzzes the settings reader with arbitrary file contents.
#include "script/settings_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const brimwell::script::LoaderSettings s =
        brimwell::script::parseSettings(std::string(reinterpret_cast<const char*>(data), size));
    if (s.settingLines < 0 || s.settingLines > 29) std::abort();
    if (s.AutoScriptPath.size() > 199 || s.LoadKeyword.size() > 25 || s.LoaderModeCommand.size() > 25)
        std::abort();
    if (s.LoaderModeCommand.empty() || s.LoaderModeCommand.back() != '\r') std::abort();
    return 0;
}
