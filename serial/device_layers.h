// The device layer a port name calls for: termios for device paths, the socket layer for
// socket://HOST:PORT, the RFC 2217 layer for rfc2217://HOST:PORT.
#pragma once

#include <memory>
#include <string>

#include "serial/dispatcher.h"

namespace brimwell {

std::unique_ptr<TQuavBaseDispatcher> makeDeviceLayer(const std::string& path, void* owner);

} // namespace brimwell
