// The script engine's view of the main window: message boxes through the dialog seam, the status
// bar, the two buttons, the progress window, the cursor and the configuration menu.
#pragma once

#include "app/cli/run_record.h"
#include "script/script_host.h"

#include <string>
#include <vector>

namespace brimwell::app {

class MainWindow;

class WindowHost : public script::ScriptHost {
  public:
    explicit WindowHost(MainWindow& form) : form_(form) {}
    ~WindowHost() override;

    void report(const script::RunError& message) override;
    void setStatusText(const std::string& text) override;
    void setButtonsEnabled(bool enabled) override;
    void processEvents() override;
    void showProgress(const script::ProgressInfo& info) override;
    void stepProgress() override;
    void hideProgress() override;
    void setBusyCursor(bool busy) override;
    void setConfigMenuVisible(bool visible) override;
    void setPciBoardLabel(bool visible, const std::string& caption) override;
    void focusTerminal() override;
    std::string giveUpHint() const override { return "Press Stop again to give up."; }
    void runFinished(script::RunOutcome outcome) override;
    void dataFileDone(const script::DataFileResult& result) override;
    void blockSent(int blockIndex, int length) override;
    void unitAnswered(const std::string& query, const std::string& answer) override;

    // Every text, data file and answer of the run also goes to `record` (null: none).
    void setRecord(cli::RunRecord* record) { record_ = record; }

    // Outcome of the last finished run as the engine reported it.
    script::RunOutcome lastOutcome() const { return lastOutcome_; }
    // Error boxes shown since the count was last reset.
    int errorMessages() const { return errorMessages_; }
    void resetErrorMessages() { errorMessages_ = 0; }
    // Whether the error box `text` was shown since forgetShownErrors().
    bool errorShown(const std::string& text) const;
    void forgetShownErrors() { errorsShown_.clear(); }

  private:
    MainWindow& form_;
    int busyDepth_ = 0;
    script::RunOutcome lastOutcome_ = script::RunOutcome::None;
    int errorMessages_ = 0;
    std::vector<std::string> errorsShown_;
    cli::RunRecord* record_ = nullptr;
};

} // namespace brimwell::app
