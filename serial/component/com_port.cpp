// The serial port component's life cycle: construction and destruction, opening and closing (with
// the deferred close while a notification is being delivered), the notification window procedure
// and the user notifications. Properties, byte operations and waits have files of their own.
#include "serial/component/com_port.h"

#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "serial/component/com_notifier.h"
#include "serial/component/main_thread_call.h"
#include "serial/component/pending_events.h"
#include "serial/component/port_message.h"
#include "serial/device_access.h"
#include "serial/device_layers.h"
#include "serial/event_timer.h"
#include "serial/exception_report.h"
#include "serial/termios_dispatcher.h"

namespace brimwell {
namespace {

// How often a wait for a notification still being delivered (the port's destruction, a pending
// close) looks again.
constexpr auto kDeliveryPollInterval = std::chrono::microseconds(1000);

// Lets the application's events run, a poll interval at a time, while `busy` holds (until `until`).
template <class Busy>
void runEventsWhile(
    Busy busy, std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max()) {
    while (busy() && std::chrono::steady_clock::now() < until) {
        processPendingEvents();
        std::this_thread::sleep_for(kDeliveryPollInterval);
    }
}

// How often a deferred close looks again at a dispatcher that is still delivering.
constexpr int kCloseRetryMs = 1;

TPromptForPortHook& promptHook() {
    static TPromptForPortHook hook;
    return hook;
}

// Text for a device that exists but may not be opened by this user: names the device, says
// what is missing and what would grant it.
std::string accessDeniedMessage(uint16_t comNumber, const std::string& path) {
    const std::string advice = accessAdvice(path);
    return "Cannot open " + portLabel(comNumber, path) + ": permission denied; " +
           (advice.empty() ? "this user may not read and write the device" : advice);
}

} // namespace

TQuavPortMessage::TQuavPortMessage(uint32_t msg, uint32_t wParam, int32_t lParam)
    : QEvent(eventType()), Msg(msg), WParam(wParam), LParam(lParam) {}

QEvent::Type TQuavPortMessage::eventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

TQuavCustomComPort::TQuavCustomComPort()
    : notifier_(std::make_unique<ComNotifier>([this](const TTriggerMessage& m) { handleTriggerMessage(m); },
                                              [this](int32_t handle) { finishDeferredClose(handle); })) {
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
        runEventsWhile([this] { return dispatcher_ && dispatcher_->EventBusy(); });
        completeClose();
    }
    notifier_.reset();
    users_.clear();
    TQuavBaseDispatcher::ClearSaveBuffers(savedTriggers_);
}

bool TQuavCustomComPort::FinishPendingClose(int timeoutMs) {
    runEventsWhile([this] { return state_ == psShuttingDown; },
                   std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
    return state_ != psShuttingDown;
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
        created = makeDeviceLayer(comDevicePath(comNumber_), this);
    if (!created) RaiseQuavCode(secNullApi);
    created->SetDeviceLabel(deviceLabel_.empty() ? ComName(comNumber_) : deviceLabel_);
    dispatcher_ = std::move(created);
    watchPortError();

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
    // A recorder whose file cannot be written does not keep the port open: the close goes on and
    // the first failure is raised when it is done. That recording dies with the dispatcher.
    std::exception_ptr dumpFailure;
    for (const bool log : {false, true}) {
        try {
            setRecorderState(log, tlDump);
        } catch (...) {
            if (!dumpFailure) dumpFailure = std::current_exception();
            (log ? logging_ : tracing_) = tlOff;
        }
    }
    shutDown();
    if (dumpFailure) std::rethrow_exception(dumpFailure);
}

void TQuavCustomComPort::shutDown() {
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

} // namespace brimwell
