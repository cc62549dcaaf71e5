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
    if (!unit_.hung() && (perByte_ == 0 || now >= rxFree_)) ev |= POLLIN;
    if (!out_.empty() && (perByte_ == 0 || now >= txFree_)) ev |= POLLOUT;
    return ev;
}

Nanos Line::deadline(Nanos now) const {
    Nanos d = unit_.nextDeadline();
    if (perByte_ > 0) {
        if (rxFree_ > now && !unit_.hung()) d = std::min(d, rxFree_);
        if (!out_.empty() && txFree_ > now) d = std::min(d, txFree_);
    }
    return d;
}

bool Line::readSome(Nanos now) {
    static thread_local uint8_t buf[kReadChunk];
    const size_t want = perByte_ > 0 ? pacedChunk_ : kReadChunk;
    const ssize_t n = ::read(fd_, buf, want);
    if (n == 0) return false; // TCP peer closed
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (perByte_ > 0) {
        // Woken within a slice of the line falling free, the bytes were queued behind the previous
        // ones and follow them back to back; otherwise the line was idle and they start now. Without
        // this, every late wake-up would stretch the line and the pacing would run slow.
        const Nanos start = continuing(now, rxFree_) ? rxFree_ : now;
        unit_.receive(buf, static_cast<size_t>(n), start + perByte_, perByte_);
        rxFree_ = start + perByte_ * n;
    } else {
        unit_.receive(buf, static_cast<size_t>(n), now, 0);
    }
    return true;
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
    unit_.tick(now);
    if (unit_.disconnected()) return false;
    unit_.takeOutput(now, out_);
    if (out_.size() > kMaxQueuedOutput) out_.erase(0, out_.size() - kMaxQueuedOutput);
    return writeSome(now);
}

} // namespace brimwell::unitsim
