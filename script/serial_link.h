// The engine's serial link over the serial port component: each call maps onto the component's
// operation of the same name, and the component's exceptions stop here as failed results.
#pragma once

#include "script/unit_link.h"

namespace brimwell {
class TQuavComPort;
}

namespace brimwell::script {

class ScriptEngine;

class SerialLink : public UnitLink {
  public:
    explicit SerialLink(TQuavComPort& port) : port_(port) {}

    bool isOpen() const override;
    bool FlushInBuffer() override;
    bool FlushOutBuffer() override;
    int GetOutBuffFree() override;
    int GetOutBuffUsed() override;
    bool GetCTS() override;
    bool WaitOutBuffEmpty(int64_t maxMicros) override;
    bool PutString(const std::string& text) override;
    bool PutBlock(const uint8_t* data, int length) override;
    int GetBlock(uint8_t* buffer, int length) override;
    bool WaitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) override;
    void PrepareWait() override;
    int32_t Baud() const override;
    int DriverQueueAhead() override;
    std::string lastError() const override { return lastError_; }
    std::string failure() const override;

    TQuavComPort& port() const { return port_; }

  private:
    template <typename F, typename R> R guarded(F&& call, R failed);

    TQuavComPort& port_;
    std::string lastError_;
};

// Makes `engine`'s answer capture the port's data-available handler (QuavComPort1TriggerAvail),
// and lets it see the bytes a wait for a string examines (QuavComPort1WaitChar).
// A status-light controller that monitors the port later keeps and chains this handler.
void installCaptureHandler(TQuavComPort& port, ScriptEngine& engine);

} // namespace brimwell::script
