// The "Terminal" menu: whether the window shows the terminal pane, its colours and font, and the
// backspace key typed into it.
#include "app/brimwell_form.h"

#include "app/dialogs.h"
#include "serial/component/com_port.h"
#include "terminal/widget/terminal_widget.h"

#include <QAction>

namespace brimwell {

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

void TBrimwellForm::VisibleMenuClick() {
    // The pane is never hidden: the window just stops above it, with the status bar kept at the
    // bottom. Shown again, the teletype window is 420 pixels high, four more than designed.
    if (VisibleMenu->isChecked()) shownHeight_ = kVisibleHeight;
    fitToPane();
}

void TBrimwellForm::chooseEmulation(terminal::Emulation emulation) {
    QuavTerminal1->setEmulation(emulation);
    // A VT100's screen is 24 rows; the teletype keeps the pane's designed 16 rows and 80 columns.
    QuavTerminal1->setRows(emulation == terminal::Emulation::VT100 ? kVT100Rows : kTeletypeRows);
    if (emulation == terminal::Emulation::Teletype) QuavTerminal1->setColumns(kTeletypeColumns);
    fitToPane();
}

void TBrimwellForm::setTerminalBackground(int settingNumber) {
    QuavTerminal1->setColor(settingColour(settingNumber, terminal::kBlack));
}

void TBrimwellForm::setTerminalTextColour(int settingNumber) {
    QuavTerminal1->setFontColor(settingColour(settingNumber, terminal::kSilver));
    // Handing the font back makes the pane redraw with its new colour.
    QuavTerminal1->setFont(QuavTerminal1->font());
}

void TBrimwellForm::TerminalFonts1Click() {
    QFont font = QuavTerminal1->font();
    QColor colour = terminal::toQColor(QuavTerminal1->fontColor());
    if (!dialogs().chooseFont(this, font, colour)) return;
    QuavTerminal1->setFontColor(terminal::fromQColor(colour));
    QuavTerminal1->setFont(font);
}

bool TBrimwellForm::QuavTerminal1KeyPress(char key) {
    if (key != '\b' || !QuavComPort1->isOpen()) return false;
    try {
        QuavComPort1->putChar('\b');
        QuavComPort1->putChar(' ');
        QuavComPort1->putChar('\b');
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
    return true;
}

} // namespace brimwell
