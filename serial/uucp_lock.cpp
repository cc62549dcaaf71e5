// UUCP lock files: reading others', writing and removing ours, and a registry of those held so that
// a signal can remove them.
#include "serial/uucp_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace brimwell::serial {
namespace {

constexpr const char* kLockPrefix = "/LCK..";
// A lock file is never longer than this; more is not read.
constexpr size_t kMostLockBytes = 64;
// A lock file without a pid this young may be one that its owner is still writing.
constexpr time_t kUnwrittenGraceSeconds = 5;
// Lock files a process can hold at once and remove from a signal handler.
constexpr size_t kHeldSlots = 32;

bool isDirectory(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Every directory a lock may be found in: the one we write, and /var/lock where it is not merely
// another name of /run/lock.
std::vector<std::string> lockDirectories() {
    std::vector<std::string> dirs{lockDirectory()};
    if (const char* env = std::getenv("BRIMWELL_LOCK_DIR"); env && *env) return dirs;
    struct stat run {
    }, var{};
    if (::stat("/var/lock", &var) == 0 && S_ISDIR(var.st_mode) &&
        (::stat("/run/lock", &run) != 0 || run.st_ino != var.st_ino || run.st_dev != var.st_dev) &&
        dirs.front() != "/var/lock")
        dirs.emplace_back("/var/lock");
    return dirs;
}

// The part after /dev/ with '/' turned into '_'; "" for a path outside /dev.
std::string uucpName(const std::string& path) {
    if (!path.starts_with("/dev/")) return {};
    std::string name = path.substr(5);
    for (char& c : name)
        if (c == '/') c = '_';
    return name;
}

bool processAlive(long pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

struct LockFile {
    bool present = false;
    std::optional<long> pid;
    time_t modified = 0;
};

// Reads a lock file that is a regular file; anything else at that name (a FIFO, a device) is read
// as a lock without a pid rather than waited on.
LockFile readLockFile(const std::string& file) {
    LockFile lock;
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lock.present = errno != ENOENT;
        return lock;
    }
    lock.present = true;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        lock.modified = st.st_mtime;
        char text[kMostLockBytes];
        const ssize_t n = ::read(fd, text, sizeof text);
        if (n > 0) lock.pid = lockFilePid(std::string_view(text, static_cast<size_t>(n)));
    }
    ::close(fd);
    return lock;
}

// ---- Held lock files, for a signal handler --------------------------------------------------

struct HeldSlot {
    std::atomic<int> state{0}; // 0 free, 1 being changed, 2 holds `path`
    char path[PATH_MAX];
};
HeldSlot heldSlots[kHeldSlots];
std::mutex heldMutex; // changes of the slots (the signal handler only reads)

bool isHeldHere(const std::string& file) {
    std::lock_guard<std::mutex> g(heldMutex);
    for (HeldSlot& s : heldSlots)
        if (s.state.load() == 2 && file == s.path) return true;
    return false;
}

void registerHeld(const std::string& file) {
    if (file.size() >= PATH_MAX) return;
    std::lock_guard<std::mutex> g(heldMutex);
    for (HeldSlot& s : heldSlots) {
        if (s.state.load() != 0) continue;
        s.state = 1;
        std::memcpy(s.path, file.c_str(), file.size() + 1);
        s.state = 2;
        return;
    }
}

void unregisterHeld(const std::string& file) {
    std::lock_guard<std::mutex> g(heldMutex);
    for (HeldSlot& s : heldSlots)
        if (s.state.load() == 2 && file == s.path) s.state = 0;
}

// ---- Notes --------------------------------------------------------------------------------------

std::mutex noteMutex;
std::function<void(const std::string&)> noteSink;

void note(const std::string& text) {
    std::lock_guard<std::mutex> g(noteMutex);
    if (noteSink)
        noteSink(text);
    else
        std::fprintf(stderr, "brimwell: %s\n", text.c_str());
}

// Writes our pid into a file of its own and links it to the lock's name, so that nobody ever reads
// a half-written lock: 0, or the errno (EEXIST when someone else's lock is there now).
int writeLockFile(const std::string& dir, const std::string& file) {
    static std::atomic<unsigned> serial{0};
    const std::string temp =
        dir + "/LTMP." + std::to_string(::getpid()) + "." + std::to_string(serial.fetch_add(1));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    ::fchmod(fd, 0644); // readable by every program that checks the line, whatever our umask
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
    const bool written = ::write(fd, text, static_cast<size_t>(n)) == n;
    const int writeError = errno;
    ::close(fd);
    int err = written ? 0 : writeError;
    if (err == 0 && ::link(temp.c_str(), file.c_str()) != 0) err = errno;
    ::unlink(temp.c_str());
    return err;
}

void cleanupAndRaise(int sig) {
    removeHeldLockFiles();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

} // namespace

std::string lockDirectory() {
    if (const char* env = std::getenv("BRIMWELL_LOCK_DIR"); env && *env) return env;
    return isDirectory("/run/lock") ? "/run/lock" : "/var/lock";
}

std::string finalLinkTarget(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        const std::string next(target, static_cast<size_t>(n));
        path = next.front() == '/' ? next : path.substr(0, path.find_last_of('/') + 1) + next;
    }
    return path;
}

