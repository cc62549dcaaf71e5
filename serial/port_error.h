// What went wrong with a port's device, as the device layer found it. The one value that travels
// from the device layer up to the component; the component alone turns it into the exceptions and
// result codes of its operations (serial/component/com_port_error.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace brimwell::serial {

enum class PortErrorKind {
    None,
    NotFound,    // no such device, path or host
    Permission,  // the device exists, this user may not open it
    InUse,       // another program holds it
    Lost,        // it went away while open (hung up, unplugged, its peer gone)
    Refused,     // it refused the open or, for good, a write
    TimedOut,    // it gave no answer in time
    Unsupported, // it is not a device of the kind asked for (not a terminal, no COM-PORT option)
};

struct PortError {
    PortErrorKind kind = PortErrorKind::None;
    int sysErrno = 0; // the system's error number behind it (0 when none)
    int32_t code = 0; // the result code the dispatcher's operations return for it
    std::string text; // what the operator reads of it ("" when the kind says it all)

    explicit operator bool() const { return kind != PortErrorKind::None; }
};

// An open of a device path that the system refused with `err`.
PortError openFailure(int err);
// A network port's failure: a result::kSocket... code and the errno behind it.
PortError socketFailure(int32_t code, int sysErrno = 0);
// The open device went away; `cause` is a code whose message says why (0: nothing to add).
PortError deviceLoss(int32_t cause = 0);
// The device refused the bytes for good.
PortError writeRefusal(int err);

} // namespace brimwell::serial
