// QPainter drawing of the terminal's cells.
#include "terminal/widget/painter_canvas.h"

#include "terminal/vt100_glyphs.h"
#include "terminal/widget/ansi_codec.h"

#include <QFontMetrics>
#include <QGlyphRun>
#include <QPainter>

#include <algorithm>

namespace brimwell::terminal {

QColor toQColor(Color c) {
    return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

Color fromQColor(const QColor& c) {
    return Color(c.red()) | (Color(c.green()) << 8) | (Color(c.blue()) << 16);
}

TerminalFontMetrics TerminalFontMetrics::measure(const QFont& font) {
    TerminalFontMetrics m;
    m.font = font;
    m.font.setKerning(false);
    QFontMetrics fm(m.font);
    m.charWidth = std::max({fm.maxWidth(), fm.horizontalAdvance(QChar('M')), 1});
    m.charHeight = std::max(fm.height() + fm.leading(), 1);
    m.ascent = fm.ascent();
    m.rawFont = QRawFont::fromFont(font);
    if (m.rawFont.isValid()) {
        for (int b = 0x20; b < 0x100; ++b) {
            const QChar c = ansiGlyphChar(uchar(b));
            if (c.isNull()) continue;
            const QList<quint32> g = m.rawFont.glyphIndexesForString(QString(c));
            m.glyphs[size_t(b)] = g.size() == 1 ? g[0] : 0;
        }
    }
    return m;
}

PainterCanvas::PainterCanvas(QPainter& painter, const TerminalFontMetrics& metrics, const QRect& clip)
    : painter_(painter), metrics_(metrics), clip_(clip) {
    painter_.setClipRect(clip_);
    painter_.setFont(metrics_.font);
    painter_.setRenderHint(QPainter::Antialiasing, false);
}

TermRect PainterCanvas::clipRect() const {
    return TermRect{clip_.left(), clip_.top(), clip_.left() + clip_.width(), clip_.top() + clip_.height()};
}

void PainterCanvas::fillRect(const TermRect& rect, Color color) {
    const QRect r(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
    if (r.isEmpty()) return;
    painter_.fillRect(r, toQColor(color));
    touch(r);
}

void PainterCanvas::textRun(const TermRect& cell, const char* text, int count, int advance, Color fore,
                            Color back) {
    const QRect r(cell.left, cell.top, cell.right - cell.left, cell.bottom - cell.top);
    if (r.isEmpty()) return;
    painter_.fillRect(r, toQColor(back));
    touch(r);
    if (count <= 0) return;
    painter_.setPen(toQColor(fore));
    const int baseline = cell.top + metrics_.ascent;
    // A glyph that reaches past its cells would leave marks that a later redraw of the neighbour
    // cells alone never removes, so text stays inside the run's rectangle.
    painter_.setClipRect(r & clip_);
    // Cells hold bytes; 0x80..0xFF are shown as the Latin-1 characters of the font.
    if (drawGlyphs(cell.left, baseline, text, count, advance)) {
        painter_.setClipRect(clip_);
        return;
    }
    // Character by character at the cell advance, so that Qt may take a glyph from another font.
    for (int i = 0; i < count; ++i) {
        const QChar c = ansiGlyphChar(uchar(text[i]));
        if (c.isNull() || c == QChar(' ')) continue;
        text_ = c;
        painter_.drawText(QPoint(cell.left + i * advance, baseline), text_);
    }
    painter_.setClipRect(clip_);
}

bool PainterCanvas::drawGlyphs(int left, int baseline, const char* text, int count, int advance) {
    if (!metrics_.rawFont.isValid()) return false;
    runGlyphs_.clear();
    runPositions_.clear();
    for (int i = 0; i < count; ++i) {
        const uchar b = uchar(text[i]);
        // The fill already shows a space; control and unassigned bytes show nothing.
        if (b == ' ' || ansiGlyphChar(b).isNull()) continue;
        const quint32 glyph = metrics_.glyphs[b];
        // A byte the font has no glyph for goes the slower way, where Qt may find another font.
        if (glyph == 0) return false;
        runGlyphs_.push_back(glyph);
        runPositions_.emplace_back(qreal(i * advance), 0.0);
    }
    if (runGlyphs_.empty()) return true;
    QGlyphRun run;
    run.setRawFont(metrics_.rawFont);
    run.setRawData(runGlyphs_.data(), runPositions_.data(), int(runGlyphs_.size()));
    painter_.drawGlyphRun(QPointF(left, baseline), run);
    return true;
}

void PainterCanvas::line(int x1, int y1, int x2, int y2, Color color) {
    painter_.setPen(QPen(toQColor(color), 1));
    // The end point is excluded, as the emulator expects.
    if (y1 == y2) {
        if (x2 == x1) return;
        const int last = x2 > x1 ? x2 - 1 : x2 + 1;
        painter_.drawLine(x1, y1, last, y2);
        touch(QRect(QPoint(std::min(x1, last), y1), QPoint(std::max(x1, last), y1)));
    } else if (x1 == x2) {
        const int last = y2 > y1 ? y2 - 1 : y2 + 1;
        painter_.drawLine(x1, y1, x2, last);
        touch(QRect(QPoint(x1, std::min(y1, last)), QPoint(x1, std::max(y1, last))));
    } else {
        painter_.drawLine(x1, y1, x2, y2);
        touch(QRect(QPoint(std::min(x1, x2), std::min(y1, y2)), QPoint(std::max(x1, x2), std::max(y1, y2))));
    }
}

void PainterCanvas::glyphRun(const TermRect& cell, const char32_t* text, int count, int advance, Color fore,
                             Color back, int scaleX, int scaleY, bool lowerHalf) {
    const QRect r(cell.left, cell.top, cell.right - cell.left, cell.bottom - cell.top);
    if (r.isEmpty()) return;
    painter_.fillRect(r, toQColor(back));
    touch(r);
    const QColor fg = toQColor(fore);
    const int rowH = r.height();
    // The whole glyph's box: twice the row high in double-height rows, whose lower half starts a row up.
    const int top = r.top() - (lowerHalf ? rowH : 0);
    const int glyphH = rowH * scaleY;
    const int bar = std::max(1, glyphH / 12);
    painter_.save();
    painter_.setClipRect(r & clip_);
    painter_.setPen(fg);
    for (int i = 0; i < count; ++i) {
        const char32_t c = text[i];
        const int x0 = r.left() + i * advance;
        if (c == U' ' || c == 0) continue;
        if (const unsigned arms = boxArms(c)) {
            const int cx = x0 + advance / 2 - bar / 2, cy = top + glyphH / 2 - bar / 2;
            if (arms & 1) painter_.fillRect(QRect(x0, cy, cx + bar - x0, bar), fg);
            if (arms & 2) painter_.fillRect(QRect(cx, cy, x0 + advance - cx, bar), fg);
            if (arms & 4) painter_.fillRect(QRect(cx, top, bar, cy + bar - top), fg);
            if (arms & 8) painter_.fillRect(QRect(cx, cy, bar, top + glyphH - cy), fg);
            continue;
        }
        painter_.save();
        painter_.translate(x0, top);
        painter_.scale(scaleX, scaleY);
        const uint u = uint(c);
        painter_.drawText(QPointF(0, metrics_.ascent),
                          QString::fromUcs4(reinterpret_cast<const char32_t*>(&u), 1));
        painter_.restore();
    }
    painter_.restore();
}

} // namespace brimwell::terminal
