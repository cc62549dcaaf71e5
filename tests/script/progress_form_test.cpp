// The progress window as a real widget, offscreen: layout, captions, filling, stepping, Stop.
#include "script/progress_form.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

namespace brimwell::script {
namespace {

ProgressInfo info(int maximum, const std::string& checksum = "1A2B") {
    ProgressInfo i;
    i.fileName = "/data/fw.bin";
    i.checksumText = checksum;
    i.loadAddressText = "80000000";
    i.fileSizeText = "70000";
    i.maximum = maximum;
    return i;
}

TEST(ProgressForm, LayoutAndCaptions) {
    TProgressForm form;
    EXPECT_EQ(form.size(), QSize(430, 145));
    EXPECT_EQ(form.windowTitle(), "Quellmark Inc. :- File Upload Progress");
    EXPECT_TRUE(form.windowFlags() & Qt::Tool);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(form.isVisible());

    struct Row {
        QWidget* widget;
        QPoint at;
        QString text; // empty for controls without a fixed caption
        bool shown;
        bool value = false; // a value: at its place or further right, after its caption
    };
    const Row rows[] = {
        {form.Label1, {144, 0}, "TRANSFER STATUS ", true},
        {form.Label5, {8, 16}, "File Path :", false},
        {form.FilePathLabel, {83, 17}, "", false, true},
        {form.Label2, {8, 80}, "File Name : ", true},
        {form.BlockNameLabel, {67, 80}, "", true, true},
        {form.Label6, {216, 80}, "File Size", true},
        {form.FileSizeLabel, {291, 80}, "", true, true},
        {form.Label3, {8, 104}, "Checksum :", true},
        {form.ChecksumLabel, {67, 104}, "", true, true},
        {form.Label4, {216, 104}, "Load Address :", true},
        {form.LoadAddressLabel, {291, 104}, "", true, true},
        {form.PCINumberLabel, {216, 128}, "PCI Board :  ", false},
    };
    form.show();
    for (const Row& r : rows) {
        EXPECT_EQ(r.widget->y(), r.at.y()) << r.text.toStdString();
        if (r.value) {
            EXPECT_GE(r.widget->x(), r.at.x());
        } else {
            EXPECT_EQ(r.widget->x(), r.at.x()) << r.text.toStdString();
        }
        EXPECT_EQ(r.widget->isVisible(), r.shown) << r.text.toStdString();
        if (!r.text.isEmpty()) {
            EXPECT_EQ(static_cast<QLabel*>(r.widget)->text(), r.text);
        }
    }
    EXPECT_EQ(form.FilePathLabel->width(), 406);
    EXPECT_EQ(form.FileProgressBar->geometry(), QRect(8, 40, 417, 25));
    EXPECT_EQ(form.FileProgressBar->minimum(), 0);
    EXPECT_EQ(form.FileProgressBar->maximum(), 100);
    EXPECT_EQ(form.CancelButton->geometry(), QRect(376, 115, 49, 25));
    EXPECT_EQ(form.CancelButton->text(), "Stop");
    EXPECT_EQ(form.Label1->font().pointSize(), 11);
    EXPECT_EQ(form.font().pointSize(), 8);
    EXPECT_EQ(form.font().family(), "Comic Sans MS");
}

// Whatever the font makes of a caption's text, its value starts a gap after it, never on it.
TEST(ProgressForm, ValuesKeepAGapAfterTheirCaptionsAtAnyFont) {
    for (const QFont& font :
         {QFont(QStringLiteral("Comic Sans MS"), 8), QFont(QStringLiteral("DejaVu Sans"), 14)}) {
        TProgressForm form;
        form.setFont(font);
        form.ShowProgressForm(info(3));
        for (const auto& [caption, value] : {std::pair{form.Label5, form.FilePathLabel},
                                             {form.Label2, form.BlockNameLabel},
                                             {form.Label6, form.FileSizeLabel},
                                             {form.Label3, form.ChecksumLabel},
                                             {form.Label4, form.LoadAddressLabel}}) {
            const int textEnd = caption->x() + caption->fontMetrics().horizontalAdvance(caption->text());
            EXPECT_GE(value->x(), textEnd + TProgressForm::kCaptionGap)
                << caption->text().toStdString() << " at " << font.toString().toStdString();
        }
    }
}

TEST(ProgressForm, ShowFillsStepsClipAndHideResets) {
    TProgressForm form;
    form.ShowProgressForm(info(2));
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.BlockNameLabel->text(), "/data/fw.bin");
    EXPECT_EQ(form.ChecksumLabel->text(), "1A2B");
    EXPECT_EQ(form.LoadAddressLabel->text(), "80000000");
    EXPECT_EQ(form.FileSizeLabel->text(), "70000");
    EXPECT_EQ(form.FileProgressBar->maximum(), 2);
    EXPECT_EQ(form.FileProgressBar->value(), 0);
    for (int expected : {1, 2, 2}) {
        form.StepIt();
        EXPECT_EQ(form.FileProgressBar->value(), expected);
    }
    form.HideProgressForm();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.FileProgressBar->value(), 0);

    form.ShowProgressForm(info(0, "0"));
    EXPECT_EQ(form.FileProgressBar->maximum(), 1);
    EXPECT_EQ(form.ChecksumLabel->text(), "0");
    form.StepIt();
    EXPECT_EQ(form.FileProgressBar->value(), form.FileProgressBar->maximum());
}

TEST(ProgressForm, StopButtonAndBoardLabel) {
    TProgressForm form;
    form.ShowProgressForm(info(5));
    int stops = 0;
    QObject::connect(&form, &TProgressForm::cancelClicked, [&] { ++stops; });
    form.CancelButton->click();
    EXPECT_EQ(stops, 1);

    form.setPciBoardLabel(true, "PCI Board :  3");
    EXPECT_TRUE(form.PCINumberLabel->isVisible());
    EXPECT_EQ(form.PCINumberLabel->text(), "PCI Board :  3");
    form.setPciBoardLabel(false, "PCI Board :  ");
    EXPECT_FALSE(form.PCINumberLabel->isVisible());
}

} // namespace
} // namespace brimwell::script
