// The splash window and its two pictures (drawn by tools/splash-art and built into the program).
#include "app/splash/splash_form.h"

#include "app/splash/jpeg_image.h"
#include "script/settings_file.h"
#include "serial/component/pending_events.h"
#include "serial/time_base.h"

#include <QFile>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

namespace brimwell::app {
namespace {

constexpr int kBrandQuellmark = 0;
constexpr int kBrandQxr = 100;

QImage loadPicture(const QString& resource, bool jpeg) {
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray data = file.readAll();
    return jpeg ? decodeJpeg(data) : QImage::fromData(data, "BMP");
}

} // namespace

void SplashForm::Picture::mousePressEvent(QMouseEvent* event) {
    QLabel::mousePressEvent(event);
    if (onClick) onClick();
}

SplashForm::SplashForm(QWidget* mainForm, QWidget* progressForm, const QString& settingsPath)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    resize(kDesignWidth, kDesignHeight);
    jqzImage = new Picture(this);
    jqzImage->setPixmap(QPixmap::fromImage(loadPicture(QStringLiteral(":/splash/jqz.bmp"), false)));
    jqzImage->onClick = [this] { jqzImageClick(); };
    qxrImage = new Picture(this);
    qxrImage->setPixmap(QPixmap::fromImage(loadPicture(QStringLiteral(":/splash/qxr.jpg"), true)));
    qxrImage->raise();

    const script::LoaderSettings settings = script::readSettingsFile(settingsPath.toStdString());
    // No 23rd line, or one without "=": the designed captions stay and nothing is shown.
    if (!settings.branding) return;
    const int brand = *settings.branding;
    if (brand == kBrandQuellmark) {
        mainForm->setWindowTitle(QStringLiteral("Quellmark Inc :- Brimwell"));
        progressForm->setWindowTitle(QStringLiteral("Quellmark Inc :- File Upload Progress"));
        qxrImage->hide();
        resize(600, 400);
    } else if (brand == kBrandQxr) {
        mainForm->setWindowTitle(QStringLiteral("QXR :- Brimwell"));
        progressForm->setWindowTitle(QStringLiteral("QXR :- File Upload Progress"));
        jqzImage->hide();
        resize(800, 700);
    } else {
        mainForm->setWindowTitle(QStringLiteral("Brimwell"));
        progressForm->setWindowTitle(QStringLiteral("Brimwell"));
        return;
    }
    jqzImage->setGeometry(rect());
    qxrImage->setGeometry(rect());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    serial::processPendingEvents();
    serial::Clock::sleepMs(kShowMs);
    serial::processPendingEvents();
}

void SplashForm::jqzImageClick() {
    hide();
}

} // namespace brimwell::app
