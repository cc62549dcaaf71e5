// ComPort: the object through which the program uses one serial port. It holds the port's
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
#include "serial/component/port_user_data.h"
#include "serial/dispatcher.h"
#include "serial/event_timer.h"
#include "serial/port_names.h"
#include "serial/triggers.h"

class QObject;

namespace brimwell::serial {

class ComPort;
class ComNotifier;

enum class DeviceLayerKind { Native, Socket };
enum class SwFlowOptions { None, Receive, Transmit, Both };
enum class TraceLogState { Off, On, Dump, Append, Clear, Pause };
enum class TapiMode { None, Auto, On, Off };
enum class PortState { Closed, ShuttingDown, Open };
enum class CallbackType { Open, Closing, Closed };

enum class HwFlowOption { UseDtr, UseRts, RequireDsr, RequireCts };

// A set of HwFlowOption.
class HwFlowOptions {
  public:
    constexpr HwFlowOptions() = default;
    constexpr HwFlowOptions(std::initializer_list<HwFlowOption> options) {
        for (auto o : options)
            bits_ |= bit(o);
    }
    constexpr bool contains(HwFlowOption o) const { return (bits_ & bit(o)) != 0; }
    constexpr void insert(HwFlowOption o) { bits_ |= bit(o); }
    constexpr void erase(HwFlowOption o) { bits_ &= uint8_t(~bit(o)); }
    constexpr bool empty() const { return bits_ == 0; }
    // HwFlowOption::UseDtr = 1, HwFlowOption::UseRts = 2, HwFlowOption::RequireDsr = 4,
    // HwFlowOption::RequireCts = 8: the dispatcher's bits.
    constexpr uint16_t value() const { return bits_; }
    constexpr bool operator==(const HwFlowOptions&) const = default;

