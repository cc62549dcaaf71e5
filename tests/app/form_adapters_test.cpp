// The window on an emulated machine (umockdev; this program runs under umockdev-wrapper): its own
// ttyS0 is the kernel console and ttyS1 is COM2; USB adapters are plugged in and pulled out while the
// window runs. The start-up search, the COM Port menu's adapters, and a lost adapter coming back.
// Before any Qt header: GLib's headers use "signals" as a name, which Qt defines as a macro.
#include <umockdev.h>

#include "app/brimwell_form.h"
#include "app_test_support.h"
#include "serial/component/com_port.h"
#include "serial/time_base.h"
#include "support/emulated_devices.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include <QAction>
#include <QLabel>
#include <QMenu>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

// The emulated device tree; every /dev and /sys path of this process is looked up in it first.
class Testbed {
  public:
    Testbed() : bed_(umockdev_testbed_new()) {}
    ~Testbed() { g_object_unref(bed_); }
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    bool add(const std::string& description) {
        return umockdev_testbed_add_from_string(bed_, description.c_str(), nullptr);
    }
    void plug(int n, const std::string& serial) {
        ASSERT_TRUE(add(emulatedAdapter(n, serial)));
        umockdev_testbed_uevent(bed_, ("/sys" + emulatedAdapterTty(n)).c_str(), "add");
    }
    void unplug(int n) {
        umockdev_testbed_uevent(bed_, ("/sys" + emulatedAdapterTty(n)).c_str(), "remove");
        // Device by device from the tty up: each removal takes only its own links.
        std::string device = emulatedAdapterTty(n);
        for (int up = 0; up < 5; ++up, device.erase(device.find_last_of('/')))
            if (up != 1) umockdev_testbed_remove_device(bed_, ("/sys" + device).c_str());
        // It keeps the device node (so an adapter plugged in again takes another number), but its
        // by-id link must go for another adapter of the same serial number to get one.
        for (const auto& link : std::filesystem::directory_iterator(root() + "/dev/serial/by-id"))
            if (std::filesystem::read_symlink(link).filename() == "ttyUSB" + std::to_string(n))
                std::filesystem::remove(link);
    }
    // The far end of the device's pseudo-terminal.
    int master(const std::string& node) { return umockdev_testbed_get_dev_fd(bed_, node.c_str()); }
    // The node of a device is a pseudo-terminal the testbed holds; this points it elsewhere.
    void pointAt(const std::string& node, const std::string& target) {
        const std::string file = root() + node;
        ::unlink(file.c_str());
        ASSERT_EQ(::symlink(target.c_str(), file.c_str()), 0);
    }
    // What the window wrote to the device at `node` so far.
    std::string heard(const std::string& node) {
        const int fd = master(node);
        std::string text;
        char buffer[256];
        for (pollfd p{fd, POLLIN, 0}; fd >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);) {
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

// A unit at the far end of a device: a prompt for every carriage return.
class PromptAnswerer {
  public:
    explicit PromptAnswerer(int fd)
        : thread_([this, fd] {
              char buffer[64];
              while (!stop_)
                  for (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, 20) > 0 && (p.revents & POLLIN);) {
                      const ssize_t n = ::read(fd, buffer, sizeof buffer);
                      for (ssize_t i = 0; i < n; ++i)
                          if (buffer[i] == '\r') [[maybe_unused]]
                              const ssize_t w = ::write(fd, "#", 1);
                      if (n <= 0) break;
                  }
          }) {}
    ~PromptAnswerer() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class FormAdapters : public ::testing::Test {
  protected:
    void SetUp() override {
        // Without the emulation ttyS0 would be this machine's real console.
        const char* preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload && std::strstr(preload, "umockdev")) << "run under umockdev-wrapper";
        Clock::setScale(20.0);
        ::setenv("BRIMWELL_LOCK_DIR", dir.path().c_str(), 1);
    }
    // A machine of its own: ttyS0 (the console), ttyS1 and `adapters` adapters, none plugged in
    // while the window runs.
    Testbed& machine(int adapters) {
        form.reset();
        bed.reset();
        bed.emplace();
        EXPECT_TRUE(bed->add(emulatedMachinePorts(2)));
        for (int n = 0; n < adapters; ++n)
            EXPECT_TRUE(bed->add(emulatedAdapter(n, "BW000" + std::to_string(n + 1))));
        return *bed;
    }
    TBrimwellForm& start() {
        form = std::make_unique<TBrimwellForm>(QString::fromStdString(dir.file("LoaderDefault.ini")));
        form->show();
        EXPECT_TRUE(pumpUntil([&] { return form->startupFinished(); }, 30000));
        return *form;
    }
    // The adapters' items of the COM Port menu, in order: their captions.
    QStringList adapterItems() const {
        QStringList items;
        for (QAction* a : form->COMPortMenu->actions())
            if (a->objectName().startsWith(QStringLiteral("/dev/"))) items << a->text();
        return items;
    }
    QAction* adapterItem(const QString& device) const {
        return form->COMPortMenu->findChild<QAction*>(device);
    }

    TempDir dir;
    std::optional<Testbed> bed;
    ScriptedDialogs dialogs;
    std::unique_ptr<TBrimwellForm> form;
};

QString caption(const char* serial, int n) {
    return QStringLiteral("Brimwell Ltd Loader Cable %1 (/dev/ttyUSB%2)").arg(QLatin1String(serial)).arg(n);
}

TEST_F(FormAdapters, StartUpProbesOneAdapterButNotTwoAndNeverTheConsole) {
    const struct {
        const char* name;
        int adapters;
        QString status;
    } rows[] = {
        {"one adapter, the unit on it", 1, QStringLiteral("Established communication on /dev/ttyUSB0")},
        {"two adapters", 2,
         QStringLiteral("Unable to open Hardware through COM ports. Select new COM port before proceeding 2 "
                        "USB serial adapters are connected: choose the unit's in RS232 Config > COM Port.")},
    };
    for (const auto& r : rows) {
        Testbed& rowBed = machine(r.adapters);
        std::unique_ptr<UnitSim> unit;
        if (r.adapters == 1) {
            unit = std::make_unique<UnitSim>(dir.file("unit"), std::string());
            rowBed.pointAt("/dev/ttyUSB0", dir.file("unit"));
        }
        TBrimwellForm& f = start();
        EXPECT_EQ(f.statusText(), r.status) << r.name;
        EXPECT_EQ(rowBed.heard("/dev/ttyS0"), "") << r.name << ": the console is never opened";
        EXPECT_EQ(rowBed.heard("/dev/ttyS1"), "\r\r") << r.name << ": COM2 is asked for both prompts";
        EXPECT_EQ(adapterItems().size(), r.adapters) << r.name;
        if (r.adapters == 1) {
            EXPECT_TRUE(f.QuavComPort1->Open());
            EXPECT_EQ(f.ComNumberLabel->text(), "ttyUSB0");
        }
        for (int n = 0; n < r.adapters && r.adapters > 1; ++n)
            EXPECT_EQ(rowBed.heard("/dev/ttyUSB" + std::to_string(n)), "") << r.name << ": adapter " << n;
        form.reset();
    }
}

TEST_F(FormAdapters, MenuFollowsAdaptersAndOffersALostOneWhenItComesBack) {
    Testbed& bed = machine(0);
    TBrimwellForm& f = start();
    EXPECT_TRUE(adapterItems().isEmpty());

    bed.plug(1, "BW0002");
    bed.plug(0, "BW0001");
    ASSERT_TRUE(pumpUntil([&] { return adapterItems().size() == 2; }, 10000));
    EXPECT_EQ(adapterItems(), QStringList({caption("BW0001", 0), caption("BW0002", 1)}));
    const QList<QAction*> items = f.COMPortMenu->actions();
    EXPECT_EQ(items.indexOf(adapterItem("/dev/ttyUSB0")), items.indexOf(f.COM2Menu) + 1)
        << "beside COM1/COM2";
    bed.unplug(1);
    ASSERT_TRUE(pumpUntil([&] { return adapterItems().size() == 1; }, 10000));
    EXPECT_EQ(adapterItems(), QStringList({caption("BW0001", 0)}));

    {
        const PromptAnswerer unit(bed.master("/dev/ttyUSB0"));
        adapterItem("/dev/ttyUSB0")->trigger();
        EXPECT_EQ(f.statusText(), "Established communication on /dev/ttyUSB0");
        EXPECT_TRUE(f.QuavComPort1->Open());
    }
    // Pulled out under the open port: the line hangs up. (The testbed answers the ioctls of its own
    // devices itself; the kernel is asked directly.)
    char pts[64];
    ASSERT_EQ(::ptsname_r(bed.master("/dev/ttyUSB0"), pts, sizeof pts), 0);
    const int line = ::open(pts, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0) << pts;
    EXPECT_EQ(::syscall(SYS_ioctl, line, TIOCVHANGUP, 0), 0) << std::strerror(errno);
    ::close(line);
    ASSERT_TRUE(pumpUntil([&] { return !f.QuavComPort1->Open(); }, 10000));
    bed.unplug(0);
    ASSERT_TRUE(pumpUntil([&] { return adapterItems().isEmpty(); }, 10000));

    bed.plug(2, "BW0001"); // back, under another number
    ASSERT_TRUE(pumpUntil([&] { return adapterItems().size() == 1; }, 10000));
    EXPECT_EQ(f.statusText(), "Brimwell Ltd Loader Cable BW0001 is back as /dev/ttyUSB2: choose it in RS232 "
                              "Config > COM Port to use it again.");
    pumpFor(200);
    EXPECT_FALSE(f.QuavComPort1->Open()) << "never opened without the operator";
    EXPECT_EQ(bed.heard("/dev/ttyUSB2"), "");
}

} // namespace
