// Reading a run's files in pieces.
#include "script/file_pieces.h"

#include "serial/setup_stop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace brimwell::script {
namespace {

constexpr std::size_t kPieceBytes = 64 * 1024;

std::string byteCount(uint64_t bytes) {
    if (bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + " MiB";
    return std::to_string(bytes) + " bytes";
}

} // namespace

ReadEnd readInPieces(const std::string& path, const PieceReading& how,
                     const std::function<bool(std::string_view)>& piece, int& error) {
    auto stopped = [&] { return how.stopped ? how.stopped() : serial::setupStopRaised(); };
    // Not blocking: a FIFO without a writer must not hold the open, nor one that goes quiet a read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return ReadEnd::Failed;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // A regular file tells its size: one that is wanted whole is not read past the limit to find
    // out that it is longer.
    struct stat st {};
    if (how.whole && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) > how.limit)
        return ReadEnd::TooLong;
    std::string buffer(kPieceBytes, '\0');
    uint64_t total = 0;
    auto lastByte = std::chrono::steady_clock::now();
    for (;;) {
        if (stopped()) return ReadEnd::Stopped;
        const ssize_t r = ::read(fd, buffer.data(), buffer.size());
        if (r == 0) return ReadEnd::Whole;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EAGAIN) {
            if (std::chrono::steady_clock::now() - lastByte >= std::chrono::milliseconds(kFileStallMs))
                return ReadEnd::Stalled;
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, serial::kSetupSliceMs);
            continue;
        }
        if (r < 0) {
            error = errno;
            return ReadEnd::Failed;
        }
        lastByte = std::chrono::steady_clock::now();
        const uint64_t given = std::min<uint64_t>(static_cast<uint64_t>(r), how.limit - total);
        total += given;
        if (given > 0 && !piece(std::string_view(buffer.data(), given))) return ReadEnd::Enough;
        if (given < static_cast<uint64_t>(r)) return ReadEnd::TooLong;
    }
}

std::string notRegularFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
    switch (st.st_mode & S_IFMT) {
    case S_IFREG:
        return {};
    case S_IFDIR:
        return "it is a directory";
    case S_IFCHR:
    case S_IFBLK:
        return "it is a device, not a file";
    case S_IFIFO:
        return "it is a FIFO (named pipe), not a file";
    case S_IFSOCK:
        return "it is a socket, not a file";
    default:
        return "it is not a regular file";
    }
}

std::string readEndText(ReadEnd end, const PieceReading& how, int error) {
    switch (end) {
    case ReadEnd::Whole:
    case ReadEnd::Enough:
        return {};
    case ReadEnd::TooLong:
        return "it is longer than " + byteCount(how.limit);
    case ReadEnd::Stopped:
        return "reading it was stopped";
    case ReadEnd::Stalled:
        return "nothing more came from it for " + std::to_string(kFileStallMs / 1000) + " s";
    case ReadEnd::Failed:
        return std::strerror(error);
    }
    return {};
}

} // namespace brimwell::script
