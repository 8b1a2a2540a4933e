// Drawing: HDCs as surfaces of ARGB pixels, and the GDI+ flat calls that paint
// on them.
//
// The calls return GDI+ statuses: Ok (0), InvalidParameter (2) for a null or
// unknown object, GdiplusNotInitialized (18) before GdiplusStartup. Lines are
// one pixel wide, endpoints included, clipped to the surface. Graphics and pens
// are counted in the ledger.
#include "../win32api.h"
#include "emu_control.h"
#include "machine.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <vector>

struct HDC__ {
    int width;
    int height;
    std::vector<uint32_t> pixels;
};
struct GpGraphics {
    HDC surface;
};
struct GpPen {
    ARGB colour;
};

namespace {

const GpStatus Ok = 0, InvalidParameter = 2, GdiplusNotInitialized = 18;

std::mutex drawingMutex;
std::set<HDC> surfaces;
std::set<GpGraphics*> liveGraphics;
std::set<GpPen*> livePens;

void plot(HDC s, int x, int y, uint32_t colour) {
    if (x >= 0 && y >= 0 && x < s->width && y < s->height)
        s->pixels[static_cast<size_t>(y) * s->width + x] = colour;
}

} // namespace

namespace emu {

HDC createSurface(int width, int height, uint32_t fill) {
    std::lock_guard<std::mutex> lock(drawingMutex);
    HDC s =
        new HDC__{width, height, std::vector<uint32_t>(static_cast<size_t>(width) * height, fill)};
    surfaces.insert(s);
    return s;
}

void destroySurface(HDC surface) {
    std::lock_guard<std::mutex> lock(drawingMutex);
    if (surfaces.erase(surface))
        delete surface;
}

uint32_t surfacePixel(HDC s, int x, int y) {
    std::lock_guard<std::mutex> lock(drawingMutex);
    if (!surfaces.count(s) || x < 0 || y < 0 || x >= s->width || y >= s->height)
        return 0;
    return s->pixels[static_cast<size_t>(y) * s->width + x];
}

int surfaceWidth(HDC s) {
    std::lock_guard<std::mutex> lock(drawingMutex);
    return surfaces.count(s) ? s->width : 0;
}

int surfaceHeight(HDC s) {
    std::lock_guard<std::mutex> lock(drawingMutex);
    return surfaces.count(s) ? s->height : 0;
}

} // namespace emu

extern "C" GpStatus WINAPI GdipCreateFromHDC(HDC hdc, GpGraphics** graphics) {
    return emu::platformCall<GpStatus>(3, false, [&]() -> GpStatus {
        if (!graphics)
            return InvalidParameter;
        if (!emu::gdiplusRunning())
            return GdiplusNotInitialized;
        std::lock_guard<std::mutex> lock(drawingMutex);
        if (!surfaces.count(hdc))
            return InvalidParameter;
        *graphics = new GpGraphics{hdc};
        liveGraphics.insert(*graphics);
        emu::countGdiplusObject(1);
        return Ok;
    });
}

extern "C" GpStatus WINAPI GdipDeleteGraphics(GpGraphics* graphics) {
    std::lock_guard<std::mutex> lock(drawingMutex);
    if (!liveGraphics.erase(graphics))
        return InvalidParameter;
    delete graphics;
    emu::countGdiplusObject(-1);
    return Ok;
}

extern "C" GpStatus WINAPI GdipGraphicsClear(GpGraphics* graphics, ARGB colour) {
    std::lock_guard<std::mutex> lock(drawingMutex);
    if (!liveGraphics.count(graphics) || !surfaces.count(graphics->surface))
        return InvalidParameter;
    for (uint32_t& pixel : graphics->surface->pixels)
        pixel = colour;
    return Ok;
}

extern "C" GpStatus WINAPI GdipCreatePen1(ARGB colour, REAL width, GpUnit unit, GpPen** pen) {
    return emu::platformCall<GpStatus>(3, false, [&]() -> GpStatus {
        if (!pen || !(width >= 0))
            return InvalidParameter;
        if (!emu::gdiplusRunning())
            return GdiplusNotInitialized;
        std::lock_guard<std::mutex> lock(drawingMutex);
        *pen = new GpPen{colour};
        livePens.insert(*pen);
        emu::countGdiplusObject(1);
        return Ok;
    });
}

extern "C" GpStatus WINAPI GdipDeletePen(GpPen* pen) {
    std::lock_guard<std::mutex> lock(drawingMutex);
    if (!livePens.erase(pen))
        return InvalidParameter;
    delete pen;
    emu::countGdiplusObject(-1);
    return Ok;
}

// Bresenham's line, in 64-bit steps so that far-off endpoints cannot overflow;
// only the part inside the surface is walked.
extern "C" GpStatus WINAPI GdipDrawLineI(GpGraphics* graphics, GpPen* pen, int x1, int y1, int x2,
                                         int y2) {
    std::lock_guard<std::mutex> lock(drawingMutex);
    if (!liveGraphics.count(graphics) || !livePens.count(pen) || !surfaces.count(graphics->surface))
        return InvalidParameter;
    HDC s = graphics->surface;
    if (x1 == x2) { // the gauge's case, and a vertical line needs no stepping
        if (x1 < 0 || x1 >= s->width)
            return Ok;
        long long top = std::max<long long>(std::min(y1, y2), 0);
        long long bottom = std::min<long long>(std::max(y1, y2), s->height - 1LL);
        for (long long y = top; y <= bottom; ++y)
            plot(s, x1, static_cast<int>(y), pen->colour);
        return Ok;
    }
    long long dx = std::llabs(static_cast<long long>(x2) - x1);
    long long dy = -std::llabs(static_cast<long long>(y2) - y1);
    int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
    long long err = dx + dy;
    long long x = x1, y = y1;
    // A line far outside the surface would take billions of steps; such lines
    // are not the gauge's, so they are drawn only when short enough to walk.
    if (dx - dy > 1LL << 24)
        return Ok;
    for (;;) {
        if (x >= 0 && y >= 0 && x < s->width && y < s->height)
            plot(s, static_cast<int>(x), static_cast<int>(y), pen->colour);
        if (x == x2 && y == y2)
            break;
        long long e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
    return Ok;
}
