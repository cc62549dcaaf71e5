// The window's PCI board link against brimwell-board-sim: what start-up makes of the boards found,
// the "Connected" item and the COM menu actions, and a whole run stepping through every board.
#include "app/main_window.h"
#include "app/pci/pci_board_link.h"
#include "app_test_support.h"
#include "script/progress_form.h"
#include "serial/component/com_port.h"
#include "serial/time_base.h"
#include "terminal/widget/terminal_widget.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

class FormPci : public ::testing::Test {
  protected:
    void SetUp() override {
        serial::Clock::setScale(20.0);
        mapCom(1, dir.file("absent1"));
        mapCom(2, dir.file("absent2"));
    }
    void TearDown() override {
        form.reset();
        ::unsetenv("BRIMWELL_PCI_DIR");
    }
    // Boards on sockets in a fresh folder; no arguments: no driver at all.
    void serve(std::vector<std::string> args, int boards = 1) {
        sim.reset();
        ::unsetenv("BRIMWELL_PCI_DIR");
        if (args.empty()) return;
        const std::string pciDir = dir.file("pci" + std::to_string(++serial));
        ::mkdir(pciDir.c_str(), 0755);
        args.insert(args.begin(), {boardSimPath(), "--dir", pciDir});
        sim = std::make_unique<UnitSim>(args, pciDir + "/WRTdev" + std::to_string(boards - 1));
        ::setenv("BRIMWELL_PCI_DIR", pciDir.c_str(), 1);
    }
    app::MainWindow& make() {
        dialogs.messages.clear();
        form = std::make_unique<app::MainWindow>(QString::fromStdString(dir.file("LoaderDefault.ini")));
        return *form;
    }
    bool onPci() const {
        return form->engine().linkMode() == script::kLinkPci && form->pciConnectAction->isChecked() &&
               form->terminalPane->isHidden() && form->rs232GroupBox->isHidden() && !form->port().isOpen();
    }

    TempDir dir;
    TempDir store;
    ScriptedDialogs dialogs;
    std::unique_ptr<UnitSim> sim;
    std::unique_ptr<app::MainWindow> form;
    int serial = 0;
};

