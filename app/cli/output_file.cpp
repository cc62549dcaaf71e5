// The policy for a run's output files.
#include "app/cli/output_file.h"

#include "serial/setup_stop.h"
#include "serial/shown_text.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace brimwell::cli {
namespace {

// A FIFO or device whose reader stops taking bytes is given this long.
constexpr int kDirectWriteMs = 10000;
constexpr int kMaxLinks = 40;

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The program's own descriptor N a name stands for (/dev/fd/N, /proc/self/fd/N and the like;
// /dev/stdout is a link to one of them), or -1.
int ownDescriptor(const std::string& path) {
    for (const std::string& prefix :
         {std::string("/dev/fd/"), std::string("/proc/self/fd/"), std::string("/proc/thread-self/fd/"),
          "/proc/" + std::to_string(::getpid()) + "/fd/"}) {
        if (path.rfind(prefix, 0) != 0) continue;
        int n = -1;
        const char* end = path.data() + path.size();
        const auto [ptr, ec] = std::from_chars(path.data() + prefix.size(), end, n);
        return ec == std::errc() && ptr == end ? n : -1;
    }
    return -1;
}

// A new file of our own in `dir` (0666 less the umask, never through a planted link); its
// descriptor, or -1 with errno set.
int createUnique(const std::string& dir, const std::string& stem, std::string& path) {
    std::random_device random;
    for (int tries = 0; tries < 100; ++tries) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
        path = dir + "/" + stem + suffix;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

std::string writeAll(int fd, std::string_view bytes) {
    const serial::SetupDeadline deadline(kDirectWriteMs, false);
    while (!bytes.empty()) {
        const ssize_t w = ::write(fd, bytes.data(), bytes.size());
        if (w > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(w));
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) return std::strerror(errno);
        if (serial::pollInSlices(fd, POLLOUT, deadline) != serial::SliceWait::Ready)
            return "its reader took nothing for " + std::to_string(kDirectWriteMs / 1000) + " s";
    }
    return {};
}

std::string readWhole(const std::string& path, std::string& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) bytes.append(buffer, static_cast<std::size_t>(n));
    const int err = errno;
    ::close(fd);
    return n < 0 ? std::strerror(err) : std::string();
}

} // namespace

OutputFile::OutputFile(std::string what, std::string path) : what_(std::move(what)), path_(std::move(path)) {}

OutputFile::~OutputFile() {
    if (!staging_.empty()) ::unlink(staging_.c_str());
}

OutputFile::Target OutputFile::resolve() const {
    Target t;
    std::string p = path_;
    for (int hops = 0; hops < kMaxLinks; ++hops) {
        struct stat st {};
        if ((t.fd = ownDescriptor(p)) >= 0) {
            t.kind = Target::Kind::Descriptor;
            if (::fstat(t.fd, &st) != 0) t.error = errno;
            t.dev = st.st_dev, t.ino = st.st_ino, t.mode = st.st_mode;
            return t;
        }
        t.path = p;
        if (::lstat(p.c_str(), &st) != 0) {
            t.error = errno == ENOENT ? 0 : errno;
            return t;
        }
        if (S_ISLNK(st.st_mode) && p.rfind("/proc/", 0) != 0) {
            char target[4096];
            const ssize_t n = ::readlink(p.c_str(), target, sizeof target - 1);
            if (n <= 0) break;
            const std::string link(target, static_cast<std::size_t>(n));
            p = link[0] == '/' ? link : directoryOf(p) + "/" + link;
            continue;
        }
        // What /proc names (another process's descriptors) is written where it is, as a device is.
        if (::stat(p.c_str(), &st) != 0) break;
        t.dev = st.st_dev, t.ino = st.st_ino, t.mode = st.st_mode;
        t.kind = S_ISREG(st.st_mode) && p.rfind("/proc/", 0) != 0 ? Target::Kind::Regular
                 : S_ISDIR(st.st_mode)                            ? Target::Kind::Directory
                                                                  : Target::Kind::Direct;
        return t;
    }
    t.error = ELOOP;
    return t;
}

