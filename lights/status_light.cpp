// Painting and property rules of the status light.
#include "lights/status_light.h"

#include <QPainter>

namespace brimwell::lights {

namespace {
const QColor kEdgeLight(255, 255, 255);
const QColor kEdgeShadow(128, 128, 128);
} // namespace

StatusLight::StatusLight(QWidget* parent) : QWidget(parent) {
    resize(kDefaultSize, kDefaultSize);
}

QSize StatusLight::sizeHint() const {
    return size();
}

void StatusLight::requestRepaint() {
    ++repaintRequests_;
    update();
}

void StatusLight::setLit(bool lit) {
    if (lit == lit_) return;
    lit_ = lit;
    requestRepaint();
}

void StatusLight::setLitColor(const QColor& color) {
    if (color == litColor_) return;
    litColor_ = color;
    // Only a visible change is worth a repaint: the glyph hides the colour, and so does the other state.
    if (!hasGlyph_ && lit_) requestRepaint();
}

void StatusLight::setNotLitColor(const QColor& color) {
    if (color == notLitColor_) return;
    notLitColor_ = color;
    if (!hasGlyph_ && !lit_) requestRepaint();
}

void StatusLight::setGlyph(const QImage& glyph) {
    glyph_ = glyph;
    hasGlyph_ = !glyph.isNull();
    if (hasGlyph_)
        resize(glyph.width() / 2, glyph.height()); // an odd width loses its last column
    else
        resize(kDefaultSize, kDefaultSize);
    requestRepaint();
}

void StatusLight::setBounds(int left, int top, int width, int height) {
    if (hasGlyph_) {
        width = glyph_.width() / 2;
        height = glyph_.height();
    }
    setGeometry(left, top, width, height);
}

void StatusLight::loaded() {
    hasGlyph_ = !glyph_.isNull();
}

QColor StatusLight::parentBackground() const {
    const QWidget* p = parentWidget();
    return (p ? p : this)->palette().color(QPalette::Window);
}

void StatusLight::paint(QPainter& painter) const {
    const int w = width();
    const int h = height();
    if (hasGlyph_) {
        // The glyph's top-left colour marks its background, which becomes the parent's background.
        QImage half = glyph_.copy(lit_ ? 0 : w, 0, w, h).convertToFormat(QImage::Format_ARGB32);
        const QRgb key = glyph_.pixel(0, 0);
        const QRgb back = parentBackground().rgba();
        for (int y = 0; y < half.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(half.scanLine(y));
            for (int x = 0; x < half.width(); ++x)
                if ((line[x] & 0xFFFFFFu) == (key & 0xFFFFFFu)) line[x] = back;
        }
        painter.drawImage(0, 0, half);
        return;
    }
    painter.fillRect(0, 0, w, h, lit_ ? litColor_ : notLitColor_);
    painter.setPen(kEdgeLight);
    painter.drawLine(0, 0, w - 1, 0);
    painter.drawLine(0, 0, 0, h - 1);
    painter.setPen(kEdgeShadow);
    painter.drawLine(w - 1, 1, w - 1, h - 1);
    painter.drawLine(1, h - 1, w - 1, h - 1);
}

void StatusLight::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter);
}

} // namespace brimwell::lights