  private:
    static constexpr uint8_t bit(HwFlowOption o) { return uint8_t(1u << static_cast<unsigned>(o)); }
    uint8_t bits_ = 0;
};

// Method-style callbacks; the first argument is the component.
using NotifyEvent = std::function<void(ComPort* port)>;
using TriggerEvent = std::function<void(ComPort* port, uint16_t msg, uint16_t triggerHandle, uint16_t data)>;
using TriggerAvailEvent = std::function<void(ComPort* port, uint16_t count)>;
using TriggerDataEvent = std::function<void(ComPort* port, uint16_t triggerHandle)>;
using TriggerStatusEvent = std::function<void(ComPort* port, uint16_t triggerHandle)>;
using TriggerTimerEvent = std::function<void(ComPort* port, uint16_t triggerHandle)>;
using TriggerLineErrorEvent = std::function<void(ComPort* port, uint16_t error, bool lineBreak)>;
using WaitCharEvent = std::function<void(ComPort* port, char c)>;
using PortErrorEvent = std::function<void(ComPort* port, int32_t code)>;
using PortCallback = std::function<void(ComPort* port, bool opening)>;
using PortCallbackEx = std::function<void(ComPort* port, CallbackType type)>;
// Creates the dispatcher in place of the built-in choice.
using ActivationProcedure = std::function<std::unique_ptr<Dispatcher>(ComPort* port)>;
// The port selection dialog: returns the chosen port number, 0 when cancelled.
using PromptForPortHook = std::function<uint32_t(ComPort* port)>;

// Messages sent to registered user windows (QObjects) as PortMessage events
// (serial/component/port_message.h).
inline constexpr uint32_t kPortOpenMsg = 0x7E08;
inline constexpr uint32_t kPortClosedMsg = 0x7E09;
inline constexpr uint32_t kPortClosingMsg = 0x7E0A;

inline constexpr int kInputSizeDefault = 4096;
inline constexpr int kOutputSizeDefault = 4096;
inline constexpr uint32_t kTraceSizeLimit = 4000000;
inline constexpr uint32_t kLogSizeLimit = 16000000;

class ComPort : public Component {
  public:
    ComPort();
    ~ComPort() override;
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    // ---- Properties --------------------------------------------------------------------------
    DeviceLayerKind deviceLayer() const { return deviceLayer_; }
    void setDeviceLayer(DeviceLayerKind layer);
    uint16_t comNumber() const { return comNumber_; }
    void setComNumber(uint16_t n);
    int32_t baud() const { return baud_; }
    void setBaud(int32_t baud);
    bool promptForPort() const { return promptForPort_; }
    void setPromptForPort(bool on) { promptForPort_ = on; }
    Parity parity() const { return parity_; }
    void setParity(Parity parity);
    uint16_t dataBits() const { return dataBits_; }
    void setDataBits(uint16_t bits);
    void setDatabits(uint16_t bits) { setDataBits(bits); }
    uint16_t stopBits() const { return stopBits_; }
    void setStopBits(uint16_t bits);
    void setStopbits(uint16_t bits) { setStopBits(bits); }
    uint16_t inSize() const { return inSize_; }
    void setInSize(uint16_t size);
    uint16_t outSize() const { return outSize_; }
    void setOutSize(uint16_t size);
    bool autoOpen() const { return autoOpen_; }
    void setAutoOpen(bool on) { autoOpen_ = on; }
    bool isOpen() const { return open_; }
    void setOpen(bool on);
    bool dtr() const { return dtr_; }
    void setDtr(bool on);
    bool rts() const { return rts_; }
    void setRts(bool on);
    HwFlowOptions hwFlowOptions() const { return hwFlow_; }
    void setHwFlowOptions(HwFlowOptions options);
    SwFlowOptions swFlowOptions() const { return swFlow_; }
    void setSwFlowOptions(SwFlowOptions options);
    char xOnChar() const { return xOnChar_; }
    void setXOnChar(char c);
    char xOffChar() const { return xOffChar_; }
    void setXOffChar(char c);
    uint16_t bufferFull() const { return bufferFull_; }
    void setBufferFull(uint16_t bytes);
    uint16_t bufferResume() const { return bufferResume_; }
    void setBufferResume(uint16_t bytes);
    TraceLogState tracing() const { return tracing_; }
    void setTracing(TraceLogState state);
    uint32_t traceSize() const { return traceSize_; }
    void setTraceSize(uint32_t entries);
    std::string traceName() const { return traceName_; }
    void setTraceName(const std::string& name);
    bool traceHex() const { return traceHex_; }
    void setTraceHex(bool on) { traceHex_ = on; }
    bool traceAllHex() const { return traceAllHex_; }
    void setTraceAllHex(bool on) { traceAllHex_ = on; }
    TraceLogState logging() const { return logging_; }
    void setLogging(TraceLogState state);
    uint32_t logSize() const { return logSize_; }
    void setLogSize(uint32_t bytes);
    std::string logName() const { return logName_; }
    void setLogName(const std::string& name);
    bool logHex() const { return logHex_; }
    void setLogHex(bool on) { logHex_ = on; }
    bool logAllHex() const { return logAllHex_; }
    void setLogAllHex(bool on) { logAllHex_ = on; }
    // The port as the user named it, for the log file's "Device: " line when it was not named by
    // its number (a device path); empty: "COM" and the number.
    std::string deviceLabel() const { return deviceLabel_; }
    void setDeviceLabel(const std::string& label) { deviceLabel_ = label; }
    bool useMsrShadow() const { return true; }
    void setUseMsrShadow(bool) {}
    bool useEventWord() const { return useEventWord_; }
    void setUseEventWord(bool on);
    uint16_t commNotificationLevel() const { return commNotificationLevel_; }
    void setCommNotificationLevel(uint16_t level) { commNotificationLevel_ = level; }
    TapiMode tapiMode() const { return tapiMode_; }
    void setTapiMode(TapiMode mode) { tapiMode_ = mode; }
    bool rs485Mode() const { return rs485Mode_; }
    void setRs485Mode(bool on);
    // Kept for the program while the port is open (a fresh set with each open).
    PortUserData& userData() { return userData_; }

