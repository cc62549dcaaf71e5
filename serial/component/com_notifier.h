// The port component's notification object on the UI thread: the dispatcher thread hands it a
// trigger message and waits (at most the window-handler time-out) until the component's event
// handlers have run; it also carries the component's own deferred close-complete message.
#pragma once

#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "serial/triggers.h"

namespace brimwell::serial {

class ComNotifier : public QObject, public WindowHandler {
  public:
    // What the notifier calls on the UI thread: the component's window procedure for a trigger
    // message, and the end of a deferred close of the dispatcher with that handle.
    using MessageHandler = std::function<void(const TriggerMessage& message)>;
    using CloseCompleteHandler = std::function<void(int32_t handle)>;
    ComNotifier(MessageHandler onMessage, CloseCompleteHandler onCloseComplete);
    ~ComNotifier() override;

    // Dispatcher thread: post the message to the UI thread and wait until it has been handled,
    // at most kWindowHandlerTimeoutMs. False when it was not taken in time or the port is closing.
    bool sendTriggerMessage(const TriggerMessage& message) override;

    // UI thread: accept messages again (the port is being opened).
    void reopen();

    // UI thread: from now on refuse new messages (a close is under way); a message being handled
    // finishes normally.
    void shutdown();

    // UI thread, before a wait reads the input itself: takes back a message the UI thread has not
    // started on and waits (at most |timeoutMs|) until the dispatcher thread has left
    // sendTriggerMessage, so the delivery's shared reads are over. Does nothing while a message
    // is being handled (the wait then runs inside that handler).
    // Until endWait(), new messages are turned away at once.
    void withdrawPendingAndSettle(int timeoutMs);
    void endWait();

    // UI thread: post the close-complete message for the dispatcher with |handle|; |delayMs| > 0
    // posts it after that many milliseconds (used while the dispatcher is still busy).
    void postCloseComplete(int32_t handle, int delayMs = 0);

  protected:
    bool event(QEvent* e) override;

  private:
    struct Request {
        uint64_t id = 0;
        TriggerMessage message;
    };

    void runPending();

    MessageHandler onMessage_;
    CloseCompleteHandler onCloseComplete_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::optional<Request> pending_;
    uint64_t nextId_ = 0;
    uint64_t finishedId_ = 0;
    uint64_t withdrawnId_ = 0; // a message taken back before the UI thread started on it
    bool closing_ = false;
    bool waiting_ = false; // a wait of the component reads the input itself
    bool inSend_ = false;  // the dispatcher thread is inside sendTriggerMessage
    bool running_ = false; // the UI thread is running a message's handlers
};

} // namespace brimwell::serial
