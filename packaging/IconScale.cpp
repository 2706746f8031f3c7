#include "IconScale.h"

namespace velmora {

QImage ScalePixelIcon(const QImage &drawing, int size)
{
    const QImage source = drawing.convertToFormat(QImage::Format_ARGB32);
    if (size >= source.width() && size >= source.height())
        return source.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);

    // Qt's fast scaling samples the top-left pixel of each block, which at
    // half size drops the drawing's one-pixel inner lines (the screen frame,
    // the bar under the arrow). Sampling at each target pixel's centre keeps them.
    QImage scaled(size, size, QImage::Format_ARGB32);
    for (int y = 0; y < size; ++y) {
        const int sy = (2 * y + 1) * source.height() / (2 * size);
        for (int x = 0; x < size; ++x) {
            const int sx = (2 * x + 1) * source.width() / (2 * size);
            scaled.setPixel(x, y, source.pixel(sx, sy));
        }
    }
    return scaled;
}

}  // namespace velmora
