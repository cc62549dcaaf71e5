// The port availability test over a short-lived serial-device dispatcher.
#include "serial/port_available.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "serial/net_endpoint.h"
#include "serial/port_names.h"
#include "serial/termios_dispatcher.h"

namespace brimwell::serial {
namespace {

// Gives the test the device layer's bare open and close, without the line configuration and
// threads that initPort would add.
class AvailabilityProbe : public TermiosDispatcher {
  public:
    AvailabilityProbe() : TermiosDispatcher(nullptr) {}

    // None when the device opened (it is closed again), else why the open failed.
    PortErrorKind probe(const std::string& path) {
        if (openCom(path, kProbeQueueSize, kProbeQueueSize) >= 0) {
            closeCom();
            return PortErrorKind::None;
        }
        return openError() ? openError().kind : PortErrorKind::NotFound;
    }

  private:
    static constexpr uint32_t kProbeQueueSize = 64;
};

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
            AvailabilityProbe probe;
            error = probe.probe(path);
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
