// The port error: a device that went away or refused a write for good ends the port's work at
// once, instead of leaving every caller to wait out its own limit on a device that cannot answer.
#include <unistd.h>

#include "serial/dispatcher.h"
#include "serial/dispatcher_state.h"
#include "serial/event_fd.h"

namespace brimwell::serial {

int32_t Dispatcher::portError() const {
    return s_->portError.load();
}

void Dispatcher::setPortErrorHandler(PortErrorHandler handler) {
    std::lock_guard<std::mutex> g(s_->portErrorMutex);
    s_->portErrorHandler = std::move(handler);
}

PortError Dispatcher::portFailure() const {
    std::lock_guard<std::mutex> g(s_->portErrorMutex);
    return s_->portFailure;
}

void Dispatcher::reportPortError(const PortError& failure) {
    // Called where the failure is found, possibly with the device lock held: no dispatcher lock
    // is taken here (the output thread empties its ring when it sees the error). The code and the
    // value change together, so a reader that sees the code finds the value.
    if (failure.code >= 0) return;
    PortErrorHandler handler;
    {
        std::lock_guard<std::mutex> g(s_->portErrorMutex);
        int32_t none = 0;
        if (!s_->portError.compare_exchange_strong(none, failure.code)) return;
        s_->portFailure = failure;
        handler = s_->portErrorHandler;
    }
    if (s_->inputWaiters.load() > 0) signalEventFd(s_->inputEventFd.load());
    if (handler) handler(failure.code);
}

} // namespace brimwell::serial
