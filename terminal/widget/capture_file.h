// The terminal's capture file: a raw copy of every byte taken from the intake queue, before
// emulation, with the off / on / append switching rules of the terminal's Capture property.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace brimwell {

enum TQuavCaptureMode { cmOff, cmOn, cmAppend };

inline constexpr const char* kDefaultCaptureFile = "QUAVTERM.CAP";

// A capture file that cannot be created or opened; the message names the file and the reason.
class EQuavCaptureError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class TQuavCaptureFile {
  public:
    TQuavCaptureFile() = default;
    ~TQuavCaptureFile();
    TQuavCaptureFile(const TQuavCaptureFile&) = delete;
    TQuavCaptureFile& operator=(const TQuavCaptureFile&) = delete;

    TQuavCaptureMode Mode() const { return mode_; }
    const std::string& FileName() const { return fileName_; }
    bool isOpen() const { return fd_ >= 0; }

    // Raises EQuavCaptureError when the file cannot be made or opened; the requested mode is kept
    // with no file open, so nothing is captured until the mode is set again.
    void SetMode(TQuavCaptureMode mode);
    // A new name while capturing starts a new, empty file under that name.
    void SetFileName(const std::string& name);

    // Appends the bytes when capture is on and the file is open. A failing write closes the file
    // (and says so once on stderr) rather than pretending the copy goes on.
    void write(const uint8_t* data, int n);

  private:
    void close();

    TQuavCaptureMode mode_ = cmOff;
    std::string fileName_ = kDefaultCaptureFile;
    int fd_ = -1;
};

} // namespace brimwell
