// The paced line: a driver's transmit queue drained by a pacing thread at the line's byte time.
#include "tools/paced-line/paced_line_device.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "serial/device_layers.h"
#include "serial/error_codes.h"

namespace brimwell::paced {
namespace {

// A tty driver wakes a writer that found it full once this much room is free again.
constexpr size_t kWakeupRoom = 256;
// How long delivery waits for the tty behind the line before it looks at a stop request again.
constexpr int kDeliveryPollMs = 10;
constexpr int kBitsPerByte = 10; // start, 8 data bits, stop
constexpr int64_t kLargestQueue = 1 << 24;

bool number(const std::string& text, int64_t& out) {
    // Up to 18 digits: always within int64_t.
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stoll(text);
    return true;
}

} // namespace

std::optional<LineOptions> parseLineName(const std::string& name, std::string& error) {
    if (name.rfind(kPacedPrefix, 0) != 0) {
        error = "not a paced line: " + name;
        return std::nullopt;
    }
    LineOptions o;
    const std::string rest = name.substr(std::string(kPacedPrefix).size());
    const size_t query = rest.find('?');
    o.path = rest.substr(0, query);
    std::string options = query == std::string::npos ? std::string() : rest.substr(query + 1);
    while (!options.empty()) {
        const size_t end = options.find('&');
        const std::string item = options.substr(0, end);
        options = end == std::string::npos ? std::string() : options.substr(end + 1);
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq),
                          value = eq == std::string::npos ? "" : item.substr(eq + 1);
        int64_t n = 0;
        if (key == "unplug-errno" && (value == "EIO" || value == "ENXIO" || value == "ENODEV")) {
            o.unplugErrno = value == "EIO" ? EIO : value == "ENXIO" ? ENXIO : ENODEV;
            continue;
        }
        if (!number(value, n) || (key == "queue" && (n == 0 || n > kLargestQueue))) {
            error = "bad option of a paced line: " + item;
            return std::nullopt;
        }
        if (key == "queue")
            o.queueSize = static_cast<uint32_t>(n);
        else if (key == "refuse-at")
            o.refuseAt = n;
        else if (key == "refusals")
            o.refusals = n;
        else if (key == "unplug-at")
            o.unplugAt = n;
        else if (key == "max-rate")
            o.maxRate = n;
        else {
            error = "unknown option of a paced line: " + item;
            return std::nullopt;
        }
    }
    if (o.path.empty()) {
        error = "a paced line needs the path of the tty behind it";
        return std::nullopt;
    }
    return o;
}

// The pacing threads have ended by now (the engine stops them before it lets go of the layer).
PacedLineDevice::~PacedLineDevice() {
    close();
}

int PacedLineDevice::open(const std::string& name, serial::PortError& error) {
    std::string why;
    const auto parsed = parseLineName(name, why);
    if (!parsed) {
        error = serial::openFailure(EINVAL);
        return -1;
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        options_ = *parsed;
        queue_.clear();
        wire_.clear();
        taken_ = onLine_ = 0;
        refusalsLeft_ = options_.refusals;
        unplugged_ = 0;
    }
    return serial::TermiosDevice::open(options_.path, error);
}

void PacedLineDevice::threadsStarted() {
    serial::TermiosDevice::threadsStarted();
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = false;
    }
    pacer_ = std::thread([this] { paceBody(); });
    wireThread_ = std::thread([this] { wireBody(); });
}

void PacedLineDevice::threadsStopping() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    if (pacer_.joinable()) pacer_.join();
    if (wireThread_.joinable()) wireThread_.join();
    serial::TermiosDevice::threadsStopping();
}

void PacedLineDevice::unplug(int err) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (unplugged_ != 0) return;
        unplugged_ = err;
        queue_.clear();
        wire_.clear();
    }
    changed_.notify_all();
}

uint64_t PacedLineDevice::bytesOnLine() {
    std::lock_guard<std::mutex> g(lock_);
    return onLine_;
}

// As on a vanished adapter, the loss is found by whichever call comes next (the dispatcher's
// periodic pass at the latest).
int PacedLineDevice::gone() {
    int err;
    {
        std::lock_guard<std::mutex> g(lock_);
        err = unplugged_;
    }
    if (err != 0) failed(err);
    return err;
}

