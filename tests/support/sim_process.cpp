// Child-process helpers for the tests and benchmarks that drive the real programs.
#include "support/sim_process.h"
#include "support/event_pump.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace brimwell::testing {

std::string binDir() {
    if (const char* b = std::getenv("BRIMWELL_BUILD_DIR"); b && *b) return std::string(b) + "/bin";
#ifdef BRIMWELL_TEST_BUILD_DIR
    // ctest does not always pass the environment on; the build tree the helpers were built in is known.
    return std::string(BRIMWELL_TEST_BUILD_DIR) + "/bin";
#endif
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        return std::filesystem::path(self).parent_path().string();
    }
    return ".";
}

ChildProcess::~ChildProcess() {
    if (running()) {
        // SIGTERM first: a brimwell run still going then closes its port and removes its lock file,
        // which would otherwise be left for the next test on that pseudo-terminal to find stale.
        ::kill(pid_, SIGTERM);
        wait(std::chrono::seconds(2)); // SIGKILL after that
    }
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, bool collectStderr) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    if (::pipe2(err, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (collectStderr) posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e)
        envStore.emplace_back(*e);
    for (const auto& e : env) {
        // "NAME" without "=" removes the variable.
        const bool unset = e.find('=') == std::string::npos;
        const auto name = unset ? e + "=" : e.substr(0, e.find('=') + 1);
        std::erase_if(envStore, [&](const std::string& s) { return s.rfind(name, 0) == 0; });
        if (!unset) envStore.push_back(e);
    }
    if (!workingDir.empty()) posix_spawn_file_actions_addchdir_np(&fa, workingDir.c_str());
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    // The test ignores SIGPIPE; the program starts with it as a shell would give it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &pipe);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &fa, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        pid_ = -1;
        err_ = "cannot start " + program + ": " + std::strerror(rc);
        return false;
    }
    outReader_ = std::thread([this, fd = out[0]] { readLoop(fd, true); });
    errReader_ = std::thread([this, fd = err[0]] { readLoop(fd, false); });
    return true;
}

void ChildProcess::readLoop(int fd, bool isStdout) {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> g(lock_);
        if (!isStdout) {
            err_.append(buf, static_cast<size_t>(n));
            continue;
        }
        partial_.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        changed_.notify_all();
    }
    ::close(fd);
    std::lock_guard<std::mutex> g(lock_);
    if (isStdout && !partial_.empty()) lines_.push_back(std::exchange(partial_, {}));
    changed_.notify_all();
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& prefix,
                                                     std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> g(lock_);
    std::optional<std::string> found;
    changed_.wait_for(g, timeout, [&] {
        for (const auto& l : lines_)
            if (l.rfind(prefix, 0) == 0) {
                found = l;
                return true;
            }
        return false;
    });
    return found;
}

std::vector<std::string> ChildProcess::lines() {
    std::lock_guard<std::mutex> g(lock_);
    return lines_;
}

std::string ChildProcess::stderrText() {
    std::lock_guard<std::mutex> g(lock_);
    return err_;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    if (!exited_) {
        const bool ended = waitUntil([this] { return ::waitpid(pid_, &status_, WNOHANG) == pid_; },
                                     static_cast<int>(timeout.count()));
        exited_ = true;
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            return -1;
        }
    }
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

bool ChildProcess::running() {
    if (pid_ > 0 && !exited_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return pid_ > 0 && !exited_;
}

void ChildProcess::signal(int sig) {
    if (running()) ::kill(pid_, sig);
}

void ChildProcess::stop() {
    signal(SIGTERM);
    wait(std::chrono::seconds(10));
}

bool SimUnit::start(const TempDir& dir, const std::vector<std::string>& extraArgs,
                    const std::string& linkName) {
    device = dir.file(linkName);
    std::vector<std::string> args{"--link", device};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    if (!process.start(binDir() + "/brimwell-unit-sim", args)) return false;
    return process.waitForLine("READY").has_value();
}

bool SimBoards::start(const std::string& socketDir, const std::vector<std::string>& extraArgs) {
    dir = socketDir;
    ::mkdir(dir.c_str(), 0755);
    std::vector<std::string> args{"--dir", dir};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return process.start(binDir() + "/brimwell-board-sim", args) && process.waitForLine("READY").has_value();
}

bool HostilePeer::start(const std::string& mode, const std::string& path) {
    const char* source = std::getenv("BRIMWELL_SOURCE_DIR");
    std::vector<std::string> args{std::string(source ? source : ".") + "/tests/support/hostile_peers.py",
                                  mode};
    if (!path.empty()) args.push_back(path);
    if (!process.start("/usr/bin/python3", args)) return false;
    const auto ready = process.waitForLine("READY");
    if (ready && ready->size() > 6) port = std::atoi(ready->c_str() + 6);
    return ready.has_value();
}

bool makeDeviceNode(const std::string& path, unsigned major, unsigned minor) {
    return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(major, minor)) == 0;
}

std::string field(const std::string& line, const std::string& key) {
    const std::string k = " " + key + "=";
    const auto p = line.find(k);
    if (p == std::string::npos) return {};
    const auto start = p + k.size();
    const auto end = line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::vector<uint8_t> patternBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed ? seed : 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

} // namespace brimwell::testing
