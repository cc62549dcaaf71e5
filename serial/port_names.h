// The one table from port numbers COM1..COM50 to Linux device paths.
// COMn is /dev/ttyS(n-1) unless the environment variable BRIMWELL_COMn names another path, or a
// USB adapter as usb:VID:PID[:SERIAL], which is looked up each time the port is opened.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brimwell::serial {

inline constexpr uint32_t kFirstComNumber = 1;
inline constexpr uint32_t kLastComNumber = 50;

// "COM" followed by n in decimal.
std::string comName(uint32_t n);

// The device name a port number is opened under ("\\.\COM" followed by n), kept as the name the
// component hands to its dispatcher and writes into messages.
std::string comDeviceName(uint32_t n);

// What COMn is set to: BRIMWELL_COMn, else /dev/ttyS(n-1); "" when n is outside 1..50. A usb:
// name is returned as written.
std::string comPortSetting(uint32_t n);

// The device path of COMn: its setting, with a usb: name looked up now (an adapter plugged into
// another socket has another path); "" when n is outside 1..50 or the usb: name finds no single
// adapter.
std::string comDevicePath(uint32_t n);

// usb:VID:PID or usb:VID:PID:SERIAL (the prefix case-insensitive).
bool isUsbPortName(std::string_view name);

// Finds the one device a usb: name stands for: its path, or "" with the reason in `error`. The
// finder that knows the machine's USB devices installs it; until then usb: names find nothing.
using UsbPortResolver = std::string (*)(std::string_view name, std::string& error);
void setUsbPortResolver(UsbPortResolver resolver);

// The port number in "\\.\COMn" or "COMn" (case-insensitive), or nothing for other names.
std::optional<uint32_t> comNumberOf(std::string_view name);

// The port number that opens the device at `path`: a number already mapped to it (by default or by
// BRIMWELL_COMn), else the highest number from COM50 down to COM3 that no variable maps, which is
// then pointed at the path for this process (COM1 and COM2 stay for probing). 0 when every number
// is taken or the path is empty.
uint32_t comNumberForDevice(const std::string& path);

// True when port n stands for a device the user named by its path, URL or usb: name (through
// comNumberForDevice) rather than by its number.
bool comNamedByPath(uint32_t n);

// Port n as the user named it, for the operator: the path, URL or usb: name (a usb: name with the
// device it found, "usb:0403:6001 (/dev/ttyUSB0)"), and "COMn (DEVICE)" only for a port named by
// its number. `device` is the open device's path when known ("" looks it up).
std::string portLabel(uint32_t n, const std::string& device = {});

// True when `path` (or the node its links end at) is a kernel console (/proc/consoles, or
// /sys/class/tty/console/active): the machine's own terminal, never opened or probed as a port.
bool isKernelConsole(const std::string& path);

// Resolves a device name to a path: COM names through the table, usb: names through the
// resolver, anything else unchanged. "" for a COM name outside the table or a usb: name that
// finds no single device; `error`, when given, then says why.
std::string resolveDevicePath(std::string_view name, std::string* error = nullptr);

} // namespace brimwell::serial
