// Settings file effects that belong to the window: line settings on the port, the invalid-rate
// message, the script folder, and the terminal look of settings 20 to 22.
#include "app/main_window.h"
#include "app_test_support.h"
#include "serial/component/com_port.h"
#include "serial/port_names.h"
#include "terminal/widget/terminal_widget.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

// Settings lines 1 to 24 in order; an entry left empty is written as "Kn=" (present, no value).
std::string settingsFile(const std::map<int, std::string>& values) {
    std::string out = "; written by the window tests\n[Loader]\n";
    int last = 0;
    for (const auto& [n, v] : values)
        last = std::max(last, n);
    for (int n = 1; n <= last; ++n) {
        auto it = values.find(n);
        out += "K" + std::to_string(n) + "=" + (it == values.end() ? std::string() : it->second) + "\n";
        if (n == 10) out += "\n; a comment in the middle counts for nothing\n";
    }
    return out;
}

class FormSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        mapCom(1, dir.file("absent1"));
        mapCom(2, dir.file("absent2"));
        mapCom(7, dir.file("absent7"));
    }
    app::MainWindow& start(const std::map<int, std::string>& values, const std::string& before = {}) {
        dir.write("LoaderDefault.ini", before + settingsFile(values));
        form = std::make_unique<app::MainWindow>(QString::fromStdString(dir.file("LoaderDefault.ini")));
        form->show();
        EXPECT_TRUE(pumpUntil([&] { return form->startupFinished(); }));
        return *form;
    }

    TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<app::MainWindow> form;
};

} // namespace

TEST_F(FormSettings, InvalidBaudRateIsReportedAndChangesNothing) {
    app::MainWindow& f = start({{2, "14400"}});
    EXPECT_TRUE(dialogs.messages.contains("Error! Baud Rate set in INI file is invalid!"))
        << dialogs.messages.join(" | ").toStdString();
    EXPECT_EQ(f.serialPort->baud(), 38400);
    EXPECT_EQ(f.comBaudLabel->text(), "38400");
    // Past its reading limit, before its settings lines, a file says so and sets nothing more.
    app::MainWindow& g = start({{2, "57600"}}, std::string(script::kSettingsFileLimit + 1, ';') + "\n");
    EXPECT_TRUE(
        dialogs.messages.join(" ").contains("LoaderDefault.ini: it is longer than 1 MiB; the settings"))
        << dialogs.messages.join(" | ").toStdString();
    EXPECT_EQ(g.serialPort->baud(), 38400);
}

TEST_F(FormSettings, ValidLineSettingsReachThePortAndInvalidOnesAreIgnored) {
    struct Case {
        std::map<int, std::string> values;
        int baud, dataBits;
        serial::Parity parity;
        int stopBits;
    } cases[] = {
        {{{2, "115200"}, {3, "7"}, {4, "2"}, {5, "2"}}, 115200, 7, serial::Parity::Even, 2},
        {{{2, "1200"}, {3, "9"}, {4, "5"}, {5, "3"}}, 1200, 8, serial::Parity::None, 1},
        {{{2, "57600"}, {3, "5"}, {4, "4"}, {5, "1"}}, 57600, 5, serial::Parity::Space, 1},
    };
    for (const auto& c : cases) {
        dialogs.messages.clear();
        app::MainWindow& f = start(c.values);
        EXPECT_EQ(f.serialPort->baud(), c.baud);
        EXPECT_EQ(f.comBaudLabel->text(), QString::number(c.baud));
        EXPECT_EQ(f.serialPort->dataBits(), c.dataBits);
        EXPECT_EQ(f.serialPort->parity(), c.parity);
        EXPECT_EQ(f.serialPort->stopBits(), c.stopBits);
        EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join(" | ").toStdString();
    }
}

TEST_F(FormSettings, TerminalHiddenBySetting20StartsCollapsed) {
    app::MainWindow& f = start({{20, "0"}});
    EXPECT_EQ(f.clientSize(), QSize(527, 139));
    EXPECT_FALSE(f.visibleMenu->isChecked());
    // 1 while shown changes nothing.
    app::MainWindow& g = start({{20, "1"}});
    EXPECT_EQ(g.clientSize(), QSize(527, 416)) << "no Visible action ran: the designed height";
    EXPECT_TRUE(g.visibleMenu->isChecked());
}

