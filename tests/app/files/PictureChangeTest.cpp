// One change applied to a loaded picture with the hue window's options: palette pictures keep
// their palette and give the pixels of the 24-bit path, and the picture's alpha reaches the
// engine for VisibleOnly.
#include "app/PictureChange.h"
#include "app/PictureFormats.h"
#include "app/PictureFiles.h"

#include "base/ColorConvert.h"
#include "base/Colors.h"
#include "base/StringList.h"
#include "image/PixelFormats.h"
#include "recolour/PaletteRecolour.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

std::string Suite(const std::string& name) { return test::DataPath("pngsuite/" + name); }

THueWindow Window(int source, int tolerance, int target, bool wrap, int soft, bool shift, bool visibleOnly)
{
    THueWindow w{source, tolerance, target};
    w.Wrap = wrap;
    w.Soft = soft;
    w.Shift = shift;
    w.VisibleOnly = visibleOnly;
    return w;
}

std::string Describe(const THueWindow& w)
{
    return "p=" + std::to_string(w.Source) + " t=" + std::to_string(w.Tolerance) + " target=" + std::to_string(w.Target) +
           (w.Wrap ? " wrap" : "") + (w.Soft ? " soft=" + std::to_string(w.Soft) : "") + (w.Shift ? " shift" : "") +
           (w.VisibleOnly ? " visible-only" : "");
}

// Each option on its own and all together, on windows that catch part of the suite's colours.
std::vector<THueWindow> OptionWindows()
{
    return {
        Window(200, 36, 30, false, 0, false, false),  Window(10, 20, 300, true, 0, false, false),
        Window(200, 20, 30, false, 60, false, false), Window(200, 36, 30, false, 0, true, false),
        Window(200, 36, 30, false, 0, false, true),   Window(350, 30, 100, true, 90, true, true),
    };
}

bool Transparent(const TPictureData& d, int32_t x, int32_t y)
{
    return d.HasAlpha() && d.Alpha.ConstScanLine(y)[x] == 255;
}

int64_t CountDifferent(const TBitmap& a, const TBitmap& b)
{
    int64_t n = 0;
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x) n += a.Pixel(x, y) != b.Pixel(x, y);
    return n;
}

// Palette pictures (without alpha, with tRNS, 1 to 8 bits) keep their indices and give, pixel
// for pixel, what the 24-bit path gives; so does a change made where the picture lies.
TEST(PictureChangeWithOptions, PalettePicturesGiveThePixelsOfThe24BitPathWithEveryOption)
{
    TStringList lines;
    lines.Add("clRed");
    const TProtectedColors list(lines);
    for (const char* name : {"basn3p08.png", "tp1n3p08.png", "tbbn3p08.png", "basn3p04.png", "basn3p02.png"}) {
        TPictureData before;
        LoadPicture(Suite(name), PngFormat(), before);
        ASSERT_NE(before.PaletteBits, 0) << name;
        for (const THueWindow& w : OptionWindows()) {
            SCOPED_TRACE(std::string(name) + " " + Describe(w));
            TPictureData kept, full, inPlace;
            ApplyChange(before, kept, list, w);
            ApplyChange(before, full, list, w, true);
            EXPECT_TRUE(IsPalettePicture(kept.Image));
            EXPECT_EQ(kept.PaletteBits, before.PaletteBits);
            EXPECT_EQ(kept.IndexAlpha, before.IndexAlpha);
            EXPECT_EQ(full.Image.PixelFormat(), TPixelFormat::pf24bit);
            ASSERT_EQ(kept.Image.Width(), full.Image.Width());
            EXPECT_EQ(CountDifferent(kept.Image, full.Image), 0);
            const int bits = FactsOf(before.Image.PixelFormat()).Bits;
            for (int32_t y = 0; y < before.Image.Height(); ++y)
                for (int32_t x = 0; x < before.Image.Width(); ++x)
                    ASSERT_EQ(GetPackedIndex(kept.Image.ConstScanLine(y), bits, x),
                              GetPackedIndex(before.Image.ConstScanLine(y), bits, x));

            inPlace.Assign(before);
            ApplyChangeInPlace(inPlace, list, w);
            EXPECT_TRUE(IsPalettePicture(inPlace.Image));
            EXPECT_EQ(CountDifferent(inPlace.Image, full.Image), 0);
        }
    }
}

