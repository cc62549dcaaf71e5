// The serial port component: properties and their setter rules, opening and closing (with the
// deferred close while a notification is being delivered), byte operations, WaitForString, user
// notifications, and the notification window procedure.
#include "serial/component/com_port.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <thread>

#include "serial/component/com_notifier.h"
#include "serial/component/main_thread_call.h"
#include "serial/component/pending_events.h"
#include "serial/component/port_message.h"
#include "serial/event_timer.h"
#include "serial/exception_report.h"
#include "serial/termios_dispatcher.h"

namespace brimwell {
namespace {

// How long WaitForString sleeps between passes when no byte is waiting: short enough that a
// prompt is seen within about a millisecond, long enough not to burn a core.
constexpr auto kWaitPollInterval = std::chrono::microseconds(1000);
// How often a deferred close looks again at a dispatcher that is still delivering.
constexpr int kCloseRetryMs = 1;
// Sizes the dispatcher reports while closed.
constexpr uint16_t kInputRingSize = 8192;

TPromptForPortHook& promptHook() {
    static TPromptForPortHook hook;
    return hook;
}

char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

// One step of the string matcher: the byte is compared with the m-th character after m grew by
// one; a mismatch restarts at 1 when the byte is the first character, else at 0.
bool matchStep(uint8_t& m, char c, std::string_view s, bool ignoreCase) {
    if (s.empty()) return false;
    const char first = ignoreCase ? upperAscii(s[0]) : s[0];
    if (ignoreCase) c = upperAscii(c);
    ++m;
    // The count is 8 bits wide; after it wraps (strings over 255 characters) the position no
    // longer names a character of s, so it counts as a mismatch instead of reading outside s.
    if (m >= 1 && m <= s.size()) {
        const char expected = ignoreCase ? upperAscii(s[m - 1]) : s[m - 1];
        if (c == expected) return m == s.size();
    }
    m = (c == first) ? 1 : 0;
    return false;
}

// Text for a device that exists but may not be opened by this user: names the device, says
// what is missing and how an operator usually fixes it.
std::string accessDeniedMessage(uint16_t comNumber, const std::string& path) {
    std::string text = "Cannot open " + ComName(comNumber) + " (" + path +
                       "): permission denied; this user may not read and write the device";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        char buffer[1024];
        struct group grp {};
        struct group* found = nullptr;
        if (::getgrgid_r(st.st_gid, &grp, buffer, sizeof buffer, &found) == 0 && found != nullptr)
            text += std::string(". Add the user to the group '") + found->gr_name +
                    "' that owns it (then log in again), or ask an administrator";
    }
    return text;
}

} // namespace

TQuavPortMessage::TQuavPortMessage(uint32_t msg, uint32_t wParam, int32_t lParam)
    : QEvent(eventType()), Msg(msg), WParam(wParam), LParam(lParam) {}

QEvent::Type TQuavPortMessage::eventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

TQuavCustomComPort::TQuavCustomComPort() : notifier_(std::make_unique<ComNotifier>(this)) {
    installMainThreadSynchronizer();
}

TQuavCustomComPort::~TQuavCustomComPort() {
    destroyPort();
}

TQuavComPort::~TQuavComPort() {
    // Closing raises the close notifications with this object as their CP, so it happens while
    // the object is still a whole TQuavComPort.
    destroyPort();
}

void TQuavCustomComPort::destroyPort() {
    if (IsDestroying()) return;
    SetDestroying();
    reopenPending_ = false;
    try {
        if (state_ == psOpen) doClose();
    } catch (...) {
        ReportException("serial port event handler failed", std::current_exception());
    }
    if (state_ == psShuttingDown) {
        // A notification is still being delivered; it ends within the window-handler time-out.
        while (dispatcher_ && dispatcher_->EventBusy()) {
            processPendingEvents();
            std::this_thread::sleep_for(kWaitPollInterval);
        }
        completeClose();
    }
    notifier_.reset();
    users_.clear();
    TQuavBaseDispatcher::ClearSaveBuffers(savedTriggers_);
}

TQuavComPort* TQuavCustomComPort::self() {
    return static_cast<TQuavComPort*>(this);
}

void TQuavCustomComPort::SetPromptForPortHook(TPromptForPortHook hook) {
    promptHook() = std::move(hook);
}

// ---- Opening and closing ---------------------------------------------------------------------

void TQuavCustomComPort::SetOpen(bool on) {
    if (IsLoading() || IsDesigning()) {
        open_ = on;
        if (on) openAfterLoad_ = true;
        return;
    }
    if (on && state_ == psShuttingDown) {
        // Open still reads True until the close completes; the request is carried out then.
        reopenPending_ = true;
        return;
    }
    if (!on) reopenPending_ = false;
    if (on == open_) return;
    if (!on)
        doClose();
    else if (state_ == psClosed)
        doOpen();
    else
        reopenPending_ = true;
}

void TQuavCustomComPort::Loaded() {
    const bool wanted = openAfterLoad_;
    openAfterLoad_ = false;
    open_ = false;
    if (!wanted) return;
    try {
        SetOpen(true);
    } catch (...) {
        open_ = false;
        ReportException("serial port event handler failed", std::current_exception());
    }
}

