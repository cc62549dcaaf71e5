// The window on an emulated machine (umockdev; this program runs under umockdev-wrapper): its own
// ttyS0 is the kernel console and ttyS1 is COM2; USB adapters are plugged in and pulled out while the
// window runs. The start-up search, the COM Port menu's adapters, and a lost adapter coming back.
// Before any Qt header: GLib's headers use "signals" as a name, which Qt defines as a macro.
#include "support/testbed.h"

#include "app/main_window.h"
#include "app_test_support.h"
#include "serial/component/com_port.h"
#include "serial/time_base.h"

#include <optional>

#include <QAction>
#include <QLabel>
#include <QMenu>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

class FormAdapters : public ::testing::Test {
  protected:
    void SetUp() override {
        // Without the emulation ttyS0 would be this machine's real console.
        ASSERT_TRUE(brimwell::testing::underUmockdev()) << "run under umockdev-wrapper";
        serial::Clock::setScale(20.0);
        ::setenv("BRIMWELL_LOCK_DIR", dir.path().c_str(), 1);
    }
    // A machine of its own: ttyS0 (the console), ttyS1, and `adapters` adapters plugged in before
    // the window starts; the first one with the unit on it when `unit` is set.
    app::MainWindow& start(int adapters, bool unit = false) {
        form.reset();
        sim.reset();
        bed.reset();
        bed.emplace();
        EXPECT_TRUE(bed->add(emulatedMachinePorts(2)));
        for (int n = 0; n < adapters; ++n)
            EXPECT_TRUE(bed->add(emulatedAdapter(n, "BW000" + std::to_string(n + 1))));
        if (unit) useUnit(0);
        form = std::make_unique<app::MainWindow>(QString::fromStdString(dir.file("LoaderDefault.ini")));
        form->show();
        EXPECT_TRUE(pumpUntil([&] { return form->startupFinished(); }, 30000));
        return *form;
    }
    void useUnit(int adapter) {
        sim = std::make_unique<UnitSim>(dir.file("unit"), std::string());
        bed->pointAt("/dev/ttyUSB" + std::to_string(adapter), dir.file("unit"));
    }
    // The captions of the COM Port menu's adapter items, in order.
    QStringList adapterItems() const {
        QStringList items;
        for (QAction* a : form->comPortMenu->actions())
            if (a->objectName().startsWith(QStringLiteral("/dev/"))) items << a->text();
        return items;
    }

    TempDir dir;
    std::optional<Testbed> bed;
    std::unique_ptr<UnitSim> sim;
    ScriptedDialogs dialogs;
    std::unique_ptr<app::MainWindow> form;
};

QString caption(const char* serial, int n) {
    return QStringLiteral("Brimwell Ltd Loader Cable %1 (/dev/ttyUSB%2)").arg(QLatin1String(serial)).arg(n);
}

TEST_F(FormAdapters, StartUpProbesOneAdapterButNotTwoAndNeverTheConsole) {
    const struct {
        int adapters;
        QString status;
    } rows[] = {
        {1, QStringLiteral("Established communication on /dev/ttyUSB0")},
        {2,
         QStringLiteral("Unable to open Hardware through COM ports. Select new COM port before proceeding 2 "
                        "USB serial adapters are connected: choose the unit's in RS232 Config > COM Port.")},
    };
    for (const auto& r : rows) {
        app::MainWindow& f = start(r.adapters, r.adapters == 1);
        EXPECT_EQ(f.statusText(), r.status) << r.adapters;
        EXPECT_EQ(bed->heard("/dev/ttyS0"), "") << r.adapters << ": the console is never opened";
        EXPECT_NE(bed->heard("/dev/ttyS1").find('\r'), std::string::npos) << r.adapters << ": COM2 is probed";
        EXPECT_EQ(adapterItems().size(), r.adapters);
        EXPECT_EQ(f.serialPort->isOpen(), r.adapters == 1);
        EXPECT_EQ(f.comNumberLabel->text(), r.adapters == 1 ? "ttyUSB0" : "None");
        if (r.adapters == 2) {
            EXPECT_EQ(bed->heard("/dev/ttyUSB0") + bed->heard("/dev/ttyUSB1"), "")
                << "neither adapter is opened";
        }
    }
}

TEST_F(FormAdapters, MenuFollowsAdaptersAndOffersALostOneWhenItComesBack) {
    app::MainWindow& f = start(0);
    EXPECT_TRUE(adapterItems().isEmpty());
    bed->plug(1, "BW0002");
    bed->plug(0, "BW0001");
    ASSERT_TRUE(pumpUntil([&] { return adapterItems().size() == 2; }, 10000));
    EXPECT_EQ(adapterItems(), QStringList({caption("BW0001", 0), caption("BW0002", 1)}));
    const QList<QAction*> items = f.comPortMenu->actions();
    EXPECT_EQ(items.indexOf(f.comPortMenu->findChild<QAction*>("/dev/ttyUSB0")),
              items.indexOf(f.com2Menu) + 1);
    bed->unplug(1);
    ASSERT_TRUE(pumpUntil([&] { return adapterItems().size() == 1; }, 10000));

    useUnit(0);
    f.comPortMenu->findChild<QAction*>("/dev/ttyUSB0")->trigger();
    EXPECT_EQ(f.statusText(), "Established communication on /dev/ttyUSB0");
    sim.reset(); // the unit's line goes: the port is lost
    ASSERT_TRUE(pumpUntil([&] { return !f.serialPort->isOpen(); }, 10000));
    bed->unplug(0);
    ASSERT_TRUE(pumpUntil([&] { return adapterItems().isEmpty(); }, 10000));

    bed->plug(2, "BW0001"); // back, under another number
    ASSERT_TRUE(pumpUntil([&] { return adapterItems().size() == 1; }, 10000));
    EXPECT_EQ(f.statusText(), "Brimwell Ltd Loader Cable BW0001 is back as /dev/ttyUSB2: choose it in RS232 "
                              "Config > COM Port to use it again.");
    pumpFor(200);
    EXPECT_FALSE(f.serialPort->isOpen()) << "never opened without the operator";
    EXPECT_EQ(bed->heard("/dev/ttyUSB2"), "");
}

} // namespace
