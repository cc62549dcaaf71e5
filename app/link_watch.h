// Sits between the script engine and the serial link and counts port operations that failed with
// an error (as opposed to a wait that simply timed out), so that the port probe can tell a port
// that does not answer from one that broke down while it was asked.
#pragma once

#include "script/unit_link.h"

namespace brimwell {

class LinkWatch : public script::UnitLink {
  public:
    explicit LinkWatch(script::UnitLink* inner = nullptr) : inner_(inner) {}
    void setInner(script::UnitLink* inner) { inner_ = inner; }
    script::UnitLink* inner() const { return inner_; }

    // Failed operations since the last reset, and the reason of the last one.
    int failures() const { return failures_; }
    void resetFailures() { failures_ = 0; }

    bool isOpen() const override { return inner_->isOpen(); }
    bool FlushInBuffer() override { return count(inner_->FlushInBuffer()); }
    bool FlushOutBuffer() override { return count(inner_->FlushOutBuffer()); }
    int GetOutBuffFree() override { return inner_->GetOutBuffFree(); }
    int GetOutBuffUsed() override { return inner_->GetOutBuffUsed(); }
    bool GetCTS() override { return inner_->GetCTS(); }
    bool WaitOutBuffEmpty(int64_t maxMicros) override { return inner_->WaitOutBuffEmpty(maxMicros); }
    bool PutString(const std::string& text) override { return count(inner_->PutString(text)); }
    bool PutBlock(const uint8_t* data, int length) override { return count(inner_->PutBlock(data, length)); }
    int GetBlock(uint8_t* buffer, int length) override { return inner_->GetBlock(buffer, length); }
    bool WaitForString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase) override {
        return inner_->WaitForString(text, timeoutTicks, yield, ignoreCase);
    }
    int WaitForMultiString(const std::string& text, int32_t timeoutTicks, bool yield, bool ignoreCase,
                           char separator) override {
        return inner_->WaitForMultiString(text, timeoutTicks, yield, ignoreCase, separator);
    }
    void abandonWaits(bool abandon) override { inner_->abandonWaits(abandon); }
    void PrepareWait() override { inner_->PrepareWait(); }
    int32_t Baud() const override { return inner_->Baud(); }
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

} // namespace brimwell
