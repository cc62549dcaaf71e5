// The dispatcher's byte paths: receiving into the input ring and the reads out of it (which honour
// avail mode during a notification), the output ring with its puts and the output thread's side,
// and the two wake-ups for sleepers: bytes arrived, output ring emptied.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "serial/dispatcher.h"
#include "serial/dispatcher_state.h"
#include "serial/event_fd.h"

namespace brimwell::serial {

DispatcherState::~DispatcherState() {
    if (inputEventFd.load() >= 0) ::close(inputEventFd.load());
}

// ---- Input ----------------------------------------------------------------------------------

bool Dispatcher::inputFull() {
    Lock in(s_->inputLock);
    return s_->in.full();
}

void Dispatcher::Work::receive(Dispatcher& d) {
    uint32_t got = 0;
    {
        Lock in(d.s_->inputLock);
        if (!d.s_->in.allocated() || d.s_->in.full() || d.s_->portError.load() != 0) return;
        const LineStatus status = d.readLineStatus();
        if (status.inQueue == 0) return;
        ByteRing::Span first, second;
        d.s_->in.freeSpans(first, second);
        uint32_t want = std::min(first.length + second.length, status.inQueue);
        // At most two reads: the free space up to the end of the ring, then from its start.
        for (ByteRing::Span span : {first, second}) {
            const uint32_t ask = std::min(span.length, want);
            if (ask == 0) break;
            const int32_t r = d.readCom(span.data, ask);
            const uint32_t n = r > 0 ? static_cast<uint32_t>(r) : 0;
            d.s_->recorders.addDispatchEntry(DispatchType::Dispatch, DispatchSubType::ReadCom, n, span.data,
                                             n);
            d.s_->in.commit(n);
            d.s_->totalIn += n;
            got += n;
            want -= n;
            if (n < ask) break;
        }
        d.bytesReceived_.fetch_add(got, std::memory_order_relaxed);
    }
    if (got > 0 && d.s_->inputWaiters.load() > 0) signalEventFd(d.s_->inputEventFd.load());
}

// The descriptor is made on first use and kept until the dispatcher goes: a reader that sleeps on
// it never finds it closed under it.
int Dispatcher::beginInputWait() {
    Lock in(s_->inputLock);
    if (!s_->open.load()) return -1;
    if (s_->inputEventFd.load() < 0) s_->inputEventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Registered before the caller looks at the ring, so bytes received after that look signal.
    s_->inputWaiters.fetch_add(1);
    return s_->inputEventFd;
}

void Dispatcher::clearInputSignal() {
    drainEventFd(s_->inputEventFd.load());
}

void Dispatcher::endInputWait() {
    s_->inputWaiters.fetch_sub(1);
}

bool Dispatcher::charReady() {
    Lock in(s_->inputLock);
    return s_->readable() > 0;
}

uint32_t Dispatcher::inBuffUsed() {
    Lock in(s_->inputLock);
    return s_->readable();
}

uint32_t Dispatcher::inBuffFree() {
    Lock in(s_->inputLock);
    return kInputBufferSize - s_->readable();
}

int32_t Dispatcher::peekChar(uint8_t& c, uint32_t n) {
    Lock in(s_->inputLock);
    if (n == 0 || s_->readable() < n) return result::kBufferIsEmpty;
    c = s_->in.at(s_->readOffset() + n - 1);
    return result::kOk;
}

int32_t Dispatcher::getChar(uint8_t& c) {
    Lock in(s_->inputLock);
    const int32_t r = peekChar(c, 1);
    if (r < 0) return r;
    if (s_->availMode)
        ++s_->availReadCount;
    else
        s_->in.consume(1);
    s_->recorders.traceBytes(kTraceReceive, &c, 1);
    return result::kOk;
}

int32_t Dispatcher::peekBlock(void* buffer, uint32_t n) {
    Lock in(s_->inputLock);
    if (s_->readable() < n) return result::kBufferIsEmpty;
    if (n == 0) return 0;
    s_->in.peek(static_cast<uint8_t*>(buffer), s_->readOffset(), n);
    return static_cast<int32_t>(n);
}

int32_t Dispatcher::getBlock(void* buffer, uint32_t n) {
    Lock in(s_->inputLock);
    const int32_t r = peekBlock(buffer, n);
    if (r <= 0) return r;
    if (s_->availMode)
        s_->availReadCount += n;
    else
        s_->in.consume(n);
    s_->recorders.traceBytes(kTraceReceive, buffer, n);
    return r;
}

// Takes the main lock (the partial matches of the data triggers) under the input lock.
int32_t Dispatcher::flushInBuffer() {
    Lock in(s_->inputLock);
    const int32_t failed = s_->portError.load();
    const int32_t r = failed != 0 ? failed : s_->open.load() ? device().purge(Direction::Input) : 0;
    Lock guard(s_->mainLock);
    if (s_->availMode) {
        // The notification under way removes everything when it ends.
        s_->availMax = s_->in.used();
    } else {
        s_->in.consume(s_->in.used());
        s_->availReadCount = 0;
        s_->triggers.skipScanTo(s_->totalIn);
    }
    s_->triggers.resetPartialMatches();
    return r;
}

// ---- Output ---------------------------------------------------------------------------------

LineStatus Dispatcher::readLineStatus() {
    const LineStatus status = device().lineStatus();
    s_->errorAccum.fetch_or(status.errors.bits());
    return status;
}

int32_t Dispatcher::putChar(uint8_t c) {
    return putBlock(&c, 1);
}

int32_t Dispatcher::putString(std::string_view s) {
    return putBlock(s.data(), static_cast<uint32_t>(s.size()));
}

int32_t Dispatcher::putBlock(const void* buffer, uint32_t n) {
    if (n == 0) return 0;
    if (!s_->open.load()) return result::kCommNotOpen;
    if (const int32_t failed = s_->portError.load(); failed != 0) return failed;
    {
        // The device's error bits are not read here: the dispatcher thread gathers them at least
        // every 50 ms, and a put costs no device call. (Neither does a put ever clear errors that
        // getLineError has not reported yet.)
        Lock out(s_->outputLock);
        if (!s_->out.allocated() || n > s_->out.freeSpace()) return result::kOutputBufferTooSmall;
        // Recorded under the output lock, so that concurrent puts are recorded in line order, and
        // before the bytes can reach the device, so that an answer is never recorded before them.
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        s_->recorders.addDispatchEntry(DispatchType::Dispatch, DispatchSubType::WriteCom, n, bytes, n);
        s_->recorders.traceBytes(kTraceTransmit, bytes, n);
        // On an idle line the bytes go straight to the device; only what it does not take at
        // once waits in the ring. Order is kept: the ring is empty and nothing is being written.
        const uint32_t direct = s_->out.empty() ? std::min(tryWriteDirect(bytes, n), n) : 0;
        if (direct < n) {
            s_->out.write(bytes + direct, n - direct);
            signalOutputRequest();
        }
    }
    s_->outputWritten = true;
    return result::kOk;
}

uint32_t Dispatcher::outBuffUsed() {
    Lock out(s_->outputLock);
    return s_->out.used();
}

uint32_t Dispatcher::outBuffFree() {
    Lock out(s_->outputLock);
    return s_->transmitSize - s_->out.used();
}

void Dispatcher::bufferSizes(uint32_t& receiveSize, uint32_t& transmitSize) const {
    receiveSize = s_->receiveSize;
    transmitSize = s_->transmitSize;
}

uint32_t Dispatcher::tryWriteDirect(const uint8_t*, uint32_t) {
    return 0;
}

int32_t Dispatcher::driverOutQueue() {
    return device().driverOutQueue();
}

uint32_t Dispatcher::driverQueueSize() {
    return device().driverQueueSize();
}

bool Dispatcher::outputPending() {
    Lock out(s_->outputLock);
    return !s_->out.empty();
}

// Wrapped bytes are handed out as two pieces for one gathering write, rather than rotated to the
// front of the ring: the effect on the line is the same without moving the whole ring each time.
bool Dispatcher::takeOutputPieces(ByteRing::Span& first, ByteRing::Span& second) {
    Lock out(s_->outputLock);
    s_->out.usedSpans(first, second);
    return first.length != 0;
}

void Dispatcher::advanceOutput(uint32_t count) {
    bool emptied = false;
    {
        Lock out(s_->outputLock);
        if (count == 0 || !s_->out.allocated()) return;
        s_->out.consume(count);
        emptied = s_->out.empty();
    }
    if (emptied) Work::signalOutputEmpty(*this);
}

void Dispatcher::clearOutputRing() {
    {
        Lock out(s_->outputLock);
        s_->out.clear();
    }
    Work::signalOutputEmpty(*this);
}

// The count is raised before the sleepers are looked at, and a sleeper registers before it reads
// the count (both sequentially consistent), so either the signal sees the sleeper or the sleeper
// sees the new count: no wake-up is lost, and an emptying nobody waits for costs no lock.
void Dispatcher::Work::signalOutputEmpty(Dispatcher& d) {
    d.s_->outEmptied.fetch_add(1);
    if (d.s_->outEmptyWaiters.load() == 0) return;
    { std::lock_guard<std::mutex> g(d.s_->outEmptyMutex); }
    d.s_->outEmptyCv.notify_all();
}

// A failed device drained nothing: its emptied ring does not count as delivered.
bool Dispatcher::waitOutputEmpty(int64_t maxMicros) {
    if (s_->portError.load() != 0) return false;
    if (outBuffUsed() == 0) return true;
    if (maxMicros <= 0) return false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(maxMicros);
    s_->outEmptyWaiters.fetch_add(1);
    const uint64_t seen = s_->outEmptied.load();
    bool empty = outBuffUsed() == 0;
    if (!empty) {
        std::unique_lock<std::mutex> lock(s_->outEmptyMutex);
        s_->outEmptyCv.wait_until(lock, until, [&] {
            return s_->outEmptied.load() != seen || !s_->open.load() || s_->portError.load() != 0;
        });
    }
    s_->outEmptyWaiters.fetch_sub(1);
    return (empty || outBuffUsed() == 0) && s_->portError.load() == 0;
}

int32_t Dispatcher::flushOutBuffer() {
    // The output side of a failed device has stopped and holds nothing.
    if (const int32_t failed = s_->portError.load(); failed != 0) return failed;
    abortOutput();
    clearOutputRing();
    return s_->open.load() ? device().purge(Direction::Output) : 0;
}

} // namespace brimwell::serial
