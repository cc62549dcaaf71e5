// Helpers of the window tests.
#include "app_test_support.h"
#include "support/event_pump.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace brimwell::testing {

std::string buildDir() {
    const char* d = std::getenv("BRIMWELL_BUILD_DIR");
    return d ? d : ".";
}

std::string simPath() {
    return buildDir() + "/bin/brimwell-unit-sim";
}

std::string boardSimPath() {
    return buildDir() + "/bin/brimwell-board-sim";
}

namespace {

std::vector<std::string> unitSimArgs(const std::string& linkPath, const std::string& storeDir,
                                     const std::vector<std::string>& extra) {
    ::unlink(linkPath.c_str());
    std::vector<std::string> args{simPath(), "--link", linkPath, "--quiet"};
    if (!storeDir.empty()) {
        args.push_back("--store");
        args.push_back(storeDir);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

} // namespace

UnitSim::UnitSim(const std::string& linkPath, const std::string& storeDir,
                 const std::vector<std::string>& extra)
    : UnitSim(unitSimArgs(linkPath, storeDir, extra), linkPath) {}

UnitSim::UnitSim(std::vector<std::string> args, const std::string& appears) : link_(appears) {
    const std::string program = args.front();
    args.erase(args.begin());
    if (!process_.start(program, args)) throw std::runtime_error("cannot start " + program);
    // A busy machine may take a while to start a process; the path appears once it serves.
    struct stat st {};
    const auto served = [&] { return ::stat(appears.c_str(), &st) == 0; };
    if (!waitUntil([&] { return served() || !process_.running(); }, 30000) || !served())
        throw std::runtime_error("simulator did not make " + appears + ": " + process_.stderrText());
}

UnitSim::~UnitSim() {
    process_.stop();
    ::unlink(link_.c_str());
}

bool UnitSim::running() const {
    return process_.running();
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void mapCom(int n, const std::string& path) {
    setenv(("BRIMWELL_COM" + std::to_string(n)).c_str(), path.c_str(), 1);
}

} // namespace brimwell::testing