void TQuavCustomComPort::raiseOpenFailure(int32_t code, const std::string& path) {
    switch (code) {
    case -kOpenErrorInUse:
        RaiseQuavCode(secAlreadyOpen);
    case -kOpenErrorNotFound:
    case -kOpenErrorPathNotFound:
        RaiseQuavCode(secBadId);
    case -kOpenErrorPermission:
        throw EPortAccessDenied(path, accessDeniedMessage(comNumber_, path));
    default:
        check(code);
    }
}

void TQuavCustomComPort::doOpen() {
    if (tapiMode_ != tmOn && comNumber_ == 0) {
        uint32_t chosen = 0;
        if (promptForPort_ && promptHook()) chosen = promptHook()(self());
        if (chosen == 0 || chosen > 0xFFFF) RaiseQuavCode(secNoPortSelected);
        comNumber_ = uint16_t(chosen);
    }

    std::unique_ptr<TQuavBaseDispatcher> created;
    if (activation_)
        created = activation_(self());
    else if (deviceLayer_ != dlWin32 || tapiMode_ == tmOn)
        RaiseQuavCode(secNullApi);
    else
        created = std::make_unique<TQuavWin32Dispatcher>(this);
    if (!created) RaiseQuavCode(secNullApi);
    created->SetDeviceLabel(ComName(comNumber_));
    dispatcher_ = std::move(created);

    try {
        const std::string path = comDevicePath(comNumber_);
        uint32_t flags = 0;
        if (dtr_) flags |= ofDtrOn;
        if (rts_) flags |= ofRtsOn;
        if (hwFlow_.contains(hwfUseDTR)) flags |= ofDtrAutomatic;
        if (hwFlow_.contains(hwfUseRTS)) flags |= ofRtsAutomatic;
        const int32_t rc = dispatcher_->InitPort(path, uint32_t(baud_), uint8_t(parity_), uint8_t(dataBits_),
                                                 uint8_t(stopBits_), inSize_, outSize_, flags);
        if (rc < 0) raiseOpenFailure(rc, path);

        state_ = psOpen;
        updatePortHandlerFlag();
        forceApply_ = true;
        SetTracing(tracing_);
        SetLogging(logging_);
        SetHWFlowOptions(hwFlow_);
        SetSWFlowOptions(swFlow_);
        SetXOnChar(xOnChar_);
        SetXOffChar(xOffChar_);
        SetAvailTriggerLength(availTriggerLength_);
        SetDTR(dtr_);
        SetRTS(rts_);
        SetUseEventWord(useEventWord_);
        SetRS485Mode(rs485Mode_);
        SetThreadBoost(threadBoost_);
        forceApply_ = false;
        open_ = true;
        notifier_->reopen();
        check(dispatcher_->RegisterWndTriggerHandler(notifier_.get()));
        // Registering marks the port as wanting notifications; our own window alone does not
        // count, so the flags are worked out again now that it is in the list.
        updatePortHandlerFlag();
        if (triggersSaved_) {
            triggersSaved_ = false;
            dispatcher_->RestoreTriggers(savedTriggers_);
            TQuavBaseDispatcher::ClearSaveBuffers(savedTriggers_);
        }
        notifyUsers(ctOpen);
    } catch (...) {
        forceApply_ = false;
        open_ = false;
        state_ = psClosed;
        notifier_->shutdown();
        dispatcher_.reset();
        throw;
    }
}

void TQuavCustomComPort::doClose() {
    if (state_ != psOpen) return;
    setTraceState(tracing_, tlDump);
    setTraceState(logging_, tlDump);
    state_ = psShuttingDown;
    notifyUsers(ctClosing);
    if (!dispatcher_) {
        completeClose();
        notifyUsers(ctClosed);
        return;
    }
    dispatcher_->SaveTriggers(savedTriggers_);
    triggersSaved_ = true;
    // No new notification may wait for the UI thread from here on; one being handled finishes.
    notifier_->shutdown();
    dispatcher_->DonePort();
    if (dispatcher_->EventBusy()) {
        notifier_->postCloseComplete(dispatcher_->Handle());
        processPendingEvents();
    } else {
        completeClose();
    }
    notifyUsers(ctClosed);
}

void TQuavCustomComPort::completeClose() {
    if (dispatcher_) dispatcher_->DeregisterWndTriggerHandler(notifier_.get());
    dispatcher_.reset();
    state_ = psClosed;
    open_ = false;
    waitPrepared_ = false;
    waitPreparedBusy_ = false;
}

void TQuavCustomComPort::finishDeferredClose(int32_t handle) {
    if (state_ != psShuttingDown || !dispatcher_ || dispatcher_->Handle() != handle) return;
    if (dispatcher_->EventBusy()) {
        notifier_->postCloseComplete(handle, kCloseRetryMs);
        return;
    }
    completeClose();
    if (reopenPending_ && !IsDestroying()) {
        reopenPending_ = false;
        try {
            doOpen();
        } catch (...) {
            ReportException("serial port event handler failed", std::current_exception());
        }
    }
}

