// The port selection dialog.
#include "app/com_select_form.h"

#include "serial/port_available.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace brimwell::app {

namespace {
std::function<int(ComSelectForm&)> g_responder;
}

ComSelectForm::ComSelectForm(QWidget* parent, AvailabilityTest available) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Select Port"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    if (!available) available = [](unsigned n) { return serial::isPortAvailable(n); };

    problemLabel = new QLabel(QStringLiteral("The configured serial port is not valid."), this);
    adviceLabel = new QLabel(QStringLiteral("Please choose another port."), this);
    portComboBox = new QComboBox(this);
    for (int n = kFirstPort; n <= kLastPort; ++n)
        if (available(static_cast<unsigned>(n))) portComboBox->addItem(QString::asprintf("COM%d", n));
    if (portComboBox->count() > 0) portComboBox->setCurrentIndex(0);

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    // Nothing to choose: OK would hand back no port, so only Cancel makes sense.
    okButton->setEnabled(portComboBox->count() > 0);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okButton);
    buttons->addWidget(cancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(problemLabel);
    layout->addWidget(adviceLabel);
    layout->addWidget(portComboBox);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString ComSelectForm::selectedCom() const {
    return portComboBox->currentText();
}

int ComSelectForm::selectedComNum() const {
    const QString text = selectedCom();
    if (text.size() < 4) return 0;
    bool ok = false;
    const int n = text.mid(3).toInt(&ok);
    return ok ? n : 0;
}

int promptForPort() {
    ComSelectForm form;
    const int result = g_responder ? g_responder(form) : form.exec();
    if (result != QDialog::Accepted) return 0;
    return form.selectedComNum();
}

void setComSelectResponder(std::function<int(ComSelectForm&)> answer) {
    g_responder = std::move(answer);
}

} // namespace brimwell::app
