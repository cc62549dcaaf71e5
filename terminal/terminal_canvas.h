// The drawing surface an emulator paints on. The widget implements it over a QPainter; tests record
// the calls. Coordinates are pixels of the terminal's client area; rectangles exclude right and bottom.
#pragma once

#include "terminal/terminal_types.h"

#include <string>

namespace brimwell::terminal {

class TerminalCanvas {
  public:
    virtual ~TerminalCanvas() = default;

    // The area being painted now (the paint event's or the repaint's clip).
    virtual TermRect clipRect() const = 0;
    virtual void fillRect(const TermRect& rect, Color color) = 0;
    // Opaque text: fill `cell` with `back`, then draw `count` characters of the terminal's font in
    // `fore`, each `advance` pixels right of the one before, starting at the cell's left edge.
    virtual void textRun(const TermRect& cell, const char* text, int count, int advance, Color fore,
                         Color back) = 0;
    // A straight line from (x1, y1) up to, not including, (x2, y2).
    virtual void line(int x1, int y1, int x2, int y2, Color color) = 0;
    // Opaque text of Unicode characters, one per `advance` pixels, with the font stretched scaleX times
    // across and scaleY times down; of a glyph twice as high only the upper (or, with lowerHalf, the
    // lower) half falls into the cell. Canvases without glyph drawing show what a byte can show.
    virtual void glyphRun(const TermRect& cell, const char32_t* text, int count, int advance, Color fore,
                          Color back, int /*scaleX*/, int /*scaleY*/, bool /*lowerHalf*/) {
        std::string bytes;
        for (int i = 0; i < count; ++i)
            bytes += text[i] < 0x100 ? char(text[i]) : '?';
        textRun(cell, bytes.data(), count, advance, fore, back);
    }
};

} // namespace brimwell::terminal
