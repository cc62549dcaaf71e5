// Helpers of the terminal widget tests.
#include "widget_support.h"

#include "terminal/widget/terminal_widget.h"

#include <QCoreApplication>

namespace brimwell::widgettest {

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

std::string receivePumping(const test::PtyPair& line, size_t n, int timeoutMs) {
    std::string got;
    testing::pumpUntil(
        [&] {
            if (got.size() < n) got += line.read(n - got.size(), 0);
            return got.size() >= n;
        },
        timeoutMs);
    return got;
}

PtyStreamer::PtyStreamer(const test::PtyPair& line, std::string bytes)
    : thread_([this, &line, data = std::move(bytes)] {
          ok_ = line.write(data);
          finished_ = true;
      }) {}

PtyStreamer::~PtyStreamer() {
    if (thread_.joinable()) thread_.join();
}

} // namespace brimwell::widgettest
