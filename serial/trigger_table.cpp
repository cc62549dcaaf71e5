// Trigger storage, handles and the three checks (timer, status, received bytes).
#include "serial/trigger_table.h"

#include <algorithm>
#include <array>

#include "serial/dispatcher_constants.h"
#include "serial/error_codes.h"
#include "serial/event_timer.h"

namespace brimwell {
namespace {

// The counter hands out handles up to this count; after that the smallest free handle up to
// kLargestReusedHandle is searched.
constexpr uint32_t kHandleCounterLimit = 4096;
constexpr int32_t kLargestReusedHandle = 4096;
// A modem trigger's value: the mask in the high byte, the snapshot in the low byte.
constexpr int kModemMaskShift = 8;
constexpr uint16_t kModemSnapshotMask = 0xFF;

uint8_t upcase(uint8_t c) {
    return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 'a' + 'A') : c;
}

} // namespace

void TriggerTable::Clear() {
    RemoveAll();
    statusHit_ = false;
}

int32_t TriggerTable::newHandle() {
    if (handleCounter_ < kHandleCounterLimit) return static_cast<int32_t>(handleCounter_++) * kHandleStep;
    for (int32_t h = kHandleStep; h <= kLargestReusedHandle; h += kHandleStep) {
        const bool used =
            std::any_of(timers_.begin(), timers_.end(),
                        [h](const TTimerTrigger& t) { return t.Handle == h; }) ||
            std::any_of(statuses_.begin(), statuses_.end(),
                        [h](const TStatusTrigger& t) { return (t.Handle & ~kStatusKindMask) == h; }) ||
            std::any_of(datas_.begin(), datas_.end(), [h](const TDataTrigger& t) { return t.Handle == h; });
        if (!used) return h;
    }
    return secNoMoreTriggers;
}

TTimerTrigger* TriggerTable::findTimer(int32_t handle) {
    for (TTimerTrigger& t : timers_)
        if (t.Handle == handle) return &t;
    return nullptr;
}

int32_t TriggerTable::AddTimer() {
    const int32_t h = newHandle();
    if (h < 0) return h;
    TTimerTrigger t;
    t.Handle = h;
    timers_.push_back(t);
    return h;
}

int32_t TriggerTable::SetTimer(int32_t handle, int32_t ticks, bool activate) {
    TTimerTrigger* t = findTimer(handle);
    if (!t) return secBadTriggerHandle;
    if (activate) {
        if (ticks != 0) t->Ticks = ticks;
        NewTimer(t->Timer, t->Ticks);
    }
    t->Active = activate;
    return secOK;
}

int32_t TriggerTable::ExtendTimer(int32_t handle, int32_t ticks) {
    TTimerTrigger* t = findTimer(handle);
    if (!t) return secBadTriggerHandle;
    t->Timer.ExpireTicks += ticks;
    return secOK;
}

int32_t TriggerTable::TimerTicksRemaining(int32_t handle) {
    TTimerTrigger* t = findTimer(handle);
    if (!t) return secBadTriggerHandle;
    return RemainingTime(t->Timer);
}

int32_t TriggerTable::AddStatus(uint16_t kind) {
    if (kind < stModem || kind > stOutSent) return secBadArgument;
    const int32_t h = newHandle();
    if (h < 0) return h;
    TStatusTrigger t;
    t.Handle = h + kind;
    t.Kind = kind;
    statuses_.push_back(t);
    return t.Handle;
}

