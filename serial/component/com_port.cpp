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
#include "serial/thread_engine.h"

namespace brimwell::serial {
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

PromptForPortHook& promptHook() {
    static PromptForPortHook hook;
    return hook;
}

} // namespace

PortMessage::PortMessage(uint32_t msg, uint32_t wParam, int32_t lParam)
    : QEvent(eventType()), msg(msg), wParam(wParam), lParam(lParam) {}

QEvent::Type PortMessage::eventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

ComPort::ComPort()
    : notifier_(std::make_unique<ComNotifier>([this](const TriggerMessage& m) { handleTriggerMessage(m); },
                                              [this](int32_t handle) { finishDeferredClose(handle); })) {
    installMainThreadSynchronizer();
}

ComPort::~ComPort() {
    destroyPort();
}

void ComPort::destroyPort() {
    if (isDestroying()) return;
    setDestroying();
    reopenPending_ = false;
    try {
        if (state_ == PortState::Open) doClose();
    } catch (...) {
        reportException("serial port event handler failed", std::current_exception());
    }
    if (state_ == PortState::ShuttingDown) {
        // A notification is still being delivered; it ends within the window-handler time-out.
        runEventsWhile([this] { return dispatcher_ && dispatcher_->eventBusy(); });
        completeClose();
    }
    notifier_.reset();
    users_.clear();
    Dispatcher::clearSaveBuffers(savedTriggers_);
}