TQuavBaseDispatcher* TQuavCustomComPort::requireDispatcher() {
    if (!dispatcher_ && autoOpen_ && !IsLoading() && !IsDesigning()) SetOpen(true);
    if (!dispatcher_) check(secCommNotOpen);
    return dispatcher_.get();
}

TQuavBaseDispatcher* TQuavCustomComPort::Dispatcher() {
    if (!dispatcher_ && autoOpen_ && !IsLoading() && !IsDesigning()) SetOpen(true);
    return dispatcher_.get();
}

// ---- Notifications ---------------------------------------------------------------------------

bool TQuavCustomComPort::anyTriggerHandler() const {
    return onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
           onTriggerLineError_ || onTriggerModemStatus_ || onTriggerOutbuffFree_ || onTriggerOutbuffUsed_ ||
           onTriggerOutSent_;
}

void TQuavCustomComPort::updatePortHandlerFlag() {
    if (!dispatcher_ || state_ != psOpen) return;
    dispatcher_->UpdateHandlerFlags(anyTriggerHandler() ? fuEnablePort : fuDisablePort);
}

void TQuavCustomComPort::SetOnTrigger(TTriggerEvent e) {
    onTrigger_ = std::move(e);
    updatePortHandlerFlag();
}
void TQuavCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent e) {
    onTriggerAvail_ = std::move(e);
    updatePortHandlerFlag();
}
void TQuavCustomComPort::SetOnTriggerData(TTriggerDataEvent e) {
    onTriggerData_ = std::move(e);
    updatePortHandlerFlag();
}
void TQuavCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent e) {
    onTriggerStatus_ = std::move(e);
    updatePortHandlerFlag();
}
void TQuavCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent e) {
    onTriggerTimer_ = std::move(e);
    updatePortHandlerFlag();
}
void TQuavCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent e) {
    onTriggerLineError_ = std::move(e);
    updatePortHandlerFlag();
}
void TQuavCustomComPort::SetOnTriggerModemStatus(TNotifyEvent e) {
    onTriggerModemStatus_ = std::move(e);
    updatePortHandlerFlag();
}
void TQuavCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent e) {
    onTriggerOutbuffFree_ = std::move(e);
    updatePortHandlerFlag();
}
void TQuavCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent e) {
    onTriggerOutbuffUsed_ = std::move(e);
    updatePortHandlerFlag();
}
void TQuavCustomComPort::SetOnTriggerOutSent(TNotifyEvent e) {
    onTriggerOutSent_ = std::move(e);
    updatePortHandlerFlag();
}

void TQuavCustomComPort::handleTriggerMessage(const TTriggerMessage& message) {
    TQuavBaseDispatcher::LockPortList();
    TQuavBaseDispatcher* found = TQuavBaseDispatcher::FindDispatcher(message.DispatcherHandle());
    TQuavBaseDispatcher::UnlockPortList();
    if (found == nullptr || found != dispatcher_.get()) return;
    // Handlers may replace themselves or close the port; work on copies.
    try {
        const auto handle = uint16_t(message.WParam);
        const uint16_t data = message.Msg == kTriggerAvail ? uint16_t(message.WParam) : message.Data();
        if (auto h = onTrigger_) h(self(), uint16_t(message.Msg), handle, data);
        switch (message.Msg) {
        case kTriggerAvail:
            if (auto h = onTriggerAvail_) h(self(), handle);
            break;
        case kTriggerData:
            if (auto h = onTriggerData_) h(self(), handle);
            break;
        case kTriggerTimer:
            if (auto h = onTriggerTimer_) h(self(), handle);
            break;
        case kTriggerStatus:
            if (auto h = onTriggerStatus_) h(self(), handle);
            switch (TQuavBaseDispatcher::ClassifyStatusTrigger(int32_t(message.WParam))) {
            case stModem:
                if (auto h = onTriggerModemStatus_) h(self());
                break;
            case stLine:
                if (auto h = onTriggerLineError_) {
                    const bool lineBreak = GetLineBreak();
                    const uint16_t error = GetLineError();
                    h(self(), error, lineBreak);
                }
                break;
            case stOutBuffFree:
                if (auto h = onTriggerOutbuffFree_) h(self());
                break;
            case stOutBuffUsed:
                if (auto h = onTriggerOutbuffUsed_) h(self());
                break;
            case stOutSent:
                if (auto h = onTriggerOutSent_) h(self());
                break;
            default:
                break;
            }
            break;
        default:
            break;
        }
    } catch (...) {
        ReportException("serial port event handler failed", std::current_exception());
    }
}

