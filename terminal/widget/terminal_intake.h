// The terminal's intake: the queue that received bytes travel through from the dispatcher's thread
// to the user-interface thread, and the trigger handler that fills it. Shared ownership lets a
// notification that is still running finish safely after the terminal has gone.
#pragma once

#include "serial/dispatcher.h"
#include "serial/triggers.h"
#include "terminal/terminal_types.h"
#include "terminal/widget/byte_queue.h"

#include <QEvent>

#include <memory>
#include <mutex>

class QObject;

namespace brimwell::terminal {

// The terminal's own messages.
QEvent::Type termStuffEventType();       // QmTermStuff
QEvent::Type termForceSizeEventType();   // QmTermForceSize
QEvent::Type waitForPortEventType();     // QmWaitForPort
QEvent::Type termNeedsUpdateEventType(); // termNeedsUpdate

class TermStuffEvent : public QEvent {
  public:
    explicit TermStuffEvent(CharSource source) : QEvent(termStuffEventType()), source_(source) {}
    CharSource source() const { return source_; }

  private:
    CharSource source_;
};

struct TerminalIntake : public serial::TriggerEventHandler {
    // Runs on the dispatcher's thread: copies the announced bytes into the queue and queues one
    // QmTermStuff for them.
    void handleTrigger(const serial::TriggerMessage& message) override;

    std::mutex lock; // guards everything below
    ByteQueue queue;
    QObject* target = nullptr;                // receives QmTermStuff; null once the terminal is gone
    serial::Dispatcher* dispatcher = nullptr; // set while the handler is registered
};

} // namespace brimwell::terminal
