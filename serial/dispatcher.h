// The dispatcher behind one open serial port: input and output rings, line settings, flow control,
// modem lines and line errors, triggers and the delivery of their notifications, and the
// process-wide port list. The device itself is reached only through the virtual device
// operations, which a concrete device layer (serial/termios_dispatcher.h) supplies with its threads.
//
// Lock order. A thread takes locks only in this order and never takes an earlier one while
// holding a later one:
//     input lock  ->  main lock  ->  output lock  ->  device lock
// - input lock: input ring, head, tail, full flag, avail mode, avail read count and maximum.
// - main lock: triggers, handler lists, busy/done/deletion flags, line settings, modem status,
//   line errors.
// - output lock: output ring and its indexes, output full flag, output part of the device status.
// - device lock (shared/exclusive): the device descriptor itself; held shared around every device
//   call and exclusively only to close the descriptor, so no call ever uses a closed descriptor.
// Receiving holds the input lock while it reads the device status (output lock); flow-state
// queries hold the main lock while they read the device status. Handlers are called with no lock
// held, so a handler may read (input lock) and use the trigger operations (main lock).
// The port-list lock is separate and is never held while taking any of the above.
// The output-empty lock only guards the sleep of WaitOutputEmpty; nothing else is taken while it
// is held, so it may be taken with or without any of the above.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "serial/error_codes.h"
#include "serial/triggers.h"

