// The triggers of one port and their matching, as pure logic: no threads, no device, no locks
// (the dispatcher holds its main lock around every call, and its input lock too for the receive
// check). What a check finds is returned; the dispatcher announces it.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "serial/byte_ring.h"
#include "serial/triggers.h"

namespace brimwell::serial {

// What the status triggers look at, read only when a trigger of that kind is armed.
class TriggerStatusSource {
  public:
    virtual ~TriggerStatusSource() = default;
    virtual uint8_t modemStatus() = 0;
    virtual uint32_t lineErrors() = 0; // the error accumulator (ce... bits)
    virtual uint32_t outputFree() = 0;
    virtual uint32_t outputUsed() = 0;
    // Whether bytes were put since the last look; looking clears it.
    virtual bool takeOutputWritten() = 0;
};

class TriggerTable {
  public:
    // ---- Trigger operations (result codes as the dispatcher returns them) -------------------
    void clear(); // all triggers gone, avail length 0, handles counted from the start
    void setAvailLength(uint32_t length) { availLength_ = length; }
    uint32_t availLength() const { return availLength_; }
    int32_t addTimer();
    int32_t setTimer(int32_t handle, int32_t ticks, bool activate);
    int32_t extendTimer(int32_t handle, int32_t ticks);
    int32_t timerTicksRemaining(int32_t handle);
    int32_t addStatus(uint16_t kind);
    // modemStatus: the modem-status byte now (a modem trigger keeps a snapshot of it).
    int32_t setStatus(int32_t handle, uint16_t value, bool activate, uint8_t modemStatus);
    int32_t addData(const char* text, bool ignoreCase, uint32_t length);
    int32_t remove(int32_t handle);
    void removeAll();
    void save(TriggerSave& save) const;
    void restore(const TriggerSave& save);

    // ---- Checks -------------------------------------------------------------------------------
    // The first active timer that has expired, deactivated; 0 when none.
    int32_t takeExpiredTimer();
    // The first armed status trigger that fires, disarmed and marked hit for this pass; its handle
    // and the count it reports. False when none fires.
    bool takeFiredStatus(TriggerStatusSource& source, int32_t& handle, uint16_t& data);
    bool passHit() const { return statusHit_; }
    void resetStatusHits();
    void clearPassHit() { statusHit_ = false; }

    // What the bytes received since the last check call for: an avail announcement (with its
    // count) and the data triggers that completed (handle, string length), in announcing order.
    struct ReceiveFindings {
        bool announceAvail = false;
        uint32_t availCount = 0;
        std::vector<std::pair<int32_t, uint32_t>> matched;
    };
    // ring: the unread bytes; totalIn: bytes ever put into the ring. False: nothing to announce.
    bool checkReceive(const ByteRing& ring, uint64_t totalIn, ReceiveFindings& findings);
    // A consumer joined: what waits is announced once more without waiting for new bytes.
    void announceWaitingAgain() { notifyAbs_ = kNoAnnouncement; }
    // Flushed bytes are never scanned.
    void skipScanTo(uint64_t totalIn) { scanAbs_ = totalIn; }
    // No partial match survives a flush.
    void resetPartialMatches();
    // A new ring: positions count from 0 again.
    void resetScan() { scanAbs_ = notifyAbs_ = 0; }

    // Handles of timer, data and status triggers are multiples of this step.
    static constexpr int32_t kHandleStep = 8;

  private:
    static constexpr uint64_t kNoAnnouncement = UINT64_MAX;

    int32_t newHandle();
    TimerTrigger* findTimer(int32_t handle);
    static bool advanceMatch(DataTrigger& t, uint8_t c);

    uint32_t availLength_ = 0;
    uint32_t handleCounter_ = 1;
    std::vector<TimerTrigger> timers_;
    std::vector<DataTrigger> datas_;
    std::vector<StatusTrigger> statuses_;
    bool statusHit_ = false;
    uint64_t scanAbs_ = 0;   // next byte the data-trigger scan has not seen
    uint64_t notifyAbs_ = 0; // received count at the last avail announcement
};

} // namespace brimwell::serial
