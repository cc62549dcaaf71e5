// UUCP lock files against the real minicom in the real lock directory: a line minicom has is
// refused, minicom's lock left by its death is stale and removed, a line brimwell has is one that
// minicom reports as locked, and brimwell's lock goes with the run however it ends. Each test's line
// is a pseudo-terminal of its own, so parallel runs never share a lock file.
#include "serial/uucp_lock.h"
#include "support/event_pump.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

// minicom in a terminal of its own, as an operator starts it.
class Minicom {
  public:
    explicit Minicom(const std::string& device) {
        pid_ = ::forkpty(&terminal_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            ::setenv("TERM", "vt100", 1);
            ::execlp("minicom", "minicom", "-D", device.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Minicom() {
        kill();
        if (terminal_ >= 0) ::close(terminal_);
    }
    pid_t pid() const { return pid_; }
    // Until its screen has shown `text`.
    bool shows(const std::string& text, int ms = 20000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char buffer[512];
        while (screen_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            pollfd p{terminal_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::read(terminal_, buffer, sizeof buffer);
            if (n <= 0) return false;
            screen_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }
    // As a crash ends it: its lock file stays behind.
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    const std::string& screen() const { return screen_; }

  private:
    pid_t pid_ = -1;
    int terminal_ = -1;
    std::string screen_;
};

struct Line {
    TempDir dir;
    SimUnit sim;
    std::string node, lockFile;

    Line() {
        writeText(dir.file("empty.ini"), "");
        // A prompt three seconds late keeps a run on the line while minicom tries it.
        EXPECT_TRUE(sim.start(dir, {"--quiet", "--prompt-delay", "3000"}));
        node = std::filesystem::canonical(sim.device);
        lockFile = serial::lockDirectory() + "/LCK.." + serial::lockNames(node).front();
    }
    // A lock of a process that is gone (minicom killed) is not left for the next pseudo-terminal.
    ~Line() {
        if (serial::lockFileHolders(node).empty()) ::unlink(lockFile.c_str());
    }
    bool locked() const { return ::access(lockFile.c_str(), F_OK) == 0; }
    // brimwell run with `script`, at real time; `whileRunning` is called once it has the port.
    std::pair<int, std::string> run(const std::string& script,
                                    const std::function<void(ChildProcess&)>& whileRunning = {}) {
        writeText(dir.file("s.sld"), script);
        ChildProcess p;
        if (!p.start(binDir() + "/brimwell",
                     {"run", dir.file("s.sld"), "--port", sim.device, "--settings", dir.file("empty.ini")},
                     {"BRIMWELL_LOCK_DIR", "BRIMWELL_TIME_SCALE"}))
            return {-1, "not started"};
        if (whileRunning) {
            waitUntil([&p] { return p.stderrText().find("Running ") != std::string::npos; }, 30000);
            whileRunning(p);
        }
        const int code = p.wait(std::chrono::seconds(60));
        return {code, p.stderrText()};
    }
};

TEST(LockFiles, MinicomAndBrimwellKeepOutOfEachOthersLine) {
    Line line;
    ASSERT_FALSE(line.locked());
    {
        Minicom minicom(line.node);
        ASSERT_TRUE(minicom.shows("Welcome to minicom")) << minicom.screen();
        ASSERT_TRUE(line.locked());
        const auto [code, err] = line.run("_DM \"hello\"\n");
        EXPECT_EQ(code, 2) << err;
        EXPECT_NE(err.find("another program holds it (minicom (pid " + std::to_string(minicom.pid()) +
                           ", lock file " + line.lockFile + ")"),
                  std::string::npos)
            << err;
        const pid_t gone = minicom.pid();
        minicom.kill();
        ASSERT_TRUE(line.locked()) << "a killed minicom leaves its lock";
        const auto [code2, err2] = line.run("_DM \"hello\"\n");
        EXPECT_EQ(code2, 0) << err2;
        EXPECT_NE(err2.find("Removed the stale lock file " + line.lockFile + " (its process " +
                            std::to_string(gone) + " has ended)."),
                  std::string::npos)
            << err2;
        EXPECT_FALSE(line.locked()) << "brimwell's own lock went with the run";
    }
    const auto [code, err] = line.run("_TC \"LOADR^M\"\n", [&](ChildProcess&) {
        EXPECT_TRUE(line.locked());
        Minicom minicom(line.node);
        EXPECT_TRUE(minicom.shows("Device " + line.node + " is locked.")) << minicom.screen();
    });
    EXPECT_EQ(code, 0) << err;
    EXPECT_FALSE(line.locked());
}

TEST(LockFiles, BrimwellsLockGoesWithAStopSignal) {
    Line line;
    const auto [code, err] = line.run("_TC \"LOADR^M\"\n", [&](ChildProcess& p) {
        EXPECT_TRUE(line.locked());
        p.signal(SIGTERM);
    });
    EXPECT_EQ(code, 1) << err;
    EXPECT_FALSE(line.locked());
}

} // namespace
