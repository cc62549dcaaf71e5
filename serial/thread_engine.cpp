// The thread engine: eventfd wake-ups, the com, dispatcher and output threads over one
// descriptor, and their start and their one stop sequence.
#include "serial/thread_engine.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "serial/event_fd.h"
#include "serial/exception_report.h"

namespace brimwell::serial {
namespace {

// How often a write the device refuses (for another reason than being full) is tried again after a
// wait for room before the port reports the failure.
constexpr int kWriteRefusals = 3;
constexpr int kRefusalPauseMs = 100;

} // namespace

ThreadEngine::ThreadEngine(std::unique_ptr<DeviceLayer> device, void* owner)
    : Dispatcher(owner), device_(std::move(device)) {
    device_->attach(this);
}

ThreadEngine::~ThreadEngine() {
    shutdownForDestroy();
    closeDescriptors();
}

bool ThreadEngine::deviceFailed(int err) {
    if (!deviceGone(err)) return false;
    lose();
    return true;
}

// A lost device is the end of this open: the com and output threads leave their loops (the output
// thread keeps answering aborts until the close), and every caller hears of it at once.
void ThreadEngine::lose() {
    if (portError() != 0) return;
    reportPortError(deviceLoss(device_->lossCause()));
    signalEventFd(wakeFd_);
    signalEventFd(outReqFd_);
}

void ThreadEngine::closeDescriptors() {
    device_->close();
    fd_ = -1;
    for (int* fd : {&wakeFd_, &outReqFd_, &outAbortFd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

int32_t ThreadEngine::openCom(const std::string& name) {
    for (int* efd : {&wakeFd_, &outReqFd_, &outAbortFd_}) {
        if (*efd >= 0) continue;
        *efd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (*efd < 0) {
            closeDescriptors();
            return result::kOutOfMemory;
        }
    }
    const int fd = device_->open(name, openError_);
    if (fd < 0) return -1;
    drainEventFd(outReqFd_);
    drainEventFd(outAbortFd_);
    drainEventFd(wakeFd_);
    fd_ = fd;
    return fd;
}

int32_t ThreadEngine::closeCom() {
    // The com and output threads block on the device; they end before it is closed. The
    // dispatcher thread only makes non-blocking calls under the device lock and is stopped later.
    if (started_.load()) stopDeviceThreads();
    device_->close();
    fd_ = -1;
    return 0;
}

int32_t ThreadEngine::readCom(uint8_t* buffer, uint32_t n) {
    return n == 0 ? 0 : static_cast<int32_t>(device_->read(buffer, n));
}

uint32_t ThreadEngine::tryWriteDirect(const uint8_t* buffer, uint32_t n) {
    if (!writerIdle_.load() || abortRequested_.load() || stopThreadsRequested() || fd_.load() < 0) return 0;
    const iovec iov{const_cast<uint8_t*>(buffer), n};
    ssize_t w;
    do {
        w = device_->write(&iov, 1);
    } while (w < 0 && errno == EINTR);
    // A refusal other than a full device is left to the output thread, which retries and decides.
    return w > 0 ? static_cast<uint32_t>(w) : 0;
}

// Only an idle output thread needs waking: a busy one takes new bytes before it goes idle.
void ThreadEngine::signalOutputRequest() {
    if (writerIdle_.exchange(false)) signalEventFd(outReqFd_);
}

// The output thread empties the ring itself before it acknowledges, so it never goes back to bytes
// the flush is about to drop.
void ThreadEngine::abortOutput() {
    if (!outputThread_.joinable() || std::this_thread::get_id() == outputThread_.get_id()) return;
    std::unique_lock<std::mutex> lock(ackMutex_);
    const uint64_t before = outputAcks_;
    abortRequested_ = true;
    signalEventFd(outAbortFd_);
    ackCv_.wait_for(lock, std::chrono::milliseconds(kFlushAbortTimeoutMs),
                    [&] { return outputAcks_ != before || runningThreads_.load() == 0; });
}

// Raising a priority needs the right to (CAP_SYS_NICE); without it the threads stay at normal
// priority, which is also what the default boost asks for.
void ThreadEngine::applyThreadBoost(ThreadBoost boost, bool rs485) {
    const int steps = static_cast<int>(boost);
    // Threads never boosted are left alone, so a program started with a lower priority keeps it.
    if (steps == 0 && !rs485 && !boosted_.load()) return;
    boosted_ = true;
    for (const auto& [tid, extra] : {std::pair{comTid_.load(), 0}, std::pair{dispatcherTid_.load(), 0},
                                     std::pair{outputTid_.load(), rs485 ? 1 : 0}})
        if (tid > 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -(steps + extra));
}

void ThreadEngine::processCommunications() {
    ::sched_yield();
}

void ThreadEngine::post(uint32_t events) {
    {
        std::lock_guard<std::mutex> g(eventMutex_);
        pendingEvents_ |= events;
        postedEvent_ = true;
    }
    eventCv_.notify_all();
}

// ---- Starting and stopping ------------------------------------------------------------------

void ThreadEngine::startDispatcher() {
    if (started_.exchange(true)) throw std::logic_error("Dispatcher already started");
    writerIdle_ = false;
    abortRequested_ = false;
    {
        std::lock_guard<std::mutex> g(eventMutex_);
        pendingEvents_ = 0;
        comEvent_ = false;
        postedEvent_ = false;
        ready_ = true;
    }
    auto startOne = [this](std::thread& t, auto body) {
        std::unique_lock<std::mutex> lock(ackMutex_);
        const int before = startAcks_;
        t = std::thread(body);
        ackCv_.wait_for(lock, std::chrono::milliseconds(kThreadStartTimeoutMs),
                        [&] { return startAcks_ != before; });
    };
    startOne(comThread_, [this] {
        runPortThread(
            comTid_, "exception in the com thread", [this] { comThreadBody(); }, [] {});
    });
    startOne(dispatcherThread_, [this] {
        runPortThread(
            dispatcherTid_, "exception in the dispatcher thread", [this] { dispatcherThreadBody(); },
            [this] {
                setReady();
                dispatcherThreadExit();
            });
    });
    startOne(outputThread_, [this] {
        runPortThread(
            outputTid_, "exception in the output thread", [this] { outputThreadBody(); },
            [this] { acknowledgeOutput(); });
    });
    device_->threadsStarted();
}

void ThreadEngine::stopDeviceThreads() {
    requestStopThreads();
    abortRequested_ = true;
    signalEventFd(outAbortFd_);
    signalEventFd(wakeFd_);
    setReady();
    device_->threadsStopping();
    if (outputThread_.joinable()) outputThread_.join();
    if (comThread_.joinable()) comThread_.join();
}

void ThreadEngine::stopDispatcher() {
    stopDeviceThreads();
    if (dispatcherThread_.joinable()) {
        // A close requested from inside a notification runs on the dispatcher thread itself;
        // that thread ends on its own once the notification returns.
        if (std::this_thread::get_id() == dispatcherThread_.get_id())
            dispatcherThread_.detach();
        else
            dispatcherThread_.join();
    }
    started_ = false;
}

// The frame every port thread runs in: its id is visible while it runs, it counts as running, and an
// exception escaping its work is reported instead of ending the process; its exit duties (`onExit`)
// run all the same, before the thread stops counting.
template <typename Body, typename OnExit>
void ThreadEngine::runPortThread(std::atomic<int>& tid, const char* what, Body body, OnExit onExit) {
    tid = static_cast<int>(::gettid());
    applyThreadBoost(threadBoost(), rs485Mode());
    runningThreads_.fetch_add(1);
    {
        std::lock_guard<std::mutex> g(ackMutex_);
        ++startAcks_;
    }
    ackCv_.notify_all();
    try {
        body();
    } catch (...) {
        reportException(what, std::current_exception());
    }
    onExit();
    tid = 0;
    runningThreads_.fetch_sub(1);
    ackCv_.notify_all();
}

void ThreadEngine::setReady() {
    {
        std::lock_guard<std::mutex> g(eventMutex_);
        ready_ = true;
    }
    eventCv_.notify_all();
}

void ThreadEngine::acknowledgeOutput() {
    {
        std::lock_guard<std::mutex> g(ackMutex_);
        ++outputAcks_;
    }
    ackCv_.notify_all();
}

// ---- The threads ------------------------------------------------------------------------------

void ThreadEngine::comThreadBody() {
    const int fd = fd_.load();
    bool backOff = false;
    while (!stopThreadsRequested() && portError() == 0) {
        // With the input ring full, the peer gone, or a device that reports readiness without
        // bytes to read, poll() would return at once for ever; the dispatcher's periodic pass
        // picks up from there instead.
        const bool watchDevice = !backOff && !inputFull();
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {watchDevice ? fd : -1, POLLIN | POLLPRI, 0}};
        const int r = ::poll(fds, 2, watchDevice ? -1 : kDispatcherPeriodMs);
        if (stopThreadsRequested()) break;
        backOff = false;
        if (r < 0) continue;
        if (fds[0].revents & POLLIN) {
            drainEventFd(wakeFd_);
            continue;
        }
        uint32_t events = 0;
        if (fds[1].revents & (POLLIN | POLLPRI)) events |= kEventRxChar;
        // A hang-up: what the device still holds is read by one more pass, then the device counts
        // as lost (a hung-up tty or a closed peer never comes back on this descriptor).
        const bool hungUp = (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if (hungUp) events |= kEventRxChar;
        if (events == 0) continue;
        const uint64_t receivedBefore = bytesReceived();
        {
            std::unique_lock<std::mutex> lock(eventMutex_);
            pendingEvents_ |= events;
            comEvent_ = true;
            ready_ = false;
            eventCv_.notify_all();
            eventCv_.wait(lock, [this] { return ready_ || stopThreadsRequested(); });
        }
        if (hungUp) {
            lose();
            break;
        }
        if (bytesReceived() == receivedBefore && !inputFull()) backOff = true;
    }
}

void ThreadEngine::dispatcherThreadBody() {
    for (;;) {
        uint32_t events = 0;
        bool answered = false; // this pass serves an event the com thread waits on
        {
            std::unique_lock<std::mutex> lock(eventMutex_);
            eventCv_.wait_for(lock, std::chrono::milliseconds(kDispatcherPeriodMs),
                              [this] { return comEvent_ || postedEvent_ || stopThreadsRequested(); });
            events = pendingEvents_;
            pendingEvents_ = 0;
            answered = comEvent_;
            comEvent_ = false;
            postedEvent_ = false;
        }
        if (stopThreadsRequested() || doneRequested()) break;
        if (events & (kEventRing | kEventRingTe)) setRingFlag();
        const bool go = dispatcherPass(events);
        if (answered) setReady();
        if (!go) break;
    }
}

void ThreadEngine::outputThreadBody() {
    const int fd = fd_.load();
    while (!stopThreadsRequested() && !doneRequested()) {
        writerIdle_ = true;
        if (portError() != 0) {
            // Bytes that can no longer reach the device are not left to look like a slow line.
            clearOutputRing();
            // Nothing reaches a failed device; only aborts are still answered.
            pollfd abort{outAbortFd_, POLLIN, 0};
            if (::poll(&abort, 1, -1) > 0 && !stopThreadsRequested()) {
                abortRequested_ = false;
                drainEventFd(outAbortFd_);
                acknowledgeOutput();
            }
            continue;
        }
        // Bytes put between the last look at the ring and going idle found the thread busy
        // and did not wake it.
        if (outputPending() && !abortRequested_.load()) {
            writerIdle_ = false;
            writeLoop(fd);
            continue;
        }
        pollfd fds[2] = {{outReqFd_, POLLIN, 0}, {outAbortFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        writerIdle_ = false;
        if (fds[1].revents & POLLIN) {
            abortRequested_ = false;
            drainEventFd(outAbortFd_);
            clearOutputRing();
            acknowledgeOutput();
            continue;
        }
        if (fds[0].revents & POLLIN) {
            drainEventFd(outReqFd_);
            if (stopThreadsRequested()) break;
            writeLoop(fd);
        }
    }
}

// Writes the output ring until it is empty or a transmit flush aborts the write. The device is
// written first and waited for only when it is full, so a line that keeps up costs one call per
// piece of the ring. The descriptor polled for room stays open while this thread runs (it is closed
// after the thread was joined).
void ThreadEngine::writeLoop(int fd) {
    auto aborted = [this] {
        if (!abortRequested_.exchange(false)) return false;
        drainEventFd(outAbortFd_);
        clearOutputRing();
        acknowledgeOutput();
        return true;
    };
    auto waitForRoom = [&](int timeoutMs = -1) {
        const int ownQueueMs = timeoutMs < 0 ? device_->roomWaitMs() : -1;
        if (ownQueueMs >= 0) timeoutMs = ownQueueMs;
        pollfd fds[2] = {{outAbortFd_, POLLIN, 0}, {fd, POLLOUT, 0}};
        ::poll(fds, timeoutMs < 0 ? 2 : 1, timeoutMs);
        // A signal whose abort was already served would wake every poll from now on.
        if ((fds[0].revents & POLLIN) && !abortRequested_.load()) drainEventFd(outAbortFd_);
    };
    int refusals = 0;
    for (;;) {
        if (aborted() || portError() != 0) return;
        ByteRing::Span first, second;
        if (!takeOutputPieces(first, second)) return;
        iovec iov[2] = {{first.data, first.length}, {second.data, second.length}};
        const uint32_t offered = first.length + second.length;
        const ssize_t w = device_->write(iov, second.length > 0 ? 2 : 1);
        if (w > 0) {
            advanceOutput(static_cast<uint32_t>(w));
            // A short write means the device is full: the next write would only be refused, so
            // the wait for room comes first.
            if (static_cast<uint32_t>(w) < offered) waitForRoom();
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            waitForRoom();
            refusals = 0;
            continue;
        }
        // A device that is gone, or that refuses the bytes again after waits for room, ends the
        // port with an error: the bytes are neither dropped in silence nor retried for ever.
        const int err = w < 0 ? errno : EIO;
        if (deviceFailed(err)) return;
        if (++refusals > kWriteRefusals) {
            reportPortError(writeRefusal(err));
            return;
        }
        // Such a device may well report room all along: the pause is a real one.
        waitForRoom(kRefusalPauseMs);
    }
}

} // namespace brimwell::serial
