// A port whose device is gone (unplugged, hung up, its far end closed) or that refused a write for
// good: the window lets go of it so that the operator can choose a port again.
#include "app/main_window.h"

#include "app/port_probe.h"
#include "app/window_host.h"
#include "serial/component/com_port.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

namespace brimwell::app {

MainWindow::PortInUse::PortInUse(MainWindow& form) : form_(form) {
    if (form_.portUsers_++ > 0) return;
    form_.host_->forgetShownErrors();
    form_.keysDropNoted_ = false;
    form_.lockPortChoice(true);
}

MainWindow::PortInUse::~PortInUse() {
    if (--form_.portUsers_ > 0) return;
    form_.lockPortChoice(false);
    if (form_.portLost_) form_.dropLostPort();
}

void MainWindow::lockPortChoice(bool lock) {
    QAction* const actions[] = {noneMenu, com1Menu, com2Menu, searchAllMenu, pciConnectAction};
    // Widgets by their own state: the whole window may be disabled around an unattended run.
    QWidget* const widgets[] = {comCheckBox, pickButton, uploadButton};
    if (lock) {
        portChoiceEnabled_.clear();
        for (QAction* a : actions)
            portChoiceEnabled_.push_back(a->isEnabled());
        for (QWidget* w : widgets)
            portChoiceEnabled_.push_back(!w->testAttribute(Qt::WA_ForceDisabled));
    }
    size_t i = 0;
    for (QAction* a : actions)
        a->setEnabled(!lock && portChoiceEnabled_[i++]);
    for (QWidget* w : widgets)
        w->setEnabled(!lock && portChoiceEnabled_[i++]);
    // The adapters' items come and go meanwhile; each is on whenever the port is free.
    for (const auto& item : adapterItems_)
        item.first->setEnabled(!lock);
}

void MainWindow::onPortError() {
    // Closing the port under a running script would turn its clear message into "port not open"
    // failures; it ends soon, having told the operator.
    portLost_ = true;
    if (portUsers_ == 0) dropLostPort();
}

void MainWindow::dropLostPort() {
    portLost_ = false;
    const std::string why = serialPort->portErrorText();
    if (why.empty()) return; // closed, or opened afresh, in the meantime
    // An adapter that comes back is offered again (adapterAppeared).
    if (const auto adapter = adapterNumbers_.find(serialPort->comNumber()); adapter != adapterNumbers_.end())
        lostAdapter_ =
            adapter->second.byId.empty() ? serial::usbPortName(adapter->second) : adapter->second.byId;
    // Closed first: the lights are dark and the labels true while the operator reads the box.
    closeComPortQuietly(*serialPort);
    comNumberLabel->setText(QStringLiteral("None"));
    disableButtons();
    setStatusText(QString::fromStdString(why) + QStringLiteral(" Select new COM port before proceeding"));
    if (!host_->errorShown(why)) host_->report({script::RunPart::Link, why, script::MessageKind::Error});
}

} // namespace brimwell::app
