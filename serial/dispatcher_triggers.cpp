// The dispatcher's trigger operations (over its trigger table, under the main lock), its handler
// operations (over its registry), the delivery of one notification with the shared reads of an
// avail notification, and the dispatcher thread's pass.
#include <algorithm>
#include <cstdint>

#include "serial/dispatcher.h"
#include "serial/dispatcher_state.h"
#include "serial/exception_report.h"

namespace brimwell::serial {

// ---- Triggers -------------------------------------------------------------------------------

void Dispatcher::changeLengthTrigger(uint32_t length) {
    Lock guard(s_->mainLock);
    s_->triggers.setAvailLength(length);
    s_->recorders.addDispatchEntry(DispatchType::TriggerDataChange, DispatchSubType::AvailTrigger, length);
}

uint32_t Dispatcher::availTriggerLength() const {
    Lock guard(s_->mainLock);
    return s_->triggers.availLength();
}

int32_t Dispatcher::addTimerTrigger() {
    Lock guard(s_->mainLock);
    const int32_t handle = s_->triggers.addTimer();
    if (handle > 0)
        s_->recorders.addDispatchEntry(DispatchType::TriggerAlloc, DispatchSubType::TimerTrigger,
                                       uint32_t(handle));
    return handle;
}

int32_t Dispatcher::setTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    Lock guard(s_->mainLock);
    const int32_t rc = s_->triggers.setTimer(handle, ticks, activate);
    if (rc >= 0) s_->recorders.logTimerTriggerChange(handle, ticks, activate);
    return rc;
}

int32_t Dispatcher::extendTimer(int32_t handle, int32_t ticks) {
    Lock guard(s_->mainLock);
    const int32_t rc = s_->triggers.extendTimer(handle, ticks);
    if (rc >= 0) s_->recorders.logTimerTriggerChange(handle, ticks, true);
    return rc;
}

int32_t Dispatcher::timerTicksRemaining(int32_t handle) {
    Lock guard(s_->mainLock);
    return s_->triggers.timerTicksRemaining(handle);
}

int32_t Dispatcher::addStatusTrigger(uint16_t kind) {
    Lock guard(s_->mainLock);
    const int32_t handle = s_->triggers.addStatus(kind);
    if (handle > 0) s_->recorders.logStatusTriggerKind(DispatchType::TriggerAlloc, handle, uint8_t(kind));
    return handle;
}

int32_t Dispatcher::setStatusTrigger(int32_t handle, uint16_t value, bool activate) {
    // Reads the modem lines (main lock) before looking the trigger up under the same lock.
    if (activate) Work::readModemStatus(*this, 0);
    Lock guard(s_->mainLock);
    const int32_t rc = s_->triggers.setStatus(handle, value, activate, s_->modemStatus.load());
    if (rc >= 0 && activate) s_->recorders.logStatusTriggerArmed(handle, value);
    return rc;
}

int32_t Dispatcher::addDataTrigger(std::string_view text, bool ignoreCase) {
    if (text.size() > kMaxTrigger) return result::kTriggerTooLong;
    return addDataTriggerLen(text.data(), ignoreCase, static_cast<uint32_t>(text.size()));
}

int32_t Dispatcher::addDataTriggerLen(const char* text, bool ignoreCase, uint32_t length) {
    Lock guard(s_->mainLock);
    const int32_t handle = s_->triggers.addData(text, ignoreCase, length);
    if (handle > 0)
        s_->recorders.addDispatchEntry(DispatchType::TriggerAlloc, DispatchSubType::DataTrigger,
                                       uint32_t(handle), text, length);
    return handle;
}

int32_t Dispatcher::removeTrigger(int32_t handle) {
    Lock guard(s_->mainLock);
    if (handle != 0) Work::logTriggerDisposals(*this, handle);
    return s_->triggers.remove(handle);
}

void Dispatcher::removeAllTriggers() {
    Lock guard(s_->mainLock);
    Work::logTriggerDisposals(*this, 0);
    s_->triggers.removeAll();
}

void Dispatcher::Work::logTriggerDisposals(Dispatcher& d, int32_t handle) {
    Recorders& r = d.s_->recorders;
    if (!r.logging()) return;
    TriggerSave present;
    d.s_->triggers.save(present);
    auto chosen = [handle](const auto& t) { return handle == 0 || t.handle == handle; };
    for (const auto& t : present.timers)
        if (chosen(t))
            r.addDispatchEntry(DispatchType::TriggerDispose, DispatchSubType::Timer, uint32_t(t.handle));
    for (const auto& t : present.dataTriggers)
        if (chosen(t))
            r.addDispatchEntry(DispatchType::TriggerDispose, DispatchSubType::Data, uint32_t(t.handle));
    for (const auto& t : present.statuses)
        if (chosen(t)) r.logStatusTriggerKind(DispatchType::TriggerDispose, t.handle, uint8_t(t.kind));
}

void Dispatcher::saveTriggers(TriggerSave& save) {
    Lock guard(s_->mainLock);
    s_->triggers.save(save);
}

