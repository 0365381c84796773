#include "image/Graphics.h"

#include "image/Canvas.h"
#include "base/Exceptions.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tintabrel {
namespace {

// A picture whose every pixel has a distinct, reproducible colour.
TColor Pattern(int x, int y) { return MakeColor(static_cast<uint8_t>(x * 37 + y), static_cast<uint8_t>(y * 53 + 7), static_cast<uint8_t>(x * y + 90)); }

void Fill24(TBitmap& bmp, int w, int h)
{
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    bmp.SetSize(w, h);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int x = 0; x < w; ++x) {
            const TColor c = Pattern(x, y);
            row[3 * x] = BlueOf(c);
            row[3 * x + 1] = GreenOf(c);
            row[3 * x + 2] = RedOf(c);
        }
    }
}

TEST(Bitmap, NewBitmapIsEmptyDevice)
{
    TBitmap bmp;
    EXPECT_TRUE(bmp.Empty());
    EXPECT_EQ(bmp.Width(), 0);
    EXPECT_EQ(bmp.Height(), 0);
    EXPECT_EQ(bmp.PixelFormat(), TPixelFormat::pfDevice);
    EXPECT_FALSE(bmp.Transparent());
    EXPECT_EQ(bmp.TransparentColor(), clDefault);
    EXPECT_FALSE(bmp.Palette().has_value());
}

TEST(Bitmap, AssignSharesTheStoreAndAChangeMakesItPrivate)
{
    TBitmap a;
    Fill24(a, 5, 4);
    TBitmap b;
    b.Assign(a);
    EXPECT_EQ(a.Image().get(), b.Image().get()) << "assign must not copy pixels";

    b.SetPixel(1, 1, clRed);
    EXPECT_NE(a.Image().get(), b.Image().get());
    EXPECT_EQ(a.Pixel(1, 1), Pattern(1, 1));
    EXPECT_EQ(b.Pixel(1, 1), clRed);

    TBitmap c;
    c.Assign(a);
    c.SetPixelFormat(TPixelFormat::pf8bit);
    EXPECT_EQ(a.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(a.Pixel(4, 3), Pattern(4, 3));

    TBitmap d;
    d.Assign(a);
    d.ScanLine(0)[0] = 1; // row access counts as a change
    EXPECT_EQ(BlueOf(a.Pixel(0, 0)), BlueOf(Pattern(0, 0)));

    TBitmap e;
    e.Assign(a);
    e.SetWidth(2);
    EXPECT_EQ(a.Width(), 5);
}

TEST(Bitmap, ConvertingTo24BitKeepsEveryColourExactly)
{
    // Every format that can hold the colours exactly gives them back after conversion to 24-bit.
    for (TPixelFormat f : {TPixelFormat::pf32bit, TPixelFormat::pfDevice}) {
        TBitmap src;
        Fill24(src, 7, 3);
        src.SetPixelFormat(f);
        EXPECT_EQ(src.PixelFormat(), f);
        src.SetPixelFormat(TPixelFormat::pf24bit);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 7; ++x) ASSERT_EQ(src.Pixel(x, y), Pattern(x, y)) << static_cast<int>(f);
    }
}

TEST(Bitmap, IndexedPictureConvertsToItsTableColoursAndKeepsThePalette)
{
    TBitmap bmp;
    Fill24(bmp, 9, 5);
    bmp.SetPixelFormat(TPixelFormat::pf8bit);
    ASSERT_EQ(bmp.PixelFormat(), TPixelFormat::pf8bit);
    const auto palette = bmp.Palette();
    ASSERT_TRUE(palette.has_value());
    EXPECT_EQ(palette->Count(), 256);
    std::vector<TColor> expected;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 9; ++x) {
            const TColor c = bmp.Pixel(x, y);
            // Nearest halftone entry: within half a cube step on each channel.
            EXPECT_LE(std::abs(RedOf(c) - RedOf(Pattern(x, y))), 26);
            expected.push_back(c);
        }
    int notified = 0;
    bmp.OnChange = [&](TGraphic&) { ++notified; };
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_EQ(notified, 1);
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_EQ(notified, 1) << "converting to the current format changes nothing";
    EXPECT_EQ(bmp.Palette(), palette) << "the 24-bit picture carries its palette along";
    size_t i = 0;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 9; ++x) EXPECT_EQ(bmp.Pixel(x, y), expected[i++]);
}

