// The dispatcher behind one open serial port: input and output rings, line settings, flow control,
// modem lines and line errors, triggers and the delivery of their notifications, and the
// process-wide port list. The device is a DeviceLayer (serial/device_layer.h), which the thread
// engine (serial/thread_engine.h) runs.
// Which lock guards what, and the order they are taken in: serial/dispatcher_state.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "serial/byte_ring.h"
#include "serial/device_layer.h"
#include "serial/dispatcher_constants.h"
#include "serial/dispatcher_recording.h"
#include "serial/error_codes.h"
#include "serial/port_error.h"
#include "serial/triggers.h"

namespace brimwell::serial {

struct DispatcherState;

class Dispatcher : public DispatcherRecording {
  public:
    explicit Dispatcher(void* owner = nullptr); // owner: the component (may be null)
    virtual ~Dispatcher();
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;
    // The device this port runs over.
    virtual DeviceLayer& device() = 0;

    // ---- Process-wide port list (the handle is the dispatcher's index in it) -----------------
    int32_t handle() const;
    void* owner() const;
    static void lockPortList();
    static void unlockPortList();
    // Call with the port list locked; null when no dispatcher has that handle.
    static Dispatcher* findDispatcher(int32_t handle);
    // ---- Opening and closing ----------------------------------------------------------------
    // deviceName is the device path (the component maps COMn to it). 0 or a negative code:
    // -2 no such device, -3 path not found, -5 device in use, -13 permission denied, -8 out of
    // resources, other negative values minus the errno of the failing call.
    int32_t initPort(const std::string& deviceName, uint32_t baud, uint8_t parity, uint8_t dataBits,
                     uint8_t stopBits, uint32_t inSize, uint32_t outSize, uint32_t openFlags);
    void donePort();
    bool isOpen() const;
    // Why the last open failed (its code is initPort's result), and the path it was given.
    const PortError& openError() const { return openError_; }
    const std::string& deviceName() const;
    // The port as the user named it ("COM" and the number, or a device path), for the dispatch log.
    void setDeviceLabel(const std::string& label);
    std::string deviceLabel() const;
    // ---- Line settings, modem lines, break, line errors -------------------------------------
    int32_t setLine(uint32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits);
    void getLine(uint32_t& baud, uint8_t& parity, uint8_t& dataBits, uint8_t& stopBits);
    int32_t changeBaud(uint32_t baud);
    // 0, 1 when the line is under driver handshake control, -1002 when the device refused.
    int32_t setDtr(bool on);
    int32_t setRts(bool on);
    int32_t setModem(bool dtr, bool rts);
    uint8_t getModemStatus();
    bool checkCts();
    bool checkDsr();
    bool checkRi();
    bool checkDcd();
    bool checkDeltaCts();
    bool checkDeltaDsr();
    bool checkDeltaRi();
    bool checkDeltaDcd();
    uint16_t getLineError();
    bool checkLineBreak();
    // yield (may be empty) is called during the wait; see delayTicks.
    void sendBreak(int32_t ticks, const std::function<bool()>& yield = {});
    void setBreak(bool on);
    // ---- Reading (honours avail mode during a notification) ----------------------------------
    bool charReady();
    // n counts from 1. 0 or -3007.
    int32_t peekChar(uint8_t& c, uint32_t n);
    int32_t getChar(uint8_t& c);
    // n or -3007 (nothing copied or consumed).
    int32_t peekBlock(void* buffer, uint32_t n);
    int32_t getBlock(void* buffer, uint32_t n);
    // A descriptor that becomes readable when bytes arrive (-1 when closed), for a reader that
    // sleeps until then: poll it, clearInputSignal, look at the ring; until endInputWait.
    int beginInputWait();
    void clearInputSignal();
    void endInputWait();
    // ---- Writing ------------------------------------------------------------------------------
    // 0, -3006 (larger than the free space, nothing written), -3004, -3010.
    int32_t putChar(uint8_t c);
    int32_t putString(std::string_view s);
    int32_t putBlock(const void* buffer, uint32_t n);
    uint32_t inBuffUsed();
    uint32_t inBuffFree();
    uint32_t outBuffUsed();
    uint32_t outBuffFree();
    // Bytes in the driver's own transmit queue behind the output ring, or -1 where the driver
    // cannot tell (a pseudo-terminal's bytes wait in the peer's input instead).
    int32_t driverOutQueue();
    // How much the driver of this kind of device can hold ahead of the output ring.
    uint32_t driverQueueSize();
    // Sleeps until the output ring is empty or maxMicros real microseconds have passed; true when
    // it is empty. Call with none of the port's locks held.
    bool waitOutputEmpty(int64_t maxMicros);
    void bufferSizes(uint32_t& receiveSize, uint32_t& transmitSize) const;
    int32_t flushInBuffer();
    int32_t flushOutBuffer();
    // ---- Flow control ------------------------------------------------------------------------
    int32_t hwFlowOptions(uint16_t bufferFull, uint16_t bufferResume, uint16_t options);
    // FlowControlState + 1 (the component subtracts 1).
    int32_t hwFlowState();
    int32_t swFlowEnable(uint16_t bufferFull, uint16_t bufferResume, uint16_t options);
    int32_t swFlowDisable();
    int32_t swFlowState();
    int32_t swFlowChars(uint8_t on, uint8_t off);
    // ---- Thread priority and RS-485 transmit control --------------------------------------------
    void setThreadBoost(ThreadBoost boost);
    ThreadBoost threadBoost() const;
    // RTS is raised while sending (the driver toggles it where it can) and around a break.
    void setRs485Mode(bool on);
    bool rs485Mode() const;
    // ---- Triggers ------------------------------------------------------------------------------
    void changeLengthTrigger(uint32_t length);
    uint32_t availTriggerLength() const;
    int32_t addTimerTrigger();
    int32_t setTimerTrigger(int32_t handle, int32_t ticks, bool activate);
    int32_t extendTimer(int32_t handle, int32_t ticks);
    // Ticks left (>= 0) or -5003.
    int32_t timerTicksRemaining(int32_t handle);
    int32_t addStatusTrigger(uint16_t kind);
    int32_t setStatusTrigger(int32_t handle, uint16_t value, bool activate);
    int32_t addDataTrigger(std::string_view text, bool ignoreCase);
    int32_t addDataTriggerLen(const char* text, bool ignoreCase, uint32_t length);
    int32_t removeTrigger(int32_t handle);
    void removeAllTriggers();
    void saveTriggers(TriggerSave& save);
    void restoreTriggers(const TriggerSave& save);
    static void clearSaveBuffers(TriggerSave& save);
    static uint16_t classifyStatusTrigger(int32_t handle);
    // ---- Trigger handlers (see serial/handler_registry.h for when deregistration waits) -------
    // The component's own window handler must be registered first (a single window handler does
    // not count as wanting notifications, see updateHandlerFlags).
    int32_t registerWndTriggerHandler(WindowHandler* window);
    int32_t registerProcTriggerHandler(TriggerProc proc);
    int32_t registerEventTriggerHandler(TriggerEventHandler* handler);
    int32_t registerSyncEventTriggerHandler(TriggerEventHandler* handler);
    int32_t deregisterWndTriggerHandler(WindowHandler* window);
    int32_t deregisterProcTriggerHandler(TriggerProc proc);
    int32_t deregisterEventTriggerHandler(TriggerEventHandler* handler);
    void updateHandlerFlags(HandlerFlagUpdate update);
    // Swaps the busy flag that a caller (waitForString) holds to keep notifications back; returns
    // its previous value. A notification in progress is not part of that flag.
    bool setEventBusy(bool busy);
    // True while the caller-held flag is set or a notification is being delivered.
    bool eventBusy() const;
    // Runs a synchronised event handler's call on the main thread (else on the dispatcher thread).
    using MainThreadSynchronizer = std::function<void(const std::function<void()>&)>;
    static void setMainThreadSynchronizer(MainThreadSynchronizer synchronizer);