namespace brimwell {

enum TFlowControlState { fcOff, fcOn, fcDsrHold, fcCtsHold, fcDcdHold, fcXOutHold, fcXInHold, fcXBothHold };
enum TQuavThreadBoost { tbNone, tbPlusOne, tbPlusTwo };

// Size of the input ring, fixed whatever receive size the port is opened with.
inline constexpr uint32_t kInputBufferSize = 8192;

// Open flags of InitPort.
inline constexpr uint32_t ofDtrOn = 0x01;
inline constexpr uint32_t ofRtsOn = 0x02;
inline constexpr uint32_t ofDtrAutomatic = 0x10; // DTR is a receive handshake line of the driver
inline constexpr uint32_t ofRtsAutomatic = 0x20; // RTS is a receive handshake line of the driver

// SetLine arguments that keep the current value.
inline constexpr uint32_t kKeepBaud = 0;
inline constexpr uint8_t kKeepParity = 5;
inline constexpr uint8_t kKeepDataBits = 9;
inline constexpr uint8_t kKeepStopBits = 3;

// Parity values (the order of the component's TParity).
inline constexpr uint8_t kParityNone = 0;
inline constexpr uint8_t kParityOdd = 1;
inline constexpr uint8_t kParityEven = 2;
inline constexpr uint8_t kParityMark = 3;
inline constexpr uint8_t kParitySpace = 4;

// Device stop-bit codes.
inline constexpr uint8_t kOneStopBit = 0;
inline constexpr uint8_t kOne5StopBits = 1;
inline constexpr uint8_t kTwoStopBits = 2;

// Flag word of the device configuration.
inline constexpr uint32_t dcbBinary = 0x0001;
inline constexpr uint32_t dcbParity = 0x0002;
inline constexpr uint32_t dcbOutxCtsFlow = 0x0004;
inline constexpr uint32_t dcbOutxDsrFlow = 0x0008;
inline constexpr uint32_t dcbDtrControlMask = 0x0030;
inline constexpr uint32_t dcbDtrControlDisable = 0x0000;
inline constexpr uint32_t dcbDtrControlEnable = 0x0010;
inline constexpr uint32_t dcbDtrControlHandshake = 0x0020;
inline constexpr uint32_t dcbDsrSensitivity = 0x0040;
inline constexpr uint32_t dcbTXContinueOnXoff = 0x0080;
inline constexpr uint32_t dcbOutX = 0x0100;
inline constexpr uint32_t dcbInX = 0x0200;
inline constexpr uint32_t dcbNull = 0x0800;
inline constexpr uint32_t dcbRtsControlMask = 0x3000;
inline constexpr uint32_t dcbRtsControlDisable = 0x0000;
inline constexpr uint32_t dcbRtsControlEnable = 0x1000;
inline constexpr uint32_t dcbRtsControlHandshake = 0x2000;
inline constexpr uint32_t dcbRtsControlToggle = 0x3000;

// The device configuration as last read or written.
struct TDeviceControlBlock {
    uint32_t BaudRate = 115200;
    uint32_t Flags = dcbBinary | dcbTXContinueOnXoff | dcbDtrControlEnable | dcbRtsControlEnable;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = kParityNone;
    uint8_t StopBits = kOneStopBit;
    uint8_t XonChar = 17;
    uint8_t XoffChar = 19;
};

// Line error bits gathered in the error accumulator.
inline constexpr uint32_t ceRxOver = 0x01;
inline constexpr uint32_t ceOverrun = 0x02;
inline constexpr uint32_t ceRxParity = 0x04;
inline constexpr uint32_t ceFrame = 0x08;
inline constexpr uint32_t ceBreak = 0x10;

// Hold flags of the device status.
inline constexpr uint32_t csCtsHold = 0x01;
inline constexpr uint32_t csDsrHold = 0x02;
inline constexpr uint32_t csRlsdHold = 0x04;
inline constexpr uint32_t csXoffHold = 0x08;
inline constexpr uint32_t csXoffSent = 0x10;

struct TComStat {
    uint32_t HoldFlags = 0;
    uint32_t InQue = 0;  // bytes in the driver's receive queue
    uint32_t OutQue = 0; // bytes of the output ring not yet written
};

// Modem-status byte: change bits 0-3, levels 4-7.
inline constexpr uint8_t msDeltaCts = 0x01;
inline constexpr uint8_t msDeltaDsr = 0x02;
inline constexpr uint8_t msRingEnded = 0x04;
inline constexpr uint8_t msDeltaDcd = 0x08;
inline constexpr uint8_t msCtsOn = 0x10;
inline constexpr uint8_t msDsrOn = 0x20;
inline constexpr uint8_t msRingOn = 0x40;
inline constexpr uint8_t msDcdOn = 0x80;

// Device events reported to the dispatcher thread.
inline constexpr uint32_t evRxChar = 0x0001;
inline constexpr uint32_t evCts = 0x0008;
inline constexpr uint32_t evDsr = 0x0010;
inline constexpr uint32_t evRlsd = 0x0020;
inline constexpr uint32_t evBreak = 0x0040;
inline constexpr uint32_t evErr = 0x0080;
inline constexpr uint32_t evRing = 0x0100;
inline constexpr uint32_t evRingTe = 0x2000;

// Escape functions.
inline constexpr int kSetRts = 3;
inline constexpr int kClrRts = 4;
inline constexpr int kSetDtr = 5;
inline constexpr int kClrDtr = 6;

// Flush directions.
inline constexpr int kFlushTransmit = 0;
inline constexpr int kFlushReceive = 1;

// Flow-control options.
inline constexpr uint16_t hfUseDtr = 1;
inline constexpr uint16_t hfUseRts = 2;
inline constexpr uint16_t hfRequireDsr = 4;
inline constexpr uint16_t hfRequireCts = 8;
inline constexpr uint16_t sfTransmitFlow = 1;
inline constexpr uint16_t sfReceiveFlow = 2;

// How many user data pointers a port keeps (SetDataPointer index 1..kMaxDataPointers).
inline constexpr uint32_t kMaxDataPointers = 10;

class TQuavBaseDispatcher {
  public:
    // owner: the component that created the dispatcher (may be null).
    explicit TQuavBaseDispatcher(void* owner = nullptr);
    virtual ~TQuavBaseDispatcher();
    TQuavBaseDispatcher(const TQuavBaseDispatcher&) = delete;
    TQuavBaseDispatcher& operator=(const TQuavBaseDispatcher&) = delete;

    // ---- Process-wide port list -------------------------------------------------------------
    // The handle is the dispatcher's index in the port list.
    int32_t Handle() const { return handle_; }
    void* Owner() const { return owner_; }
    static void LockPortList();
    static void UnlockPortList();
    // Call with the port list locked; null when no dispatcher has that handle.
    static TQuavBaseDispatcher* FindDispatcher(int32_t handle);

