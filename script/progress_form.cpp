// The upload progress window: a fixed 430 x 145 tool window laid out control by control.
#include "script/progress_form.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace brimwell::script {
namespace {

QLabel* label(QWidget* parent, int left, int top, const QString& text, bool shown = true) {
    auto* l = new QLabel(text, parent);
    l->move(left, top);
    l->adjustSize();
    l->setVisible(shown);
    return l;
}

} // namespace

ProgressForm::ProgressForm(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(QStringLiteral("Quellmark Inc. :- File Upload Progress"));
    setFixedSize(kClientWidth, kClientHeight);
    QFont font(QStringLiteral("Comic Sans MS"), 8);
    setFont(font);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);

    titleLabel = label(this, 144, 0, QStringLiteral("TRANSFER STATUS "));
    QFont big = font;
    big.setPointSize(11);
    titleLabel->setFont(big);
    titleLabel->adjustSize();
    filePathCaption = label(this, 8, 16, QStringLiteral("File Path :"), false);
    filePathLabel = label(this, 83, 17, QString(), false);
    filePathLabel->setFixedWidth(406);

    fileProgressBar = new QProgressBar(this);
    fileProgressBar->setGeometry(8, 40, 417, 25);
    fileProgressBar->setRange(0, 100);
    fileProgressBar->setValue(0);
    fileProgressBar->setTextVisible(false);

    fileNameCaption = label(this, 8, 80, QStringLiteral("File Name : "));
    blockNameLabel = label(this, 67, 80, QString());
    fileSizeCaption = label(this, 216, 80, QStringLiteral("File Size"));
    fileSizeLabel = label(this, 291, 80, QString());
    checksumCaption = label(this, 8, 104, QStringLiteral("Checksum :"));
    checksumLabel = label(this, 67, 104, QString());
    loadAddressCaption = label(this, 216, 104, QStringLiteral("Load Address :"));
    loadAddressLabel = label(this, 291, 104, QString());

    cancelButton = new QPushButton(QStringLiteral("Stop"), this);
    cancelButton->setGeometry(376, 115, 49, 25);
    connect(cancelButton, &QPushButton::clicked, this, [this] { pressStop(); });

    pciBoardLabel = label(this, 216, 128, QStringLiteral("PCI Board :  "), false);
    placeValues();
}

void ProgressForm::placeValues() {
    const struct {
        QLabel* caption;
        QLabel* value;
        int left;
    } places[] = {{filePathCaption, filePathLabel, 83},
                  {fileNameCaption, blockNameLabel, 67},
                  {fileSizeCaption, fileSizeLabel, 291},
                  {checksumCaption, checksumLabel, 67},
                  {loadAddressCaption, loadAddressLabel, 291}};
    for (const auto& p : places) {
        p.caption->adjustSize();
        p.value->move(std::max(p.left, p.caption->x() + p.caption->width() + kCaptionGap), p.value->y());
    }
}

void ProgressForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange && pciBoardLabel) placeValues(); // built by then
}

void ProgressForm::showProgress(const ProgressInfo& info) {
    show();
    auto setText = [](QLabel* l, const std::string& text) {
        l->setText(QString::fromStdString(text));
        l->adjustSize();
    };
    setText(blockNameLabel, info.fileName);
    setText(checksumLabel, info.checksumText);
    setText(loadAddressLabel, info.loadAddressText);
    setText(fileSizeLabel, info.fileSizeText);
    fileProgressBar->setMaximum(info.maximum > 0 ? info.maximum : 1);
    QCoreApplication::processEvents();
}

void ProgressForm::hideProgress() {
    fileProgressBar->setValue(0);
    hide();
    QCoreApplication::processEvents();
}

void ProgressForm::stepIt() {
    fileProgressBar->setValue(std::min(fileProgressBar->value() + 1, fileProgressBar->maximum()));
}

void ProgressForm::setPciBoardLabel(bool visible, const QString& caption) {
    pciBoardLabel->setText(caption);
    pciBoardLabel->adjustSize();
    pciBoardLabel->setVisible(visible);
}

void ProgressForm::pressStop() {
    emit cancelClicked();
}

} // namespace brimwell::script
