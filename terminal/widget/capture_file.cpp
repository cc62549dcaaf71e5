// Opening, switching and writing the terminal's capture file.
#include "terminal/widget/capture_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace brimwell::terminal {

CaptureFile::~CaptureFile() {
    close();
}

void CaptureFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void CaptureFile::setMode(CaptureMode mode) {
    if (mode == mode_ || (mode == CaptureMode::Append && mode_ == CaptureMode::On)) return;
    if (mode_ == CaptureMode::On) close();
    mode_ = mode;
    if (mode == CaptureMode::Off) return;
    if (fileName_.empty()) fileName_ = kDefaultCaptureFile;
    if (mode == CaptureMode::On) {
        fd_ = ::open(fileName_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) throw CaptureError("Cannot create file \"" + fileName_ + "\". " + std::strerror(errno));
        return;
    }
    // Appending needs an existing file; it is opened for reading and writing, positioned at its end.
    fd_ = ::open(fileName_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) throw CaptureError("Cannot open file \"" + fileName_ + "\". " + std::strerror(errno));
    if (::lseek(fd_, 0, SEEK_END) < 0) {
        const int err = errno;
        close();
        throw CaptureError("Cannot open file \"" + fileName_ + "\". " + std::strerror(err));
    }
    mode_ = CaptureMode::On;
}

void CaptureFile::setFileName(const std::string& name) {
    if (name == fileName_) return;
    if (mode_ != CaptureMode::Off) {
        setMode(CaptureMode::Off);
        fileName_ = name;
        setMode(CaptureMode::On);
    } else {
        fileName_ = name;
    }
}

void CaptureFile::write(const uint8_t* data, int n) {
    if (mode_ != CaptureMode::On || fd_ < 0) return;
    while (n > 0) {
        const ssize_t done = ::write(fd_, data, size_t(n));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            std::fprintf(stderr, "brimwell: writing the capture file \"%s\" failed (%s); capture stopped\n",
                         fileName_.c_str(), done < 0 ? std::strerror(errno) : "nothing written");
            close();
            return;
        }
        data += done;
        n -= int(done);
    }
}

} // namespace brimwell::terminal
