// The splash window: one of two pictures while the program starts and looks for the unit, and the
// branding of the window captions, both chosen by setting 23 of the settings file.
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

#include <functional>

namespace brimwell::app {

class SplashForm : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kDesignWidth = 795;
    static constexpr int kDesignHeight = 687;
    static constexpr int kShowMs = 640;

    // Reads setting 23 of `settingsPath`, sets the captions of `mainForm` and `progressForm`, and
    // for the values 0 and 100 shows itself for kShowMs with events processed before and after.
    SplashForm(QWidget* mainForm, QWidget* progressForm, const QString& settingsPath);

    void jqzImageClick();

    // A picture that reports a mouse click.
    class Picture : public QLabel {
      public:
        using QLabel::QLabel;
        std::function<void()> onClick;

      protected:
        void mousePressEvent(QMouseEvent* event) override;
    };

    Picture* jqzImage = nullptr; // 600x400, 24 bits per pixel
    Picture* qxrImage = nullptr; // 800x700 JPEG, drawn above jqzImage
};

} // namespace brimwell::app
