// Trigger storage, handles and the three checks (timer, status, received bytes).
#include "serial/trigger_table.h"

#include <algorithm>
#include <array>

#include "serial/dispatcher_constants.h"
#include "serial/error_codes.h"
#include "serial/event_timer.h"

namespace brimwell::serial {
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

void TriggerTable::clear() {
    removeAll();
    statusHit_ = false;
}

int32_t TriggerTable::newHandle() {
    if (handleCounter_ < kHandleCounterLimit) return static_cast<int32_t>(handleCounter_++) * kHandleStep;
    for (int32_t h = kHandleStep; h <= kLargestReusedHandle; h += kHandleStep) {
        const bool used =
            std::any_of(timers_.begin(), timers_.end(),
                        [h](const TimerTrigger& t) { return t.handle == h; }) ||
            std::any_of(statuses_.begin(), statuses_.end(),
                        [h](const StatusTrigger& t) { return (t.handle & ~kStatusKindMask) == h; }) ||
            std::any_of(datas_.begin(), datas_.end(), [h](const DataTrigger& t) { return t.handle == h; });
        if (!used) return h;
    }
    return result::kNoMoreTriggers;
}

TimerTrigger* TriggerTable::findTimer(int32_t handle) {
    for (TimerTrigger& t : timers_)
        if (t.handle == handle) return &t;
    return nullptr;
}

int32_t TriggerTable::addTimer() {
    const int32_t h = newHandle();
    if (h < 0) return h;
    TimerTrigger t;
    t.handle = h;
    timers_.push_back(t);
    return h;
}

int32_t TriggerTable::setTimer(int32_t handle, int32_t ticks, bool activate) {
    TimerTrigger* t = findTimer(handle);
    if (!t) return result::kBadTriggerHandle;
    if (activate) {
        if (ticks != 0) t->ticks = ticks;
        newTimer(t->timer, t->ticks);
    }
    t->active = activate;
    return result::kOk;
}

int32_t TriggerTable::extendTimer(int32_t handle, int32_t ticks) {
    TimerTrigger* t = findTimer(handle);
    if (!t) return result::kBadTriggerHandle;
    t->timer.expireTicks += ticks;
    return result::kOk;
}

int32_t TriggerTable::timerTicksRemaining(int32_t handle) {
    TimerTrigger* t = findTimer(handle);
    if (!t) return result::kBadTriggerHandle;
    return remainingTime(t->timer);
}

int32_t TriggerTable::addStatus(uint16_t kind) {
    if (kind < kStatusModem || kind > kStatusOutSent) return result::kBadArgument;
    const int32_t h = newHandle();
    if (h < 0) return h;
    StatusTrigger t;
    t.handle = h + kind;
    t.kind = kind;
    statuses_.push_back(t);
    return t.handle;
}

int32_t TriggerTable::setStatus(int32_t handle, uint16_t value, bool activate, uint8_t modemStatus) {
    auto it = std::find_if(statuses_.begin(), statuses_.end(),
                           [handle](const StatusTrigger& t) { return t.handle == handle; });
    if (it == statuses_.end()) return result::kBadTriggerHandle;
    if (activate) {
        switch (it->kind) {
        case kStatusModem: {
            const uint8_t mask = value & kModemSnapshotMask;
            const uint8_t snapshot = mask & modemStatus;
            it->value = static_cast<uint16_t>((mask << kModemMaskShift) | snapshot);
            break;
        }
        case kStatusLine: {
            // The caller's bits 1, 2, 4, 8 name overrun, parity, framing and break.
            uint16_t bits = 0;
            if (value & 1) bits |= kLineErrorOverrun;
            if (value & 2) bits |= kLineErrorParity;
            if (value & 4) bits |= kLineErrorFrame;
            if (value & 8) bits |= kLineErrorBreak;
            it->value = bits;
            break;
        }
        case kStatusOutBuffFree:
        case kStatusOutBuffUsed:
            it->value = value;
            break;
        default:
            break;
        }
    }
    it->enabled = activate;
    return result::kOk;
}

int32_t TriggerTable::addData(const char* text, bool ignoreCase, uint32_t length) {
    if (length > kMaxTrigger) return result::kTriggerTooLong;
    // An empty string would match before any byte arrives; it is refused.
    if (length == 0 || text == nullptr) return result::kBadArgument;
    const int32_t h = newHandle();
    if (h < 0) return h;
    DataTrigger t;
    t.handle = h;
    t.length = length;
    t.ignoreCase = ignoreCase;
    t.text.assign(text, length);
    if (ignoreCase)
        for (char& c : t.text)
            c = static_cast<char>(upcase(static_cast<uint8_t>(c)));
    datas_.push_back(std::move(t));
    return h;
}

int32_t TriggerTable::remove(int32_t handle) {
    if (handle == kAvailTriggerHandle) {
        availLength_ = 0;
        return result::kOk;
    }
    auto eraseIf = [handle](auto& list) {
        auto it =
            std::find_if(list.begin(), list.end(), [handle](const auto& t) { return t.handle == handle; });
        if (it == list.end()) return false;
        list.erase(it);
        return true;
    };
    if (eraseIf(timers_) || eraseIf(statuses_) || eraseIf(datas_)) return result::kOk;
    return result::kBadTriggerHandle;
}

void TriggerTable::removeAll() {
    availLength_ = 0;
    timers_.clear();
    datas_.clear();
    statuses_.clear();
    handleCounter_ = 1;
}

void TriggerTable::save(TriggerSave& save) const {
    save.availLength = availLength_;
    save.timers = timers_;
    save.dataTriggers = datas_;
    save.statuses = statuses_;
}

void TriggerTable::restore(const TriggerSave& save) {
    availLength_ = save.availLength;
    timers_ = save.timers;
    datas_ = save.dataTriggers;
    statuses_ = save.statuses;
    // Handles keep counting above every restored one so a new trigger never repeats one.
    uint32_t highest = 0;
    auto raise = [&](int32_t handle) {
        highest = std::max<uint32_t>(highest, static_cast<uint32_t>(handle / kHandleStep));
    };
    for (const auto& t : timers_)
        raise(t.handle);
    for (const auto& t : datas_)
        raise(t.handle);
    for (const auto& t : statuses_)
        raise(t.handle);
    handleCounter_ = std::max(handleCounter_, highest + 1);
}

// ---- Checks ---------------------------------------------------------------------------------

int32_t TriggerTable::takeExpiredTimer() {
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [](const TimerTrigger& t) { return t.active && timerExpired(t.timer); });
    if (it == timers_.end()) return 0;
    it->active = false;
    return it->handle;
}

