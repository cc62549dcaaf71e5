// The trace: every byte the application took from or handed to a port, in order, as (kind, byte)
// entries in a fixed-size circular buffer, written out as text on request. Not thread-safe by
// itself; the port's Recorders serialise access.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/recorder_text.h"

namespace brimwell::serial {

inline constexpr uint32_t kTraceSizeMax = 4000000;
inline constexpr char kTraceReceive = 'R';  // a byte taken out of the input buffer by a read
inline constexpr char kTraceTransmit = 'T'; // a byte written by a block put

class TraceRecorder {
  public:
    // Allocates `entries` entries, or empties the buffer that exists (keeping its capacity).
    // 0; -1002 for 0 or more than kTraceSizeMax entries; -8 when memory runs out.
    int32_t init(uint32_t entries);
    bool hasBuffer() const { return entries_ != nullptr; }
    bool empty() const { return pos_ == 0 && !wrapped_; }
    uint32_t capacity() const { return capacity_; }
    void clear();
    void release();

    // Cheap enough for every byte of a transfer: no allocation, no formatting.
    void add(char kind, const uint8_t* bytes, uint32_t n) {
        while (n > 0) {
            const uint32_t room = capacity_ - pos_;
            const uint32_t k = n < room ? n : room;
            Entry* e = entries_.get() + pos_;
            for (uint32_t i = 0; i < k; ++i)
                e[i] = Entry{kind, bytes[i]};
            pos_ += k;
            bytes += k;
            n -= k;
            if (pos_ == capacity_) {
                pos_ = 0;
                wrapped_ = true;
            }
        }
    }

    // Writes the entries, oldest first, and frees the buffer. An empty buffer is freed without
    // touching the file. 0 or minus the error number. When the file cannot be opened or written
    // the buffer is kept, so that the trace is not lost and can be written under another name.
    int32_t write(const std::string& path, const RecorderFileOptions& options);

  private:
    struct Entry {
        char kind;
        uint8_t byte;
    };
    std::unique_ptr<Entry[]> entries_;
    uint32_t capacity_ = 0;
    uint32_t pos_ = 0;
    bool wrapped_ = false;
};

} // namespace brimwell::serial
