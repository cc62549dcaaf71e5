// Text output shared by the trace and the dispatch log: the buffered file both are written to,
// the rendering of one recorded byte, and the 78-column wrapping of rendered items.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "serial/error_codes.h"

namespace brimwell::serial {

// How recorded bytes are written. hex: non-printable bytes as [XX] (and a space counts as
// non-printable), else as [decimal]; allHex: every byte as [XX].
struct RecorderFileOptions {
    bool append = false;
    bool hex = true;
    bool allHex = false;
};

inline constexpr std::string_view kRecorderLineEnd = "\r\n";
// Items are wrapped once a line would grow past this many columns.
inline constexpr uint32_t kRecorderWrapColumn = 78;

// A recorder's buffer of n elements (1 to max): 0, -1002 for a size outside that, -8 when memory
// runs out. Zero is refused because a recorder must always have room for its next entry.
template <typename T> int32_t allocateRecorderBuffer(std::unique_ptr<T[]>& buffer, uint32_t n, uint32_t max) {
    if (n == 0 || n > max) return result::kBadArgument;
    buffer.reset(new (std::nothrow) T[n]);
    return buffer ? result::kOk : result::kOutOfMemory;
}

// The rendering of one byte ("A", "[0D]", "[13]"); its length is its width in columns.
struct RenderedByte {
    char text[6];
    uint32_t width;
    std::string_view view() const { return {text, width}; }
};
RenderedByte renderRecordedByte(uint8_t byte, bool hex, bool allHex);

// A file written through a buffer. The first failure of open, write or close is kept and
// returned by close(), as minus the system's error number.
class RecorderFile {
  public:
    RecorderFile() = default;
    ~RecorderFile();
    RecorderFile(const RecorderFile&) = delete;
    RecorderFile& operator=(const RecorderFile&) = delete;

    // Appends when asked (creating a missing file), else creates or replaces. 0 or -errno.
    int32_t open(const std::string& path, bool append);
    void put(std::string_view text);
    void put(char c);
    // 0, or minus the error number of the first failure since open.
    int32_t close();

  private:
    void flush();

    int fd_ = -1;
    int error_ = 0;
    std::string buffer_;
};

// Writes items one after another and starts a new line before an item that would pass the wrap
// column. A continuation line starts with `indent`, and its column count starts at `base`.
class WrappedItems {
  public:
    WrappedItems(RecorderFile& file, uint32_t base, std::string_view indent)
        : file_(file), base_(base), indent_(indent), column_(base) {}
    void restart(uint32_t column) { column_ = column; }
    void put(std::string_view item);

  private:
    RecorderFile& file_;
    uint32_t base_;
    std::string_view indent_;
    uint32_t column_;
};

} // namespace brimwell::serial
