// Growth and removal rules of the terminal's intake queue.
#include "terminal/widget/byte_queue.h"

#include <cstring>
#include <limits>
#include <string>

namespace brimwell {

TQuavByteQueue::TQuavByteQueue() : block_(new uint8_t[2 * kInitialCapacity]), capacity_(kInitialCapacity) {}

void TQuavByteQueue::grow(int n) {
    if (n < 0) throw EQuavByteQueueError("TQuavByteQueue: negative byte count");
    const int64_t needed = int64_t(count_) + n;
    if (needed > std::numeric_limits<int>::max() / 4)
        throw EQuavByteQueueError("TQuavByteQueue: queue would exceed its size limit");
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

void TQuavByteQueue::Put(const void* data, int n) {
    if (n <= 0) return;
    grow(n);
    std::memcpy(block_.get() + count_, data, size_t(n));
    count_ += n;
    reserved_ = 0;
}

uint8_t* TQuavByteQueue::Reserve(int n) {
    grow(n < 0 ? 0 : n);
    reserved_ = n < 0 ? 0 : n;
    return block_.get() + count_;
}

void TQuavByteQueue::Commit(int n) {
    if (n < 0 || n > reserved_)
        throw EQuavByteQueueError("TQuavByteQueue: commit of " + std::to_string(n) + " bytes exceeds the " +
                                  std::to_string(reserved_) + " reserved");
    count_ += n;
    reserved_ = 0;
}

void TQuavByteQueue::notEnough(int requested) const {
    throw EQuavByteQueueError("Not enough data in queue (" + std::to_string(count_) +
                              " bytes) to satisfy read request (" + std::to_string(requested) + " bytes)");
}

const uint8_t* TQuavByteQueue::Peek(int n) const {
    if (n < 0 || n > count_) notEnough(n);
    return block_.get();
}

void TQuavByteQueue::remove(int n) {
    if (n < 0 || n > count_) notEnough(n);
    count_ -= n;
    if (count_ > 0) std::memmove(block_.get(), block_.get() + n, size_t(count_));
    reserved_ = 0;
}

void TQuavByteQueue::clear() {
    count_ = 0;
    reserved_ = 0;
}

} // namespace brimwell
