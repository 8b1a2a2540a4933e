// Owners for GDI+ objects, so each is deleted however the code that made it ends.
#pragma once

#include "win32api.h"

#include <memory>

struct GdipGraphicsDeleter {
    void operator()(GpGraphics* graphics) const { GdipDeleteGraphics(graphics); }
};
struct GdipPenDeleter {
    void operator()(GpPen* pen) const { GdipDeletePen(pen); }
};
using UniqueGdipGraphics = std::unique_ptr<GpGraphics, GdipGraphicsDeleter>;
using UniqueGdipPen = std::unique_ptr<GpPen, GdipPenDeleter>;
