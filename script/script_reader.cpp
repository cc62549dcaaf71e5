// Reading a script file character by character and running each command line the moment its
// line end has been read; the interactive run around it.
#include "script/script_engine.h"

#include "serial/shown_text.h"

#include <cstdio>
#include <memory>

namespace brimwell::script {
namespace {

const char* const kLineTooLong =
    "Error! A command line of the script is longer than 199 characters. Exiting script.";

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

} // namespace

bool scriptHasCommandLines(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    bool lineStart = true;
    for (int ch; file && (ch = std::fgetc(file.get())) != EOF;) {
        if (ch == '\n') lineStart = true;
        if (lineStart && (ch == '_' || ch == ';')) {
            if (ch == '_') return true;
            lineStart = false;
        }
    }
    return false;
}

void ScriptEngine::resetLineTable() {
    for (auto& slot : lineTable_)
        slot.fill('\0');
    lineIndex_ = 0;
    linePos_ = 0;
}

bool ScriptEngine::storeChar(char c) {
    if (lineIndex_ < 0 || lineIndex_ >= kLineSlots) return false;
    if (linePos_ >= kMaxLineLength) {
        lineTooLong_ = true;
        return false;
    }
    lineTable_[static_cast<std::size_t>(lineIndex_)][static_cast<std::size_t>(linePos_)] = c;
    ++linePos_;
    return true;
}

void ScriptEngine::finishRun(RunOutcome outcome) {
    outcome_ = outcome;
}

bool ScriptEngine::runScript() {
    if (cancelled_ == 0) stopRequested_ = false;
    bool lineStart = true;
    bool inCommand = false;
    lineTooLong_ = false;
    boardWriteFailed_ = false;
    host_.setButtonsEnabled(false);
    host_.setStatusText("Reading script file. Please wait....");
    pump();

    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(scriptPath_.c_str(), "rb"));
    if (!file) {
        showError(RunPart::Script,
                  "Error opening file " + serial::escapeFileName(scriptPath_) + " for read.");
        host_.setStatusText(" ");
        host_.setButtonsEnabled(true);
        finishRun(RunOutcome::Failed);
        return false;
    }

    // A command that stops the script ends the run here, file closed and buttons back.
    auto stopped = [&]() {
        file.reset();
        const std::string failure = dataFileFailureText(" ");
        host_.setStatusText(failure.empty() ? " " : failure);
        host_.setButtonsEnabled(true);
        finishRun(stopRequested_ && cancelled_ ? RunOutcome::Stopped : RunOutcome::Failed);
        return false;
    };
    // The line ended: run it unless it broke the format's limits.
    auto runLine = [&]() {
        if (lineTooLong_) {
            showError(RunPart::Script, kLineTooLong);
            return false;
        }
        return runCommandLine();
    };

    // Events run now and then between characters too: a script that is long, or never ends, can
    // still be stopped while it is read.
    constexpr long kCharsBetweenEvents = 4096;
    for (long read = 1; cancelled_ == 0; ++read) {
        if (read % kCharsBetweenEvents == 0) {
            pump();
            if (cancelled_ != 0) break;
        }
        int ch = std::fgetc(file.get());
        if (ch == '\r') {
            // Text-mode reading: the carriage return of a CR LF pair is not part of the line.
            const int next = std::fgetc(file.get());
            if (next == '\n') {
                ch = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file.get());
            }
        }
        if (ch == EOF && std::ferror(file.get())) {
            // Opened but unreadable (a directory, an I/O error): not an empty script that succeeded.
            showError(RunPart::Script,
                      "Error opening file " + serial::escapeFileName(scriptPath_) + " for read.");
            return stopped();
        }
        if (ch == EOF) {
            // The file does not end with a line feed: its last command line still runs, and
            // when it fails the run has failed like any other failing line.
            if (inCommand && !runLine()) return stopped();
            break;
        }
        const char c = static_cast<char>(ch);
        if (c == '\n') {
            lineStart = true;
            if (inCommand && !runLine()) return stopped();
            inCommand = false;
            continue;
        }
        if (lineStart && c == '_') {
            inCommand = true;
            lineStart = false;
            lineTooLong_ = false;
        } else if (lineStart && c == ';') {
            inCommand = false;
            lineStart = false;
        }
        if (inCommand && !storeChar(c) && !lineTooLong_) {
            // No slot left for this command line.
            showError(RunPart::Script, "Error! The script has more than 300 command lines. Exiting script.");
            return stopped();
        }
    }

    file.reset();
    if (cancelled_ == 0 && !dataFileFailureText(" ").empty()) {
        // The script went on past a data file that was not uploaded: not a success.
        host_.setStatusText(dataFileFailureText(" "));
        finishRun(RunOutcome::Failed);
    } else if (cancelled_ == 0) {
        host_.setStatusText("SUCCESS. Reading script file complete");
        finishRun(RunOutcome::Completed);
    } else {
        host_.setStatusText("Unsuccessful. Upload terminated by user/error(s).");
        finishRun(stopRequested_ ? RunOutcome::Stopped : RunOutcome::Failed);
    }
    host_.setButtonsEnabled(true);
    return true;
}

RunOutcome ScriptEngine::runPickedScript(const std::string& scriptPath) {
    host_.setBusyCursor(true);
    cancelled_ = 0;
    stopRequested_ = false;
    // An earlier run's give-up does not carry over into this one.
    waitsAbandoned_ = false;
    if (serial_ != nullptr) serial_->abandonWaits(false);
    fileFailure_.clear();

    bool anyRun = false;
    bool anyFailed = false;
    auto runOnce = [&]() {
        resetLineTable();
        scriptPath_ = scriptPath;
        runScript();
        anyRun = true;
        if (outcome_ != RunOutcome::Completed) anyFailed = true;
    };
    if (linkMode_ == kLinkPci) {
        // The same script once per board, in ascending ID order; a stop ends every later run at once.
        for (int id = 0; id < kBoardCount; ++id) {
            if (boardMap_[static_cast<std::size_t>(id)] < 0) continue;
            selectedBoard_ = id;
            runOnce();
        }
    } else {
        runOnce();
    }

    RunOutcome result = RunOutcome::Completed;
    if (stopRequested_ && cancelled_ != 0)
        result = RunOutcome::Stopped;
    else if (!anyRun || anyFailed || cancelled_ != 0)
        result = RunOutcome::Failed;
    outcome_ = result;

    // A data file that was not uploaded is named; a stop by the operator says so word for word.
    const std::string failure = dataFileFailureText("  ");
    host_.report({RunPart::Outcome,
                  result == RunOutcome::Completed ? "Upload Complete."
                  : failure.empty()               ? "Unsuccessful.  Upload terminated by user."
                                                  : failure,
                  result == RunOutcome::Completed ? MessageKind::Information
                  : result == RunOutcome::Stopped ? MessageKind::Warning
                                                  : MessageKind::Error});
    host_.focusTerminal();
    host_.setBusyCursor(false);
    host_.runFinished(result);
    return result;
}

} // namespace brimwell::script
