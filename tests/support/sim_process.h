// Runs brimwell-unit-sim (or any helper program) as a child process for tests and benchmarks and
// follows the lines it prints on standard output.
#pragma once

#include "support/temp_dir.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace brimwell::testing {

// Directory of the built programs: $BRIMWELL_BUILD_DIR/bin, or the directory of the running test.
std::string binDir();

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program with args; stdout is followed line by line, stderr is collected (or passed
    // through when `collectStderr` is false). `env` entries NAME=VALUE are added to the environment,
    // entries NAME (no "=") removed from it.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {}, bool collectStderr = true);

    // First stdout line starting with prefix, waiting up to timeout for it.
    std::optional<std::string> waitForLine(const std::string& prefix,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::vector<std::string> lines();
    std::string stderrText();

    // Waits for the process to end; returns its exit code, or -1 on timeout (the process is then killed),
    // or 128 + signal.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(120));
    void signal(int sig);
    void stop(); // SIGTERM, then wait
    // False once the process ended (it is reaped then; its exit code stays for wait()).
    bool running();
    std::string workingDir; // where the program starts (empty: this process's directory)
    int pid() const { return pid_; }

  private:
    void readLoop(int fd, bool isStdout);
    int pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    std::thread outReader_, errReader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string partial_, err_;
};

// The unit simulator on a pseudo-terminal linked at a path in `dir`.
struct SimUnit {
    ChildProcess process;
    std::string device; // the symlink the host opens
    bool start(const TempDir& dir, const std::vector<std::string>& extraArgs,
               const std::string& linkName = "unit");
};

// brimwell-board-sim serving its boards' sockets in `dir` (the tool's BRIMWELL_PCI_DIR).
struct SimBoards {
    ChildProcess process;
    std::string dir;
    bool start(const std::string& socketDir, const std::vector<std::string>& extraArgs);
    std::string env() const { return "BRIMWELL_PCI_DIR=" + dir; }
};

// A peer of tests/support/hostile_peers.py (a server or driver that misbehaves one way).
struct HostilePeer {
    ChildProcess process;
    int port = 0; // a TCP peer's loopback port
    // Starts MODE (with PATH for the modes that take one); true once it is ready.
    bool start(const std::string& mode, const std::string& path = {});
};

// A character device node (major, minor) of the test's own at `path` (1,3 as /dev/null, 1,5 as
// /dev/zero, 1,7 as /dev/full): no test touches the machine's nodes.
bool makeDeviceNode(const std::string& path, unsigned major, unsigned minor);

// Value of "key=" in a report line such as "STORED path size=... first_ns=...".
std::string field(const std::string& line, const std::string& key);

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);
// Deterministic pseudo-random bytes (a fixed generator, so failures reproduce).
std::vector<uint8_t> patternBytes(size_t n, uint32_t seed);

} // namespace brimwell::testing