void TQuavCustomComPort::notifyUsers(TQuavCallbackType type) {
    // Walked from the last entry to the first; a callback may deregister entries as we go.
    for (std::size_t i = users_.size(); i-- > 0;) {
        if (i >= users_.size()) continue;
        const UserEntry entry = users_[i];
        if (type == ctClosing && !entry.extended) continue;
        if (entry.window != nullptr) {
            const uint32_t msg = type == ctOpen     ? kPortOpenMsg
                                 : type == ctClosed ? kPortClosedMsg
                                                    : kPortClosingMsg;
            TQuavPortMessage event(msg, 0, 0);
            QCoreApplication::sendEvent(entry.window, &event);
        } else if (entry.extended) {
            if (entry.callbackEx) entry.callbackEx(self(), type);
        } else if (entry.callback) {
            entry.callback(self(), type == ctOpen);
        }
    }
    if (type == ctOpen) {
        if (auto h = onPortOpen_) h(self());
    } else if (type == ctClosed) {
        if (auto h = onPortClose_) h(self());
    }
}

void TQuavCustomComPort::RegisterUser(QObject* window) {
    UserEntry e;
    e.window = window;
    users_.push_back(e);
}
void TQuavCustomComPort::RegisterUserEx(QObject* window) {
    UserEntry e;
    e.window = window;
    e.extended = true;
    users_.push_back(e);
}
void TQuavCustomComPort::RegisterUserCallback(const void* owner, TPortCallback callback) {
    UserEntry e;
    e.owner = owner;
    e.callback = std::move(callback);
    users_.push_back(std::move(e));
}
void TQuavCustomComPort::RegisterUserCallbackEx(const void* owner, TPortCallbackEx callback) {
    UserEntry e;
    e.owner = owner;
    e.callbackEx = std::move(callback);
    e.extended = true;
    users_.push_back(std::move(e));
}
void TQuavCustomComPort::DeregisterUser(QObject* window) {
    if (IsDestroying()) return;
    std::erase_if(users_, [&](const UserEntry& e) { return e.window != nullptr && e.window == window; });
}
void TQuavCustomComPort::DeregisterUserCallback(const void* owner) {
    if (IsDestroying()) return;
    std::erase_if(users_,
                  [&](const UserEntry& e) { return e.window == nullptr && !e.extended && e.owner == owner; });
}
void TQuavCustomComPort::DeregisterUserCallbackEx(const void* owner) {
    if (IsDestroying()) return;
    std::erase_if(users_,
                  [&](const UserEntry& e) { return e.window == nullptr && e.extended && e.owner == owner; });
}

// ---- Properties ------------------------------------------------------------------------------

namespace {

// Every setter's first step: nothing when the value is unchanged (unless a forced re-apply runs),
// else store it. True when the caller should apply the new value.
template <typename T> bool store(T& field, const T& value, bool forceApply) {
    if (value == field && !forceApply) return false;
    field = value;
    return true;
}

// Runs setters with the forced re-apply on, so that they apply values that did not change.
class ForcedApply {
  public:
    explicit ForcedApply(bool& flag) : flag_(flag), saved_(flag) { flag_ = true; }
    ~ForcedApply() { flag_ = saved_; }
    ForcedApply(const ForcedApply&) = delete;
    ForcedApply& operator=(const ForcedApply&) = delete;

  private:
    bool& flag_;
    const bool saved_;
};

} // namespace

void TQuavCustomComPort::SetDeviceLayer(TDeviceLayer layer) {
    // This class supports the serial-device layer alone.
    if (state_ == psClosed && layer == dlWin32) deviceLayer_ = layer;
}

void TQuavCustomComPort::SetComNumber(uint16_t n) {
    if (n == comNumber_ && !forceApply_) return;
    if (state_ != psOpen || IsLoading()) {
        comNumber_ = n;
        return;
    }
    // The close saves the triggers and the next open restores them; the trace and log states
    // are set back because the close dumps and switches them off.
    const TTraceLogState tracing = tracing_;
    const TTraceLogState logging = logging_;
    SetOpen(false);
    comNumber_ = n;
    tracing_ = tracing;
    logging_ = logging;
    if (state_ == psShuttingDown)
        reopenPending_ = true;
    else
        SetOpen(true);
}

void TQuavCustomComPort::applyLine() {
    if (state_ == psOpen && dispatcher_)
        check(
            dispatcher_->SetLine(uint32_t(baud_), uint8_t(parity_), uint8_t(dataBits_), uint8_t(stopBits_)));
}

void TQuavCustomComPort::SetBaud(int32_t baud) {
    if (store(baud_, baud, forceApply_)) applyLine();
}

void TQuavCustomComPort::SetParity(TParity parity) {
    if (store(parity_, parity, forceApply_)) applyLine();
}

void TQuavCustomComPort::SetDataBits(uint16_t bits) {
    if (store(dataBits_, bits, forceApply_)) applyLine();
}

void TQuavCustomComPort::SetStopBits(uint16_t bits) {
    if (store(stopBits_, bits, forceApply_)) applyLine();
}

void TQuavCustomComPort::SetInSize(uint16_t size) {
    // termios has no receive-queue size to set again; the value counts at the next open and for
    // the flow-control thresholds.
    store(inSize_, size, forceApply_);
}

void TQuavCustomComPort::SetOutSize(uint16_t size) {
    // The output ring keeps the size it was opened with.
    store(outSize_, size, forceApply_);
}

