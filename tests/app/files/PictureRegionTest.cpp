// A change kept to a region (a rectangle, a mask picture, both): outside every pixel keeps its
// bytes, inside each is what the change on the whole picture makes of it, and a dry run counts
// the inside alone; palette pictures keep their palette, appending entries where the inside and
// the outside share one, or become 24-bit without room; regions that do not fit are refused; the
// pipeline's row-by-row path gives the same file as the whole-picture path.
#include "app/PictureChange.h"
#include "app/PictureFiles.h"
#include "app/PictureFormats.h"
#include "app/PicturePipeline.h"

#include "base/ColorConvert.h"
#include "base/Colors.h"
#include "base/ScopeGuard.h"
#include "base/StringList.h"
#include "image/Animation.h"
#include "image/PixelFormats.h"
#include "recolour/PaletteRecolour.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

// A sheet of three 16 x 16 sprites side by side, of many hues, saturations and values (with greys),
// and an alpha plane of clear, half and opaque pixels.
void MakeSheet(TPictureData& sheet, int32_t width = 48, int32_t height = 16)
{
    sheet.Image.SetPixelFormat(TPixelFormat::pf24bit);
    sheet.Image.SetSize(width, height);
    sheet.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    sheet.Alpha.SetSize(width, height);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = sheet.Image.ScanLine(y);
        uint8_t* alpha = sheet.Alpha.ScanLine(y);
        for (int32_t x = 0; x < width; ++x) {
            const double hue = (x * 23 + y * 7 + (x / 16) * 100) % 360;
            const double s = (x + y) % 5 == 0 ? 0.0 : 0.3 + 0.7 * ((x * 3 + y) % 8) / 7.0;
            const double v = 0.2 + 0.8 * ((x + 2 * y) % 9) / 8.0;
            const TRGBBytes rgb = TColorConvert::HSVToRGB(hue, s, v);
            row[3 * x] = rgb.B;
            row[3 * x + 1] = rgb.G;
            row[3 * x + 2] = rgb.R;
            alpha[x] = static_cast<uint8_t>((x + 2 * y) % 7 == 0 ? 255 : (x + 2 * y) % 7 == 1 ? 100 : 0);
        }
    }
}

// A mask picture of the sheet's size: per pixel black, fully transparent, half transparent,
// white, nearly black (1, 0, 0) or coloured; the first two are outside, the others inside.
std::shared_ptr<const TChangeMask> MakeMask(int32_t width, int32_t height, std::vector<uint8_t>& inside)
{
    TPictureData mask;
    mask.Image.SetPixelFormat(TPixelFormat::pf24bit);
    mask.Image.SetSize(width, height);
    mask.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    mask.Alpha.SetSize(width, height);
    inside.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const int kind = (x / 3 + y / 2) % 6;
            const TColor colours[] = {clBlack, clRed, clRed, clWhite, MakeColor(1, 0, 0), MakeColor(30, 200, 90)};
            mask.Image.SetPixel(x, y, colours[kind]);
            mask.Alpha.ScanLine(y)[x] = kind == 1 ? 255 : kind == 2 ? 200 : 0;
            inside[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] = kind >= 2;
        }
    return std::make_shared<const TChangeMask>(mask, "mask.png");
}

std::vector<THueWindow> Windows()
{
    std::vector<THueWindow> windows{{200, 36, 30}, {10, 20, 300}, {200, 20, 30}, {350, 30, 100}};
    windows[1].Wrap = true;
    windows[2].Soft = 60;
    windows[2].KeepLightness = true;
    windows[3] = {350, 30, 100, true, 90, true, true, true};
    return windows;
}

TColor At(const TBitmap& image, int32_t x, int32_t y) { return image.Pixel(x, y); }