// A palette PNG of coloured sprites whose tRNS hides two of its coloured entries: 16 x 8 pixels,
// index (x + y) % 6 of red, orange, yellow, green, blue, magenta; orange and blue are alpha 0.
std::string MakeSpritePalettePng(const test::TempDir& dir)
{
    TPictureData data;
    const TColor colours[] = {clRed, MakeColor(255, 128, 0), MakeColor(255, 255, 0), clLime, clBlue, MakeColor(255, 0, 255)};
    TPalette palette;
    for (const TColor c : colours) palette.Add(RedOf(c), GreenOf(c), BlueOf(c));
    data.Image.SetPixelFormat(TPixelFormat::pf8bit);
    data.Image.SetPalette(palette);
    data.Image.SetSize(16, 8);
    data.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    data.Alpha.SetSize(16, 8);
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 16; ++x) {
            const uint8_t index = static_cast<uint8_t>((x + y) % 6);
            data.Image.ScanLine(y)[x] = index;
            data.Alpha.ScanLine(y)[x] = index == 1 || index == 4 ? 255 : (index == 3 ? 100 : 0);
        }
    for (int32_t x = 0; x < 6; ++x) EXPECT_EQ(data.Image.Pixel(x, 0), colours[x]);
    const std::string path = dir.File("sprites.png");
    SavePicture(path, PngFormat(), data.Image, data.Alpha);
    return path;
}

// VisibleOnly reads the picture's own alpha: transparent pixels keep their colour on every path
// (palette kept, 24-bit, in place) and the dry-run counts count visible pixels only.
TEST(PictureChangeWithOptions, VisibleOnlyReadsThePicturesAlpha)
{
    const TProtectedColors none;
    test::TempDir dir;
    // An RGBA picture, palette ones whose tRNS makes some indices fully transparent.
    for (const std::string& path : {Suite("basn6a08.png"), Suite("tbbn3p08.png"), MakeSpritePalettePng(dir)}) {
        const std::string name = path.substr(path.rfind('/') + 1);
        TPictureData before;
        LoadPicture(path, PngFormat(), before);
        ASSERT_TRUE(before.HasAlpha()) << name;
        // A wide window that catches nearly every colour, so that transparent pixels would change.
        const THueWindow all = Window(180, 36, 0, true, 90, true, false);
        THueWindow visible = all;
        visible.VisibleOnly = true;
        SCOPED_TRACE(name);

        TPictureData everyPixel, visibleOnly, inPlace, full, counted;
        THueCounts allCounts, visibleCounts;
        ApplyChange(before, everyPixel, none, all);
        ApplyChange(before, counted, none, all, false, &allCounts);
        ApplyChange(before, visibleOnly, none, visible);
        ApplyChange(before, counted, none, visible, false, &visibleCounts);
        ApplyChange(before, full, none, visible, true);
        inPlace.Assign(before);
        ApplyChangeInPlace(inPlace, none, visible);

        int64_t hiddenChanged = 0, visibleAltered = 0, altered = 0;
        for (int32_t y = 0; y < before.Image.Height(); ++y)
            for (int32_t x = 0; x < before.Image.Width(); ++x) {
                const TColor was = before.Image.Pixel(x, y);
                const bool changed = everyPixel.Image.Pixel(x, y) != was;
                altered += changed;
                if (Transparent(before, x, y)) {
                    hiddenChanged += changed;
                    ASSERT_EQ(visibleOnly.Image.Pixel(x, y), was) << x << "," << y;
                    ASSERT_EQ(full.Image.Pixel(x, y), was) << x << "," << y;
                    ASSERT_EQ(inPlace.Image.Pixel(x, y), was) << x << "," << y;
                } else {
                    visibleAltered += changed;
                    ASSERT_EQ(visibleOnly.Image.Pixel(x, y), everyPixel.Image.Pixel(x, y)) << x << "," << y;
                    ASSERT_EQ(full.Image.Pixel(x, y), everyPixel.Image.Pixel(x, y)) << x << "," << y;
                    ASSERT_EQ(inPlace.Image.Pixel(x, y), everyPixel.Image.Pixel(x, y)) << x << "," << y;
                }
            }
        if (name != "tbbn3p08.png") { // its transparent entry is grey
            EXPECT_GT(hiddenChanged, 0) << "the picture must have transparent pixels the window would change";
            EXPECT_LT(visibleCounts.Altered, allCounts.Altered);
        }
        EXPECT_EQ(IsPalettePicture(visibleOnly.Image), before.PaletteBits != 0);
        EXPECT_EQ(allCounts.Altered, altered);
        EXPECT_EQ(visibleCounts.Altered, visibleAltered);
        // The alpha itself is carried over untouched.
        for (int32_t y = 0; y < before.Image.Height(); ++y)
            for (int32_t x = 0; x < before.Image.Width(); ++x)
                ASSERT_EQ(visibleOnly.Alpha.ConstScanLine(y)[x], before.Alpha.ConstScanLine(y)[x]);
    }
}

