// The icon sizes made from our pixel drawing: only the drawing's own pixels,
// each taken from under the place it lands on.

#include "IconScale.h"

#include <QHash>
#include <QPoint>
#include <QSet>
#include <QTest>

using velmora::ScalePixelIcon;

namespace {

// Every pixel a colour of its own, scattered so that a blend of neighbours is
// none of them: each scaled pixel tells where it came from.
QHash<QRgb, QPoint> PaintNumbered(QImage &image)
{
    QHash<QRgb, QPoint> where;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const quint32 n = quint32(y * image.width() + x) * 2654435761u;  // odd: one-to-one
            const QRgb colour = 0xff000000u | (n & 0xffffffu);
            image.setPixel(x, y, colour);
            where.insert(colour, QPoint(x, y));
        }
    }
    return where;
}

QSet<QRgb> Colours(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            colours.insert(image.pixel(x, y));
    return colours;
}

}  // namespace

class IconScaleTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pixelsComeFromUnderThem_data();
    void pixelsComeFromUnderThem();
    void drawingKeepsHardEdges_data();
    void drawingKeepsHardEdges();
    void halfSizeKeepsTheBarUnderTheArrow();
};

void IconScaleTest::pixelsComeFromUnderThem_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("16") << 16;
    QTest::newRow("32") << 32;
    QTest::newRow("48") << 48;
    QTest::newRow("64") << 64;
    QTest::newRow("128") << 128;
}

void IconScaleTest::pixelsComeFromUnderThem()
{
    QFETCH(int, size);
    const int side = 32;
    QImage drawing(side, side, QImage::Format_ARGB32);
    const QHash<QRgb, QPoint> where = PaintNumbered(drawing);
    const QImage scaled = ScalePixelIcon(drawing, size);
    QCOMPARE(scaled.size(), QSize(size, size));

    QSet<QRgb> used;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QRgb pixel = scaled.pixel(x, y);
            QVERIFY2(where.contains(pixel),
                     qPrintable(QStringLiteral("(%1,%2) is a blend").arg(x).arg(y)));
            const int sx = where.value(pixel).x();
            const int sy = where.value(pixel).y();
            const bool underX = sx * size < (x + 1) * side && (sx + 1) * size > x * side;
            const bool underY = sy * size < (y + 1) * side && (sy + 1) * size > y * side;
            QVERIFY2(
                underX && underY,
                qPrintable(QStringLiteral("(%1,%2) took (%3,%4)").arg(x).arg(y).arg(sx).arg(sy)));
            used.insert(pixel);
        }
    }
    // Growing loses no pixel; halving keeps one of each 2x2 block.
    QCOMPARE(used.size(), size >= side ? side * side : size * size);
}

void IconScaleTest::drawingKeepsHardEdges_data()
{
    pixelsComeFromUnderThem_data();
}

void IconScaleTest::drawingKeepsHardEdges()
{
    QFETCH(int, size);
    const QImage drawing(QStringLiteral(VELMORA_ICON_SOURCE));
    QVERIFY(!drawing.isNull());
    const QImage scaled = ScalePixelIcon(drawing, size);
    const QSet<QRgb> ours = Colours(drawing.convertToFormat(QImage::Format_ARGB32));

    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QRgb pixel = scaled.pixel(x, y);
            QVERIFY2(qAlpha(pixel) == 0 || qAlpha(pixel) == 255,
                     qPrintable(QString::number(pixel, 16)));
            if (qAlpha(pixel) == 255)
                QVERIFY2(ours.contains(pixel), qPrintable(QString::number(pixel, 16)));
        }
    }
    if (size >= drawing.width())
        QCOMPARE(Colours(scaled), ours);
}

void IconScaleTest::halfSizeKeepsTheBarUnderTheArrow()
{
    const QImage drawing(QStringLiteral(VELMORA_ICON_SOURCE));
    QVERIFY(!drawing.isNull());
    const QSet<QRgb> colours = Colours(ScalePixelIcon(drawing, 16));
    QVERIFY(colours.contains(qRgb(0x00, 0xff, 0xff)));  // the one-pixel cyan bar
    QVERIFY(colours.contains(qRgb(0xff, 0xff, 0x00)));  // the arrow
}

QTEST_GUILESS_MAIN(IconScaleTest)
#include "tst_iconscale.moc"
