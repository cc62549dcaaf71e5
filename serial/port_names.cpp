// Port-number to device-path mapping; the only place that knows Linux serial device names.
#include "serial/port_names.h"

#include "serial/uucp_lock.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <strings.h>

namespace brimwell::serial {
namespace {

std::atomic<UsbPortResolver> usbResolver{nullptr};
// Bit n: COMn was lent to a device named by its path (comNumberForDevice).
std::atomic<uint64_t> namedByPath{0};

uint32_t lentTo(uint32_t n) {
    namedByPath.fetch_or(uint64_t{1} << n);
    return n;
}

} // namespace

std::string comName(uint32_t n) {
    return "COM" + std::to_string(n);
}

std::string comDeviceName(uint32_t n) {
    return "\\\\.\\COM" + std::to_string(n);
}

std::string comPortSetting(uint32_t n) {
    if (n < kFirstComNumber || n > kLastComNumber) return {};
    const std::string var = "BRIMWELL_COM" + std::to_string(n);
    // Read on every lookup so a test (or an operator's shell) can repoint a number at any time.
    if (const char* env = std::getenv(var.c_str()); env != nullptr && *env != '\0') return env;
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::string comDevicePath(uint32_t n) {
    std::string setting = comPortSetting(n);
    return isUsbPortName(setting) ? resolveDevicePath(setting) : setting;
}

bool isUsbPortName(std::string_view name) {
    return name.size() >= 4 && ::strncasecmp(name.data(), "usb:", 4) == 0;
}

void setUsbPortResolver(UsbPortResolver resolver) {
    usbResolver.store(resolver);
}

std::optional<uint32_t> comNumberOf(std::string_view name) {
    if (name.starts_with("\\\\.\\")) name.remove_prefix(4);
    if (name.size() < 4) return std::nullopt;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return std::nullopt;
    name.remove_prefix(3);
    if (name.size() > 9) return std::nullopt;
    uint32_t n = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + uint32_t(c - '0');
    }
    return n;
}

uint32_t comNumberForDevice(const std::string& path) {
    if (path.empty()) return 0;
    for (uint32_t n = kFirstComNumber; n <= kLastComNumber; ++n)
        if (comPortSetting(n) == path) return lentTo(n);
    for (uint32_t n = kLastComNumber; n > kFirstComNumber + 1; --n) {
        const std::string var = "BRIMWELL_COM" + std::to_string(n);
        if (const char* env = std::getenv(var.c_str()); env != nullptr && *env != '\0') continue;
        ::setenv(var.c_str(), path.c_str(), 1);
        return lentTo(n);
    }
    return 0;
}

bool comNamedByPath(uint32_t n) {
    return n >= kFirstComNumber && n <= kLastComNumber && (namedByPath.load() >> n & 1) != 0;
}

std::string portLabel(uint32_t n, const std::string& device) {
    const std::string path = device.empty() ? comDevicePath(n) : device;
    if (!comNamedByPath(n)) return comName(n) + " (" + path + ")";
    const std::string setting = comPortSetting(n);
    return path.empty() || path == setting ? setting : setting + " (" + path + ")";
}

bool isKernelConsole(const std::string& path) {
    if (!path.starts_with("/")) return false;
    std::set<std::string> consoles{"console"};
    std::ifstream listed("/proc/consoles");
    for (std::string line; std::getline(listed, line);)
        consoles.insert(line.substr(0, line.find(' ')));
    std::ifstream active("/sys/class/tty/console/active");
    for (std::string name; active >> name;)
        consoles.insert(name);
    // The name as given and the node its links end at (an emulated device tree links its nodes).
    for (const std::string& p : {path, finalLinkTarget(path)})
        if (p.starts_with("/dev/") && consoles.count(p.substr(5))) return true;
    return false;
}

std::string resolveDevicePath(std::string_view name, std::string* error) {
    if (const auto n = comNumberOf(name)) return comDevicePath(*n);
    if (!isUsbPortName(name)) return std::string(name);
    std::string why = std::string(name) + ": USB port names are not looked up by this program";
    std::string path;
    if (const UsbPortResolver resolver = usbResolver.load()) path = resolver(name, why);
    if (error) *error = path.empty() ? why : std::string();
    return path;
}

} // namespace brimwell::serial
