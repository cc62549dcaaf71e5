// The script engine's road to the unit through the window's serial port: every port operation the
// engine uses, with the port's exceptions turned into a false result and a reason.
#pragma once

#include "script/unit_link.h"

namespace brimwell {

class TQuavComPort;

class PortLink : public script::UnitLink {
public:
    explicit PortLink(TQuavComPort& port) : port_(port) {}

    bool isOpen() const override;
    bool FlushInBuffer() override;
    bool FlushOutBuffer() override;
    int GetOutBuffFree() override;
    int GetOutBuffUsed() override;
    bool GetCTS() override;
    bool PutString(const std::string& text) override;
    bool PutBlock(const uint8_t* data, int length) override;
    int GetBlock(uint8_t* buffer, int length) override;
    bool WaitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) override;
    int32_t Baud() const override;
    std::string lastError() const override { return lastError_; }

private:
    template <typename F>
    bool guarded(F&& f);

    TQuavComPort& port_;
    std::string lastError_;
};

} // namespace brimwell
