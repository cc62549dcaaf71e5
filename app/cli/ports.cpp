// Listing of serial devices as a table for people or JSON for programs.
#include "app/cli/ports.h"

#include "app/cli/cli_options.h"
#include "app/device_info.h"
#include "serial/finder/port_finder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace brimwell::cli {
namespace {

constexpr const char* kPortsUsage =
    "usage: brimwell ports [--json]\n"
    "  lists the serial devices of this machine: device, /dev/serial/by-id link, USB vendor:product,\n"
    "  manufacturer, product, serial number, driver, and the programs holding it (no device is opened);\n"
    "  the kernel console is shown as such and is never opened or probed\n"
    "  --json  one JSON array for programs\n"
    "a port can then be named by its link or as usb:VID:PID or usb:VID:PID:SERIAL\n";

struct Listed {
    serial::SerialPortInfo port;
    std::vector<std::string> holders;
};

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& p : parts)
        text += (text.empty() ? "" : ", ") + p;
    return text;
}

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

void printJson(const std::vector<Listed>& listed) {
    QJsonArray ports;
    for (const auto& [p, holders] : listed) {
        QJsonArray heldBy;
        for (const std::string& h : holders)
            heldBy.append(q(h));
        ports.append(QJsonObject{{"device", q(p.device)},
                                 {"byId", q(p.byId)},
                                 {"vendorId", q(p.vendorId)},
                                 {"productId", q(p.productId)},
                                 {"manufacturer", q(p.manufacturer)},
                                 {"product", q(p.product)},
                                 {"serialNumber", q(p.serialNumber)},
                                 {"driver", q(p.driver)},
                                 {"portName", q(serial::usbPortName(p))},
                                 {"inUse", !holders.empty()},
                                 {"console", p.console},
                                 {"heldBy", heldBy}});
    }
    std::fputs(QJsonDocument(ports).toJson(QJsonDocument::Indented).constData(), stdout);
}

void printTable(const std::vector<Listed>& listed) {
    using Row = std::array<std::string, 8>;
    std::vector<Row> rows{
        {"DEVICE", "BY-ID", "USB", "MANUFACTURER", "PRODUCT", "SERIAL", "DRIVER", "HELD BY"}};
    auto shown = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    for (const auto& [p, holders] : listed)
        rows.push_back({p.device, shown(p.byId), p.vendorId.empty() ? "-" : p.vendorId + ":" + p.productId,
                        shown(p.manufacturer), shown(p.product), shown(p.serialNumber), shown(p.driver),
                        p.console         ? "console"
                        : holders.empty() ? "free"
                                          : joined(holders)});
    constexpr size_t columns = std::tuple_size_v<Row>;
    std::array<size_t, columns> width{};
    for (const Row& r : rows)
        for (size_t c = 0; c < columns; ++c)
            width[c] = std::max(width[c], r[c].size());
    for (const Row& r : rows) {
        std::string line;
        for (size_t c = 0; c < columns; ++c)
            line += c + 1 == columns ? r[c] : r[c] + std::string(width[c] - r[c].size() + 2, ' ');
        std::printf("%s\n", line.c_str());
    }
}

} // namespace

int portsMain(int argc, char** argv) {
    bool json = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kPortsUsage, stdout);
            return kExitCompleted;
        } else {
            std::fprintf(stderr, "brimwell ports: unknown option %s\n%s", arg.c_str(), kPortsUsage);
            return kExitSetup;
        }
    }
    std::vector<Listed> listed;
    for (const serial::SerialPortInfo& p : serial::findSerialPorts())
        listed.push_back({p, app::deviceHolders(p.device)});
    if (json)
        printJson(listed);
    else if (listed.empty())
        std::printf("no serial devices found\n");
    else
        printTable(listed);
    return kExitCompleted;
}

} // namespace brimwell::cli