void TQuavCustomComPort::SetDTR(bool on) {
    const bool previous = dtr_;
    if (store(dtr_, on, forceApply_) && state_ == psOpen && dispatcher_) {
        const int32_t rc = dispatcher_->SetDtr(on);
        if (rc == 1) dtr_ = previous; // DTR belongs to the driver's handshake
        check(rc);
    }
}

void TQuavCustomComPort::SetRTS(bool on) {
    const bool previous = rts_;
    if (store(rts_, on, forceApply_) && state_ == psOpen && dispatcher_) {
        const int32_t rc = dispatcher_->SetRts(on);
        if (rc == 1) rts_ = previous; // RTS belongs to the driver's handshake
        check(rc);
    }
}

void TQuavCustomComPort::applyHWFlow() {
    const uint16_t value = hwFlow_.value();
    if (value != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = uint16_t(uint32_t(inSize_) * 9 / 10);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = uint16_t(uint32_t(inSize_) / 10);
    }
    if (state_ == psOpen && dispatcher_) check(dispatcher_->HWFlowOptions(bufferFull_, bufferResume_, value));
}

void TQuavCustomComPort::SetHWFlowOptions(THWFlowOptions options) {
    if (!store(hwFlow_, options, forceApply_)) return;
    applyHWFlow();
    if (options.contains(hwfUseRTS) || options.contains(hwfRequireCTS)) SetRS485Mode(false);
}

void TQuavCustomComPort::applySWFlow() {
    static constexpr uint16_t kValues[] = {0, sfReceiveFlow, sfTransmitFlow, sfReceiveFlow | sfTransmitFlow};
    const uint16_t value = kValues[swFlow_];
    if (value != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = uint16_t(uint32_t(inSize_) * 3 / 4);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = uint16_t(uint32_t(inSize_) / 4);
    }
    if (state_ == psOpen && dispatcher_) {
        // Enabling only switches directions on; a direction the new value leaves out must go off.
        check(dispatcher_->SWFlowDisable());
        if (value != 0) check(dispatcher_->SWFlowEnable(bufferFull_, bufferResume_, value));
    }
}

void TQuavCustomComPort::SetSWFlowOptions(TSWFlowOptions options) {
    if (store(swFlow_, options, forceApply_)) applySWFlow();
}

void TQuavCustomComPort::SetXOnChar(char c) {
    if (store(xOnChar_, c, forceApply_) && state_ == psOpen && dispatcher_)
        check(dispatcher_->SWFlowChars(uint8_t(xOnChar_), uint8_t(xOffChar_)));
}

void TQuavCustomComPort::SetXOffChar(char c) {
    if (store(xOffChar_, c, forceApply_) && state_ == psOpen && dispatcher_)
        check(dispatcher_->SWFlowChars(uint8_t(xOnChar_), uint8_t(xOffChar_)));
}

void TQuavCustomComPort::SetBufferFull(uint16_t bytes) {
    if (bytes == bufferFull_ && !forceApply_) return;
    bufferFull_ = bytes > inSize_ ? uint16_t(uint32_t(bytes) * 9 / 10) : bytes;
    const ForcedApply forced(forceApply_);
    SetHWFlowOptions(hwFlow_);
    SetSWFlowOptions(swFlow_);
}

void TQuavCustomComPort::SetBufferResume(uint16_t bytes) {
    if (bytes == bufferResume_ && !forceApply_) return;
    bufferResume_ = bytes > bufferFull_ ? uint16_t(uint32_t(bufferFull_) / 10) : bytes;
    const ForcedApply forced(forceApply_);
    SetHWFlowOptions(hwFlow_);
    SetSWFlowOptions(swFlow_);
}

void TQuavCustomComPort::setTraceState(TTraceLogState& state, TTraceLogState wanted) {
    // Dumping and appending write what was gathered and switch it off; clearing keeps the state.
    switch (wanted) {
    case tlDump:
    case tlAppend:
        state = tlOff;
        break;
    case tlClear:
        break;
    default:
        state = wanted;
        break;
    }
}

void TQuavCustomComPort::SetTracing(TTraceLogState state) {
    if (state != tracing_ || forceApply_) setTraceState(tracing_, state);
}

void TQuavCustomComPort::SetLogging(TTraceLogState state) {
    if (state != logging_ || forceApply_) setTraceState(logging_, state);
}

void TQuavCustomComPort::SetTraceSize(uint32_t entries) {
    traceSize_ = entries > kTraceSizeLimit ? kTraceSizeLimit : entries;
}

void TQuavCustomComPort::SetLogSize(uint32_t bytes) {
    logSize_ = bytes > kLogSizeLimit ? kLogSizeLimit : bytes;
}

void TQuavCustomComPort::SetTraceName(const std::string& name) {
    traceName_ = name.substr(0, 255);
}

void TQuavCustomComPort::SetLogName(const std::string& name) {
    logName_ = name.substr(0, 255);
}

