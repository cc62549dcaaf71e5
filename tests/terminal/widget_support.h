// Helpers of the terminal widget tests: the terminal as the view tests see it, reading a line's far
// end while the application's events run, and a peer thread that streams bytes into the line.
#pragma once

#include "support/event_pump.h"
#include "support/pty.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace brimwell::terminal {
class TerminalWidget;
}

namespace brimwell::widgettest {

// Delivers posted events and runs pending ones a few rounds over, so that deferred work and
// painting have settled.
void settle();

// A terminal as the view tests see it: a 12-pixel DejaVu Sans Mono face and painting at once, so
// cell sizes and pictures do not depend on the machine's default font or on timers.
std::unique_ptr<terminal::TerminalWidget> makeViewTerminal();
// Resizes `term` so that its client area holds `cols` × `rows` cells plus `extra` pixels, and settles.
void fitCells(terminal::TerminalWidget& term, int cols, int rows, int extra);

// Collects what the near end of `line` sent, until `n` bytes came or `timeoutMs` passed, while the
// application's events run.
std::string receivePumping(const test::PtyPair& line, size_t n, int timeoutMs);

// Writes a byte string into a line from its own thread, so that the UI thread stays free.
class PtyStreamer {
  public:
    PtyStreamer(const test::PtyPair& line, std::string bytes);
    ~PtyStreamer();
    bool finished() const { return finished_; }
    bool succeeded() const { return ok_; }

  private:
    std::atomic<bool> finished_{false};
    std::atomic<bool> ok_{false};
    std::thread thread_;
};

} // namespace brimwell::widgettest
