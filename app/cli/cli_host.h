// The script engine's host on the command line: message boxes and status texts become lines on
// standard error, the progress window becomes a bar on a terminal or plain lines otherwise, and
// the event pump runs the Qt event loop of the QCoreApplication.
#pragma once

#include "app/cli/run_record.h"
#include "script/script_host.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace brimwell::cli {

// One line to a parent's event pipe (nothing for fd -1); a parent that went away is ignored.
void sendEvent(int fd, const std::string& line);

class CliHost : public script::ScriptHost {
  public:
    // `progressOut` gets the progress; `interactive` draws a bar (a terminal) instead of lines.
    CliHost(std::FILE* progressOut, std::FILE* messageOut, bool interactive);

    void report(const script::RunError& message) override;
    void setStatusText(const std::string& text) override;
    void setButtonsEnabled(bool) override {}
    void processEvents() override;
    void showProgress(const script::ProgressInfo& info) override;
    void stepProgress() override;
    void hideProgress() override;
    void setPciBoardLabel(bool visible, const std::string& caption) override;
    std::string giveUpHint() const override { return "Ctrl+C again gives up."; }
    void runFinished(script::RunOutcome outcome) override { finished_ = outcome; }
    void dataFileDone(const script::DataFileResult& result) override;
    void blockSent(int, int length) override {
        if (record_) record_->addBytesSent(length);
    }
    void unitAnswered(const std::string& query, const std::string& answer) override {
        if (record_) record_->addAnswer(query, answer);
    }

    // Every message-box text shown so far, in order (what the operator would have had to close).
    const std::vector<std::string>& messages() const { return messages_; }
    // The first failure reported, as the operator read it; none when the run reported none.
    const std::optional<std::string>& firstFailure() const { return firstFailure_; }
    script::RunOutcome finished() const { return finished_; }

    // One line on the message stream, for the runner's own notes (set-up, Ctrl+C).
    void note(const std::string& text);
    // One closing line per data file of the run: bytes, data-phase seconds, bytes per second and,
    // for a serial line (`lineBytesPerSecond` above 0), the fraction of the line's rate.
    void noteDataFiles(double lineBytesPerSecond, const std::string& lineRate);

    // Every text and data file also goes to `record` (may be null).
    void setRecord(RunRecord* record) { record_ = record; }
    // A parent running several units reads this unit's progress from `fd` as lines
    // "file NAME" and "progress STEP MAXIMUM"; -1: none.
    void setEventFd(int fd) { eventFd_ = fd; }
    // Sends one line to the parent, if there is one.
    void event(const std::string& line) const;

  private:
    void drawBar();
    void endBar();
    void printLine(const std::string& text);

    std::FILE* progress_;
    std::FILE* messages_out_;
    bool interactive_;
    std::vector<std::string> messages_;
    std::optional<std::string> firstFailure_;
    script::RunOutcome finished_ = script::RunOutcome::None;
    std::vector<script::DataFileResult> files_;

    bool showing_ = false;
    script::ProgressInfo info_;
    int step_ = 0;
    int lastReportedTenth_ = -1;
    bool barDrawn_ = false;
    RunRecord* record_ = nullptr;
    int eventFd_ = -1;
};

} // namespace brimwell::cli