bool ComPort::finishPendingClose(int timeoutMs) {
    runEventsWhile([this] { return state_ == PortState::ShuttingDown; },
                   std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
    return state_ != PortState::ShuttingDown;
}

void ComPort::setPromptForPortHook(PromptForPortHook hook) {
    promptHook() = std::move(hook);
}

// ---- Opening and closing ---------------------------------------------------------------------

void ComPort::setOpen(bool on) {
    if (isLoading() || isDesigning()) {
        open_ = on;
        if (on) openAfterLoad_ = true;
        return;
    }
    if (on && state_ == PortState::ShuttingDown) {
        // Open still reads True until the close completes; the request is carried out then.
        reopenPending_ = true;
        return;
    }
    if (!on) reopenPending_ = false;
    if (on == open_) return;
    if (!on)
        doClose();
    else if (state_ == PortState::Closed)
        doOpen();
    else
        reopenPending_ = true;
}

void ComPort::loaded() {
    const bool wanted = openAfterLoad_;
    openAfterLoad_ = false;
    open_ = false;
    if (!wanted) return;
    try {
        setOpen(true);
    } catch (...) {
        open_ = false;
        reportException("serial port event handler failed", std::current_exception());
    }
}

void ComPort::doOpen() {
    if (tapiMode_ != TapiMode::On && comNumber_ == 0) {
        uint32_t chosen = 0;
        if (promptForPort_ && promptHook()) chosen = promptHook()(this);
        if (chosen == 0 || chosen > 0xFFFF) raiseCode(result::kNoPortSelected);
        comNumber_ = uint16_t(chosen);
    }

    std::unique_ptr<Dispatcher> created;
    if (activation_)
        created = activation_(this);
    else if (deviceLayer_ != DeviceLayerKind::Native || tapiMode_ == TapiMode::On)
        raiseCode(result::kNullApi);
    else
        created = std::make_unique<ThreadEngine>(makeDeviceLayer(comDevicePath(comNumber_)), this);
    if (!created) raiseCode(result::kNullApi);
    created->setDeviceLabel(deviceLabel_.empty() ? comName(comNumber_) : deviceLabel_);
    dispatcher_ = std::move(created);
    watchPortError();

    try {
        const std::string path = comDevicePath(comNumber_);
        uint32_t flags = 0;
        if (dtr_) flags |= kOpenDtrOn;
        if (rts_) flags |= kOpenRtsOn;
        if (hwFlow_.contains(HwFlowOption::UseDtr)) flags |= kOpenDtrAutomatic;
        if (hwFlow_.contains(HwFlowOption::UseRts)) flags |= kOpenRtsAutomatic;
        const int32_t rc = dispatcher_->initPort(path, uint32_t(baud_), uint8_t(parity_), uint8_t(dataBits_),
                                                 uint8_t(stopBits_), inSize_, outSize_, flags);
        if (rc < 0) raiseOpenFailure(dispatcher_->openError(), rc, path);

        state_ = PortState::Open;
        userData_ = {};
        updatePortHandlerFlag();
        forceApply_ = true;
        setTracing(tracing_);
        setLogging(logging_);
        setHwFlowOptions(hwFlow_);
        setSwFlowOptions(swFlow_);
        setXOnChar(xOnChar_);
        setXOffChar(xOffChar_);
        setAvailTriggerLength(availTriggerLength_);
        setDtr(dtr_);
        setRts(rts_);
        setUseEventWord(useEventWord_);
        setRs485Mode(rs485Mode_);
        setThreadBoost(threadBoost_);
        forceApply_ = false;
        open_ = true;
        notifier_->reopen();
        check(dispatcher_->registerWndTriggerHandler(notifier_.get()));
        // Registering marks the port as wanting notifications; our own window alone does not
        // count, so the flags are worked out again now that it is in the list.
        updatePortHandlerFlag();
        if (triggersSaved_) {
            triggersSaved_ = false;
            dispatcher_->restoreTriggers(savedTriggers_);
            Dispatcher::clearSaveBuffers(savedTriggers_);
        }
        notifyUsers(CallbackType::Open);
    } catch (...) {
        forceApply_ = false;
        open_ = false;
        state_ = PortState::Closed;
        notifier_->shutdown();
        dispatcher_.reset();
        throw;
    }
}

void ComPort::doClose() {
    if (state_ != PortState::Open) return;
    // A recorder whose file cannot be written does not keep the port open: the close goes on and
    // the first failure is raised when it is done. That recording dies with the dispatcher.
    std::exception_ptr dumpFailure;
    for (const bool log : {false, true}) {
        try {
            setRecorderState(log, TraceLogState::Dump);
        } catch (...) {
            if (!dumpFailure) dumpFailure = std::current_exception();
            (log ? logging_ : tracing_) = TraceLogState::Off;
        }
    }
    shutDown();
    if (dumpFailure) std::rethrow_exception(dumpFailure);
}

void ComPort::shutDown() {
    state_ = PortState::ShuttingDown;
    notifyUsers(CallbackType::Closing);
    if (!dispatcher_) {
        completeClose();
        notifyUsers(CallbackType::Closed);
        return;
    }
    dispatcher_->saveTriggers(savedTriggers_);
    triggersSaved_ = true;
    // No new notification may wait for the UI thread from here on; one being handled finishes.
    notifier_->shutdown();
    dispatcher_->donePort();
    if (dispatcher_->eventBusy()) {
        notifier_->postCloseComplete(dispatcher_->handle());
        processPendingEvents();
    } else {
        completeClose();
    }
    notifyUsers(CallbackType::Closed);
}

void ComPort::completeClose() {
    if (dispatcher_) dispatcher_->deregisterWndTriggerHandler(notifier_.get());
    dispatcher_.reset();
    state_ = PortState::Closed;
    open_ = false;
    waitPrepared_ = false;
    waitPreparedBusy_ = false;
}

void ComPort::finishDeferredClose(int32_t handle) {
    if (state_ != PortState::ShuttingDown || !dispatcher_ || dispatcher_->handle() != handle) return;
    if (dispatcher_->eventBusy()) {
        notifier_->postCloseComplete(handle, kCloseRetryMs);
        return;
    }
    completeClose();
    if (reopenPending_ && !isDestroying()) {
        reopenPending_ = false;
        try {
            doOpen();
        } catch (...) {
            reportException("serial port event handler failed", std::current_exception());
        }
    }
}

Dispatcher* ComPort::requireDispatcher() {
    if (!dispatcher_ && autoOpen_ && !isLoading() && !isDesigning()) setOpen(true);
    if (!dispatcher_) check(result::kCommNotOpen);
    return dispatcher_.get();
}

Dispatcher* ComPort::dispatcher() {
    if (!dispatcher_ && autoOpen_ && !isLoading() && !isDesigning()) setOpen(true);
    return dispatcher_.get();
}

// ---- Notifications ---------------------------------------------------------------------------

bool ComPort::anyTriggerHandler() const {
    return onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
           onTriggerLineError_ || onTriggerModemStatus_ || onTriggerOutbuffFree_ || onTriggerOutbuffUsed_ ||
           onTriggerOutSent_;
}

void ComPort::updatePortHandlerFlag() {
    if (!dispatcher_ || state_ != PortState::Open) return;
    dispatcher_->updateHandlerFlags(anyTriggerHandler() ? HandlerFlagUpdate::EnablePort
                                                        : HandlerFlagUpdate::DisablePort);
}

void ComPort::setOnTrigger(TriggerEvent e) {
    onTrigger_ = std::move(e);
    updatePortHandlerFlag();
}
void ComPort::setOnTriggerAvail(TriggerAvailEvent e) {
    onTriggerAvail_ = std::move(e);
    updatePortHandlerFlag();
}
void ComPort::setOnTriggerData(TriggerDataEvent e) {
    onTriggerData_ = std::move(e);
    updatePortHandlerFlag();
}
void ComPort::setOnTriggerStatus(TriggerStatusEvent e) {
    onTriggerStatus_ = std::move(e);
    updatePortHandlerFlag();
}
void ComPort::setOnTriggerTimer(TriggerTimerEvent e) {
    onTriggerTimer_ = std::move(e);
    updatePortHandlerFlag();
}
void ComPort::setOnTriggerLineError(TriggerLineErrorEvent e) {
    onTriggerLineError_ = std::move(e);
    updatePortHandlerFlag();
}
void ComPort::setOnTriggerModemStatus(NotifyEvent e) {
    onTriggerModemStatus_ = std::move(e);
    updatePortHandlerFlag();
}
void ComPort::setOnTriggerOutbuffFree(NotifyEvent e) {
    onTriggerOutbuffFree_ = std::move(e);
    updatePortHandlerFlag();
}
void ComPort::setOnTriggerOutbuffUsed(NotifyEvent e) {
    onTriggerOutbuffUsed_ = std::move(e);
    updatePortHandlerFlag();
}
void ComPort::setOnTriggerOutSent(NotifyEvent e) {
    onTriggerOutSent_ = std::move(e);
    updatePortHandlerFlag();
}

void ComPort::handleTriggerMessage(const TriggerMessage& message) {
    Dispatcher::lockPortList();
    Dispatcher* found = Dispatcher::findDispatcher(message.dispatcherHandle());
    Dispatcher::unlockPortList();
    if (found == nullptr || found != dispatcher_.get()) return;
    // Handlers may replace themselves or close the port; work on copies.
    try {
        const auto handle = uint16_t(message.wParam);
        const uint16_t data = message.msg == kTriggerAvail ? uint16_t(message.wParam) : message.data();
        if (auto h = onTrigger_) h(this, uint16_t(message.msg), handle, data);
        switch (message.msg) {
        case kTriggerAvail:
            if (auto h = onTriggerAvail_) h(this, handle);
            break;
        case kTriggerData:
            if (auto h = onTriggerData_) h(this, handle);
            break;
        case kTriggerTimer:
            if (auto h = onTriggerTimer_) h(this, handle);
            break;
        case kTriggerStatus:
            if (auto h = onTriggerStatus_) h(this, handle);
            switch (Dispatcher::classifyStatusTrigger(int32_t(message.wParam))) {
            case kStatusModem:
                if (auto h = onTriggerModemStatus_) h(this);
                break;
            case kStatusLine:
                if (auto h = onTriggerLineError_) {
                    const bool lineBreak = getLineBreak();
                    const uint16_t error = getLineError();
                    h(this, error, lineBreak);
                }
                break;
            case kStatusOutBuffFree:
                if (auto h = onTriggerOutbuffFree_) h(this);
                break;
            case kStatusOutBuffUsed:
                if (auto h = onTriggerOutbuffUsed_) h(this);
                break;
            case kStatusOutSent:
                if (auto h = onTriggerOutSent_) h(this);
                break;
            default:
                break;
            }
            break;
        default:
            break;
        }
    } catch (...) {
        reportException("serial port event handler failed", std::current_exception());
    }
}

void ComPort::notifyUsers(CallbackType type) {
    // Walked from the last entry to the first; a callback may deregister entries as we go.
    for (std::size_t i = users_.size(); i-- > 0;) {
        if (i >= users_.size()) continue;
        const UserEntry entry = users_[i];
        if (type == CallbackType::Closing && !entry.extended) continue;
        if (entry.window != nullptr) {
            const uint32_t msg = type == CallbackType::Open     ? kPortOpenMsg
                                 : type == CallbackType::Closed ? kPortClosedMsg
                                                                : kPortClosingMsg;
            PortMessage event(msg, 0, 0);
            QCoreApplication::sendEvent(entry.window, &event);
        } else if (entry.extended) {
            if (entry.callbackEx) entry.callbackEx(this, type);
        } else if (entry.callback) {
            entry.callback(this, type == CallbackType::Open);
        }
    }
    if (type == CallbackType::Open) {
        if (auto h = onPortOpen_) h(this);
    } else if (type == CallbackType::Closed) {
        if (auto h = onPortClose_) h(this);
    }
}

void ComPort::registerUser(QObject* window) {
    UserEntry e;
    e.window = window;
    users_.push_back(e);
}
void ComPort::registerUserEx(QObject* window) {
    UserEntry e;
    e.window = window;
    e.extended = true;
    users_.push_back(e);
}
void ComPort::registerUserCallback(const void* owner, PortCallback callback) {
    UserEntry e;
    e.owner = owner;
    e.callback = std::move(callback);
    users_.push_back(std::move(e));
}
void ComPort::registerUserCallbackEx(const void* owner, PortCallbackEx callback) {
    UserEntry e;
    e.owner = owner;
    e.callbackEx = std::move(callback);
    e.extended = true;
    users_.push_back(std::move(e));
}
void ComPort::deregisterUser(QObject* window) {
    if (isDestroying()) return;
    std::erase_if(users_, [&](const UserEntry& e) { return e.window != nullptr && e.window == window; });
}
void ComPort::deregisterUserCallback(const void* owner) {
    if (isDestroying()) return;
    std::erase_if(users_,
                  [&](const UserEntry& e) { return e.window == nullptr && !e.extended && e.owner == owner; });
}
void ComPort::deregisterUserCallbackEx(const void* owner) {
    if (isDestroying()) return;
    std::erase_if(users_,
                  [&](const UserEntry& e) { return e.window == nullptr && e.extended && e.owner == owner; });
}

} // namespace brimwell::serial
