// Byte pump between a descriptor and the simulated unit, with baud-rate pacing.
#include "tools/unit-sim/line.h"

#include "tools/unit-sim/store.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace brimwell::unitsim {
namespace {

constexpr size_t kReadChunk = 1 << 16;
constexpr Nanos kPacingSlice = 2'000'000;     // paced bytes move in slices of about 2 ms of line time
constexpr size_t kMaxQueuedOutput = 4u << 20; // a host that never reads loses the oldest echo
// Paced, this much is taken from the host ahead of the line: what a host's serial driver keeps
// queued for its UART. A pseudo-terminal lets its writer in again only once its reader has left
// fewer than about 128 bytes in it, under 2 ms at 921600 baud; the bytes taken ahead keep the line
// busy while the writer wakes up, as a real driver's queue would.
constexpr size_t kReadAhead = 4096;

bool continuing(Nanos now, Nanos lineFree) {
    return now >= lineFree && now - lineFree <= kPacingSlice;
}

} // namespace

Line::Line(int fd, std::string source, const SimOptions& options)
    : fd_(fd), source_(std::move(source)), opt_(options),
      unit_(
          options.unit, [this](const LoadRecord& r, const std::vector<uint8_t>& image) { onLoad(r, image); },
          [this](const std::string& text) {
              if (!opt_.quiet || text.rfind("FAULT", 0) == 0) say("NOTE " + source_ + " " + text);
          }) {
    if (options.baud > 0) {
        perByte_ = static_cast<Nanos>(1'000'000'000LL * options.bitsPerByte / options.baud);
        pacedChunk_ = std::max<size_t>(1, static_cast<size_t>(kPacingSlice / std::max<Nanos>(perByte_, 1)));
    }
}

Line::~Line() {
    if (fd_ >= 0) ::close(fd_);
}

void Line::onLoad(const LoadRecord& r, const std::vector<uint8_t>& image) {
    say(loadReport(r, image, opt_.storeDir, source_));
}

short Line::pollEvents(Nanos now) const {
    short ev = 0;
    if (!unit_.hung() && (perByte_ == 0 || ahead_.size() < kReadAhead)) ev |= POLLIN;
    if (!out_.empty() && (perByte_ == 0 || now >= txFree_)) ev |= POLLOUT;
    return ev;
}

Nanos Line::deadline(Nanos now) const {
    Nanos d = unit_.nextDeadline();
    if (perByte_ > 0) {
        if (!ahead_.empty() && !unit_.hung()) d = std::min(d, std::max(rxFree_, now));
        if (!out_.empty() && txFree_ > now) d = std::min(d, txFree_);
    }
    return d;
}

bool Line::readSome(Nanos now) {
    static thread_local uint8_t buf[kReadChunk];
    const size_t want = perByte_ > 0 ? kReadAhead - ahead_.size() : kReadChunk;
    const ssize_t n = ::read(fd_, buf, want);
    if (n == 0) return false; // TCP peer closed
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (perByte_ > 0) {
        if (ahead_.empty()) aheadSince_ = now;
        ahead_.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
    } else
        unit_.receive(buf, static_cast<size_t>(n), now, 0);
    return true;
}

void Line::deliverAhead(Nanos now) {
    if (ahead_.empty() || unit_.hung() || now < rxFree_) return;
    // Bytes that were waiting when the line fell free follow the previous ones back to back,
    // however late this wake-up (a driver's queue would have sent them so), and so do bytes read
    // within a slice after it; later ones found the line idle and start when they came. Timing them
    // by the wake-up would stretch the line and the pacing would run slow.
    const Nanos start = aheadSince_ <= rxFree_ || continuing(aheadSince_, rxFree_) ? rxFree_ : aheadSince_;
    const size_t n = std::min(ahead_.size(), pacedChunk_);
    unit_.receive(reinterpret_cast<const uint8_t*>(ahead_.data()), n, start + perByte_, perByte_);
    ahead_.erase(0, n);
    rxFree_ = start + perByte_ * static_cast<Nanos>(n);
}

bool Line::writeSome(Nanos now) {
    if (out_.empty()) return true;
    size_t want = out_.size();
    if (perByte_ > 0) {
        if (now < txFree_) return true;
        want = std::min(want, pacedChunk_);
    }
    const ssize_t n = ::write(fd_, out_.data(), want);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    out_.erase(0, static_cast<size_t>(n));
    if (perByte_ > 0) txFree_ = (continuing(now, txFree_) ? txFree_ : now) + perByte_ * n;
    return true;
}

bool Line::service(short revents, Nanos now) {
    if (revents & POLLIN) {
        if (!readSome(now)) return false;
    } else if (revents & (POLLHUP | POLLERR)) {
        return false;
    }
    if (perByte_ > 0) deliverAhead(now);
    unit_.tick(now);
    if (unit_.disconnected()) return false;
    unit_.takeOutput(now, out_);
    if (out_.size() > kMaxQueuedOutput) out_.erase(0, out_.size() - kMaxQueuedOutput);
    return writeSome(now);
}

} // namespace brimwell::unitsim
