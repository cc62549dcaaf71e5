// Starts the application and its main window.
#include "app/window_main.h"

#include "app/brimwell_form.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <exception>

namespace brimwell {

int runWindow(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brimwell"));
    QApplication::setApplicationDisplayName(QStringLiteral("Brimwell"));
    try {
        TBrimwellForm form;
        form.show();
        return app.exec();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brimwell: %s\n", e.what());
        return 1;
    }
}

} // namespace brimwell
