// Sending texts to the unit, waiting for its prompt character, capturing its answer to a query,
// and the 4000 ms watchdog around the capture and each block write.
#include "script/script_engine.h"

#include "serial/time_base.h"

#include <algorithm>
#include <cstring>

namespace brimwell::script {
namespace {

constexpr int kAfterQueryTextMs = 200;
constexpr int kPciPollMs = 10;
constexpr int32_t kProbePromptTicks = 65;
// How long the line stays quiet after the loader's prompt before an upload counts as received.
constexpr int32_t kPromptQuietTicks = 4;
constexpr int kPciQuietPolls = kPromptQuietTicks * serial::kTickMs / kPciPollMs;
// How often a long wait for the unit says that it still waits.
constexpr int64_t kWaitReportMs = 5000;
// A received block is taken in pieces that always fit the capture buffer behind its restart rule.
constexpr int kCaptureChunk = ScriptEngine::kCaptureSize - 1;

} // namespace

void ScriptEngine::sendString(const std::string& text) {
    if (linkMode_ == kLinkPci && board_ != nullptr) {
        // Text that did not reach the board would leave the run waiting on a unit that never got
        // the command; it ends the run as a failed serial write does.
        if (boardWriteFailed_) return;
        if (!board_->board_put_string(selectedBoard_, text)) {
            boardWriteFailed_ = true;
            // A lost driver connection is named as the cause (linkFailed tells it).
            if (!linkFailed()) showError(RunPart::Link, "Error! Writing to the PCI board failed.");
            cancelled_ = 1;
        }
        return;
    }
    if (linkMode_ == kLinkSerial) {
        if (!serialOpen()) return;
        if (serial_->getOutBuffFree() > static_cast<int>(text.size()))
            serial_->putString(text); // a failing put shows up as the missing prompt that follows
        else
            host_.report(
                {RunPart::Link, "Error! Communications Port Output Buffer Overflow", MessageKind::Error});
        return;
    }
    host_.report({RunPart::Link, "Error! No serical communication opened.  Check RS232 connection.",
                  MessageKind::Error});
}

void ScriptEngine::sendCommandText() {
    if (serialOpen() || linkMode_ == kLinkPci) sendString(commandText_);
}

bool ScriptEngine::sendAndAwaitPrompt(const std::string& text) {
    const int32_t limit = probing_ ? kProbePromptTicks : promptTimeout_;
    lastAnswerMain_ = false;
    announceWait();
    // However the exchange ends, its wait is no longer reported.
    struct Announced {
        bool& on;
        ~Announced() { on = false; }
    } announced{waitAnnounced_};
    if (linkMode_ == kLinkSerial) {
        if (!serialOpen() || linkFailed()) return false;
        if (confirmingUpload_) keepReceived();
        serial_->flushInBuffer();
        // The unit may answer before the wait below begins; its answer is kept for the wait.
        if (expectedPrompt_ != '\0') serial_->prepareWait();
        const EngineClock::Mark sent = clock_.now();
        sendString(text);
        bool result = false;
        if (expectedPrompt_ == '\0') {
            // An empty prompt setting matches no received byte: the wait runs its full length.
            waitMs(static_cast<int64_t>(std::max(limit, 0)) * serial::kTickMs);
        } else if (confirmingUpload_) {
            const PromptSeen seen = awaitUploadPrompt(sent, limit);
            result = seen == PromptSeen::Loader;
            lastAnswerMain_ = seen == PromptSeen::Main;
        } else {
            result = serial_->waitForString(std::string(1, expectedPrompt_), limit, true, false);
        }
        if (linkFailed()) return false;
        if (confirmingUpload_) keepReceived();
        serial_->flushInBuffer();
        awaitDelivery();
        serial_->flushOutBuffer();
        return result;
    }
    if (linkMode_ == kLinkPci && board_ != nullptr) {
        sendString(text);
        if (boardWriteFailed_) return false;
        char last = '\0';
        int quietPolls = 0;
        for (int32_t i = 0; i < limit && (last != expectedPrompt_ || expectedPrompt_ == '\0') &&
                            !waitsAbandoned_ && !linkFailed();
             ++i) {
            waitMs(kPciPollMs);
            reportWaiting();
            if (auto b = board_->board_get_char(selectedBoard_)) {
                last = static_cast<char>(*b);
                quietPolls = 0;
                if (confirmingUpload_) unitAnswer_.add(last);
            } else if (confirmingUpload_ && last != '\0' && last == mainPromptChar_ &&
                       ++quietPolls == kPciQuietPolls) {
                lastAnswerMain_ = true; // the normal prompt stayed the unit's last word
                break;
            }
        }
        const bool result = expectedPrompt_ != '\0' && last == expectedPrompt_;
        board_->board_end_exchange(selectedBoard_);
        return result;
    }
    sendString(text); // tells the operator that no link is there
    return false;
}

bool ScriptEngine::promptAttempt(const std::string& text, int attempt, int attempts) {
    attempt_ = attempt;
    attempts_ = attempts;
    const bool result = sendAndAwaitPrompt(text);
    attempt_ = attempts_ = 0;
    return result;
}

std::string ScriptEngine::giveUpHint() const {
    const std::string hint = stopRequested_ && !waitsAbandoned_ ? host_.giveUpHint() : std::string();
    return hint.empty() ? hint : " " + hint;
}

void ScriptEngine::announceWait() {
    if (attempts_ <= 0) return;
    std::string where;
    if (linkMode_ == kLinkSerial && serial_ != nullptr) where = serial_->label();
    if (linkMode_ == kLinkPci) where = "PCI board " + std::to_string(selectedBoard_);
    waitText_ = "Waiting for the unit's prompt" + (where.empty() ? "" : " on " + where) + " (attempt " +
                std::to_string(attempt_) + " of " + std::to_string(attempts_) + ")...";
    waitStart_ = clock_.now();
    waitReportedMs_ = 0;
    waitAnnounced_ = true;
    host_.setStatusText(waitText_ + giveUpHint());
}

void ScriptEngine::reportWaiting() {
    if (!waitAnnounced_) return;
    const int64_t waited = clock_.elapsedMs(waitStart_);
    if (waited - waitReportedMs_ < kWaitReportMs) return;
    waitReportedMs_ = waited / kWaitReportMs * kWaitReportMs;
    host_.setStatusText(waitText_ + " " + std::to_string(waitReportedMs_ / 1000) + " s" + giveUpHint());
}

void ScriptEngine::keepReceived() {
    uint8_t chunk[256];
    for (int got; (got = serial_->getBlock(chunk, static_cast<int>(sizeof chunk))) > 0;)
        for (int i = 0; i < got; ++i)
            unitAnswer_.add(static_cast<char>(chunk[i]));
}

// A unit that gave up a load is back in its normal firmware and echoes the rest of the image: a
// prompt character inside that echo is data, not the unit's answer. The unit's prompt is the last
// thing it sends before it waits for input, so a prompt counts once the line then stays quiet. The
// quiet time is itself a wait for a prompt, so the bytes are examined by the port's wait (and reach
// nobody else) and a faster test clock never shortens it. The normal prompt, last and followed by
// quiet, is an answer too: that unit has left loader mode.
ScriptEngine::PromptSeen ScriptEngine::awaitUploadPrompt(const EngineClock::Mark& since, int32_t limitTicks) {
    char separator = '|';
    while (separator == loaderPromptChar_ || separator == mainPromptChar_)
        ++separator;
    std::string prompts(1, loaderPromptChar_);
    if (mainPromptChar_ != '\0' && mainPromptChar_ != loaderPromptChar_)
        prompts += {separator, mainPromptChar_};
    const int64_t limitMs = static_cast<int64_t>(std::max(limitTicks, 0)) * serial::kTickMs;
    auto wait = [&](int32_t ticks) {
        return serial_->waitForMultiString(prompts, ticks, true, false, separator);
    };
    int found = wait(limitTicks);
    while (found != 0) {
        if (linkFailed() || waitsAbandoned_) return PromptSeen::None;
        waitCharsSeen_ = 0;
        const int again = wait(kPromptQuietTicks);
        if (linkFailed() || waitsAbandoned_) return PromptSeen::None;
        if (again == 0 && waitCharsSeen_ == 0) return found == 1 ? PromptSeen::Loader : PromptSeen::Main;
        if (again != 0) {
            found = again;
            continue;
        }
        // More came after the prompt: it was not the unit's last word. Look for a later one.
        const int64_t leftMs = limitMs - clock_.elapsedMs(since);
        if (leftMs <= 0) return PromptSeen::None;
        found = wait(static_cast<int32_t>((leftMs + serial::kTickMs - 1) / serial::kTickMs));
    }
    return PromptSeen::None;
}

void ScriptEngine::onWaitChar(char c) {
    ++waitCharsSeen_;
    if (confirmingUpload_) unitAnswer_.add(c); // the unit's text is kept only where it is quoted
}

void ScriptEngine::queryUnit() {
    const bool pci = linkMode_ == kLinkPci && board_ != nullptr;
    if (!pci && !(linkMode_ == kLinkSerial && serialOpen())) return;

    commandTimedOut_ = false;
    captureBuffer_[0] = '\0';
    captureLength_ = 0;
    if (!pci) serial_->flushInBuffer();
    armCommandTimer();
    sendString(commandText_);
    waitMs(kAfterQueryTextMs);
    if (!pci) serial_->flushInBuffer();
    sendString("\r");
    captureActive_ = true;
    while (captureActive_ && !commandTimedOut_ && !(pci && linkFailed())) {
        bool received = false;
        if (pci) {
            // The board has no data-available event: its answer is polled into the same capture.
            if (auto b = board_->board_get_char(selectedBoard_)) {
                const uint8_t byte = *b;
                captureBytes(&byte, 1);
                received = true;
            }
        }
        pump();
        if (!received && captureActive_ && !commandTimedOut_) clock_.sleepMs(1);
    }
    if (pci) board_->board_end_exchange(selectedBoard_);
    disarmCommandTimer();
}

void ScriptEngine::onDataAvailable(uint16_t count) {
    if (!captureActive_ || serial_ == nullptr) return;
    uint8_t chunk[kCaptureChunk];
    int left = count;
    while (left > 0 && captureActive_) {
        const int want = std::min(left, kCaptureChunk);
        const int got = serial_->getBlock(chunk, want);
        if (got <= 0) return;
        captureBytes(chunk, got);
        left -= got;
    }
}

void ScriptEngine::captureBytes(const uint8_t* data, int count) {
    if (!captureActive_ || count <= 0) return;
    count = std::min(count, kCaptureChunk);
    if (count + captureLength_ >= kCaptureSize || captureLength_ < 0) captureLength_ = 0;
    std::memcpy(captureBuffer_.data() + captureLength_, data, static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const char b = captureBuffer_[static_cast<std::size_t>(captureLength_)];
        if (b != '\0' && (b == mainPromptChar_ || b == loaderPromptChar_) &&
            captureLength_ >= minAnswerLength_) {
            // The answer ends before a prompt that closes the block; a prompt inside the block
            // keeps the bytes after it except the last, which the terminator replaces.
            const int at = (i == count - 1) ? captureLength_ : captureLength_ + (count - 1 - i);
            captureBuffer_[static_cast<std::size_t>(at)] = '\0';
            captureLength_ = 0;
            captureActive_ = false;
            return;
        }
        ++captureLength_;
    }
    captureBuffer_[static_cast<std::size_t>(captureLength_)] = '\0';
}

void ScriptEngine::onWatchdogTick() {
    disarmCommandTimer();
    cancelled_ = 1;
    showError(RunPart::Watchdog,
              "Timeout error! RS232 connection failure! Please check RS232 connection. Exiting script.");
    commandTimedOut_ = true;
    pump();
}

} // namespace brimwell::script
