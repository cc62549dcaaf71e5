// The private state of a dispatcher, for the dispatcher's own source files only.
//
// Lock order. A thread takes locks only in this order and never an earlier one while holding a
// later one:
//     input lock  ->  main lock  ->  output lock  ->  device lock
// - input lock: input ring, avail mode, avail read count and maximum, received count.
// - main lock: triggers, line settings, modem status, line errors, stored settings.
// - output lock: output ring.
// - device lock (the device layer's): its descriptor; held shared around every device call and
//   exclusively only to close it, so no call ever uses a closed descriptor.
// Out of the ordinary: receiving holds the input lock while it reads the device status (device
// lock); flow-state queries hold the main lock while they read it; the receive check holds the
// input and the main lock together. Handlers are called with no lock held, so a handler may read
// (input lock) and use the trigger operations (main lock). The handler registry's lock, the
// port-list lock and the output-empty lock are leaves: nothing is taken while one is held.
// recorder lock: leaf. The trace and dispatch log (serial/recorders.h) are written at the point of
// each event, under whichever of the locks above that point holds.
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

namespace brimwell::serial {

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
    LineSettings line;                // main lock: the settings last written
    uint32_t lastBaud = kDefaultBaud; // main lock
    bool dtrState = true, rtsState = true;
    bool dtrAuto = false, rtsAuto = false;
    std::atomic<bool> rs485{false};
    ThreadBoost boost = ThreadBoost::None;

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
    std::mutex portErrorMutex; // a leaf: guards the handler and the failure's value
    std::function<void(int32_t)> portErrorHandler;
    PortError portFailure;

    // Triggers (main lock) and their consumers (their own lock).
    std::atomic<bool> busy{false}; // held by a caller through setEventBusy
    TriggerTable triggers;
    TriggerTable::ReceiveFindings findings; // reused by every receive check
    HandlerRegistry handlers;

    // The trace and the dispatch log; their own (leaf) lock.
    Recorders& recorders; // the dispatcher's own (DispatcherRecording)

    explicit DispatcherState(Recorders& r) : recorders(r) {}
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
        triggers.resetScan();
    }
};

// The private steps of a dispatcher's threads and trigger checks, kept out of the public header.
struct Dispatcher::Work {
    static void freeBuffers(Dispatcher& d);
    static int32_t writeConfig(Dispatcher& d, LineSettings& settings);
    // The settings in force, or the last written where the device cannot tell (main lock held).
    static LineSettings lineNow(Dispatcher& d);
    static uint8_t readModemStatus(Dispatcher& d, uint8_t clearBits);
    static void updateModemDeltas(Dispatcher& d);
    static void receive(Dispatcher& d);
    static void signalOutputEmpty(Dispatcher& d);
    static bool notify(Dispatcher& d, uint32_t msg, uint32_t wParam, uint16_t data);
    static bool checkTimerTriggers(Dispatcher& d);
    static bool checkStatusTriggers(Dispatcher& d);
    static bool checkReceiveTriggers(Dispatcher& d);
    static void resetHitsAfterAHit(Dispatcher& d);
    // Main lock held: logs the removal of the trigger `handle`, or of every trigger for 0.
    static void logTriggerDisposals(Dispatcher& d, int32_t handle);
};

} // namespace brimwell::serial
