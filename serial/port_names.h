// The one table from port numbers COM1..COM50 to Linux device paths.
// COMn is /dev/ttyS(n-1) unless the environment variable BRIMWELL_COMn names another path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brimwell {

inline constexpr uint32_t kFirstComNumber = 1;
inline constexpr uint32_t kLastComNumber = 50;

// "COM" followed by n in decimal.
std::string ComName(uint32_t n);

// The device name a port number is opened under ("\\.\COM" followed by n), kept as the name the
// component hands to its dispatcher and writes into messages.
std::string comDeviceName(uint32_t n);

// The device path of COMn; "" when n is outside 1..50.
std::string comDevicePath(uint32_t n);

// The port number in "\\.\COMn" or "COMn" (case-insensitive), or nothing for other names.
std::optional<uint32_t> comNumberOf(std::string_view name);

// The port number that opens the device at `path`: a number already mapped to it (by default or by
// BRIMWELL_COMn), else the highest number from COM50 down to COM3 that no variable maps, which is
// then pointed at the path for this process (COM1 and COM2 stay for probing). 0 when every number
// is taken or the path is empty.
uint32_t comNumberForDevice(const std::string& path);

// Resolves a device name to a path: COM names through the table, anything else unchanged.
// A COM name outside the table resolves to "".
std::string resolveDevicePath(std::string_view name);

} // namespace brimwell
