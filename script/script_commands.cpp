// The fifteen script commands: argument forms, escapes, the readiness chain of a data file
// (_LF/_LK, _LA, _LV, _LD) and the answer branches (_CE, _CS).
#include "script/script_engine.h"

#include "serial/shown_text.h"

#include "script/data_file.h"
#include "script/load_fields.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace brimwell::script {
namespace {

constexpr std::size_t kCommandTextChars = 403;
constexpr std::size_t kDataFileNameChars = 299;
constexpr std::size_t kLoadAddressChars = 49;
constexpr std::size_t kVersionChars = 89;
constexpr std::size_t kAnswerChars = 999;

constexpr int kLoaderModeFirstPauseMs = 1000;
constexpr int kLoaderModeRetryPauseMs = 2500;
constexpr int kLoaderModeRetries = 2;
constexpr int kBeforeLoaderModeMs = 100;
constexpr int kAfterSendMs = 200;
constexpr int kAfterLoadCommandMs = 500;
constexpr int kAfterQueryMs = 100;
constexpr int32_t kShortPromptTicks = 65;
constexpr int32_t kNormalPromptTicks = 265;

std::string limited(std::string text, std::size_t limit) {
    if (text.size() > limit) text.resize(limit);
    return text;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    std::size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

// Q form: after the first double quote up to, not including, the line's last character.
bool quotedArgument(const std::string& line, std::string& arg) {
    const std::size_t q = line.find('"');
    if (q == std::string::npos) return false;
    const std::size_t from = q + 1;
    arg = from < line.size() ? line.substr(from, line.size() - from - 1) : std::string();
    return true;
}

// W form: after the first space, further leading spaces skipped, to the end of the line.
bool wordArgument(const std::string& line, std::string& arg) {
    const std::size_t sp = line.find(' ');
    if (sp == std::string::npos) return false;
    std::size_t from = sp;
    while (from < line.size() && line[from] == ' ')
        ++from;
    arg = line.substr(from);
    return true;
}

} // namespace

bool ScriptEngine::runCommandLine() {
    if (lineIndex_ < 0 || lineIndex_ >= kLineSlots) {
        showError(RunPart::Script, "Error! The script has more than 300 command lines. Exiting script.");
        return false;
    }
    auto& slot = lineTable_[static_cast<std::size_t>(lineIndex_)];
    if (slot[0] != '_') return true;
    const std::size_t end = static_cast<std::size_t>(std::clamp(linePos_, 0, kMaxLineLength));
    slot[end] = '\0';
    const std::string line(slot.data());
    const std::string code = line.substr(0, 3);

    bool goOn = true;
    std::string arg;
    if (code == "_SC") {
        if (quotedArgument(line, arg)) {
            commandText_ = limited(replaceAll(arg, "^M", "\r") + "\r", kCommandTextChars);
            sendCommandText();
            waitMs(kAfterSendMs);
            pump();
        }
    } else if (code == "_TC") {
        if (quotedArgument(line, arg)) goOn = runLoaderMode(replaceAll(arg, "^M", "\r"));
    } else if (code == "_DM") {
        if (quotedArgument(line, arg)) {
            commandText_ = limited(replaceAll(arg, "^M", "\r"), kCommandTextChars);
            host_.report({RunPart::ScriptMessage, commandText_, MessageKind::Information});
        }
    } else if (code == "_DY") {
        if (wordArgument(line, arg)) {
            const long value = std::atol(arg.c_str());
            pump();
            // Capped so a huge value cannot overflow the pass count.
            const long passes = value > 0 ? std::min(value, 100000000L) * 10 : 0;
            for (long i = 0; i < passes && !waitsAbandoned_; ++i) {
                clock_.sleepMs(1);
                pump();
            }
        }
    } else if (code == "_LP") {
        // A negative wait would never end; only positive values are taken.
        if (wordArgument(line, arg)) {
            const long value = std::atol(arg.c_str());
            if (value > 0) postUploadWait_ = static_cast<int32_t>(std::min(value, 2000000L) * 1000);
        }
    } else if (code == "_LC") {
        if (quotedArgument(line, arg)) loadKeyword_ = arg;
    } else if (code == "_LF" || code == "_LK") {
        if (wordArgument(line, arg)) {
            dataFileName_ = limited(arg, kDataFileNameChars);
            const DataFileLookup lookup = findDataFile(dataFileName_, scriptPath_);
            if (!lookup.found.empty()) {
                dataFileName_ = lookup.found;
                fileReady_ = true;
            } else {
                std::string text = "Error! Unable to open file " + serial::escapeFileName(dataFileName_) +
                                   ". Cannot upload file.";
                // A directory or a device is named as what it is: no search finds it a file.
                if (lookup.problem != kDataFileMissing)
                    text += " I" + lookup.problem.substr(1) + ".";
                else if (lookup.places.find(" and ") != std::string::npos)
                    text += " Looked in " + serial::escapeFileName(lookup.places) + ".";
                showError(RunPart::DataFile, text);
                DataFileResult result;
                result.fileName = dataFileName_;
                dataFileFailed(lookup.problem, &result);
            }
        }
        loadKeyword_ = code == "_LF" ? "LF" : "LK";
    } else if (code == "_LA") {
        if (fileReady_) {
            fileReady_ = false;
            if (wordArgument(line, arg)) {
                loadAddressText_ = limited(arg, kLoadAddressChars);
                DataFileResult result;
                result.fileName = dataFileName_;
                result.loadAddress = loadAddressText_;
                // Anything but one number would reach the unit inside the load command.
                if (const FieldProblem problem = loadAddressProblem(loadAddressText_); problem.fails) {
                    showError(RunPart::DataFile, "Error! The " + problem.text + ". Cannot upload file.");
                    dataFileFailed("its " + problem.text, &result);
                } else if (readFileChecksum()) {
                    addressReady_ = true;
                } else {
                    dataFileFailed("it cannot be read", &result);
                }
            }
        }
    } else if (code == "_LV") {
        if (addressReady_) {
            addressReady_ = false;
            if (wordArgument(line, arg)) {
                for (char& c : arg)
                    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
                versionText_ = limited(arg, kVersionChars);
            }
            const FieldProblem problem = versionTextProblem(versionText_);
            if (problem.fails) {
                showError(RunPart::DataFile, "Error! The " + problem.text + ". Cannot upload file.");
                DataFileResult result;
                result.fileName = dataFileName_;
                result.loadAddress = loadAddressText_;
                result.version = versionText_;
                dataFileFailed("its " + problem.text, &result);
            } else {
                if (!problem.text.empty())
                    host_.report(
                        {RunPart::DataFile, "Note: the " + problem.text + ".", MessageKind::Warning});
                if (versionText_ == "DATE") readFileDate();
                versionReady_ = true;
            }
        }
    } else if (code == "_LD") {
        if (versionReady_) goOn = runLoad();
    } else if (code == "_PC") {
        if (quotedArgument(line, arg)) {
            const std::size_t q = line.find('"');
            loaderPromptChar_ = q + 1 < line.size() ? line[q + 1] : '\0';
        }
    } else if (code == "_QC") {
        if (quotedArgument(line, arg)) runQuery(arg);
    } else if (code == "_CE" || code == "_CS") {
        goOn = runBranch(code == "_CS", line);
    }
    if (!goOn) return false;

    ++lineIndex_;
    linePos_ = 0;
    return true;
}

bool ScriptEngine::runLoaderMode(const std::string& argument) {
    waitMs(kBeforeLoaderModeMs);
    expectedPrompt_ = loaderPromptChar_;
    promptTimeout_ = kShortPromptTicks;
    // The loader-mode command, two retries and a last look for the normal prompt.
    const int attempts = 3 + kLoaderModeRetries;

    bool ok = promptAttempt(argument, 1, attempts);
    if (!ok) {
        sendString(loaderModeCommand_);
        waitMs(kLoaderModeFirstPauseMs);
        ok = promptAttempt("\r", 2, attempts);
    }
    for (int i = 0; !ok && i < kLoaderModeRetries; ++i) {
        waitMs(kLoaderModeRetryPauseMs);
        pump();
        ok = promptAttempt("\r", 3 + i, attempts);
    }
    if (!ok) {
        // One last look for the normal prompt tells a unit outside loader mode from a silent one.
        expectedPrompt_ = mainPromptChar_;
        if (promptAttempt("\r", attempts, attempts))
            showError(RunPart::Unit, "Error! Unit not in Loader Mode! Exiting script");
        else
            showError(RunPart::Unit, "Error! Unable to get response from unit(_TC)! Exiting script");
        return false;
    }
    promptTimeout_ = kNormalPromptTicks;
    return true;
}

bool ScriptEngine::runLoad() {
    DataFileResult result{
        dataFileName_, fileSize_, fileChecksum_, loadAddressText_, versionText_, blocksOf(fileSize_), 0,
        false,         {}};
    versionReady_ = false;
    // A file that cannot be read to its end would leave the unit in the middle of a load: it is
    // found out before the load command, and the script goes on as after a file that does not open.
    if (std::string reason; !dataFileUploadable(reason)) {
        showError(RunPart::DataFile, "Error! Data file " + serial::escapeFileName(dataFileName_) +
                                         " cannot be uploaded: " + reason +
                                         ". Nothing was sent to the unit.");
        dataFileFailed(reason, &result);
        return true;
    }
    promptTimeout_ = kShortPromptTicks;
    if (!promptAttempt("\r", 1, 2) && !promptAttempt("\r", 2, 2)) {
        showError(RunPart::Unit, "Error! Unable to receive prompt before upload.... Exiting script.");
        promptTimeout_ = kNormalPromptTicks;
        dataFileFailed("the unit gave no prompt before the load command", &result);
        return false;
    }
    promptTimeout_ = kNormalPromptTicks;

    std::string command = loadKeyword_ + " " + loadAddressText_ + " " + std::to_string(fileSize_) + " ";
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(fileChecksum_));
    command += hex;
    command += " " + versionText_ + "\r";
    commandText_ = limited(command, kCommandTextChars);
    // From the load command on, the unit takes every byte as part of the image until it has
    // answered the prompt check: no key and no terminal answer may reach it.
    struct LineHeld {
        bool& held;
        ~LineHeld() { held = false; }
    } lineHeld{lineHeld_ = true};
    sendCommandText();
    waitMs(kAfterLoadCommandMs);

