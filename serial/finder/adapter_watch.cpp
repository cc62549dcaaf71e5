// Hot-plug of USB serial adapters over a libudev monitor.
#include "serial/finder/adapter_watch.h"

#include <libudev.h>

#include <QSocketNotifier>

#include <algorithm>
#include <cstring>

namespace brimwell::serial {

struct AdapterWatch::Monitor {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    ~Monitor() {
        if (monitor) udev_monitor_unref(monitor);
        if (context) udev_unref(context);
    }
};

namespace {

bool sameAdapter(const SerialPortInfo& a, const SerialPortInfo& b) {
    return a.device == b.device && a.byId == b.byId && a.vendorId == b.vendorId &&
           a.productId == b.productId && a.serialNumber == b.serialNumber;
}

bool listed(const std::vector<SerialPortInfo>& list, const SerialPortInfo& port) {
    return std::any_of(list.begin(), list.end(),
                       [&](const SerialPortInfo& p) { return sameAdapter(p, port); });
}

} // namespace

AdapterWatch::AdapterWatch(QObject* parent) : QObject(parent), monitor_(std::make_unique<Monitor>()) {
    // Events from udev itself (not the kernel's) come after its rules ran: the by-id links exist.
    monitor_->context = udev_new();
    if (monitor_->context) monitor_->monitor = udev_monitor_new_from_netlink(monitor_->context, "udev");
    if (monitor_->monitor &&
        udev_monitor_filter_add_match_subsystem_devtype(monitor_->monitor, "tty", nullptr) >= 0 &&
        udev_monitor_enable_receiving(monitor_->monitor) >= 0) {
        notifier_ = new QSocketNotifier(udev_monitor_get_fd(monitor_->monitor), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            // The events only say that something changed; the list is read afresh, which also
            // covers events that were lost while the queue was full. A node an event says was
            // removed is gone whatever the list still shows (unless it came back in the same batch).
            std::vector<std::string> removed;
            while (udev_device* d = udev_monitor_receive_device(monitor_->monitor)) {
                const char* action = udev_device_get_action(d);
                const char* node = udev_device_get_devnode(d);
                if (action && node) {
                    std::erase(removed, std::string(node));
                    if (std::strcmp(action, "remove") == 0) removed.emplace_back(node);
                }
                udev_device_unref(d);
            }
            update(removed);
        });
    }
    adapters_ = findUsbAdapters();
}

AdapterWatch::~AdapterWatch() = default;

void AdapterWatch::update(const std::vector<std::string>& removed) {
    std::vector<SerialPortInfo> now = findUsbAdapters();
    std::erase_if(now, [&](const SerialPortInfo& p) {
        return std::find(removed.begin(), removed.end(), p.device) != removed.end();
    });
    std::vector<SerialPortInfo> before = std::move(adapters_);
    adapters_ = now;
    for (const SerialPortInfo& p : before)
        if (!listed(now, p)) emit disappeared(p);
    for (const SerialPortInfo& p : now)
        if (!listed(before, p)) emit appeared(p);
}

} // namespace brimwell::serial
