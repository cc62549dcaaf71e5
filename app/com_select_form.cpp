// The port selection dialog.
#include "app/com_select_form.h"

#include "serial/port_available.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace brimwell {

namespace {
std::function<int(TComSelectForm&)> g_responder;
}

TComSelectForm::TComSelectForm(QWidget* parent, AvailabilityTest available) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Select Port"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    if (!available) available = [](unsigned n) { return serial::isPortAvailable(n); };

    Label1 = new QLabel(QStringLiteral("The configured serial port is not valid."), this);
    Label2 = new QLabel(QStringLiteral("Please choose another port."), this);
    PortComboBox = new QComboBox(this);
    for (int n = kFirstPort; n <= kLastPort; ++n)
        if (available(static_cast<unsigned>(n))) PortComboBox->addItem(QString::asprintf("COM%d", n));
    if (PortComboBox->count() > 0) PortComboBox->setCurrentIndex(0);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setDefault(true);
    // Nothing to choose: OK would hand back no port, so only Cancel makes sense.
    OKButton->setEnabled(PortComboBox->count() > 0);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKButton);
    buttons->addWidget(cancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(Label2);
    layout->addWidget(PortComboBox);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString TComSelectForm::SelectedCom() const {
    return PortComboBox->currentText();
}

int TComSelectForm::SelectedComNum() const {
    const QString text = SelectedCom();
    if (text.size() < 4) return 0;
    bool ok = false;
    const int n = text.mid(3).toInt(&ok);
    return ok ? n : 0;
}

int promptForPort() {
    TComSelectForm form;
    const int result = g_responder ? g_responder(form) : form.exec();
    if (result != QDialog::Accepted) return 0;
    return form.SelectedComNum();
}

void setComSelectResponder(std::function<int(TComSelectForm&)> answer) {
    g_responder = std::move(answer);
}

} // namespace brimwell
