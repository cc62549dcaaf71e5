// The emulator's drawing surface over a QPainter: opaque text runs with a fixed advance per cell,
// fills and lines, with colours given as 0x00BBGGRR. It remembers the area it touched so that the
// widget can refresh just that part of the screen.
#pragma once

#include "terminal/terminal_canvas.h"

#include <array>
#include <vector>

#include <QFont>
#include <QPointF>
#include <QRawFont>
#include <QRect>
#include <QString>

class QPainter;

namespace brimwell::terminal {

QColor toQColor(Color c);
Color fromQColor(const QColor& c);

// Font facts measured once per font change and shared by every canvas drawing with that font.
struct TerminalFontMetrics {
    QFont font;         // the font as drawn
    int charWidth = 0;  // cell width: the font's widest character
    int charHeight = 0; // cell height: font height plus external leading
    int ascent = 0;
    // Glyphs of the 256 byte values (as Latin-1) in the font itself; 0 where it has none. Runs are
    // drawn from these directly: no text shaping for what is one glyph per cell anyway.
    QRawFont rawFont;
    std::array<quint32, 256> glyphs{};

    static TerminalFontMetrics measure(const QFont& font);
};

class PainterCanvas : public TerminalCanvas {
  public:
    PainterCanvas(QPainter& painter, const TerminalFontMetrics& metrics, const QRect& clip);

    TermRect clipRect() const override;
    void fillRect(const TermRect& rect, Color color) override;
    void textRun(const TermRect& cell, const char* text, int count, int advance, Color fore,
                 Color back) override;
    void line(int x1, int y1, int x2, int y2, Color color) override;
    // Glyphs stretched for double-size rows; light box lines are drawn as bars that meet the cell
    // edges, so they join across cells whatever the font has or its size.
    void glyphRun(const TermRect& cell, const char32_t* text, int count, int advance, Color fore, Color back,
                  int scaleX, int scaleY, bool lowerHalf) override;

    // The union of everything drawn, inside the clip.
    QRect touched() const { return touched_; }

  private:
    void touch(const QRect& r) { touched_ |= (r & clip_); }
    // Draws a run from the font's glyphs at a fixed advance; false when a byte has no glyph.
    bool drawGlyphs(int left, int baseline, const char* text, int count, int advance);

    QPainter& painter_;
    const TerminalFontMetrics& metrics_;
    QRect clip_;
    QRect touched_;
    QString text_;                   // reused for every run
    std::vector<quint32> runGlyphs_; // reused for every run
    std::vector<QPointF> runPositions_;
};

} // namespace brimwell::terminal
