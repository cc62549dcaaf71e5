// Starts the application and its main window.
#include "app/window_main.h"

#include "app/dialogs.h"
#include "app/main_window.h"
#include "app/splash/splash_form.h"
#include "app/time_scale_notice.h"
#include "script/progress_form.h"
#include "serial/component/com_port.h"
#include "serial/exception_report.h"

#include <QApplication>
#include <QLabel>
#include <QStatusBar>

#include <csignal>
#include <cstdio>
#include <exception>

namespace brimwell::app {

namespace {
void showMessage(const QString& text) {
    dialogs().messageBox(QApplication::activeWindow(), text, QApplication::applicationDisplayName(),
                         MsgButtons::Ok, MsgKind::Error);
}

// The application's default exception handler: what escapes an event handler, a trigger handler or
// a port thread is shown, not lost. The box comes from the message loop, whichever thread reported
// and whatever it was doing (a paint, a port thread's loop).
void showException(const std::string& what, std::exception_ptr error) {
    const QString text = QString::fromLocal8Bit(serial::exceptionText(error).c_str());
    std::fprintf(stderr, "brimwell: %s: %s\n", what.c_str(), text.toLocal8Bit().constData());
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [text] { showMessage(text); }, Qt::QueuedConnection);
}
} // namespace

void showTimeScaleNotice(MainWindow& form) {
    const std::string notice = timeScaleNotice();
    if (notice.empty()) return;
    // A permanent part of the status bar: the status texts of start-up must not replace it.
    auto* label = new QLabel(QString::fromStdString(notice), form.infoStatusBar);
    label->setObjectName(QStringLiteral("TimeScaleNotice"));
    label->setStyleSheet(QStringLiteral("color: #a00000"));
    form.infoStatusBar->addPermanentWidget(label);
}

int runWindow(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brimwell"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brimwell"));
    serial::setExceptionReporter(showException);
    try {
        MainWindow form;
        showTimeScaleNotice(form);
        SplashForm splash(&form, form.progressForm, QString::fromLatin1(script::kSettingsFileName));
        form.splashForm = &splash;
        form.show();
        return app.exec();
    } catch (...) {
        showMessage(QString::fromLocal8Bit(serial::exceptionText(std::current_exception()).c_str()));
        return 1;
    }
}

} // namespace brimwell::app
