// Starts the application and its main window.
#include "app/window_main.h"

#include "app/brimwell_form.h"
#include "app/dialogs.h"
#include "serial/component/com_port.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <exception>

namespace brimwell {

namespace {
// The application's default exception handler: what escapes an event handler is shown, not lost.
void showException(std::exception_ptr error) {
    QString text = QStringLiteral("Unknown error");
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text = QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    std::fprintf(stderr, "brimwell: %s\n", text.toLocal8Bit().constData());
    dialogs().messageBox(QApplication::activeWindow(), text, QApplication::applicationDisplayName(),
                         MsgButtons::Ok);
}
} // namespace

int runWindow(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brimwell"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brimwell"));
    TQuavComPort::SetExceptionReporter(showException);
    try {
        TBrimwellForm form;
        form.show();
        return app.exec();
    } catch (...) {
        showException(std::current_exception());
        return 1;
    }
}

} // namespace brimwell
