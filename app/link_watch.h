// Sits between the script engine and the serial link and counts port operations that failed with
// an error (as opposed to a wait that simply timed out), so that the port probe can tell a port
// that does not answer from one that broke down while it was asked.
#pragma once

#include "script/unit_link.h"

namespace brimwell::app {

class LinkWatch : public script::UnitLink {
  public:
    explicit LinkWatch(script::UnitLink* inner = nullptr) : inner_(inner) {}
    void setInner(script::UnitLink* inner) { inner_ = inner; }
    script::UnitLink* inner() const { return inner_; }

    // Failed operations since the last reset, and the reason of the last one.
    int failures() const { return failures_; }
    void resetFailures() { failures_ = 0; }

    bool isOpen() const override { return inner_->isOpen(); }
    bool flushInBuffer() override { return count(inner_->flushInBuffer()); }
    bool flushOutBuffer() override { return count(inner_->flushOutBuffer()); }
    int getOutBuffFree() override { return inner_->getOutBuffFree(); }
    int getOutBuffUsed() override { return inner_->getOutBuffUsed(); }
    bool getCts() override { return inner_->getCts(); }
    bool waitOutBuffEmpty(int64_t maxMicros) override { return inner_->waitOutBuffEmpty(maxMicros); }
    bool putString(const std::string& text) override { return count(inner_->putString(text)); }
    bool putBlock(const uint8_t* data, int length) override { return count(inner_->putBlock(data, length)); }
    int getBlock(uint8_t* buffer, int length) override { return inner_->getBlock(buffer, length); }
    bool waitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) override {
        return inner_->waitForString(text, timeoutTicks, yield, ignoreCase);
    }
    int waitForMultiString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase,
                           char separator) override {
        return inner_->waitForMultiString(text, timeoutTicks, yield, ignoreCase, separator);
    }
    void abandonWaits(bool abandon) override { inner_->abandonWaits(abandon); }
    void prepareWait() override { inner_->prepareWait(); }
    int32_t baud() const override { return inner_->baud(); }
    std::string lastError() const override { return inner_->lastError(); }
    std::string label() const override { return inner_->label(); }

  private:
    // These operations only report false when the port raised an error.
    bool count(bool ok) {
        if (!ok) ++failures_;
        return ok;
    }

    script::UnitLink* inner_;
    int failures_ = 0;
};

} // namespace brimwell::app
