// Pseudo-terminal line and event-loop helpers for the terminal widget tests.
#include "widget_support.h"

#include "terminal/widget/terminal_widget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace brimwell::widgettest {

bool runUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

void settle() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

std::unique_ptr<terminal::TerminalWidget> makeViewTerminal() {
    auto term = std::make_unique<terminal::TerminalWidget>();
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setPixelSize(12);
    term->setFont(f);
    term->setUseLazyDisplay(false);
    return term;
}

void fitCells(terminal::TerminalWidget& term, int cols, int rows, int extra) {
    const int frame = 2 * term.frameWidth();
    term.resize(cols * term.charWidth() + frame + extra, rows * term.charHeight() + frame + extra);
    settle();
}

void runFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

PtyLine::PtyLine() {
    held_ = pair_.ok() && pair_.holdSlave();
}

PtyLine::~PtyLine() = default;

void PtyLine::bindCom(unsigned n) const {
    pair_.bindCom(n);
}

bool PtyLine::send(const std::string& bytes) const {
    return pair_.write(bytes);
}

std::string PtyLine::receive(size_t n, int timeoutMs) {
    std::string got;
    runUntil(
        [&] {
            if (got.size() < n) got += pair_.read(n - got.size(), 0);
            return got.size() >= n;
        },
        timeoutMs);
    return got;
}

PtyStreamer::PtyStreamer(const PtyLine& line, std::string bytes)
    : thread_([this, &line, data = std::move(bytes)] {
          ok_ = line.send(data);
          finished_ = true;
      }) {}

PtyStreamer::~PtyStreamer() {
    if (thread_.joinable()) thread_.join();
}

} // namespace brimwell::widgettest
