#pragma once

#include <QImage>

namespace velmora {

// Our icon is a pixel drawing: every size is made of its own pixels, never of
// blends of them, so the edges stay as hard as in the drawing.
[[nodiscard]] QImage ScalePixelIcon(const QImage &drawing, int size);

}  // namespace velmora
