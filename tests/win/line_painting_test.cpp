// The gauge under Wine: painted by the real DLL into a memory DC over a 32-bit
// DIB section, with Wine's GDI+.
#include "host/plugin_loader.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

const DWORD kCanvas = 0x11223344;

std::string dllPath() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, length);
    return self.substr(0, self.find_last_of('\\') + 1) + "KestrinPlugin.dll";
}

// A memory DC whose pixels the test can read: top-down, 32 bits a pixel.
class DibSurface {
  public:
    DibSurface(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_),
                                   nullptr, 0);
        old_ = SelectObject(dc_, bitmap_);
        for (int i = 0; i < width * height; ++i)
            bits_[i] = kCanvas;
    }
    ~DibSurface() {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    HDC dc() const { return dc_; }
    DWORD pixel(int x, int y) const {
        GdiFlush();
        return bits_[y * width_ + x];
    }
    int width() const { return width_; }
    int height() const { return height_; }

  private:
    int width_, height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    DWORD* bits_ = nullptr;
};

bool isGreen(DWORD pixel) {
    return (pixel & 0x00FFFFFF) == 0x008000;
}

// The column whose every pixel is the line's green, or -1; every other pixel
// must have been cleared (Wine stores the transparent clear colour
// premultiplied, so what is checked is that the canvas is gone).
int lineColumn(PluginModule& module, const char* text, int width, int height) {
    DibSurface surface(width, height);
    EXPECT_EQ(0, module.repaint(surface.dc(), 0, text, width, height));
    int column = -1;
    for (int x = 0; x < width; ++x) {
        int green = 0;
        for (int y = 0; y < height; ++y) {
            DWORD pixel = surface.pixel(x, y);
            EXPECT_NE(kCanvas, pixel) << "not cleared at " << x << "," << y;
            green += isGreen(pixel);
        }
        if (green == height)
            column = x;
        else
            EXPECT_EQ(0, green) << "stray green in column " << x << " for " << text;
    }
    return column;
}

} // namespace

TEST(LinePaintingUnderWine, PutsTheLineWhereThePercentageSays) {
    PluginModule module(dllPath());
    ASSERT_TRUE(module.complete()) << module.error();
    PluginRecord* record = module.dllstartup(0, 0); // starts GDI+
    EXPECT_EQ(100, lineColumn(module, "50", 200, 40));
    EXPECT_EQ(3, lineColumn(module, "33", 10, 6));
    EXPECT_EQ(-1, lineColumn(module, "-33", 10, 6));
    EXPECT_EQ(75, lineColumn(module, "  75%", 100, 6));
    EXPECT_EQ(0, lineColumn(module, "abc", 20, 6));
    EXPECT_EQ(-1, lineColumn(module, "100", 250, 6));
    module.dllshutdown(record);
}
