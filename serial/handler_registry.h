// The consumers of one port's notifications: registration, deregistration that is deferred while
// a notification walks the lists, and the delivery of one notification to every consumer.
//
// Deregistration is safe: when it returns, the handler is not being called and never will be
// again, so its owner may free it at once; it waits for a call in progress on another thread.
// Two cases do not wait, because the call they would wait for is waiting for them: a call from
// the dispatcher thread itself (a handler deregistering from inside a notification; its owner
// frees it after that notification), and window and synchronised handlers, whose calls run on
// the user-interface thread while the dispatcher thread waits for them.
//
// The registry's lock is a leaf: nothing is taken while it is held, and no handler is called
// under it. Call the operations with none of the port's locks held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/triggers.h"

namespace brimwell::serial {

class HandlerRegistry {
  public:
    // How synchronised event handlers reach the main thread (process-wide, see
    // Dispatcher::setMainThreadSynchronizer).
    using MainThreadSynchronizer = std::function<void(const std::function<void()>&)>;
    static void setMainThreadSynchronizer(MainThreadSynchronizer synchronizer);

    // 0 or result::kBadArgument (a null handler, or none registered to remove).
    int32_t addWindow(WindowHandler* window);
    int32_t addProc(TriggerProc proc);
    int32_t addEvent(TriggerEventHandler* handler, bool sync);
    int32_t removeWindow(WindowHandler* window);
    int32_t removeProc(TriggerProc proc);
    int32_t removeEvent(TriggerEventHandler* handler);
    void updateFlags(HandlerFlagUpdate update);

    // The handler-service flag: some consumer wants notifications.
    bool wanted() const;
    bool delivering() const;
    // True once after a consumer joined (what waits is then announced to it).
    bool takeJoined();
    // A new open: nothing is being delivered, no removal is pending.
    void resetDelivery();

    // Calls every live consumer with `message`: event handlers, procedure handlers, then window
    // handlers when more than one is registered or the port-handler flag is set. Each call is
    // made through `consume`, which runs it and returns false to stop the delivery. Marks the
    // registry delivering until endDelivery().
    void deliver(const TriggerMessage& message,
                 const std::function<bool(const std::function<void()>&)>& consume);
    // Removes the entries deregistered during the delivery.
    void endDelivery();

  private:
    enum class Kind : uint8_t { Window, Proc, Event, SyncEvent };
    struct Entry {
        Kind kind;
        const void* identity; // the handler object or procedure, as registered
        WindowHandler* window = nullptr;
        TriggerProc proc = nullptr;
        TriggerEventHandler* event = nullptr;
        bool deleted = false;
    };

    int32_t add(Entry entry);
    int32_t remove(const void* identity, bool window);
    void recomputeService();
    // Copies the next live entry of `list` from index i on into `entry` and marks it in call;
    // false past the end.
    bool beginCall(const std::vector<Entry>& list, size_t& i, Entry& entry);
    void endCall();

    mutable std::mutex lock_;
    std::condition_variable callEnded_;
    std::vector<Entry> events_; // event and synchronised event handlers, in registration order
    std::vector<Entry> procs_;
    std::vector<Entry> windows_;
    bool delivering_ = false;
    bool deletionPending_ = false;
    bool portHandler_ = false;
    bool service_ = false;
    bool joined_ = false;
    const void* inCall_ = nullptr; // the handler being called, and on which thread
    std::thread::id callThread_;
};

} // namespace brimwell::serial
