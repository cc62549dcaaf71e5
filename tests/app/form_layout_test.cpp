// The main window as the operator first sees it: controls, captions, menus, status bar and the
// terminal appearance actions. No unit is attached (COM1 and COM2 lead nowhere).
#include "app/main_window.h"
#include "app_test_support.h"
#include "lights/status_light.h"
#include "serial/component/com_port.h"
#include "terminal/widget/terminal_widget.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QFontDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>

#include <optional>
#include <tuple>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

class FormWithoutUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        mapCom(1, dir.file("no-such-com1"));
        mapCom(2, dir.file("no-such-com2"));
    }
    // A started window: shown, onShown finished.
    app::MainWindow& start() {
        form = std::make_unique<app::MainWindow>(QString::fromStdString(dir.file("LoaderDefault.ini")));
        form->show();
        EXPECT_TRUE(pumpUntil([&] { return form->startupFinished(); }));
        return *form;
    }
    QAction* menuAction(QMenu* menu, const QString& text) {
        for (QAction* a : menu->actions())
            if (a->text() == text) return a;
        return nullptr;
    }

    TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<app::MainWindow> form;
};

struct Placement {
    const char* name;
    QRect rect;
};

} // namespace

TEST_F(FormWithoutUnit, ControlsSitWhereDesignedWithTheirCaptions) {
    app::MainWindow& f = start();
    EXPECT_EQ(f.windowTitle(), "Quellmark Inc. :- Brimwell");
    EXPECT_EQ(f.clientSize(), QSize(527, 416));
    EXPECT_EQ(f.minimumSize(), f.maximumSize()) << "the window cannot be resized";

    const Placement placements[] = {
        {"uploadButton", QRect(376, 48, 65, 17)},   {"brandLabel", QRect(184, 8, 122, 20)},
        {"pickButton", QRect(40, 38, 176, 25)},     {"rs232GroupBox", QRect(37, 72, 444, 42)},
        {"terminalPane", QRect(16, 120, 497, 273)}, {"ctsLight", QRect(236, 19, 10, 10)},
        {"dcdLight", QRect(179, 19, 10, 10)},       {"rxdLight", QRect(128, 19, 10, 10)},
        {"txdLight", QRect(75, 19, 10, 10)},
    };
    const std::map<std::string, QWidget*> widgets{
        {"uploadButton", f.uploadButton},   {"brandLabel", f.brandLabel},     {"pickButton", f.pickButton},
        {"rs232GroupBox", f.rs232GroupBox}, {"terminalPane", f.terminalPane}, {"ctsLight", f.ctsLight},
        {"dcdLight", f.dcdLight},           {"rxdLight", f.rxdLight},         {"txdLight", f.txdLight},
    };
    for (const auto& p : placements)
        EXPECT_EQ(widgets.at(p.name)->geometry(), p.rect) << p.name;

    EXPECT_EQ(f.uploadButton->text(), "Upload");
    EXPECT_TRUE(f.uploadButton->isHidden());
    EXPECT_EQ(f.brandLabel->text(), "BRIMWELL");
    EXPECT_EQ(f.brandLabel->font().pixelSize(), 15);
    EXPECT_EQ(f.brandLabel->font().family(), "Comic Sans MS");
    EXPECT_EQ(f.pickButton->text(), "Open script file to read and upload");
    EXPECT_EQ(f.versionLabel->text(), "Version : 1.08");
    EXPECT_EQ(f.versionLabel->pos(), QPoint(447, 10));
    EXPECT_TRUE(f.codeNumberLabel->isHidden());
    EXPECT_EQ(f.rs232GroupBox->title(), "RS-232");
    EXPECT_EQ(f.comNumberLabel->pos(), QPoint(352, 8));
    EXPECT_EQ(f.comBaudLabel->pos(), QPoint(353, 25));
    EXPECT_EQ(f.comNumberLabel->text(), "None");
    EXPECT_EQ(f.comBaudLabel->text(), "38400");
    EXPECT_EQ(f.comCheckBox->text(), "Use COM");
    EXPECT_TRUE(f.comCheckBox->isHidden());
    EXPECT_EQ(f.font().pixelSize(), 11);

    // Each light has its caption to its right.
    const std::pair<lights::StatusLight*, const char*> captions[] = {
        {f.ctsLight, "CTS"}, {f.dcdLight, "DCD"}, {f.rxdLight, "RXD"}, {f.txdLight, "TXD"}};
    for (const auto& [light, text] : captions) {
        auto* caption = f.rs232GroupBox->findChild<QLabel*>(QString::fromLatin1(text) + "Caption");
        ASSERT_NE(caption, nullptr) << text;
        EXPECT_EQ(caption->text(), text);
        EXPECT_GT(caption->x(), light->x() + light->width() - 1);
        EXPECT_LT(caption->x(), light->x() + 20);
    }

    // The status bar is the bottom 19 pixels of the client area.
    EXPECT_EQ(f.infoStatusBar->geometry(), QRect(0, 416 - 19, 527, 19));

    // The terminal pane as placed on the window.
    EXPECT_EQ(f.terminalPane->rows(), 16);
    EXPECT_EQ(f.terminalPane->color(), terminal::kBlack);
    EXPECT_EQ(f.terminalPane->fontColor(), terminal::kSilver);
    EXPECT_EQ(f.terminalPane->font().family(), "Courier New");
    EXPECT_EQ(f.terminalPane->font().pixelSize(), 12);
    EXPECT_EQ(f.terminalPane->blinkTime(), 250);
    EXPECT_EQ(f.terminalPane->lazyByteDelay(), 4);
    EXPECT_EQ(f.terminalPane->lazyTimeDelay(), 50);
    EXPECT_FALSE(f.terminalPane->useLazyDisplay());
    EXPECT_FALSE(f.terminalPane->scrollback());
    EXPECT_FALSE(f.terminalPane->wantAllKeys());
    EXPECT_EQ(f.terminalPane->captureFile(), "QUAVTERM.CAP");
    EXPECT_EQ(f.terminalPane->comPort(), f.serialPort);
}

