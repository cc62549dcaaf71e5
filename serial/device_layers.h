// The device layer a port name calls for: termios for device paths, the socket layer for
// socket://HOST:PORT, the RFC 2217 layer for rfc2217://HOST:PORT, and any layer a program added
// for a prefix of its own (a test bench's simulated line).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "serial/device_layer.h"

namespace brimwell::serial {

std::unique_ptr<DeviceLayer> makeDeviceLayer(const std::string& path);

using DeviceLayerFactory = std::function<std::unique_ptr<DeviceLayer>()>;
// From now on port names starting with `prefix` open through `factory` (set up before any port opens).
void registerDeviceLayer(const std::string& prefix, DeviceLayerFactory factory);
// True when a registered layer serves `path`: it names no device node that could be checked first.
bool isRegisteredLayerName(const std::string& path);

} // namespace brimwell::serial
