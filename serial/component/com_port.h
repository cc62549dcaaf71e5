// TQuavComPort: the object through which the program uses one serial port. It holds the port's
// configuration, opens and closes it through a dispatcher, offers the byte operations, raises
// result codes as exceptions, and turns trigger notifications into its events on the UI thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/component/base_component.h"
#include "serial/component/exceptions.h"
#include "serial/dispatcher.h"
#include "serial/event_timer.h"
#include "serial/port_names.h"
#include "serial/triggers.h"

class QObject;

namespace brimwell {

class TQuavComPort;
class TQuavCustomComPort;
class ComNotifier;

enum TDeviceLayer { dlWin32, dlWinsock };
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };
enum TPortState { psClosed, psShuttingDown, psOpen };
enum TQuavCallbackType { ctOpen, ctClosing, ctClosed };

enum THWFlowOption { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };

// A set of THWFlowOption.
class THWFlowOptions {
  public:
    constexpr THWFlowOptions() = default;
    constexpr THWFlowOptions(std::initializer_list<THWFlowOption> options) {
        for (auto o : options)
            bits_ |= uint8_t(1u << o);
    }
    constexpr bool contains(THWFlowOption o) const { return (bits_ >> o) & 1u; }
    constexpr void insert(THWFlowOption o) { bits_ |= uint8_t(1u << o); }
    constexpr void erase(THWFlowOption o) { bits_ &= uint8_t(~(1u << o)); }
    constexpr bool empty() const { return bits_ == 0; }
    // hwfUseDTR = 1, hwfUseRTS = 2, hwfRequireDSR = 4, hwfRequireCTS = 8: the dispatcher's bits.
    constexpr uint16_t value() const { return bits_; }
    constexpr bool operator==(const THWFlowOptions&) const = default;

  private:
    uint8_t bits_ = 0;
};