void TQuavCustomComPort::SetUseEventWord(bool on) {
    constexpr uint16_t kEventWordOption = 4;
    if (store(useEventWord_, on, forceApply_) && state_ == psOpen && dispatcher_) {
        if (on)
            dispatcher_->OptionsOn(kEventWordOption);
        else
            dispatcher_->OptionsOff(kEventWordOption);
    }
}

void TQuavCustomComPort::SetRS485Mode(bool on) {
    if (!store(rs485Mode_, on, forceApply_)) return;
    if (state_ == psOpen && dispatcher_) dispatcher_->SetRS485Mode(on);
    if (on) {
        THWFlowOptions options = hwFlow_;
        options.erase(hwfUseRTS);
        options.erase(hwfRequireCTS);
        SetHWFlowOptions(options);
        SetRTS(false);
    }
}

void TQuavCustomComPort::SetThreadBoost(TQuavThreadBoost boost) {
    if (store(threadBoost_, boost, forceApply_) && state_ == psOpen && dispatcher_)
        dispatcher_->SetThreadBoost(boost);
}

void TQuavCustomComPort::SetAvailTriggerLength(uint16_t length) {
    if (store(availTriggerLength_, length, forceApply_) && state_ == psOpen && dispatcher_)
        dispatcher_->ChangeLengthTrigger(length);
}

// ---- Byte operations -------------------------------------------------------------------------

void TQuavCustomComPort::PutChar(char c) {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->PutChar(uint8_t(c)));
}

void TQuavCustomComPort::PutString(std::string_view s) {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->PutString(s));
}

int32_t TQuavCustomComPort::PutBlock(const void* buffer, uint16_t length) {
    if (state_ == psShuttingDown) return 0;
    check(requireDispatcher()->PutBlock(buffer, length));
    return 0;
}

uint16_t TQuavCustomComPort::GetBlock(void* buffer, uint16_t length) {
    if (state_ == psShuttingDown) return 0;
    return uint16_t(check(requireDispatcher()->GetBlock(buffer, length)));
}

char TQuavCustomComPort::GetChar() {
    if (state_ == psShuttingDown) return 0;
    uint8_t c = 0;
    check(requireDispatcher()->GetChar(c));
    return char(c);
}

char TQuavCustomComPort::PeekChar(uint16_t n) {
    if (state_ == psShuttingDown) return 0;
    uint8_t c = 0;
    check(requireDispatcher()->PeekChar(c, n));
    return char(c);
}

uint16_t TQuavCustomComPort::PeekBlock(void* buffer, uint16_t length) {
    if (state_ == psShuttingDown) return 0;
    return uint16_t(check(requireDispatcher()->PeekBlock(buffer, length)));
}

bool TQuavCustomComPort::CharReady() {
    if (state_ == psShuttingDown) return false;
    return requireDispatcher()->CharReady();
}

bool TQuavCustomComPort::CheckForString(uint8_t& matchCount, char c, std::string_view s, bool ignoreCase) {
    if (state_ == psShuttingDown) return false;
    if (matchStep(matchCount, c, s, ignoreCase)) {
        matchCount = 0;
        return true;
    }
    return false;
}

void TQuavCustomComPort::PrepareWait() {
    if (state_ == psShuttingDown) return;
    TQuavBaseDispatcher* d = requireDispatcher();
    waitPrepared_ = true;
    waitPreparedBusy_ = d->SetEventBusy(true);
}

namespace {

// Holds a port's dispatcher busy for the length of a wait and gives the flag back as the wait
// rules say, unless the dispatcher went away during the wait.
// Lets notifications reach the component's handlers again when a wait ends, however it ends.
class WaitEndGuard {
  public:
    explicit WaitEndGuard(ComNotifier* notifier) : notifier_(notifier) {}
    ~WaitEndGuard() { notifier_->endWait(); }
    WaitEndGuard(const WaitEndGuard&) = delete;
    WaitEndGuard& operator=(const WaitEndGuard&) = delete;

  private:
    ComNotifier* notifier_;
};

class WaitBusyGuard {
  public:
    WaitBusyGuard(TQuavBaseDispatcher* d, bool& prepared, bool& preparedBusy)
        : d_(d), prepared_(prepared), preparedBusy_(preparedBusy), previous_(d->SetEventBusy(true)) {}
    ~WaitBusyGuard() {
        if (d_ != nullptr) {
            if (prepared_ ? !preparedBusy_ : !previous_) d_->SetEventBusy(false);
        }
        prepared_ = false;
        preparedBusy_ = false;
    }
    void forget() { d_ = nullptr; }

  private:
    TQuavBaseDispatcher* d_;
    bool& prepared_;
    bool& preparedBusy_;
    bool previous_;
};

} // namespace

void TQuavCustomComPort::settleDelivery() {
    // The busy flag stops new notifications, not one already under way. One that waits for this
    // thread is taken back, so the wait below reads the bytes in the normal way rather than as a
    // consumer of that notification (which would leave them in place to be read twice).
    notifier_->withdrawPendingAndSettle(kWindowHandlerTimeoutMs);
}

