// Serial device enumeration over libudev and the lookup of usb: port names.
#include "serial/finder/port_finder.h"

#include "serial/port_names.h"

#include <libudev.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>
#include <sstream>
#include <tuple>

namespace brimwell::serial {
namespace {

using Udev = std::unique_ptr<udev, decltype(&udev_unref)>;
using UdevEnumerate = std::unique_ptr<udev_enumerate, decltype(&udev_enumerate_unref)>;
using UdevDevice = std::unique_ptr<udev_device, decltype(&udev_device_unref)>;

constexpr std::string_view kByIdDir = "/dev/serial/by-id/";

// Descriptor strings come from the device itself: a hostile or broken one must not be able to
// move the operator's cursor or end a line of the listing.
std::string printable(const char* text) {
    std::string out = text ? text : "";
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::string lowerHex(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The first by-id link: from udev's database, or (where only the properties are known, as in an
// emulated device tree) from DEVLINKS.
std::string byIdLink(udev_device* tty) {
    std::set<std::string> links;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_device_get_devlinks_list_entry(tty)) {
        links.insert(udev_list_entry_get_name(entry));
    }
    if (const char* listed = udev_device_get_property_value(tty, "DEVLINKS")) {
        std::istringstream words(listed);
        for (std::string link; words >> link;)
            links.insert(link);
    }
    for (const std::string& link : links)
        if (link.starts_with(kByIdDir)) return link;
    return {};
}

std::string driverOf(udev_device* tty) {
    // The driver link of sysfs, or the DRIVER the kernel announced where only that is known (an
    // emulated device tree). Newer kernels put the serial core's own "port" and "ctrl" devices
    // between a UART and its tty; the driver that matters is the one of the hardware above them.
    for (udev_device* d = udev_device_get_parent(tty); d != nullptr; d = udev_device_get_parent(d)) {
        if (const char* subsystem = udev_device_get_subsystem(d);
            subsystem && std::string_view(subsystem) == "serial-base")
            continue;
        const char* driver = udev_device_get_driver(d);
        if (!driver) driver = udev_device_get_property_value(d, "DRIVER");
        if (driver) return printable(driver);
    }
    return {};
}

std::string property(udev_device* device, const char* name) {
    return printable(udev_device_get_property_value(device, name));
}

// A port the kernel registered but no hardware answers (the 8250 driver's spare ttyS numbers)
// reports the port type 0.
bool hasHardware(udev_device* tty) {
    if (udev_device_get_parent(tty) == nullptr) return false;
    const char* type = udev_device_get_sysattr_value(tty, "type");
    return type == nullptr || std::string_view(type) != "0";
}

SerialPortInfo describe(udev_device* tty) {
    SerialPortInfo info;
    info.device = udev_device_get_devnode(tty);
    info.byId = byIdLink(tty);
    info.driver = driverOf(tty);
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    auto pick = [&](const char* attribute, const char* fallback) {
        const char* value = usb ? udev_device_get_sysattr_value(usb, attribute) : nullptr;
        return value ? printable(value) : property(tty, fallback);
    };
    info.vendorId = lowerHex(pick("idVendor", "ID_VENDOR_ID"));
    info.productId = lowerHex(pick("idProduct", "ID_MODEL_ID"));
    info.manufacturer = pick("manufacturer", "ID_VENDOR");
    info.product = pick("product", "ID_MODEL");
    info.serialNumber = pick("serial", "ID_SERIAL_SHORT");
    info.console = isKernelConsole(info.device);
    return info;
}

// ttyUSB2 before ttyUSB10: the name's letters, then its number.
bool byName(const SerialPortInfo& a, const SerialPortInfo& b) {
    auto split = [](const std::string& s) {
        size_t digits = s.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1])))
            --digits;
        // Numbers compare by length first, then digit by digit, whatever their size.
        return std::tuple{s.substr(0, digits), s.size() - digits, s.substr(digits)};
    };
    return split(a.device) < split(b.device);
}

bool hexId(std::string_view text) {
    return !text.empty() && text.size() <= 4 && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c));
    });
}

std::string paddedId(std::string_view text) {
    return std::string(4 - text.size(), '0') + lowerHex(std::string(text));
}

std::string resolveOnThisMachine(std::string_view name, std::string& error) {
    return resolveUsbPortName(name, findSerialPorts(), error);
}

} // namespace

