// The component's side of a device layer's PortError, the one place it becomes the component's
// exceptions, result codes and operator texts: a failed open, and a device lost or refusing
// writes while open (carried to the UI thread as the onPortError event).
#include <QMetaObject>
#include <QPointer>

#include "serial/component/com_notifier.h"
#include "serial/component/com_port.h"
#include "serial/component/exceptions.h"
#include "serial/device_access.h"
#include "serial/error_messages.h"
#include "serial/port_names.h"

namespace brimwell::serial {
namespace {

// Text for a device that exists but may not be opened by this user: names the device, says
// what is missing and what would grant it.
std::string accessDeniedMessage(uint16_t comNumber, const std::string& path) {
    const std::string advice = accessAdvice(path);
    return "Cannot open " + portLabel(comNumber, path) + ": permission denied; " +
           (advice.empty() ? "this user may not read and write the device" : advice);
}

} // namespace

void ComPort::raiseOpenFailure(const PortError& error, int32_t code, const std::string& path) {
    // A failure after the device opened (a line setting it refused) has no device error behind it.
    switch (error.code == code ? error.kind : PortErrorKind::None) {
    case PortErrorKind::InUse:
        raiseCode(result::kAlreadyOpen);
    case PortErrorKind::NotFound:
        // A network port's host or address keeps its own socket error.
        if (code == result::kFileNotFound || code == result::kPathNotFound) raiseCode(result::kBadId);
        break;
    case PortErrorKind::Permission:
        throw PortAccessDeniedError(path, accessDeniedMessage(comNumber_, path));
    default:
        break;
    }
    check(code);
}

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
    if (portError() == 0) return {};
    const PortError failure = dispatcher_->portFailure();
    const std::string port = portLabel(comNumber_, devicePath());
    if (failure.kind == PortErrorKind::Lost)
        return "The connection to " + port + " was lost." +
               (failure.text.empty() ? "" : " " + failure.text + ".");
    return "Writing to " + port + " failed: " + failure.text + ".";
}

} // namespace brimwell::serial
