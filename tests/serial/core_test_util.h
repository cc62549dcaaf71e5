// Shared pieces of the dispatcher tests: a port opened on a pseudo-terminal, waiting for a
// condition, and a trigger consumer that records what it was told.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/termios_device.h"
#include "serial/thread_engine.h"
#include "support/event_pump.h"
#include "support/pty.h"

namespace brimwell::test {

using testing::waitUntil;

inline std::string patternBytes(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// A port over a tty.
struct TermiosPort : serial::ThreadEngine {
    TermiosPort() : serial::ThreadEngine(std::make_unique<serial::TermiosDevice>()) {}
};

// A tty device that counts the dispatcher's passes: every pass begins by reading the modem lines
// (at least every 50 ms), and passes follow one another.
class PassCountingDevice : public serial::TermiosDevice {
  public:
    // Returns once the dispatcher has finished a pass begun after this call, so that whatever came
    // before it (bytes, a trigger set or armed, a line change) has been acted on: the first look
    // after the call sees it, the second begins once that pass is over. False after 3 s.
    bool settle() const {
        const int from = looks_;
        return waitUntil([&] { return looks_ >= from + 2; });
    }

    serial::ModemLines modemLines() override {
        ++looks_;
        return lines();
    }

  protected:
    virtual serial::ModemLines lines() { return serial::TermiosDevice::modemLines(); }

  private:
    std::atomic<int> looks_{0};
};

class PortOnPty {
  public:
    explicit PortOnPty(uint32_t outSize = 4096,
                       uint32_t openFlags = serial::kOpenDtrOn | serial::kOpenRtsOn) {
        EXPECT_TRUE(pty.ok());
        auto counting = std::make_unique<PassCountingDevice>();
        device = counting.get();
        port = std::make_unique<serial::ThreadEngine>(std::move(counting));
        openResult =
            port->initPort(pty.slavePath(), 38400, serial::kParityNone, 8, 1, 4096, outSize, openFlags);
    }
    // See PassCountingDevice::settle.
    bool settle() const { return device->settle(); }

    PtyPair pty;
    std::unique_ptr<serial::ThreadEngine> port;
    PassCountingDevice* device = nullptr; // the port's device

    int32_t openResult = 0;
};

// Destroys a port when the scope ends: declared after the consumers and the variables their
// actions use, it stops the dispatcher thread (waiting for a notification in progress) before
// any of them goes away.
struct StopPortOnExit {
    std::unique_ptr<serial::ThreadEngine>& port;
    ~StopPortOnExit() { port.reset(); }
};

// Records every notification; `action` runs first, inside the notification.
class Consumer : public serial::TriggerEventHandler {
  public:
    std::function<void(const serial::TriggerMessage&)> action;

    void handleTrigger(const serial::TriggerMessage& message) override {
        if (action) action(message);
        std::lock_guard<std::mutex> g(lock_);
        seen_.push_back(message);
        changed_.notify_all();
    }
    std::vector<serial::TriggerMessage> seen() const {
        std::lock_guard<std::mutex> g(lock_);
        return seen_;
    }
    size_t count(uint32_t msg) const {
        std::lock_guard<std::mutex> g(lock_);
        size_t n = 0;
        for (const auto& m : seen_)
            n += m.msg == msg;
        return n;
    }
    bool waitCount(uint32_t msg, size_t n, int timeoutMs = 3000) const {
        std::unique_lock<std::mutex> g(lock_);
        return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
            size_t c = 0;
            for (const auto& m : seen_)
                c += m.msg == msg;
            return c >= n;
        });
    }

  private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<serial::TriggerMessage> seen_;
};

// Fills the output ring with `block`-sized puts while the peer does not read, until the line is
// backed up: the ring holds bytes that stay unwritten. Returns everything that was put.
inline std::string backUpOutput(serial::Dispatcher& port, size_t block = 1000) {
    std::string sent;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    unsigned seed = 7;
    while (std::chrono::steady_clock::now() < end) {
        if (port.outBuffFree() >= block) {
            const std::string chunk = patternBytes(block, seed++);
            if (port.putBlock(chunk.data(), static_cast<uint32_t>(chunk.size())) == 0) sent += chunk;
            continue;
        }
        // Ring nearly full: backed up once it stops draining for a while (looked at twice, so a
        // writer that was merely slow to run is not taken for a full line).
        const uint32_t used = port.outBuffUsed();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (used == 0 || port.outBuffUsed() != used) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (port.outBuffUsed() == used) break;
    }
    return sent;
}

} // namespace brimwell::test