    if (linkMode_ == kLinkPci)
        host_.setPciBoardLabel(true, "PCI Board :  " + std::to_string(selectedBoard_));
    else
        host_.setPciBoardLabel(false, "PCI Board :  ");
    pump();

    uploadDataFile();
    result = lastUpload();
    if (result.succeeded)
        host_.dataFileDone(result);
    else // the file did not open for the upload (the script goes on), or the upload failed
        dataFileFailed(result.failure, &result);
    return cancelled_ == 0;
}

void ScriptEngine::dataFileFailed(const std::string& reason, DataFileResult* result) {
    if (fileFailure_.empty() && !stopRequested_)
        fileFailure_ =
            "Data file " + serial::escapeFileName(dataFileName_) + " was not uploaded: " + reason + ".";
    if (result == nullptr) return;
    result->failure = stopRequested_ ? "stopped by the operator" : reason;
    host_.dataFileDone(*result);
}

std::string ScriptEngine::dataFileFailureText(const char* separator) const {
    if (fileFailure_.empty() || stopRequested_) return {};
    return "Unsuccessful." + std::string(separator) + fileFailure_;
}

void ScriptEngine::runQuery(const std::string& argument) {
    commandText_ = limited(replaceAll(argument, "^M", " "), kCommandTextChars);
    minAnswerLength_ = 10;
    // Without a usable link nothing is captured; the previous answer must not pass for this one.
    captureBuffer_[0] = '\0';
    queryUnit();
    waitMs(kAfterQueryMs);
    pump();
    std::string answer;
    for (const char* p = captureBuffer_.data(); *p != '\0' && p < captureBuffer_.data() + kCaptureSize; ++p)
        if (*p != '\r' && *p != '\n') answer += *p;
    answerText_ = limited(answer, kAnswerChars);
    host_.unitAnswered(commandText_, answerText_);
    if (answerText_.empty()) showError(RunPart::Unit, "Error! No response detected with _QC command");
}

bool ScriptEngine::runBranch(bool contains, const std::string& line) {
    const std::size_t q = line.find('"');
    if (q == std::string::npos) return true;
    // A missing closing quote ends the argument at the end of the line (nothing can follow it).
    std::size_t close = line.find('"', q + 1);
    if (close == std::string::npos) close = line.size();
    const std::string arg = line.substr(q + 1, close - q - 1);
    commandText_ = limited(replaceAll(replaceAll(arg, "\\r", "\r"), "\\n", "\n"), kCommandTextChars);

    const bool match =
        contains ? answerText_.find(commandText_) != std::string::npos : answerText_ == commandText_;
    if (!match) return true;

    std::size_t rest = close + 1;
    while (rest < line.size() && line[rest] == ' ')
        ++rest;
    if (rest >= line.size()) {
        showError(RunPart::Unit, contains ? "Error! No line found after successful _CS"
                                          : "Error! No line found after successful _CR");
        return true;
    }
    const std::string chained = line.substr(rest);
    auto& slot = lineTable_[static_cast<std::size_t>(lineIndex_)];
    slot.fill('\0');
    chained.copy(slot.data(), chained.size());
    linePos_ = static_cast<int32_t>(chained.size());
    return runCommandLine();
}

} // namespace brimwell::script
