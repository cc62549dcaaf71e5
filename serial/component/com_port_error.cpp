// The component's side of a port error: the dispatcher's news carried to the UI thread as the
// onPortError event, and the operator's text for it.
#include <QMetaObject>
#include <QPointer>

#include "serial/component/com_notifier.h"
#include "serial/component/com_port.h"
#include "serial/error_messages.h"
#include "serial/port_names.h"

namespace brimwell::serial {

void ComPort::watchPortError() {
    QPointer<ComNotifier> notifier(notifier_.get());
    Dispatcher* d = dispatcher_.get();
    dispatcher_->setPortErrorHandler([this, notifier, d](int32_t code) {
        if (notifier.isNull()) return;
        // Queued on the notifier: it is gone (and the call dropped) when the component is.
        QMetaObject::invokeMethod(
            notifier.data(),
            [this, d, code] {
                // A later open has its own dispatcher; an old loss is not news for it.
                if (dispatcher_.get() != d || state_ != PortState::Open) return;
                if (auto handler = onPortError_) handler(this, code);
            },
            Qt::QueuedConnection);
    });
}

int32_t ComPort::portError() const {
    return state_ == PortState::Open && dispatcher_ ? dispatcher_->portError() : 0;
}

uint32_t ComPort::driverQueueAhead() {
    if (state_ != PortState::Open || !dispatcher_) return 0;
    const int32_t queued = dispatcher_->driverOutQueue();
    return queued >= 0 ? uint32_t(queued) : dispatcher_->driverQueueSize();
}

std::string ComPort::devicePath() const {
    return state_ == PortState::Open && dispatcher_ ? dispatcher_->deviceName() : std::string();
}

void ComPort::checkPortError() const {
    if (const int32_t code = portError(); code != 0) check(code);
}

std::string ComPort::portErrorText() const {
    const int32_t code = portError();
    if (code == 0) return {};
    const std::string port = portLabel(comNumber_, devicePath());
    if (code == result::kCommNotOpen) {
        const int32_t cause = dispatcher_->lossCause();
        return "The connection to " + port + " was lost." + (cause != 0 ? " " + errorText(cause) + "." : "");
    }
    return "Writing to " + port + " failed: " + errorText(code) + ".";
}

} // namespace brimwell::serial