    // ---- Port error ------------------------------------------------------------------------------
    // 0 while the device works; once it is lost (hung up, unplugged, its peer gone) or refuses a
    // write for good, the code of that failure, and from then on every byte operation fails with
    // it at once. Cleared by the next open.
    int32_t portError() const;
    // The same failure as the device layer reported it (kind None while the device works).
    PortError portFailure() const;
    // Called once per open, on the thread that found the failure, possibly with the port's locks
    // held: the handler only hands the news on (posts it), it does not call back into the port.
    using PortErrorHandler = std::function<void(int32_t code)>;
    void setPortErrorHandler(PortErrorHandler handler);

    // Bytes read from the device so far (for tests and benchmarks).
    uint64_t bytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }

  protected:
    // ---- The engine's operations on the device (serial/thread_engine.h) -------------------------
    // Opens the device: its descriptor (>= 0), -1 with openError_ set, or -8. closeCom: 0 or -1.
    virtual int32_t openCom(const std::string& name) = 0;
    virtual int32_t closeCom() = 0;
    virtual int32_t readCom(uint8_t* buffer, uint32_t n) = 0; // 0..n bytes at once, never blocks
    virtual void signalOutputRequest() = 0;                   // bytes were put into the output ring
    // Output lock held, ring empty: an idle output side may write at once; how many it took.
    virtual uint32_t tryWriteDirect(const uint8_t* buffer, uint32_t n);
    // Aborts a pending write and waits (at most 5000 ms) until the output thread let go of the ring.
    virtual void abortOutput() = 0;
    virtual void startDispatcher() = 0;
    virtual void stopDispatcher() = 0;
    virtual void processCommunications() = 0;
    // Raises the running threads' priorities by the boost (the output thread's by one more in
    // RS-485 mode). The default does nothing.
    virtual void applyThreadBoost(ThreadBoost boost, bool rs485);
    // ---- Pieces of the threads' work, shared by every device layer -----------------------------
    // Reads the device's line status and ORs its errors into the accumulator.
    LineStatus readLineStatus();
    // One pass of the dispatcher thread. eventMask: device events since the last pass (0 when the
    // pass was started by the period). Returns false when the thread must end.
    bool dispatcherPass(uint32_t eventMask);
    // Called by the dispatcher thread when it leaves its loop; performs a release left to it.
    void dispatcherThreadExit();
    // For the device layer's destructor: completes a deferred close or closes, and stops the threads.
    void shutdownForDestroy();
    // Output thread: the pending bytes in at most two pieces (false: none), and the advance after
    // count bytes were written (or dropped).
    bool takeOutputPieces(ByteRing::Span& first, ByteRing::Span& second);
    void advanceOutput(uint32_t count);
    bool outputPending();
    void clearOutputRing(); // a transmit flush: the output side drops what it has not written
    bool inputFull();       // the device layer stops asking for received bytes

    // Records the failure that ended the device (the first one counts), drops what the output
    // ring still held, wakes every sleeper of this port and tells the port-error handler.
    void reportPortError(const PortError& failure);

    void setRingFlag();
    bool stopThreadsRequested() const;
    bool doneRequested() const;
    void requestStopThreads();

    PortError openError_;
    std::atomic<uint64_t> bytesReceived_{0};

  private:
    struct Work; // the threads' and the trigger checks' private steps (serial/dispatcher_state.h)
    std::unique_ptr<DispatcherState> s_;
};

} // namespace brimwell::serial
