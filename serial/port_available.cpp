// The port availability test over a short-lived serial-device dispatcher.
#include "serial/port_available.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "serial/net_endpoint.h"
#include "serial/port_names.h"
#include "serial/termios_device.h"

namespace brimwell::serial {
namespace {

// The device layer's bare open and close, without the line configuration and threads that
// initPort would add: None when the device opened (it is closed again), else why the open failed.
PortErrorKind probeDevice(const std::string& path) {
    TermiosDevice device;
    PortError error;
    if (device.open(path, error) >= 0) {
        device.close();
        return PortErrorKind::None;
    }
    return error ? error.kind : PortErrorKind::NotFound;
}

bool deniedButPresent(PortErrorKind error) {
    return error == PortErrorKind::InUse || error == PortErrorKind::Permission;
}

} // namespace

bool isPortAvailable(uint32_t n) {
    if (n == 0) return false;
    const std::string path = comDevicePath(n);
    if (path.empty()) return false;
    // Testing a serial server's port would take its one connection from whoever holds it; whether
    // it answers is for the open to find out.
    if (isNetworkPortName(path)) return parseNetEndpoint(path).has_value();
    // The machine's own terminal is no port to offer, and opening it is not harmless.
    if (isKernelConsole(path)) return false;
    try {
        PortErrorKind error = PortErrorKind::None;
        if (useDispatcherForAvail) {
            error = probeDevice(path);
        } else {
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
            else
                error = errno == EACCES  ? PortErrorKind::Permission
                        : errno == EBUSY ? PortErrorKind::InUse
                                         : PortErrorKind::NotFound;
        }
        if (error == PortErrorKind::None) return true;
        return showPortsInUse && deniedButPresent(error);
    } catch (...) {
        return false;
    }
}

} // namespace brimwell::serial