TEST_F(FormWithoutUnit, MenuTreeHasEveryItemInItsPlace) {
    app::MainWindow& f = start();
    QStringList top;
    for (QAction* a : f.menuBar()->actions())
        if (a->isVisible()) top << a->text();
    EXPECT_EQ(top, QStringList({"Exit", "PCI Board(s)", "RS232 Config", "Terminal", "Station"}));

    EXPECT_EQ(f.pciConnectAction->text(), "Connected");
    EXPECT_FALSE(f.pciConnectAction->isEnabled()) << "no usable board";
    EXPECT_EQ(f.engine().linkMode(), 1);

    QStringList com;
    for (QAction* a : f.comPortMenu->actions())
        com << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(com, QStringList({"None", "COM1", "COM2", "-", "Search"}));
    EXPECT_EQ(f.searchAllMenu->statusTip(), "Look for prompt defined in INI file on COM 1 and COM 2");

    QStringList bauds;
    for (QAction* a : f.baudMenu->actions()) {
        bauds << a->text();
        EXPECT_FALSE(a->isChecked());
    }
    EXPECT_EQ(bauds,
              QStringList({"1200", "2400", "9600", "19200", "38400", "57600", "230400", "460800", "921600"}));

    QStringList terminal;
    for (QAction* a : f.terminalMenu->actions())
        terminal << (a->isVisible() ? a->text() : "(" + a->text() + ")");
    EXPECT_EQ(terminal,
              QStringList({"Visible", "Background Color", "(Text Color)", "Terminal Fonts...", "Emulation"}));
    EXPECT_TRUE(f.visibleMenu->isChecked());
    auto* teletype = f.findChild<QAction*>("EmulationTeletype");
    auto* vt100 = f.findChild<QAction*>("EmulationVT100");
    ASSERT_TRUE(teletype && vt100);
    EXPECT_TRUE(teletype->isChecked() && !vt100->isChecked());
    vt100->trigger();
    EXPECT_TRUE(vt100->isChecked() && !teletype->isChecked());
    EXPECT_EQ(f.terminalPane->emulation(), terminal::Emulation::VT100);
    for (QMenu* m : {f.backgroundColorMenu, f.textColorMenu}) {
        QStringList items;
        for (QAction* a : m->actions())
            items << (a->isSeparator() ? "-" : a->text());
        EXPECT_EQ(items, QStringList({"Black", "Red", "Green", "Blue", "White", "-", "Default"}));
    }
}

TEST_F(FormWithoutUnit, NoUnitAndNoDefaultPortDisablesTheButtons) {
    app::MainWindow& f = start();
    EXPECT_EQ(f.statusText(),
              "Unable to open Hardware through COM ports. Select new COM port before proceeding");
    EXPECT_FALSE(f.pickButton->isEnabled());
    EXPECT_FALSE(f.uploadButton->isEnabled());
    EXPECT_FALSE(f.serialPort->isOpen());
    EXPECT_TRUE(dialogs.messages.isEmpty()) << dialogs.messages.join(" | ").toStdString();
    EXPECT_TRUE(f.comCheckBox->isEnabled()) << "use_default_com ran, the box stays usable";
}

TEST_F(FormWithoutUnit, NoneBeforeAnySuccessSaysNever) {
    app::MainWindow& f = start();
    f.noneMenu->trigger();
    EXPECT_EQ(f.statusText(), "Note: Last successful COM port used is: Never");
    EXPECT_EQ(f.comNumberLabel->text(), "None");
    EXPECT_EQ(f.serialPort->comNumber(), 0);
    EXPECT_FALSE(f.pickButton->isEnabled());
}