    // ---- Events (one handler each; assigning replaces) ---------------------------------------
    const NotifyEvent& onPortOpen() const { return onPortOpen_; }
    void setOnPortOpen(NotifyEvent e) { onPortOpen_ = std::move(e); }
    const NotifyEvent& onPortClose() const { return onPortClose_; }
    void setOnPortClose(NotifyEvent e) { onPortClose_ = std::move(e); }
    const TriggerEvent& onTrigger() const { return onTrigger_; }
    void setOnTrigger(TriggerEvent e);
    const TriggerAvailEvent& onTriggerAvail() const { return onTriggerAvail_; }
    void setOnTriggerAvail(TriggerAvailEvent e);
    const TriggerDataEvent& onTriggerData() const { return onTriggerData_; }
    void setOnTriggerData(TriggerDataEvent e);
    const TriggerStatusEvent& onTriggerStatus() const { return onTriggerStatus_; }
    void setOnTriggerStatus(TriggerStatusEvent e);
    const TriggerTimerEvent& onTriggerTimer() const { return onTriggerTimer_; }
    void setOnTriggerTimer(TriggerTimerEvent e);
    const TriggerLineErrorEvent& onTriggerLineError() const { return onTriggerLineError_; }
    void setOnTriggerLineError(TriggerLineErrorEvent e);
    const NotifyEvent& onTriggerModemStatus() const { return onTriggerModemStatus_; }
    void setOnTriggerModemStatus(NotifyEvent e);
    const NotifyEvent& onTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
    void setOnTriggerOutbuffFree(NotifyEvent e);
    const NotifyEvent& onTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
    void setOnTriggerOutbuffUsed(NotifyEvent e);
    const NotifyEvent& onTriggerOutSent() const { return onTriggerOutSent_; }
    void setOnTriggerOutSent(NotifyEvent e);
    // Called for every character waitForString consumes.
    const WaitCharEvent& onWaitChar() const { return onWaitChar_; }
    void setOnWaitChar(WaitCharEvent e) { onWaitChar_ = std::move(e); }
    // Called on every pass of a wait for a string (at least every 20 ms), after the application's
    // events ran: how a long wait tells the operator that it still waits.
    const NotifyEvent& onWaitPass() const { return onWaitPass_; }
    void setOnWaitPass(NotifyEvent e) { onWaitPass_ = std::move(e); }

    // Raised on the UI thread when the open device is lost or refuses a write for good; the port
    // stays open (every byte operation now fails) until the handler or its caller closes it.
    const PortErrorEvent& onPortError() const { return onPortError_; }
    void setOnPortError(PortErrorEvent e) { onPortError_ = std::move(e); }

    // ---- Unpublished state -------------------------------------------------------------------
    // 0, or the code of the failure that ended the open device (see onPortError).
    int32_t portError() const;
    // What the driver may hold ahead of bytes put now: its transmit queue where it reports one,
    // else the buffer size of the device kind.
    uint32_t driverQueueAhead();
    // The device path of the open port ("" when closed).
    std::string devicePath() const;
    // For the operator: "The connection to COM1 (/dev/ttyUSB0) was lost." after a loss (a port named
    // by its path is named so: "The connection to /dev/ttyUSB0 was lost."), the
    // failure's own text after a refused write, "" while the device works.
    std::string portErrorText() const;
    PortState portState() const { return state_; }
    // Lets the application's events run until a close that waits for a notification in delivery
    // has completed (and a reopen asked for meanwhile is carried out), for at most `timeoutMs`.
    // True when the port is no longer closing.
    bool finishPendingClose(int timeoutMs);
    ThreadBoost threadBoost() const { return threadBoost_; }
    void setThreadBoost(ThreadBoost boost);
    uint16_t availTriggerLength() const { return availTriggerLength_; }
    void setAvailTriggerLength(uint16_t length);
    void setActivationProcedure(ActivationProcedure procedure) { activation_ = std::move(procedure); }
    // The terminal that answers the unit's device-report requests for this port; set by it.
    void* primaryTerminal() const { return primaryTerminal_; }
    void setPrimaryTerminal(void* terminal) { primaryTerminal_ = terminal; }

    // The port selection dialog the window installs for every component (process-wide, UI thread).
    // Without it, opening with comNumber 0 behaves as promptForPort False.
    static void setPromptForPortHook(PromptForPortHook hook);

