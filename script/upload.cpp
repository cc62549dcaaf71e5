// Uploading a data file in 2000-byte blocks and checking for the loader prompt afterwards; the
// file checksum and size the load command announces, the file date text, the block checksum.
#include "script/script_engine.h"

#include "script/data_file.h"

#include "script/file_pieces.h"
#include "serial/shown_text.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace brimwell::script {
namespace {

constexpr int kBeforeFirstBlockMs = 50;
constexpr int kPromptRetries = 10;
constexpr int kSerialPromptRetryMs = 500;
constexpr int kPciPromptRetryMs = 1000;
constexpr int32_t kFirstPromptTicks = 65;
constexpr int32_t kRetryPromptTicks = 365;
constexpr int32_t kNormalPromptTicks = 265;
// Consecutive attempts answered with the normal prompt that end the prompt check after an upload.
constexpr int kMainPromptAnswers = 2;
constexpr int kPciPutRetries = 50;
constexpr int kPciBusyPauseMs = 100;
// Block waits: the time the block takes on the line (12 bits per character covers parity and two
// stop bits) plus this margin, and never less than the original 900 ms.
constexpr int64_t kDrainMarginMs = 1000;
constexpr int64_t kDrainMinimumMs = 900;
// The driver's own transmit queue (a UART's 4 KiB buffer, a pseudo-terminal's larger one) still holds
// earlier blocks when this one is put, and the output buffer only drains as that queue empties, in
// jumps. The drain wait therefore allows for what is queued ahead of the block at the port's rate, and
// counts only time in which nothing drained, so a slow but moving line never trips it while a dead one
// still does.
// The longest a pass of the block drain waits for the output buffer before it looks again.
constexpr int64_t kDrainPassMs = 1;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openForReading(const std::string& path) {
    return File(std::fopen(path.c_str(), "rb"));
}

} // namespace

// The load command carries the size as a signed 32-bit number: a larger file (or one that never
// ends) is not read past that. Events run between the pieces, so a stop ends a long read.
ReadEnd ScriptEngine::sumDataFile(uint32_t& sum, uint64_t& count, int& error) {
    sum = 0;
    count = 0;
    PieceReading how;
    how.limit = static_cast<uint64_t>(INT32_MAX);
    how.whole = true;
    how.stopped = [this] {
        pump();
        return cancelled_ != 0 || waitsAbandoned_;
    };
    return readInPieces(
        dataFileName_, how,
        [&](std::string_view piece) {
            for (const char c : piece)
                sum += static_cast<uint8_t>(c);
            count += piece.size();
            return true;
        },
        error);
}

bool ScriptEngine::readFileChecksum() {
    uint32_t sum = 0;
    uint64_t count = 0;
    int error = 0;
    const ReadEnd end = sumDataFile(sum, count, error);
    if (end == ReadEnd::Stopped) return false; // the run ends as stopped; no error of the file's
    if (end != ReadEnd::Whole) {
        showError(RunPart::DataFile, "Error opening file " + serial::escapeFileName(dataFileName_) +
                                         ". Unable to get file checksum");
        return false;
    }
    fileChecksum_ = static_cast<int32_t>(sum % 65536u);
    fileSize_ = static_cast<int32_t>(count);
    return true;
}

bool ScriptEngine::dataFileUploadable(std::string& reason) {
    reason = dataFileProblem(dataFileName_);
    if (!reason.empty()) return false;
    uint32_t sum = 0;
    uint64_t count = 0;
    int error = 0;
    if (const ReadEnd end = sumDataFile(sum, count, error); end != ReadEnd::Whole) {
        reason = end == ReadEnd::Stopped
                     ? "reading it was stopped"
                     : "it cannot be read: " + readEndText(end, PieceReading{INT32_MAX, true, {}}, error);
        return false;
    }
    if (count != static_cast<uint64_t>(fileSize_) || static_cast<int32_t>(sum % 65536u) != fileChecksum_) {
        reason = "it changed after its checksum was taken";
        return false;
    }
    return true;
}

bool ScriptEngine::sumBlock(const uint8_t* data, int length) {
    uint8_t sum = 0;
    for (int i = 0; i < length; ++i)
        sum = static_cast<uint8_t>(sum + data[i]);
    dataChecksum_ = sum;
    return true;
}

bool ScriptEngine::readFileDate() {
    File file = openForReading(dataFileName_);
    struct stat st {};
    if (!file || ::fstat(fileno(file.get()), &st) != 0) {
        showError(RunPart::DataFile, "Error opening file " + serial::escapeFileName(dataFileName_));
        return false;
    }
    const std::time_t when = st.st_mtime;
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%d/%d/%04d_%d:%02d:%02d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    versionText_ = text;
    return true;
}

