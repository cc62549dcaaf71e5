// Painting and property rules of the status light.
#include "lights/status_light.h"

#include <QPainter>

namespace brimwell {

namespace {
const QColor kEdgeLight(255, 255, 255);
const QColor kEdgeShadow(128, 128, 128);
} // namespace

TQuavCustomStatusLight::TQuavCustomStatusLight(QWidget* parent) : QWidget(parent) {
    resize(kDefaultSize, kDefaultSize);
}

QSize TQuavCustomStatusLight::sizeHint() const {
    return size();
}

void TQuavCustomStatusLight::requestRepaint() {
    ++m_repaintRequests;
    update();
}

void TQuavCustomStatusLight::SetLit(bool lit) {
    if (lit == m_lit) return;
    m_lit = lit;
    requestRepaint();
}

void TQuavCustomStatusLight::SetLitColor(const QColor& color) {
    if (color == m_litColor) return;
    m_litColor = color;
    // Only a visible change is worth a repaint: the glyph hides the colour, and so does the other state.
    if (!m_hasGlyph && m_lit) requestRepaint();
}

void TQuavCustomStatusLight::SetNotLitColor(const QColor& color) {
    if (color == m_notLitColor) return;
    m_notLitColor = color;
    if (!m_hasGlyph && !m_lit) requestRepaint();
}

void TQuavCustomStatusLight::SetGlyph(const QImage& glyph) {
    m_glyph = glyph;
    m_hasGlyph = !glyph.isNull();
    if (m_hasGlyph)
        resize(glyph.width() / 2, glyph.height()); // an odd width loses its last column
    else
        resize(kDefaultSize, kDefaultSize);
    requestRepaint();
}

void TQuavCustomStatusLight::SetBounds(int left, int top, int width, int height) {
    if (m_hasGlyph) {
        width = m_glyph.width() / 2;
        height = m_glyph.height();
    }
    setGeometry(left, top, width, height);
}

void TQuavCustomStatusLight::loaded() {
    m_hasGlyph = !m_glyph.isNull();
}

QColor TQuavCustomStatusLight::parentBackground() const {
    const QWidget* p = parentWidget();
    return (p ? p : this)->palette().color(QPalette::Window);
}

void TQuavCustomStatusLight::paint(QPainter& painter) const {
    const int w = width();
    const int h = height();
    if (m_hasGlyph) {
        // The glyph's top-left colour marks its background, which becomes the parent's background.
        QImage half = m_glyph.copy(m_lit ? 0 : w, 0, w, h).convertToFormat(QImage::Format_ARGB32);
        const QRgb key = m_glyph.pixel(0, 0);
        const QRgb back = parentBackground().rgba();
        for (int y = 0; y < half.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(half.scanLine(y));
            for (int x = 0; x < half.width(); ++x)
                if ((line[x] & 0xFFFFFFu) == (key & 0xFFFFFFu)) line[x] = back;
        }
        painter.drawImage(0, 0, half);
        return;
    }
    painter.fillRect(0, 0, w, h, m_lit ? m_litColor : m_notLitColor);
    painter.setPen(kEdgeLight);
    painter.drawLine(0, 0, w - 1, 0);
    painter.drawLine(0, 0, 0, h - 1);
    painter.setPen(kEdgeShadow);
    painter.drawLine(w - 1, 1, w - 1, h - 1);
    painter.drawLine(1, h - 1, w - 1, h - 1);
}

void TQuavCustomStatusLight::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter);
}

} // namespace brimwell
