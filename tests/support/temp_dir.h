// A private directory for a test's files, removed with everything in it when the test ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace brimwell::test {

class ScratchDir {
  public:
    ScratchDir() {
        std::string name = (std::filesystem::temp_directory_path() / "brimwell-XXXXXX").string();
        if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    void write(const std::string& name, const std::string& contents) const {
        std::ofstream(file(name), std::ios::binary) << contents;
    }
    // The file's bytes; "<missing>" when there is no such file.
    std::string read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        if (!in) return "<missing>";
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    std::filesystem::path path_;
};

} // namespace brimwell::test
