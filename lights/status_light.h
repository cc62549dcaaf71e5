// A small square lamp that is either lit or not: a flat colour with a raised edge, or one half of a
// two-part picture. The serial-line status controller switches these.
#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

namespace brimwell {

class TQuavCustomStatusLight : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kDefaultSize = 13;

    explicit TQuavCustomStatusLight(QWidget* parent = nullptr);

    bool Lit() const { return m_lit; }
    void SetLit(bool lit);

    QColor LitColor() const { return m_litColor; }
    void SetLitColor(const QColor& color);
    QColor NotLitColor() const { return m_notLitColor; }
    void SetNotLitColor(const QColor& color);

    // The left half of the picture is shown when lit, the right half when not. A null image clears it.
    const QImage& Glyph() const { return m_glyph; }
    void SetGlyph(const QImage& glyph);
    bool HasGlyph() const { return m_hasGlyph; }

    // Moves and sizes the light; while a glyph is present its size wins over the one asked for.
    void SetBounds(int left, int top, int width, int height);

    // Called once the owner has finished setting the light up (a glyph given before then counts).
    void loaded();

    // Draws the light onto any painter of the light's size (the widget and offscreen renders share it).
    void paint(QPainter& painter) const;

    // How many repaints the setters have asked for; lets callers see that unchanged values cost nothing.
    int repaintRequests() const { return m_repaintRequests; }

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void requestRepaint();
    QColor parentBackground() const;

    QImage m_glyph;
    bool m_hasGlyph = false;
    bool m_lit = false;
    QColor m_litColor{255, 0, 0};
    QColor m_notLitColor{0, 128, 0};
    int m_repaintRequests = 0;
};

class TQuavStatusLight : public TQuavCustomStatusLight {
    Q_OBJECT
  public:
    using TQuavCustomStatusLight::TQuavCustomStatusLight;
};

} // namespace brimwell
