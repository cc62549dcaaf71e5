// The dispatcher's trigger operations (over its trigger table, under the main lock), its handler
// operations (over its registry), the delivery of one notification with the shared reads of an
// avail notification, and the dispatcher thread's pass.
#include <algorithm>
#include <cstdint>

#include "serial/dispatcher.h"
#include "serial/dispatcher_state.h"
#include "serial/exception_report.h"

namespace brimwell {

// ---- Triggers -------------------------------------------------------------------------------

void TQuavBaseDispatcher::ChangeLengthTrigger(uint32_t length) {
    Lock guard(s_->mainLock);
    s_->triggers.SetAvailLength(length);
    s_->recorders.AddDispatchEntry(dtTriggerDataChange, dstAvailTrigger, length);
}

uint32_t TQuavBaseDispatcher::AvailTriggerLength() const {
    Lock guard(s_->mainLock);
    return s_->triggers.AvailLength();
}

int32_t TQuavBaseDispatcher::AddTimerTrigger() {
    Lock guard(s_->mainLock);
    const int32_t handle = s_->triggers.AddTimer();
    if (handle > 0) s_->recorders.AddDispatchEntry(dtTriggerAlloc, dstTimerTrigger, uint32_t(handle));
    return handle;
}

int32_t TQuavBaseDispatcher::SetTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
    Lock guard(s_->mainLock);
    const int32_t rc = s_->triggers.SetTimer(handle, ticks, activate);
    if (rc >= 0) s_->recorders.LogTimerTriggerChange(handle, ticks, activate);
    return rc;
}

int32_t TQuavBaseDispatcher::ExtendTimer(int32_t handle, int32_t ticks) {
    Lock guard(s_->mainLock);
    const int32_t rc = s_->triggers.ExtendTimer(handle, ticks);
    if (rc >= 0) s_->recorders.LogTimerTriggerChange(handle, ticks, true);
    return rc;
}

int32_t TQuavBaseDispatcher::TimerTicksRemaining(int32_t handle) {
    Lock guard(s_->mainLock);
    return s_->triggers.TimerTicksRemaining(handle);
}

int32_t TQuavBaseDispatcher::AddStatusTrigger(uint16_t kind) {
    Lock guard(s_->mainLock);
    const int32_t handle = s_->triggers.AddStatus(kind);
    if (handle > 0) s_->recorders.LogStatusTriggerKind(dtTriggerAlloc, handle, uint8_t(kind));
    return handle;
}

int32_t TQuavBaseDispatcher::SetStatusTrigger(int32_t handle, uint16_t value, bool activate) {
    // Reads the modem lines (main lock) before looking the trigger up under the same lock.
    if (activate) Work::readModemStatus(*this, 0);
    Lock guard(s_->mainLock);
    const int32_t rc = s_->triggers.SetStatus(handle, value, activate, s_->modemStatus.load());
    if (rc >= 0 && activate) s_->recorders.LogStatusTriggerArmed(handle, value);
    return rc;
}

int32_t TQuavBaseDispatcher::AddDataTrigger(std::string_view text, bool ignoreCase) {
    if (text.size() > kMaxTrigger) return secTriggerTooLong;
    return AddDataTriggerLen(text.data(), ignoreCase, static_cast<uint32_t>(text.size()));
}

int32_t TQuavBaseDispatcher::AddDataTriggerLen(const char* text, bool ignoreCase, uint32_t length) {
    Lock guard(s_->mainLock);
    const int32_t handle = s_->triggers.AddData(text, ignoreCase, length);
    if (handle > 0)
        s_->recorders.AddDispatchEntry(dtTriggerAlloc, dstDataTrigger, uint32_t(handle), text, length);
    return handle;
}

int32_t TQuavBaseDispatcher::RemoveTrigger(int32_t handle) {
    Lock guard(s_->mainLock);
    if (handle != 0) Work::logTriggerDisposals(*this, handle);
    return s_->triggers.Remove(handle);
}

void TQuavBaseDispatcher::RemoveAllTriggers() {
    Lock guard(s_->mainLock);
    Work::logTriggerDisposals(*this, 0);
    s_->triggers.RemoveAll();
}

void TQuavBaseDispatcher::Work::logTriggerDisposals(TQuavBaseDispatcher& d, int32_t handle) {
    Recorders& r = d.s_->recorders;
    if (!r.Logging()) return;
    TTriggerSave present;
    d.s_->triggers.Save(present);
    auto chosen = [handle](const auto& t) { return handle == 0 || t.Handle == handle; };
    for (const auto& t : present.Timers)
        if (chosen(t)) r.AddDispatchEntry(dtTriggerDispose, dstTimer, uint32_t(t.Handle));
    for (const auto& t : present.Datas)
        if (chosen(t)) r.AddDispatchEntry(dtTriggerDispose, dstData, uint32_t(t.Handle));
    for (const auto& t : present.Statuses)
        if (chosen(t)) r.LogStatusTriggerKind(dtTriggerDispose, t.Handle, uint8_t(t.Kind));
}