bool TQuavCustomComPort::WaitForString(std::string_view s, int32_t timeoutTicks, bool yield,
                                       bool ignoreCase) {
    if (s.empty() || state_ == psShuttingDown) return true;
    TQuavBaseDispatcher* d = requireDispatcher();
    WaitBusyGuard busy(d, waitPrepared_, waitPreparedBusy_);
    settleDelivery();
    const WaitEndGuard waitEnd(notifier_.get());
    const AnswerTimer timer(timeoutTicks);
    uint8_t m = 0;
    bool found = false;
    bool expired = false;
    bool terminating = false;
    for (;;) {
        uint8_t c = 0;
        const bool took = d->GetChar(c) == 0;
        if (took) {
            if (auto h = onWaitChar_) h(self(), char(c));
            found = matchStep(m, char(c), s, ignoreCase);
        }
        if (!found) {
            expired = timer.expired();
            if (!took && !expired) std::this_thread::sleep_for(kWaitPollInterval);
            if (yield) {
                processPendingEvents();
                if (dispatcher_.get() != d) {
                    // The port was closed (and its dispatcher destroyed) by an event handler.
                    busy.forget();
                    return false;
                }
                if (state_ != psOpen) return false; // closing: the string can no longer come
            }
            terminating = applicationTerminating();
        }
        if (found || expired || terminating) break;
    }
    if (terminating) return true;
    return !timer.expired();
}

int TQuavCustomComPort::WaitForMultiString(std::string_view s, int32_t timeoutTicks, bool yield,
                                           bool ignoreCase, char separator) {
    if (s.empty() || state_ == psShuttingDown) return 0;
    std::vector<std::string_view> alternatives;
    for (std::size_t start = 0;;) {
        const std::size_t at = s.find(separator, start);
        alternatives.push_back(
            s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    TQuavBaseDispatcher* d = requireDispatcher();
    WaitBusyGuard busy(d, waitPrepared_, waitPreparedBusy_);
    settleDelivery();
    const WaitEndGuard waitEnd(notifier_.get());
    const AnswerTimer timer(timeoutTicks);
    std::vector<uint8_t> counts(alternatives.size(), 0);
    for (;;) {
        uint8_t c = 0;
        const bool took = d->GetChar(c) == 0;
        if (took) {
            if (auto h = onWaitChar_) h(self(), char(c));
            for (std::size_t i = 0; i < alternatives.size(); ++i)
                if (matchStep(counts[i], char(c), alternatives[i], ignoreCase)) return int(i + 1);
        }
        if (timer.expired()) return 0;
        if (!took) std::this_thread::sleep_for(kWaitPollInterval);
        if (yield) {
            processPendingEvents();
            if (dispatcher_.get() != d) {
                busy.forget();
                return 0;
            }
            if (state_ != psOpen) return 0;
        }
        if (applicationTerminating()) return 0;
    }
}

void TQuavCustomComPort::FlushInBuffer() {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->FlushInBuffer());
}

void TQuavCustomComPort::FlushOutBuffer() {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->FlushOutBuffer());
}

uint16_t TQuavCustomComPort::GetOutBuffUsed() {
    return state_ == psOpen && dispatcher_ ? uint16_t(dispatcher_->OutBuffUsed()) : 0;
}

bool TQuavCustomComPort::WaitOutBuffEmpty(uint32_t maxMicros) {
    if (state_ != psOpen || !dispatcher_) return true;
    return dispatcher_->WaitOutputEmpty(maxMicros);
}

uint16_t TQuavCustomComPort::GetOutBuffFree() {
    return state_ == psOpen && dispatcher_ ? uint16_t(dispatcher_->OutBuffFree()) : outSize_;
}

// The input ring holds 8192 bytes, which a 16-bit count still carries.
uint16_t TQuavCustomComPort::GetInBuffUsed() {
    return state_ == psOpen && dispatcher_ ? uint16_t(dispatcher_->InBuffUsed()) : 0;
}

uint16_t TQuavCustomComPort::GetInBuffFree() {
    return state_ == psOpen && dispatcher_ ? uint16_t(dispatcher_->InBuffFree()) : kInputRingSize;
}

bool TQuavCustomComPort::GetCTS() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckCTS();
}
bool TQuavCustomComPort::GetDSR() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDSR();
}
bool TQuavCustomComPort::GetRI() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckRI();
}
bool TQuavCustomComPort::GetDCD() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDCD();
}
bool TQuavCustomComPort::GetDeltaCTS() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDeltaCTS();
}
bool TQuavCustomComPort::GetDeltaDSR() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDeltaDSR();
}
bool TQuavCustomComPort::GetDeltaRI() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDeltaRI();
}
bool TQuavCustomComPort::GetDeltaDCD() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckDeltaDCD();
}

uint8_t TQuavCustomComPort::GetModemStatus() {
    if (state_ == psShuttingDown) return 0;
    return requireDispatcher()->GetModemStatus();
}

uint16_t TQuavCustomComPort::GetLineError() {
    return state_ == psOpen && dispatcher_ ? dispatcher_->GetLineError() : 0;
}

