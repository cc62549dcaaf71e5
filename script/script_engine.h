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
    RunOutcome runPickedScript(const std::string& scriptPath);
    // Reads ScriptPath and runs each command line as it is read. True: end of file or stopped
    // through Cancelled; false: the script could not be opened or a command stopped it.
    bool runScript();
    void resetLineTable();
    // Runs the command line in slot LineIndex; false: the script must stop.
    bool runCommandLine();
    // How the last run ended (runScript or runPickedScript).
    RunOutcome outcome() const { return outcome_; }

    // ---- Exchange with the unit ---------------------------------------------------------------
    void sendString(const std::string& text);
    void sendCommandText();
    bool sendAndAwaitPrompt(const std::string& text);
    // One numbered attempt of a prompt wait; while it waits, the status text says which and, every
    // 5 s, how long it has waited.
    bool promptAttempt(const std::string& text, int attempt, int attempts);
    void queryUnit();
    // The serial port's data-available handler: fills the answer capture while one runs.
    void onDataAvailable(uint16_t count);
    // The serial port's handler for each byte a wait for a string examines (and consumes).
    void onWaitChar(char c);
    // The serial port's handler for each pass of a wait for a string.
    void onWaitPass() { reportWaiting(); }
    // The 4000 ms watchdog's handler.
    void onWatchdogTick();

    // ---- Upload ---------------------------------------------------------------------------------
    bool readFileChecksum();
    bool readFileDate();
    bool sumBlock(const uint8_t* data, int length);
    // Uploads DataFileName (the `_LD` upload, also the hidden "Upload" button).
    void uploadDataFile();
    // The data file of the last upload as a run's record keeps it, and how the upload went.
    DataFileResult lastUpload() const;
    void sendBytes(int length, const uint8_t* data);

    // ---- Progress window ------------------------------------------------------------------------
    void showProgress(int blockCount);
    void hideProgress();
    // The Stop button. The first press stops the run after the block in progress (the unit's
    // prompt is still waited for); a further press during the run gives up waiting for the unit.
    enum class StopPress { Stopping, GivingUp };
    StopPress pressStop();
    // The operator gave up on the unit: every wait of the run ends at once, the link's wait in
    // progress too (WaitsAbandoned).
    void abandonWaits();
    // True from the moment a load command is sent until the prompt check after its upload has
    // ended: nothing but the engine's own bytes may reach the unit then.
    bool unitLineHeld() const { return lineHeld_; }

    // ---- Settings the hosts give the engine (the settings file, scripts and the PCI link) -------
    char mainPromptChar() const { return mainPromptChar_; }
    char loaderPromptChar() const { return loaderPromptChar_; }
    const std::string& loaderModeCommand() const { return loaderModeCommand_; }
    const std::string& loadKeyword() const { return loadKeyword_; }
    int32_t selectedBoard() const { return selectedBoard_; }
    void setSelectedBoard(int32_t board) { selectedBoard_ = board; }
    // Board ID -> index of the board on the PCI link, -1 where no board has the ID.
    const std::array<int32_t, kBoardCount>& boardMap() const { return boardMap_; }
    void setBoardMap(const std::array<int32_t, kBoardCount>& map) { boardMap_ = map; }
    void mapBoard(int id, int32_t index) { boardMap_[static_cast<size_t>(id)] = index; }
    // What the unit said last: its line quoted by the check after an upload, else the last _QC answer.
    std::string unitLastAnswer() const {
        const std::string line = unitAnswer_.lastLine();
        return line.empty() ? answerText_ : line;
    }

    // The run's state, for hosts and tests.
    int32_t linkMode() const { return linkMode_; }
    void setLinkMode(int32_t value) { linkMode_ = value; }
    int32_t cancelled() const { return cancelled_; }
    bool waitsAbandoned() const { return waitsAbandoned_; }
    const std::string& scriptPath() const { return scriptPath_; }
    void setScriptPath(std::string value) { scriptPath_ = std::move(value); }
    const std::array<std::array<char, kSlotSize>, kLineSlots>& lineTable() const { return lineTable_; }
    int32_t lineIndex() const { return lineIndex_; }
    int32_t linePos() const { return linePos_; }
    // Puts `text` (cut to kMaxLineLength) in the first slot of the line table as the line to run.
    void setCommandLine(const std::string& text);
    char expectedPrompt() const { return expectedPrompt_; }
    void setExpectedPrompt(char value) { expectedPrompt_ = value; }
    int32_t promptTimeout() const { return promptTimeout_; }
    void setPromptTimeout(int32_t value) { promptTimeout_ = value; }
    int32_t postUploadWait() const { return postUploadWait_; }
    void setPostUploadWait(int32_t value) { postUploadWait_ = value; }
    bool fileReady() const { return fileReady_; }
    bool addressReady() const { return addressReady_; }
    bool versionReady() const { return versionReady_; }
    void setVersionReady(bool value) { versionReady_ = value; }
    const std::string& answerText() const { return answerText_; }
    void setAnswerText(std::string value) { answerText_ = std::move(value); }
    void setCommandText(std::string value) { commandText_ = std::move(value); }
    const std::string& dataFileName() const { return dataFileName_; }
    void setDataFileName(std::string value) { dataFileName_ = std::move(value); }
    const std::string& versionText() const { return versionText_; }
    int32_t fileChecksum() const { return fileChecksum_; }
    int32_t fileSize() const { return fileSize_; }
    uint8_t dataChecksum() const { return dataChecksum_; }
    const std::string& messageText() const { return messageText_; }
    bool uploadIdle() const { return uploadIdle_; }
    bool probing() const { return probing_; }
    void setProbing(bool value) { probing_ = value; }
    bool captureActive() const { return captureActive_; }
    void setCaptureActive(bool value) { captureActive_ = value; }
    const std::array<char, kCaptureSize + 1>& captureBuffer() const { return captureBuffer_; }
    int32_t captureLength() const { return captureLength_; }
    void setCaptureLength(int32_t value) { captureLength_ = value; }
    int32_t minAnswerLength() const { return minAnswerLength_; }
    void setMinAnswerLength(int32_t value) { minAnswerLength_ = value; }
    bool commandTimedOut() const { return commandTimedOut_; }

  private:
    // ---- State (names as the operator's documentation uses them) ----------------------------
    char mainPromptChar_ = '#';
    char loaderPromptChar_ = '>';
    std::string loaderModeCommand_ = "LOADR\r";
    std::string loadKeyword_ = "LF";
    int32_t selectedBoard_ = -1;
    std::array<int32_t, kBoardCount> boardMap_{-1, -1, -1, -1, -1, -1, -1, -1,
                                               -1, -1, -1, -1, -1, -1, -1, -1};
    int32_t linkMode_ = kLinkNone;
    int32_t cancelled_ = 0; // stop flag of the whole run: Stop button, upload errors, watchdog
    // Set through abandonWaits() when the run must end at once (a second Stop, a service manager's
    // SIGTERM): every timed pause of the engine ends immediately, the waits for a block to leave on
    // the line and the link's waits too. Cleared when an interactive run starts.
    bool waitsAbandoned_ = false;
    std::string scriptPath_;
    std::array<std::array<char, kSlotSize>, kLineSlots> lineTable_{};
    int32_t lineIndex_ = 0;
    int32_t linePos_ = 0;
    char expectedPrompt_ = '\0';
    int32_t promptTimeout_ = 265;
    int32_t postUploadWait_ = 3600;
    bool fileReady_ = false;
    bool addressReady_ = false;
    bool versionReady_ = false;
    std::string answerText_;
    std::string commandText_;
    std::string dataFileName_;
    std::string loadAddressText_;
    std::string versionText_;
    int32_t fileChecksum_ = 0;
    int32_t fileSize_ = 0;
    int32_t blockCount_ = 0;
    uint8_t dataChecksum_ = 0;
    std::string messageText_;
    bool uploadIdle_ = true;
    bool probing_ = false;
    bool captureActive_ = false;
    std::array<char, kCaptureSize + 1> captureBuffer_{};
    int32_t captureLength_ = 0;
    int32_t minAnswerLength_ = 0;
    bool commandTimedOut_ = false;

    bool serialOpen() const;
    // True when the link's device (the serial port, or the PCI board's driver connection) is lost
    // or failed; the first time, the operator is told and the run is cancelled (waiting out prompt
    // attempts on such a device helps nobody).
    bool linkFailed();
    // Ends the waits for bytes to leave on the line: the link failed, or the caller abandoned waits.
    bool stopWaitingForLine() { return linkFailed() || waitsAbandoned_; }
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