    // ---- Opening and closing ----------------------------------------------------------------
    // deviceName is the device path (the component maps COMn to it). Returns 0 or a negative code:
    // -2 no such device, -3 path not found, -5 device in use, -13 permission denied, -8 out of
    // resources, other negative values minus the errno of the failing call.
    int32_t InitPort(const std::string& deviceName, uint32_t baud, uint8_t parity, uint8_t dataBits,
                     uint8_t stopBits, uint32_t inSize, uint32_t outSize, uint32_t openFlags);
    void DonePort();
    bool IsOpen() const;
    // The platform error number of the last failed open (2, 3, 5, 13 or another errno, as InitPort
    // returned it negated) and the path it was given, for messages that name the device.
    int LastOpenErrno() const { return lastOpenErrno_; }
    // The system's own errno of that failure (for its text, strerror), 0 when none.
    int LastOpenSystemErrno() const { return lastOpenSystemErrno_; }
    const std::string& DeviceName() const { return deviceName_; }
    // "COM" and the number, for the dispatch log.
    void SetDeviceLabel(const std::string& label);
    std::string DeviceLabel() const;

    // ---- Line settings ------------------------------------------------------------------------
    int32_t SetLine(uint32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits);
    void GetLine(uint32_t& baud, uint8_t& parity, uint8_t& dataBits, uint8_t& stopBits);
    int32_t ChangeBaud(uint32_t baud);

    // ---- Modem lines, break, line errors -----------------------------------------------------
    // 0 on success, 1 when the line is under driver handshake control, -1002 when the device refused.
    int32_t SetDtr(bool on);
    int32_t SetRts(bool on);
    int32_t SetModem(bool dtr, bool rts);
    uint8_t GetModemStatus();
    bool CheckCTS();
    bool CheckDSR();
    bool CheckRI();
    bool CheckDCD();
    bool CheckDeltaCTS();
    bool CheckDeltaDSR();
    bool CheckDeltaRI();
    bool CheckDeltaDCD();
    uint16_t GetLineError();
    bool CheckLineBreak();
    // yield (may be empty) is called during the wait; see DelayTicks.
    void SendBreak(int32_t ticks, const std::function<bool()>& yield = {});
    void SetBreak(bool on);

    // ---- Reading (honours avail mode during a notification) ----------------------------------
    bool CharReady();
    // n counts from 1. 0 or -3007.
    int32_t PeekChar(uint8_t& c, uint32_t n);
    int32_t GetChar(uint8_t& c);
    // n or -3007 (nothing copied or consumed).
    int32_t PeekBlock(void* buffer, uint32_t n);
    int32_t GetBlock(void* buffer, uint32_t n);

    // ---- Writing ------------------------------------------------------------------------------
    // 0, -3006 (larger than the free space, nothing written), -3004, -3010.
    int32_t PutChar(uint8_t c);
    int32_t PutString(std::string_view s);
    int32_t PutBlock(const void* buffer, uint32_t n);

    uint32_t InBuffUsed();
    uint32_t InBuffFree();
    uint32_t OutBuffUsed();
    uint32_t OutBuffFree();
    // Sleeps until the output ring is empty (the output thread has handed every byte to the
    // device) or maxMicros real microseconds have passed; true when it is empty. A sender that
    // waits for room wakes the moment there is some, rather than sleeping a fixed slice.
    // Call with none of the port's locks held.
    bool WaitOutputEmpty(int64_t maxMicros);
    void BufferSizes(uint32_t& receiveSize, uint32_t& transmitSize) const;

    int32_t FlushInBuffer();
    int32_t FlushOutBuffer();

    // ---- Flow control ------------------------------------------------------------------------
    int32_t HWFlowOptions(uint16_t bufferFull, uint16_t bufferResume, uint16_t options);
    // TFlowControlState + 1 (the component subtracts 1).
    int32_t HWFlowState();
    int32_t SWFlowEnable(uint16_t bufferFull, uint16_t bufferResume, uint16_t options);
    int32_t SWFlowDisable();
    int32_t SWFlowState();
    int32_t SWFlowChars(uint8_t on, uint8_t off);

