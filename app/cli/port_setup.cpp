// Port choice and probing for the command-line runner.
#include "app/cli/port_setup.h"

#include "app/device_info.h"
#include "app/port_probe.h"
#include "script/loader_port.h"
#include "serial/device_layers.h"
#include "serial/net_endpoint.h"
#include "serial/port_names.h"
#include "serial/uucp_lock.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brimwell::cli {
namespace {

bool hasNoDeviceNode(const std::string& path) {
    return serial::isNetworkPortName(path) || serial::isRegisteredLayerName(path);
}

// Why the operating system would refuse the device, in words an operator can act on ("" when it
// would not).
std::string deviceProblem(const std::string& path) {
    if (path.empty()) return "no device is configured for this port number";
    // A network port (or a layer's own name) has no device to try; the open itself finds out.
    if (hasNoDeviceNode(path)) return {};
    if (serial::isKernelConsole(path))
        return "it is the kernel console, this machine's own terminal, which brimwell never opens";
    // A lock file says the line is taken before anything touches it (an open raises DTR).
    if (!serial::lockFileHolders(path).empty()) return app::busyText(path);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == EACCES || err == EPERM) return app::permissionText(path);
        if (err == EBUSY) return app::busyText(path);
        return std::strerror(err);
    }
    ::close(fd);
    return app::notATerminal(path);
}

} // namespace

std::string PortSetup::describe(uint16_t n) {
    return serial::comDevicePath(n) + " (" + serial::comName(n) + ")";
}

std::string PortSetup::nameOf(uint16_t n) {
    // A device given by its path is shown as that path: the number it borrowed means nothing to
    // the operator.
    return serial::comNamedByPath(n) ? serial::portLabel(n) : describe(n);
}

uint16_t PortSetup::numberFor(const std::string& name, std::string& error) {
    if (const auto n = serial::comNumberOf(name)) {
        if (*n < serial::kFirstComNumber || *n > serial::kLastComNumber) {
            error = name + ": port numbers run from COM1 to COM" + std::to_string(serial::kLastComNumber);
            return 0;
        }
        return static_cast<uint16_t>(*n);
    }
    // An adapter that is missing, or not the only one of its kind, is refused before anything opens.
    if (std::string why; serial::isUsbPortName(name) && serial::resolveDevicePath(name, &why).empty()) {
        error = why;
        return 0;
    }
    if (const uint32_t n = serial::comNumberForDevice(name)) return static_cast<uint16_t>(n);
    error = name + ": every port number is already mapped to a device";
    return 0;
}

bool PortSetup::open(uint16_t n, std::string& error, const std::string& advice) {
    std::string unresolved;
    const std::string path = serial::resolveDevicePath(serial::comPortSetting(n), &unresolved);
    if (!unresolved.empty()) {
        error = "cannot open " + unresolved;
        return false;
    }
    if (const std::string problem = deviceProblem(path); !problem.empty()) {
        const bool missing = ::access(path.c_str(), F_OK) != 0;
        error = "cannot open " + nameOf(n) + ": " + problem + (missing ? advice : "");
        return false;
    }
    std::string why;
    try {
        port_.setComNumber(n);
    } catch (const std::exception& e) {
        // A re-open under the new number failed; the open below tries again and reports it.
        why = e.what();
    }
    if (!app::openComPort(port_, &why)) {
        error = "cannot open " + nameOf(n) + ": " + why;
        return false;
    }
    return true;
}

bool PortSetup::checkCom(uint16_t n) {
    // The availability test: a port whose device does not exist is skipped without a word.
    struct stat st {};
    const std::string path = serial::comDevicePath(n);
    if (!hasNoDeviceNode(path) && ::stat(path.c_str(), &st) != 0) return false;
    if (serial::isKernelConsole(path)) return false;
    const app::ProbeResult probe = app::probeComPort(port_, engine_, n, stopped_);
    switch (probe.outcome) {
    case app::ProbeOutcome::OpenFailed:
        host_.report(
            {script::RunPart::Setup,
             "Note: COM Port #" + std::to_string(n) + " is not responding/being used by other applications.",
             script::MessageKind::Warning});
        host_.note("  (" + nameOf(n) + ": " + probe.openError + ")");
        return false;
    case app::ProbeOutcome::PortError:
        host_.report({script::RunPart::Setup, "Note: COM Port #" + std::to_string(n) + " is not responding.",
                      script::MessageKind::Warning});
        return false;
    case app::ProbeOutcome::Silent:
        return false;
    case app::ProbeOutcome::Answered:
        break;
    }
    host_.setStatusText(script::establishedOnComText(n));
    return true;
}

uint16_t PortSetup::numberForAdapter(const serial::SerialPortInfo& adapter) {
    std::string unused;
    return numberFor(adapter.device, unused);
}

int PortSetup::searchComPorts() {
    const app::PortSearch search = app::searchForUnit(
        serial::findUsbAdapters(), [this](const serial::SerialPortInfo& a) { return numberForAdapter(a); },
        [this](uint16_t n) { return checkCom(n); }, stopped_);
    adapters_ = search.adapters;
    return search.found != 0 ? 1 : -1;
}

} // namespace brimwell::cli