TEST_F(FormWithoutUnit, FailedComMenuProbeShowsTextAndMessageAndEnablesButtons) {
    app::MainWindow& f = start();
    struct Case {
        QAction* action;
        const char* message;
    } cases[] = {
        {f.com1Menu, "Error! Cannot establish communication using COM 1. Please check RS232 connection"},
        {f.com2Menu, "Error! Cannot establish communication using COM 2. Please check RS232 connection"},
    };
    for (const auto& c : cases) {
        dialogs.messages.clear();
        c.action->trigger();
        EXPECT_EQ(f.statusText(), "Unable to open Hardware thru COM ports. Select new COM port/check RS232 "
                                  "connection before proceeding");
        EXPECT_EQ(dialogs.messages, QStringList({c.message}));
        EXPECT_EQ(dialogs.kinds.back(), app::MsgKind::Error);
        EXPECT_TRUE(f.pickButton->isEnabled());
    }
}

TEST_F(FormWithoutUnit, BaudMenuSetsThePortRateAndTheLabel) {
    app::MainWindow& f = start();
    for (int rate : {1200, 2400, 9600, 19200, 57600, 921600, 230400, 38400}) {
        QAction* a = menuAction(f.baudMenu, QString::number(rate));
        ASSERT_NE(a, nullptr);
        a->trigger();
        EXPECT_EQ(f.serialPort->baud(), rate);
        EXPECT_EQ(f.comBaudLabel->text(), QString::number(rate));
        EXPECT_FALSE(a->isChecked());
    }
}

TEST_F(FormWithoutUnit, VisibleCollapsesTo139AndComesBackAt420) {
    app::MainWindow& f = start();
    f.visibleMenu->trigger();
    EXPECT_FALSE(f.visibleMenu->isChecked());
    EXPECT_EQ(f.clientSize(), QSize(527, 139));
    EXPECT_EQ(f.infoStatusBar->geometry(), QRect(0, 120, 527, 19)) << "status bar stays at the bottom";
    EXPECT_TRUE(f.terminalPane->isVisibleTo(&f)) << "the pane itself is not hidden";
    // The status bar lies over the pane: its own background shows, no black strip of the pane.
    const QImage shot = f.client->grab().toImage();
    const QColor bar = f.infoStatusBar->palette().color(QPalette::Window);
    for (int x : {30, 260, 500})
        EXPECT_EQ(shot.pixelColor(x, 136), bar) << x;
    f.visibleMenu->trigger();
    EXPECT_TRUE(f.visibleMenu->isChecked());
    EXPECT_EQ(f.clientSize(), QSize(527, 420));
    EXPECT_EQ(f.infoStatusBar->geometry(), QRect(0, 401, 527, 19));
}

// VT100 shows its whole screen, 24 rows of 80 or 132 columns, and the window grows around it; the
// teletype goes back to the designed pane and window.
TEST_F(FormWithoutUnit, EmulationSizesThePaneAndTheWindowToItsScreen) {
    app::MainWindow& f = start();
    terminal::TerminalWidget* pane = f.terminalPane;
    pane->writeString("kept\r\n");
    for (const auto& [action, bytes, rows, cols] : {std::tuple{"EmulationVT100", "", 24, 80},
                                                    {"", "\x1b[?3h", 24, 132},
                                                    {"EmulationTeletype", "", 16, 80}}) {
        if (*action) f.findChild<QAction*>(QString::fromLatin1(action))->trigger();
        pane->writeString(bytes);
        pumpFor(50);
        EXPECT_EQ(pane->rows(), rows);
        EXPECT_EQ(pane->columns(), cols);
        EXPECT_TRUE(rows == 16 || !(pane->horzTooSmall() || pane->vertTooSmall())) << "all of it shows";
        EXPECT_LT(pane->geometry().bottom(), f.infoStatusBar->y());
        EXPECT_LT(pane->geometry().right(), f.clientSize().width());
    }
    EXPECT_EQ(pane->geometry(), QRect(16, 120, 497, 273));
    EXPECT_EQ(f.clientSize(), QSize(527, 416));
    EXPECT_EQ(pane->line(1).substr(0, 4), "kept") << "the pane kept what it showed";
}

