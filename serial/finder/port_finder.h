// The machine's serial devices as udev knows them, and usb:VID:PID[:SERIAL] port names: a station
// names its adapters by what they are rather than by the order they were plugged in.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimwell::serial {

struct SerialPortInfo {
    std::string device;   // the device node, /dev/ttyUSB0
    std::string byId;     // its /dev/serial/by-id link; "" when udev gave it none
    std::string vendorId; // four lower-case hexadecimal digits; "" for a device not on USB
    std::string productId;
    std::string manufacturer; // as the device describes itself; "" when it does not
    std::string product;
    std::string serialNumber;
    std::string driver;   // the kernel driver serving the port
    bool console = false; // the kernel console: listed, never opened or probed
};

// A serial adapter on USB (ttyUSB, ttyACM): what an operator plugs in for a unit.
bool isUsbAdapter(const SerialPortInfo& port);

// The name an operator knows an adapter by: manufacturer, product and serial number as udev has
// them, else its by-id name, else the device's own name.
std::string readableName(const SerialPortInfo& port);

// The USB adapters present, in the order of their device names (no device is opened).
std::vector<SerialPortInfo> findUsbAdapters();

// One line per port, "  usb:VID:PID:SERIAL  DEVICE  BY-ID", for messages that list them.
std::string portLines(const std::vector<SerialPortInfo>& ports);

// Serial devices with hardware behind them (virtual consoles and pseudo-terminals are not), in
// the order of their names (ttyS2 before ttyS10). Reads udev's view only: no device is opened.
std::vector<SerialPortInfo> findSerialPorts();

struct UsbPortQuery {
    std::string vendorId; // lower-case hexadecimal
    std::string productId;
    std::optional<std::string> serialNumber; // matched exactly when given
};

// The query in usb:VID:PID or usb:VID:PID:SERIAL (VID and PID one to four hexadecimal digits);
// nothing when the name is not of that form.
std::optional<UsbPortQuery> parseUsbPortName(std::string_view name);

std::vector<SerialPortInfo> matchUsbPorts(const std::vector<SerialPortInfo>& ports,
                                          const UsbPortQuery& query);

// The name that chooses this port: usb:VID:PID:SERIAL (usb:VID:PID without a serial number); ""
// for a device not on USB.
std::string usbPortName(const SerialPortInfo& port);

// The device path of the one port `name` matches among `ports`; "" with the reason otherwise:
// the name is malformed, nothing matches, or several do (they are listed).
std::string resolveUsbPortName(std::string_view name, const std::vector<SerialPortInfo>& ports,
                               std::string& error);

// Looks usb: names up among the machine's devices wherever a port can be named.
void installUsbPortNames();

} // namespace brimwell::serial