// Whether (x, y) lies inside the region (rectangle and/or the mask's own inside table).
bool Inside(const TChangeRegion& region, const std::vector<uint8_t>& maskInside, int32_t width, int32_t x, int32_t y)
{
    if (region.Rect && (x < region.Rect->X || y < region.Rect->Y || x >= region.Rect->X + region.Rect->Width ||
                        y >= region.Rect->Y + region.Rect->Height))
        return false;
    return !region.Mask || maskInside[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
}

// Outside the region every pixel keeps its bytes, inside each is what the change on the whole
// picture gives; in place and into another picture alike; a dry run counts the inside alone
// (altered and protected).
TEST(PictureRegion, OutsideKeepsItsBytesAndInsideIsTheWholePictureChange)
{
    TPictureData sheet;
    MakeSheet(sheet);
    const int32_t w = sheet.Image.Width(), h = sheet.Image.Height();
    // Two colours of the sheet protected, so that the list keeps pixels inside and outside.
    TStringList lines;
    lines.Add(ColorToText(sheet.Image.Pixel(20, 5)));
    lines.Add(ColorToText(sheet.Image.Pixel(3, 9)));
    const TProtectedColors list(lines);
    std::vector<uint8_t> maskInside;
    const std::shared_ptr<const TChangeMask> mask = MakeMask(w, h, maskInside);
    struct TCase {
        const char* Name;
        TChangeRegion Region;
    };
    const TCase cases[] = {
        {"the middle sprite", {TRegionRect{16, 0, 16, 16}, nullptr}},
        {"a rectangle across two sprites", {TRegionRect{5, 3, 20, 9}, nullptr}},
        {"one pixel", {TRegionRect{20, 5, 1, 1}, nullptr}},
        {"the whole picture as a rectangle", {TRegionRect{0, 0, w, h}, nullptr}},
        {"a mask", {std::nullopt, mask}},
        {"a rectangle and a mask", {TRegionRect{10, 2, 30, 12}, mask}},
    };
    for (const THueWindow& window : Windows()) {
        TPictureData whole, free;
        THueCounts wholeCounts;
        ApplyChange(sheet, whole, list, window);
        ApplyChange(sheet, free, TProtectedColors(), window);
        for (const TCase& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + " source " + std::to_string(window.Source));
            TPictureData after, inPlace, counted;
            const TChangeOutcome outcome = ApplyChange(sheet, after, list, window, false, nullptr, 1, c.Region);
            EXPECT_EQ(outcome.Palette, TChangeOutcome::TPalette::Kept);
            inPlace.Assign(sheet);
            ApplyChangeInPlace(inPlace, list, window, false, nullptr, 3, c.Region);
            THueCounts counts;
            ApplyChange(sheet, counted, list, window, false, &counts, 2, c.Region);
            int64_t altered = 0, kept = 0, outsideChanged = 0;
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    const TColor was = At(sheet.Image, x, y), now = At(after.Image, x, y);
                    ASSERT_EQ(At(inPlace.Image, x, y), now) << x << "," << y;
                    ASSERT_EQ(At(counted.Image, x, y), now) << x << "," << y;
                    if (Inside(c.Region, maskInside, w, x, y)) {
                        ASSERT_EQ(now, At(whole.Image, x, y)) << x << "," << y;
                        altered += now != was;
                        kept += now == was && At(free.Image, x, y) != was;
                    } else {
                        ASSERT_EQ(now, was) << x << "," << y;
                        outsideChanged += At(whole.Image, x, y) != was;
                    }
                }
            EXPECT_EQ(counts.Altered, altered);
            EXPECT_EQ(counts.Kept, kept);
            EXPECT_EQ(after.Alpha.Image(), sheet.Alpha.Image()) << "the alpha is carried over as it is";
            if (std::string(c.Name) == "the middle sprite") {
                EXPECT_GT(altered, 0) << "the change must catch pixels inside";
                EXPECT_GT(outsideChanged, 0) << "and outside, for the region to matter";
            }
        }
    }
}

