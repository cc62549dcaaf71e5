// Finding the unit: probing a port for its prompt, searching COM1 and COM2, the fallback to the
// configured port, and the "COM Port" and "Baud" menus.
#include "app/brimwell_form.h"

#include "app/port_probe.h"
#include "app/window_host.h"
#include "lights/sl_controller.h"
#include "script/loader_port.h"
#include "serial/component/com_port.h"
#include "serial/port_available.h"
#include "serial/port_names.h"
#include "terminal/widget/quav_terminal.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>

namespace brimwell {

namespace {
QString notResponding(int n, const char* tail) {
    return QStringLiteral("Note: COM Port #") + QString::number(n) + QString::fromLatin1(tail);
}
} // namespace

bool TBrimwellForm::check_com(int n) {
    if (!IsPortAvailable(static_cast<uint32_t>(n))) return false;

    const PortInUse probing(*this);
    const ProbeResult probe = probeComPort(*QuavComPort1, *engine_, static_cast<uint16_t>(n));
    switch (probe.outcome) {
    case ProbeOutcome::OpenFailed: {
        // The designed note, then what the component found out: the device and, when the user
        // may not open it, the group that owns it.
        QString text = notResponding(n, " is not responding/being used by other applications.");
        const std::string path = comDevicePath(static_cast<uint32_t>(n));
        std::string detail = probe.openError;
        if (!detail.empty() && detail.find(path) == std::string::npos) detail = path + ": " + detail;
        if (!detail.empty()) text += QStringLiteral("\r\n") + QString::fromStdString(detail);
        showMessage(text, MsgKind::Warning);
        return false;
    }
    case ProbeOutcome::PortError:
        showMessage(notResponding(n, " is not responding."), MsgKind::Warning);
        return false;
    case ProbeOutcome::Silent:
        return false;
    case ProbeOutcome::Answered:
        break;
    }
    setStatusText(QString::fromStdString(script::establishedOnComText(n)));
    ComNumberLabel->setText(QString::number(QuavComPort1->ComNumber()));
    LastGoodCom = QuavComPort1->ComNumber();
    ComBaudLabel->setText(QString::number(QuavComPort1->Baud()));
    return true;
}

int TBrimwellForm::process_com() {
    host_->setBusyCursor(true);
    int result = -1;
    if (check_com(1) || check_com(2)) {
        const QSignalBlocker quiet(ComCheckBox); // checking here is a result, not a request
        ComCheckBox->setChecked(true);
        result = 1;
    }
    host_->setBusyCursor(false);
    return result;
}

void TBrimwellForm::use_default_com() {
    if (DefaultComPort == 0) {
        setStatusText(QString::fromLatin1(script::kNoHardwareText));
        disable_btns();
        return;
    }
    setStatusText(QString::fromLatin1(script::kFallbackPortText));
    try {
        QuavComPort1->SetComNumber(static_cast<uint16_t>(DefaultComPort));
    } catch (const std::exception&) {
        // The open below tries again and stays quiet either way.
    }
    openComPort(*QuavComPort1);
    if (QuavComPort1->Open()) ComNumberLabel->setText(QString::number(QuavComPort1->ComNumber()));
}

void TBrimwellForm::COM1MenuClick() {
    comMenuClick(1);
}

void TBrimwellForm::COM2MenuClick() {
    comMenuClick(2);
}

void TBrimwellForm::comMenuClick(int n) {
    host_->setBusyCursor(true);
    setStatusText(QStringLiteral("Checking COM %1.... Please wait.... ").arg(n));
    if (PCIConnect->isEnabled()) {
        PCIConnect->setChecked(false);
        engine_->LinkMode = script::kLinkSerial;
        // Only COM1 brings back the panes that the PCI link hid.
        if (n == 1) {
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
        showMessage(QStringLiteral(
                        "Error! Cannot establish communication using COM %1. Please check RS232 connection")
                        .arg(n),
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
        engine_->LinkMode = script::kLinkSerial;
    }
    if (process_com() == -1) {
        use_default_com();
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
        QuavComPort1->SetOpen(false);
        QuavComPort1->SetComNumber(0);
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
    ComNumberLabel->setText(QStringLiteral("None"));
    disable_btns();
}

void TBrimwellForm::setBaudFromMenu(int baud) {
    try {
        QuavComPort1->SetBaud(baud);
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
    ComBaudLabel->setText(QString::number(QuavComPort1->Baud()));
}

void TBrimwellForm::ComCheckBoxClick() {
    if (!ComCheckBox->isChecked()) {
        if (QuavComPort1->Open()) closeComPortQuietly(*QuavComPort1);
        return;
    }
    if (!QuavComPort1->Open() && process_com() == -1) {
        const QSignalBlocker quiet(ComCheckBox);
        ComCheckBox->setChecked(false);
        showMessage(QStringLiteral("Unable to use Com Ports. Please make sure no one else is using the "
                                   "Hardware thru the Com Ports"),
                    MsgKind::Error);
    }
}

void TBrimwellForm::QuavComPort1TriggerAvail(uint16_t count) {
    engine_->QuavComPort1TriggerAvail(count);
}

} // namespace brimwell