void Dispatcher::restoreTriggers(const TriggerSave& save) {
    Lock guard(s_->mainLock);
    s_->triggers.restore(save);
}

uint16_t Dispatcher::classifyStatusTrigger(int32_t handle) {
    return static_cast<uint16_t>(handle & kStatusKindMask);
}

void Dispatcher::clearSaveBuffers(TriggerSave& save) {
    save = TriggerSave{};
}

// ---- Trigger handlers -----------------------------------------------------------------------

namespace {
// A window handler is logged by the low 32 bits of its address, as a window handle would be.
uint32_t windowTag(const WindowHandler* window) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window));
}

// The handler change is logged only when the registry made it.
int32_t loggedHandlerChange(Recorders& r, int32_t rc, DispatchType type, DispatchSubType subtype,
                            uint32_t data) {
    if (rc >= 0) r.addDispatchEntry(type, subtype, data);
    return rc;
}
} // namespace

int32_t Dispatcher::registerWndTriggerHandler(WindowHandler* window) {
    return loggedHandlerChange(s_->recorders, s_->handlers.addWindow(window),
                               DispatchType::TriggerHandlerAlloc, DispatchSubType::WndHandler,
                               windowTag(window));
}

int32_t Dispatcher::registerProcTriggerHandler(TriggerProc proc) {
    return loggedHandlerChange(s_->recorders, s_->handlers.addProc(proc), DispatchType::TriggerHandlerAlloc,
                               DispatchSubType::ProcHandler, 0);
}

int32_t Dispatcher::registerEventTriggerHandler(TriggerEventHandler* handler) {
    return loggedHandlerChange(s_->recorders, s_->handlers.addEvent(handler, false),
                               DispatchType::TriggerHandlerAlloc, DispatchSubType::EventHandler, 0);
}

int32_t Dispatcher::registerSyncEventTriggerHandler(TriggerEventHandler* handler) {
    return loggedHandlerChange(s_->recorders, s_->handlers.addEvent(handler, true),
                               DispatchType::TriggerHandlerAlloc, DispatchSubType::EventHandler, 1);
}

int32_t Dispatcher::deregisterWndTriggerHandler(WindowHandler* window) {
    return loggedHandlerChange(s_->recorders, s_->handlers.removeWindow(window),
                               DispatchType::TriggerHandlerDispose, DispatchSubType::WndHandler,
                               windowTag(window));
}

int32_t Dispatcher::deregisterProcTriggerHandler(TriggerProc proc) {
    return loggedHandlerChange(s_->recorders, s_->handlers.removeProc(proc),
                               DispatchType::TriggerHandlerDispose, DispatchSubType::ProcHandler, 0);
}

int32_t Dispatcher::deregisterEventTriggerHandler(TriggerEventHandler* handler) {
    return loggedHandlerChange(s_->recorders, s_->handlers.removeEvent(handler),
                               DispatchType::TriggerHandlerDispose, DispatchSubType::EventHandler, 0);
}

void Dispatcher::updateHandlerFlags(HandlerFlagUpdate update) {
    s_->handlers.updateFlags(update);
}

bool Dispatcher::setEventBusy(bool busy) {
    Lock guard(s_->mainLock);
    return s_->busy.exchange(busy);
}

bool Dispatcher::eventBusy() const {
    return s_->busy.load() || s_->handlers.delivering();
}

// ---- Notification ---------------------------------------------------------------------------

// Called by the dispatcher thread with no lock held: consumers take the input lock to read and
// the main lock for trigger operations.
bool Dispatcher::Work::notify(Dispatcher& d, uint32_t msg, uint32_t wParam, uint16_t data) {
    if (!d.s_->handlers.wanted()) return true;
    d.s_->recorders.logTriggerAnnounced(msg, wParam);
    const bool availMsg = msg == kTriggerAvail || msg == kTriggerData;
    {
        Lock in(d.s_->inputLock);
        d.s_->availMax = 0;
        d.s_->availMode = availMsg;
    }
    TriggerMessage message;
    message.msg = msg;
    message.wParam = wParam;
    // The second parameter carries the dispatcher's handle in its high 16 bits.
    constexpr int kHandleShift = 16;
    message.lParam = static_cast<int32_t>((static_cast<uint32_t>(d.s_->handle) << kHandleShift) | data);

    bool stopped = false;
    d.s_->handlers.deliver(message, [&](const std::function<void()>& call) {
        {
            Lock in(d.s_->inputLock);
            d.s_->availReadCount = 0;
        }
        // A consumer that throws loses its notification, not the port.
        try {
            call();
        } catch (...) {
            reportException("exception in a trigger handler", std::current_exception());
        }
        {
            Lock in(d.s_->inputLock);
            d.s_->availMax = std::max(d.s_->availMax, d.s_->availReadCount);
        }
        stopped = d.s_->doneRequested.load();
        return !stopped;
    });

    bool result = !stopped;
    {
        Lock in(d.s_->inputLock);
        if (d.s_->availMode) {
            d.s_->availMode = false;
            d.s_->in.consume(d.s_->availMax);
            if (msg == kTriggerAvail && d.s_->availMax != wParam) result = false;
        }
        d.s_->availReadCount = 0;
    }
    d.s_->handlers.endDelivery();
    return result;
}

