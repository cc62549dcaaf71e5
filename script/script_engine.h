// The script engine: reads .sld scripts line by line and runs their fifteen commands against the
// unit, uploads data files with their checksums and follows them with the progress window.
// One engine per unit link; every piece of run state lives in the object. It talks to the
// operator only through a ScriptHost and to the unit only through a UnitLink or a BoardLink,
// chosen by LinkMode. Every wait goes through its EngineClock.
#pragma once

#include "script/engine_clock.h"
#include "script/file_pieces.h"
#include "script/script_host.h"
#include "script/settings_file.h"
#include "script/unit_answer.h"
#include "script/unit_link.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

namespace brimwell::script {

// Whether the script at `path` holds a command line by the reader's rules (a line whose first "_"
// comes before any ";"); false for an empty or comment-only script and for one that cannot be read.
bool scriptHasCommandLines(const std::string& path);

class ScriptEngine {
  public:
    // Limits of the script format and the engine's buffers.
    static constexpr int kLineSlots = 300;       // command lines per script
    static constexpr int kSlotSize = 210;        // characters per line-table slot
    static constexpr int kMaxLineLength = 199;   // characters per command line, "_" included
    static constexpr int kCaptureSize = 1000;    // answer capture
    static constexpr int kBlockSize = 2000;      // upload block
    static constexpr int kBoardCount = 16;       // PCI board IDs 0..15
    static constexpr int kCommandTimerMs = 4000; // the watchdog's interval

    explicit ScriptEngine(ScriptHost& host, EngineClock& clock = EngineClock::system());
    ScriptEngine(const ScriptEngine&) = delete;
    ScriptEngine& operator=(const ScriptEngine&) = delete;

    // Links; either may be null. LinkMode picks the one in use.
    void setSerialLink(UnitLink* link) { serial_ = link; }
    void setBoardLink(BoardLink* link) { board_ = link; }
    UnitLink* serialLink() const { return serial_; }

    // Takes the prompt characters, loader-mode command and load keyword of the settings file.
    void applySettings(const LoaderSettings& settings);

    // ---- Runs -------------------------------------------------------------------------------
    // Interactive run after the host's file dialog chose `scriptPath` (the "Open script file to
    // read and upload" button): clears Cancelled, runs the script (once per mapped board on the
    // PCI link), shows the closing message box and returns the outcome.
    RunOutcome PickButtonClick(const std::string& scriptPath);
    // Reads ScriptPath and runs each command line as it is read. True: end of file or stopped
    // through Cancelled; false: the script could not be opened or a command stopped it.
    bool read_ini();
    void ResetLineTable();
    // Runs the command line in slot LineIndex; false: the script must stop.
    bool RunCommandLine();
    // How the last run ended (read_ini or PickButtonClick).
    RunOutcome outcome() const { return outcome_; }

    // ---- Exchange with the unit ---------------------------------------------------------------
    void SendString(const std::string& text);
    void SendCommandText();
    bool SendCOMCmd_GetPrompt(const std::string& text);
    // One numbered attempt of a prompt wait; while it waits, the status text says which and, every
    // 5 s, how long it has waited.
    bool promptAttempt(const std::string& text, int attempt, int attempts);
    void QueryUnit();
    // The serial port's data-available handler: fills the answer capture while one runs.
    void QuavComPort1TriggerAvail(uint16_t count);
    // The serial port's handler for each byte a wait for a string examines (and consumes).
    void QuavComPort1WaitChar(char c);
    // The serial port's handler for each pass of a wait for a string.
    void QuavComPort1WaitPass() { reportWaiting(); }
    // The 4000 ms watchdog's handler.
    void CommandTimerTimer();

    // ---- Upload ---------------------------------------------------------------------------------
    bool get_file_checksum();
    bool get_date();
    bool get_data_checksum(const uint8_t* data, int length);
    // Uploads DataFileName (the `_LD` upload, also the hidden "Upload" button).
    void UploadButtonClick();
    // The data file of the last upload as a run's record keeps it, and how the upload went.
    DataFileResult lastUpload() const;
    void SendByte(int length, const uint8_t* data);

    // ---- Progress window ------------------------------------------------------------------------
    void ShowProgressForm(int blockCount);
    void HideProgressForm();
    // The Stop button. The first press stops the run after the block in progress (the unit's
    // prompt is still waited for); a further press during the run gives up waiting for the unit.
    enum class StopPress { Stopping, GivingUp };
    StopPress CancelButtonClick();
    // The operator gave up on the unit: every wait of the run ends at once, the link's wait in
    // progress too (WaitsAbandoned).
    void abandonWaits();
    // True from the moment a load command is sent until the prompt check after its upload has
    // ended: nothing but the engine's own bytes may reach the unit then.
    bool unitLineHeld() const { return lineHeld_; }

    // ---- State (names as the operator's documentation uses them) ----------------------------
    int32_t LinkMode = kLinkNone;
    int32_t Cancelled = 0; // stop flag of the whole run: Stop button, upload errors, watchdog
    // Set through abandonWaits() when the run must end at once (a second Stop, a service manager's
    // SIGTERM): every timed pause of the engine ends immediately, the waits for a block to leave on
    // the line and the link's waits too. Cleared when an interactive run starts.
    bool WaitsAbandoned = false;

    std::string ScriptPath;
    std::array<std::array<char, kSlotSize>, kLineSlots> LineTable{};
    int32_t LineIndex = 0;
    int32_t LinePos = 0;

