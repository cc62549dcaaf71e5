// The Station window over unit simulators whose links appear one after another in a directory its
// adapters glob names: a tile per adapter, flashed by a brimwell run process of its own, the
// counters, the runs recorded where BRIMWELL_RECORDS says, and what keeps it from starting.
#include "app/main_window.h"
#include "app/station_window.h"
#include "app_test_support.h"
#include "records/record_store.h"
#include "support/event_pump.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cstdlib>
#include <filesystem>
#include <memory>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

class StationWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("BRIMWELL_TIME_SCALE", "20", 1);
        ::setenv("BRIMWELL_LOCK_DIR", dir.path().c_str(), 1);
        ::setenv("BRIMWELL_RECORDS", url.c_str(), 1);
        std::filesystem::create_directory(dir.file("units"));
        dir.write("image.bin", std::string(5000, 'x'));
        dir.write("flash.sld", "_TC \"LOADR^M\"\n_LF " + dir.file("image.bin") + "\n_LA 8000\n_LV 3\n_LD\n");
        dir.write("LoaderDefault.ini", "");
        window = std::make_unique<app::StationWindow>(QString::fromStdString(binDir() + "/brimwell"),
                                                      QString::fromStdString(dir.file("LoaderDefault.ini")));
    }
    void TearDown() override {
        for (const char* name : {"BRIMWELL_TIME_SCALE", "BRIMWELL_LOCK_DIR", "BRIMWELL_RECORDS"})
            ::unsetenv(name);
    }
    // A unit appears on the adapter `name`; `extra` are the simulator's options.
    void plug(const std::string& name, std::vector<std::string> extra = {}) {
        units.push_back(std::make_unique<UnitSim>(dir.file("units/" + name), store.path(), extra));
    }
    QString tileText(size_t i) const {
        const app::StationWindow::Tile& t = window->tiles()[i];
        return t.port->text() + " | " + t.state->text().section(':', 0, 0) + " | " +
               t.verdict->text().section(' ', 0, 0) + " | " + t.units->text();
    }

    TempDir dir, store;
    std::string url = "sqlite:" + dir.file("records.sqlite");
    std::unique_ptr<app::StationWindow> window;
    std::vector<std::unique_ptr<UnitSim>> units;
};

} // namespace

TEST_F(StationWindowTest, FlashesEachAdapterAsItAppearsAndCountsTheVerdicts) {
    app::MainWindow form(QString::fromStdString(dir.file("LoaderDefault.ini")));
    form.stationMenu->trigger();
    ASSERT_NE(form.stationWindow(), nullptr);
    EXPECT_TRUE(form.stationWindow()->isVisible()) << "the Station item opens the window";
    window->scriptEdit->setText(QString::fromStdString(dir.file("flash.sld")));
    window->matchEdit->setText(QString::fromStdString(dir.file("units/*")));
    ASSERT_TRUE(window->startStation()) << window->statusLabel->text().toStdString();
    EXPECT_FALSE(window->startButton->isEnabled());

    plug("a");
    ASSERT_TRUE(pumpUntil([&] { return window->countersLabel->text().startsWith("Passed 1"); }, 60000))
        << window->statusLabel->text().toStdString();
    plug("b", {"--stay-normal"}); // never enters its loader: the run fails
    ASSERT_TRUE(pumpUntil([&] { return window->countersLabel->text().contains("Failed 1"); }, 60000))
        << window->statusLabel->text().toStdString();
    EXPECT_EQ(window->countersLabel->text(), "Passed 1   Failed 1   Yield 50.0%");
    ASSERT_EQ(window->tiles().size(), 2u);
    EXPECT_EQ(tileText(0), QString::fromStdString(dir.file("units/a")) + " | idle | passed | units: 1");
    EXPECT_EQ(tileText(1), QString::fromStdString(dir.file("units/b")) + " | idle | failed | units: 1");
    EXPECT_NE(window->tiles()[0].frame->styleSheet(), window->tiles()[1].frame->styleSheet())
        << "a passed and a failed tile differ in colour";

    window->stopButton->click();
    ASSERT_TRUE(pumpUntil([&] { return window->startButton->isEnabled(); }, 10000));
    records::RecordStore records;
    QString error;
    ASSERT_TRUE(records.open(*records::parseStoreLocation(QString::fromStdString(url), error)));
    QStringList recorded;
    for (const QJsonValue& run : records.runs({}))
        recorded << run["port"].toString().section('/', -1) + " " + run["outcome"].toString();
    recorded.sort();
    EXPECT_EQ(recorded, QStringList({"a completed", "b failed"}));
}

TEST_F(StationWindowTest, SaysWhyItDoesNotStart) {
    const struct {
        std::string script, match;
        const char* says;
    } rows[] = {
        {"", "", "choose the script every unit is flashed with"},
        {dir.file("missing.sld"), "", "cannot open script"},
        {dir.file("flash.sld"), "usb:zz", "usb:zz: a USB adapter is usb:VID:PID[:SERIAL]"},
    };
    for (const auto& r : rows) {
        window->scriptEdit->setText(QString::fromStdString(r.script));
        window->matchEdit->setText(QString::fromStdString(r.match));
        EXPECT_FALSE(window->startStation()) << r.says;
        EXPECT_TRUE(window->statusLabel->text().contains(r.says))
            << window->statusLabel->text().toStdString();
        EXPECT_TRUE(window->startButton->isEnabled());
    }
}
