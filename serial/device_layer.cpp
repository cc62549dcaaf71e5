// The part of a device layer that every layer shares: telling a lost device from a passing error.
#include "serial/device_layer.h"

#include <cerrno>

namespace brimwell::serial {

// Errors by which a descriptor says its device went away for good: a hung-up tty (EIO), an
// unplugged adapter (ENXIO, ENODEV), a peer that closed a connection.
bool deviceGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE || err == ECONNRESET ||
           err == ENOTCONN || err == ESHUTDOWN;
}

bool DeviceLayer::failed(int err) {
    if (!deviceGone(err)) return false;
    lose();
    return true;
}

} // namespace brimwell::serial
