// Text output shared by the trace and the dispatch log.
#include "serial/recorder_text.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace brimwell::serial {
namespace {

// A dump of a full trace runs to tens of megabytes of text; it goes out in slices of this size.
constexpr size_t kFlushSize = 64 * 1024;

} // namespace

RenderedByte renderRecordedByte(uint8_t byte, bool hex, bool allHex) {
    RenderedByte r{};
    // In hexadecimal mode a space would be invisible at a line end, so it is bracketed too.
    const uint8_t firstPrintable = hex ? 33 : 32;
    if (!allHex && byte >= firstPrintable && byte <= 126) {
        r.text[0] = static_cast<char>(byte);
        r.width = 1;
    } else {
        const int n = std::snprintf(r.text, sizeof r.text, (allHex || hex) ? "[%02X]" : "[%u]", byte);
        r.width = static_cast<uint32_t>(n);
    }
    return r;
}

RecorderFile::~RecorderFile() {
    if (fd_ >= 0) ::close(fd_);
}

int32_t RecorderFile::open(const std::string& path, bool append) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    fd_ = ::open(path.c_str(), flags, 0644);
    if (fd_ < 0) return -errno;
    error_ = 0;
    buffer_.clear();
    buffer_.reserve(kFlushSize + 256);
    return 0;
}

void RecorderFile::put(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= kFlushSize) flush();
}

void RecorderFile::put(char c) {
    buffer_.push_back(c);
    if (buffer_.size() >= kFlushSize) flush();
}

void RecorderFile::flush() {
    size_t done = 0;
    while (error_ == 0 && done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            error_ = errno;
        else
            done += static_cast<size_t>(n);
    }
    buffer_.clear();
}

int32_t RecorderFile::close() {
    if (fd_ < 0) return 0;
    flush();
    // A full disk may only show at close (delayed allocation); the dump must not claim success then.
    if (::close(fd_) != 0 && error_ == 0) error_ = errno;
    fd_ = -1;
    return -error_;
}

void WrappedItems::put(std::string_view item) {
    const auto width = static_cast<uint32_t>(item.size());
    column_ += width;
    if (column_ > kRecorderWrapColumn) {
        file_.put(kRecorderLineEnd);
        file_.put(indent_);
        column_ = base_ + width;
    }
    file_.put(item);
}

} // namespace brimwell::serial
