// What an emulator needs of the terminal window that shows it: metrics and view origin, colours,
// options, the port, the drawing surface and a few view operations. The Qt widget implements it;
// tests implement it with plain fields.
#pragma once

#include "terminal/terminal_buffer.h"
#include "terminal/terminal_canvas.h"
#include "terminal/terminal_types.h"

#include <string_view>

namespace brimwell {

class TQuavTerminalEmulator;

// A terminal that goes away while an emulator is linked to it must tell the emulator first
// (TerminalRemoved or teSetTerminal(nullptr)); the emulator calls back into its terminal when it unlinks.
class TQuavTerminalHost : public TQuavTerminalWindowLink {
  public:
    // Font metrics in pixels.
    virtual int CharWidth() const = 0;
    virtual int CharHeight() const = 0;
    // Buffer column and row (absolute, 1-based) shown at the top-left corner.
    virtual int OriginCol() const = 0;
    virtual int OriginRow() const = 0;
    // Cells at least partly / wholly visible from the origin.
    virtual int VisibleCols() const = 0;
    virtual int VisibleRows() const = 0;
    virtual int FullCols() const = 0;
    virtual int FullRows() const = 0;

    // Background (`Color`) and the font's colour.
    virtual TColor Color() const = 0;
    virtual TColor FontColor() const = 0;
    virtual void SetColor(TColor c) = 0;
    virtual void SetFontColor(TColor c) = 0;

    virtual bool HalfDuplex() const = 0;
    virtual bool UseLazyDisplay() const = 0;
    virtual bool FollowCursor() const = 0;
    virtual bool FreezeScrollBack() const = 0;
    virtual bool HideScrollbars() const = 0;
    // The two cursor-beyond flags live in the terminal; the emulator keeps them up to date.
    virtual bool CursorBeyondRows() const = 0;
    virtual bool CursorBeyondCols() const = 0;
    virtual void SetCursorBeyond(bool rows, bool cols) = 0;

    // The port: whether there is one and it is open; whether this terminal is its primaryTerminal.
    virtual bool HasPort() const = 0;
    virtual bool PortOpen() const = 0;
    virtual bool IsPrimaryTerminal() const = 0;
    virtual void putChar(char ch) = 0;
    virtual void putString(std::string_view s) = 0;
    // The port's line settings, for a terminal-parameters report: baud rate, parity ('N', 'O', 'E',
    // ...) and data bits.
    virtual int PortBaud() const { return 9600; }
    virtual char PortParity() const { return 'N'; }
    virtual int PortDataBits() const { return 8; }
    // The terminal's Columns setter (132-column mode); nothing when the terminal cannot change it.
    virtual void SetTerminalColumns(int /*n*/) {}

    // The surface to draw on during LazyPaint and Paint; nullptr when there is none.
    virtual TQuavTerminalCanvas* Canvas() = 0;
    // The follow-cursor rule for the buffer cursor at (row, col).
    virtual void DoFollowCursor(int row, int col) = 0;
    // Show, update or remove the scroll bars as now needed.
    virtual void UpdateScrollBars() = 0;
    // An immediate full repaint.
    virtual void RepaintAll() = 0;
    // The system's information beep.
    virtual void Beep() = 0;
    // The terminal's own OnCursorMoved, when assigned.
    virtual void CursorMoved(TQuavTerminalBuffer* sender, int row, int col) = 0;
    // The terminal's Emulator setter; nullptr means its internal emulator. Called by the emulator's
    // link management; the terminal calls teSetTerminal back, which the link registry stops.
    virtual void SetEmulator(TQuavTerminalEmulator* emulator) = 0;
};

} // namespace brimwell