    // ---- Operations --------------------------------------------------------------------------
    void putChar(char c);
    void putString(std::string_view s);
    int32_t putBlock(const void* buffer, uint16_t length);
    uint16_t getBlock(void* buffer, uint16_t length);
    char getChar();
    // n counts from 1.
    char peekChar(uint16_t n);
    uint16_t peekBlock(void* buffer, uint16_t length);
    bool charReady();
    bool waitForString(std::string_view s, int32_t timeoutTicks, bool yield, bool ignoreCase);
    // Alternatives separated by |separator|; the 1-based index of the one found, 0 for none.
    int waitForMultiString(std::string_view s, int32_t timeoutTicks, bool yield, bool ignoreCase,
                           char separator);
    bool checkForString(uint8_t& matchCount, char c, std::string_view s, bool ignoreCase);
    // Ends the wait for a string in progress (from an event handler it runs) as if its time had
    // run out: the operator gave up on the peer. Nothing for later waits.
    void abandonWait() { waitAbandoned_ = true; }
    void prepareWait();
    void flushInBuffer();
    void flushOutBuffer();
    uint16_t getOutBuffUsed();
    uint16_t getOutBuffFree();
    // Waits until every byte put has gone to the device, for at most maxMicros real microseconds;
    // true when the output buffer is empty (also when the port is not open: nothing waits).
    bool waitOutBuffEmpty(uint32_t maxMicros);
    uint16_t getInBuffUsed();
    uint16_t getInBuffFree();
    bool getCts();
    bool getDsr();
    bool getRi();
    bool getDcd();
    bool getDeltaCts();
    bool getDeltaDsr();
    bool getDeltaRi();
    bool getDeltaDcd();
    uint8_t getModemStatus();
    uint16_t getLineError();
    bool getLineBreak();
    FlowControlState getFlowState();
    void sendBreak(int32_t ticks, bool yield);
    void setBreak(bool on);

    int32_t addDataTrigger(std::string_view s, bool ignoreCase);
    int32_t addTimerTrigger();
    int32_t addStatusTrigger(uint16_t kind);
    void setTimerTrigger(int32_t handle, int32_t ticks, bool activate);
    void setStatusTrigger(int32_t handle, uint16_t value, bool activate);
    void removeTrigger(int32_t handle);
    void removeAllTriggers();

    // User windows get PortMessage events (sent synchronously) for open, closed and, when
    // extended, closing. Callbacks are keyed by |owner| for deregistration.
    void registerUser(QObject* window);
    void registerUserEx(QObject* window);
    void registerUserCallback(const void* owner, PortCallback callback);
    void registerUserCallbackEx(const void* owner, PortCallbackEx callback);
    void deregisterUser(QObject* window);
    void deregisterUserCallback(const void* owner);
    void deregisterUserCallbackEx(const void* owner);

    // Trace and dispatch log control. The states are kept and re-applied at every open; the
    // buffers and files themselves belong to the dispatcher's trace support.
    void initTracing(uint32_t entries);
    void startTracing();
    void stopTracing();
    void clearTracing();
    void abortTracing();
    void dumpTrace(const std::string& name);
    void appendTrace(const std::string& name);
    void initLogging(uint32_t bytes);
    void startLogging();
    void stopLogging();
    void clearLogging();
    void abortLogging();
    void dumpLog(const std::string& name);
    void appendLog(const std::string& name);
    // A caller's own trace entry and log text; no effect while the port is not open.
    void addTraceEntry(char kind, uint8_t byte);
    void addStringToLog(std::string_view text);

    void processCommunications();
    // The dispatcher; opens the port first when autoOpen allows. Null when there is none.
    Dispatcher* dispatcher();
    // The dispatcher as it is, without opening anything.
    Dispatcher* currentDispatcher() const { return dispatcher_.get(); }

  protected:
    void loaded() override;

  private:
    // Closes an open port and frees what the component holds; once, from the destructor.
    void destroyPort();
    struct UserEntry {
        QObject* window = nullptr;
        const void* owner = nullptr;
        PortCallback callback;
        PortCallbackEx callbackEx;
        bool extended = false;
    };

