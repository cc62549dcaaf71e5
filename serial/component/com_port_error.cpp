// The component's side of a port error: the dispatcher's news carried to the UI thread as the
// OnPortError event, and the operator's text for it.
#include <QMetaObject>
#include <QPointer>

#include "serial/component/com_notifier.h"
#include "serial/component/com_port.h"
#include "serial/error_messages.h"
#include "serial/port_names.h"

namespace brimwell {

void TQuavCustomComPort::watchPortError() {
    QPointer<ComNotifier> notifier(notifier_.get());
    TQuavBaseDispatcher* d = dispatcher_.get();
    dispatcher_->SetPortErrorHandler([this, notifier, d](int32_t code) {
        if (notifier.isNull()) return;
        // Queued on the notifier: it is gone (and the call dropped) when the component is.
        QMetaObject::invokeMethod(
            notifier.data(),
            [this, d, code] {
                // A later open has its own dispatcher; an old loss is not news for it.
                if (dispatcher_.get() != d || state_ != psOpen) return;
                if (auto handler = onPortError_) handler(self(), code);
            },
            Qt::QueuedConnection);
    });
}

int32_t TQuavCustomComPort::PortError() const {
    return state_ == psOpen && dispatcher_ ? dispatcher_->PortError() : 0;
}

uint32_t TQuavCustomComPort::DriverQueueAhead() {
    if (state_ != psOpen || !dispatcher_) return 0;
    const int32_t queued = dispatcher_->DriverOutQueue();
    return queued >= 0 ? uint32_t(queued) : dispatcher_->DriverQueueSize();
}

std::string TQuavCustomComPort::DevicePath() const {
    return state_ == psOpen && dispatcher_ ? dispatcher_->DeviceName() : std::string();
}

void TQuavCustomComPort::checkPortError() const {
    if (const int32_t code = PortError(); code != 0) check(code);
}

std::string TQuavCustomComPort::PortErrorText() const {
    const int32_t code = PortError();
    if (code == 0) return {};
    const std::string port = portLabel(comNumber_, DevicePath());
    if (code == secCommNotOpen) {
        const int32_t cause = dispatcher_->LossCause();
        return "The connection to " + port + " was lost." +
               (cause != 0 ? " " + QuavLoadStr(cause) + "." : "");
    }
    return "Writing to " + port + " failed: " + QuavLoadStr(code) + ".";
}

} // namespace brimwell
