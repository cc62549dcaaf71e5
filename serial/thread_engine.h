// The thread engine: the three threads of an open port over any file descriptor, for every device
// layer (termios today; a raw socket and an RFC 2217 layer are the same kind of thin class).
// - com thread: poll() on the descriptor and a wake-up eventfd; hands device events to the
//   dispatcher thread and waits until that pass has run;
// - dispatcher thread: a pass at every event and at least every kDispatcherPeriodMs;
// - output thread: writes the output ring with writev(), waits for room with poll(), and is
//   aborted by a transmit flush through an eventfd.
// A device layer supplies the opening of its descriptor and the device's own operations (line
// settings, modem lines, line errors, purge); the engine reads and writes the descriptor.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
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

class ThreadEngine : public Dispatcher {
  public:
    explicit ThreadEngine(void* owner = nullptr) : Dispatcher(owner) {}
    ~ThreadEngine() override;

    // Running background threads of this port (0 after a completed close).
    int runningThreads() const { return runningThreads_.load(); }
    // Kernel thread ids of the com, dispatcher and output threads (0 where not running).
    std::array<int, 3> threadIds() const {
        return {comTid_.load(), dispatcherTid_.load(), outputTid_.load()};
    }

  protected:
    // ---- The device, supplied by the device layer --------------------------------------------
    // Opens the device: its descriptor (non-blocking), or -1 with openError_ set.
    virtual int openDevice(const std::string& name) = 0;
    // The descriptor is about to be closed (the threads that block on it have ended).
    virtual void releaseDevice(int fd);
    // The threads have started / are being stopped: a layer's own watchers start and stop here.
    virtual void deviceThreadsStarted();
    virtual void deviceThreadsStopping();
    // The descriptor reported a hang-up or an error: the device (or the peer) went away. The
    // engine then stops watching it until the next period. Returns what the layer knows of why
    // (a code whose message names the cause, 0 when there is nothing to add).
    virtual int32_t deviceLost();

    // True when err says the device is gone (hung up, unplugged, its peer closed); the port error
    // is then reported and the threads stop using the descriptor.
    bool deviceFailed(int err);

    // Writes bytes to the descriptor (writev semantics: the count taken, or -1 with errno). A layer
    // whose wire format differs from the bytes (Telnet escaping) frames them here.
    virtual ssize_t writeDevice(int fd, const iovec* iov, int count);

    // How long the output thread waits for room when a write found the device full: -1 waits for
    // POLLOUT on the descriptor; a layer whose transmit queue is not the descriptor's own says
    // when its queue next has room.
    virtual int roomWaitMs();

    // Hands device events (ev... bits) found by a layer's own watcher to the dispatcher thread.
    void postDeviceEvents(uint32_t events);
    // Ends the open device as lost (the port error is reported, the threads stop using it): for
    // a layer that finds its device unusable in its own data (a peer breaking its protocol).
    void lose();

    // Held shared around every use of fd_, exclusively to close it.
    std::shared_mutex deviceLock_;
    int fd_ = -1;

    // ---- Supplied by the engine ---------------------------------------------------------------
    int32_t openCom(const std::string& name, uint32_t inSize, uint32_t outSize) override;
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