void ScriptEngine::uploadDataFile() {
    uploadIdle_ = false;
    imageSent_ = false;
    uploadFailure_.clear();
    const std::string cannotOpen = "Error opening " + serial::escapeFileName(dataFileName_) + ".\r";
    if (!openForReading(dataFileName_)) {
        showError(RunPart::DataFile, cannotOpen);
        uploadFailure_ = "it cannot be opened for the upload";
        uploadIdle_ = true;
        return;
    }

    const bool pci = linkMode_ == kLinkPci;
    bool progressShown = false;
    if (serialOpen() || pci) {
        blockCount_ = fileSize_ / kBlockSize;
        const int remainder = fileSize_ - blockCount_ * kBlockSize;
        File file = openForReading(dataFileName_);
        if (!file) {
            showError(RunPart::DataFile, cannotOpen);
            uploadFailure_ = "it cannot be opened for the upload";
            uploadIdle_ = true;
            return;
        }
        if (serialOpen()) {
            // The load command itself may still be in the driver's queue on a slow line.
            awaitDelivery();
            serial_->flushInBuffer();
            serial_->flushOutBuffer();
        }
        host_.setConfigMenuVisible(false);
        showProgress(blockCount_);
        progressShown = true;
        waitMs(kBeforeFirstBlockMs);

        std::vector<uint8_t> block(kBlockSize);
        // The file must still hold the bytes its checksum was taken over; a shorter file would
        // send stale buffer contents as data.
        auto readBlock = [&](int length) {
            if (std::fread(block.data(), 1, static_cast<std::size_t>(length), file.get()) ==
                static_cast<std::size_t>(length))
                return true;
            cancelled_ = 1;
            uploadFailure_ = "it changed during the upload";
            showError(RunPart::DataFile, "Error! Data file " + serial::escapeFileName(dataFileName_) +
                                             " changed during the upload. Cancel upload.");
            return false;
        };
        auto send = [&](int index, int length) {
            if (!imageSent_) imageStart_ = std::chrono::steady_clock::now();
            imageSent_ = true;
            sendBytes(length, block.data());
            imageEnd_ = std::chrono::steady_clock::now();
            host_.stepProgress();
            host_.blockSent(index, length);
        };
        int sent = 0;
        for (int i = 0; i < blockCount_ && cancelled_ == 0; ++i) {
            if (!readBlock(kBlockSize)) break;
            send(sent++, kBlockSize);
            pump();
        }
        if (cancelled_ == 0 && (remainder > 0 || blockCount_ == 0) && readBlock(remainder)) {
            if (serialOpen() || linkMode_ == kLinkPci) send(sent, remainder);
        }
    }
    uploadIdle_ = true;
    if (cancelled_ == 0) waitMs(postUploadWait_);
    pump();

    if ((serialOpen() || pci) && !boardWriteFailed_) confirmUpload();
    // The progress window, and with it the Stop button, stays until the unit's prompt was checked:
    // a second Stop gives up that check.
    if (progressShown) {
        hideProgress();
        host_.setConfigMenuVisible(true);
    }
    pump();
}

DataFileResult ScriptEngine::lastUpload() const {
    DataFileResult r{
        dataFileName_, fileSize_, fileChecksum_, loadAddressText_, versionText_, blocksOf(fileSize_), 0,
        false,         {}};
    if (imageSent_) r.dataPhaseSeconds = std::chrono::duration<double>(imageEnd_ - imageStart_).count();
    r.succeeded = cancelled_ == 0 && uploadFailure_.empty();
    if (!r.succeeded) r.failure = uploadFailure_.empty() ? "the upload did not complete" : uploadFailure_;
    return r;
}

void ScriptEngine::confirmUpload() {
    const bool pci = linkMode_ == kLinkPci;
    expectedPrompt_ = loaderPromptChar_;
    promptTimeout_ = kFirstPromptTicks;
    unitAnswer_.reset();
    unitAnswer_.setPrompts(mainPromptChar_, loaderPromptChar_);
    confirmingUpload_ = true;
    bool ok = false;
    int mainAnswers = 0; // consecutive attempts answered with the normal prompt alone
    for (int attempt = 1; attempt <= 1 + kPromptRetries && !waitsAbandoned_; ++attempt) {
        if (attempt > 1) {
            promptTimeout_ = kRetryPromptTicks;
            waitMs(pci ? kPciPromptRetryMs : kSerialPromptRetryMs);
        }
        ok = promptAttempt("\r", attempt, 1 + kPromptRetries);
        mainAnswers = lastAnswerMain_ ? mainAnswers + 1 : 0;
        // A unit that answers twice with its normal prompt has left loader mode: its loader prompt
        // cannot come any more, however long the attempts would wait.
        if (ok || linkFailed() || mainAnswers == kMainPromptAnswers) break;
    }
    confirmingUpload_ = false;
    promptTimeout_ = kNormalPromptTicks;
    if (ok || linkFailed()) return;
    if (waitsAbandoned_) {
        cancelled_ = 1; // the operator gave up on the unit; the closing message says so
        return;
    }
    std::string text = "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.";
    // The unit's own words tell the operator why (a checksum it did not accept, a timeout).
    if (const std::string said = unitAnswer_.lastLine(); !said.empty())
        text += " The unit's last answer: \"" + said + "\"";
    else if (mainAnswers == kMainPromptAnswers)
        text += " The unit answers with its normal prompt \"" + std::string(1, mainPromptChar_) + "\".";
    showError(RunPart::Unit, text);
    uploadFailure_ = "the unit did not confirm it";
    cancelled_ = 1;
}