bool Dispatcher::Work::checkTimerTriggers(Dispatcher& d) {
    int32_t handle;
    {
        Lock guard(d.s_->mainLock);
        handle = d.s_->triggers.takeExpiredTimer();
    }
    return handle != 0 && Work::notify(d, kTriggerTimer, static_cast<uint32_t>(handle), 0);
}

namespace {
// What the status triggers read, taken from the dispatcher when a trigger asks for it.
class DispatcherStatus : public TriggerStatusSource {
  public:
    DispatcherStatus(DispatcherState& s, Dispatcher& d) : s_(s), d_(d) {}
    uint8_t modemStatus() override { return s_.modemStatus.load(); }
    uint32_t lineErrors() override { return s_.errorAccum.load(); }
    uint32_t outputFree() override { return d_.outBuffFree(); }
    uint32_t outputUsed() override { return d_.outBuffUsed(); }
    bool takeOutputWritten() override { return s_.outputWritten.exchange(false); }

  private:
    DispatcherState& s_;
    Dispatcher& d_;
};
} // namespace

// Takes the output lock (the output counts) under the main lock.
bool Dispatcher::Work::checkStatusTriggers(Dispatcher& d) {
    int32_t handle = 0;
    uint16_t data = 0;
    {
        Lock guard(d.s_->mainLock);
        DispatcherStatus source(*d.s_, d);
        if (!d.s_->triggers.takeFiredStatus(source, handle, data)) return false;
    }
    return Work::notify(d, kTriggerStatus, static_cast<uint32_t>(handle), data);
}

// Holds the input and the main lock together while it scans.
bool Dispatcher::Work::checkReceiveTriggers(Dispatcher& d) {
    TriggerTable::ReceiveFindings& found = d.s_->findings;
    {
        Lock in(d.s_->inputLock);
        Lock guard(d.s_->mainLock);
        if (!d.s_->in.allocated()) return false;
        if (d.s_->handlers.takeJoined()) d.s_->triggers.announceWaitingAgain();
        if (!d.s_->triggers.checkReceive(d.s_->in, d.s_->totalIn, found)) return false;
    }
    // Only this thread runs checks, so the findings stay as they are while they are announced.
    bool result = false;
    if (found.announceAvail) result = Work::notify(d, kTriggerAvail, found.availCount, 0);
    for (const auto& [handle, length] : found.matched)
        result = Work::notify(d, kTriggerData, static_cast<uint32_t>(handle), static_cast<uint16_t>(length));
    return result;
}

// ---- The dispatcher thread's pass -----------------------------------------------------------

void Dispatcher::Work::resetHitsAfterAHit(Dispatcher& d) {
    Lock guard(d.s_->mainLock);
    if (d.s_->triggers.passHit()) d.s_->triggers.resetStatusHits();
}

bool Dispatcher::dispatcherPass(uint32_t eventMask) {
    auto endNow = [this] { return s_->doneRequested.load() || s_->stopThreads.load(); };
    if (endNow()) return false;
    auto statusLoop = [&] {
        if (s_->busy.load()) return;
        while (!s_->doneRequested.load() && Work::checkStatusTriggers(*this)) {
        }
        Work::resetHitsAfterAHit(*this);
    };

    // Modem lines are read on every pass: that also catches changes on devices that cannot
    // signal them as events.
    const uint8_t before = s_->modemStatus.load();
    Work::updateModemDeltas(*this);
    constexpr uint32_t kLineEvents = kEventCts | kEventDsr | kEventRlsd | kEventRing | kEventRingTe;
    constexpr uint8_t kLevels = kModemCtsOn | kModemDsrOn | kModemRingOn | kModemDcdOn;
    if ((eventMask & kLineEvents) || ((before ^ s_->modemStatus.load()) & kLevels)) statusLoop();
    if (eventMask & (kEventBreak | kEventError)) {
        readLineStatus();
        statusLoop();
    }

    Work::receive(*this);

    if (!s_->busy.load()) {
        while (!s_->doneRequested.load() && Work::checkStatusTriggers(*this)) {
        }
        while (!s_->doneRequested.load() && Work::checkReceiveTriggers(*this)) {
        }
    }
    Work::resetHitsAfterAHit(*this);

    // The periodic step: status and timer triggers, whether or not anything arrived.
    if (!s_->doneRequested.load() && !s_->busy.load()) {
        {
            Lock guard(s_->mainLock);
            s_->triggers.clearPassHit();
        }
        bool delivered;
        do {
            delivered = Work::checkStatusTriggers(*this);
            if (!delivered) delivered = Work::checkTimerTriggers(*this);
        } while (delivered && !s_->doneRequested.load());
        Work::resetHitsAfterAHit(*this);
    }
    return !endNow();
}

void Dispatcher::setRingFlag() {
    s_->ringFlag = true;
}

} // namespace brimwell::serial
