// The engine's shared plumbing: construction, settings, the event pump with its watchdog, the
// clock-driven waits and the progress window operations.
#include "script/script_engine.h"

#include "serial/shown_text.h"

#include <algorithm>
#include <cstdio>

namespace brimwell::script {

ScriptEngine::ScriptEngine(ScriptHost& host, EngineClock& clock) : host_(host), clock_(clock) {}

void ScriptEngine::applySettings(const LoaderSettings& settings) {
    MainPromptChar = settings.MainPromptChar;
    LoaderPromptChar = settings.LoaderPromptChar;
    LoaderModeCommand = settings.LoaderModeCommand;
    LoadKeyword = settings.LoadKeyword;
}

bool ScriptEngine::serialOpen() const {
    return serial_ != nullptr && serial_->isOpen();
}

bool ScriptEngine::linkFailed() {
    const std::string why = LinkMode == kLinkSerial && serial_ != nullptr ? serial_->failure()
                            : LinkMode == kLinkPci && board_ != nullptr   ? board_->failure(SelectedBoard)
                                                                          : std::string();
    if (why.empty()) {
        linkFailureShown_ = false; // a port opened again
        return false;
    }
    if (!linkFailureShown_) {
        linkFailureShown_ = true;
        Cancelled = 1;
        showError(RunPart::Link, why);
    }
    return true;
}

void ScriptEngine::showError(RunPart what, const std::string& text) {
    MessageText = text;
    host_.report({what, text, MessageKind::Error});
}

void ScriptEngine::pump() {
    host_.processEvents();
    // The watchdog is a timer of the window; here it is served wherever events are let run.
    if (timerArmed_ && commandTimerDue()) CommandTimerTimer();
}

void ScriptEngine::waitMs(int64_t ms) {
    // Short slices keep the Stop button, the port's notifications and the watchdog alive.
    constexpr int64_t kSliceMs = 10;
    const EngineClock::Mark start = clock_.now();
    for (;;) {
        pump();
        if (WaitsAbandoned) return;
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

void ScriptEngine::ShowProgressForm(int blockCount) {
    ProgressInfo info;
    info.fileName = serial::escapeFileName(DataFileName);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(FileChecksum));
    info.checksumText = hex;
    info.loadAddressText = LoadAddressText;
    info.fileSizeText = std::to_string(FileSize);
    info.maximum = blockCount > 0 ? blockCount : 1;
    info.fileSize = FileSize;
    info.checksum = FileChecksum;
    info.blockCount = blockCount;
    info.blocks = blocksOf(FileSize);
    host_.showProgress(info);
    pump();
}

void ScriptEngine::HideProgressForm() {
    host_.hideProgress();
    pump();
}

ScriptEngine::StopPress ScriptEngine::CancelButtonClick() {
    const bool again = stopRequested_ && Cancelled != 0;
    Cancelled = 1;
    stopRequested_ = true;
    if (!again) return StopPress::Stopping;
    abandonWaits();
    return StopPress::GivingUp;
}

void ScriptEngine::abandonWaits() {
    WaitsAbandoned = true;
    if (serial_ != nullptr) serial_->abandonWaits(true);
}

} // namespace brimwell::script
