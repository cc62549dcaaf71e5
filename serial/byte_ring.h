// A fixed-capacity byte ring: the dispatcher's input ring and its output ring are both one of
// these. Not thread-safe; the owner guards it with its input or output lock.
#pragma once

#include <cstdint>
#include <vector>

namespace brimwell::serial {

class ByteRing {
  public:
    // A contiguous stretch of the ring: the free space to fill, or the bytes to take.
    struct Span {
        uint8_t* data = nullptr;
        uint32_t length = 0;
    };

    // Allocates `capacity` bytes (0 releases the storage) and empties the ring.
    void reset(uint32_t capacity);
    bool allocated() const { return !buffer_.empty(); }
    uint32_t capacity() const { return static_cast<uint32_t>(buffer_.size()); }
    uint32_t used() const;
    uint32_t freeSpace() const { return capacity() - used(); }
    bool full() const { return full_; }
    bool empty() const { return used() == 0; }

    // Appends n bytes; the caller has checked that they fit.
    void write(const uint8_t* src, uint32_t n);
    // Copies n bytes starting `offset` bytes after the oldest; the caller has checked they exist.
    void peek(uint8_t* dst, uint32_t offset, uint32_t n) const;
    uint8_t at(uint32_t offset) const;
    // Drops the n oldest bytes (at most what is there). An emptied ring starts again at the front,
    // so the next bytes lie in one piece.
    void consume(uint32_t n);
    void clear();

    // The free space as at most two stretches, in the order they are filled; commit() counts
    // what was put there.
    void freeSpans(Span& first, Span& second);
    void commit(uint32_t n);
    // The waiting bytes as at most two stretches, oldest first (second is empty unless they wrap).
    void usedSpans(Span& first, Span& second);

  private:
    std::vector<uint8_t> buffer_;
    uint32_t head_ = 0; // where the next byte goes
    uint32_t tail_ = 0; // the oldest byte
    bool full_ = false; // head == tail is then a full ring, not an empty one
};

} // namespace brimwell::serial