bool TriggerTable::takeFiredStatus(TriggerStatusSource& source, int32_t& handle, uint16_t& data) {
    data = 0;
    for (StatusTrigger& t : statuses_) {
        if (!t.enabled || t.hit) continue;
        bool fired = false;
        switch (t.kind) {
        case kStatusModem:
            fired = ((t.value & kModemSnapshotMask) ^ source.modemStatus()) & (t.value >> kModemMaskShift);
            break;
        case kStatusLine: {
            const uint32_t acc = source.lineErrors();
            if (t.value & acc) {
                fired = true;
                t.value = static_cast<uint16_t>(acc);
            }
            break;
        }
        case kStatusOutBuffFree: {
            const uint32_t freeCount = source.outputFree();
            if (freeCount >= t.value) {
                fired = true;
                data = static_cast<uint16_t>(freeCount);
            }
            break;
        }
        case kStatusOutBuffUsed: {
            const uint32_t used = source.outputUsed();
            if (used <= t.value) {
                fired = true;
                data = static_cast<uint16_t>(used);
            }
            break;
        }
        case kStatusOutSent:
            fired = source.takeOutputWritten();
            break;
        default:
            break;
        }
        if (fired) {
            t.enabled = false;
            t.hit = true;
            statusHit_ = true;
            handle = t.handle;
            return true;
        }
    }
    return false;
}

void TriggerTable::resetStatusHits() {
    for (StatusTrigger& t : statuses_)
        t.hit = false;
    statusHit_ = false;
}

bool TriggerTable::advanceMatch(DataTrigger& t, uint8_t c) {
    const uint8_t b = t.ignoreCase ? upcase(c) : c;
    std::array<uint8_t, kMaxTrigger + 1> next{};
    uint8_t count = 0;
    auto add = [&](uint8_t len) {
        for (uint8_t i = 0; i < count; ++i)
            if (next[i] == len) return;
        if (count < next.size()) next[count++] = len;
    };
    for (uint8_t i = 0; i < t.partialCount; ++i) {
        const uint8_t m = t.partial[i];
        if (m < t.length && static_cast<uint8_t>(t.text[m]) == b) add(static_cast<uint8_t>(m + 1));
    }
    if (static_cast<uint8_t>(t.text[0]) == b) add(1);
    for (uint8_t i = 0; i < count; ++i) {
        if (next[i] >= t.length) {
            t.partialCount = 0;
            return true;
        }
    }
    t.partial = next;
    t.partialCount = count;
    return false;
}

bool TriggerTable::checkReceive(const ByteRing& ring, uint64_t totalIn, ReceiveFindings& findings) {
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
            for (DataTrigger& t : datas_) {
                if (advanceMatch(t, c)) {
                    t.matched = true;
                    completed = true;
                    longest = std::max(longest, t.length);
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
        if (!it->matched) continue;
        findings.matched.emplace_back(it->handle, it->length);
        it->matched = false;
    }
    scanAbs_ = p + 1;
    return true;
}

void TriggerTable::resetPartialMatches() {
    for (DataTrigger& t : datas_)
        t.partialCount = 0;
}

} // namespace brimwell::serial
