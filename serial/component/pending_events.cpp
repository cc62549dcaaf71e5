// processPendingEvents() and the application-terminating test over QCoreApplication.
#include "serial/component/pending_events.h"

#include <QCoreApplication>
#include <QObject>
#include <atomic>
#include <mutex>

namespace brimwell {
namespace {

std::atomic<bool> g_quitting{false};

void watchForQuit() {
    // aboutToQuit is the only portable sign that the main loop is ending; hook it once per
    // application object.
    static std::once_flag once;
    std::call_once(once, [] {
        if (auto* app = QCoreApplication::instance())
            QObject::connect(app, &QCoreApplication::aboutToQuit, [] { g_quitting.store(true); });
    });
}

} // namespace

void processPendingEvents() {
    if (QCoreApplication::instance() == nullptr) return;
    watchForQuit();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool applicationTerminating() {
    if (QCoreApplication::instance() == nullptr) return false;
    watchForQuit();
    return g_quitting.load() || QCoreApplication::closingDown();
}

} // namespace brimwell
