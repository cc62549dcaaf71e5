// The command line's serial link: what it does beyond the engine's serial link.
#include "app/cli/com_port_link.h"

#include <chrono>
#include <thread>

namespace brimwell::cli {
namespace {
constexpr auto kSettleBudget = std::chrono::microseconds(500);
constexpr auto kNoProgressLimit = std::chrono::microseconds(100);
} // namespace

bool ComPortLink::FlushOutBuffer() {
    // Bytes that have left the output buffer are already in the Linux tty layer, and a transmit
    // flush there throws away what the line has not carried yet (on a pty: what the other side has
    // not read yet), cutting a command or block short. With nothing left in the buffer there is
    // nothing the flush should discard. A port that cannot say how full it is counts as not empty.
    if (SerialLink::GetOutBuffUsed() == 0) return true;
    return SerialLink::FlushOutBuffer();
}

int ComPortLink::GetOutBuffUsed() {
    int used = SerialLink::GetOutBuffUsed();
    // The engine sleeps a millisecond whenever a block has not left yet, and just after PutBlock
    // the output thread has usually not been scheduled. Giving it a moment while the count keeps
    // falling saves that millisecond per block; a line that is not taking bytes (flow control, a
    // paced line) shows no progress and is answered at once.
    using SteadyClock = std::chrono::steady_clock;
    const auto start = SteadyClock::now();
    auto lastProgress = start;
    while (used != 0 && SteadyClock::now() - start < kSettleBudget &&
           SteadyClock::now() - lastProgress < kNoProgressLimit) {
        std::this_thread::yield();
        const int now = SerialLink::GetOutBuffUsed();
        if (now != used) lastProgress = SteadyClock::now();
        used = now;
    }
    return used;
}

bool ComPortLink::WaitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) {
    lastWaitAbandoned_ = abandoned_;
    if (abandoned_) {
        reasonBeforeAbandon_ = SerialLink::lastError();
        return false;
    }
    return SerialLink::WaitForString(text, timeoutTicks, yield, ignoreCase);
}

std::string ComPortLink::lastError() const {
    std::string reason = SerialLink::lastError();
    if (lastWaitAbandoned_ && reason == reasonBeforeAbandon_) return "the operator stopped waiting";
    return reason;
}

} // namespace brimwell::cli