TEST_F(FormPci, StartUpFollowsTheBoardsFound) {
    struct Row {
        const char* name;
        std::vector<std::string> simArgs;
        int boards;
        int32_t selected;
        QStringList messages;
        std::string diagnostics; // what the driver layer prints, when it must print something
    };
    const QString invalid =
        "Invalid BoardID: -56.  PCI Connection will be disabled.  \r\nFor PCI to be working "
        "properly, the firmware must be version 1.02 or later and MainCode have executed.";
    const QString twice =
        "More than one board has the same board ID:  4\r\nPCI Connection will be disabled.  "
        "Check the switches on SW1 and try again.";
    const Row rows[] = {
        {"no driver", {}, 1, -1, {}, ""},
        {"one board", {"--boards", "3"}, 1, 3, {}, "Error! Could not open WinRTdev1, error code 2.\n"},
        {"two boards", {"--boards", "5,2"}, 2, 2, {}, ""},
        {"ID 200", {"--boards", "200"}, 1, 16, {invalid}, ""},
        {"same ID", {"--boards", "4,4"}, 2, 4, {twice}, ""},
        {"old driver",
         {"--driver-version", "3.14"},
         1,
         -1,
         {},
         "WinRT Driver Version 3.14\nOld Winrt.sys version installed.\nWill not be able to read Vendor ID "
         "and "
         "Card ID info.\nUninstall current library and install most current library if need to query Vendor "
         "ID "
         "and Card ID\n"},
        {"wrong vendor", {"--vendor-id", "1234"}, 1, -1, {}, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        serve(r.simArgs, r.boards);
        app::MainWindow& f = make();
        const bool usable = r.selected >= 0 && r.selected < 16 && r.messages.isEmpty();
        EXPECT_EQ(f.pciConnectAction->isEnabled(), usable);
        EXPECT_EQ(f.engine().linkMode(), usable ? script::kLinkPci : script::kLinkSerial);
        EXPECT_EQ(f.engine().selectedBoard(), r.selected);
        EXPECT_EQ(dialogs.messages, r.messages) << dialogs.messages.join(" | ").toStdString();
        if (usable) {
            f.onShown();
            EXPECT_TRUE(onPci());
            EXPECT_EQ(f.statusText(), "Established communication on PCI board.");
        }
        // The driver layer's diagnostics, through a link of its own on the same boards.
        char* text = nullptr;
        size_t size = 0;
        std::FILE* out = open_memstream(&text, &size);
        pci::PciBoardLink(pci::installedPciDriver(), out).enumerate();
        std::fclose(out);
        const std::string said(text, size);
        std::free(text);
        if (r.simArgs.empty())
            EXPECT_EQ(said, "");
        else
            EXPECT_NE(said.find(r.diagnostics), std::string::npos) << said;
    }
}

TEST_F(FormPci, ConnectedAndTheComMenusSwitchTheLink) {
    serve({"--boards", "3"});
    app::MainWindow& f = make();
    f.onShown();
    ASSERT_TRUE(onPci());
    f.pciConnectAction->trigger();
    EXPECT_EQ(f.statusText(), "Not connected.");
    EXPECT_EQ(f.engine().linkMode(), script::kLinkSerial);
    EXPECT_FALSE(f.pciConnectAction->isChecked());
    EXPECT_FALSE(f.port().isOpen());
    EXPECT_FALSE(f.terminalPane->isHidden());
    f.pciConnectAction->trigger();
    EXPECT_TRUE(onPci());
    f.searchAllMenu->trigger(); // leaves the panes hidden
    EXPECT_EQ(f.engine().linkMode(), script::kLinkSerial);
    EXPECT_FALSE(f.pciConnectAction->isChecked());
    EXPECT_TRUE(f.terminalPane->isHidden());
    f.pciConnectAction->trigger();
    f.com1Menu->trigger(); // brings them back
    EXPECT_EQ(f.engine().linkMode(), script::kLinkSerial);
    EXPECT_FALSE(f.pciConnectAction->isChecked());
    EXPECT_FALSE(f.terminalPane->isHidden());
}

TEST_F(FormPci, PickButtonRunsTheScriptOnEveryBoard) {
    serve({"--boards", "5,2", "--store", store.path()}, 2);
    std::string data(5000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    dir.write("image.bin", data);
    dir.write("flash.sld",
              "_TC \"LOADR^M\"\n_LF " + dir.file("image.bin") + "\n_LA 80000000\n_LV 1.08\n_LD\n");
    app::MainWindow& f = make();
    f.onShown();
    std::set<std::string> labels;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (f.progressForm->isVisible() && f.progressForm->pciBoardLabel->isVisible())
            labels.insert(f.progressForm->pciBoardLabel->text().toStdString());
    });
    watch.start(1);
    dialogs.fileToOpen = QString::fromStdString(dir.file("flash.sld"));
    f.pickButton->click();
    EXPECT_EQ(dialogs.messages, QStringList({"Upload Complete."}))
        << dialogs.messages.join(" | ").toStdString();
    EXPECT_EQ(labels, (std::set<std::string>{"PCI Board :  2", "PCI Board :  5"}));
    for (const char* board : {"board0", "board1"})
        EXPECT_EQ(readText(store.file(std::string(board) + "/LF_80000000_1.08.bin")), data) << board;
}

} // namespace

namespace {

TEST_F(FormPci, SocketDriverReportsMissingAndLostBoards) {
    pci::SocketPciDriver driver(dir.file("nowhere"));
    EXPECT_EQ(driver.open(0), ENOENT);
    serve({"--boards", "3"});
    pci::PciBoardLink link(pci::installedPciDriver(), nullptr);
    ASSERT_TRUE(link.enumerate().usable);
    EXPECT_EQ(link.board_read_id(link.pciBoard[0]), 3);
    EXPECT_EQ(link.failure(3), "");
    sim.reset(); // the bridge goes away under an open device
    for (const int expected : {ECONNRESET, EIO}) {
        uint8_t byte = 0;
        EXPECT_EQ(link.pci_read_byte(0, link.pciBoard[0].status, byte), expected);
    }
    EXPECT_FALSE(link.board_put_char(3, 'x'));
    // The engine names that cause instead of counting refused bytes.
    EXPECT_EQ(link.failure(3), "The connection to PCI board 3 was lost. The driver closed its socket " +
                                   std::string(std::getenv("BRIMWELL_PCI_DIR")) + "/WRTdev0.");
}

} // namespace