// The mask's inside: every pixel neither fully transparent nor black (a half transparent one is
// inside); read from a file as any input is.
TEST(PictureRegion, AMaskLetsInWhatIsNeitherBlackNorFullyTransparent)
{
    std::vector<uint8_t> expected;
    const std::shared_ptr<const TChangeMask> made = MakeMask(23, 11, expected);
    test::TempDir dir;
    TPictureData picture;
    picture.Image.SetPixelFormat(TPixelFormat::pf24bit);
    picture.Image.SetSize(23, 11);
    picture.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    picture.Alpha.SetSize(23, 11);
    for (int32_t y = 0; y < 11; ++y)
        for (int32_t x = 0; x < 23; ++x) {
            const int kind = (x / 3 + y / 2) % 6;
            const TColor colours[] = {clBlack, clRed, clRed, clWhite, MakeColor(1, 0, 0), MakeColor(30, 200, 90)};
            picture.Image.SetPixel(x, y, colours[kind]);
            picture.Alpha.ScanLine(y)[x] = kind == 1 ? 255 : kind == 2 ? 200 : 0;
        }
    SavePicture(dir.File("mask.png"), PngFormat(), picture);
    // The same picture as BMP (no transparency: the clear red pixels are inside there).
    SavePicture(dir.File("mask.bmp"), BmpFormat(), picture);
    for (const std::string name : {"mask.png", "mask.bmp"}) {
        SCOPED_TRACE(name);
        const std::shared_ptr<const TChangeMask> mask = LoadChangeMask(dir.File(name));
        ASSERT_EQ(mask->Width(), 23);
        ASSERT_EQ(mask->Height(), 11);
        EXPECT_EQ(mask->Name(), dir.File(name));
        for (int32_t y = 0; y < 11; ++y)
            for (int32_t x = 0; x < 23; ++x) {
                const int kind = (x / 3 + y / 2) % 6;
                const bool inside = name == "mask.bmp" ? kind != 0 : kind >= 2;
                ASSERT_EQ(mask->Row(y)[x], inside) << x << "," << y;
                ASSERT_EQ(made->Row(y)[x], expected[static_cast<size_t>(y * 23 + x)]);
            }
    }
    // Its bounds: the smallest rectangle round the inside.
    TPictureData dot;
    dot.Image.SetPixelFormat(TPixelFormat::pf24bit);
    dot.Image.SetSize(9, 7);
    for (int32_t y = 0; y < 7; ++y) std::memset(dot.Image.ScanLine(y), 0, 27);
    dot.Image.SetPixel(2, 5, clWhite);
    dot.Image.SetPixel(6, 3, clWhite);
    const TChangeRegion region{std::nullopt, std::make_shared<const TChangeMask>(dot, "dot")};
    EXPECT_EQ(region.Bounds(9, 7), (TRegionRect{2, 3, 5, 3}));
    EXPECT_TRUE((TChangeRegion{TRegionRect{3, 0, 3, 7}, region.Mask}.Bounds(9, 7).Empty()));
    // Not a picture: the reader's refusal.
    test::WriteFile(dir.File("not.png"), "not a picture");
    EXPECT_THROW(LoadChangeMask(dir.File("not.png")), std::exception);
    EXPECT_THROW(LoadChangeMask(dir.File("missing.png")), EFileOpenError);
}

