// brimwell-splash-art OUTDIR: draws the program's own pictures: the two splash pictures (jqz.bmp,
// 600x400 at 24 bits per pixel; qxr.jpg, 800x700, a baseline JPEG written with libjpeg) and the
// desktop icon (brimwell.png, 128x128). Deterministic, so every build embeds the same bytes.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>
#include <jpeglib.h>

namespace {

constexpr int kJpegQuality = 90;

// A row of pins along each side of a chip outline: the unit being flashed.
void drawChip(QPainter& p, QRectF body, QColor pins, QColor fill) {
    p.setPen(QPen(pins, 3));
    const int n = 8;
    for (int i = 0; i < n; ++i) {
        const double x = body.left() + (i + 0.5) * body.width() / n;
        const double y = body.top() + (i + 0.5) * body.height() / n;
        p.drawLine(QPointF(x, body.top() - 14), QPointF(x, body.top()));
        p.drawLine(QPointF(x, body.bottom()), QPointF(x, body.bottom() + 14));
        p.drawLine(QPointF(body.left() - 14, y), QPointF(body.left(), y));
        p.drawLine(QPointF(body.right(), y), QPointF(body.right() + 14, y));
    }
    p.setPen(QPen(pins.lighter(130), 2));
    p.setBrush(fill);
    p.drawRoundedRect(body, 8, 8);
}

// The serial line as a square wave of start bit, data and stop bit.
void drawWave(QPainter& p, double x0, double y, double width, double height, QColor colour) {
    static const int bits[] = {1, 0, 1, 0, 0, 1, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1};
    QPainterPath path;
    const double step = width / (sizeof bits / sizeof bits[0]);
    path.moveTo(x0, y);
    double x = x0;
    for (int b : bits) {
        const double level = b ? y - height : y;
        path.lineTo(x, level);
        x += step;
        path.lineTo(x, level);
    }
    p.setPen(QPen(colour, 3));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
}

void drawTitle(QPainter& p, QRectF box, int pixels, const QString& text, QColor colour) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(pixels);
    f.setBold(true);
    f.setLetterSpacing(QFont::PercentageSpacing, 112);
    p.setFont(f);
    p.setPen(colour);
    p.drawText(box, Qt::AlignCenter, text);
}

QImage jqzPicture() {
    QImage img(600, 400, QImage::Format_RGB888);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 400);
    sky.setColorAt(0, QColor(18, 32, 64));
    sky.setColorAt(1, QColor(6, 84, 110));
    p.fillRect(img.rect(), sky);
    p.setPen(QPen(QColor(255, 255, 255, 28), 1));
    for (int x = 0; x < 600; x += 24)
        p.drawLine(x, 0, x, 400);
    for (int y = 0; y < 400; y += 24)
        p.drawLine(0, y, 600, y);
    drawChip(p, QRectF(230, 70, 140, 110), QColor(200, 170, 90), QColor(30, 30, 36));
    drawWave(p, 60, 250, 480, 28, QColor(120, 230, 160));
    drawTitle(p, QRectF(0, 272, 600, 60), 44, QStringLiteral("BRIMWELL"), Qt::white);
    drawTitle(p, QRectF(0, 330, 600, 30), 16, QStringLiteral("firmware loader"), QColor(190, 220, 235));
    return img;
}

QImage qxrPicture() {
    QImage img(800, 700, QImage::Format_RGB888);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient glow(400, 300, 520);
    glow.setColorAt(0, QColor(70, 40, 96));
    glow.setColorAt(1, QColor(12, 10, 24));
    p.fillRect(img.rect(), glow);
    for (int r = 60; r < 560; r += 36) {
        p.setPen(QPen(QColor(255, 190, 90, 150 - r / 4), 2));
        p.drawEllipse(QPointF(400, 290), r, r * 0.62);
    }
    drawChip(p, QRectF(320, 220, 160, 140), QColor(230, 190, 110), QColor(24, 20, 30));
    drawTitle(p, QRectF(0, 430, 800, 110), 96, QStringLiteral("QXR"), QColor(255, 214, 140));
    drawWave(p, 140, 590, 520, 26, QColor(255, 160, 80));
    drawTitle(p, QRectF(0, 610, 800, 50), 30, QStringLiteral("BRIMWELL"), Qt::white);
    return img;
}

QImage iconPicture() {
    QImage img(128, 128, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(12, 70, 104));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(4, 4, 120, 120), 22, 22);
    drawChip(p, QRectF(38, 30, 52, 44), QColor(220, 185, 100), QColor(30, 30, 36));
    drawWave(p, 18, 108, 92, 14, QColor(120, 230, 160));
    return img;
}

bool writeJpeg(const QImage& image, const char* path) {
    std::FILE* out = std::fopen(path, "wb");
    if (!out) return false;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, out);
    cinfo.image_width = static_cast<JDIMENSION>(rgb.width());
    cinfo.image_height = static_cast<JDIMENSION>(rgb.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, kJpegQuality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb.constScanLine(static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return std::fclose(out) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: brimwell-splash-art OUTDIR\n");
        return 2;
    }
    // Text needs a font database, hence an application; no display is ever needed.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const bool ok = jqzPicture().save(dir + "/jqz.bmp", "BMP") &&
                    writeJpeg(qxrPicture(), (dir + "/qxr.jpg").toLocal8Bit().constData()) &&
                    iconPicture().save(dir + "/brimwell.png", "PNG");
    if (!ok) std::fprintf(stderr, "brimwell-splash-art: cannot write the pictures into %s\n", argv[1]);
    return ok ? 0 : 1;
}
