// The dispatcher behind one open serial port: input and output rings, line settings, flow control,
// modem lines and line errors, triggers and the delivery of their notifications, and the
// process-wide port list. The device is reached only through the virtual device operations, which
// a device layer supplies (serial/termios_dispatcher.h on serial/thread_engine.h).
// Which lock guards what, and the order they are taken in: serial/dispatcher_state.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "serial/byte_ring.h"
#include "serial/dispatcher_constants.h"
#include "serial/dispatcher_recording.h"
#include "serial/error_codes.h"
#include "serial/triggers.h"

namespace brimwell {

struct DispatcherState;

class TQuavBaseDispatcher : public DispatcherRecording {
  public:
    explicit TQuavBaseDispatcher(void* owner = nullptr); // owner: the component (may be null)
    virtual ~TQuavBaseDispatcher();
    TQuavBaseDispatcher(const TQuavBaseDispatcher&) = delete;
    TQuavBaseDispatcher& operator=(const TQuavBaseDispatcher&) = delete;
    // ---- Process-wide port list (the handle is the dispatcher's index in it) -----------------
    int32_t Handle() const;
    void* Owner() const;
    static void LockPortList();
    static void UnlockPortList();
    // Call with the port list locked; null when no dispatcher has that handle.
    static TQuavBaseDispatcher* FindDispatcher(int32_t handle);
    // ---- Opening and closing ----------------------------------------------------------------
    // deviceName is the device path (the component maps COMn to it). 0 or a negative code:
    // -2 no such device, -3 path not found, -5 device in use, -13 permission denied, -8 out of
    // resources, other negative values minus the errno of the failing call.
    int32_t InitPort(const std::string& deviceName, uint32_t baud, uint8_t parity, uint8_t dataBits,
                     uint8_t stopBits, uint32_t inSize, uint32_t outSize, uint32_t openFlags);
    void DonePort();
    bool IsOpen() const;
    // The last failed open: its platform error number (InitPort's result negated), the system's
    // errno (0 when none), and the path it was given.
    int LastOpenErrno() const { return lastOpenErrno_; }
    int LastOpenSystemErrno() const { return lastOpenSystemErrno_; }
    const std::string& DeviceName() const;
    // The port as the user named it ("COM" and the number, or a device path), for the dispatch log.
    void SetDeviceLabel(const std::string& label);
    std::string DeviceLabel() const;
    // ---- Line settings, modem lines, break, line errors -------------------------------------
    int32_t SetLine(uint32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits);
    void GetLine(uint32_t& baud, uint8_t& parity, uint8_t& dataBits, uint8_t& stopBits);
    int32_t ChangeBaud(uint32_t baud);
    // 0, 1 when the line is under driver handshake control, -1002 when the device refused.
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
    // A descriptor that becomes readable when bytes arrive (-1 when closed), for a reader that
    // sleeps until then: poll it, ClearInputSignal, look at the ring; until EndInputWait.
    int BeginInputWait();
    void ClearInputSignal();
    void EndInputWait();
    // ---- Writing ------------------------------------------------------------------------------
    // 0, -3006 (larger than the free space, nothing written), -3004, -3010.
    int32_t PutChar(uint8_t c);
    int32_t PutString(std::string_view s);
    int32_t PutBlock(const void* buffer, uint32_t n);
    uint32_t InBuffUsed();
    uint32_t InBuffFree();
    uint32_t OutBuffUsed();
    uint32_t OutBuffFree();
    // Bytes in the driver's own transmit queue behind the output ring, or -1 where the driver
    // cannot tell (a pseudo-terminal's bytes wait in the peer's input instead).
    virtual int32_t DriverOutQueue();
    // How much the driver of this kind of device can hold ahead of the output ring.
    virtual uint32_t DriverQueueSize() const;
    // Sleeps until the output ring is empty or maxMicros real microseconds have passed; true when
    // it is empty. Call with none of the port's locks held.
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
    static uint16_t ClassifyStatusTrigger(int32_t handle);
    // ---- Trigger handlers (see serial/handler_registry.h for when deregistration waits) -------
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
    // its previous value. A notification in progress is not part of that flag.
    bool SetEventBusy(bool busy);
    // True while the caller-held flag is set or a notification is being delivered.
    bool EventBusy() const;
    // Runs a synchronised event handler's call on the main thread (else on the dispatcher thread).
    using MainThreadSynchronizer = std::function<void(const std::function<void()>&)>;
    static void SetMainThreadSynchronizer(MainThreadSynchronizer synchronizer);

