// The engine's shared plumbing: construction, settings, the event pump with its watchdog, the
// clock-driven waits and the progress window operations.
#include "script/script_engine.h"

#include "serial/time_base.h"

#include <algorithm>
#include <cstdio>

namespace brimwell::script {

ScriptEngine::ScriptEngine(ScriptHost& host) : host_(host) {}

void ScriptEngine::applySettings(const LoaderSettings& settings) {
    MainPromptChar = settings.MainPromptChar;
    LoaderPromptChar = settings.LoaderPromptChar;
    LoaderModeCommand = settings.LoaderModeCommand;
    LoadKeyword = settings.LoadKeyword;
}

bool ScriptEngine::serialOpen() const { return serial_ != nullptr && serial_->isOpen(); }

void ScriptEngine::showError(const std::string& text) {
    MessageText = text;
    host_.showMessage(text);
}

void ScriptEngine::pump() {
    host_.processEvents();
    // The watchdog is a timer of the window; here it is served wherever events are let run.
    if (timerArmed_ && commandTimerDue()) CommandTimerTimer();
}

void ScriptEngine::waitMs(int64_t ms) {
    // Short slices keep the Stop button, the port's notifications and the watchdog alive.
    constexpr int64_t kSliceMs = 10;
    const uint32_t start = Clock::msecs();
    for (;;) {
        pump();
        const int64_t left = ms - static_cast<int64_t>(static_cast<uint32_t>(Clock::msecs() - start));
        if (left <= 0) return;
        Clock::sleepMs(std::min(left, kSliceMs));
    }
}

void ScriptEngine::armCommandTimer() {
    timerArmed_ = true;
    timerStart_ = Clock::msecs();
}

void ScriptEngine::disarmCommandTimer() { timerArmed_ = false; }

bool ScriptEngine::commandTimerDue() const {
    return static_cast<uint32_t>(Clock::msecs() - timerStart_) >= static_cast<uint32_t>(kCommandTimerMs);
}

void ScriptEngine::ShowProgressForm(int blockCount) {
    ProgressInfo info;
    info.fileName = DataFileName;
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(FileChecksum));
    info.checksumText = hex;
    info.loadAddressText = LoadAddressText;
    info.fileSizeText = std::to_string(FileSize);
    info.maximum = blockCount > 0 ? blockCount : 1;
    info.fileSize = FileSize;
    info.checksum = FileChecksum;
    info.blockCount = blockCount;
    host_.showProgress(info);
    pump();
}

void ScriptEngine::HideProgressForm() {
    host_.hideProgress();
    pump();
}

void ScriptEngine::CancelButtonClick() {
    Cancelled = 1;
    stopRequested_ = true;
}

} // namespace brimwell::script