std::string OutputFile::problem(const RunInputs& inputs) const {
    const Target t = resolve();
    if (t.error != 0) return std::strerror(t.error);
    switch (t.kind) {
    case Target::Kind::Directory:
        return "it is a directory";
    case Target::Kind::Descriptor: {
        const int flags = ::fcntl(t.fd, F_GETFL);
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY)
            return "descriptor " + std::to_string(t.fd) + " is not open for writing";
        break;
    }
    case Target::Kind::Direct:
        if (::access(t.path.c_str(), W_OK) != 0) return std::strerror(errno);
        break;
    case Target::Kind::Regular:
    case Target::Kind::Missing: {
        // Replaced by a rename in its directory: that is what must be writable.
        const std::string dir = directoryOf(t.path);
        if (::access(dir.c_str(), W_OK) != 0) return dir + ": " + std::strerror(errno);
        if (t.kind == Target::Kind::Regular && ::access(t.path.c_str(), W_OK) != 0)
            return "the file is not writable";
        break;
    }
    }
    if (t.kind == Target::Kind::Missing) return {};
    for (const auto& [role, input] : inputs) {
        struct stat st {};
        if (::stat(input.c_str(), &st) == 0 && st.st_dev == t.dev && st.st_ino == t.ino)
            return "it is the run's " + role + " " + input;
    }
    return {};
}

bool OutputFile::sameFileAs(const OutputFile& other) const {
    const Target a = resolve(), b = other.resolve();
    if (a.kind == Target::Kind::Missing || b.kind == Target::Kind::Missing) return a.path == b.path;
    return a.kind == Target::Kind::Regular && a.dev == b.dev && a.ino == b.ino;
}

std::string OutputFile::failed(const std::string& reason) const {
    return "cannot write the " + what_ + " " + serial::escapeFileName(path_) + ": " + reason;
}

std::string OutputFile::writeInPlace(std::string_view bytes, const Target& t) const {
    if (t.kind == Target::Kind::Descriptor) {
        // Our own output: what the program printed before goes out first.
        std::fflush(nullptr);
        return writeAll(t.fd, bytes);
    }
    // Not blocking: a FIFO nobody reads fails at once instead of holding the run's end up.
    const int fd = ::open(t.path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENXIO ? "no program reads it" : std::strerror(errno);
    std::string reason = writeAll(fd, bytes);
    if (::close(fd) != 0 && reason.empty()) reason = std::strerror(errno);
    return reason;
}

bool OutputFile::write(std::string_view bytes, std::string& error) {
    const Target t = resolve();
    if (t.kind == Target::Kind::Descriptor || t.kind == Target::Kind::Direct) {
        const std::string reason = writeInPlace(bytes, t);
        if (!reason.empty()) error = failed(reason);
        return reason.empty();
    }
    if (staging(error).empty()) return false;
    const int fd = ::open(staging_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    std::string reason = fd < 0 ? std::strerror(errno) : writeAll(fd, bytes);
    if (fd >= 0 && ::close(fd) != 0 && reason.empty()) reason = std::strerror(errno);
    if (!reason.empty()) {
        error = failed(reason);
        return false;
    }
    return commit(error);
}

std::string OutputFile::staging(std::string& error) {
    if (!staging_.empty()) return staging_;
    const Target t = resolve();
    stagedBeside_ = t.kind == Target::Kind::Regular || t.kind == Target::Kind::Missing;
    // Beside the target, so that the rename stays on its file system; elsewhere for a target that
    // is written in place.
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = stagedBeside_ ? directoryOf(t.path) : std::string(tmp && *tmp ? tmp : "/tmp");
    const int fd = createUnique(dir, stagedBeside_ ? "." + baseOf(t.path) : "brimwell-" + what_, staging_);
    if (fd < 0) {
        error = failed(dir + ": " + std::strerror(errno));
        staging_.clear();
        return {};
    }
    // A file replaced keeps its permissions.
    if (t.kind == Target::Kind::Regular) ::fchmod(fd, t.mode & 07777);
    ::close(fd);
    return staging_;
}

bool OutputFile::commit(std::string& error) {
    if (staging_.empty()) return true;
    const std::string staged = std::exchange(staging_, {});
    struct stat st {};
    if (::stat(staged.c_str(), &st) != 0 || st.st_size == 0) {
        ::unlink(staged.c_str()); // nothing was written: the target stays as it was
        return true;
    }
    // The target may have changed kind since the run began (a file replaced by a FIFO, say).
    const Target t = resolve();
    const bool replace = t.kind == Target::Kind::Regular || t.kind == Target::Kind::Missing;
    std::string reason;
    if (replace && stagedBeside_) {
        const int fd = ::open(staged.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
        if (::rename(staged.c_str(), t.path.c_str()) == 0) return true;
        reason = std::strerror(errno);
    } else if (t.kind == Target::Kind::Directory) {
        reason = "it is a directory";
    } else {
        std::string bytes;
        reason = readWhole(staged, bytes);
        if (reason.empty() && replace) {
            ::unlink(staged.c_str());
            return write(bytes, error);
        }
        if (reason.empty()) reason = writeInPlace(bytes, t);
    }
    ::unlink(staged.c_str());
    if (!reason.empty()) error = failed(reason);
    return reason.empty();
}

} // namespace brimwell::cli