    // ---- Port error ------------------------------------------------------------------------------
    // 0 while the device works; once it is lost (hung up, unplugged, its peer gone) or refuses a
    // write for good, the code of that failure, and from then on every byte operation fails with
    // it at once. Cleared by the next open.
    int32_t PortError() const;
    // What a device layer knows of why its device was lost, beyond the loss itself (a code whose
    // message names the cause, 0 when there is nothing to add).
    virtual int32_t LossCause() const { return 0; }
    // Called once per open, on the thread that found the failure, possibly with the port's locks
    // held: the handler only hands the news on (posts it), it does not call back into the port.
    using PortErrorHandler = std::function<void(int32_t code)>;
    void SetPortErrorHandler(PortErrorHandler handler);

    // Bytes read from the device so far (for tests and benchmarks).
    uint64_t BytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }

  protected:
    // ---- Device operations, supplied by a device layer (the engine does the thread part) ------
    // The device handle (>= 0), -1 with lastOpenErrno_ set, or -8. CloseCom: 0 or -1.
    virtual int32_t OpenCom(const std::string& name, uint32_t inSize, uint32_t outSize) = 0;
    virtual int32_t CloseCom() = 0;
    virtual bool SetupCom(uint32_t inSize, uint32_t outSize) = 0;
    virtual int32_t GetComState(TDeviceControlBlock& dcb) = 0;
    virtual int32_t SetComState(const TDeviceControlBlock& dcb) = 0;
    virtual int32_t ReadCom(uint8_t* buffer, uint32_t n) = 0; // 0..n bytes at once, never blocks
    // The line error bits (0 when unknown) and the status; OutQue is filled by the base.
    virtual uint32_t ReadComError(TComStat& status) = 0;
    virtual uint8_t GetComModemStatus() = 0; // levels of the modem lines (bits 4-7)
    virtual int32_t EscapeComFunction(int function) = 0;
    virtual void SetComBreak(bool on) = 0;
    virtual int32_t PurgeCom(int direction) = 0; // the driver's queue of one direction; 0 or -errno
    virtual void SignalOutputRequest() = 0;      // bytes were put into the output ring
    // Output lock held, ring empty: an idle output side may write at once; how many it took.
    virtual uint32_t TryWriteDirect(const uint8_t* buffer, uint32_t n);
    // Aborts a pending write and waits (at most 5000 ms) until the output thread let go of the ring.
    virtual void AbortOutput() = 0;
    virtual void StartDispatcher() = 0;
    virtual void StopDispatcher() = 0;
    virtual void ProcessCommunications() = 0;
    // Raises the running threads' priorities by the boost (the output thread's by one more in
    // RS-485 mode). The default does nothing.
    virtual void ApplyThreadBoost(TQuavThreadBoost boost, bool rs485);
    // ---- Pieces of the threads' work, shared by every device layer -----------------------------
    // GetComError: reads error and status, ORs the errors into the accumulator and fills OutQue.
    uint32_t GetComError(TComStat& status);
    // One pass of the dispatcher thread. eventMask: device events since the last pass (0 when the
    // pass was started by the period). Returns false when the thread must end.
    bool DispatcherPass(uint32_t eventMask);
    // Called by the dispatcher thread when it leaves its loop; performs a release left to it.
    void DispatcherThreadExit();
    // For the device layer's destructor: completes a deferred close or closes, and stops the threads.
    void ShutdownForDestroy();
    // Output thread: the pending bytes in at most two pieces (false: none), and the advance after
    // count bytes were written (or dropped).
    bool TakeOutputPieces(ByteRing::Span& first, ByteRing::Span& second);
    void AdvanceOutput(uint32_t count);
    bool OutputPending();
    void ClearOutputRing(); // a transmit flush: the output side drops what it has not written
    bool InputFull();       // the device layer stops asking for received bytes

    // Records the failure that ended the device (the first one counts), drops what the output
    // ring still held, wakes every sleeper of this port and tells the port-error handler.
    void ReportPortError(int32_t code);

    void SetRingFlag();
    bool StopThreadsRequested() const;
    bool DoneRequested() const;
    void RequestStopThreads();

    int lastOpenErrno_ = 0;
    int lastOpenSystemErrno_ = 0;
    std::atomic<uint64_t> bytesReceived_{0};

  private:
    struct Work; // the threads' and the trigger checks' private steps (serial/dispatcher_state.h)
    std::unique_ptr<DispatcherState> s_;
};

} // namespace brimwell