// A region that does not fit the picture is refused, saying why; nothing is changed.
TEST(PictureRegion, RegionsThatDoNotFitAreRefused)
{
    TPictureData sheet;
    MakeSheet(sheet);
    std::vector<uint8_t> inside;
    struct TCase {
        const char* Name;
        TChangeRegion Region;
        const char* Detail;
    };
    const TCase cases[] = {
        {"past the right edge", {TRegionRect{40, 0, 9, 4}, nullptr}, "the region 40,0,9,4 is not inside the 48 x 16 picture"},
        {"below", {TRegionRect{0, 16, 1, 1}, nullptr}, "the region 0,16,1,1 is not inside the 48 x 16 picture"},
        {"empty", {TRegionRect{3, 3, 0, 5}, nullptr}, "the region 3,3,0,5 is empty"},
        {"overflowing", {TRegionRect{INT32_MAX, 0, INT32_MAX, 1}, nullptr}, "is not inside the 48 x 16 picture"},
        {"a mask of another size", {std::nullopt, MakeMask(48, 15, inside)},
         "the mask mask.png is 48 x 15, the picture 48 x 16: a mask must be of the picture's size"},
        {"a fitting rectangle, a mask of another size", {TRegionRect{0, 0, 4, 4}, MakeMask(47, 16, inside)},
         "the mask mask.png is 47 x 16"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_FALSE(c.Region.Fits(48, 16));
        TPictureData after, inPlace;
        inPlace.Assign(sheet);
        try {
            ApplyChange(sheet, after, TProtectedColors(), {200, 36, 30}, false, nullptr, 1, c.Region);
            ADD_FAILURE() << "not refused";
        } catch (const EChangeRegion& e) {
            EXPECT_NE(e.Detail().find(c.Detail), std::string::npos) << e.Detail();
            EXPECT_FALSE(e.Message().empty());
        }
        EXPECT_THROW(ApplyChangeInPlace(inPlace, TProtectedColors(), {200, 36, 30}, false, nullptr, 1, c.Region),
                     EChangeRegion);
        EXPECT_EQ(inPlace.Image.Image(), sheet.Image.Image()) << "the picture is left as it was";
    }
}

// An animation's region lies on its canvas: each frame changes the part its rectangle covers,
// in its own pixels; a frame wholly outside stays; counts are the frames' insides; a region
// outside the canvas is refused.
TEST(PictureRegion, AnAnimationsFramesTakeTheirPartOfTheRegion)
{
    TPictureData animated;
    animated.Animation = std::make_shared<TAnimation>();
    TAnimation& animation = *animated.Animation;
    animation.Width = 20;
    animation.Height = 10;
    const struct {
        int32_t X, Y, W, H;
    } places[] = {{0, 0, 20, 10}, {12, 4, 8, 6}, {0, 8, 5, 2}};
    for (const auto& place : places) {
        TFrame frame;
        MakeSheet(frame.Picture, place.W, place.H);
        frame.X = place.X;
        frame.Y = place.Y;
        animation.Frames.push_back(std::move(frame));
    }
    ShowFirstFrame(animated);
    std::vector<uint8_t> maskInside;
    const std::shared_ptr<const TChangeMask> mask = MakeMask(20, 10, maskInside);
    const THueWindow window{200, 36, 30, true};
    for (const TChangeRegion& region : {TChangeRegion{TRegionRect{10, 2, 6, 6}, nullptr}, TChangeRegion{std::nullopt, mask},
                                        TChangeRegion{TRegionRect{10, 2, 6, 6}, mask}}) {
        SCOPED_TRACE(region.Mask ? (region.Rect ? "both" : "a mask") : "a rectangle");
        TPictureData after;
        THueCounts counts;
        ApplyChange(animated, after, TProtectedColors(), window, false, nullptr, 1, region);
        TPictureData dry;
        ApplyChange(animated, dry, TProtectedColors(), window, false, &counts, 1, region);
        ASSERT_TRUE(after.Animated());
        int64_t altered = 0;
        for (size_t k = 0; k < animation.Frames.size(); ++k) {
            const TFrame& was = animation.Frames[k];
            const TFrame& now = after.Animation->Frames[k];
            TPictureData whole;
            ApplyChange(was.Picture, whole, TProtectedColors(), window);
            for (int32_t y = 0; y < was.Picture.Image.Height(); ++y)
                for (int32_t x = 0; x < was.Picture.Image.Width(); ++x) {
                    const int32_t cx = was.X + x, cy = was.Y + y;
                    const TColor before = At(was.Picture.Image, x, y), result = At(now.Picture.Image, x, y);
                    if (Inside(region, maskInside, 20, cx, cy)) {
                        ASSERT_EQ(result, At(whole.Image, x, y)) << k << ": " << x << "," << y;
                        altered += result != before;
                    } else {
                        ASSERT_EQ(result, before) << k << ": " << x << "," << y;
                    }
                }
        }
        EXPECT_GT(altered, 0);
        EXPECT_EQ(counts.Altered, altered);
        if (!region.Mask) {
            EXPECT_EQ(after.Animation->Frames[2].Picture.Image.Image(), animation.Frames[2].Picture.Image.Image())
                << "a frame wholly outside is not touched";
        }
    }
    TPictureData after;
    EXPECT_THROW(ApplyChange(animated, after, TProtectedColors(), window, false, nullptr, 1,
                             {TRegionRect{15, 0, 6, 2}, nullptr}),
                 EChangeRegion);
}

// ---------------------------------------------------------------- palette pictures

// A palette picture of width x height whose pixel (x, y) has index index(x, y) into colours;
// alphas (per index, as a PNG's tRNS) when given.
TPictureData PalettePicture(int bits, const std::vector<TColor>& colours, int32_t width, int32_t height,
                            const std::function<uint8_t(int32_t, int32_t)>& index,
                            const std::vector<uint8_t>& alphas = {})
{
    TPictureData data;
    TPalette palette;
    for (const TColor c : colours) palette.Add(RedOf(c), GreenOf(c), BlueOf(c));
    data.Image.SetPixelFormat(bits == 1 ? TPixelFormat::pf1bit : bits == 8 ? TPixelFormat::pf8bit : TPixelFormat::pf4bit);
    data.Image.SetPalette(palette);
    data.Image.SetSize(width, height);
    // As a reader makes it: the colour table (what the pixels show) follows the palette, which a
    // 1-bit picture without pixels does not take.
    TBitmapImage& store = data.Image.MutableImage();
    store.ColorTable.clear();
    for (const TColor c : colours) store.ColorTable.push_back(TRGBQuad{BlueOf(c), GreenOf(c), RedOf(c), 0});
    const int rowBits = FactsOf(data.Image.PixelFormat()).Bits;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) PutPackedIndex(data.Image.ScanLine(y), rowBits, x, index(x, y));
    data.PaletteBits = bits;
    data.IndexAlpha = alphas;
    if (!alphas.empty()) {
        data.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        data.Alpha.SetSize(width, height);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const uint8_t i = index(x, y);
                data.Alpha.ScanLine(y)[x] = static_cast<uint8_t>(255 - (i < alphas.size() ? alphas[i] : 255));
            }
    }
    return data;
}