std::chrono::nanoseconds PacedLineDevice::byteTime() const {
    return std::chrono::nanoseconds(1'000'000'000LL * kBitsPerByte / std::max<uint32_t>(baud_, 1));
}

int32_t PacedLineDevice::apply(const serial::LineSettings& settings) {
    if (const int err = gone()) return -err;
    if (options_.maxRate >= 0 && settings.baud > options_.maxRate) return serial::result::kBaudRate;
    const int32_t r = serial::TermiosDevice::apply(settings);
    if (r == 0) {
        std::lock_guard<std::mutex> g(lock_);
        baud_ = settings.baud;
    }
    return r;
}

uint32_t PacedLineDevice::read(uint8_t* buffer, uint32_t n) {
    return gone() ? 0 : serial::TermiosDevice::read(buffer, n);
}

serial::LineStatus PacedLineDevice::lineStatus() {
    return gone() ? serial::LineStatus{} : serial::TermiosDevice::lineStatus();
}

serial::ModemLines PacedLineDevice::modemLines() {
    return gone() ? serial::ModemLines{} : serial::TermiosDevice::modemLines();
}

bool PacedLineDevice::setDtr(bool on) {
    return !gone() && serial::TermiosDevice::setDtr(on);
}

bool PacedLineDevice::setRts(bool on) {
    return !gone() && serial::TermiosDevice::setRts(on);
}

// A transmit purge drops what the line has not sent yet, as TCOFLUSH does on a UART.
int32_t PacedLineDevice::purge(serial::Direction direction) {
    if (const int err = gone()) return -err;
    if (direction == serial::Direction::Input) return serial::TermiosDevice::purge(direction);
    std::lock_guard<std::mutex> g(lock_);
    queue_.clear();
    return 0;
}

int32_t PacedLineDevice::driverOutQueue() {
    std::lock_guard<std::mutex> g(lock_);
    return unplugged_ != 0 ? -1 : static_cast<int32_t>(queue_.size());
}

uint32_t PacedLineDevice::driverQueueSize() const {
    return options_.queueSize;
}

ssize_t PacedLineDevice::write(const iovec* iov, int count) {
    std::lock_guard<std::mutex> g(lock_);
    if (unplugged_ != 0) {
        errno = unplugged_;
        return -1;
    }
    if (options_.refuseAt >= 0 && int64_t(taken_) >= options_.refuseAt && refusalsLeft_ != 0) {
        if (refusalsLeft_ > 0) --refusalsLeft_;
        errno = EPROTO;
        return -1;
    }
    size_t room = options_.queueSize - queue_.size();
    if (options_.refuseAt > int64_t(taken_)) room = std::min<size_t>(room, options_.refuseAt - taken_);
    if (room == 0) {
        errno = EAGAIN;
        return -1;
    }
    size_t took = 0;
    for (int i = 0; i < count && took < room; ++i) {
        const auto* bytes = static_cast<const uint8_t*>(iov[i].iov_base);
        const size_t n = std::min(iov[i].iov_len, room - took);
        queue_.insert(queue_.end(), bytes, bytes + n);
        took += n;
    }
    taken_ += took;
    changed_.notify_all();
    return static_cast<ssize_t>(took);
}

int PacedLineDevice::roomWaitMs() {
    std::lock_guard<std::mutex> g(lock_);
    const size_t room = options_.queueSize - queue_.size();
    const size_t wanted = std::min<size_t>(kWakeupRoom, options_.queueSize);
    if (unplugged_ != 0 || room >= wanted) return 1;
    const auto wait = byteTime() * (wanted - room);
    return static_cast<int>(std::max<int64_t>(1, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
}

// The line sends back to back while the queue holds bytes: byte k of a busy stretch leaves k byte
// times after the stretch began, however late this thread was woken.
void PacedLineDevice::paceBody() {
    std::unique_lock<std::mutex> lock(lock_);
    Clock::time_point origin;
    uint64_t sent = 0; // in this busy stretch
    while (!stop_) {
        if (queue_.empty() || unplugged_ != 0) {
            changed_.wait(lock, [this] { return stop_ || (!queue_.empty() && unplugged_ == 0); });
            origin = Clock::now();
            sent = 0;
            continue;
        }
        const auto bt = byteTime();
        const uint64_t due = uint64_t((Clock::now() - origin) / bt) + 1;
        if (due <= sent) {
            changed_.wait_until(lock, origin + bt * sent);
            continue;
        }
        uint64_t n = std::min<uint64_t>(due - sent, queue_.size());
        if (options_.unplugAt >= 0)
            n = std::min<uint64_t>(n, std::max<int64_t>(0, options_.unplugAt - onLine_));
        wire_.insert(wire_.end(), queue_.begin(), queue_.begin() + n);
        queue_.erase(queue_.begin(), queue_.begin() + n);
        sent += n;
        onLine_ += n;
        changed_.notify_all();
        if (options_.unplugAt >= 0 && int64_t(onLine_) >= options_.unplugAt) {
            lock.unlock();
            unplug(options_.unplugErrno);
            if (onUnplug_) onUnplug_(options_.unplugErrno);
            lock.lock();
        }
    }
}

// The far end reads what went out on the line when it gets to run; a UART's line does not wait
// for it, so a far end kept from running never holds the queue up.
void PacedLineDevice::wireBody() {
    std::unique_lock<std::mutex> lock(lock_);
    std::vector<uint8_t> out;
    while (!stop_) {
        if (wire_.empty() || unplugged_ != 0) {
            changed_.wait(lock, [this] { return stop_ || (!wire_.empty() && unplugged_ == 0); });
            continue;
        }
        out.clear();
        out.swap(wire_);
        lock.unlock();
        const bool delivered = deliver(out.data(), out.size());
        lock.lock();
        if (!delivered) break;
    }
}

bool PacedLineDevice::deliver(const uint8_t* bytes, size_t n) {
    SharedLock device(deviceLock_);
    while (n > 0 && fd_ >= 0) {
        const ssize_t w = ::write(fd_, bytes, n);
        if (w > 0) {
            bytes += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            {
                std::lock_guard<std::mutex> g(lock_);
                if (stop_) return false;
            }
            pollfd room{fd_, POLLOUT, 0};
            ::poll(&room, 1, kDeliveryPollMs);
            continue;
        }
        failed(w < 0 ? errno : EIO);
        return false;
    }
    return true;
}

void registerPacedLine(std::function<void(int err)> onUnplug) {
    serial::registerDeviceLayer(kPacedPrefix, [onUnplug] {
        auto line = std::make_unique<PacedLineDevice>();
        line->setUnplugHandler(onUnplug);
        return line;
    });
}

} // namespace brimwell::paced
