#include "line_painting.h"

#include "../platform/gdiplus_handles.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

const ARGB kClearColour = 0x00FFFFFF; // white with alpha 0: the area stays see-through
const ARGB kPenColour = 0xFF008000;
const REAL kPenWidth = 1.0f;

int32_t saturate(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

} // namespace

int GaugeColumn(const char* valueText, int width) {
    if (!valueText)
        return 0;
    // strtol reads as atoi does but saturates where atoi's result is undefined.
    int32_t value = saturate(std::strtol(valueText, nullptr, 10));
    int32_t product = saturate(static_cast<int64_t>(value) * width);
    return product / 100;
}

void PaintGaugeLine(HDC deviceContext, const char* valueText, int width, int height) {
    GpGraphics* rawGraphics = nullptr;
    GdipCreateFromHDC(deviceContext, &rawGraphics);
    UniqueGdipGraphics graphics(rawGraphics);
    if (!graphics)
        return;
    GdipGraphicsClear(graphics.get(), kClearColour);

    GpPen* rawPen = nullptr;
    GdipCreatePen1(kPenColour, kPenWidth, UnitWorld, &rawPen);
    UniqueGdipPen pen(rawPen);
    if (!pen)
        return;
    int x = GaugeColumn(valueText, width);
    GdipDrawLineI(graphics.get(), pen.get(), x, 0, x, height);
}
