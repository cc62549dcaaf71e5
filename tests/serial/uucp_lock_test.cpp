// UUCP lock files in a private lock directory: the pid in the forms programs write, the names of a
// device, and our own lock against live, stale and half-written ones of others.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <csignal>
#include <cstdio>
#include <filesystem>

#include "serial/uucp_lock.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace brimwell {
namespace {

using testing::TempDir;

TEST(LockFile, ThePidInEachFormProgramsWrite) {
    const struct {
        std::string text;
        std::optional<long> pid;
    } rows[] = {
        {"      4321\n", 4321},                             // minicom, ser2net: ten characters
        {"107\n", 107},                                     // four bytes of ASCII, not binary
        {"  7", 7},                                         // padding without a line feed
        {std::string("\x34\x12\x00\x00", 4), 0x1234},       // an old program's binary int
        {"4321\r\n\n", 4321},                               // DOS line end, blank lines
        {"", std::nullopt},                                 // being written
        {"0000000000\n", std::nullopt},                     // no process has pid 0
        {"12345678901\n", std::nullopt},                    // more than a pid can be
        {"12 34\n", std::nullopt},                          // two numbers
        {std::string("\x00\x00\x00\x00", 4), std::nullopt}, // binary zero
    };
    for (const auto& r : rows)
        EXPECT_EQ(lockFilePid(r.text), r.pid) << '"' << r.text << '"';
}

TEST(LockFile, NamesOfADevice) {
    TempDir dir;
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string link = dir.file("unit");
    std::filesystem::create_symlink(pty.slavePath(), link);
    const std::string pts = "pts_" + pty.slavePath().substr(9);
    const struct {
        std::string path;
        std::vector<std::string> names;
    } rows[] = {
        {"/dev/ttyUSB0", {"ttyUSB0"}},
        {"/dev/serial/by-id/usb-FTDI_X-if00-port0", {"serial_by-id_usb-FTDI_X-if00-port0"}},
        {pty.slavePath(), {pts}},
        {link, {pts}}, // a link outside /dev is known by its node only
        {dir.file("none"), {}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(lockNames(r.path), r.names) << r.path;
}

// A pid that no process has: a child that has ended and been waited for.
long endedPid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

struct LockDir {
    TempDir dir;
    std::vector<std::string> notes;
    LockDir() {
        ::setenv("BRIMWELL_LOCK_DIR", dir.path().c_str(), 1);
        setLockNoteSink([this](const std::string& text) { notes.push_back(text); });
    }
    ~LockDir() {
        setLockNoteSink({});
        ::unsetenv("BRIMWELL_LOCK_DIR");
    }
};

TEST(DeviceLock, HonoursLiveLocksAndReplacesStaleOnes) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string name = "LCK..pts_" + pty.slavePath().substr(9);
    char ours[16];
    std::snprintf(ours, sizeof ours, "%10ld\n", static_cast<long>(::getpid()));
    const std::string dead = std::to_string(endedPid());
    const struct {
        const char* what;
        std::optional<std::string> existing; // the lock file before we take ours
        bool old;                            // its time is a minute back
        DeviceLock::Outcome outcome;
        long holder;
        std::string note;
    } rows[] = {
        {"none", std::nullopt, false, DeviceLock::Outcome::Taken, 0, ""},
        {"live", "         1\n", false, DeviceLock::Outcome::HeldByOther, 1, ""},
        {"live binary", std::string("\x01\x00\x00\x00", 4), false, DeviceLock::Outcome::HeldByOther, 1, ""},
        {"stale", dead + "\n", false, DeviceLock::Outcome::Taken, 0, "(its process " + dead + " has ended)"},
        {"being written", "", false, DeviceLock::Outcome::HeldByOther, 0, ""},
        {"unreadable, old", "junk\nmore", true, DeviceLock::Outcome::Taken, 0, "(it names no process)"},
    };
    for (const auto& r : rows) {
        LockDir locks;
        if (r.existing) locks.dir.write(name, *r.existing);
        if (r.old) {
            const utimbuf back{::time(nullptr) - 60, ::time(nullptr) - 60};
            ::utime(locks.dir.file(name).c_str(), &back);
        }
        DeviceLock lock;
        LockHolder holder;
        EXPECT_EQ(lock.take(pty.slavePath(), &holder), r.outcome) << r.what;
        if (r.outcome == DeviceLock::Outcome::HeldByOther) {
            EXPECT_EQ(holder.pid, r.holder) << r.what;
            EXPECT_EQ(locks.dir.read(name), *r.existing) << r.what << ": another's lock is left alone";
        } else {
            EXPECT_EQ(locks.dir.read(name), ours) << r.what;
        }
        ASSERT_EQ(locks.notes.size(), r.note.empty() ? 0u : 1u) << r.what;
        if (!r.note.empty()) {
            EXPECT_NE(locks.notes[0].find(r.note), std::string::npos) << locks.notes[0];
        }
        lock.release();
        if (r.outcome == DeviceLock::Outcome::Taken) {
            EXPECT_EQ(locks.dir.read(name), "<missing>") << r.what;
        }
    }
}

TEST(DeviceLock, OnePortOfOursHoldsItAgainstAnother) {
    LockDir locks;
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    DeviceLock first, second;
    ASSERT_EQ(first.take(pty.slavePath()), DeviceLock::Outcome::Taken);
    EXPECT_EQ(second.take(pty.slavePath()), DeviceLock::Outcome::HeldByOther);
    first.release();
    EXPECT_EQ(second.take(pty.slavePath()), DeviceLock::Outcome::Taken);
}

TEST(DeviceLock, AnUnwritableDirectoryIsToldOnceAndLeavesFlock) {
    LockDir locks;
    ::setenv("BRIMWELL_LOCK_DIR", locks.dir.file("missing").c_str(), 1);
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    DeviceLock lock;
    EXPECT_EQ(lock.take(pty.slavePath()), DeviceLock::Outcome::NotWritable);
    EXPECT_EQ(lock.take(pty.slavePath()), DeviceLock::Outcome::NotWritable);
    ASSERT_EQ(locks.notes.size(), 1u);
    EXPECT_NE(locks.notes[0].find("Cannot write lock files in " + locks.dir.file("missing")),
              std::string::npos);
}

TEST(DeviceLock, ASignalRemovesTheHeldFiles) {
    LockDir locks;
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string name = "LCK..pts_" + pty.slavePath().substr(9);
    const pid_t child = ::fork();
    if (child == 0) {
        DeviceLock lock;
        if (lock.take(pty.slavePath()) != DeviceLock::Outcome::Taken) ::_exit(3);
        removeLockFilesOnSignals();
        ::raise(SIGTERM);
        ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(locks.dir.read(name), "<missing>");
}

} // namespace
} // namespace brimwell
