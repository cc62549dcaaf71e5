// The engine's serial link over the serial port component: each call maps onto the component's
// operation of the same name, and the component's exceptions stop here as failed results. Its
// waits can be abandoned (a second Stop or Ctrl+C), the one in progress included.
#pragma once

#include "script/unit_link.h"

namespace brimwell::serial {
class ComPort;
}

namespace brimwell::script {

class ScriptEngine;

class SerialLink : public UnitLink {
  public:
    explicit SerialLink(serial::ComPort& port) : port_(port) {}

    bool isOpen() const override;
    bool flushInBuffer() override;
    bool flushOutBuffer() override;
    int getOutBuffFree() override;
    int getOutBuffUsed() override;
    bool getCts() override;
    bool waitOutBuffEmpty(int64_t maxMicros) override;
    bool putString(const std::string& text) override;
    bool putBlock(const uint8_t* data, int length) override;
    int getBlock(uint8_t* buffer, int length) override;
    bool waitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) override;
    int waitForMultiString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase,
                           char separator) override;
    void abandonWaits(bool abandon) override;
    void prepareWait() override;
    int32_t baud() const override;
    int driverQueueAhead() override;
    std::string lastError() const override;
    std::string failure() const override;
    std::string label() const override;

    serial::ComPort& port() const { return port_; }

  private:
    template <typename F, typename R> R guarded(F&& call, R failed);
    // True (and the reason kept) when waits are abandoned: the wait is not started.
    bool skipWait();

    serial::ComPort& port_;
    std::string lastError_;
    bool abandoned_ = false;
    // The last wait was given up by the operator: lastError() says so until a port operation
    // fails with a reason of its own (the reason then moves on from this one).
    bool lastWaitAbandoned_ = false;
    std::string reasonBeforeAbandon_;
};

// Makes `engine`'s answer capture the port's data-available handler (onDataAvailable),
// and lets it see the bytes a wait for a string examines (onWaitChar) and each pass of
// such a wait (onWaitPass).
// A status-light controller that monitors the port later keeps and chains this handler.
void installCaptureHandler(serial::ComPort& port, ScriptEngine& engine);

} // namespace brimwell::script