TEST_F(FormSettings, TerminalColoursFromSettings21And22) {
    struct Case {
        const char* background;
        const char* text;
        terminal::Color expectBack, expectText;
    } cases[] = {
        {"4", "2", 0xFF0000, 0x0000FF}, // blue on black... red text
        {"5", "1", 0xFFFFFF, 0x000000},
        {"0", "0", 0x000000, 0xC0C0C0},
        {"9", "-1", 0x000000, 0xC0C0C0}, // out of range: nothing happens
    };
    for (const auto& c : cases) {
        app::MainWindow& f = start({{21, c.background}, {22, c.text}});
        EXPECT_EQ(f.terminalPane->color(), c.expectBack) << c.background;
        EXPECT_EQ(f.terminalPane->fontColor(), c.expectText) << c.text;
        EXPECT_FALSE(f.textColorMenu->menuAction()->isVisible()) << "text colour stays reachable only here";
    }
}

TEST_F(FormSettings, ScriptFolderIsWhereTheScriptDialogOpens) {
    app::MainWindow& f = start({{7, "  scripts"}});
    dialogs.fileToOpen.clear(); // the operator cancels
    dialogs.messages.clear();
    f.runPickedScript(); // the button itself is disabled: no unit answered
    EXPECT_EQ(dialogs.openedIn, QDir::current().absoluteFilePath("scripts"));
    EXPECT_EQ(dialogs.lastFilter, "Script files (*.sld)|*.sld|All files (*.*)|*.*");
    EXPECT_TRUE(dialogs.messages.isEmpty())
        << "cancelling changes nothing: " << dialogs.messages.join(" | ").toStdString();

    app::MainWindow& g = start({{2, "38400"}});
    (void)g;
    form->runPickedScript();
    EXPECT_EQ(dialogs.openedIn, QDir::currentPath()) << "without setting 7 the working directory";
}

TEST_F(FormSettings, DefaultPortAndPromptsAndAutomaticModeAreTaken) {
    app::MainWindow& f = start({{1, "COM7"}, {8, "Manual"}, {14, " $"}, {15, "%"}, {19, "BOOT"}, {24, "LX"}});
    EXPECT_EQ(f.defaultComPort, 7);
    EXPECT_FALSE(f.automaticMode);
    EXPECT_EQ(f.engine().mainPromptChar(), '$');
    EXPECT_EQ(f.engine().loaderPromptChar(), '%');
    EXPECT_EQ(f.engine().loaderModeCommand(), "BOOT\r");
    EXPECT_EQ(f.engine().loadKeyword(), "LX");
    // COM7 is not there: the search finds nothing either, and the configured port stays closed.
    EXPECT_EQ(f.statusText(),
              "Error opening Hardware via COM ports. Select new COM port/check RS232 connection "
              "before proceeding");
    EXPECT_FALSE(f.serialPort->isOpen());
}

TEST_F(FormSettings, DevicePathInSettingOneIsProbedUnderABorrowedNumber) {
    TempDir store;
    UnitSim sim(dir.file("unit"), store.path());
    ASSERT_TRUE(sim.running());
    app::MainWindow& f = start({{1, dir.file("unit")}});
    ASSERT_GT(f.defaultComPort, 2) << "COM1 and COM2 stay for the search";
    EXPECT_EQ(serial::comDevicePath(static_cast<uint32_t>(f.defaultComPort)), dir.file("unit"));
    EXPECT_TRUE(f.serialPort->isOpen());
    EXPECT_EQ(f.serialPort->comNumber(), f.defaultComPort);
    // The borrowed number means nothing to the operator: the port is named by its path.
    EXPECT_EQ(f.statusText(), QString::fromStdString("Established communication on " + dir.file("unit")));
    ::unsetenv(("BRIMWELL_COM" + std::to_string(f.defaultComPort)).c_str());
}