    // ---- Settings stored for the callers -----------------------------------------------------
    void SetThreadBoost(TQuavThreadBoost boost);
    TQuavThreadBoost ThreadBoost() const;
    void SetRS485Mode(bool on);
    bool RS485Mode() const;
    void SetBaseAddress(uint16_t address);
    uint16_t GetBaseAddress() const;
    void OptionsOn(uint16_t options);
    void OptionsOff(uint16_t options);
    bool OptionsAreOn(uint16_t options) const;
    // The hardware flow options last set with HWFlowOptions.
    uint16_t GetFlowOptions() const;
    // index 1..kMaxDataPointers; other indexes are ignored / read null.
    void SetDataPointer(void* p, uint32_t index);
    void* GetDataPointer(uint32_t index) const;

    // ---- Triggers ------------------------------------------------------------------------------
    void ChangeLengthTrigger(uint32_t length);
    uint32_t AvailTriggerLength() const;
    int32_t AddTimerTrigger();
    int32_t SetTimerTrigger(int32_t handle, int32_t ticks, bool activate);
    int32_t ExtendTimer(int32_t handle, int32_t ticks);
    // Ticks left (>= 0) or -5003.
    int32_t TimerTicksRemaining(int32_t handle);
    int32_t AddStatusTrigger(uint16_t kind);
    int32_t SetStatusTrigger(int32_t handle, uint16_t value, bool activate);
    int32_t AddDataTrigger(std::string_view text, bool ignoreCase);
    int32_t AddDataTriggerLen(const char* text, bool ignoreCase, uint32_t length);
    int32_t RemoveTrigger(int32_t handle);
    void RemoveAllTriggers();
    void SaveTriggers(TTriggerSave& save);
    void RestoreTriggers(const TTriggerSave& save);
    static void ClearSaveBuffers(TTriggerSave& save);
    static uint16_t ClassifyStatusTrigger(int32_t handle) { return static_cast<uint16_t>(handle & 7); }

    // ---- Trigger handlers ----------------------------------------------------------------------
    // The component's own window handler must be registered first (a single window handler does
    // not count as wanting notifications, see UpdateHandlerFlags).
    int32_t RegisterWndTriggerHandler(TQuavWindowHandler* window);
    int32_t RegisterProcTriggerHandler(TTriggerProc proc);
    int32_t RegisterEventTriggerHandler(TQuavTriggerEventHandler* handler);
    int32_t RegisterSyncEventTriggerHandler(TQuavTriggerEventHandler* handler);
    int32_t DeregisterWndTriggerHandler(TQuavWindowHandler* window);
    int32_t DeregisterProcTriggerHandler(TTriggerProc proc);
    int32_t DeregisterEventTriggerHandler(TQuavTriggerEventHandler* handler);
    void UpdateHandlerFlags(TQuavHandlerFlagUpdate update);
    // Swaps the busy flag that a caller (WaitForString) holds to keep notifications back; returns
    // its previous value. A notification in progress is not part of that flag, so a caller that
    // restores the value it got never leaves notifications switched off.
    bool SetEventBusy(bool busy);
    // True while the caller-held flag is set or a notification is being delivered.
    bool EventBusy() const;

    // How synchronised event handlers reach the main thread: the installed function must run the
    // given call on the main thread and return when it has run. Without one they are called
    // directly on the dispatcher thread. Process-wide; the component installs it once.
    using MainThreadSynchronizer = std::function<void(const std::function<void()>&)>;
    static void SetMainThreadSynchronizer(MainThreadSynchronizer synchronizer);

    // Where an exception escaping a trigger handler or a background thread is reported (the
    // application's exception display). Without one it is written to stderr. Process-wide.
    using ExceptionReporter = std::function<void(const std::string& message)>;
    static void SetExceptionReporter(ExceptionReporter reporter);
    static void ReportException(const std::string& where, std::exception_ptr error);

    // Bytes the device layer has read from the device so far (for tests and benchmarks).
    uint64_t BytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }

    // (The trace and dispatch log attach here: bytes taken out by the reads and put by the writes,
    // and the device reads and writes of the threads.)