void TQuavBaseDispatcher::SaveTriggers(TTriggerSave& save) {
    Lock guard(s_->mainLock);
    s_->triggers.Save(save);
}

void TQuavBaseDispatcher::RestoreTriggers(const TTriggerSave& save) {
    Lock guard(s_->mainLock);
    s_->triggers.Restore(save);
}

uint16_t TQuavBaseDispatcher::ClassifyStatusTrigger(int32_t handle) {
    return static_cast<uint16_t>(handle & kStatusKindMask);
}

void TQuavBaseDispatcher::ClearSaveBuffers(TTriggerSave& save) {
    save = TTriggerSave{};
}

// ---- Trigger handlers -----------------------------------------------------------------------

namespace {
// A window handler is logged by the low 32 bits of its address, as a window handle would be.
uint32_t windowTag(const TQuavWindowHandler* window) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window));
}

// The handler change is logged only when the registry made it.
int32_t loggedHandlerChange(Recorders& r, int32_t rc, TDispatchType type, TDispatchSubType subtype,
                            uint32_t data) {
    if (rc >= 0) r.AddDispatchEntry(type, subtype, data);
    return rc;
}
} // namespace

int32_t TQuavBaseDispatcher::RegisterWndTriggerHandler(TQuavWindowHandler* window) {
    return loggedHandlerChange(s_->recorders, s_->handlers.AddWindow(window), dtTriggerHandlerAlloc,
                               dstWndHandler, windowTag(window));
}

int32_t TQuavBaseDispatcher::RegisterProcTriggerHandler(TTriggerProc proc) {
    return loggedHandlerChange(s_->recorders, s_->handlers.AddProc(proc), dtTriggerHandlerAlloc,
                               dstProcHandler, 0);
}

int32_t TQuavBaseDispatcher::RegisterEventTriggerHandler(TQuavTriggerEventHandler* handler) {
    return loggedHandlerChange(s_->recorders, s_->handlers.AddEvent(handler, false), dtTriggerHandlerAlloc,
                               dstEventHandler, 0);
}

int32_t TQuavBaseDispatcher::RegisterSyncEventTriggerHandler(TQuavTriggerEventHandler* handler) {
    return loggedHandlerChange(s_->recorders, s_->handlers.AddEvent(handler, true), dtTriggerHandlerAlloc,
                               dstEventHandler, 1);
}

int32_t TQuavBaseDispatcher::DeregisterWndTriggerHandler(TQuavWindowHandler* window) {
    return loggedHandlerChange(s_->recorders, s_->handlers.RemoveWindow(window), dtTriggerHandlerDispose,
                               dstWndHandler, windowTag(window));
}

int32_t TQuavBaseDispatcher::DeregisterProcTriggerHandler(TTriggerProc proc) {
    return loggedHandlerChange(s_->recorders, s_->handlers.RemoveProc(proc), dtTriggerHandlerDispose,
                               dstProcHandler, 0);
}

int32_t TQuavBaseDispatcher::DeregisterEventTriggerHandler(TQuavTriggerEventHandler* handler) {
    return loggedHandlerChange(s_->recorders, s_->handlers.RemoveEvent(handler), dtTriggerHandlerDispose,
                               dstEventHandler, 0);
}

void TQuavBaseDispatcher::UpdateHandlerFlags(TQuavHandlerFlagUpdate update) {
    s_->handlers.UpdateFlags(update);
}

bool TQuavBaseDispatcher::SetEventBusy(bool busy) {
    Lock guard(s_->mainLock);
    return s_->busy.exchange(busy);
}

bool TQuavBaseDispatcher::EventBusy() const {
    return s_->busy.load() || s_->handlers.Delivering();
}

// ---- Notification ---------------------------------------------------------------------------

