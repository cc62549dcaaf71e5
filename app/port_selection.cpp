// Finding the unit: probing a port for its prompt, searching COM1, COM2 and a lone USB adapter, the
// fallback to the configured port, and the "COM Port" menu with the adapters present, and "Baud".
#include "app/brimwell_form.h"

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

namespace brimwell {

namespace {

// What the window remembers of an adapter to know it again when it comes back, wherever it is
// plugged in.
std::string adapterIdentity(const serial::SerialPortInfo& adapter) {
    return adapter.byId.empty() ? serial::usbPortName(adapter) : adapter.byId;
}

} // namespace

QString TBrimwellForm::portName(int n) const {
    if (serial::comNamedByPath(static_cast<uint32_t>(n)))
        return QString::fromStdString(serial::portLabel(static_cast<uint32_t>(n)));
    return QStringLiteral("COM ") + QString::number(n);
}

QString TBrimwellForm::comLabel(int n) const {
    if (n == 0) return QStringLiteral("None");
    const auto adapter = adapterNumbers_.find(n);
    if (adapter == adapterNumbers_.end()) return QString::number(n);
    const std::string& device = adapter->second.device;
    return QString::fromStdString(device.substr(device.find_last_of('/') + 1));
}

bool TBrimwellForm::check_com(int n) {
    auto notResponding = [&](const char* tail) {
        return (serial::comNamedByPath(static_cast<uint32_t>(n))
                    ? QStringLiteral("Note: ") + portName(n)
                    : QStringLiteral("Note: COM Port #") + QString::number(n)) +
               QString::fromLatin1(tail);
    };
    if (!serial::isPortAvailable(static_cast<uint32_t>(n))) return false;

    const PortInUse probing(*this);
    const ProbeResult probe = probeComPort(*QuavComPort1, *engine_, static_cast<uint16_t>(n));
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
    ComNumberLabel->setText(comLabel(QuavComPort1->comNumber()));
    LastGoodCom = QuavComPort1->comNumber();
    ComBaudLabel->setText(QString::number(QuavComPort1->baud()));
    return true;
}

int TBrimwellForm::process_com() {
    host_->setBusyCursor(true);
    int result = -1;
    const PortSearch search = searchForUnit(
        adapterWatch_->adapters(), [this](const serial::SerialPortInfo& a) { return adapterNumber(a); },
        [this](uint16_t n) { return check_com(n); });
    adaptersLeft_ = search.found == 0 && search.adapters.size() > 1 ? search.adapters.size() : 0;
    if (search.found != 0) {
        const QSignalBlocker quiet(ComCheckBox); // checking here is a result, not a request
        ComCheckBox->setChecked(true);
        result = 1;
    }
    host_->setBusyCursor(false);
    return result;
}

void TBrimwellForm::use_default_com() {
    if (defaultComPort == 0) {
        setStatusText(QString::fromLatin1(script::kNoHardwareText));
        disable_btns();
        return;
    }
    setStatusText(QString::fromLatin1(script::kFallbackPortText));
    try {
        QuavComPort1->setComNumber(static_cast<uint16_t>(defaultComPort));
    } catch (const std::exception&) {
        // The open below tries again and stays quiet either way.
    }
    openComPort(*QuavComPort1);
    if (QuavComPort1->isOpen()) ComNumberLabel->setText(comLabel(QuavComPort1->comNumber()));
}

void TBrimwellForm::offerAdapters() {
    if (adaptersLeft_ == 0) return;
    setStatusText(statusText() + QStringLiteral(" %1 USB serial adapters are connected: choose the unit's in "
                                                "RS232 Config > COM Port.")
                                     .arg(adaptersLeft_));
}

uint16_t TBrimwellForm::adapterNumber(const serial::SerialPortInfo& adapter) {
    const auto n = static_cast<uint16_t>(serial::comNumberForDevice(adapter.device));
    if (n != 0) adapterNumbers_[n] = adapter;
    return n;
}

void TBrimwellForm::adapterMenuClick(const serial::SerialPortInfo& adapter) {
    if (const uint16_t n = adapterNumber(adapter)) comMenuClick(n);
}

void TBrimwellForm::adapterAppeared(const serial::SerialPortInfo& adapter) {
    auto* item = new QAction(
        QString::fromStdString(serial::readableName(adapter) + " (" + adapter.device + ")"), COMPortMenu);
    item->setObjectName(QString::fromStdString(adapter.device));
    item->setEnabled(portUsers_ == 0);
    connect(item, &QAction::triggered, this, [this, adapter] { adapterMenuClick(adapter); });
    auto at = std::find_if(adapterItems_.begin(), adapterItems_.end(),
                           [&](const auto& i) { return i.second.device > adapter.device; });
    COMPortMenu->insertAction(at == adapterItems_.end() ? AdapterSeparator : at->first, item);
    adapterItems_.insert(at, std::pair{item, adapter});
    // The adapter of a lost port is offered again, never opened without the operator: it may
    // come back with another unit on it.
    if (!lostAdapter_.empty() && adapterIdentity(adapter) == lostAdapter_) {
        lostAdapter_.clear();
        setStatusText(QString::fromStdString(serial::readableName(adapter) + " is back as " + adapter.device +
                                             ": choose it in RS232 Config > COM Port to use it again."));
    }
}

void TBrimwellForm::adapterDisappeared(const serial::SerialPortInfo& adapter) {
    const auto at = std::find_if(adapterItems_.begin(), adapterItems_.end(),
                                 [&](const auto& i) { return i.second.device == adapter.device; });
    if (at == adapterItems_.end()) return;
    delete at->first;
    adapterItems_.erase(at);
}

void TBrimwellForm::COM1MenuClick() {
    comMenuClick(1);
}

void TBrimwellForm::COM2MenuClick() {
    comMenuClick(2);
}

void TBrimwellForm::comMenuClick(int n) {
    host_->setBusyCursor(true);
    setStatusText(QStringLiteral("Checking %1.... Please wait.... ").arg(portName(n)));
    if (PCIConnect->isEnabled()) {
        PCIConnect->setChecked(false);
        engine_->setLinkMode(script::kLinkSerial);
        // Only COM1 (and an adapter) brings back the panes that the PCI link hid.
        if (n == 1 || adapterNumbers_.count(n)) {
            QuavTerminal1->show();
            RS232GroupBox->show();
        }
    }
    if (check_com(n)) {
        setStatusText(QString::fromStdString(script::establishedOnComText(n)));
        const QSignalBlocker quiet(ComCheckBox);
        ComCheckBox->setChecked(true);
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
    enable_btns();
    refreshComLabels();
    host_->setBusyCursor(false);
}

void TBrimwellForm::SearchAllMenuClick() {
    if (PCIConnect->isEnabled()) {
        PCIConnect->setChecked(false);
        engine_->setLinkMode(script::kLinkSerial);
    }
    if (process_com() == -1) {
        use_default_com();
        offerAdapters();
        return;
    }
    ComCheckBox->setEnabled(false);
    setMonitoring(true);
    enable_btns();
}

void TBrimwellForm::NoneMenuClick() {
    if (LastGoodCom <= 0)
        setStatusText(QStringLiteral("Note: Last successful COM port used is: Never"));
    else
        setStatusText(QStringLiteral("Note: Last successful COM port used is: ") +
                      QString::number(LastGoodCom));
    try {
        QuavComPort1->setOpen(false);
        QuavComPort1->setComNumber(0);
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
    ComNumberLabel->setText(QStringLiteral("None"));
    disable_btns();
}

void TBrimwellForm::setBaudFromMenu(int baud) {
    try {
        QuavComPort1->setBaud(baud);
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
    ComBaudLabel->setText(QString::number(QuavComPort1->baud()));
}

void TBrimwellForm::ComCheckBoxClick() {
    if (!ComCheckBox->isChecked()) {
        if (QuavComPort1->isOpen()) closeComPortQuietly(*QuavComPort1);
        return;
    }
    if (!QuavComPort1->isOpen() && process_com() == -1) {
        const QSignalBlocker quiet(ComCheckBox);
        ComCheckBox->setChecked(false);
        showMessage(QStringLiteral("Unable to use Com Ports. Please make sure no one else is using the "
                                   "Hardware thru the Com Ports"),
                    MsgKind::Error);
    }
}

void TBrimwellForm::onDataAvailable(uint16_t count) {
    engine_->onDataAvailable(count);
}

} // namespace brimwell
