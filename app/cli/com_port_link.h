// The engine's serial link on the command line: a thin view of TQuavComPort that turns the
// component's exceptions into false results plus a reason, as the engine's link contract asks.
#pragma once

#include "script/unit_link.h"
#include "serial/component/com_port.h"

#include <string>

namespace brimwell::cli {

class ComPortLink : public script::UnitLink {
  public:
    explicit ComPortLink(TQuavComPort& port) : port_(port) {}

    bool isOpen() const override { return port_.Open(); }
    bool FlushInBuffer() override;
    bool FlushOutBuffer() override;
    int GetOutBuffFree() override;
    int GetOutBuffUsed() override;
    bool GetCTS() override;
    bool PutString(const std::string& text) override;
    bool PutBlock(const uint8_t* data, int length) override;
    int GetBlock(uint8_t* buffer, int length) override;
    bool WaitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) override;
    int32_t Baud() const override { return port_.Baud(); }
    std::string lastError() const override { return lastError_; }

    // After a second Ctrl+C: prompt waits give up at once, so the run ends without the unit.
    void abandonWaits() { abandoned_ = true; }

  private:
    template <typename F> bool guarded(F&& f);

    TQuavComPort& port_;
    std::string lastError_;
    bool abandoned_ = false;
};

} // namespace brimwell::cli
