#include <windows.h>
#include <gtest/gtest.h>

#include "common/handles.h"
#include "ui/png_resource.h"

namespace {

namespace gp = Gdiplus::DllExports;

class PngResources : public ::testing::Test {
protected:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
    }
    void TearDown() override { Gdiplus::GdiplusShutdown(token); }
    ULONG_PTR token = 0;
};

void ExpectPixel(Gdiplus::GpBitmap* bitmap, int x, int y, Gdiplus::ARGB expected) {
    Gdiplus::ARGB colour = 0;
    ASSERT_EQ(gp::GdipBitmapGetPixel(bitmap, x, y, &colour), Gdiplus::Ok);
    EXPECT_EQ(colour, expected) << "at " << x << "," << y;
}

TEST_F(PngResources, TrackAndFillDecodeToTheirSizeAndColours) {
    UniqueGpBitmap track = LoadPngResource(201, L"PNG");
    UniqueGpBitmap fill = LoadPngResource(202, L"PNG");
    ASSERT_TRUE(track);
    ASSERT_TRUE(fill);
    UINT width = 0, height = 0;
    gp::GdipGetImageWidth(track.get(), &width);
    gp::GdipGetImageHeight(track.get(), &height);
    EXPECT_EQ(width, 480u);
    EXPECT_EQ(height, 8u);
    ExpectPixel(track.get(), 240, 4, 0xFFEFEFEF);
    ExpectPixel(fill.get(), 240, 4, 0xFF6EEDFB);
    Gdiplus::ARGB corner = 0;
    gp::GdipBitmapGetPixel(fill.get(), 0, 0, &corner);
    EXPECT_EQ(corner >> 24, 0u) << "corner pixels are transparent";
}

TEST_F(PngResources, ImagesOutliveTheirResourceCopies) {
    // GDI+ decodes lazily from the stream: drawing after loading several
    // images must still see each image's own bytes.
    UniqueGpBitmap first = LoadPngResource(202, L"PNG");
    UniqueGpBitmap second = LoadPngResource(201, L"PNG");
    ASSERT_TRUE(first && second);
    ExpectPixel(first.get(), 100, 4, 0xFF6EEDFB);
    ExpectPixel(second.get(), 100, 4, 0xFFEFEFEF);
}

TEST_F(PngResources, MissingOrUndecodableResourcesGiveNull) {
    EXPECT_FALSE(LoadPngResource(299, L"PNG"));
    EXPECT_FALSE(LoadPngResource(201, L"GIF"));
    EXPECT_FALSE(LoadPngResource(203, L"PNG"));
}

}  // namespace