// Called by the dispatcher thread with no lock held: consumers take the input lock to read and
// the main lock for trigger operations.
bool TQuavBaseDispatcher::Work::notify(TQuavBaseDispatcher& d, uint32_t msg, uint32_t wParam, uint16_t data) {
    if (!d.s_->handlers.Wanted()) return true;
    d.s_->recorders.LogTriggerAnnounced(msg, wParam);
    const bool availMsg = msg == kTriggerAvail || msg == kTriggerData;
    {
        Lock in(d.s_->inputLock);
        d.s_->availMax = 0;
        d.s_->availMode = availMsg;
    }
    TTriggerMessage message;
    message.Msg = msg;
    message.WParam = wParam;
    // The second parameter carries the dispatcher's handle in its high 16 bits.
    constexpr int kHandleShift = 16;
    message.LParam = static_cast<int32_t>((static_cast<uint32_t>(d.s_->handle) << kHandleShift) | data);

    bool stopped = false;
    d.s_->handlers.Deliver(message, [&](const std::function<void()>& call) {
        {
            Lock in(d.s_->inputLock);
            d.s_->availReadCount = 0;
        }
        // A consumer that throws loses its notification, not the port.
        try {
            call();
        } catch (...) {
            ReportException("exception in a trigger handler", std::current_exception());
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
    d.s_->handlers.EndDelivery();
    return result;
}

bool TQuavBaseDispatcher::Work::checkTimerTriggers(TQuavBaseDispatcher& d) {
    int32_t handle;
    {
        Lock guard(d.s_->mainLock);
        handle = d.s_->triggers.TakeExpiredTimer();
    }
    return handle != 0 && Work::notify(d, kTriggerTimer, static_cast<uint32_t>(handle), 0);
}

namespace {
// What the status triggers read, taken from the dispatcher when a trigger asks for it.
class DispatcherStatus : public TriggerStatusSource {
  public:
    DispatcherStatus(DispatcherState& s, TQuavBaseDispatcher& d) : s_(s), d_(d) {}
    uint8_t ModemStatus() override { return s_.modemStatus.load(); }
    uint32_t LineErrors() override { return s_.errorAccum.load(); }
    uint32_t OutputFree() override { return d_.OutBuffFree(); }
    uint32_t OutputUsed() override { return d_.OutBuffUsed(); }
    bool TakeOutputWritten() override { return s_.outputWritten.exchange(false); }

  private:
    DispatcherState& s_;
    TQuavBaseDispatcher& d_;
};
} // namespace

// Takes the output lock (the output counts) under the main lock.
bool TQuavBaseDispatcher::Work::checkStatusTriggers(TQuavBaseDispatcher& d) {
    int32_t handle = 0;
    uint16_t data = 0;
    {
        Lock guard(d.s_->mainLock);
        DispatcherStatus source(*d.s_, d);
        if (!d.s_->triggers.TakeFiredStatus(source, handle, data)) return false;
    }
    return Work::notify(d, kTriggerStatus, static_cast<uint32_t>(handle), data);
}

// Holds the input and the main lock together while it scans.
bool TQuavBaseDispatcher::Work::checkReceiveTriggers(TQuavBaseDispatcher& d) {
    TriggerTable::ReceiveFindings& found = d.s_->findings;
    {
        Lock in(d.s_->inputLock);
        Lock guard(d.s_->mainLock);
        if (!d.s_->in.allocated()) return false;
        if (d.s_->handlers.TakeJoined()) d.s_->triggers.AnnounceWaitingAgain();
        if (!d.s_->triggers.CheckReceive(d.s_->in, d.s_->totalIn, found)) return false;
    }
    // Only this thread runs checks, so the findings stay as they are while they are announced.
    bool result = false;
    if (found.announceAvail) result = Work::notify(d, kTriggerAvail, found.availCount, 0);
    for (const auto& [handle, length] : found.matched)
        result = Work::notify(d, kTriggerData, static_cast<uint32_t>(handle), static_cast<uint16_t>(length));
    return result;
}

// ---- The dispatcher thread's pass -----------------------------------------------------------

void TQuavBaseDispatcher::Work::resetHitsAfterAHit(TQuavBaseDispatcher& d) {
    Lock guard(d.s_->mainLock);
    if (d.s_->triggers.PassHit()) d.s_->triggers.ResetStatusHits();
}

bool TQuavBaseDispatcher::DispatcherPass(uint32_t eventMask) {
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
    constexpr uint32_t kLineEvents = evCts | evDsr | evRlsd | evRing | evRingTe;
    constexpr uint8_t kLevels = msCtsOn | msDsrOn | msRingOn | msDcdOn;
    if ((eventMask & kLineEvents) || ((before ^ s_->modemStatus.load()) & kLevels)) statusLoop();
    if (eventMask & (evBreak | evErr)) {
        TComStat status;
        GetComError(status);
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
            s_->triggers.ClearPassHit();
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

void TQuavBaseDispatcher::SetRingFlag() {
    s_->ringFlag = true;
}

} // namespace brimwell
