// The lamp widget: colours, edges, glyph halves and the repaint rules of its setters.
#include "lights/status_light.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

using brimwell::lights::StatusLight;

namespace {

QImage render(StatusLight& light) {
    QImage img(light.size(), QImage::Format_RGB32);
    img.fill(Qt::magenta);
    QPainter p(&img);
    light.paint(p);
    return img;
}

QColor at(const QImage& img, int x, int y) {
    return QColor(img.pixel(x, y));
}

} // namespace

TEST(StatusLight, DefaultsToAThirteenPixelUnlitSquare) {
    StatusLight light;
    EXPECT_EQ(light.size(), QSize(13, 13));
    EXPECT_FALSE(light.lit());
    EXPECT_FALSE(light.hasGlyph());
    EXPECT_EQ(light.litColor(), QColor(255, 0, 0));
    EXPECT_EQ(light.notLitColor(), QColor(0, 128, 0));
}

struct EdgeCase {
    bool lit;
    QColor fill;
};

class StatusLightPaint : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(StatusLightPaint, FillsWithStateColourInsideWhiteAndGreyEdges) {
    const auto& c = GetParam();
    for (QSize size : {QSize(13, 13), QSize(10, 10), QSize(20, 7)}) {
        StatusLight light;
        light.resize(size);
        light.setLit(c.lit);
        const QImage img = render(light);
        const int w = size.width(), h = size.height();
        const QColor white(255, 255, 255), grey(128, 128, 128);
        for (int x = 0; x < w; ++x)
            EXPECT_EQ(at(img, x, 0), white) << "top x=" << x;
        for (int y = 0; y < h; ++y)
            EXPECT_EQ(at(img, 0, y), white) << "left y=" << y;
        for (int y = 1; y < h; ++y)
            EXPECT_EQ(at(img, w - 1, y), grey) << "right y=" << y;
        for (int x = 1; x < w; ++x)
            EXPECT_EQ(at(img, x, h - 1), grey) << "bottom x=" << x;
        for (int y = 1; y < h - 1; ++y)
            for (int x = 1; x < w - 1; ++x)
                ASSERT_EQ(at(img, x, y), c.fill) << x << "," << y;
    }
}

INSTANTIATE_TEST_SUITE_P(LitAndUnlit, StatusLightPaint,
                         ::testing::Values(EdgeCase{true, QColor(255, 0, 0)},
                                           EdgeCase{false, QColor(0, 128, 0)}));

TEST(StatusLight, SettersRepaintOnlyWhenTheVisibleResultChanges) {
    StatusLight light;
    int before = light.repaintRequests();
    light.setLit(false);
    EXPECT_EQ(light.repaintRequests(), before) << "same Lit value";
    light.setLitColor(Qt::blue); // not lit: the lit colour is not on screen
    EXPECT_EQ(light.repaintRequests(), before);
    light.setNotLitColor(Qt::yellow);
    EXPECT_EQ(light.repaintRequests(), ++before);
    light.setLit(true);
    EXPECT_EQ(light.repaintRequests(), ++before);
    light.setLitColor(Qt::cyan);
    EXPECT_EQ(light.repaintRequests(), ++before);
    light.setNotLitColor(Qt::black);
    EXPECT_EQ(light.repaintRequests(), before);
    EXPECT_EQ(at(render(light), 5, 5), QColor(Qt::cyan));
}

TEST(StatusLight, GlyphShowsLeftHalfLitAndRightHalfUnlitWithKeyColourAsParentBackground) {
    QWidget parent;
    QPalette pal = parent.palette();
    pal.setColor(QPalette::Window, QColor(10, 20, 30));
    parent.setPalette(pal);
    StatusLight light(&parent);

    // 9 pixels wide: halves of 4, the ninth column is lost. Key colour at (0,0) is white.
    QImage glyph(9, 5, QImage::Format_RGB32);
    glyph.fill(Qt::white);
    for (int y = 1; y < 5; ++y) {
        for (int x = 1; x < 4; ++x)
            glyph.setPixel(x, y, qRgb(200, 0, 0));
        for (int x = 5; x < 8; ++x)
            glyph.setPixel(x, y, qRgb(0, 0, 200));
    }
    light.setGlyph(glyph);
    EXPECT_TRUE(light.hasGlyph());
    EXPECT_EQ(light.size(), QSize(4, 5));

    light.setBounds(3, 4, 40, 40);
    EXPECT_EQ(light.geometry(), QRect(3, 4, 4, 5)) << "glyph keeps its size";

    light.setLit(true);
    QImage img = render(light);
    EXPECT_EQ(at(img, 2, 2), QColor(200, 0, 0));
    EXPECT_EQ(at(img, 0, 0), QColor(10, 20, 30));
    light.setLit(false);
    img = render(light);
    EXPECT_EQ(at(img, 2, 2), QColor(0, 0, 200));
    EXPECT_EQ(at(img, 0, 3), QColor(10, 20, 30)) << "glyph column 4 is white, hence background";

    light.setGlyph(QImage());
    EXPECT_FALSE(light.hasGlyph());
    EXPECT_EQ(light.size(), QSize(13, 13));
    light.setBounds(1, 1, 10, 10);
    EXPECT_EQ(light.size(), QSize(10, 10));
}