  protected:
    // ---- Device operations, supplied by a device layer ---------------------------------------
    // The device handle (>= 0), -1 with lastOpenErrno_ set, or -8.
    virtual int32_t OpenCom(const std::string& name, uint32_t inSize, uint32_t outSize) = 0;
    // Tells the threads to stop, wakes them and releases the device. 0 or -1.
    virtual int32_t CloseCom() = 0;
    virtual bool SetupCom(uint32_t inSize, uint32_t outSize) = 0;
    virtual int32_t GetComState(TDeviceControlBlock& dcb) = 0;
    virtual int32_t SetComState(const TDeviceControlBlock& dcb) = 0;
    // Bytes read at once (0..n), never blocks.
    virtual int32_t ReadCom(uint8_t* buffer, uint32_t n) = 0;
    // The line error bits (0 when unknown) and the status; OutQue is filled by the base.
    virtual uint32_t ReadComError(TComStat& status) = 0;
    // MS_... levels of the modem lines (bits 4-7).
    virtual uint8_t GetComModemStatus() = 0;
    virtual int32_t EscapeComFunction(int function) = 0;
    virtual void SetComBreak(bool on) = 0;
    // Purges the driver's queue of one direction; for transmit the device layer first aborts the
    // pending write through AbortOutput(). 0 or minus errno.
    virtual int32_t PurgeCom(int direction) = 0;
    // Wakes the output thread after bytes were put into the output ring.
    virtual void SignalOutputRequest() = 0;
    // Called with the output lock held and the output ring empty: a device layer whose output
    // thread is idle may hand the bytes to the device at once, without blocking. Returns how many
    // it took (the rest go through the ring). The default takes none.
    virtual uint32_t TryWriteDirect(const uint8_t* buffer, uint32_t n);
    // Aborts a pending write and waits (at most 5000 ms) until the output thread has let go of the
    // output ring.
    virtual void AbortOutput() = 0;
    virtual void StartDispatcher() = 0;
    virtual void StopDispatcher() = 0;
    virtual void ProcessCommunications() = 0;
    // Raises the running threads' priorities by the boost (and the output thread's by one more in
    // RS-485 mode). The default does nothing.
    virtual void ApplyThreadBoost(TQuavThreadBoost boost, bool rs485);

    // ---- Pieces of the threads' work, shared by every device layer -----------------------------
    // The copy into the output ring that a device write makes. Returns n.
    int32_t WriteCom(const uint8_t* buffer, uint32_t n);
    // GetComError: reads error and status, ORs the errors into the accumulator and fills OutQue.
    uint32_t GetComError(TComStat& status);
    int32_t FlushCom(int direction);
    // One pass of the dispatcher thread. eventMask: device events since the last pass (0 when the
    // pass was started by the 50 ms period). Returns false when the thread must end.
    bool DispatcherPass(uint32_t eventMask);
    // Called by the dispatcher thread when it leaves its loop; performs a release left to it.
    void DispatcherThreadExit();
    // For the device layer's destructor: completes a deferred close or closes, and stops the threads.
    void ShutdownForDestroy();
    // Output thread: the pending bytes as at most two pieces, in order (false when the ring is
    // empty; second is empty unless the bytes wrap), and the advance after c bytes were written
    // (or dropped).
    struct OutputPieces {
        const uint8_t* first = nullptr;
        uint32_t firstLength = 0;
        const uint8_t* second = nullptr;
        uint32_t secondLength = 0;
    };
    bool TakeOutputPieces(OutputPieces& pieces);
    void AdvanceOutput(uint32_t count);
    bool OutputPending();
    void ClearOutputRing();
    // Wakes WaitOutputEmpty callers; call after the ring became empty, with the output lock released.
    void SignalOutputEmpty();
    // True when the input ring is full (the device layer stops asking for received bytes).
    bool InputFull();

    void SetRingFlag();
    bool StopThreadsRequested() const { return stopThreads_.load(); }
    bool DoneRequested() const { return doneRequested_.load(); }
    void RequestStopThreads() { stopThreads_.store(true); }

    // Held shared around every device call, exclusively to close the descriptor.
    std::shared_mutex deviceLock_;
    int lastOpenErrno_ = 0;
    int lastOpenSystemErrno_ = 0;
    std::atomic<uint64_t> bytesReceived_{0};

  private:
    struct WndEntry {
        TQuavWindowHandler* Window;
        bool Deleted;
    };
    struct ProcEntry {
        TTriggerProc Proc;
        bool Deleted;
    };
    struct EventEntry {
        TQuavTriggerEventHandler* Handler;
        bool Deleted;
        bool Sync;
    };