uint8_t IndexAt(const TBitmap& image, int32_t x, int32_t y)
{
    return GetPackedIndex(image.ConstScanLine(y), FactsOf(image.PixelFormat()).Bits, x);
}

// Palette pictures whose entries the inside and the outside share get a new entry per changed
// colour: the outside keeps its indices and colours, the inside shows the whole-picture change,
// the first entries keep their order, the bit depth rises as needed, the per-index alpha follows;
// saved as PNG and BMP and read again, the pixels are the same.
TEST(PictureRegion, PalettePicturesWithRoomGetNewEntries)
{
    const TColor red = clRed, orange = MakeColor(255, 128, 0), green = clLime, blue = clBlue, grey = MakeColor(90, 90, 90);
    struct TCase {
        const char* Name;
        int Bits;
        std::vector<TColor> Colours;
        std::vector<uint8_t> Alphas;
        int EntriesAfter;
        int BitsAfter;
        TPixelFormat FormatAfter;
    };
    // Window: reds and oranges (hue 0 to 36) to blue; greens and greys stay.
    const THueWindow window{222, 18, 240};
    std::vector<TColor> full16(16, grey);
    full16[0] = red;
    full16[1] = orange;
    full16[2] = green;
    const TCase cases[] = {
        {"8 bits, room", 8, {red, orange, green, blue, grey}, {}, 7, 8, TPixelFormat::pf8bit},
        {"8 bits with tRNS", 8, {red, orange, green, blue, grey}, {255, 0, 128}, 7, 8, TPixelFormat::pf8bit},
        {"2 bits to 4", 2, {red, orange, green, grey}, {}, 6, 4, TPixelFormat::pf4bit},
        {"1 bit to 2", 1, {red, green}, {}, 3, 2, TPixelFormat::pf4bit},
        {"4 bits, full, to 8", 4, full16, {}, 18, 8, TPixelFormat::pf8bit},
    };
    const TChangeRegion left{TRegionRect{0, 0, 8, 6}, nullptr};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const int count = static_cast<int>(c.Colours.size());
        // Every entry on both sides of column 8.
        const TPictureData before = PalettePicture(c.Bits, c.Colours, 16, 6, [&](int32_t x, int32_t y) {
            return static_cast<uint8_t>((x + 3 * y) % count);
        }, c.Alphas);
        TPictureData whole, after;
        ApplyChange(before, whole, TProtectedColors(), window, true);
        const TChangeOutcome outcome = ApplyChange(before, after, TProtectedColors(), window, false, nullptr, 1, left);
        EXPECT_EQ(outcome.Palette, TChangeOutcome::TPalette::Extended);
        EXPECT_EQ(outcome.EntriesBefore, count);
        EXPECT_EQ(outcome.Entries, c.EntriesAfter);
        EXPECT_EQ(outcome.Bits, c.BitsAfter);
        EXPECT_NE(outcome.Text().find("grew from " + std::to_string(count) + " to " + std::to_string(c.EntriesAfter)),
                  std::string::npos)
            << outcome.Text();
        ASSERT_TRUE(IsPalettePicture(after.Image));
        EXPECT_EQ(after.Image.PixelFormat(), c.FormatAfter);
        EXPECT_EQ(after.PaletteBits, c.BitsAfter);
        const TPalette palette = *after.Image.Palette();
        ASSERT_EQ(palette.Count(), c.EntriesAfter);
        for (int i = 0; i < count; ++i) EXPECT_EQ(palette.ColorOf(i), c.Colours[static_cast<size_t>(i)]) << i;
        for (int32_t y = 0; y < 6; ++y)
            for (int32_t x = 0; x < 16; ++x) {
                const uint8_t was = IndexAt(before.Image, x, y);
                if (x >= 8) {
                    ASSERT_EQ(IndexAt(after.Image, x, y), was) << x << "," << y;
                } else {
                    ASSERT_EQ(At(after.Image, x, y), At(whole.Image, x, y)) << x << "," << y;
                    const uint8_t now = IndexAt(after.Image, x, y);
                    const uint8_t alpha = was < c.Alphas.size() ? c.Alphas[was] : 255;
                    ASSERT_EQ(now < after.IndexAlpha.size() ? after.IndexAlpha[now] : 255, alpha) << x << "," << y;
                }
            }
        // Written and read again: the same pixels and transparency, still a palette.
        test::TempDir dir;
        for (const TPictureKind kind : {PngFormat(), BmpFormat()}) {
            const std::string path = dir.File(std::string("out") + kind->Extensions.front());
            SavePicture(path, kind, after);
            TPictureData read;
            LoadPicture(path, kind, read);
            EXPECT_NE(read.PaletteBits, 0);
            for (int32_t y = 0; y < 6; ++y)
                for (int32_t x = 0; x < 16; ++x) {
                    ASSERT_EQ(At(read.Image, x, y), At(after.Image, x, y)) << x << "," << y;
                    if (kind == PngFormat() && after.HasAlpha()) {
                        ASSERT_EQ(read.Alpha.ConstScanLine(y)[x], after.Alpha.ConstScanLine(y)[x]);
                    }
                }
            if (kind == PngFormat()) {
                EXPECT_EQ(read.PaletteBits, c.BitsAfter);
            }
        }
    }
}

