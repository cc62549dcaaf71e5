// What the script engine needs from whoever runs it: the operator's side of a run (message boxes,
// status text, buttons, progress, cursor) and the event pump. The window, the command line and the
// tests each implement it.
#pragma once

#include <cstdint>
#include <string>

namespace brimwell::script {

// The blocks a file of `size` bytes goes out in: whole 2000-byte blocks and a shorter last one (an
// empty file still makes one empty block).
inline int32_t blocksOf(int32_t size) {
    return size / 2000 + (size % 2000 != 0 || size == 0 ? 1 : 0);
}

// What the progress window shows for one data-file upload, already in its display form.
struct ProgressInfo {
    std::string fileName;        // blockNameLabel: the data file path, escaped for showing
    std::string checksumText;    // checksumLabel: upper-case hexadecimal, no leading zeros
    std::string loadAddressText; // loadAddressLabel
    std::string fileSizeText;    // fileSizeLabel: decimal
    int maximum = 1;             // fileProgressBar maximum: the block count, at least 1
    // The same values as numbers, for hosts that draw their own progress.
    int32_t fileSize = 0;
    int32_t checksum = 0;
    int32_t blockCount = 0; // whole blocks (BlockCount)
    int32_t blocks = 0;     // every block that goes out, the short last one included
};

// One `_LD` load as the run record keeps it: what was announced to the unit and how it went.
struct DataFileResult {
    std::string fileName; // as the file system knows it (bytes, not escaped)
    int32_t fileSize = 0;
    int32_t checksum = 0; // the 16-bit byte sum the load command announced
    std::string loadAddress;
    std::string version;
    int32_t blocks = 0; // the file's 2000-byte blocks, the last one possibly shorter
    // Real time from the image's first byte put to its last byte gone from the output buffer
    // (whatever time scale the engine runs at); zero when none went out.
    double dataPhaseSeconds = 0;
    bool succeeded = false;
    std::string failure; // why it was not uploaded ("it is a directory", "the unit did not confirm it")
};

// What a message box reports, as the one who shows it knows it; the window gives the box the
// matching icon and counts the errors.
enum class MessageKind { Information, Warning, Error };

// What a run's message box is about.
enum class RunPart {
    Script,        // the script file: it cannot be read or breaks the format's limits
    ScriptMessage, // a text the script itself shows (_MS)
    DataFile,      // a data file the script names
    Unit,          // the unit's answers: none, or not the one the command waits for
    Link,          // the serial port or the PCI board: not open, overflowing, refusing, lost
    Watchdog,      // the command timer ran out
    Outcome,       // the closing box that sums the run up
    Setup,         // the host's own notes around a run (ports, boards, records)
};

// One message box of a run as the engine (or its host) reports it. `text` is exactly what the
// operator reads; hosts decide by `what` and `kind`, never by the text.
struct RunError {
    RunPart what = RunPart::Setup;
    std::string text;
    MessageKind kind = MessageKind::Information;

    // A failure of the run: an error while it ran, not the closing box that only sums it up.
    bool failure() const { return kind == MessageKind::Error && what != RunPart::Outcome; }
};

// How a script run ended.
enum class RunOutcome {
    None,      // no run yet
    Completed, // read to its end with nothing stopping it
    Failed,    // the script could not be opened, a command failed, or an upload error / watchdog
    Stopped,   // the operator pressed Stop
};

class ScriptHost {
  public:
    virtual ~ScriptHost() = default;

    // A modal message box with an OK button; returns when the operator closed it.
    virtual void report(const RunError& message) = 0;
    // Replaces the whole status bar text.
    virtual void setStatusText(const std::string& text) = 0;
    // enableButtons / disableButtons: the Upload and Pick buttons together.
    virtual void setButtonsEnabled(bool enabled) = 0;
    // Lets pending window messages run once (Stop button, port notifications, menus).
    virtual void processEvents() = 0;

    // Progress window: show and fill it, step the bar by one block, reset and hide it.
    virtual void showProgress(const ProgressInfo& info) = 0;
    virtual void stepProgress() = 0;
    virtual void hideProgress() = 0;

    // Optional parts of the operator's side; hosts without them keep the defaults.
    virtual void setBusyCursor(bool busy) { (void)busy; }
    // The "RS232 Config" menu, hidden while an upload runs.
    virtual void setConfigMenuVisible(bool visible) { (void)visible; }
    // pciBoardLabel of the progress window: its caption and whether it shows.
    virtual void setPciBoardLabel(bool visible, const std::string& caption) {
        (void)visible;
        (void)caption;
    }
    // Gives the keyboard focus to the terminal after an interactive run.
    virtual void focusTerminal() {}
    // What gives up waiting for the unit after a first stop, for the status texts of that wait
    // ("Press Stop again to give up."); "" when nothing does.
    virtual std::string giveUpHint() const { return {}; }

    // Run record hooks (no operator effect): a block went to the unit, a run ended.
    virtual void blockSent(int blockIndex, int length) {
        (void)blockIndex;
        (void)length;
    }
    virtual void runFinished(RunOutcome outcome) { (void)outcome; }
    virtual void dataFileDone(const DataFileResult& result) { (void)result; }
    // A _QC query and the unit's answer to it ("" when none came).
    virtual void unitAnswered(const std::string& query, const std::string& answer) {
        (void)query;
        (void)answer;
    }
};

} // namespace brimwell::script
