// Index arithmetic of the byte ring, in one place for both directions of a port.
#include "serial/byte_ring.h"

#include <algorithm>
#include <cstring>

namespace brimwell::serial {

void ByteRing::reset(uint32_t capacity) {
    buffer_.assign(capacity, 0);
    if (capacity == 0) buffer_.shrink_to_fit();
    clear();
}

uint32_t ByteRing::used() const {
    if (head_ == tail_) return full_ ? capacity() : 0;
    return head_ > tail_ ? head_ - tail_ : head_ + capacity() - tail_;
}

void ByteRing::write(const uint8_t* src, uint32_t n) {
    if (n == 0) return;
    const uint32_t first = std::min(n, capacity() - head_);
    std::memcpy(buffer_.data() + head_, src, first);
    if (first < n) std::memcpy(buffer_.data(), src + first, n - first);
    commit(n);
}

void ByteRing::peek(uint8_t* dst, uint32_t offset, uint32_t n) const {
    if (n == 0) return;
    const uint32_t from = (tail_ + offset) % capacity();
    const uint32_t first = std::min(n, capacity() - from);
    std::memcpy(dst, buffer_.data() + from, first);
    if (first < n) std::memcpy(dst + first, buffer_.data(), n - first);
}

uint8_t ByteRing::at(uint32_t offset) const {
    return buffer_[(tail_ + offset) % capacity()];
}

void ByteRing::consume(uint32_t n) {
    n = std::min(n, used());
    if (n == 0) return;
    tail_ = (tail_ + n) % capacity();
    full_ = false;
    if (tail_ == head_) head_ = tail_ = 0;
}

void ByteRing::clear() {
    head_ = tail_ = 0;
    full_ = false;
}

void ByteRing::freeSpans(Span& first, Span& second) {
    first = second = Span{};
    const uint32_t room = freeSpace();
    if (room == 0) return;
    first.data = buffer_.data() + head_;
    first.length = std::min(room, capacity() - head_);
    if (first.length < room) second = Span{buffer_.data(), room - first.length};
}

void ByteRing::commit(uint32_t n) {
    if (n == 0) return;
    head_ = (head_ + n) % capacity();
    full_ = head_ == tail_;
}

void ByteRing::usedSpans(Span& first, Span& second) {
    first = second = Span{};
    const uint32_t n = used();
    if (n == 0) return;
    first.data = buffer_.data() + tail_;
    first.length = std::min(n, capacity() - tail_);
    if (first.length < n) second = Span{buffer_.data(), n - first.length};
}

} // namespace brimwell::serial