TEST(Bitmap, ConversionsBetweenFormats)
{
    const struct {
        TPixelFormat format;
        int channelError; // largest difference per channel after the round trip through the format
    } cases[] = {
        {TPixelFormat::pf15bit, 7},
        {TPixelFormat::pf16bit, 7},
        {TPixelFormat::pf32bit, 0},
        {TPixelFormat::pfDevice, 0},
    };
    for (const auto& c : cases) {
        TBitmap bmp;
        Fill24(bmp, 6, 6);
        bmp.SetPixelFormat(c.format);
        ASSERT_EQ(bmp.PixelFormat(), c.format);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 6; ++x) {
                const TColor got = bmp.Pixel(x, y), want = Pattern(x, y);
                EXPECT_LE(std::abs(RedOf(got) - RedOf(want)), c.channelError);
                EXPECT_LE(std::abs(GreenOf(got) - GreenOf(want)), c.channelError);
                EXPECT_LE(std::abs(BlueOf(got) - BlueOf(want)), c.channelError);
            }
    }
    // Extremes of the narrow formats widen to full range.
    for (TPixelFormat f : {TPixelFormat::pf15bit, TPixelFormat::pf16bit}) {
        TBitmap bmp;
        bmp.SetPixelFormat(TPixelFormat::pf24bit);
        bmp.SetSize(2, 1);
        bmp.SetPixel(0, 0, clWhite);
        bmp.SetPixel(1, 0, clBlack);
        bmp.SetPixelFormat(f);
        EXPECT_EQ(bmp.Pixel(0, 0), clWhite);
        EXPECT_EQ(bmp.Pixel(1, 0), clBlack);
    }
    // Two-colour and sixteen-colour pictures.
    TBitmap bw;
    bw.SetPixelFormat(TPixelFormat::pf24bit);
    bw.SetSize(10, 2);
    bw.SetPixel(3, 1, clBlack);
    bw.SetPixelFormat(TPixelFormat::pf1bit);
    EXPECT_EQ(bw.Pixel(3, 1), clBlack);
    EXPECT_EQ(bw.Pixel(9, 0), clWhite);
    bw.SetPixelFormat(TPixelFormat::pf4bit);
    EXPECT_EQ(bw.Pixel(3, 1), clBlack);
    EXPECT_EQ(bw.Pixel(2, 1), clWhite);
    bw.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_EQ(bw.Pixel(3, 1), clBlack);
    EXPECT_EQ(bw.Pixel(4, 1), clWhite);

    TBitmap custom;
    EXPECT_THROW(
        {
            try {
                custom.SetPixelFormat(TPixelFormat::pfCustom);
            } catch (const EInvalidGraphic& e) {
                EXPECT_STREQ(e.what(), "画像フォーマットが不正です");
                throw;
            }
        },
        EInvalidGraphic);
}

TEST(Bitmap, ResizeFillsWithTheCanvasBrushOrWhite)
{
    TBitmap plain;
    plain.SetPixelFormat(TPixelFormat::pf24bit);
    plain.SetSize(2, 2);
    EXPECT_EQ(plain.Pixel(1, 1), clWhite);

    TBitmap brushed;
    brushed.SetPixelFormat(TPixelFormat::pf24bit);
    brushed.SetSize(2, 2);
    brushed.SetPixel(0, 0, clBlue);
    brushed.Canvas().Brush.Color = clRed;
    brushed.SetWidth(4);
    brushed.SetHeight(3);
    EXPECT_EQ(brushed.Pixel(0, 0), clBlue) << "the old picture stays at the top left";
    EXPECT_EQ(brushed.Pixel(1, 1), clWhite);
    EXPECT_EQ(brushed.Pixel(3, 0), clRed);
    EXPECT_EQ(brushed.Pixel(0, 2), clRed);
}

TEST(Bitmap, GrowingAndShrinkingKeepTheTopLeft)
{
    TBitmap bmp;
    Fill24(bmp, 4, 4);
    bmp.SetHeight(6);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) ASSERT_EQ(bmp.Pixel(x, y), Pattern(x, y));
    bmp.SetSize(2, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 2; ++x) ASSERT_EQ(bmp.Pixel(x, y), Pattern(x, y));
}

TEST(Bitmap, HeaderWithoutPixelsBuildsInItsFormatLater)
{
    TBitmap bmp;
    bmp.SetPixelFormat(TPixelFormat::pf8bit);
    bmp.SetWidth(10);
    EXPECT_EQ(bmp.Width(), 10);
    EXPECT_EQ(bmp.Height(), 0);
    EXPECT_TRUE(bmp.Empty());
    bmp.SetHeight(5);
    EXPECT_EQ(bmp.PixelFormat(), TPixelFormat::pf8bit);
    ASSERT_FALSE(bmp.Empty());
    EXPECT_EQ(bmp.Palette(), HalftonePalette());
}