// Entries used inside alone are recoloured where they are, entries the change leaves alone stay
// shared: no entry is added then.
TEST(PictureRegion, EntriesUsedInsideAloneAreRecolouredInPlace)
{
    const std::vector<TColor> colours{clRed, MakeColor(0, 128, 0), clLime, MakeColor(200, 20, 20)};
    // Left half: indices 0 and 2; right half: 1 and 2 (2, green, is not caught); 3 unused.
    const TPictureData before = PalettePicture(8, colours, 10, 4, [](int32_t x, int32_t y) {
        return static_cast<uint8_t>(x < 5 ? ((x + y) % 2 ? 2 : 0) : ((x + y) % 2 ? 2 : 1));
    });
    TPictureData whole, after;
    const THueWindow window{222, 18, 240};
    ApplyChange(before, whole, TProtectedColors(), window);
    const TChangeOutcome outcome =
        ApplyChange(before, after, TProtectedColors(), window, false, nullptr, 1, {TRegionRect{0, 0, 5, 4}, nullptr});
    EXPECT_EQ(outcome.Palette, TChangeOutcome::TPalette::Kept);
    EXPECT_TRUE(outcome.Text().empty());
    const TPalette palette = *after.Image.Palette();
    ASSERT_EQ(palette.Count(), 4);
    EXPECT_EQ(palette.ColorOf(0), whole.Image.Palette()->ColorOf(0));
    EXPECT_NE(palette.ColorOf(0), clRed);
    EXPECT_EQ(palette.ColorOf(3), colours[3]) << "an entry no pixel inside uses keeps its colour";
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 10; ++x) ASSERT_EQ(IndexAt(after.Image, x, y), IndexAt(before.Image, x, y));
}

