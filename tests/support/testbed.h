// The emulated machine of a test that runs under umockdev-wrapper: every /dev and /sys path of the
// process (and of the programs it starts) is looked up in the testbed first. Include it before any
// Qt header: GLib's headers use "signals" as a name, which Qt defines as a macro.
#pragma once

#include <umockdev.h>

#include "support/emulated_devices.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace brimwell::testing {

// Whether this program runs under umockdev-wrapper: without it, /dev and /sys are the machine's own.
inline bool underUmockdev() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "umockdev") != nullptr;
}

// The emulated device tree. Each device node is a pseudo-terminal whose far end the testbed holds.
class Testbed {
  public:
    Testbed() : bed_(umockdev_testbed_new()) {}
    ~Testbed() { g_object_unref(bed_); }
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    bool add(const std::string& description) {
        return umockdev_testbed_add_from_string(bed_, description.c_str(), nullptr);
    }
    // Adapter n appears; with a `target`, its node leads to that device (a unit simulator's line).
    void plug(int n, const std::string& serial, const std::string& target = {}) {
        ASSERT_TRUE(add(emulatedAdapter(n, serial)));
        if (!target.empty()) pointAt("/dev/ttyUSB" + std::to_string(n), target);
        umockdev_testbed_uevent(bed_, ("/sys" + emulatedAdapterTty(n)).c_str(), "add");
    }
    // The testbed keeps the node (an adapter plugged in again takes another number); the by-id link
    // goes, for another adapter of that serial number to get one.
    void unplug(int n) {
        umockdev_testbed_uevent(bed_, ("/sys" + emulatedAdapterTty(n)).c_str(), "remove");
        std::string device = emulatedAdapterTty(n);
        for (int up = 0; up < 5; ++up, device.erase(device.find_last_of('/')))
            if (up != 1)
                umockdev_testbed_remove_device(bed_, ("/sys" + device).c_str()); // each its own links
        for (const auto& link : std::filesystem::directory_iterator(root() + "/dev/serial/by-id"))
            if (std::filesystem::read_symlink(link).filename() == "ttyUSB" + std::to_string(n))
                std::filesystem::remove(link);
    }
    // Points a node at another device (the unit simulator's line).
    void pointAt(const std::string& node, const std::string& target) {
        ::unlink((root() + node).c_str());
        ASSERT_EQ(::symlink(target.c_str(), (root() + node).c_str()), 0);
    }
    // The far end of the node's pseudo-terminal: what programs write to the device comes out there.
    int farEnd(const std::string& node) { return umockdev_testbed_get_dev_fd(bed_, node.c_str()); }
    // What was written to the device at `node` so far.
    std::string heard(const std::string& node) {
        const int fd = farEnd(node);
        std::string text;
        char buffer[256];
        for (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }

  private:
    std::string root() const {
        gchar* dir = umockdev_testbed_get_root_dir(bed_);
        const std::string path = dir;
        g_free(dir);
        return path;
    }
    UMockdevTestbed* bed_;
};

} // namespace brimwell::testing
