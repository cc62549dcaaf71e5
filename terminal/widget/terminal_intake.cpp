// The dispatcher-thread side of the terminal's intake.
#include "terminal/widget/terminal_intake.h"

#include <QCoreApplication>

#include <cstdio>
#include <vector>

#include "serial/exception_report.h"

namespace brimwell::terminal {

QEvent::Type termStuffEventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}
QEvent::Type termForceSizeEventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}
QEvent::Type waitForPortEventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}
QEvent::Type termNeedsUpdateEventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

void TerminalIntake::handleTrigger(const serial::TriggerMessage& message) {
    if (message.msg != serial::kTriggerAvail) return;
    const int count = int(message.wParam);
    if (count <= 0) return;
    std::lock_guard<std::mutex> guard(lock);
    if (!dispatcher || !target) return; // let go of the port: leave the bytes to the others
    try {
        uint8_t* at = queue.reserve(count);
        const int32_t got = dispatcher->getBlock(at, uint32_t(count));
        // Commit what was really read: a refused read must not show stale bytes of the block.
        queue.commit(got > 0 ? got : 0);
        if (got > 0) QCoreApplication::postEvent(target, new TermStuffEvent(CharSource::Port));
    } catch (const std::exception&) {
        // Nothing may escape into the dispatcher's thread; the bytes stay for the other consumers.
        serial::reportException("terminal intake dropped a block", std::current_exception());
    }
}

} // namespace brimwell::terminal