TEST_F(FormWithoutUnit, ColourActionsSetBackgroundAndTextColours) {
    app::MainWindow& f = start();
    const std::pair<const char*, terminal::Color> table[] = {{"Red", 0x0000FF},   {"Green", 0x008000},
                                                             {"Blue", 0xFF0000},  {"White", 0xFFFFFF},
                                                             {"Black", 0x000000}, {"Default", 0x000000}};
    for (const auto& [caption, colour] : table) {
        QAction* a = menuAction(f.backgroundColorMenu, caption);
        ASSERT_NE(a, nullptr) << caption;
        f.terminalPane->setColor(0x123456);
        a->trigger();
        EXPECT_EQ(f.terminalPane->color(), colour) << caption;
    }
    const std::pair<const char*, terminal::Color> text[] = {{"Red", 0x0000FF},   {"Green", 0x008000},
                                                            {"Blue", 0xFF0000},  {"White", 0xFFFFFF},
                                                            {"Black", 0x000000}, {"Default", 0xC0C0C0}};
    for (const auto& [caption, colour] : text) {
        QAction* a = menuAction(f.textColorMenu, caption);
        ASSERT_NE(a, nullptr) << caption;
        a->trigger();
        EXPECT_EQ(f.terminalPane->fontColor(), colour) << caption;
    }
}

TEST_F(FormWithoutUnit, FontDialogCancelKeepsTheFontAndConfirmTakesEverything) {
    app::MainWindow& f = start();
    const QFont before = f.terminalPane->font();
    f.terminalFontsAction->trigger();
    EXPECT_EQ(dialogs.fontOffered, before);
    EXPECT_EQ(f.terminalPane->font(), before);

    QFont chosen(QStringLiteral("DejaVu Sans Mono"));
    chosen.setPixelSize(16);
    chosen.setBold(true);
    dialogs.fontAnswer = chosen;
    dialogs.colorAnswer = QColor(0, 0, 255);
    f.terminalFontsAction->trigger();
    EXPECT_EQ(f.terminalPane->font().pixelSize(), 16);
    EXPECT_TRUE(f.terminalPane->font().bold());
    EXPECT_EQ(f.terminalPane->fontColor(), 0xFF0000u);
}

// The toolkit's font dialog opens on the face and size the pane draws (its designed face is
// substituted, sized in pixels) among fixed-pitch faces; taken as it opened, the cells stay.
TEST_F(FormWithoutUnit, FontDialogOpensOnThePanesFontAndKeepsItsCells) {
    terminal::TerminalWidget* pane = start().terminalPane;
    const QSize cell(pane->charWidth(), pane->charHeight());
    std::unique_ptr<QFontDialog> dialog(app::makeFontDialog(form.get(), pane->font()));
    EXPECT_TRUE(dialog->testOption(QFontDialog::MonospacedFonts));
    EXPECT_EQ(dialog->currentFont().family(), QFontInfo(pane->font()).family());
    pane->setFont(dialog->currentFont());
    EXPECT_EQ(QSize(pane->charWidth(), pane->charHeight()), cell);
}

// A box's icon is the kind its caller gives, whatever its text; the question that does not wait
// returns at once and answers when a button is pressed.
TEST_F(FormWithoutUnit, BoxesShowTheirKindAndTheQuestionDoesNotWait) {
    for (const auto& [kind, buttons, icon] :
         {std::tuple{app::MsgKind::Error, app::MsgButtons::Ok, QMessageBox::Critical},
          {app::MsgKind::Warning, app::MsgButtons::Ok, QMessageBox::Warning},
          {app::MsgKind::Information, app::MsgButtons::Ok, QMessageBox::Information},
          {app::MsgKind::Error, app::MsgButtons::YesNo, QMessageBox::Question}})
        EXPECT_EQ(
            std::unique_ptr<QMessageBox>(app::makeMessageBox(nullptr, "Error!", "", buttons, kind))->icon(),
            icon);
    QWidget owner;
    owner.show();
    std::optional<app::MsgAnswer> answer;
    app::QtDialogs().askWithoutWaiting(&owner, "Sure?", "Ask", [&](app::MsgAnswer a) { answer = a; });
    auto* box = owner.findChild<QMessageBox*>();
    ASSERT_TRUE(box && box->isVisible() && !answer);
    box->button(QMessageBox::No)->click();
    EXPECT_EQ(answer, app::MsgAnswer::No);
}

TEST_F(FormWithoutUnit, ClosingWhileIdleAsksNothing) {
    app::MainWindow& f = start();
    f.engine().setCaptureActive(true);
    f.exitMenu->trigger();
    EXPECT_FALSE(f.isVisible());
    EXPECT_FALSE(f.engine().captureActive());
    EXPECT_TRUE(dialogs.messages.isEmpty());
}

TEST_F(FormWithoutUnit, BackspaceWithThePortClosedIsLeftToThePane) {
    app::MainWindow& f = start();
    ASSERT_FALSE(f.serialPort->isOpen());
    EXPECT_FALSE(f.onTerminalKeyPress('\b'));
    EXPECT_FALSE(f.onTerminalKeyPress('a'));
}
