// TQuavComPort seen through the engine's link interface.
#include "app/cli/com_port_link.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

namespace brimwell::cli {
namespace {
constexpr auto kSettleBudget = std::chrono::microseconds(500);
constexpr auto kNoProgressLimit = std::chrono::microseconds(100);
} // namespace

template <typename F> bool ComPortLink::guarded(F&& f) {
    try {
        f();
        return true;
    } catch (const std::exception& e) {
        lastError_ = e.what();
    }
    return false;
}

bool ComPortLink::FlushInBuffer() {
    return guarded([&] { port_.FlushInBuffer(); });
}

bool ComPortLink::FlushOutBuffer() {
    // The engine flushes after every block once the output buffer has drained. Bytes that have left
    // the buffer are already in the Linux tty layer, and a transmit flush there throws away what the
    // line has not carried yet (on a pty: what the other side has not read yet), cutting the block
    // short. With nothing left in the buffer there is nothing the flush should discard.
    return guarded([&] {
        if (port_.GetOutBuffUsed() != 0) port_.FlushOutBuffer();
    });
}

int ComPortLink::GetOutBuffFree() {
    int free = 0;
    guarded([&] { free = port_.GetOutBuffFree(); });
    return free;
}

int ComPortLink::GetOutBuffUsed() {
    // A port that cannot say how full it is must not look drained.
    int used = 0xFFFF;
    if (!guarded([&] { used = port_.GetOutBuffUsed(); })) return used;
    // The engine sleeps a millisecond whenever a block has not left yet, and just after PutBlock
    // the output thread has usually not been scheduled. Giving it a moment while the count keeps
    // falling saves that millisecond per block; a line that is not taking bytes (flow control, a
    // paced line) shows no progress and is answered at once.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto lastProgress = start;
    while (used != 0 && Clock::now() - start < kSettleBudget &&
           Clock::now() - lastProgress < kNoProgressLimit) {
        std::this_thread::yield();
        int now = used;
        if (!guarded([&] { now = port_.GetOutBuffUsed(); })) break;
        if (now != used) lastProgress = Clock::now();
        used = now;
    }
    return used;
}

bool ComPortLink::GetCTS() {
    bool cts = false;
    guarded([&] { cts = port_.GetCTS(); });
    return cts;
}

bool ComPortLink::PutString(const std::string& text) {
    return guarded([&] { port_.PutString(text); });
}

bool ComPortLink::PutBlock(const uint8_t* data, int length) {
    if (length < 0 || length > 0xFFFF) {
        lastError_ = "block of " + std::to_string(length) + " bytes does not fit one write";
        return false;
    }
    return guarded([&] { port_.PutBlock(data, static_cast<uint16_t>(length)); });
}

int ComPortLink::GetBlock(uint8_t* buffer, int length) {
    int got = 0;
    const int want = std::clamp(length, 0, 0xFFFF);
    guarded([&] { got = port_.GetBlock(buffer, static_cast<uint16_t>(want)); });
    return got;
}

bool ComPortLink::WaitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) {
    if (abandoned_) {
        lastError_ = "the operator stopped waiting";
        return false;
    }
    bool found = false;
    guarded([&] { found = port_.WaitForString(text, timeoutTicks, yield, ignoreCase); });
    return found;
}

} // namespace brimwell::cli
