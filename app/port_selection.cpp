// Finding the unit: probing a port for its prompt, searching COM1 and COM2, the fallback to the
// configured port, and the "COM Port" and "Baud" menus.
#include "app/brimwell_form.h"

#include "app/link_watch.h"
#include "app/window_host.h"
#include "lights/sl_controller.h"
#include "serial/component/com_port.h"
#include "serial/port_available.h"
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

void TBrimwellForm::closePortQuietly() {
    try {
        QuavComPort1->SetOpen(false);
    } catch (const std::exception&) {
        // Closing leaves the port closed whatever the device said.
    }
}

bool TBrimwellForm::tryOpenPort(QString* error) {
    try {
        if (!QuavComPort1->Open()) QuavComPort1->SetOpen(true);
        return QuavComPort1->Open();
    } catch (const std::exception& e) {
        if (error) *error = QString::fromStdString(e.what());
        try {
            QuavComPort1->SetOpen(false);
        } catch (const std::exception&) {
            // Already closed by the failed open.
        }
        return false;
    }
}

bool TBrimwellForm::check_com(int n) {
    if (!IsPortAvailable(static_cast<uint32_t>(n))) return false;

    bool failed = false;
    try {
        QuavComPort1->SetComNumber(static_cast<uint16_t>(n));
    } catch (const std::exception&) {
        // A re-open under the new number failed; the open below reports it.
    }
    if (!tryOpenPort(nullptr)) {
        showMessage(notResponding(n, " is not responding/being used by other applications."));
        failed = true;
    }

    auto& e = *engine_;
    e.Probing = true;
    if (!failed) {
        // The link reports port errors as failed operations; any of them during the prompt check
        // means the port broke down rather than that nothing answered.
        linkWatch_->resetFailures();
        e.ExpectedPrompt = e.MainPromptChar;
        bool answered = e.SendCOMCmd_GetPrompt("\r");
        if (!answered && linkWatch_->failures() == 0) {
            e.ExpectedPrompt = e.LoaderPromptChar;
            answered = e.SendCOMCmd_GetPrompt("\r");
        }
        if (linkWatch_->failures() > 0) {
            showMessage(notResponding(n, " is not responding."));
            failed = true;
        } else if (!answered) {
            closePortQuietly();
            failed = true;
        }
    }
    e.Probing = false;

    if (failed) return false;
    setStatusText(QStringLiteral("Established communication on COM ") + QString::number(n));
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
        setStatusText(QStringLiteral(
            "Unable to open Hardware through COM ports. Select new COM port before proceeding"));
        disable_btns();
        return;
    }
    setStatusText(QStringLiteral("Error opening Hardware via COM ports. Select new COM port/check RS232 "
                                 "connection before proceeding"));
    try {
        QuavComPort1->SetComNumber(static_cast<uint16_t>(DefaultComPort));
    } catch (const std::exception&) {
        // The open below tries again and stays quiet either way.
    }
    tryOpenPort(nullptr);
    if (QuavComPort1->Open()) ComNumberLabel->setText(QString::number(QuavComPort1->ComNumber()));
}

void TBrimwellForm::COM1MenuClick() {
    host_->setBusyCursor(true);
    setStatusText(QStringLiteral("Checking COM 1.... Please wait.... "));
    if (PCIConnect->isEnabled()) {
        PCIConnect->setChecked(false);
        engine_->LinkMode = script::kLinkSerial;
        QuavTerminal1->show();
        RS232GroupBox->show();
    }
    if (check_com(1)) {
        setStatusText(QStringLiteral("Established communication on COM 1"));
        const QSignalBlocker quiet(ComCheckBox);
        ComCheckBox->setChecked(true);
    } else {
        setStatusText(
            QStringLiteral("Unable to open Hardware thru COM ports. Select new COM port/check RS232 "
                           "connection before proceeding"));
        showMessage(QStringLiteral(
            "Error! Cannot establish communication using COM 1. Please check RS232 connection"));
    }
    setMonitoring(true);
    enable_btns();
    refreshComLabels();
    host_->setBusyCursor(false);
}

void TBrimwellForm::COM2MenuClick() {
    host_->setBusyCursor(true);
    setStatusText(QStringLiteral("Checking COM 2.... Please wait.... "));
    if (PCIConnect->isEnabled()) {
        PCIConnect->setChecked(false);
        engine_->LinkMode = script::kLinkSerial;
    }
    if (check_com(2)) {
        setStatusText(QStringLiteral("Established communication on COM 2"));
        const QSignalBlocker quiet(ComCheckBox);
        ComCheckBox->setChecked(true);
    } else {
        setStatusText(
            QStringLiteral("Unable to open Hardware thru COM ports. Select new COM port/check RS232 "
                           "connection before proceeding"));
        showMessage(QStringLiteral(
            "Error! Cannot establish communication using COM 2. Please check RS232 connection"));
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
        showMessage(QString::fromStdString(e.what()));
    }
    ComNumberLabel->setText(QStringLiteral("None"));
    disable_btns();
}

void TBrimwellForm::setBaudFromMenu(int baud) {
    try {
        QuavComPort1->SetBaud(baud);
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()));
    }
    ComBaudLabel->setText(QString::number(QuavComPort1->Baud()));
}

void TBrimwellForm::ComCheckBoxClick() {
    if (!ComCheckBox->isChecked()) {
        if (QuavComPort1->Open()) {
            try {
                QuavComPort1->SetOpen(false);
            } catch (const std::exception&) {
            }
        }
        return;
    }
    if (!QuavComPort1->Open() && process_com() == -1) {
        const QSignalBlocker quiet(ComCheckBox);
        ComCheckBox->setChecked(false);
        showMessage(QStringLiteral("Unable to use Com Ports. Please make sure no one else is using the "
                                   "Hardware thru the Com Ports"));
    }
}

void TBrimwellForm::QuavComPort1TriggerAvail(uint16_t count) {
    engine_->QuavComPort1TriggerAvail(count);
}

} // namespace brimwell
