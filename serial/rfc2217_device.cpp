// The RFC 2217 device layer.
//
// ser2net in front of a pseudo-terminal (and some servers in front of three-wire adapters) reports
// a modem state of 0 without change bits: it cannot read the lines. Such a report leaves CTS, DSR
// and DCD on, as a pty does here; a report with a change bit or a line on is taken as real.
// Flow-control suspend and resume from the server are not acted on: the TCP window already holds
// back a sender the server cannot keep up with.
#include "serial/rfc2217_device.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "serial/error_codes.h"

namespace brimwell::serial {
namespace {

using namespace telnet;

constexpr uint8_t kModemLevels = 0xF0;
constexpr uint8_t kModemChanges = 0x0F;
// Line-state bits worth a notification: break and the receive errors.
constexpr uint8_t kLineStateMask = kLineBreak | kLineFraming | kLineParity | kLineOverrun;
constexpr uint8_t kAllModemState = 0xFF;

bool agreedOption(uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}

uint8_t wireParity(Parity parity) {
    switch (parity) {
    case Parity::Odd:
        return 2;
    case Parity::Even:
        return 3;
    case Parity::Mark:
        return 4;
    case Parity::Space:
        return 5;
    case Parity::None:
        break;
    }
    return 1;
}

uint8_t wireStopBits(StopBits stopBits) {
    return stopBits == StopBits::Two ? 2 : stopBits == StopBits::OnePointFive ? 3 : 1;
}

uint8_t wireFlow(const LineSettings& settings) {
    if (settings.ctsFlow || settings.rts == LineControl::Handshake) return kControlHardware;
    if (settings.xonXoffOut || settings.xonXoffIn) return kControlXonXoff;
    return kControlNoFlow;
}

} // namespace

Rfc2217Device::Rfc2217Device()
    : decoder_({[this](uint8_t verb, uint8_t option) { onNegotiation(verb, option); },
                [this](uint8_t option, const std::string& payload) { onSubnegotiation(option, payload); }}) {}

// The connection is closed while this layer's parts are still whole.
Rfc2217Device::~Rfc2217Device() {
    close();
}

bool Rfc2217Device::connected(int fd, PortError& error) {
    {
        std::lock_guard<std::mutex> g(negotiationMutex_);
        for (bool* table : {weWill_, weDo_, wontSent_, dontSent_})
            std::fill(table, table + 256, false);
        replies_ = 0;
        weWill_[kOptComPort] = weWill_[kOptBinary] = weWill_[kOptSuppressGoAhead] = true;
        weDo_[kOptBinary] = weDo_[kOptSuppressGoAhead] = true;
    }
    {
        std::lock_guard<std::mutex> g(writeMutex_);
        iacOwed_ = headSent_ = false;
        sentValid_ = false;
    }
    {
        std::lock_guard<std::mutex> g(readMutex_);
        decoder_.reset();
        early_.clear();
        earlyAt_ = 0;
    }
    comPortState_ = 0;
    modemReported_ = false;
    lineErrors_ = 0;
    serverBaud_ = 0;
    breakOn_ = false;
    // Every wait of the opening is cut into slices that end on a stop, and none outlasts it.
    const SetupDeadline deadline(kRfc2217NegotiationTimeoutMs);
    opening_ = &deadline;
    openingFd_ = fd;
    auto fail = [&](int32_t code) {
        openingFd_ = -1;
        opening_ = nullptr;
        error = socketFailure(deadline.stopped() ? result::kSocketStopped : code);
        return false;
    };
    // Binary both ways keeps CR NUL and the like out of the data; without suppress-go-ahead a
    // strict server would wait for go-ahead signals.
    const std::string hello = negotiation(kWill, kOptComPort) + negotiation(kDo, kOptBinary) +
                              negotiation(kWill, kOptBinary) + negotiation(kDo, kOptSuppressGoAhead) +
                              negotiation(kWill, kOptSuppressGoAhead);
    if (!sendCommand(hello)) return fail(lostCode() != 0 ? lostCode() : result::kSocketTimedOut);

    uint8_t chunk[16384]; // a server that sends much before it answers is read through quickly
    while (comPortState_.load() == 0) {
        const SliceWait waited = pollInSlices(fd, POLLIN, deadline);
        if (waited == SliceWait::Stopped || waited == SliceWait::TimedOut)
            return fail(result::kSocketNoComPortOption);
        if (waited == SliceWait::Failed) return fail(socketCodeForErrno(errno));
        const ssize_t r = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
            return fail(r == 0 ? result::kSocketConnectionLost : socketCodeForErrno(errno));
        if (r < 0) continue;
        uint8_t data[sizeof chunk];
        std::lock_guard<std::mutex> g(readMutex_);
        const uint32_t n = decoder_.decode(chunk, static_cast<uint32_t>(r), data);
        if (decoder_.oversized()) return fail(result::kSocketOversizedCommand);
        keepEarly(data, n);
    }
    if (comPortState_.load() < 0) return fail(result::kSocketNoComPortOption);
    sendComPort(kCpoSetModemStateMask, std::string(1, char(kAllModemState)));
    sendComPort(kCpoSetLineStateMask, std::string(1, char(kLineStateMask)));
    if (deadline.stopped()) return fail(result::kSocketStopped);
    openingFd_ = -1;
    opening_ = nullptr;
    return true;
}

void Rfc2217Device::onNegotiation(uint8_t verb, uint8_t option) {
    std::string reply;
    {
        std::lock_guard<std::mutex> g(negotiationMutex_);
        // A refusal is said once per option: a peer that keeps asking (or floods requests while
        // it reads nothing) would otherwise fill the socket with answers and hold the port up.
        auto refuse = [&](bool& sent, uint8_t answer) {
            if (!sent) reply = negotiation(answer, option);
            sent = true;
        };
        switch (verb) {
        case kDo:
            if (option == kOptComPort) comPortState_ = 1;
            if (!agreedOption(option))
                refuse(wontSent_[option], kWont);
            else if (!weWill_[option])
                reply = negotiation(kWill, option);
            if (agreedOption(option)) weWill_[option] = true;
            break;
        case kDont:
            if (option == kOptComPort) comPortState_ = -1;
            if (weWill_[option]) reply = negotiation(kWont, option);
            weWill_[option] = false;
            break;
        case kWill:
            // The server offers echo and the like; a serial line wants none of them.
            if (option == kOptComPort || !agreedOption(option))
                refuse(dontSent_[option], kDont);
            else if (!weDo_[option])
                reply = negotiation(kDo, option);
            if (agreedOption(option) && option != kOptComPort) weDo_[option] = true;
            break;
        case kWont:
            if (weDo_[option]) reply = negotiation(kDont, option);
            weDo_[option] = false;
            break;
        default:
            break;
        }
        if (!reply.empty() && ++replies_ > kRfc2217NegotiationReplies) reply.clear();
    }
    if (!reply.empty()) sendCommand(reply);
}

void Rfc2217Device::onSubnegotiation(uint8_t option, const std::string& payload) {
    if (option != kOptComPort || payload.size() < 2) return;
    const auto command = static_cast<uint8_t>(payload[0]);
    const auto value = static_cast<uint8_t>(payload[1]);
    switch (command) {
    case kCpoServerOffset + kCpoSetBaudRate:
        if (payload.size() >= 5) {
            uint32_t baud = 0;
            for (int i = 1; i <= 4; ++i)
                baud = (baud << 8) | static_cast<uint8_t>(payload[i]);
            serverBaud_ = baud;
        }
        break;
    case kCpoServerOffset + kCpoNotifyLineState: {
        LineErrors errors;
        if (value & kLineOverrun) errors.add(LineError::Overrun);
        if (value & kLineParity) errors.add(LineError::Parity);
        if (value & kLineFraming) errors.add(LineError::Framing);
        if (value & kLineBreak) errors.add(LineError::Break);
        if (errors.empty()) break;
        lineErrors_.fetch_or(errors.bits());
        const uint32_t breakBit = static_cast<uint32_t>(LineError::Break);
        post(((errors.bits() & breakBit) ? kEventBreak : 0) |
             ((errors.bits() & ~breakBit) ? kEventError : 0));
        break;
    }
    case kCpoServerOffset + kCpoNotifyModemState: {
        if (!modemReported_.load() && value == 0) break; // a server that cannot read the lines
        const uint8_t before = modemLines().levels();
        modemState_ = value;
        modemReported_ = true;
        const uint8_t moved = static_cast<uint8_t>((before ^ value) & kModemLevels);
        uint32_t events = 0;
        if ((value & 0x01) || (moved & kModemCtsOn)) events |= kEventCts;
        if ((value & 0x02) || (moved & kModemDsrOn)) events |= kEventDsr;
        if ((value & 0x08) || (moved & kModemDcdOn)) events |= kEventRlsd;
        if ((value & 0x04) || (moved & kModemRingOn)) events |= kEventRing;
        if (events != 0 || (value & kModemChanges)) post(events);
        break;
    }
    default:
        break; // answers to settings and mask changes: the values applied are not needed
    }
}

ssize_t Rfc2217Device::sendRaw(int fd, const void* data, std::size_t n) {
    ssize_t w;
    do {
        w = ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (w < 0 && errno == EINTR);
    if (w < 0 && errno != EAGAIN) {
        const int err = errno;
        connectionLost(socketCodeForErrno(err));
        errno = err;
    }
    return w;
}

bool Rfc2217Device::sendCommand(const std::string& bytes) {
    SharedLock device(deviceLock_);
    const int fd = fd_ >= 0 ? fd_ : openingFd_;
    if (fd < 0 || lostCode() != 0) return false;
    // While opening, the opening's own time limit and a stop bound the wait for room.
    const SetupDeadline deadline =
        fd_ < 0 && opening_ != nullptr ? *opening_ : SetupDeadline(kRfc2217CommandTimeoutMs, false);
    std::lock_guard<std::mutex> g(writeMutex_);
    if (iacOwed_) {
        // Completes the escaped 255 that a data write left half sent.
        const char iac = char(kIac);
        if (!sendAll(fd, &iac, 1, deadline)) return false;
        iacOwed_ = false;
        headSent_ = true;
    }
    return sendAll(fd, bytes.data(), bytes.size(), deadline);
}

bool Rfc2217Device::sendComPort(uint8_t command, std::string_view value) {
    return sendCommand(comPortCommand(command, value));
}

ssize_t Rfc2217Device::write(const iovec* iov, int count) {
    SharedLock device(deviceLock_);
    const int fd = fd_;
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    std::lock_guard<std::mutex> g(writeMutex_);
    src_.clear();
    for (int i = 0; i < count; ++i) {
        const auto* p = static_cast<const uint8_t*>(iov[i].iov_base);
        src_.insert(src_.end(), p, p + iov[i].iov_len);
    }
    std::size_t taken = 0;
    const bool headIsIac = !src_.empty() && src_[0] == kIac;
    if (iacOwed_) {
        // After a transmit flush the owed byte's own 255 may be gone; the pair is completed all
        // the same, or the server would read the next byte as a command.
        const uint8_t iac = kIac;
        if (sendRaw(fd, &iac, 1) <= 0) return -1;
        iacOwed_ = false;
        taken = headIsIac ? 1 : 0;
    } else if (headSent_) {
        headSent_ = false;
        taken = headIsIac ? 1 : 0;
    }
    wire_.clear();
    appendEscaped(wire_,
                  std::string_view(reinterpret_cast<const char*>(src_.data()) + taken, src_.size() - taken));
    if (wire_.empty()) return static_cast<ssize_t>(taken);
    const ssize_t w = sendRaw(fd, wire_.data(), wire_.size());
    if (w < 0) {
        if (taken > 0) return static_cast<ssize_t>(taken);
        return -1;
    }
    std::size_t wireUsed = 0;
    for (std::size_t i = taken; i < src_.size(); ++i) {
        const std::size_t len = src_[i] == kIac ? 2 : 1;
        if (wireUsed + len > static_cast<std::size_t>(w)) {
            if (wireUsed < static_cast<std::size_t>(w)) iacOwed_ = true;
            break;
        }
        wireUsed += len;
        ++taken;
    }
    if (taken == 0) {
        // Only half of an escaped 255 went out: the engine waits for room and comes back for it.
        errno = EAGAIN;
        return -1;
    }
    return static_cast<ssize_t>(taken);
}

void Rfc2217Device::keepEarly(const uint8_t* data, uint32_t n) {
    const std::size_t room = kRfc2217EarlyDataLimit - early_.size();
    if (n > room) {
        // Like a receive buffer that overflows: the bytes beyond it are lost, and the line says so.
        lineErrors_.fetch_or(static_cast<uint32_t>(LineError::ReceiveOverflow));
        n = static_cast<uint32_t>(room);
    }
    early_.append(reinterpret_cast<const char*>(data), n);
}

bool Rfc2217Device::peerBrokeFraming() {
    if (!decoder_.oversized()) return false;
    peerFailed(result::kSocketOversizedCommand);
    return true;
}

uint32_t Rfc2217Device::read(uint8_t* buffer, uint32_t n) {
    std::lock_guard<std::mutex> g(readMutex_);
    uint32_t got = 0;
    if (earlyAt_ < early_.size()) {
        // Read from the front without moving the rest: draining costs the bytes read, no more.
        got = static_cast<uint32_t>(std::min<std::size_t>(n, early_.size() - earlyAt_));
        std::copy_n(early_.begin() + static_cast<std::ptrdiff_t>(earlyAt_), got, buffer);
        earlyAt_ += got;
        if (earlyAt_ == early_.size()) {
            early_.clear();
            early_.shrink_to_fit();
            earlyAt_ = 0;
        }
    }
    if (got == n || peerBrokeFraming()) return got;
    raw_.resize(n - got);
    const uint32_t r = receiveRaw(raw_.data(), n - got);
    // Decoded data is never longer than the bytes it came in.
    got += decoder_.decode(raw_.data(), r, buffer + got);
    peerBrokeFraming();
    return got;
}

LineStatus Rfc2217Device::lineStatus() {
    LineStatus status = SocketDevice::lineStatus();
    {
        std::lock_guard<std::mutex> g(readMutex_);
        status.inQueue += static_cast<uint32_t>(early_.size() - earlyAt_);
    }
    status.errors = LineErrors::fromBits(lineErrors_.exchange(0));
    return status;
}

ModemLines Rfc2217Device::modemLines() {
    return modemReported_.load() ? ModemLines::fromLevels(modemState_.load()) : ModemLines::tiedHigh();
}

int32_t Rfc2217Device::apply(const LineSettings& settings) {
    if (settings.baud == 0) return result::kBaudRate;
    if (settings.dataBits < 5 || settings.dataBits > 8) return result::kByteSize;
    LineSettings before;
    bool known;
    {
        std::lock_guard<std::mutex> g(writeMutex_);
        before = sent_;
        known = sentValid_;
    }
    bool ok = true;
    if (!known || before.baud != settings.baud) {
        const uint32_t b = settings.baud;
        const char value[4] = {char(b >> 24), char(b >> 16), char(b >> 8), char(b)};
        ok = ok && sendComPort(kCpoSetBaudRate, std::string_view(value, 4));
    }
    if (!known || before.dataBits != settings.dataBits)
        ok = ok && sendComPort(kCpoSetDataSize, std::string(1, char(settings.dataBits)));
    if (!known || before.parity != settings.parity)
        ok = ok && sendComPort(kCpoSetParity, std::string(1, char(wireParity(settings.parity))));
    if (!known || before.stopBits != settings.stopBits)
        ok = ok && sendComPort(kCpoSetStopSize, std::string(1, char(wireStopBits(settings.stopBits))));
    if (!known || wireFlow(before) != wireFlow(settings)) ok = ok && sendControl(wireFlow(settings));
    if (!ok) return lostCode() != 0 ? lostCode() : result::kSocketTimedOut;
    {
        std::lock_guard<std::mutex> g(writeMutex_);
        sent_ = settings;
        sentValid_ = true;
    }
    return SocketDevice::apply(settings);
}

bool Rfc2217Device::setDtr(bool on) {
    return sendControl(on ? kControlDtrOn : kControlDtrOff);
}

bool Rfc2217Device::setRts(bool on) {
    return sendControl(on ? kControlRtsOn : kControlRtsOff);
}

void Rfc2217Device::setBreak(bool on) {
    if (breakOn_.exchange(on) != on) sendControl(on ? kControlBreakOn : kControlBreakOff);
}

// A receive purge asks the server to drop what it holds and drops what already arrived here
// (decoding it, so that notifications among it still count). Only what waits now is dropped: a
// server that never pauses cannot keep the purge going. A transmit purge sends nothing.
int32_t Rfc2217Device::purge(Direction direction) {
    if (direction != Direction::Input) return 0;
    if (!sendComPort(kCpoPurgeData, std::string(1, char(kPurgeReceive)))) return 0;
    std::lock_guard<std::mutex> g(readMutex_);
    early_.clear();
    earlyAt_ = 0;
    uint8_t raw[4096], data[sizeof raw];
    for (uint32_t left = queuedNow(); left > 0 && !peerBrokeFraming();) {
        const uint32_t r = receiveRaw(raw, std::min<uint32_t>(left, sizeof raw));
        if (r == 0) break;
        left -= r;
        decoder_.decode(raw, r, data);
    }
    return 0;
}

} // namespace brimwell::serial
