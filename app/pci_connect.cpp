// The window's side of the PCI board link: the enumeration its constructor runs and the
// "PCI Board(s)" -> "Connected" item that switches between the board and the serial port.
#include "app/main_window.h"

#include "app/pci/pci_board_link.h"
#include "serial/component/com_port.h"
#include "terminal/widget/terminal_widget.h"

#include <QAction>
#include <QGroupBox>
#include <QLabel>

namespace brimwell::app {

void MainWindow::enumeratePciBoards() {
    pciLink_ = std::make_unique<pci::PciBoardLink>(pci::installedPciDriver());
    const pci::Enumeration found = pciLink_->enumerate();
    engine_->setBoardLink(pciLink_.get());
    engine_->setBoardMap(pciLink_->boardMap);
    engine_->setSelectedBoard(pciLink_->selectedBoard);
    // An unsound board ID disables the link for the whole run; the item never comes back.
    pciConnectAction->setEnabled(found.usable);
    engine_->setLinkMode(found.usable ? script::kLinkPci : script::kLinkSerial);
    for (const std::string& m : found.messages)
        showMessage(QString::fromStdString(m), MsgKind::Warning);
}

void MainWindow::onPciConnectChosen() {
    if (!pciConnectAction->isEnabled()) return;
    if (pciConnectAction->isChecked()) {
        terminalPane->show();
        rs232GroupBox->show();
        engine_->setLinkMode(script::kLinkSerial);
        pciConnectAction->setChecked(false);
        setStatusText(QStringLiteral("Not connected."));
        return;
    }
    try {
        serialPort->setOpen(false);
        serialPort->setComNumber(0);
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
    terminalPane->clearAll();
    terminalPane->hide();
    rs232GroupBox->hide();
    comNumberLabel->setText(QStringLiteral("None"));
    engine_->setLinkMode(script::kLinkPci);
    pciConnectAction->setChecked(true);
    setStatusText(QStringLiteral("Established communication on PCI board."));
}

} // namespace brimwell::app
