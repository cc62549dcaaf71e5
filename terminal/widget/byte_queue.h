// The terminal's intake queue: a growable first-in-first-out byte store whose data always starts at
// the front of its block, so that a block of waiting bytes can be handed on as one pointer.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace brimwell::terminal {

// Raised by Peek and Remove when fewer bytes are held than asked for.
class ByteQueueError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Not thread-safe by itself: the terminal guards it with its own lock, because Reserve/Put may move
// the storage while another thread holds a pointer from Peek.
class ByteQueue {
  public:
    static constexpr int kInitialCapacity = 64;
    static constexpr int kGranule = 64;

    ByteQueue();

    int count() const { return count_; }
    int capacity() const { return capacity_; }

    void put(const void* data, int n);
    // Make room for n more bytes and return where they are to be written; Commit counts them.
    uint8_t* reserve(int n);
    // Counts n bytes written at the reserved place; more than was reserved is refused, since those
    // bytes would lie beyond what Reserve promised.
    void commit(int n);
    const uint8_t* peek(int n) const;
    void remove(int n);
    void clear();

  private:
    void grow(int n);
    [[noreturn]] void notEnough(int requested) const;

    std::unique_ptr<uint8_t[]> block_;
    int capacity_ = 0;
    int count_ = 0;
    int reserved_ = 0; // bytes promised by the last Reserve and not yet committed
};

} // namespace brimwell::terminal
