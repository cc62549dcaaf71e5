// Registration, deferred removal and delivery of a port's notification consumers.
#include "serial/handler_registry.h"

#include <algorithm>
#include <utility>

#include "serial/error_codes.h"

namespace brimwell::serial {
namespace {

using Guard = std::lock_guard<std::mutex>;

std::mutex& synchronizerLock() {
    static std::mutex m;
    return m;
}

HandlerRegistry::MainThreadSynchronizer& synchronizer() {
    static HandlerRegistry::MainThreadSynchronizer s;
    return s;
}

} // namespace

void HandlerRegistry::setMainThreadSynchronizer(MainThreadSynchronizer s) {
    Guard g(synchronizerLock());
    synchronizer() = std::move(s);
}

int32_t HandlerRegistry::add(Entry entry) {
    if (entry.identity == nullptr) return result::kBadArgument;
    Guard g(lock_);
    auto& list = entry.kind == Kind::Window ? windows_ : entry.kind == Kind::Proc ? procs_ : events_;
    list.push_back(entry);
    service_ = true;
    joined_ = true;
    return result::kOk;
}

int32_t HandlerRegistry::addWindow(WindowHandler* window) {
    return add({Kind::Window, window, window});
}

int32_t HandlerRegistry::addProc(TriggerProc proc) {
    return add({Kind::Proc, reinterpret_cast<const void*>(proc), nullptr, proc});
}

int32_t HandlerRegistry::addEvent(TriggerEventHandler* handler, bool sync) {
    return add({sync ? Kind::SyncEvent : Kind::Event, handler, nullptr, nullptr, handler});
}

int32_t HandlerRegistry::remove(const void* identity, bool window) {
    std::unique_lock<std::mutex> g(lock_);
    bool found = false;
    bool mayWait = false;
    for (auto* list : {&events_, &procs_, &windows_}) {
        if ((list == &windows_) != window) continue;
        auto it = std::find_if(list->begin(), list->end(),
                               [&](const Entry& e) { return !e.deleted && e.identity == identity; });
        if (it == list->end()) continue;
        found = true;
        mayWait = it->kind == Kind::Event || it->kind == Kind::Proc;
        // While a notification walks the lists the entry is only marked; it goes when that ends.
        if (delivering_) {
            it->deleted = true;
            deletionPending_ = true;
        } else {
            list->erase(it);
            recomputeService();
        }
        break;
    }
    if (!found) return result::kBadArgument;
    if (mayWait && callThread_ != std::this_thread::get_id())
        callEnded_.wait(g, [&] { return inCall_ != identity; });
    return result::kOk;
}

int32_t HandlerRegistry::removeWindow(WindowHandler* window) {
    return remove(window, true);
}

int32_t HandlerRegistry::removeProc(TriggerProc proc) {
    return remove(reinterpret_cast<const void*>(proc), false);
}

int32_t HandlerRegistry::removeEvent(TriggerEventHandler* handler) {
    return remove(handler, false);
}

// The component's own window handler is always the first window handler, which is why a single
// window handler does not count as wanting notifications.
void HandlerRegistry::recomputeService() {
    auto live = [](const std::vector<Entry>& list) {
        return std::count_if(list.begin(), list.end(), [](const Entry& e) { return !e.deleted; });
    };
    service_ = live(windows_) > 1 || live(procs_) > 0 || live(events_) > 0 || portHandler_;
}

void HandlerRegistry::updateFlags(HandlerFlagUpdate update) {
    Guard g(lock_);
    switch (update) {
    case HandlerFlagUpdate::KeepPort:
        break;
    case HandlerFlagUpdate::EnablePort:
        portHandler_ = true;
        break;
    case HandlerFlagUpdate::DisablePort:
        portHandler_ = false;
        break;
    }
    recomputeService();
}

bool HandlerRegistry::wanted() const {
    Guard g(lock_);
    return service_;
}

bool HandlerRegistry::delivering() const {
    Guard g(lock_);
    return delivering_;
}

bool HandlerRegistry::takeJoined() {
    Guard g(lock_);
    return std::exchange(joined_, false);
}

void HandlerRegistry::resetDelivery() {
    Guard g(lock_);
    delivering_ = false;
    deletionPending_ = false;
}

bool HandlerRegistry::beginCall(const std::vector<Entry>& list, size_t& i, Entry& entry) {
    Guard g(lock_);
    for (; i < list.size(); ++i) {
        if (list[i].deleted) continue;
        entry = list[i++];
        inCall_ = entry.identity;
        callThread_ = std::this_thread::get_id();
        return true;
    }
    return false;
}

void HandlerRegistry::endCall() {
    {
        Guard g(lock_);
        inCall_ = nullptr;
        callThread_ = std::thread::id();
    }
    callEnded_.notify_all();
}

void HandlerRegistry::deliver(const TriggerMessage& message,
                              const std::function<bool(const std::function<void()>&)>& consume) {
    bool windows;
    {
        Guard g(lock_);
        delivering_ = true;
        windows = windows_.size() > 1 || portHandler_;
    }
    auto run = [&](const std::function<void()>& call) {
        const bool goOn = consume(call);
        endCall();
        return goOn;
    };
    Entry e{};
    for (size_t i = 0; beginCall(events_, i, e);) {
        if (!run([&] {
                if (e.kind == Kind::SyncEvent) {
                    MainThreadSynchronizer sync;
                    {
                        Guard g(synchronizerLock());
                        sync = synchronizer();
                    }
                    if (sync) {
                        sync([&] { e.event->handleTrigger(message); });
                        return;
                    }
                }
                e.event->handleTrigger(message);
            }))
            return;
    }
    for (size_t i = 0; beginCall(procs_, i, e);)
        if (!run([&] { e.proc(message.msg, message.wParam, message.lParam); })) return;
    if (!windows) return;
    for (size_t i = 0; beginCall(windows_, i, e);)
        if (!run([&] { e.window->sendTriggerMessage(message); })) return;
}

void HandlerRegistry::endDelivery() {
    Guard g(lock_);
    delivering_ = false;
    if (!deletionPending_) return;
    for (auto* list : {&events_, &procs_, &windows_})
        list->erase(std::remove_if(list->begin(), list->end(), [](const Entry& e) { return e.deleted; }),
                    list->end());
    deletionPending_ = false;
    recomputeService();
}

} // namespace brimwell::serial