int32_t TriggerTable::SetStatus(int32_t handle, uint16_t value, bool activate, uint8_t modemStatus) {
    auto it = std::find_if(statuses_.begin(), statuses_.end(),
                           [handle](const TStatusTrigger& t) { return t.Handle == handle; });
    if (it == statuses_.end()) return secBadTriggerHandle;
    if (activate) {
        switch (it->Kind) {
        case stModem: {
            const uint8_t mask = value & kModemSnapshotMask;
            const uint8_t snapshot = mask & modemStatus;
            it->Value = static_cast<uint16_t>((mask << kModemMaskShift) | snapshot);
            break;
        }
        case stLine: {
            // The caller's bits 1, 2, 4, 8 name overrun, parity, framing and break.
            uint16_t bits = 0;
            if (value & 1) bits |= ceOverrun;
            if (value & 2) bits |= ceRxParity;
            if (value & 4) bits |= ceFrame;
            if (value & 8) bits |= ceBreak;
            it->Value = bits;
            break;
        }
        case stOutBuffFree:
        case stOutBuffUsed:
            it->Value = value;
            break;
        default:
            break;
        }
    }
    it->Enabled = activate;
    return secOK;
}

int32_t TriggerTable::AddData(const char* text, bool ignoreCase, uint32_t length) {
    if (length > kMaxTrigger) return secTriggerTooLong;
    // An empty string would match before any byte arrives; it is refused.
    if (length == 0 || text == nullptr) return secBadArgument;
    const int32_t h = newHandle();
    if (h < 0) return h;
    TDataTrigger t;
    t.Handle = h;
    t.Length = length;
    t.IgnoreCase = ignoreCase;
    t.Text.assign(text, length);
    if (ignoreCase)
        for (char& c : t.Text)
            c = static_cast<char>(upcase(static_cast<uint8_t>(c)));
    datas_.push_back(std::move(t));
    return h;
}

int32_t TriggerTable::Remove(int32_t handle) {
    if (handle == kAvailTriggerHandle) {
        availLength_ = 0;
        return secOK;
    }
    auto eraseIf = [handle](auto& list) {
        auto it =
            std::find_if(list.begin(), list.end(), [handle](const auto& t) { return t.Handle == handle; });
        if (it == list.end()) return false;
        list.erase(it);
        return true;
    };
    if (eraseIf(timers_) || eraseIf(statuses_) || eraseIf(datas_)) return secOK;
    return secBadTriggerHandle;
}

void TriggerTable::RemoveAll() {
    availLength_ = 0;
    timers_.clear();
    datas_.clear();
    statuses_.clear();
    handleCounter_ = 1;
}

void TriggerTable::Save(TTriggerSave& save) const {
    save.AvailLength = availLength_;
    save.Timers = timers_;
    save.Datas = datas_;
    save.Statuses = statuses_;
}

void TriggerTable::Restore(const TTriggerSave& save) {
    availLength_ = save.AvailLength;
    timers_ = save.Timers;
    datas_ = save.Datas;
    statuses_ = save.Statuses;
    // Handles keep counting above every restored one so a new trigger never repeats one.
    uint32_t highest = 0;
    auto raise = [&](int32_t handle) {
        highest = std::max<uint32_t>(highest, static_cast<uint32_t>(handle / kHandleStep));
    };
    for (const auto& t : timers_)
        raise(t.Handle);
    for (const auto& t : datas_)
        raise(t.Handle);
    for (const auto& t : statuses_)
        raise(t.Handle);
    handleCounter_ = std::max(handleCounter_, highest + 1);
}

// ---- Checks ---------------------------------------------------------------------------------

int32_t TriggerTable::TakeExpiredTimer() {
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [](const TTimerTrigger& t) { return t.Active && TimerExpired(t.Timer); });
    if (it == timers_.end()) return 0;
    it->Active = false;
    return it->Handle;
}