int64_t ScriptEngine::blockDrainLimitMs(int length) const {
    int64_t baud = serial_ != nullptr ? serial_->baud() : 0;
    if (baud <= 0) baud = 38400;
    const int64_t lineMs = (static_cast<int64_t>(length) * 12 * 1000 + baud - 1) / baud;
    return std::max(kDrainMinimumMs, lineMs + kDrainMarginMs);
}

void ScriptEngine::sendBytes(int length, const uint8_t* data) {
    if (linkMode_ == kLinkPci) {
        if (board_ == nullptr) return;
        for (int i = 0; i < length; ++i) {
            int tries = 0;
            while (!board_->board_put_char(selectedBoard_, data[i])) {
                // A lost driver connection is told as such at once, not after the busy retries.
                if (linkFailed()) {
                    boardWriteFailed_ = true;
                    return;
                }
                if (tries++ == kPciPutRetries) {
                    // Skipping the byte would leave the unit with a corrupted image.
                    showError(RunPart::Link, "Error! The PCI board refused a data byte " +
                                                 std::to_string(tries) + " times. Cancel upload.");
                    cancelled_ = 1;
                    boardWriteFailed_ = true;
                    return;
                }
                waitMs(kPciBusyPauseMs);
            }
        }
        return;
    }
    if (serial_ == nullptr || linkFailed()) return;

    if (serial_->getOutBuffFree() < length) {
        showError(RunPart::Link, "Error! Communications Port Output Buffer Overflow. Cancel upload.");
        cancelled_ = 1;
        return;
    }
    const int ahead = serial_->driverQueueAhead();
    armCommandTimer();
    const bool put = serial_->putBlock(data, length);
    if (timerArmed_ && commandTimerDue()) {
        onWatchdogTick();
        return;
    }
    disarmCommandTimer();
    if (!put && linkFailed()) return;
    if (!put) {
        std::string why = serial_->lastError();
        showError(RunPart::Link, "Error! Writing to the serial port failed" +
                                     (why.empty() ? std::string() : ": " + why) + ". Cancel upload.");
        cancelled_ = 1;
        return;
    }

    const int64_t drainLimit = blockDrainLimitMs(length + ahead);
    EngineClock::Mark start = clock_.now();
    // A link that knows its buffer is empty is not asked for the count, which may cost a wait of its own.
    auto stillQueued = [&](int64_t waitMicros) {
        return serial_->waitOutBuffEmpty(waitMicros) ? 0 : serial_->getOutBuffUsed();
    };
    for (int used = stillQueued(0), previous = used; used != 0; previous = used) {
        if (stopWaitingForLine()) return;
        pump();
        // Woken as soon as the buffer empties; a full driver queue is waited out a pass at a time.
        used = stillQueued(clock_.realMicros(kDrainPassMs));
        if (used < previous) start = clock_.now();
        if (clock_.lineLimitPassed(start, drainLimit + 1)) {
            showError(RunPart::Link,
                      "Error! Output Buffer never empties. Check RS232 connection. Cancel upload.");
            cancelled_ = 1;
            return;
        }
    }
    const int64_t ctsLimit = blockDrainLimitMs(length);
    start = clock_.now();
    while (!serial_->getCts()) {
        if (stopWaitingForLine()) return;
        pump();
        clock_.sleepMs(1);
        if (clock_.lineLimitPassed(start, ctsLimit + 1)) {
            showError(RunPart::Link, "Error! CTS line not set. Check RS232 connection. Cancel upload.");
            cancelled_ = 1;
            return;
        }
    }
    // No output flush here: the block has left the output buffer but may still sit in the
    // driver's transmit queue, and purging that would cut bytes out of the upload.
}

// A transmit flush purges the driver's queue; bytes the unit must still get (the end of an image
// at a low rate) are given their time on the line first, as long as they keep moving.
void ScriptEngine::awaitDelivery() {
    int used = serial_->getOutBuffUsed();
    EngineClock::Mark start = clock_.now();
    for (int previous = used; used > 0 && !stopWaitingForLine(); previous = used) {
        pump();
        clock_.sleepMs(1);
        used = serial_->getOutBuffUsed();
        if (used < previous) start = clock_.now();
        if (clock_.lineLimitPassed(start, blockDrainLimitMs(used) + 1)) return;
    }
}

} // namespace brimwell::script