bool TQuavCustomComPort::GetLineBreak() {
    return state_ == psOpen && dispatcher_ && dispatcher_->CheckLineBreak();
}

TFlowControlState TQuavCustomComPort::GetFlowState() {
    if (state_ == psShuttingDown) return fcOff;
    TQuavBaseDispatcher* d = requireDispatcher();
    const int32_t hw = d->HWFlowState() - 1;
    if (hw != fcOff) return TFlowControlState(hw);
    return TFlowControlState(d->SWFlowState() - 1);
}

void TQuavCustomComPort::SendBreak(int32_t ticks, bool yield) {
    if (state_ == psShuttingDown) return;
    TQuavBaseDispatcher* d = requireDispatcher();
    if (!yield) {
        d->SendBreak(ticks);
        return;
    }
    // Events run during the break; one of them may close the port. Holding the dispatcher busy
    // turns such a close into a deferred one, so the dispatcher outlives this call, and the wait
    // ends early once the port is closing.
    const bool wasBusy = d->SetEventBusy(true);
    d->SendBreak(ticks, [this] {
        processPendingEvents();
        return state_ == psOpen && !applicationTerminating();
    });
    if (!wasBusy) d->SetEventBusy(false);
}

void TQuavCustomComPort::SetBreak(bool on) {
    if (state_ == psShuttingDown) return;
    requireDispatcher()->SetBreak(on);
}

// ---- Triggers --------------------------------------------------------------------------------

int32_t TQuavCustomComPort::AddDataTrigger(std::string_view s, bool ignoreCase) {
    if (state_ == psShuttingDown) return 0;
    return check(requireDispatcher()->AddDataTrigger(s, ignoreCase));
}

int32_t TQuavCustomComPort::AddTimerTrigger() {
    if (state_ == psShuttingDown) return 0;
    return check(requireDispatcher()->AddTimerTrigger());
}

int32_t TQuavCustomComPort::AddStatusTrigger(uint16_t kind) {
    if (state_ == psShuttingDown) return 0;
    return check(requireDispatcher()->AddStatusTrigger(kind));
}

void TQuavCustomComPort::SetTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->SetTimerTrigger(handle, ticks, activate));
}

void TQuavCustomComPort::SetStatusTrigger(int32_t handle, uint16_t value, bool activate) {
    if (state_ == psShuttingDown) return;
    check(requireDispatcher()->SetStatusTrigger(handle, value, activate));
}

void TQuavCustomComPort::RemoveTrigger(int32_t handle) {
    if (state_ == psOpen && dispatcher_) check(dispatcher_->RemoveTrigger(handle));
}

void TQuavCustomComPort::RemoveAllTriggers() {
    availTriggerLength_ = 0;
    if (state_ == psOpen && dispatcher_) dispatcher_->RemoveAllTriggers();
}

// ---- Trace and log control -------------------------------------------------------------------

void TQuavCustomComPort::InitTracing(uint32_t entries) {
    if (state_ == psShuttingDown) return;
    SetTraceSize(entries);
    tracing_ = tlOn;
}
void TQuavCustomComPort::StartTracing() {
    if (state_ != psShuttingDown) tracing_ = tlOn;
}
void TQuavCustomComPort::StopTracing() {
    if (state_ != psShuttingDown && tracing_ == tlOn) tracing_ = tlPause;
}
void TQuavCustomComPort::ClearTracing() {}
void TQuavCustomComPort::AbortTracing() {
    if (state_ != psShuttingDown) tracing_ = tlOff;
}
void TQuavCustomComPort::DumpTrace(const std::string& name) {
    if (state_ == psShuttingDown) return;
    SetTraceName(name);
    tracing_ = tlOff;
}
void TQuavCustomComPort::AppendTrace(const std::string& name) {
    if (state_ == psShuttingDown) return;
    SetTraceName(name);
    tracing_ = tlOff;
}
void TQuavCustomComPort::InitLogging(uint32_t bytes) {
    if (state_ == psShuttingDown) return;
    SetLogSize(bytes);
    logging_ = tlOn;
}
void TQuavCustomComPort::StartLogging() {
    if (state_ != psShuttingDown) logging_ = tlOn;
}
void TQuavCustomComPort::StopLogging() {
    if (state_ != psShuttingDown && logging_ == tlOn) logging_ = tlPause;
}
void TQuavCustomComPort::ClearLogging() {}
void TQuavCustomComPort::AbortLogging() {
    if (state_ != psShuttingDown) logging_ = tlOff;
}
void TQuavCustomComPort::DumpLog(const std::string& name) {
    if (state_ == psShuttingDown) return;
    SetLogName(name);
    logging_ = tlOff;
}
void TQuavCustomComPort::AppendLog(const std::string& name) {
    if (state_ == psShuttingDown) return;
    SetLogName(name);
    logging_ = tlOff;
}

void TQuavCustomComPort::ProcessCommunications() {
    if (state_ == psShuttingDown) return;
    requireDispatcher();
    std::this_thread::yield();
}

} // namespace brimwell