// An alpha picture the save would leave out (not of the picture's size) makes no pixel hidden.
TEST(PictureChangeWithOptions, AnAlphaOfAnotherSizeCountsAsOpaque)
{
    TPictureData before;
    LoadPicture(Suite("basn6a08.png"), PngFormat(), before);
    ASSERT_TRUE(before.HasAlpha());
    TPictureData opaque;
    opaque.Assign(before);
    opaque.Alpha.Clear();
    before.Alpha.SetSize(before.Image.Width() - 1, before.Image.Height());
    const THueWindow w = Window(180, 36, 0, true, 90, true, true);
    TPictureData after, expected;
    ApplyChange(before, after, TProtectedColors(), w);
    ApplyChange(opaque, expected, TProtectedColors(), w);
    EXPECT_EQ(CountDifferent(after.Image, expected.Image), 0);
    EXPECT_GT(CountDifferent(after.Image, before.Image), 0);
}

// ---------------------------------------------------------------- README pictures

// A sprite of side 32 drawn by colour(x, y) in HSV (hue, saturation, value; saturation 0: the
// background, a light grey that no window touches).
struct THsvPixel {
    double H, S, V;
};

template <class Paint>
void DrawSprite(TBitmap& sprite, Paint paint)
{
    sprite.SetPixelFormat(TPixelFormat::pf24bit);
    sprite.SetSize(32, 32);
    for (int32_t y = 0; y < 32; ++y)
        for (int32_t x = 0; x < 32; ++x) {
            const THsvPixel c = paint(x, y);
            const TRGBBytes rgb = TColorConvert::HSVToRGB(c.H, c.S, c.V);
            sprite.SetPixel(x, y, MakeColor(rgb.R, rgb.G, rgb.B));
        }
}

// The panels side by side, each enlarged four times, 8 pixels of white between them.
void WritePanels(const std::string& path, const std::vector<const TBitmap*>& panels)
{
    constexpr int32_t kZoom = 4, kGap = 8;
    TBitmap sheet;
    sheet.SetPixelFormat(TPixelFormat::pf24bit);
    const int32_t count = static_cast<int32_t>(panels.size());
    sheet.SetSize(count * 32 * kZoom + (count - 1) * kGap, 32 * kZoom);
    for (int32_t y = 0; y < sheet.Height(); ++y)
        for (int32_t x = 0; x < sheet.Width(); ++x) sheet.SetPixel(x, y, MakeColor(255, 255, 255));
    for (int32_t k = 0; k < count; ++k)
        for (int32_t y = 0; y < 32 * kZoom; ++y)
            for (int32_t x = 0; x < 32 * kZoom; ++x)
                sheet.SetPixel(k * (32 * kZoom + kGap) + x, y, panels[static_cast<size_t>(k)]->Pixel(x / kZoom, y / kZoom));
    SavePicture(path, PngFormat(), sheet, TBitmap());
}

