// Build step: writes our pixel drawing as a square PNG of the given size.
//   velmora-iconscale <drawing> <size> <output.png>

#include "IconScale.h"

#include <QImage>
#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <drawing> <size> <output.png>\n", argv[0]);
        return 2;
    }
    const QImage drawing(QString::fromLocal8Bit(argv[1]));
    bool ok = false;
    const int size = QString::fromLocal8Bit(argv[2]).toInt(&ok);
    if (drawing.isNull() || !ok || size <= 0) {
        std::fprintf(stderr, "%s: cannot read %s or bad size %s\n", argv[0], argv[1], argv[2]);
        return 1;
    }
    if (!velmora::ScalePixelIcon(drawing, size).save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[3]);
        return 1;
    }
    return 0;
}
