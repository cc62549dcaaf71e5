// The engine's serial link on the command line: the engine's own serial link with waits that can
// be abandoned after a second Ctrl+C.
#pragma once

#include "script/serial_link.h"

#include <string>

namespace brimwell::cli {

class ComPortLink : public script::SerialLink {
  public:
    using script::SerialLink::SerialLink;

    bool WaitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) override;
    void PrepareWait() override;
    std::string lastError() const override;

    // After a second Ctrl+C: prompt waits give up at once, so the run ends without the unit.
    void abandonWaits() { abandoned_ = true; }

  private:
    bool abandoned_ = false;
    // The last wait was given up by the operator: lastError() says so until a port operation
    // fails with a reason of its own (the base link's reason then moves on from this one).
    bool lastWaitAbandoned_ = false;
    std::string reasonBeforeAbandon_;
};

} // namespace brimwell::cli
