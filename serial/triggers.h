// Trigger and trigger-handler types shared by the dispatcher and its consumers: the trigger
// kinds and records, the notification message, and the interfaces through which consumers are called.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace brimwell::serial {

enum class TriggerType { None, Avail, Timer, Data, Status };
enum class HandlerFlagUpdate { KeepPort, EnablePort, DisablePort };

// Notification message numbers.
inline constexpr uint32_t kTriggerAvail = 0x7E01;
inline constexpr uint32_t kTriggerData = 0x7E02;
inline constexpr uint32_t kTriggerTimer = 0x7E03;
inline constexpr uint32_t kTriggerStatus = 0x7E04;

// The avail trigger's fixed handle.
inline constexpr int32_t kAvailTriggerHandle = 1;

// Status trigger kinds (the low 3 bits of a status trigger's handle).
inline constexpr int32_t kStatusKindMask = 7;
inline constexpr uint16_t kStatusModem = 1;
inline constexpr uint16_t kStatusLine = 2;
inline constexpr uint16_t kStatusOutBuffFree = 3;
inline constexpr uint16_t kStatusOutBuffUsed = 4;
inline constexpr uint16_t kStatusOutSent = 5;

// Longest data trigger string.
inline constexpr uint32_t kMaxTrigger = 21;

// How long the dispatcher thread waits for a window handler to take a message.
inline constexpr int kWindowHandlerTimeoutMs = 3000;

// One notification as every handler receives it.
struct TriggerMessage {
    uint32_t msg = 0;    // kTriggerAvail .. kTriggerStatus
    uint32_t wParam = 0; // unread byte count (avail) or trigger handle
    int32_t lParam = 0;  // dispatcher handle * 65536 + data

    uint16_t dispatcherHandle() const { return static_cast<uint16_t>(static_cast<uint32_t>(lParam) >> 16); }
    uint16_t data() const { return static_cast<uint16_t>(static_cast<uint32_t>(lParam) & 0xFFFF); }
};

// A window-kind consumer: in the GUI the component posts the message to an object on the UI thread
// and waits for it at most kWindowHandlerTimeoutMs. Called on the dispatcher thread. Returns false
// when the message was not taken in time (the dispatcher then goes on with the next consumer).
class WindowHandler {
  public:
    virtual ~WindowHandler() = default;
    virtual bool sendTriggerMessage(const TriggerMessage& message) = 0;
};

// A procedure-kind consumer, called on the dispatcher thread.
using TriggerProc = void (*)(uint32_t msg, uint32_t wParam, int32_t lParam);

// An event-kind consumer (a method with a bound object). Plain registration calls it on the
// dispatcher thread; synchronised registration has it run on the main thread (see
// Dispatcher::setMainThreadSynchronizer) while the dispatcher thread waits.
class TriggerEventHandler {
  public:
    virtual ~TriggerEventHandler() = default;
    virtual void handleTrigger(const TriggerMessage& message) = 0;
};

// Timer in ticks of the serial time base.
struct EventTimer {
    int32_t startTicks = 0;
    int32_t expireTicks = 0;
};

struct TimerTrigger {
    int32_t handle = 0;
    EventTimer timer;
    int32_t ticks = 0;
    int32_t reserved = -1;
    bool active = false;
};

struct StatusTrigger {
    int32_t handle = 0; // kind in the low 3 bits
    uint16_t kind = 0;
    uint16_t value = 0; // kind 1: low byte modem-status snapshot, high byte mask
    bool enabled = false;
    bool hit = false;
};

struct DataTrigger {
    int32_t handle = 0;
    uint32_t length = 0;
    // Lengths of the partial matches in progress (at most one per position of the string).
    std::array<uint8_t, kMaxTrigger + 1> partial{};
    uint8_t partialCount = 0;
    bool matched = false;
    bool ignoreCase = false;
    std::string text; // upper-cased when ignoreCase
};

// A copy of the triggers of a port, kept by the component across a close and reopen.
struct TriggerSave {
    uint32_t availLength = 0;
    std::vector<TimerTrigger> timers;
    std::vector<DataTrigger> dataTriggers;
    std::vector<StatusTrigger> statuses;
};

} // namespace brimwell::serial
