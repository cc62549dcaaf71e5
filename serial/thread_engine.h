// The thread engine: the three threads of an open port over the descriptor of its device layer
// (serial/device_layer.h: a tty, a raw socket, an RFC 2217 server, the paced test line).
// - com thread: poll() on the descriptor and a wake-up eventfd; hands device events to the
//   dispatcher thread and waits until that pass has run;
// - dispatcher thread: a pass at every event and at least every kDispatcherPeriodMs;
// - output thread: writes the output ring with writev(), waits for room with poll(), and is
//   aborted by a transmit flush through an eventfd.
// The device layer opens the descriptor and does the device's own operations (line settings, modem
// lines, line errors, purge, reads and writes); the engine decides when.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include <sys/uio.h>

#include "serial/dispatcher.h"

namespace brimwell::serial {

// How long a transmit flush waits for the output thread to let go of the output ring.
inline constexpr int kFlushAbortTimeoutMs = 5000;
// How long starting waits for each thread to report that it runs.
inline constexpr int kThreadStartTimeoutMs = 3000;
// The dispatcher thread runs a pass at least this often.
inline constexpr int kDispatcherPeriodMs = 50;

class ThreadEngine : public Dispatcher, private DeviceEvents {
  public:
    // owner: the component (may be null).
    explicit ThreadEngine(std::unique_ptr<DeviceLayer> device, void* owner = nullptr);
    ~ThreadEngine() override;

    DeviceLayer& device() override { return *device_; }

    // Running background threads of this port (0 after a completed close).
    int runningThreads() const { return runningThreads_.load(); }
    // Kernel thread ids of the com, dispatcher and output threads (0 where not running).
    std::array<int, 3> threadIds() const {
        return {comTid_.load(), dispatcherTid_.load(), outputTid_.load()};
    }

  protected:
    int32_t openCom(const std::string& name) override;
    int32_t closeCom() override;
    int32_t readCom(uint8_t* buffer, uint32_t n) override;
    void signalOutputRequest() override;
    uint32_t tryWriteDirect(const uint8_t* buffer, uint32_t n) override;
    void abortOutput() override;
    void startDispatcher() override;
    void stopDispatcher() override;
    void processCommunications() override;
    void applyThreadBoost(ThreadBoost boost, bool rs485) override;

  private:
    // DeviceEvents: what the device layer found on its own.
    void post(uint32_t events) override;
    // Ends the open device as lost (the port error is reported, the threads stop using it).
    void lose() override;
    // True when err says the device is gone; it is then lost.
    bool deviceFailed(int err);

    template <typename Body, typename OnExit>
    void runPortThread(std::atomic<int>& tid, const char* what, Body body, OnExit onExit);
    // Tells every thread to stop, wakes them all, and joins the two that block on the device.
    void stopDeviceThreads();
    void comThreadBody();
    void dispatcherThreadBody();
    void outputThreadBody();
    void writeLoop(int fd);
    void acknowledgeOutput();
    void setReady();
    void closeDescriptors();

    std::unique_ptr<DeviceLayer> device_;
    // The device's descriptor while open; the com and output threads poll it (it is closed only
    // after they have ended).
    std::atomic<int> fd_{-1};
    int wakeFd_ = -1; // wakes the com thread (shutdown)
    int outReqFd_ = -1;
    int outAbortFd_ = -1;

    std::thread comThread_, dispatcherThread_, outputThread_;
    std::atomic<bool> started_{false};
    std::atomic<int> runningThreads_{0};
    std::atomic<int> comTid_{0}, dispatcherTid_{0}, outputTid_{0};
    std::atomic<bool> boosted_{false};

    // com-event / ready hand-off between the com thread and the dispatcher thread.
    std::mutex eventMutex_;
    std::condition_variable eventCv_;
    uint32_t pendingEvents_ = 0;
    bool comEvent_ = false;
    bool postedEvent_ = false; // events from a layer's watcher (no answer awaited)
    bool ready_ = true;
    // acknowledge from the output thread after an abort, and from threads at start.
    std::mutex ackMutex_;
    std::condition_variable ackCv_;
    uint64_t outputAcks_ = 0;
    int startAcks_ = 0;
    std::atomic<bool> abortRequested_{false}; // set with output-abort; the write loop checks it
    std::atomic<bool> writerIdle_{false};     // the output thread waits for output-request
};

} // namespace brimwell::serial
