// Letting the application's pending events run from inside a long operation on the UI thread,
// shared by the port component, the script engine and the command line.
#pragma once

#include <cstdint>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace brimwell::serial {

// Runs the events pending for the calling thread once (timers, posted events, input).
// Does nothing when there is no application object.
void processPendingEvents();

// True once the application is shutting down (its main loop is about to end or has ended);
// long waits use it to give up early.
bool applicationTerminating();

// Sleeps until a descriptor becomes readable or a time has passed. With message processing, the
// calling thread's events are processed as they come during the sleep (the descriptor is watched
// by the event loop); without, or without an application object, it is a plain poll().
class DescriptorSleep {
  public:
    // fd: watched through a duplicate, so its owner may close it while this object lives; -1
    // makes every sleep a plain one.
    explicit DescriptorSleep(int fd);
    ~DescriptorSleep();
    DescriptorSleep(const DescriptorSleep&) = delete;
    DescriptorSleep& operator=(const DescriptorSleep&) = delete;

    void sleep(int64_t maxMicros, bool processMessages);

  private:
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> timer_;
};

} // namespace brimwell::serial
