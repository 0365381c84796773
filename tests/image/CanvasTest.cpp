#include "image/Canvas.h"

#include "image/Picture.h"

#include <gtest/gtest.h>

namespace tintabrel {
namespace {

TBitmap* Make24(TBitmap& bmp, int w, int h, TColor fill = clWhite)
{
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    bmp.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) bmp.SetPixel(x, y, fill);
    return &bmp;
}

TEST(Canvas, RectangleFillsWithTheBrushAndFramesWithThePen)
{
    TBitmap bmp;
    Make24(bmp, 30, 30, clBlack);
    TCanvas& canvas = bmp.Canvas();
    canvas.Brush.Color = clRed;
    canvas.Pen.Color = clBtnFace;
    canvas.Rectangle(0, 0, 25, 25);
    const TColor face = ResolveColor(clBtnFace);
    for (int i = 0; i < 25; ++i) {
        EXPECT_EQ(bmp.Pixel(i, 0), face);
        EXPECT_EQ(bmp.Pixel(i, 24), face);
        EXPECT_EQ(bmp.Pixel(0, i), face);
        EXPECT_EQ(bmp.Pixel(24, i), face);
    }
    for (int y = 1; y < 24; ++y)
        for (int x = 1; x < 24; ++x) ASSERT_EQ(bmp.Pixel(x, y), clRed);
    EXPECT_EQ(bmp.Pixel(25, 25), clBlack);
}

TEST(Canvas, StretchDrawRepeatsPixelsIntoBlocks)
{
    TBitmap src;
    Make24(src, 2, 2);
    src.SetPixel(0, 0, clRed);
    src.SetPixel(1, 0, clLime);
    src.SetPixel(0, 1, clBlue);
    src.SetPixel(1, 1, clBlack);
    TBitmap dst;
    Make24(dst, 6, 6);
    dst.Canvas().StretchDraw(TRect{0, 0, 6, 6}, src);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(dst.Pixel(x, y), src.Pixel(x / 3, y / 3)) << x << "," << y;

    // Shrinking drops pixels, never blends.
    TBitmap small;
    Make24(small, 1, 1);
    small.Canvas().StretchDraw(TRect{0, 0, 1, 1}, src);
    EXPECT_EQ(small.Pixel(0, 0), clRed);
}

TEST(Canvas, TransparentDrawingLeavesOutTheBottomLeftColour)
{
    TBitmap src;
    Make24(src, 2, 2, clLime);
    src.SetPixel(1, 0, clRed);
    src.SetTransparent(true); // transparent colour clDefault: taken from the bottom-left pixel
    TBitmap dst;
    Make24(dst, 2, 2, clBlue);
    dst.Canvas().StretchDraw(TRect{0, 0, 2, 2}, src);
    EXPECT_EQ(dst.Pixel(1, 0), clRed);
    EXPECT_EQ(dst.Pixel(0, 0), clBlue);
    EXPECT_EQ(dst.Pixel(0, 1), clBlue);
}

TEST(Picture, BitmapReplacesOtherGraphicsAndForwardsChanges)
{
    TPicture picture;
    int changes = 0;
    picture.OnChange = [&](TPicture&) { ++changes; };
    TBitmap& bmp = picture.Bitmap();
    EXPECT_TRUE(bmp.Empty());
    EXPECT_EQ(&picture.Bitmap(), &bmp) << "asking again gives the same bitmap";
    const int before = changes;
    TBitmap src;
    Make24(src, 3, 2);
    picture.Bitmap().Assign(src);
    EXPECT_GT(changes, before);
    EXPECT_EQ(picture.Width(), 3);
    EXPECT_EQ(picture.Bitmap().Image().get(), src.Image().get());
}

} // namespace
} // namespace tintabrel
