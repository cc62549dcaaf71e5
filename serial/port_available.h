// Whether a serial port number can be offered to the operator: the device exists and can be
// opened, or is merely held by another program.
#pragma once

#include <cstdint>

namespace brimwell::serial {

// Test by opening through a temporary serial-device dispatcher (rather than a bare open).
inline constexpr bool useDispatcherForAvail = true;
// A port that exists but is held by another program counts as available.
inline constexpr bool showPortsInUse = true;

// Opens COMn's device without configuring it and closes it again at once. Never throws.
// Port 0, numbers without a device and the kernel console (never opened) are not available. A device held by
// another open, or one this user lacks permission for, counts as available (opening it then reports why it
// fails).
bool isPortAvailable(uint32_t n);

} // namespace brimwell::serial
