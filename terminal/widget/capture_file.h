// The terminal's capture file: a raw copy of every byte taken from the intake queue, before
// emulation, with the off / on / append switching rules of the terminal's Capture property.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace brimwell::terminal {

enum class CaptureMode { Off, On, Append };

inline constexpr const char* kDefaultCaptureFile = "QUAVTERM.CAP";

// A capture file that cannot be created or opened; the message names the file and the reason.
class CaptureError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class CaptureFile {
  public:
    CaptureFile() = default;
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    CaptureMode mode() const { return mode_; }
    const std::string& fileName() const { return fileName_; }
    bool isOpen() const { return fd_ >= 0; }

    // Raises CaptureError when the file cannot be made or opened; the requested mode is kept
    // with no file open, so nothing is captured until the mode is set again.
    void setMode(CaptureMode mode);
    // A new name while capturing starts a new, empty file under that name.
    void setFileName(const std::string& name);

    // Appends the bytes when capture is on and the file is open. A failing write closes the file
    // (and says so once on stderr) rather than pretending the copy goes on.
    void write(const uint8_t* data, int n);

  private:
    void close();

    CaptureMode mode_ = CaptureMode::Off;
    std::string fileName_ = kDefaultCaptureFile;
    int fd_ = -1;
};

} // namespace brimwell::terminal
