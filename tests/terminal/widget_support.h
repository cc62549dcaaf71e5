// Helpers of the terminal widget tests: a pseudo-terminal line whose far end the test plays, a
// peer thread that streams bytes into it, and waiting while the application's events run.
#pragma once

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

// Runs pending events until `done` holds or `timeoutMs` passed; returns done().
bool runUntil(const std::function<bool()>& done, int timeoutMs);
// Runs pending events for about `ms` milliseconds.
void runFor(int ms);
// Delivers posted events and runs pending ones a few rounds over, so that deferred work and
// painting have settled.
void settle();

// A terminal as the view tests see it: a 12-pixel DejaVu Sans Mono face and painting at once, so
// cell sizes and pictures do not depend on the machine's default font or on timers.
std::unique_ptr<terminal::TerminalWidget> makeViewTerminal();
// Resizes `term` so that its client area holds `cols` × `rows` cells plus `extra` pixels, and settles.
void fitCells(terminal::TerminalWidget& term, int cols, int rows, int extra);

class PtyLine {
  public:
    PtyLine();
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    bool ok() const { return held_; }
    const std::string& path() const { return pair_.slavePath(); }
    // Points COMn at this line (for the port component's name table).
    void bindCom(unsigned n) const;
    // Writes everything to the far end, waiting while the line is full.
    bool send(const std::string& bytes) const;
    // Collects what the near end sent, until `n` bytes came or `timeoutMs` passed (events run).
    std::string receive(size_t n, int timeoutMs);

  private:
    // The pair's reads and writes touch only the line, not what a PtyLine is.
    mutable test::PtyPair pair_;
    bool held_ = false; // the slave side is held: the line stays up between the port's reopens
};

// Writes a byte string into a line from its own thread, so that the UI thread stays free.
class PtyStreamer {
  public:
    PtyStreamer(const PtyLine& line, std::string bytes);
    ~PtyStreamer();
    bool finished() const { return finished_; }
    bool succeeded() const { return ok_; }

  private:
    std::atomic<bool> finished_{false};
    std::atomic<bool> ok_{false};
    std::thread thread_;
};

} // namespace brimwell::widgettest
