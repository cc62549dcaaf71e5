// Finding the unit: probing a port for its prompt, searching COM1, COM2 and a lone USB adapter, the
// fallback to the configured port, and the "COM Port" menu with the adapters present, and "Baud".
#include "app/main_window.h"

#include "app/port_probe.h"
#include "app/window_host.h"
#include "lights/status_light_controller.h"
#include "script/loader_port.h"
#include "serial/component/com_port.h"
#include "serial/finder/adapter_watch.h"
#include "serial/port_available.h"
#include "serial/port_names.h"
#include "terminal/widget/terminal_widget.h"

#include <algorithm>

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>

namespace brimwell::app {

namespace {

// What the window remembers of an adapter to know it again when it comes back, wherever it is
// plugged in.
std::string adapterIdentity(const serial::SerialPortInfo& adapter) {
    return adapter.byId.empty() ? serial::usbPortName(adapter) : adapter.byId;
}

} // namespace

QString MainWindow::portName(int n) const {
    if (serial::comNamedByPath(static_cast<uint32_t>(n)))
        return QString::fromStdString(serial::portLabel(static_cast<uint32_t>(n)));
    return QStringLiteral("COM ") + QString::number(n);
}

QString MainWindow::comLabel(int n) const {
    if (n == 0) return QStringLiteral("None");
    const auto adapter = adapterNumbers_.find(n);
    if (adapter == adapterNumbers_.end()) return QString::number(n);
    const std::string& device = adapter->second.device;
    return QString::fromStdString(device.substr(device.find_last_of('/') + 1));
}

bool MainWindow::checkCom(int n) {
    auto notResponding = [&](const char* tail) {
        return (serial::comNamedByPath(static_cast<uint32_t>(n))
                    ? QStringLiteral("Note: ") + portName(n)
                    : QStringLiteral("Note: COM Port #") + QString::number(n)) +
               QString::fromLatin1(tail);
    };
    if (!serial::isPortAvailable(static_cast<uint32_t>(n))) return false;

    const PortInUse probing(*this);
    const ProbeResult probe = probeComPort(*serialPort, *engine_, static_cast<uint16_t>(n));
    switch (probe.outcome) {
    case ProbeOutcome::OpenFailed: {
        // The designed note, then what the component found out: the device and, when the user
        // may not open it, the group that owns it.
        QString text = notResponding(" is not responding/being used by other applications.");
        const std::string path = serial::comDevicePath(static_cast<uint32_t>(n));
        std::string detail = probe.openError;
        if (!detail.empty() && detail.find(path) == std::string::npos) detail = path + ": " + detail;
        if (!detail.empty()) text += QStringLiteral("\r\n") + QString::fromStdString(detail);
        showMessage(text, MsgKind::Warning);
        return false;
    }
    case ProbeOutcome::PortError:
        showMessage(notResponding(" is not responding."), MsgKind::Warning);
        return false;
    case ProbeOutcome::Silent:
        return false;
    case ProbeOutcome::Answered:
        break;
    }
    setStatusText(QString::fromStdString(script::establishedOnComText(n)));
    comNumberLabel->setText(comLabel(serialPort->comNumber()));
    lastGoodCom = serialPort->comNumber();
    comBaudLabel->setText(QString::number(serialPort->baud()));
    return true;
}

int MainWindow::searchComPorts() {
    host_->setBusyCursor(true);
    int result = -1;
    const PortSearch search = searchForUnit(
        adapterWatch_->adapters(), [this](const serial::SerialPortInfo& a) { return adapterNumber(a); },
        [this](uint16_t n) { return checkCom(n); });
    adaptersLeft_ = search.found == 0 && search.adapters.size() > 1 ? search.adapters.size() : 0;
    if (search.found != 0) {
        const QSignalBlocker quiet(comCheckBox); // checking here is a result, not a request
        comCheckBox->setChecked(true);
        result = 1;
    }
    host_->setBusyCursor(false);
    return result;
}

void MainWindow::useDefaultCom() {
    if (defaultComPort == 0) {
        setStatusText(QString::fromLatin1(script::kNoHardwareText));
        disableButtons();
        return;
    }
    setStatusText(QString::fromLatin1(script::kFallbackPortText));
    try {
        serialPort->setComNumber(static_cast<uint16_t>(defaultComPort));
    } catch (const std::exception&) {
        // The open below tries again and stays quiet either way.
    }
    openComPort(*serialPort);
    if (serialPort->isOpen()) comNumberLabel->setText(comLabel(serialPort->comNumber()));
}

void MainWindow::offerAdapters() {
    if (adaptersLeft_ == 0) return;
    setStatusText(statusText() + QStringLiteral(" %1 USB serial adapters are connected: choose the unit's in "
                                                "RS232 Config > COM Port.")
                                     .arg(adaptersLeft_));
}

uint16_t MainWindow::adapterNumber(const serial::SerialPortInfo& adapter) {
    const auto n = static_cast<uint16_t>(serial::comNumberForDevice(adapter.device));
    if (n != 0) adapterNumbers_[n] = adapter;
    return n;
}

void MainWindow::adapterMenuClick(const serial::SerialPortInfo& adapter) {
    if (const uint16_t n = adapterNumber(adapter)) comMenuClick(n);
}

void MainWindow::adapterAppeared(const serial::SerialPortInfo& adapter) {
    auto* item = new QAction(
        QString::fromStdString(serial::readableName(adapter) + " (" + adapter.device + ")"), comPortMenu);
    item->setObjectName(QString::fromStdString(adapter.device));
    item->setEnabled(portUsers_ == 0);
    connect(item, &QAction::triggered, this, [this, adapter] { adapterMenuClick(adapter); });
    auto at = std::find_if(adapterItems_.begin(), adapterItems_.end(),
                           [&](const auto& i) { return i.second.device > adapter.device; });
    comPortMenu->insertAction(at == adapterItems_.end() ? adapterSeparator : at->first, item);
    adapterItems_.insert(at, std::pair{item, adapter});
    // The adapter of a lost port is offered again, never opened without the operator: it may
    // come back with another unit on it.
    if (!lostAdapter_.empty() && adapterIdentity(adapter) == lostAdapter_) {
        lostAdapter_.clear();
        setStatusText(QString::fromStdString(serial::readableName(adapter) + " is back as " + adapter.device +
                                             ": choose it in RS232 Config > COM Port to use it again."));
    }
}

void MainWindow::adapterDisappeared(const serial::SerialPortInfo& adapter) {
    const auto at = std::find_if(adapterItems_.begin(), adapterItems_.end(),
                                 [&](const auto& i) { return i.second.device == adapter.device; });
    if (at == adapterItems_.end()) return;
    delete at->first;
    adapterItems_.erase(at);
}

void MainWindow::onCom1Chosen() {
    comMenuClick(1);
}

void MainWindow::onCom2Chosen() {
    comMenuClick(2);
}

void MainWindow::comMenuClick(int n) {
    host_->setBusyCursor(true);
    setStatusText(QStringLiteral("Checking %1.... Please wait.... ").arg(portName(n)));
    if (pciConnectAction->isEnabled()) {
        pciConnectAction->setChecked(false);
        engine_->setLinkMode(script::kLinkSerial);
        // Only COM1 (and an adapter) brings back the panes that the PCI link hid.
        if (n == 1 || adapterNumbers_.count(n)) {
            terminalPane->show();
            rs232GroupBox->show();
        }
    }
    if (checkCom(n)) {
        setStatusText(QString::fromStdString(script::establishedOnComText(n)));
        const QSignalBlocker quiet(comCheckBox);
        comCheckBox->setChecked(true);
    } else {
        setStatusText(
            QStringLiteral("Unable to open Hardware thru COM ports. Select new COM port/check RS232 "
                           "connection before proceeding"));
        showMessage(
            QStringLiteral("Error! Cannot establish communication using %1. Please check RS232 connection")
                .arg(portName(n)),
            MsgKind::Error);
    }
    setMonitoring(true);
    enableButtons();
    refreshComLabels();
    host_->setBusyCursor(false);
}

void MainWindow::onSearchAllChosen() {
    if (pciConnectAction->isEnabled()) {
        pciConnectAction->setChecked(false);
        engine_->setLinkMode(script::kLinkSerial);
    }
    if (searchComPorts() == -1) {
        useDefaultCom();
        offerAdapters();
        return;
    }
    comCheckBox->setEnabled(false);
    setMonitoring(true);
    enableButtons();
}

void MainWindow::onNoneChosen() {
    if (lastGoodCom <= 0)
        setStatusText(QStringLiteral("Note: Last successful COM port used is: Never"));
    else
        setStatusText(QStringLiteral("Note: Last successful COM port used is: ") +
                      QString::number(lastGoodCom));
    try {
        serialPort->setOpen(false);
        serialPort->setComNumber(0);
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
    comNumberLabel->setText(QStringLiteral("None"));
    disableButtons();
}

void MainWindow::onBaudChosen(int baud) {
    try {
        serialPort->setBaud(baud);
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
    comBaudLabel->setText(QString::number(serialPort->baud()));
}

void MainWindow::onComCheckBoxClicked() {
    if (!comCheckBox->isChecked()) {
        if (serialPort->isOpen()) closeComPortQuietly(*serialPort);
        return;
    }
    if (!serialPort->isOpen() && searchComPorts() == -1) {
        const QSignalBlocker quiet(comCheckBox);
        comCheckBox->setChecked(false);
        showMessage(QStringLiteral("Unable to use Com Ports. Please make sure no one else is using the "
                                   "Hardware thru the Com Ports"),
                    MsgKind::Error);
    }
}

void MainWindow::onDataAvailable(uint16_t count) {
    engine_->onDataAvailable(count);
}

} // namespace brimwell::app