// Method-style callbacks; CP is the component.
using TNotifyEvent = std::function<void(TQuavComPort* CP)>;
using TTriggerEvent =
    std::function<void(TQuavComPort* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TQuavComPort* CP, uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TQuavComPort* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = std::function<void(TQuavComPort* CP, uint16_t TriggerHandle)>;
using TTriggerTimerEvent = std::function<void(TQuavComPort* CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent = std::function<void(TQuavComPort* CP, uint16_t Error, bool LineBreak)>;
using TWaitCharEvent = std::function<void(TQuavComPort* CP, char C)>;
using TPortErrorEvent = std::function<void(TQuavComPort* CP, int32_t Code)>;
using TPortCallback = std::function<void(TQuavComPort* CP, bool Opening)>;
using TPortCallbackEx = std::function<void(TQuavComPort* CP, TQuavCallbackType CallbackType)>;
// Creates the dispatcher in place of the built-in choice.
using TActivationProcedure = std::function<std::unique_ptr<TQuavBaseDispatcher>(TQuavComPort* CP)>;
// The port selection dialog: returns the chosen port number, 0 when cancelled.
using TPromptForPortHook = std::function<uint32_t(TQuavComPort* CP)>;

// Messages sent to registered user windows (QObjects) as TQuavPortMessage events
// (serial/component/port_message.h).
inline constexpr uint32_t kPortOpenMsg = 0x7E08;
inline constexpr uint32_t kPortClosedMsg = 0x7E09;
inline constexpr uint32_t kPortClosingMsg = 0x7E0A;

inline constexpr int kInputSizeDefault = 4096;
inline constexpr int kOutputSizeDefault = 4096;
inline constexpr uint32_t kTraceSizeLimit = 4000000;
inline constexpr uint32_t kLogSizeLimit = 16000000;

class TQuavCustomComPort : public TQuavBaseComponent {
  protected:
    // Only TQuavComPort is made; the events hand it out as their CP.
    TQuavCustomComPort();

  public:
    ~TQuavCustomComPort() override;
    TQuavCustomComPort(const TQuavCustomComPort&) = delete;
    TQuavCustomComPort& operator=(const TQuavCustomComPort&) = delete;

    // ---- Properties --------------------------------------------------------------------------
    TDeviceLayer DeviceLayer() const { return deviceLayer_; }
    void SetDeviceLayer(TDeviceLayer layer);
    uint16_t ComNumber() const { return comNumber_; }
    void SetComNumber(uint16_t n);
    int32_t Baud() const { return baud_; }
    void SetBaud(int32_t baud);
    bool PromptForPort() const { return promptForPort_; }
    void SetPromptForPort(bool on) { promptForPort_ = on; }
    TParity Parity() const { return parity_; }
    void SetParity(TParity parity);
    uint16_t DataBits() const { return dataBits_; }
    void SetDataBits(uint16_t bits);
    void SetDatabits(uint16_t bits) { SetDataBits(bits); }
    uint16_t StopBits() const { return stopBits_; }
    void SetStopBits(uint16_t bits);
    void SetStopbits(uint16_t bits) { SetStopBits(bits); }
    uint16_t InSize() const { return inSize_; }
    void SetInSize(uint16_t size);
    uint16_t OutSize() const { return outSize_; }
    void SetOutSize(uint16_t size);
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool on) { autoOpen_ = on; }
    bool Open() const { return open_; }
    void SetOpen(bool on);
    bool DTR() const { return dtr_; }
    void SetDTR(bool on);
    bool RTS() const { return rts_; }
    void SetRTS(bool on);
    THWFlowOptions HWFlowOptions() const { return hwFlow_; }
    void SetHWFlowOptions(THWFlowOptions options);
    TSWFlowOptions SWFlowOptions() const { return swFlow_; }
    void SetSWFlowOptions(TSWFlowOptions options);
    char XOnChar() const { return xOnChar_; }
    void SetXOnChar(char c);
    char XOffChar() const { return xOffChar_; }
    void SetXOffChar(char c);
    uint16_t BufferFull() const { return bufferFull_; }
    void SetBufferFull(uint16_t bytes);
    uint16_t BufferResume() const { return bufferResume_; }
    void SetBufferResume(uint16_t bytes);
    TTraceLogState Tracing() const { return tracing_; }
    void SetTracing(TTraceLogState state);
    uint32_t TraceSize() const { return traceSize_; }
    void SetTraceSize(uint32_t entries);
    std::string TraceName() const { return traceName_; }
    void SetTraceName(const std::string& name);
    bool TraceHex() const { return traceHex_; }
    void SetTraceHex(bool on) { traceHex_ = on; }
    bool TraceAllHex() const { return traceAllHex_; }
    void SetTraceAllHex(bool on) { traceAllHex_ = on; }
    TTraceLogState Logging() const { return logging_; }
    void SetLogging(TTraceLogState state);
    uint32_t LogSize() const { return logSize_; }
    void SetLogSize(uint32_t bytes);
    std::string LogName() const { return logName_; }
    void SetLogName(const std::string& name);
    bool LogHex() const { return logHex_; }
    void SetLogHex(bool on) { logHex_ = on; }
    bool LogAllHex() const { return logAllHex_; }
    void SetLogAllHex(bool on) { logAllHex_ = on; }
    // The port as the user named it, for the log file's "Device: " line when it was not named by
    // its number (a device path); empty: "COM" and the number.
    std::string DeviceLabel() const { return deviceLabel_; }
    void SetDeviceLabel(const std::string& label) { deviceLabel_ = label; }
    bool UseMSRShadow() const { return true; }
    void SetUseMSRShadow(bool) {}
    bool UseEventWord() const { return useEventWord_; }
    void SetUseEventWord(bool on);
    uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
    void SetCommNotificationLevel(uint16_t level) { commNotificationLevel_ = level; }
    TTapiMode TapiMode() const { return tapiMode_; }
    void SetTapiMode(TTapiMode mode) { tapiMode_ = mode; }
    bool RS485Mode() const { return rs485Mode_; }
    void SetRS485Mode(bool on);

    // ---- Events (one handler each; assigning replaces) ---------------------------------------
    const TNotifyEvent& OnPortOpen() const { return onPortOpen_; }
    void SetOnPortOpen(TNotifyEvent e) { onPortOpen_ = std::move(e); }
    const TNotifyEvent& OnPortClose() const { return onPortClose_; }
    void SetOnPortClose(TNotifyEvent e) { onPortClose_ = std::move(e); }
    const TTriggerEvent& OnTrigger() const { return onTrigger_; }
    void SetOnTrigger(TTriggerEvent e);
    const TTriggerAvailEvent& OnTriggerAvail() const { return onTriggerAvail_; }
    void SetOnTriggerAvail(TTriggerAvailEvent e);
    const TTriggerDataEvent& OnTriggerData() const { return onTriggerData_; }
    void SetOnTriggerData(TTriggerDataEvent e);
    const TTriggerStatusEvent& OnTriggerStatus() const { return onTriggerStatus_; }
    void SetOnTriggerStatus(TTriggerStatusEvent e);
    const TTriggerTimerEvent& OnTriggerTimer() const { return onTriggerTimer_; }
    void SetOnTriggerTimer(TTriggerTimerEvent e);
    const TTriggerLineErrorEvent& OnTriggerLineError() const { return onTriggerLineError_; }
    void SetOnTriggerLineError(TTriggerLineErrorEvent e);
    const TNotifyEvent& OnTriggerModemStatus() const { return onTriggerModemStatus_; }
    void SetOnTriggerModemStatus(TNotifyEvent e);
    const TNotifyEvent& OnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
    void SetOnTriggerOutbuffFree(TNotifyEvent e);
    const TNotifyEvent& OnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
    void SetOnTriggerOutbuffUsed(TNotifyEvent e);
    const TNotifyEvent& OnTriggerOutSent() const { return onTriggerOutSent_; }
    void SetOnTriggerOutSent(TNotifyEvent e);
    // Called for every character WaitForString consumes.
    const TWaitCharEvent& OnWaitChar() const { return onWaitChar_; }
    void SetOnWaitChar(TWaitCharEvent e) { onWaitChar_ = std::move(e); }
    // Called on every pass of a wait for a string (at least every 20 ms), after the application's
    // events ran: how a long wait tells the operator that it still waits.
    const TNotifyEvent& OnWaitPass() const { return onWaitPass_; }
    void SetOnWaitPass(TNotifyEvent e) { onWaitPass_ = std::move(e); }

    // Raised on the UI thread when the open device is lost or refuses a write for good; the port
    // stays open (every byte operation now fails) until the handler or its caller closes it.
    const TPortErrorEvent& OnPortError() const { return onPortError_; }
    void SetOnPortError(TPortErrorEvent e) { onPortError_ = std::move(e); }

    // ---- Unpublished state -------------------------------------------------------------------
    // 0, or the code of the failure that ended the open device (see OnPortError).
    int32_t PortError() const;
    // What the driver may hold ahead of bytes put now: its transmit queue where it reports one,
    // else the buffer size of the device kind.
    uint32_t DriverQueueAhead();
    // The device path of the open port ("" when closed).
    std::string DevicePath() const;
    // For the operator: "The connection to COM1 (/dev/ttyUSB0) was lost." after a loss (a port named
    // by its path is named so: "The connection to /dev/ttyUSB0 was lost."), the
    // failure's own text after a refused write, "" while the device works.
    std::string PortErrorText() const;
    TPortState PortState() const { return state_; }
    // Lets the application's events run until a close that waits for a notification in delivery
    // has completed (and a reopen asked for meanwhile is carried out), for at most `timeoutMs`.
    // True when the port is no longer closing.
    bool FinishPendingClose(int timeoutMs);
    TQuavThreadBoost ThreadBoost() const { return threadBoost_; }
    void SetThreadBoost(TQuavThreadBoost boost);
    uint16_t AvailTriggerLength() const { return availTriggerLength_; }
    void SetAvailTriggerLength(uint16_t length);
    void SetActivationProcedure(TActivationProcedure procedure) { activation_ = std::move(procedure); }
    // The terminal that answers the unit's device-report requests for this port; set by it.
    void* PrimaryTerminal() const { return primaryTerminal_; }
    void SetPrimaryTerminal(void* terminal) { primaryTerminal_ = terminal; }

    // The port selection dialog the window installs for every component (process-wide, UI thread).
    // Without it, opening with ComNumber 0 behaves as PromptForPort False.
    static void SetPromptForPortHook(TPromptForPortHook hook);

    // ---- Operations --------------------------------------------------------------------------
    void PutChar(char c);
    void PutString(std::string_view s);
    int32_t PutBlock(const void* buffer, uint16_t length);
    uint16_t GetBlock(void* buffer, uint16_t length);
    char GetChar();
    // n counts from 1.
    char PeekChar(uint16_t n);
    uint16_t PeekBlock(void* buffer, uint16_t length);
    bool CharReady();
    bool WaitForString(std::string_view s, int32_t timeoutTicks, bool yield, bool ignoreCase);
    // Alternatives separated by |separator|; the 1-based index of the one found, 0 for none.
    int WaitForMultiString(std::string_view s, int32_t timeoutTicks, bool yield, bool ignoreCase,
                           char separator);
    bool CheckForString(uint8_t& matchCount, char c, std::string_view s, bool ignoreCase);
    // Ends the wait for a string in progress (from an event handler it runs) as if its time had
    // run out: the operator gave up on the peer. Nothing for later waits.
    void AbandonWait() { waitAbandoned_ = true; }
    void PrepareWait();
    void FlushInBuffer();
    void FlushOutBuffer();
    uint16_t GetOutBuffUsed();
    uint16_t GetOutBuffFree();
    // Waits until every byte put has gone to the device, for at most maxMicros real microseconds;
    // true when the output buffer is empty (also when the port is not open: nothing waits).
    bool WaitOutBuffEmpty(uint32_t maxMicros);
    uint16_t GetInBuffUsed();
    uint16_t GetInBuffFree();
    bool GetCTS();
    bool GetDSR();
    bool GetRI();
    bool GetDCD();
    bool GetDeltaCTS();
    bool GetDeltaDSR();
    bool GetDeltaRI();
    bool GetDeltaDCD();
    uint8_t GetModemStatus();
    uint16_t GetLineError();
    bool GetLineBreak();
    TFlowControlState GetFlowState();
    void SendBreak(int32_t ticks, bool yield);
    void SetBreak(bool on);

    int32_t AddDataTrigger(std::string_view s, bool ignoreCase);
    int32_t AddTimerTrigger();
    int32_t AddStatusTrigger(uint16_t kind);
    void SetTimerTrigger(int32_t handle, int32_t ticks, bool activate);
    void SetStatusTrigger(int32_t handle, uint16_t value, bool activate);
    void RemoveTrigger(int32_t handle);
    void RemoveAllTriggers();

    // User windows get TQuavPortMessage events (sent synchronously) for open, closed and, when
    // extended, closing. Callbacks are keyed by |owner| for deregistration.
    void RegisterUser(QObject* window);
    void RegisterUserEx(QObject* window);
    void RegisterUserCallback(const void* owner, TPortCallback callback);
    void RegisterUserCallbackEx(const void* owner, TPortCallbackEx callback);
    void DeregisterUser(QObject* window);
    void DeregisterUserCallback(const void* owner);
    void DeregisterUserCallbackEx(const void* owner);

    // Trace and dispatch log control. The states are kept and re-applied at every open; the
    // buffers and files themselves belong to the dispatcher's trace support.
    void InitTracing(uint32_t entries);
    void StartTracing();
    void StopTracing();
    void ClearTracing();
    void AbortTracing();
    void DumpTrace(const std::string& name);
    void AppendTrace(const std::string& name);
    void InitLogging(uint32_t bytes);
    void StartLogging();
    void StopLogging();
    void ClearLogging();
    void AbortLogging();
    void DumpLog(const std::string& name);
    void AppendLog(const std::string& name);
    // A caller's own trace entry and log text; no effect while the port is not open.
    void AddTraceEntry(char kind, uint8_t byte);
    void AddStringToLog(std::string_view text);

    void ProcessCommunications();
    // The dispatcher; opens the port first when AutoOpen allows. Null when there is none.
    TQuavBaseDispatcher* Dispatcher();
    // The dispatcher as it is, without opening anything.
    TQuavBaseDispatcher* CurrentDispatcher() const { return dispatcher_.get(); }

  protected:
    void Loaded() override;
    // Closes an open port and frees what the component holds; once, from the first destructor.
    void destroyPort();

  private:
    struct UserEntry {
        QObject* window = nullptr;
        const void* owner = nullptr;
        TPortCallback callback;
        TPortCallbackEx callbackEx;
        bool extended = false;
    };

    TQuavComPort* self();
    TQuavBaseDispatcher* requireDispatcher();
    int32_t check(int32_t code) const { return CheckException(this, code); }
    void doOpen();
    void doClose();
    void completeClose();
    void finishDeferredClose(int32_t handle);
    void raiseOpenFailure(int32_t code, const std::string& path);
    void updatePortHandlerFlag();
    void settleDelivery();
    // The loop both waits for a string run (one byte per pass through the matcher of every
    // alternative); found: the 1-based alternative that completed.
    enum class WaitEnd { Found, Expired, Closed, Terminating };
    WaitEnd waitForAlternatives(const std::vector<std::string_view>& alternatives, int32_t timeoutTicks,
                                bool yield, bool ignoreCase, std::optional<AnswerTimer>& timer, int& found);
    void applyLine();
    void applyHWFlow();
    void applySWFlow();
    void notifyUsers(TQuavCallbackType type);
    // The notification window procedure, on the UI thread.
    void handleTriggerMessage(const TTriggerMessage& message);
    // The Tracing/Logging state table on an open port (log: the dispatch log, else the trace).
    void setRecorderState(bool log, TTraceLogState wanted);
    // A TraceSize/LogSize change: a running or paused recorder starts again at the new size.
    void resizeRecorder(bool log);
    // The close after the recorders were written: shutting down, the dispatcher's end.
    void shutDown();
    // init: a running recorder is emptied rather than left as it is.
    void controlRecorder(bool log, TTraceLogState wanted, bool onlyWhenOn = false, bool init = false);
    bool anyTriggerHandler() const;
    // Hears the dispatcher's port error and raises OnPortError on the UI thread.
    void watchPortError();
    // Raises the port error, if any, as its exception.
    void checkPortError() const;

    TDeviceLayer deviceLayer_ = dlWin32;
    uint16_t comNumber_ = 0;
    int32_t baud_ = 19200;
    bool promptForPort_ = true;
    TParity parity_ = pNone;
    uint16_t dataBits_ = 8;
    uint16_t stopBits_ = 1;
    uint16_t inSize_ = kInputSizeDefault;
    uint16_t outSize_ = kOutputSizeDefault;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true;
    bool rts_ = true;
    THWFlowOptions hwFlow_;
    TSWFlowOptions swFlow_ = swfNone;
    char xOnChar_ = 17;
    char xOffChar_ = 19;
    uint16_t bufferFull_ = 0;
    uint16_t bufferResume_ = 0;
    TTraceLogState tracing_ = tlOff;
    uint32_t traceSize_ = 10000;
    std::string traceName_ = "QUAV.TRC";
    bool traceHex_ = true;
    bool traceAllHex_ = false;
    TTraceLogState logging_ = tlOff;
    uint32_t logSize_ = 10000;
    std::string logName_ = "QUAV.LOG";
    bool logHex_ = true;
    bool logAllHex_ = false;
    std::string deviceLabel_;
    bool useEventWord_ = true;
    uint16_t commNotificationLevel_ = 10;
    TTapiMode tapiMode_ = tmAuto;
    bool rs485Mode_ = false;

    TNotifyEvent onPortOpen_, onPortClose_;
    TTriggerEvent onTrigger_;
    TTriggerAvailEvent onTriggerAvail_;
    TTriggerDataEvent onTriggerData_;
    TTriggerStatusEvent onTriggerStatus_;
    TTriggerTimerEvent onTriggerTimer_;
    TTriggerLineErrorEvent onTriggerLineError_;
    TNotifyEvent onTriggerModemStatus_, onTriggerOutbuffFree_, onTriggerOutbuffUsed_, onTriggerOutSent_;
    TWaitCharEvent onWaitChar_;
    TNotifyEvent onWaitPass_;
    TPortErrorEvent onPortError_;

    TPortState state_ = psClosed;
    std::unique_ptr<TQuavBaseDispatcher> dispatcher_;
    std::unique_ptr<ComNotifier> notifier_;
    TQuavThreadBoost threadBoost_ = tbNone;
    uint16_t availTriggerLength_ = 1;
    TActivationProcedure activation_;
    void* primaryTerminal_ = nullptr;
    bool forceApply_ = false;
    bool openAfterLoad_ = false;
    bool reopenPending_ = false;
    TTriggerSave savedTriggers_;
    bool triggersSaved_ = false;
    bool waitPrepared_ = false;
    bool waitPreparedBusy_ = false;
    bool waitAbandoned_ = false;
    std::vector<UserEntry> users_;
};

class TQuavComPort : public TQuavCustomComPort {
  public:
    TQuavComPort() = default;
    ~TQuavComPort() override;
};

} // namespace brimwell
