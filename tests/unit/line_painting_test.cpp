// The gauge, painted by KestrinPlugin.so on an emulated surface and read back.
#include "host/plugin_loader.h"
#include "src/platform/emu/emu_control.h"
#include "src/plugin/line_painting.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

const uint32_t kCanvas = 0xDEADBEEF;
const uint32_t kCleared = 0x00FFFFFF;
const uint32_t kGreen = 0xFF008000;

class LinePainting : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(module_.complete()) << module_.error();
        record_ = module_.dllstartup(0, 0);
        before_ = emu::ledger();
    }
    void TearDown() override { module_.dllshutdown(record_); }

    // Paints on a fresh width x height surface and gives the columns that hold
    // the line on every row (-1 when none does), checking that every other
    // pixel was cleared.
    int paint(const char* text, int width, int height, int ignored = 0) {
        HDC surface = emu::createSurface(width, height, kCanvas);
        EXPECT_EQ(0, module_.repaint(surface, ignored, text, width, height));
        int column = -1;
        for (int x = 0; x < width; ++x) {
            int green = 0;
            for (int y = 0; y < height; ++y) {
                uint32_t pixel = emu::surfacePixel(surface, x, y);
                green += pixel == kGreen;
                EXPECT_TRUE(pixel == kGreen || pixel == kCleared) << x << "," << y;
            }
            if (green == height) {
                EXPECT_EQ(-1, column) << "a second line at " << x;
                column = x;
            } else {
                EXPECT_EQ(0, green) << "a partial line at " << x;
            }
        }
        emu::destroySurface(surface);
        EXPECT_EQ(before_.gdiplusObjects, emu::ledger().gdiplusObjects) << "pen or graphics kept";
        return column;
    }

    PluginModule module_{KESTRIN_PLUGIN_MODULE};
    PluginRecord* record_ = nullptr;
    emu::Ledger before_;
};

} // namespace

TEST_F(LinePainting, DrawsOneLineAtThePercentageOfTheWidth) {
    EXPECT_EQ(100, paint("50", 200, 40));
    EXPECT_EQ(3, paint("33", 10, 5));
    EXPECT_EQ(75, paint("  75%", 100, 3));
    EXPECT_EQ(0, paint("abc", 20, 3));
    EXPECT_EQ(0, paint("", 20, 3));
    EXPECT_EQ(0, paint("x50", 20, 3));
    EXPECT_EQ(0, paint(nullptr, 20, 3));
    EXPECT_EQ(50, paint("50", 100, 3, 0x7FFFFFFF)) << "the ignored argument changes nothing";
}

TEST_F(LinePainting, LinesOutsideTheAreaOnlyClearIt) {
    EXPECT_EQ(-1, paint("-33", 10, 4)) << "x = -3";
    EXPECT_EQ(-1, paint("100", 250, 4)) << "x = 250, one past the last column";
    EXPECT_EQ(-1, paint("99999999999999", 50, 4));
}

TEST(GaugeColumn, TruncatesTowardZeroAndSaturatesInsteadOfOverflowing) {
    EXPECT_EQ(-3, GaugeColumn("-33", 10));
    EXPECT_EQ(3, GaugeColumn("+33", 10));
    EXPECT_EQ(INT_MAX / 100, GaugeColumn("2147483648", 1)) << "the value saturates";
    EXPECT_EQ(INT_MIN / 100, GaugeColumn("-99999999999999999999", 1));
    EXPECT_EQ(INT_MAX / 100, GaugeColumn("50", INT_MAX)) << "the product saturates";
    EXPECT_EQ(INT_MIN / 100, GaugeColumn("-2147483648", 2));
}

TEST(LinePaintingWithoutGdiplus, PaintsNothingAndKeepsNothing) {
    PluginModule module(KESTRIN_PLUGIN_MODULE);
    ASSERT_TRUE(module.complete());
    HDC surface = emu::createSurface(4, 4, kCanvas);
    long objects = emu::ledger().gdiplusObjects;
    EXPECT_EQ(0, module.repaint(surface, 0, "50", 4, 4)) << "no instance: GDI+ is not running";
    EXPECT_EQ(kCanvas, emu::surfacePixel(surface, 0, 0));
    EXPECT_EQ(objects, emu::ledger().gdiplusObjects);
    EXPECT_EQ(0, module.repaint(nullptr, 0, "50", 4, 4));
    emu::destroySurface(surface);
}
