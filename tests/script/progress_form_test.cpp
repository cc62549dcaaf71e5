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
    ProgressForm form;
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
        {form.titleLabel, {144, 0}, "TRANSFER STATUS ", true},
        {form.filePathCaption, {8, 16}, "File Path :", false},
        {form.filePathLabel, {83, 17}, "", false, true},
        {form.fileNameCaption, {8, 80}, "File Name : ", true},
        {form.blockNameLabel, {67, 80}, "", true, true},
        {form.fileSizeCaption, {216, 80}, "File Size", true},
        {form.fileSizeLabel, {291, 80}, "", true, true},
        {form.checksumCaption, {8, 104}, "Checksum :", true},
        {form.checksumLabel, {67, 104}, "", true, true},
        {form.loadAddressCaption, {216, 104}, "Load Address :", true},
        {form.loadAddressLabel, {291, 104}, "", true, true},
        {form.pciBoardLabel, {216, 128}, "PCI Board :  ", false},
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
    EXPECT_EQ(form.filePathLabel->width(), 406);
    EXPECT_EQ(form.fileProgressBar->geometry(), QRect(8, 40, 417, 25));
    EXPECT_EQ(form.fileProgressBar->minimum(), 0);
    EXPECT_EQ(form.fileProgressBar->maximum(), 100);
    EXPECT_EQ(form.cancelButton->geometry(), QRect(376, 115, 49, 25));
    EXPECT_EQ(form.cancelButton->text(), "Stop");
    EXPECT_EQ(form.titleLabel->font().pointSize(), 11);
    EXPECT_EQ(form.font().pointSize(), 8);
    EXPECT_EQ(form.font().family(), "Comic Sans MS");
}

// Whatever the font makes of a caption's text, its value starts a gap after it, never on it.
TEST(ProgressForm, ValuesKeepAGapAfterTheirCaptionsAtAnyFont) {
    for (const QFont& font :
         {QFont(QStringLiteral("Comic Sans MS"), 8), QFont(QStringLiteral("DejaVu Sans"), 14)}) {
        ProgressForm form;
        form.setFont(font);
        form.showProgress(info(3));
        for (const auto& [caption, value] : {std::pair{form.filePathCaption, form.filePathLabel},
                                             {form.fileNameCaption, form.blockNameLabel},
                                             {form.fileSizeCaption, form.fileSizeLabel},
                                             {form.checksumCaption, form.checksumLabel},
                                             {form.loadAddressCaption, form.loadAddressLabel}}) {
            const int textEnd = caption->x() + caption->fontMetrics().horizontalAdvance(caption->text());
            EXPECT_GE(value->x(), textEnd + ProgressForm::kCaptionGap)
                << caption->text().toStdString() << " at " << font.toString().toStdString();
        }
    }
}

TEST(ProgressForm, ShowFillsStepsClipAndHideResets) {
    ProgressForm form;
    form.showProgress(info(2));
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.blockNameLabel->text(), "/data/fw.bin");
    EXPECT_EQ(form.checksumLabel->text(), "1A2B");
    EXPECT_EQ(form.loadAddressLabel->text(), "80000000");
    EXPECT_EQ(form.fileSizeLabel->text(), "70000");
    EXPECT_EQ(form.fileProgressBar->maximum(), 2);
    EXPECT_EQ(form.fileProgressBar->value(), 0);
    for (int expected : {1, 2, 2}) {
        form.stepIt();
        EXPECT_EQ(form.fileProgressBar->value(), expected);
    }
    form.hideProgress();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.fileProgressBar->value(), 0);

    form.showProgress(info(0, "0"));
    EXPECT_EQ(form.fileProgressBar->maximum(), 1);
    EXPECT_EQ(form.checksumLabel->text(), "0");
    form.stepIt();
    EXPECT_EQ(form.fileProgressBar->value(), form.fileProgressBar->maximum());
}

TEST(ProgressForm, StopButtonAndBoardLabel) {
    ProgressForm form;
    form.showProgress(info(5));
    int stops = 0;
    QObject::connect(&form, &ProgressForm::cancelClicked, [&] { ++stops; });
    form.cancelButton->click();
    EXPECT_EQ(stops, 1);

    form.setPciBoardLabel(true, "PCI Board :  3");
    EXPECT_TRUE(form.pciBoardLabel->isVisible());
    EXPECT_EQ(form.pciBoardLabel->text(), "PCI Board :  3");
    form.setPciBoardLabel(false, "PCI Board :  ");
    EXPECT_FALSE(form.pciBoardLabel->isVisible());
}

} // namespace
} // namespace brimwell::script
