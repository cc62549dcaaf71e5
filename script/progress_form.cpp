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

TProgressForm::TProgressForm(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(QStringLiteral("Quellmark Inc. :- File Upload Progress"));
    setFixedSize(kClientWidth, kClientHeight);
    QFont font(QStringLiteral("Comic Sans MS"), 8);
    setFont(font);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);

    Label1 = label(this, 144, 0, QStringLiteral("TRANSFER STATUS "));
    QFont big = font;
    big.setPointSize(11);
    Label1->setFont(big);
    Label1->adjustSize();
    Label5 = label(this, 8, 16, QStringLiteral("File Path :"), false);
    FilePathLabel = label(this, 83, 17, QString(), false);
    FilePathLabel->setFixedWidth(406);

    FileProgressBar = new QProgressBar(this);
    FileProgressBar->setGeometry(8, 40, 417, 25);
    FileProgressBar->setRange(0, 100);
    FileProgressBar->setValue(0);
    FileProgressBar->setTextVisible(false);

    Label2 = label(this, 8, 80, QStringLiteral("File Name : "));
    BlockNameLabel = label(this, 67, 80, QString());
    Label6 = label(this, 216, 80, QStringLiteral("File Size"));
    FileSizeLabel = label(this, 291, 80, QString());
    Label3 = label(this, 8, 104, QStringLiteral("Checksum :"));
    ChecksumLabel = label(this, 67, 104, QString());
    Label4 = label(this, 216, 104, QStringLiteral("Load Address :"));
    LoadAddressLabel = label(this, 291, 104, QString());

    CancelButton = new QPushButton(QStringLiteral("Stop"), this);
    CancelButton->setGeometry(376, 115, 49, 25);
    connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButtonClick(); });

    PCINumberLabel = label(this, 216, 128, QStringLiteral("PCI Board :  "), false);
    placeValues();
}

void TProgressForm::placeValues() {
    const struct {
        QLabel* caption;
        QLabel* value;
        int left;
    } places[] = {{Label5, FilePathLabel, 83},
                  {Label2, BlockNameLabel, 67},
                  {Label6, FileSizeLabel, 291},
                  {Label3, ChecksumLabel, 67},
                  {Label4, LoadAddressLabel, 291}};
    for (const auto& p : places) {
        p.caption->adjustSize();
        p.value->move(std::max(p.left, p.caption->x() + p.caption->width() + kCaptionGap), p.value->y());
    }
}

void TProgressForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange && PCINumberLabel) placeValues(); // built by then
}

void TProgressForm::ShowProgressForm(const ProgressInfo& info) {
    show();
    auto setText = [](QLabel* l, const std::string& text) {
        l->setText(QString::fromStdString(text));
        l->adjustSize();
    };
    setText(BlockNameLabel, info.fileName);
    setText(ChecksumLabel, info.checksumText);
    setText(LoadAddressLabel, info.loadAddressText);
    setText(FileSizeLabel, info.fileSizeText);
    FileProgressBar->setMaximum(info.maximum > 0 ? info.maximum : 1);
    QCoreApplication::processEvents();
}

void TProgressForm::HideProgressForm() {
    FileProgressBar->setValue(0);
    hide();
    QCoreApplication::processEvents();
}

void TProgressForm::StepIt() {
    FileProgressBar->setValue(std::min(FileProgressBar->value() + 1, FileProgressBar->maximum()));
}

void TProgressForm::setPciBoardLabel(bool visible, const QString& caption) {
    PCINumberLabel->setText(caption);
    PCINumberLabel->adjustSize();
    PCINumberLabel->setVisible(visible);
}

void TProgressForm::CancelButtonClick() {
    emit cancelClicked();
}

} // namespace brimwell::script
