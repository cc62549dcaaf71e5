// What an emulator needs of the terminal window that shows it: metrics and view origin, colours,
// options, the port, the drawing surface and a few view operations. The Qt widget implements it;
// tests implement it with plain fields.
#pragma once

#include "terminal/terminal_buffer.h"
#include "terminal/terminal_canvas.h"
#include "terminal/terminal_types.h"

#include <string_view>

namespace brimwell::terminal {

class TerminalEmulator;

// A terminal that goes away while an emulator is linked to it must tell the emulator first
// (terminalRemoved or setTerminal(nullptr)); the emulator calls back into its terminal when it unlinks.
class TerminalHost : public TerminalWindowLink {
  public:
    // Font metrics in pixels.
    virtual int charWidth() const = 0;
    virtual int charHeight() const = 0;
    // Buffer column and row (absolute, 1-based) shown at the top-left corner.
    virtual int originCol() const = 0;
    virtual int originRow() const = 0;
    // Cells at least partly / wholly visible from the origin.
    virtual int visibleCols() const = 0;
    virtual int visibleRows() const = 0;
    virtual int fullCols() const = 0;
    virtual int fullRows() const = 0;

    // Background (`Color`) and the font's colour.
    virtual Color color() const = 0;
    virtual Color fontColor() const = 0;
    virtual void setColor(Color c) = 0;
    virtual void setFontColor(Color c) = 0;

    virtual bool halfDuplex() const = 0;
    virtual bool useLazyDisplay() const = 0;
    virtual bool followCursor() const = 0;
    virtual bool freezeScrollBack() const = 0;
    virtual bool hideScrollbars() const = 0;
    // The two cursor-beyond flags live in the terminal; the emulator keeps them up to date.
    virtual bool cursorBeyondRows() const = 0;
    virtual bool cursorBeyondCols() const = 0;
    virtual void setCursorBeyond(bool rows, bool cols) = 0;

    // The port: whether there is one and it is open; whether this terminal is its primaryTerminal.
    virtual bool hasPort() const = 0;
    virtual bool portOpen() const = 0;
    virtual bool isPrimaryTerminal() const = 0;
    virtual void putChar(char ch) = 0;
    virtual void putString(std::string_view s) = 0;
    // The port's line settings, for a terminal-parameters report: baud rate, parity ('N', 'O', 'E',
    // ...) and data bits.
    virtual int portBaud() const { return 9600; }
    virtual char portParity() const { return 'N'; }
    virtual int portDataBits() const { return 8; }
    // The terminal's Columns setter (132-column mode); nothing when the terminal cannot change it.
    virtual void setTerminalColumns(int /*n*/) {}

    // The surface to draw on during lazyPaint and Paint; nullptr when there is none.
    virtual TerminalCanvas* canvas() = 0;
    // The follow-cursor rule for the buffer cursor at (row, col).
    virtual void doFollowCursor(int row, int col) = 0;
    // Show, update or remove the scroll bars as now needed.
    virtual void updateScrollBars() = 0;
    // An immediate full repaint.
    virtual void repaintAll() = 0;
    // The system's information beep.
    virtual void beep() = 0;
    // The terminal's own onCursorMoved, when assigned.
    virtual void cursorMoved(TerminalBuffer* sender, int row, int col) = 0;
    // The terminal's Emulator setter; nullptr means its internal emulator. Called by the emulator's
    // link management; the terminal calls setTerminal back, which the link registry stops.
    virtual void setEmulator(TerminalEmulator* emulator) = 0;
};

} // namespace brimwell::terminal
