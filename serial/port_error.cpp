// The device layers' failures as one value: the kind, the errno and the result code the
// dispatcher's operations have always returned for them.
#include "serial/port_error.h"

#include "serial/error_codes.h"
#include "serial/error_messages.h"

#include <cerrno>

namespace brimwell::serial {
namespace {

// The open codes keep the platform's classic numbers: 2 no such device, 3 no such path,
// 5 in use, 13 no permission; other errors are minus their errno.
constexpr int32_t kOpenNoPermission = -13;

PortError make(PortErrorKind kind, int err, int32_t code, std::string text = {}) {
    if (text.empty()) text = errorText(code);
    return {kind, err, code, std::move(text)};
}

} // namespace

PortError openFailure(int err) {
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO: // a device node without hardware behind it, or a pseudo-terminal without its master
        return make(PortErrorKind::NotFound, err, result::kFileNotFound);
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return make(PortErrorKind::NotFound, err, result::kPathNotFound);
    case EBUSY:
    case EWOULDBLOCK:
        return make(PortErrorKind::InUse, err, result::kAccessDenied);
    case EACCES:
    case EPERM:
    case EROFS:
        return make(PortErrorKind::Permission, err, kOpenNoPermission);
    case ENOTTY:
        return make(PortErrorKind::Unsupported, err, -err);
    case ETIMEDOUT:
        return make(PortErrorKind::TimedOut, err, -err);
    default:
        return make(PortErrorKind::Refused, err, -err);
    }
}

PortError socketFailure(int32_t code, int sysErrno) {
    switch (code) {
    case result::kSocketBadAddress:
    case result::kSocketNetUnreachable:
    case result::kSocketHostUnreachable:
    case result::kSocketHostNotFound:
        return make(PortErrorKind::NotFound, sysErrno, code);
    case result::kSocketTimedOut:
        return make(PortErrorKind::TimedOut, sysErrno, code);
    case result::kSocketNoComPortOption:
        return make(PortErrorKind::Unsupported, sysErrno, code);
    case result::kSocketConnectionLost:
        return make(PortErrorKind::Lost, sysErrno, code);
    default: // refused, stopped, a peer out of step
        return make(PortErrorKind::Refused, sysErrno, code);
    }
}

PortError deviceLoss(int32_t cause) {
    // The loss itself is "device not open" for every later operation; the cause only adds to the text.
    return {PortErrorKind::Lost, 0, result::kCommNotOpen, cause != 0 ? errorText(cause) : std::string()};
}

PortError writeRefusal(int err) {
    return make(PortErrorKind::Refused, err, result::kDeviceWrite);
}

} // namespace brimwell::serial
