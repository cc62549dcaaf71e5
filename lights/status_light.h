// A small square lamp that is either lit or not: a flat colour with a raised edge, or one half of a
// two-part picture. The serial-line status controller switches these.
#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

namespace brimwell::lights {

class StatusLight : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kDefaultSize = 13;

    explicit StatusLight(QWidget* parent = nullptr);

    bool lit() const { return lit_; }
    void setLit(bool lit);

    QColor litColor() const { return litColor_; }
    void setLitColor(const QColor& color);
    QColor notLitColor() const { return notLitColor_; }
    void setNotLitColor(const QColor& color);

    // The left half of the picture is shown when lit, the right half when not. A null image clears it.
    const QImage& glyph() const { return glyph_; }
    void setGlyph(const QImage& glyph);
    bool hasGlyph() const { return hasGlyph_; }

    // Moves and sizes the light; while a glyph is present its size wins over the one asked for.
    void setBounds(int left, int top, int width, int height);

    // Called once the owner has finished setting the light up (a glyph given before then counts).
    void loaded();

    // Draws the light onto any painter of the light's size (the widget and offscreen renders share it).
    void paint(QPainter& painter) const;

    // How many repaints the setters have asked for; lets callers see that unchanged values cost nothing.
    int repaintRequests() const { return repaintRequests_; }

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void requestRepaint();
    QColor parentBackground() const;

    QImage glyph_;
    bool hasGlyph_ = false;
    bool lit_ = false;
    QColor litColor_{255, 0, 0};
    QColor notLitColor_{0, 128, 0};
    int repaintRequests_ = 0;
};

} // namespace brimwell::lights
