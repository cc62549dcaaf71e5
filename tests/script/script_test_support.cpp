// Temporary directories for the script tests.
#include "script_test_support.h"

#include <cstdlib>
#include <unistd.h>

namespace brimwell::script::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brimwell-script-XXXXXX").string();
    if (char* made = ::mkdtemp(pattern.data())) dir_ = made;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

} // namespace brimwell::script::test
