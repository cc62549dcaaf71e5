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

namespace brimwell::serial {
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
    using Outcome = DeviceLock::Outcome;
    enum Before { None, Written, WrittenLongAgo, OtherPortOfOurs, NoDirectory };
    const struct {
        Before before;
        std::string existing; // the lock file we find
        Outcome outcome;
        long holder;
        std::string note;
    } rows[] = {
        {None, "", Outcome::Taken, 0, ""},
        {Written, "         1\n", Outcome::HeldByOther, 1, ""},
        {Written, std::string("\x01\x00\x00\x00", 4), Outcome::HeldByOther, 1, ""}, // binary
        {Written, dead + "\n", Outcome::Taken, 0, "(its process " + dead + " has ended)"},
        {Written, "", Outcome::HeldByOther, 0, ""}, // being written
        {WrittenLongAgo, "junk\nmore", Outcome::Taken, 0, "(it names no process)"},
        {OtherPortOfOurs, ours, Outcome::HeldByOther, ::getpid(), ""},
        {NoDirectory, "<missing>", Outcome::NotWritable, 0, "Cannot write lock files in "}, // told once
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.before * 100 + (&r - rows));
        LockDir locks;
        DeviceLock lock, otherPort;
        if (r.before == Written || r.before == WrittenLongAgo) locks.dir.write(name, r.existing);
        if (r.before == WrittenLongAgo) {
            const utimbuf back{::time(nullptr) - 60, ::time(nullptr) - 60};
            ::utime(locks.dir.file(name).c_str(), &back);
        }
        if (r.before == OtherPortOfOurs) otherPort.take(pty.slavePath());
        if (r.before == NoDirectory) ::setenv("BRIMWELL_LOCK_DIR", locks.dir.file("missing").c_str(), 1);
        LockHolder holder;
        EXPECT_EQ(lock.take(pty.slavePath(), &holder), r.outcome);
        EXPECT_EQ(holder.pid, r.holder);
        // Another's lock is left as it was; ours holds our pid as ten characters and a line feed.
        EXPECT_EQ(locks.dir.read(name), r.outcome == Outcome::Taken ? ours : r.existing);
        ASSERT_EQ(locks.notes.size(), r.note.empty() ? 0u : 1u);
        if (!r.note.empty()) {
            EXPECT_NE(locks.notes[0].find(r.note), std::string::npos) << locks.notes[0];
        }
        lock.take(pty.slavePath()); // again: nothing more to say
        EXPECT_EQ(locks.notes.size(), r.note.empty() ? 0u : 1u);
        lock.release();
        if (r.outcome == Outcome::Taken) {
            EXPECT_EQ(locks.dir.read(name), "<missing>");
        }
    }
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
} // namespace brimwell::serial
