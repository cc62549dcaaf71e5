// The engine's shared plumbing: construction, settings, the event pump with its watchdog, the
// clock-driven waits and the progress window operations.
#include "script/script_engine.h"

#include "serial/shown_text.h"

#include <algorithm>
#include <cstdio>

namespace brimwell::script {

ScriptEngine::ScriptEngine(ScriptHost& host, EngineClock& clock) : host_(host), clock_(clock) {}

void ScriptEngine::applySettings(const LoaderSettings& settings) {
    mainPromptChar_ = settings.mainPromptChar;
    loaderPromptChar_ = settings.loaderPromptChar;
    loaderModeCommand_ = settings.loaderModeCommand;
    loadKeyword_ = settings.loadKeyword;
}

bool ScriptEngine::serialOpen() const {
    return serial_ != nullptr && serial_->isOpen();
}

bool ScriptEngine::linkFailed() {
    const std::string why = linkMode_ == kLinkSerial && serial_ != nullptr ? serial_->failure()
                            : linkMode_ == kLinkPci && board_ != nullptr   ? board_->failure(selectedBoard_)
                                                                           : std::string();
    if (why.empty()) {
        linkFailureShown_ = false; // a port opened again
        return false;
    }
    if (!linkFailureShown_) {
        linkFailureShown_ = true;
        cancelled_ = 1;
        showError(RunPart::Link, why);
    }
    return true;
}

void ScriptEngine::showError(RunPart what, const std::string& text) {
    messageText_ = text;
    host_.report({what, text, MessageKind::Error});
}

void ScriptEngine::pump() {
    host_.processEvents();
    // The watchdog is a timer of the window; here it is served wherever events are let run.
    if (timerArmed_ && commandTimerDue()) onWatchdogTick();
}

void ScriptEngine::waitMs(int64_t ms) {
    // Short slices keep the Stop button, the port's notifications and the watchdog alive.
    constexpr int64_t kSliceMs = 10;
    const EngineClock::Mark start = clock_.now();
    for (;;) {
        pump();
        if (waitsAbandoned_) return;
        const int64_t left = ms - clock_.elapsedMs(start);
        if (left <= 0) return;
        clock_.sleepMs(std::min(left, kSliceMs));
    }
}

void ScriptEngine::armCommandTimer() {
    timerArmed_ = true;
    timerStart_ = clock_.now();
}

void ScriptEngine::disarmCommandTimer() {
    timerArmed_ = false;
}

bool ScriptEngine::commandTimerDue() {
    return clock_.limitPassed(timerStart_, kCommandTimerMs);
}

void ScriptEngine::showProgress(int blockCount) {
    ProgressInfo info;
    info.fileName = serial::escapeFileName(dataFileName_);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(fileChecksum_));
    info.checksumText = hex;
    info.loadAddressText = loadAddressText_;
    info.fileSizeText = std::to_string(fileSize_);
    info.maximum = blockCount > 0 ? blockCount : 1;
    info.fileSize = fileSize_;
    info.checksum = fileChecksum_;
    info.blockCount = blockCount;
    info.blocks = blocksOf(fileSize_);
    host_.showProgress(info);
    pump();
}

void ScriptEngine::hideProgress() {
    host_.hideProgress();
    pump();
}

ScriptEngine::StopPress ScriptEngine::pressStop() {
    const bool again = stopRequested_ && cancelled_ != 0;
    cancelled_ = 1;
    stopRequested_ = true;
    if (!again) return StopPress::Stopping;
    abandonWaits();
    return StopPress::GivingUp;
}

void ScriptEngine::abandonWaits() {
    waitsAbandoned_ = true;
    if (serial_ != nullptr) serial_->abandonWaits(true);
}

void ScriptEngine::setCommandLine(const std::string& text) {
    const std::size_t n = std::min<std::size_t>(text.size(), kMaxLineLength);
    text.copy(lineTable_[0].data(), n);
    linePos_ = static_cast<int32_t>(n);
}

} // namespace brimwell::script
