// Helpers of the window tests.
#include "app_test_support.h"

#include <QElapsedTimer>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

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
    const std::string& linkPath = appears;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
    pid_ = pid;
    QElapsedTimer t;
    t.start();
    struct stat st {};
    while (::stat(linkPath.c_str(), &st) != 0) {
        if (t.elapsed() > 5000) throw std::runtime_error("simulator did not make " + linkPath);
        usleep(2000);
    }
}

UnitSim::~UnitSim() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    ::unlink(link_.c_str());
}

bool UnitSim::running() const {
    int status = 0;
    return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
}

std::string readFile(const std::string& path) {
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
