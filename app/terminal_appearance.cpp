// The "Terminal" menu: whether the window shows the terminal pane, its colours and font, and the
// backspace key typed into it.
#include "app/main_window.h"

#include "app/dialogs.h"
#include "serial/component/com_port.h"
#include "terminal/widget/terminal_widget.h"

#include <QAction>

namespace brimwell::app {

namespace {
// Numbering of settings 21 and 22: 0 Default, 1 Black, 2 Red, 3 Green, 4 Blue, 5 White.
// Colours are 0x00BBGGRR.
terminal::Color settingColour(int number, terminal::Color defaultColour) {
    switch (number) {
    case 1:
        return 0x000000;
    case 2:
        return 0x0000FF;
    case 3:
        return 0x008000;
    case 4:
        return 0xFF0000;
    case 5:
        return 0xFFFFFF;
    default:
        return defaultColour;
    }
}

} // namespace

void MainWindow::onVisibleChosen() {
    // The pane is never hidden: the window just stops above it, with the status bar kept at the
    // bottom. Shown again, the teletype window is 420 pixels high, four more than designed.
    if (visibleMenu->isChecked()) shownHeight_ = kVisibleHeight;
    fitToPane();
}

void MainWindow::chooseEmulation(terminal::Emulation emulation) {
    terminalPane->setEmulation(emulation);
    // A VT100's screen is 24 rows; the teletype keeps the pane's designed 16 rows and 80 columns.
    terminalPane->setRows(emulation == terminal::Emulation::VT100 ? kVT100Rows : kTeletypeRows);
    if (emulation == terminal::Emulation::Teletype) terminalPane->setColumns(kTeletypeColumns);
    fitToPane();
}

void MainWindow::setTerminalBackground(int settingNumber) {
    terminalPane->setColor(settingColour(settingNumber, terminal::kBlack));
}

void MainWindow::setTerminalTextColour(int settingNumber) {
    terminalPane->setFontColor(settingColour(settingNumber, terminal::kSilver));
    // Handing the font back makes the pane redraw with its new colour.
    terminalPane->setFont(terminalPane->font());
}

void MainWindow::onTerminalFontsChosen() {
    QFont font = terminalPane->font();
    QColor colour = terminal::toQColor(terminalPane->fontColor());
    if (!dialogs().chooseFont(this, font, colour)) return;
    terminalPane->setFontColor(terminal::fromQColor(colour));
    terminalPane->setFont(font);
}

bool MainWindow::onTerminalKeyPress(char key) {
    if (key != '\b' || !serialPort->isOpen()) return false;
    try {
        serialPort->putChar('\b');
        serialPort->putChar(' ');
        serialPort->putChar('\b');
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
    return true;
}

} // namespace brimwell::app