std::vector<std::string> lockNames(const std::string& path) {
    std::vector<std::string> names;
    for (const std::string& p : {path, finalLinkTarget(path)}) {
        const std::string name = uucpName(p);
        if (!name.empty() && name.find("..") == std::string::npos &&
            std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return names;
}

std::optional<long> lockFilePid(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    const size_t digits = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    const size_t end = i;
    while (i < text.size() && (text[i] == '\n' || text[i] == '\r' || text[i] == ' '))
        ++i;
    if (end > digits && i == text.size()) {
        if (end - digits > 10) return std::nullopt;
        const long pid = std::strtol(std::string(text.substr(digits, end - digits)).c_str(), nullptr, 10);
        if (pid <= 0 || pid > INT_MAX) return std::nullopt;
        return pid;
    }
    if (text.size() != sizeof(int32_t)) return std::nullopt;
    int32_t binary = 0;
    std::memcpy(&binary, text.data(), sizeof binary);
    if (binary <= 0) return std::nullopt;
    return binary;
}

std::vector<LockHolder> lockFileHolders(const std::string& path) {
    std::vector<LockHolder> holders;
    for (const std::string& dir : lockDirectories())
        for (const std::string& name : lockNames(path)) {
            const std::string file = dir + kLockPrefix + name;
            const LockFile lock = readLockFile(file);
            if (lock.pid && *lock.pid != ::getpid() && processAlive(*lock.pid))
                holders.push_back({*lock.pid, file});
        }
    return holders;
}

DeviceLock::Outcome DeviceLock::take(const std::string& path, LockHolder* holder) {
    release();
    const std::string dir = lockDirectory();
    std::vector<std::string> files;
    for (const std::string& name : lockNames(path))
        files.push_back(dir + kLockPrefix + name);
    // Locks elsewhere (/var/lock beside /run/lock) are honoured too; ours go into the one directory.
    for (const LockHolder& other : lockFileHolders(path))
        if (other.file.compare(0, dir.size() + 1, dir + "/") != 0) {
            if (holder) *holder = other;
            return Outcome::HeldByOther;
        }
    for (const std::string& file : files) {
        // A lock appearing between our look and our link is looked at again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const LockFile lock = readLockFile(file);
            if (lock.present) {
                const bool ours = lock.pid && *lock.pid == ::getpid();
                const bool live = lock.pid ? (ours ? isHeldHere(file) : processAlive(*lock.pid))
                                           : ::time(nullptr) - lock.modified < kUnwrittenGraceSeconds;
                if (live) {
                    if (holder) *holder = {lock.pid.value_or(0), file};
                    release();
                    return Outcome::HeldByOther;
                }
                if (::unlink(file.c_str()) == 0)
                    note("Removed the stale lock file " + file +
                         (lock.pid ? " (its process " + std::to_string(*lock.pid) + " has ended)."
                                   : " (it names no process)."));
            }
            const int err = writeLockFile(dir, file);
            if (err == EEXIST) continue;
            if (err != 0) {
                static std::atomic<bool> told{false};
                if (!told.exchange(true))
                    note("Cannot write lock files in " + dir + " (" + std::strerror(err) +
                         "): ports are locked with flock only, which programs that look for lock "
                         "files (minicom, ser2net) do not see.");
                release();
                return Outcome::NotWritable;
            }
            files_.push_back(file);
            registerHeld(file);
            break;
        }
    }
    return Outcome::Taken;
}

void DeviceLock::release() {
    for (const std::string& file : files_) {
        unregisterHeld(file);
        // Only our own: a lock that someone else took over since (they found ours stale) stays.
        const LockFile lock = readLockFile(file);
        if (lock.pid && *lock.pid == ::getpid()) ::unlink(file.c_str());
    }
    files_.clear();
}

void setLockNoteSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> g(noteMutex);
    noteSink = std::move(sink);
}

void removeHeldLockFiles() {
    for (HeldSlot& s : heldSlots)
        if (s.state.load() == 2) ::unlink(s.path);
}

void removeLockFilesOnSignals() {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        struct sigaction old {};
        // A signal the program was started with ignored (nohup) stays ignored.
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction sa {};
        sa.sa_handler = &cleanupAndRaise;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

} // namespace brimwell::serial