bool TriggerTable::TakeFiredStatus(TriggerStatusSource& source, int32_t& handle, uint16_t& data) {
    data = 0;
    for (TStatusTrigger& t : statuses_) {
        if (!t.Enabled || t.Hit) continue;
        bool fired = false;
        switch (t.Kind) {
        case stModem:
            fired = ((t.Value & kModemSnapshotMask) ^ source.ModemStatus()) & (t.Value >> kModemMaskShift);
            break;
        case stLine: {
            const uint32_t acc = source.LineErrors();
            if (t.Value & acc) {
                fired = true;
                t.Value = static_cast<uint16_t>(acc);
            }
            break;
        }
        case stOutBuffFree: {
            const uint32_t freeCount = source.OutputFree();
            if (freeCount >= t.Value) {
                fired = true;
                data = static_cast<uint16_t>(freeCount);
            }
            break;
        }
        case stOutBuffUsed: {
            const uint32_t used = source.OutputUsed();
            if (used <= t.Value) {
                fired = true;
                data = static_cast<uint16_t>(used);
            }
            break;
        }
        case stOutSent:
            fired = source.TakeOutputWritten();
            break;
        default:
            break;
        }
        if (fired) {
            t.Enabled = false;
            t.Hit = true;
            statusHit_ = true;
            handle = t.Handle;
            return true;
        }
    }
    return false;
}

void TriggerTable::ResetStatusHits() {
    for (TStatusTrigger& t : statuses_)
        t.Hit = false;
    statusHit_ = false;
}

bool TriggerTable::advanceMatch(TDataTrigger& t, uint8_t c) {
    const uint8_t b = t.IgnoreCase ? upcase(c) : c;
    std::array<uint8_t, kMaxTrigger + 1> next{};
    uint8_t count = 0;
    auto add = [&](uint8_t len) {
        for (uint8_t i = 0; i < count; ++i)
            if (next[i] == len) return;
        if (count < next.size()) next[count++] = len;
    };
    for (uint8_t i = 0; i < t.PartialCount; ++i) {
        const uint8_t m = t.Partial[i];
        if (m < t.Length && static_cast<uint8_t>(t.Text[m]) == b) add(static_cast<uint8_t>(m + 1));
    }
    if (static_cast<uint8_t>(t.Text[0]) == b) add(1);
    for (uint8_t i = 0; i < count; ++i) {
        if (next[i] >= t.Length) {
            t.PartialCount = 0;
            return true;
        }
    }
    t.Partial = next;
    t.PartialCount = count;
    return false;
}

bool TriggerTable::CheckReceive(const ByteRing& ring, uint64_t totalIn, ReceiveFindings& findings) {
    findings.announceAvail = false;
    findings.availCount = 0;
    findings.matched.clear();
    const uint32_t unread = ring.used();
    const uint64_t tailAbs = totalIn - unread;
    // Bytes a reader took before they were scanned complete no trigger.
    scanAbs_ = std::max(scanAbs_, tailAbs);
    const uint32_t L = availLength_;
    bool completed = false;
    uint64_t p = 0;
    uint32_t longest = 0;
    if (!datas_.empty()) {
        for (uint64_t a = scanAbs_; a < totalIn && !completed; ++a) {
            const uint8_t c = ring.at(static_cast<uint32_t>(a - tailAbs));
            for (TDataTrigger& t : datas_) {
                if (advanceMatch(t, c)) {
                    t.Matched = true;
                    completed = true;
                    longest = std::max(longest, t.Length);
                }
            }
            if (completed) p = a;
        }
    }
    if (!completed) {
        scanAbs_ = totalIn;
        if (L == 0 || notifyAbs_ == totalIn || unread < L) return false;
        findings.announceAvail = true;
        findings.availCount = unread;
        notifyAbs_ = totalIn;
        return true;
    }
    if (L != 0 && notifyAbs_ != p) {
        // The bytes before the longest matched string, when they are enough on their own.
        const uint64_t b = p - tailAbs + 1;
        if (b >= longest && b - longest >= L) {
            findings.announceAvail = true;
            findings.availCount = static_cast<uint32_t>(b - longest);
            notifyAbs_ = p;
        }
    }
    for (auto it = datas_.rbegin(); it != datas_.rend(); ++it) {
        if (!it->Matched) continue;
        findings.matched.emplace_back(it->Handle, it->Length);
        it->Matched = false;
    }
    scanAbs_ = p + 1;
    return true;
}

void TriggerTable::ResetPartialMatches() {
    for (TDataTrigger& t : datas_)
        t.PartialCount = 0;
}

} // namespace brimwell
