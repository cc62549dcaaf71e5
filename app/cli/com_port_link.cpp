// The command line's serial link: what it does beyond the engine's serial link.
#include "app/cli/com_port_link.h"

#include <utility>

namespace brimwell::cli {

void ComPortLink::PrepareWait() {
    prepared_ = true;
    SerialLink::PrepareWait();
}

bool ComPortLink::WaitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) {
    const bool prepared = std::exchange(prepared_, false);
    lastWaitAbandoned_ = abandoned_;
    if (abandoned_) {
        reasonBeforeAbandon_ = SerialLink::lastError();
        // The port holds its notifications, and would put off its close, until a wait ends: one
        // of no length ends the hold.
        if (prepared) SerialLink::WaitForString(text, 0, false, ignoreCase);
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
