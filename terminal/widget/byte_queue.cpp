// Growth and removal rules of the terminal's intake queue.
#include "terminal/widget/byte_queue.h"

#include <cstring>
#include <limits>
#include <string>

namespace brimwell::terminal {

ByteQueue::ByteQueue() : block_(new uint8_t[2 * kInitialCapacity]), capacity_(kInitialCapacity) {}

void ByteQueue::grow(int n) {
    if (n < 0) throw ByteQueueError("TQuavByteQueue: negative byte count");
    const int64_t needed = int64_t(count_) + n;
    if (needed > std::numeric_limits<int>::max() / 4)
        throw ByteQueueError("TQuavByteQueue: queue would exceed its size limit");
    if (capacity_ >= needed) return;
    int64_t cap = capacity_;
    while (cap < needed)
        cap *= 2;
    cap = (cap + kGranule - 1) / kGranule * kGranule;
    if (cap < count_) cap = count_;
    // The block is twice the capacity, as the queue has always allocated it.
    std::unique_ptr<uint8_t[]> fresh(new uint8_t[size_t(2 * cap)]);
    if (count_ > 0) std::memcpy(fresh.get(), block_.get(), size_t(count_));
    block_ = std::move(fresh);
    capacity_ = int(cap);
}

void ByteQueue::put(const void* data, int n) {
    if (n <= 0) return;
    grow(n);
    std::memcpy(block_.get() + count_, data, size_t(n));
    count_ += n;
    reserved_ = 0;
}

uint8_t* ByteQueue::reserve(int n) {
    grow(n < 0 ? 0 : n);
    reserved_ = n < 0 ? 0 : n;
    return block_.get() + count_;
}

void ByteQueue::commit(int n) {
    if (n < 0 || n > reserved_)
        throw ByteQueueError("TQuavByteQueue: commit of " + std::to_string(n) + " bytes exceeds the " +
                             std::to_string(reserved_) + " reserved");
    count_ += n;
    reserved_ = 0;
}

void ByteQueue::notEnough(int requested) const {
    throw ByteQueueError("Not enough data in queue (" + std::to_string(count_) +
                         " bytes) to satisfy read request (" + std::to_string(requested) + " bytes)");
}

const uint8_t* ByteQueue::peek(int n) const {
    if (n < 0 || n > count_) notEnough(n);
    return block_.get();
}

void ByteQueue::remove(int n) {
    if (n < 0 || n > count_) notEnough(n);
    count_ -= n;
    if (count_ > 0) std::memmove(block_.get(), block_.get() + n, size_t(count_));
    reserved_ = 0;
}

void ByteQueue::clear() {
    count_ = 0;
    reserved_ = 0;
}

} // namespace brimwell::terminal
