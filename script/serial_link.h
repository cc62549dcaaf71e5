// The engine's serial link over the serial port component: each call maps onto the component's
// operation of the same name, and the component's exceptions stop here as failed results. Its
// waits can be abandoned (a second Stop or Ctrl+C), the one in progress included.
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
    int WaitForMultiString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase,
                           char separator) override;
    void abandonWaits(bool abandon) override;
    void PrepareWait() override;
    int32_t Baud() const override;
    int DriverQueueAhead() override;
    std::string lastError() const override;
    std::string failure() const override;
    std::string label() const override;

    TQuavComPort& port() const { return port_; }

  private:
    template <typename F, typename R> R guarded(F&& call, R failed);
    // True (and the reason kept) when waits are abandoned: the wait is not started.
    bool skipWait();

    TQuavComPort& port_;
    std::string lastError_;
    bool abandoned_ = false;
    // The last wait was given up by the operator: lastError() says so until a port operation
    // fails with a reason of its own (the reason then moves on from this one).
    bool lastWaitAbandoned_ = false;
    std::string reasonBeforeAbandon_;
};

// Makes `engine`'s answer capture the port's data-available handler (QuavComPort1TriggerAvail),
// and lets it see the bytes a wait for a string examines (QuavComPort1WaitChar) and each pass of
// such a wait (QuavComPort1WaitPass).
// A status-light controller that monitors the port later keeps and chains this handler.
void installCaptureHandler(TQuavComPort& port, ScriptEngine& engine);

} // namespace brimwell::script