TEST(Bitmap, RowOrderOfBottomUpAndTopDownStores)
{
    TBitmap bmp;
    Fill24(bmp, 3, 4);
    const auto& img = *bmp.Image();
    ASSERT_GT(img.Header.biHeight, 0);
    // Row 0 (top) is the last stored row of a bottom-up store.
    EXPECT_EQ(bmp.ConstScanLine(0), img.Pixels() + 3 * img.Stride());

    bmp.MutableImage().Header.biHeight = -4; // the same bytes read as top row first
    EXPECT_EQ(bmp.ConstScanLine(0), bmp.Image()->Pixels());
    EXPECT_EQ(bmp.Pixel(0, 0), Pattern(0, 3));
    bmp.SetWidth(2); // a new width keeps the stored order
    EXPECT_LT(bmp.Image()->Header.biHeight, 0);
    EXPECT_EQ(bmp.Pixel(0, 0), Pattern(0, 3));
    bmp.SetHeight(5); // a new height is stored bottom row first
    EXPECT_GT(bmp.Image()->Header.biHeight, 0);
    EXPECT_EQ(bmp.Pixel(1, 0), Pattern(1, 3));
}

TEST(Bitmap, RowAccessOutsideThePictureFails)
{
    TBitmap bmp;
    Fill24(bmp, 2, 3);
    for (int row : {-1, 3, 1000}) {
        try {
            bmp.ScanLine(row);
            ADD_FAILURE() << row;
        } catch (const EInvalidGraphicOperation& e) {
            EXPECT_STREQ(e.what(), "スキャンライン のインデックスが範囲を越えました");
        }
    }
    TBitmap empty;
    EXPECT_THROW(empty.ScanLine(0), EInvalidGraphicOperation);
}

TEST(Bitmap, PixelOutsideReadsAllOnesAndWritesNothing)
{
    TBitmap bmp;
    Fill24(bmp, 3, 2);
    for (auto [x, y] : {std::pair{-1, 0}, {3, 0}, {0, -1}, {0, 2}}) EXPECT_EQ(bmp.Pixel(x, y), static_cast<TColor>(0xFFFFFFFF));
    bmp.SetPixel(3, 0, clRed);
    EXPECT_EQ(bmp.Pixel(2, 0), Pattern(2, 0));
    TBitmap empty;
    EXPECT_EQ(empty.Pixel(0, 0), static_cast<TColor>(0xFFFFFFFF));
}

TEST(Bitmap, PixelWriteTakesTheNearestColourOfTheFormat)
{
    TBitmap bmp;
    bmp.SetPixelFormat(TPixelFormat::pf4bit);
    bmp.SetSize(2, 1);
    bmp.SetPixel(0, 0, MakeColor(250, 5, 3));
    EXPECT_EQ(bmp.Pixel(0, 0), clRed);
    bmp.SetPixel(1, 0, clBtnFace); // system colours are resolved first
    EXPECT_EQ(bmp.Pixel(1, 0), clWhite); // 240, 240, 240 is nearest to white
}

TEST(Bitmap, ChangeNotifications)
{
    TBitmap bmp;
    int notified = 0;
    bmp.OnChange = [&](TGraphic&) { ++notified; };
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    bmp.SetSize(3, 3);
    const int afterSize = notified;
    bmp.SetWidth(3);
    bmp.SetHeight(3);
    EXPECT_EQ(notified, afterSize) << "setting the current size sends nothing";
    bmp.ScanLine(0);
    EXPECT_EQ(notified, afterSize) << "row access sends nothing";
    TBitmap other;
    bmp.Assign(other);
    EXPECT_EQ(notified, afterSize + 1);
    EXPECT_TRUE(bmp.Modified);
}

TEST(Bitmap, TransparentColourInUse)
{
    TBitmap bmp;
    Fill24(bmp, 3, 2);
    EXPECT_EQ(bmp.TransparentMode(), TTransparentMode::tmAuto);
    EXPECT_EQ(bmp.TransparentColorInUse(), Pattern(0, 1)) << "bottom-left pixel";
    bmp.SetTransparentColor(clLime);
    EXPECT_EQ(bmp.TransparentMode(), TTransparentMode::tmFixed);
    EXPECT_EQ(bmp.TransparentColorInUse(), clLime);
    bmp.SetTransparentColor(clDefault);
    EXPECT_EQ(bmp.TransparentMode(), TTransparentMode::tmAuto);

    TBitmap bw;
    bw.SetPixelFormat(TPixelFormat::pf1bit);
    bw.SetSize(2, 2);
    bw.SetPixel(0, 1, clBlack);
    EXPECT_EQ(bw.TransparentColorInUse(), clWhite);
}

TEST(Bitmap, OversizedPicturesAreRefusedBeforeAllocation)
{
    TBitmap bmp;
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    bmp.SetWidth(1 << 20);
    EXPECT_THROW(bmp.SetHeight(1 << 20), EOutOfResources);
    EXPECT_EQ(CheckedRowStride(INT32_MAX, 32, 1), -1);
    EXPECT_EQ(CheckedRowStride(3, 24, 1), 12);
    EXPECT_EQ(CheckedRowStride(1, 1, 1), 4);
}

} // namespace
} // namespace tintabrel
