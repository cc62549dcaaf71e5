// The private state of a dispatcher, for the dispatcher's own source files only. Which lock guards
// which part is written at the top of serial/dispatcher.h.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "serial/byte_ring.h"
#include "serial/dispatcher.h"
#include "serial/handler_registry.h"
#include "serial/recorders.h"
#include "serial/trigger_table.h"

namespace brimwell {

// The baud rate assumed for the drain time before the first line setting is written.
inline constexpr uint32_t kDefaultBaud = 115200;

using Lock = std::lock_guard<std::recursive_mutex>;

struct DispatcherState {
    void* owner = nullptr;
    int32_t handle = -1;
    std::string deviceName;
    std::string deviceLabel;
    std::atomic<bool> open{false};
    std::atomic<bool> stopThreads{false};
    std::atomic<bool> doneRequested{false};
    std::atomic<bool> released{true};

    mutable std::recursive_mutex inputLock;
    mutable std::recursive_mutex mainLock;
    mutable std::recursive_mutex outputLock;

    uint32_t receiveSize = 0;
    uint32_t transmitSize = 0;
    std::atomic<uint32_t> errorAccum{0};
    std::atomic<uint8_t> modemStatus{0};
    std::atomic<bool> ringFlag{false};
    TComStat comStat;                 // output lock
    TDeviceControlBlock dcb;          // main lock
    uint32_t lastBaud = kDefaultBaud; // main lock
    bool dtrState = true, rtsState = true;
    bool dtrAuto = false, rtsAuto = false;
    std::atomic<bool> rs485{false};
    uint16_t baseAddress = 0;
    TQuavThreadBoost boost = tbNone;
    uint16_t options = 0;
    uint16_t hwOptions = 0;
    void* dataPointers[kMaxDataPointers] = {};

    // Input (input lock). Received bytes are also counted from the open on, so that a ring filled
    // exactly to the brim is never mistaken for "nothing new".
    ByteRing in;
    bool availMode = false;
    uint32_t availReadCount = 0;
    uint32_t availMax = 0;
    uint64_t totalIn = 0;
    // Readers sleeping until bytes arrive, and the descriptor that wakes them.
    std::atomic<int> inputWaiters{0};
    std::atomic<int> inputEventFd{-1};

    // Output (output lock).
    ByteRing out;
    std::atomic<bool> outputWritten{false};
    // Output-empty signal: a count of emptyings and the sleepers' count, so that the output thread
    // touches the lock only when somebody waits.
    std::mutex outEmptyMutex;
    std::condition_variable outEmptyCv;
    std::atomic<uint64_t> outEmptied{0};
    std::atomic<int> outEmptyWaiters{0};

    // The failure that ended the device (0: none), and who hears of it.
    std::atomic<int32_t> portError{0};
    std::mutex portErrorMutex; // a leaf: guards the handler
    std::function<void(int32_t)> portErrorHandler;

    // Triggers (main lock) and their consumers (their own lock).
    std::atomic<bool> busy{false}; // held by a caller through SetEventBusy
    TriggerTable triggers;
    TriggerTable::ReceiveFindings findings; // reused by every receive check
    HandlerRegistry handlers;

    // The trace and the dispatch log; their own (leaf) lock.
    Recorders recorders;

    ~DispatcherState();

    // Input lock held: what the reads may still take.
    uint32_t readable() const {
        const uint32_t used = in.used();
        if (!availMode) return used;
        return used > availReadCount ? used - availReadCount : 0;
    }
    // Input lock held: where the reads start in the ring.
    uint32_t readOffset() const { return availMode ? availReadCount : 0; }
    // Input lock held: an empty ring whose positions count from 0 again.
    void resetInput() {
        in.clear();
        availMode = false;
        availReadCount = 0;
        availMax = 0;
        totalIn = 0;
        Lock guard(mainLock);
        triggers.ResetScan();
    }
};

} // namespace brimwell