    char MainPromptChar = '#';
    char LoaderPromptChar = '>';
    char ExpectedPrompt = '\0';
    int32_t PromptTimeout = 265;
    std::string LoaderModeCommand = "LOADR\r";
    std::string LoadKeyword = "LF";
    int32_t PostUploadWait = 3600;
    bool FileReady = false;
    bool AddressReady = false;
    bool VersionReady = false;
    // What the unit said last: its line quoted by the check after an upload, else the last _QC answer.
    std::string unitLastAnswer() const {
        const std::string line = unitAnswer_.lastLine();
        return line.empty() ? AnswerText : line;
    }
    std::string AnswerText;

    std::string CommandText;
    std::string DataFileName;
    std::string LoadAddressText;
    std::string VersionText;
    int32_t FileChecksum = 0;
    int32_t FileSize = 0;
    int32_t BlockCount = 0;
    uint8_t DataChecksum = 0;
    std::string MessageText;

    bool UploadIdle = true;
    bool Probing = false;

    bool CaptureActive = false;
    std::array<char, kCaptureSize + 1> CaptureBuffer{};
    int32_t CaptureLength = 0;
    int32_t MinAnswerLength = 0;
    bool CommandTimedOut = false;

    int32_t SelectedBoard = -1;
    std::array<int32_t, kBoardCount> BoardMap{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

  private:
    bool serialOpen() const;
    // True when the link's device (the serial port, or the PCI board's driver connection) is lost
    // or failed; the first time, the operator is told and the run is cancelled (waiting out prompt
    // attempts on such a device helps nobody).
    bool linkFailed();
    // Ends the waits for bytes to leave on the line: the link failed, or the caller abandoned waits.
    bool stopWaitingForLine() { return linkFailed() || WaitsAbandoned; }
    // An error box about `what` + MessageText.
    void showError(RunPart what, const std::string& text);
    // Lets pending events run once and serves the watchdog.
    void pump();
    // Waits `ms` clock milliseconds, letting events run between short sleeps.
    void waitMs(int64_t ms);
    void armCommandTimer();
    void disarmCommandTimer();
    bool commandTimerDue();
    // Time `length` bytes take on the line at the port's current rate, plus a margin: the block waits.
    int64_t blockDrainLimitMs(int length) const;
    // Waits (bounded) until the bytes put so far have left the driver's transmit queue.
    void awaitDelivery();
    bool runLoad();
    // Before the load command: the data file is still a regular file, readable to its end, with the
    // size and checksum the command announces. False with the reason.
    bool dataFileUploadable(std::string& reason);
    // The data file's byte sum and size, read in pieces up to what a load command can announce; a
    // stop between the pieces ends it.
    ReadEnd sumDataFile(uint32_t& sum, uint64_t& count, int& error);
    // A data file's chain (_LF/_LK, _LA, _LV, _LD) broke for `reason`: the run cannot end in success,
    // and its closing texts name the first such file (unless the operator stopped the run). With
    // `result`, the run record gets the file with the reason.
    void dataFileFailed(const std::string& reason, DataFileResult* result = nullptr);
    // The run's closing status and message after a failure that names a data file ("" when none).
    std::string dataFileFailureText(const char* separator) const;
    bool runLoaderMode(const std::string& argument);
    bool runBranch(bool contains, const std::string& line);
    void runQuery(const std::string& argument);
    bool storeChar(char c);
    // The prompt check after an upload: up to eleven attempts, fewer when the unit answers with its
    // normal prompt, which it gives only once it has left loader mode.
    void confirmUpload();
    // What the unit's answer to one attempt of that check ended with, once the line stayed quiet
    // after it within what is left of `limitTicks` since `since`.
    enum class PromptSeen { None, Loader, Main };
    PromptSeen awaitUploadPrompt(const EngineClock::Mark& since, int32_t limitTicks);
    // The status text of a numbered prompt attempt when it starts, and every 5 s while it waits.
    void announceWait();
    void reportWaiting();
    std::string giveUpHint() const;
    // Reads what waits in the input buffer into the unit's answer (before a flush discards it).
    void keepReceived();
    // The capture logic of the data-available handler for one block of received bytes.
    void captureBytes(const uint8_t* data, int count);
    void finishRun(RunOutcome outcome);

    ScriptHost& host_;
    EngineClock& clock_;
    UnitLink* serial_ = nullptr;
    BoardLink* board_ = nullptr;
    RunOutcome outcome_ = RunOutcome::None;
    bool stopRequested_ = false; // the operator pressed Stop (as opposed to an error setting Cancelled)
    bool timerArmed_ = false;
    EngineClock::Mark timerStart_;
    bool lineTooLong_ = false;
    // The PCI board refused a character or a data byte this run: the unit's state is unknown, so
    // nothing more is sent to it and no answer is waited for.
    bool boardWriteFailed_ = false;
    bool linkFailureShown_ = false;
    // Set while checking for the prompt after an upload: the unit's text is kept for the failure
    // message, and a prompt counts only when nothing follows it.
    bool confirmingUpload_ = false;
    // The last attempt of that check was answered with the normal prompt, the line quiet after it.
    bool lastAnswerMain_ = false;
    bool lineHeld_ = false;
    // The numbered prompt attempt under way (0: none) and what its status text says.
    int attempt_ = 0, attempts_ = 0;
    bool waitAnnounced_ = false;
    std::string waitText_;
    EngineClock::Mark waitStart_;
    int64_t waitReportedMs_ = 0;
    // Real time of the image's first byte put and of its last byte gone from the output buffer.
    std::chrono::steady_clock::time_point imageStart_, imageEnd_;
    bool imageSent_ = false;
    UnitAnswer unitAnswer_;
    std::string fileFailure_;   // "Data file NAME was not uploaded: REASON.", the run's first such
    std::string uploadFailure_; // why the upload in progress failed, where it is known
    int waitCharsSeen_ = 0;     // bytes a wait for a string examined since the count was cleared
};

} // namespace brimwell::script