    void freeBuffers();
    void resetInputRing();
    uint32_t usedLocked() const;     // input lock held; normal-mode count
    uint32_t readableLocked() const; // input lock held; what the reads may still take
    void copyOut(uint8_t* dst, uint32_t from, uint32_t n) const;
    uint32_t outUsedLocked() const;
    int32_t writeConfig(TDeviceControlBlock& dcb);
    uint8_t readModemStatus(uint8_t clearBits);
    void updateModemDeltas();
    int32_t newTriggerHandle();
    TTimerTrigger* findTimer(int32_t handle);
    bool notify(uint32_t msg, uint32_t wParam, uint16_t data);
    bool checkTimerTriggers();
    bool checkStatusTriggers();
    bool checkReceiveTriggers();
    void resetStatusHits();
    void receive();
    void removeDeletedHandlers();
    void recomputeHandlerService();
    bool advanceMatch(TDataTrigger& t, uint8_t c);

    void* owner_;
    int32_t handle_ = -1;
    std::string deviceName_;
    std::string deviceLabel_;
    std::atomic<bool> open_{false};
    std::atomic<bool> stopThreads_{false};
    std::atomic<bool> doneRequested_{false};
    std::atomic<bool> released_{true};

    mutable std::recursive_mutex inputLock_;
    mutable std::recursive_mutex mainLock_;
    mutable std::recursive_mutex outputLock_;

    uint32_t receiveSize_ = 0;
    uint32_t transmitSize_ = 0;
    std::atomic<uint32_t> errorAccum_{0};
    std::atomic<uint8_t> modemStatus_{0};
    std::atomic<bool> ringFlag_{false};
    TComStat comStat_;           // output lock
    TDeviceControlBlock dcb_;    // main lock
    uint32_t lastBaud_ = 115200; // main lock
    bool dtrState_ = true, rtsState_ = true;
    bool dtrAuto_ = false, rtsAuto_ = false;
    std::atomic<bool> rs485_{false};
    uint16_t baseAddress_ = 0;
    TQuavThreadBoost boost_ = tbNone;
    uint16_t options_ = 0;
    uint16_t hwOptions_ = 0;
    void* dataPointers_[kMaxDataPointers] = {};

    // Input ring (input lock). Positions are also counted from the open on (64-bit), so that a
    // ring filled exactly to the brim is never mistaken for "nothing new".
    std::vector<uint8_t> inBuf_;
    uint32_t head_ = 0, tail_ = 0;
    bool full_ = false;
    bool availMode_ = false;
    uint32_t availReadCount_ = 0;
    uint32_t availMax_ = 0;
    uint64_t totalIn_ = 0;   // bytes ever put into the ring
    uint64_t scanAbs_ = 0;   // next byte the data-trigger scan has not seen
    uint64_t notifyAbs_ = 0; // received count at the last avail notification

    // Output ring (output lock).
    std::vector<uint8_t> outBuf_;
    uint32_t outHead_ = 0, outTail_ = 0;
    bool outFull_ = false;
    std::atomic<bool> outputWritten_{false};
    // Output-empty signal: a count of emptyings, and the sleepers' count, so that the output
    // thread touches the lock only when somebody waits.
    std::mutex outEmptyMutex_;
    std::condition_variable outEmptyCv_;
    std::atomic<uint64_t> outEmptied_{0};
    std::atomic<int> outEmptyWaiters_{0};

    // Triggers and handlers (main lock).
    std::atomic<bool> busy_{false};       // held by a caller through SetEventBusy
    std::atomic<bool> delivering_{false}; // a notification is being delivered
    bool handlerDeletionPending_ = false;
    bool portHandler_ = false;
    // A handler joined: bytes already waiting are announced once more, without waiting for new ones,
    // so the newcomer (a terminal attaching after the port opened) is not left unaware of them.
    bool announceWaiting_ = false;
    std::atomic<bool> handlerService_{false};
    uint32_t availLength_ = 0;
    uint32_t handleCounter_ = 1;
    std::vector<TTimerTrigger> timers_;
    std::vector<TDataTrigger> datas_;
    std::vector<TStatusTrigger> statuses_;
    bool statusHit_ = false;
    std::vector<WndEntry> wndHandlers_;
    std::vector<ProcEntry> procHandlers_;
    std::vector<EventEntry> eventHandlers_;
};

} // namespace brimwell