// A palette without room for the new entries (256 used on both sides, every one changing): the
// result is the 24-bit one, whose outside keeps its colours, and says so.
TEST(PictureRegion, APaletteWithoutRoomBecomesTrueColour)
{
    std::vector<TColor> colours;
    for (int i = 0; i < 256; ++i) {
        const TRGBBytes rgb = TColorConvert::HSVToRGB(i * 30.0 / 256, 1, 0.4 + 0.6 * (i % 16) / 15.0);
        colours.push_back(MakeColor(rgb.R, rgb.G, rgb.B));
    }
    std::vector<uint8_t> alphas(256, 255);
    alphas[7] = 0;
    const TPictureData before = PalettePicture(8, colours, 32, 16, [](int32_t x, int32_t y) {
        return static_cast<uint8_t>((x % 16) * 16 + y);
    }, alphas);
    const TChangeRegion region{TRegionRect{0, 0, 16, 16}, nullptr};
    const THueWindow window{222, 18, 240};
    TPictureData whole, after, trueColour;
    ApplyChange(before, whole, TProtectedColors(), window, true);
    const TChangeOutcome outcome = ApplyChange(before, after, TProtectedColors(), window, false, nullptr, 1, region);
    ApplyChange(before, trueColour, TProtectedColors(), window, true, nullptr, 1, region);
    EXPECT_EQ(outcome.Palette, TChangeOutcome::TPalette::TrueColour);
    EXPECT_EQ(outcome.EntriesWanted, 512);
    EXPECT_STREQ(outcome.Key(), "truecolour");
    EXPECT_EQ(after.Image.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(after.PaletteBits, 0);
    EXPECT_TRUE(after.IndexAlpha.empty());
    EXPECT_EQ(after.Alpha.Image(), before.Alpha.Image()) << "the transparency goes with the pixels";
    for (int32_t y = 0; y < 16; ++y)
        for (int32_t x = 0; x < 32; ++x) {
            ASSERT_EQ(At(after.Image, x, y), x < 16 ? At(whole.Image, x, y) : At(before.Image, x, y)) << x << "," << y;
            ASSERT_EQ(At(after.Image, x, y), At(trueColour.Image, x, y));
        }
    // A chain: once 24-bit, it stays so whatever the later steps do.
    TChangeOutcome chain;
    chain.Then(outcome);
    TChangeOutcome extended;
    extended.Palette = TChangeOutcome::TPalette::Extended;
    chain.Then(extended);
    EXPECT_EQ(chain.Palette, TChangeOutcome::TPalette::TrueColour);
}

// ---------------------------------------------------------------- the pipeline

// A region goes row by row, each row changed run by run inside it, and gives the very file the
// whole-picture path gives, whatever the threads; a region the picture cannot take leaves the
// picture to the whole-picture path, which refuses it.
TEST(PictureRegion, RowByRowGivesTheFileOfTheWholePicturePath)
{
    SetLeastPixelsRowByRowForTesting(1);
    const TScopeGuard restore([] { SetLeastPixelsRowByRowForTesting(int64_t{1} << 20); });
    test::TempDir dir;
    TPictureData sheet;
    MakeSheet(sheet, 96, 40);
    const std::string input = dir.File("sheet.png");
    TPNGSaveOptions fixed;
    fixed.Time = TPngTimeSource::None;
    SavePicture(input, PngFormat(), sheet, fixed);
    std::vector<uint8_t> inside;
    TStringList lines;
    lines.Add(ColorToText(sheet.Image.Pixel(20, 5)));
    const TProtectedColors list(lines);
    const std::vector<THueWindow> windows = Windows();
    struct TCase {
        const char* Name;
        std::vector<TChangeRegion> Regions;
        bool RowByRow;
    };
    const TCase cases[] = {
        {"rectangles", {{TRegionRect{16, 0, 16, 16}, nullptr}, {TRegionRect{5, 3, 60, 30}, nullptr}, {}, {TRegionRect{0, 39, 96, 1}, nullptr}}, true},
        {"a mask and a rectangle with it", {{std::nullopt, MakeMask(96, 40, inside)}, {TRegionRect{30, 10, 20, 20}, MakeMask(96, 40, inside)}, {}, {}}, true},
        {"a rectangle outside", {{TRegionRect{90, 0, 10, 10}, nullptr}, {}, {}, {}}, false},
        {"a mask of another size", {{std::nullopt, MakeMask(95, 40, inside)}, {}, {}, {}}, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::string> bytes;
        std::vector<std::string> errors;
        for (const unsigned threads : {2u, 1u, 2u}) {
            const bool rows = bytes.size() != 2; // the last run: no row change offered
            TPipelineOutput out;
            out.Path = dir.File("out.png");
            out.Kind = PngFormat();
            out.Png.Time = TPngTimeSource::None;
            out.Change = [&](TPictureData& d) {
                for (size_t k = 0; k < windows.size(); ++k)
                    ApplyChangeInPlace(d, list, windows[k], false, nullptr, threads, c.Regions[k]);
            };
            if (rows) out.RowChange = TRowChange{&list, windows, c.Regions};
            TPictureSource source(input);
            TLoadOptions load;
            load.Threads = threads;
            const TPipelineResult result = RunPicturePipeline(source, load, {out})[0];
            EXPECT_EQ(result.WhileRead, c.RowByRow && threads == 2 && rows) << threads << rows;
            if (result.Error) {
                try {
                    std::rethrow_exception(result.Error);
                } catch (const EChangeRegion& e) {
                    errors.push_back(e.Detail());
                }
                bytes.push_back({});
                continue;
            }
            bytes.push_back(test::ReadFile(out.Path));
        }
        EXPECT_EQ(bytes[0], bytes[1]);
        EXPECT_EQ(bytes[0], bytes[2]);
        EXPECT_EQ(errors.size(), c.RowByRow ? 0u : 3u);
        if (c.RowByRow) {
            EXPECT_NE(bytes[0], test::ReadFile(input)) << "the changes catch something";
        }
    }
}

} // namespace
} // namespace tintabrel