std::vector<SerialPortInfo> findSerialPorts() {
    std::vector<SerialPortInfo> ports;
    Udev context(udev_new(), &udev_unref);
    if (!context) return ports;
    UdevEnumerate scan(udev_enumerate_new(context.get()), &udev_enumerate_unref);
    if (!scan || udev_enumerate_add_match_subsystem(scan.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(scan.get()) < 0)
        return ports;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan.get())) {
        UdevDevice tty(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)),
                       &udev_device_unref);
        if (tty && udev_device_get_devnode(tty.get()) != nullptr && hasHardware(tty.get()))
            ports.push_back(describe(tty.get()));
    }
    std::sort(ports.begin(), ports.end(), byName);
    return ports;
}

bool isUsbAdapter(const SerialPortInfo& port) {
    return !port.vendorId.empty() && !port.console;
}

std::string readableName(const SerialPortInfo& port) {
    std::string name;
    for (const std::string* part : {&port.manufacturer, &port.product, &port.serialNumber})
        if (!part->empty()) name += (name.empty() ? "" : " ") + *part;
    if (!port.manufacturer.empty() || !port.product.empty()) return name;
    if (!port.byId.empty()) return port.byId.substr(kByIdDir.size());
    return port.device.substr(port.device.find_last_of('/') + 1);
}

std::vector<SerialPortInfo> findUsbAdapters() {
    std::vector<SerialPortInfo> adapters = findSerialPorts();
    std::erase_if(adapters, [](const SerialPortInfo& p) { return !isUsbAdapter(p); });
    return adapters;
}

std::string portLines(const std::vector<SerialPortInfo>& ports) {
    std::string lines;
    for (const SerialPortInfo& p : ports)
        lines += "\n  " + (p.vendorId.empty() ? std::string() : usbPortName(p) + "  ") + p.device +
                 (p.byId.empty() ? "" : "  " + p.byId);
    return lines;
}

std::optional<UsbPortQuery> parseUsbPortName(std::string_view name) {
    if (!isUsbPortName(name)) return std::nullopt;
    name.remove_prefix(4);
    const size_t first = name.find(':');
    if (first == std::string_view::npos) return std::nullopt;
    const std::string_view vendor = name.substr(0, first);
    std::string_view rest = name.substr(first + 1);
    const size_t second = rest.find(':');
    const std::string_view product = rest.substr(0, second);
    if (!hexId(vendor) || !hexId(product)) return std::nullopt;
    UsbPortQuery query{paddedId(vendor), paddedId(product), std::nullopt};
    if (second != std::string_view::npos) {
        // A serial number may itself hold colons: everything after the product is the serial.
        query.serialNumber = std::string(rest.substr(second + 1));
        if (query.serialNumber->empty()) return std::nullopt;
    }
    return query;
}

std::vector<SerialPortInfo> matchUsbPorts(const std::vector<SerialPortInfo>& ports,
                                          const UsbPortQuery& query) {
    std::vector<SerialPortInfo> found;
    for (const SerialPortInfo& p : ports)
        if (p.vendorId == query.vendorId && p.productId == query.productId &&
            (!query.serialNumber || p.serialNumber == *query.serialNumber))
            found.push_back(p);
    return found;
}

std::string usbPortName(const SerialPortInfo& port) {
    if (port.vendorId.empty()) return {};
    std::string name = "usb:" + port.vendorId + ":" + port.productId;
    return port.serialNumber.empty() ? name : name + ":" + port.serialNumber;
}

std::string resolveUsbPortName(std::string_view name, const std::vector<SerialPortInfo>& ports,
                               std::string& error) {
    const std::string quoted(name);
    const std::optional<UsbPortQuery> query = parseUsbPortName(name);
    if (!query) {
        error = quoted + ": a USB port is named usb:VID:PID or usb:VID:PID:SERIAL, VID and PID in "
                         "hexadecimal (brimwell ports lists the serial devices)";
        return {};
    }
    const std::vector<SerialPortInfo> found = matchUsbPorts(ports, *query);
    if (found.size() == 1) return found.front().device;
    if (found.empty()) {
        error = quoted + ": no serial device of USB vendor " + query->vendorId + ", product " +
                query->productId +
                (query->serialNumber ? " with serial number " + *query->serialNumber : std::string()) +
                " is connected (brimwell ports lists the serial devices)";
        return {};
    }
    // Two interfaces of one adapter share its serial number; only their by-id links tell them apart.
    error =
        quoted + " matches " + std::to_string(found.size()) +
        " serial devices; name one by its serial number or its /dev/serial/by-id link:" + portLines(found);
    return {};
}

void installUsbPortNames() {
    setUsbPortResolver(&resolveOnThisMachine);
}

} // namespace brimwell::serial
