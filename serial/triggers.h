// Trigger and trigger-handler types shared by the dispatcher and its consumers: the trigger
// kinds and records, the notification message, and the interfaces through which consumers are called.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace brimwell {

enum TTriggerType { ttNone, ttAvail, ttTimer, ttData, ttStatus };
enum TQuavHandlerFlagUpdate { fuKeepPort, fuEnablePort, fuDisablePort };

// Notification message numbers.
inline constexpr uint32_t kTriggerAvail = 0x7E01;
inline constexpr uint32_t kTriggerData = 0x7E02;
inline constexpr uint32_t kTriggerTimer = 0x7E03;
inline constexpr uint32_t kTriggerStatus = 0x7E04;

// The avail trigger's fixed handle.
inline constexpr int32_t kAvailTriggerHandle = 1;

// Status trigger kinds (the low 3 bits of a status trigger's handle).
inline constexpr int32_t kStatusKindMask = 7;
inline constexpr uint16_t stModem = 1;
inline constexpr uint16_t stLine = 2;
inline constexpr uint16_t stOutBuffFree = 3;
inline constexpr uint16_t stOutBuffUsed = 4;
inline constexpr uint16_t stOutSent = 5;

// Longest data trigger string.
inline constexpr uint32_t kMaxTrigger = 21;

// How long the dispatcher thread waits for a window handler to take a message.
inline constexpr int kWindowHandlerTimeoutMs = 3000;

// One notification as every handler receives it.
struct TTriggerMessage {
    uint32_t Msg = 0;    // kTriggerAvail .. kTriggerStatus
    uint32_t WParam = 0; // unread byte count (avail) or trigger handle
    int32_t LParam = 0;  // dispatcher handle * 65536 + data

    uint16_t DispatcherHandle() const { return static_cast<uint16_t>(static_cast<uint32_t>(LParam) >> 16); }
    uint16_t Data() const { return static_cast<uint16_t>(static_cast<uint32_t>(LParam) & 0xFFFF); }
};

// A window-kind consumer: in the GUI the component posts the message to an object on the UI thread
// and waits for it at most kWindowHandlerTimeoutMs. Called on the dispatcher thread. Returns false
// when the message was not taken in time (the dispatcher then goes on with the next consumer).
class TQuavWindowHandler {
  public:
    virtual ~TQuavWindowHandler() = default;
    virtual bool SendTriggerMessage(const TTriggerMessage& message) = 0;
};

// A procedure-kind consumer, called on the dispatcher thread.
using TTriggerProc = void (*)(uint32_t msg, uint32_t wParam, int32_t lParam);

// An event-kind consumer (a method with a bound object). Plain registration calls it on the
// dispatcher thread; synchronised registration has it run on the main thread (see
// TQuavBaseDispatcher::SetMainThreadSynchronizer) while the dispatcher thread waits.
class TQuavTriggerEventHandler {
  public:
    virtual ~TQuavTriggerEventHandler() = default;
    virtual void HandleTrigger(const TTriggerMessage& message) = 0;
};

// Timer in ticks of the serial time base.
struct EventTimer {
    int32_t StartTicks = 0;
    int32_t ExpireTicks = 0;
};

struct TTimerTrigger {
    int32_t Handle = 0;
    EventTimer Timer;
    int32_t Ticks = 0;
    int32_t Reserved = -1;
    bool Active = false;
};

struct TStatusTrigger {
    int32_t Handle = 0; // kind in the low 3 bits
    uint16_t Kind = 0;
    uint16_t Value = 0; // kind 1: low byte modem-status snapshot, high byte mask
    bool Enabled = false;
    bool Hit = false;
};

struct TDataTrigger {
    int32_t Handle = 0;
    uint32_t Length = 0;
    // Lengths of the partial matches in progress (at most one per position of the string).
    std::array<uint8_t, kMaxTrigger + 1> Partial{};
    uint8_t PartialCount = 0;
    bool Matched = false;
    bool IgnoreCase = false;
    std::string Text; // upper-cased when IgnoreCase
};

// A copy of the triggers of a port, kept by the component across a close and reopen.
struct TTriggerSave {
    uint32_t AvailLength = 0;
    std::vector<TTimerTrigger> Timers;
    std::vector<TDataTrigger> Datas;
    std::vector<TStatusTrigger> Statuses;
};

} // namespace brimwell