    Dispatcher* requireDispatcher();
    int32_t check(int32_t code) const { return checkException(this, code); }
    void doOpen();
    void doClose();
    void completeClose();
    void finishDeferredClose(int32_t handle);
    // The exception for a failed open (`code` is initPort's result, `error` what the device layer
    // found); returns only while the component is being loaded.
    void raiseOpenFailure(const PortError& error, int32_t code, const std::string& path);
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
    void notifyUsers(CallbackType type);
    // The notification window procedure, on the UI thread.
    void handleTriggerMessage(const TriggerMessage& message);
    // The Tracing/Logging state table on an open port (log: the dispatch log, else the trace).
    void setRecorderState(bool log, TraceLogState wanted);
    // A traceSize/logSize change: a running or paused recorder starts again at the new size.
    void resizeRecorder(bool log);
    // The close after the recorders were written: shutting down, the dispatcher's end.
    void shutDown();
    // init: a running recorder is emptied rather than left as it is.
    void controlRecorder(bool log, TraceLogState wanted, bool onlyWhenOn = false, bool init = false);
    bool anyTriggerHandler() const;
    // Hears the dispatcher's port error and raises onPortError on the UI thread.
    void watchPortError();
    // Raises the port error, if any, as its exception.
    void checkPortError() const;

    DeviceLayerKind deviceLayer_ = DeviceLayerKind::Native;
    uint16_t comNumber_ = 0;
    int32_t baud_ = 19200;
    bool promptForPort_ = true;
    Parity parity_ = Parity::None;
    uint16_t dataBits_ = 8;
    uint16_t stopBits_ = 1;
    uint16_t inSize_ = kInputSizeDefault;
    uint16_t outSize_ = kOutputSizeDefault;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true;
    bool rts_ = true;
    HwFlowOptions hwFlow_;
    SwFlowOptions swFlow_ = SwFlowOptions::None;
    char xOnChar_ = 17;
    char xOffChar_ = 19;
    uint16_t bufferFull_ = 0;
    uint16_t bufferResume_ = 0;
    TraceLogState tracing_ = TraceLogState::Off;
    uint32_t traceSize_ = 10000;
    std::string traceName_ = "QUAV.TRC";
    bool traceHex_ = true;
    bool traceAllHex_ = false;
    TraceLogState logging_ = TraceLogState::Off;
    uint32_t logSize_ = 10000;
    std::string logName_ = "QUAV.LOG";
    bool logHex_ = true;
    bool logAllHex_ = false;
    std::string deviceLabel_;
    bool useEventWord_ = true;
    PortUserData userData_;
    uint16_t commNotificationLevel_ = 10;
    TapiMode tapiMode_ = TapiMode::Auto;
    bool rs485Mode_ = false;

    NotifyEvent onPortOpen_, onPortClose_;
    TriggerEvent onTrigger_;
    TriggerAvailEvent onTriggerAvail_;
    TriggerDataEvent onTriggerData_;
    TriggerStatusEvent onTriggerStatus_;
    TriggerTimerEvent onTriggerTimer_;
    TriggerLineErrorEvent onTriggerLineError_;
    NotifyEvent onTriggerModemStatus_, onTriggerOutbuffFree_, onTriggerOutbuffUsed_, onTriggerOutSent_;
    WaitCharEvent onWaitChar_;
    NotifyEvent onWaitPass_;
    PortErrorEvent onPortError_;

    PortState state_ = PortState::Closed;
    std::unique_ptr<Dispatcher> dispatcher_;
    std::unique_ptr<ComNotifier> notifier_;
    ThreadBoost threadBoost_ = ThreadBoost::None;
    uint16_t availTriggerLength_ = 1;
    ActivationProcedure activation_;
    void* primaryTerminal_ = nullptr;
    bool forceApply_ = false;
    bool openAfterLoad_ = false;
    bool reopenPending_ = false;
    TriggerSave savedTriggers_;
    bool triggersSaved_ = false;
    bool waitPrepared_ = false;
    bool waitPreparedBusy_ = false;
    bool waitAbandoned_ = false;
    std::vector<UserEntry> users_;
};

} // namespace brimwell::serial
