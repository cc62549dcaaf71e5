// The command line's serial link: what it does beyond the engine's serial link.
#include "app/cli/com_port_link.h"

namespace brimwell::cli {

// Stops reach the link through the event loop, which does not run between the engine's call here
// and its wait: a hold begun here always ends in that wait.
void ComPortLink::PrepareWait() {
    if (!abandoned_) SerialLink::PrepareWait();
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