// Writes docs/hue-wrap.png and docs/hue-soft.png for the README (before, without the option,
// with it), and docs/hue-lightness.png. Run by hand: --gtest_also_run_disabled_tests --gtest_filter='*ReadmePictures*'
TEST(PictureChangeWithOptions, DISABLED_ReadmePictures)
{
    const std::string docs = std::string(TINTABREL_TEST_DATA) + "/../../docs/";
    const TProtectedColors none;
    const THsvPixel background{0, 0, 200.0 / 255};

    // A blue slime whose shades run from hue 222 (greenish blue) on the left to 258 (violet
    // blue) on the right: mirrored hues 18 down to 0 and on from 359 to 342, on both sides of 0.
    TBitmap slime;
    DrawSprite(slime, [&](int32_t x, int32_t y) -> THsvPixel {
        const double dx = (x - 15.5) / 14.0, dy = (y - 19.5) / 11.0;
        const double r = dx * dx + dy * dy;
        if (y < 8 || r > 1.0) return background;
        if (r > 0.8) return {240, 0.9, 0.35};                              // outline
        if ((x == 11 || x == 20) && (y == 16 || y == 17)) return {0, 0, 0.1}; // eyes
        const double hue = 222 + 36.0 * (x - 2) / 27.0;
        return {hue, 0.75, 0.55 + 0.45 * (1.0 - (y - 8) / 24.0)};
    });
    THueWindow plain{0, 18, 120};
    THueWindow wrapped = plain;
    wrapped.Wrap = true;
    TBitmap noWrap, withWrap;
    ReplaceHue(slime, noWrap, none, plain);
    ReplaceHue(slime, withWrap, none, wrapped);
    WritePanels(docs + "hue-wrap.png", {&slime, &noWrap, &withWrap});

    // A red ball lit from the upper left: hue 0 in the shadow rising to 50 (orange-yellow) in
    // the highlight.
    TBitmap ball;
    DrawSprite(ball, [&](int32_t x, int32_t y) -> THsvPixel {
        const double dx = (x - 15.5) / 14.5, dy = (y - 15.5) / 14.5;
        if (dx * dx + dy * dy > 1.0) return background;
        const double lx = (x - 9.0) / 29.0, ly = (y - 9.0) / 29.0;
        const double light = std::max(0.0, 1.0 - std::sqrt(lx * lx + ly * ly) * 1.4);
        return {50.0 * light, 0.9 - 0.3 * light, 0.6 + 0.4 * light};
    });
    const THueWindow hard{240, 10, 270};
    THueWindow soft = hard;
    soft.Soft = 40;
    TBitmap noSoft, withSoft;
    ReplaceHue(ball, noSoft, none, hard);
    ReplaceHue(ball, withSoft, none, soft);
    WritePanels(docs + "hue-soft.png", {&ball, &noSoft, &withSoft});

    // A red ball shaded from a dark shadow to a pale highlight (hue 0 to 10), to blue and to
    // yellow keeping saturation and value, and keeping lightness.
    TBitmap shaded;
    DrawSprite(shaded, [&](int32_t x, int32_t y) -> THsvPixel {
        const double dx = (x - 15.5) / 14.5, dy = (y - 15.5) / 14.5;
        if (dx * dx + dy * dy > 1.0) return background;
        const double lx = (x - 10.0) / 26.0, ly = (y - 10.0) / 26.0;
        const double light = std::max(0.0, 1.0 - std::sqrt(lx * lx + ly * ly) * 1.2);
        return {10.0 * light, 0.85 - 0.4 * light * light, 0.3 + 0.7 * light};
    });
    std::vector<TBitmap> changed(4);
    std::vector<const TBitmap*> panels{&shaded};
    for (size_t k = 0; k < changed.size(); ++k) {
        THueWindow w{240, 18, k < 2 ? 240 : 60};
        w.KeepLightness = k % 2 == 1;
        ReplaceHue(shaded, changed[k], none, w);
        panels.push_back(&changed[k]);
    }
    WritePanels(docs + "hue-lightness.png", panels);
}

} // namespace
} // namespace tintabrel
