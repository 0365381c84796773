#include "recolour/ColourMap.h"

#include "base/StringList.h"
#include "image/Animation.h"
#include "image/Graphics.h"
#include "image/PixelFormats.h"
#include "recolour/PaletteRecolour.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

TProtectedColors ProtectedOf(const std::vector<std::string>& lines)
{
    TStringList list;
    for (const std::string& line : lines) list.Add(line);
    return TProtectedColors(list);
}

// A 24-bit picture of width x height from colours row by row; with transparency (255 - alpha per
// pixel, as alpha planes hold it), an alpha plane too.
TPictureData Picture24(int32_t width, int32_t height, const std::vector<TColor>& colours,
                       const std::vector<uint8_t>& transparency = {})
{
    TPictureData data;
    data.Image.SetPixelFormat(TPixelFormat::pf24bit);
    data.Image.SetSize(width, height);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) data.Image.SetPixel(x, y, colours[static_cast<size_t>(y * width + x)]);
    if (!transparency.empty()) {
        data.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        data.Alpha.SetSize(width, height);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) data.Alpha.ScanLine(y)[x] = transparency[static_cast<size_t>(y * width + x)];
    }
    return data;
}

// A palette picture as a palette file gives it: bits 1, 4 or 8 (paletteBits may say 2), indices
// row by row, per-index alpha, and the alpha plane that follows from it.
TPictureData PalettePicture(TPixelFormat format, int32_t paletteBits, const std::vector<TColor>& entries, int32_t width,
                            int32_t height, const std::vector<uint8_t>& indices, const std::vector<uint8_t>& indexAlpha = {})
{
    TPictureData data;
    data.Image.SetPixelFormat(format);
    data.Image.SetSize(width, height);
    TBitmapImage& store = data.Image.MutableImage();
    TPalette palette;
    store.ColorTable.clear();
    for (const TColor c : entries) {
        palette.Add(RedOf(c), GreenOf(c), BlueOf(c));
        store.ColorTable.push_back({BlueOf(c), GreenOf(c), RedOf(c), 0});
    }
    store.Palette = palette;
    const int bits = FactsOf(format).Bits;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            PutPackedIndex(data.Image.ScanLine(y), bits, x, indices[static_cast<size_t>(y * width + x)]);
    data.PaletteBits = paletteBits;
    data.IndexAlpha = indexAlpha;
    if (!indexAlpha.empty()) {
        data.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        data.Alpha.SetSize(width, height);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const uint8_t index = indices[static_cast<size_t>(y * width + x)];
                data.Alpha.ScanLine(y)[x] = static_cast<uint8_t>(255 - (index < indexAlpha.size() ? indexAlpha[index] : 255));
            }
    }
    return data;
}

uint8_t TransparencyAt(const TPictureData& data, int32_t x, int32_t y)
{
    return data.HasAlpha() ? data.Alpha.ConstScanLine(y)[x] : 0;
}

// The rule of the map pixel by pixel: the first entry of FROM that is the pixel's colour, unless
// the list protects it or (visible only) the pixel is fully transparent.
struct TReferenceResult {
    std::vector<TColor> Pixels;
    TColourMapCounts Counts;
};
TReferenceResult ReferenceMap(const TPictureData& before, const std::vector<TColor>& from, const std::vector<TColor>& to,
                              const TProtectedColors& protectedColors, bool visibleOnly)
{
    TReferenceResult r;
    std::vector<bool> seen(from.size(), false);
    for (int32_t y = 0; y < before.Image.Height(); ++y)
        for (int32_t x = 0; x < before.Image.Width(); ++x) {
            const TColor c = before.Image.Pixel(x, y);
            TColor out = c;
            const auto at = std::find(from.begin(), from.end(), c);
            if (at != from.end() && !(visibleOnly && TransparencyAt(before, x, y) == 255)) {
                const size_t i = static_cast<size_t>(at - from.begin());
                seen[i] = true;
                if (to[i] != c) {
                    if (protectedColors.Contains(c)) ++r.Counts.Kept;
                    else out = to[i], ++r.Counts.Altered;
                }
            }
            r.Pixels.push_back(out);
        }
    for (size_t i = 0; i < seen.size(); ++i)
        if (!seen[i]) r.Counts.Unmatched.push_back(static_cast<int32_t>(i));
    return r;
}

std::vector<TColor> PixelsOf(const TPictureData& data)
{
    std::vector<TColor> pixels;
    for (int32_t y = 0; y < data.Image.Height(); ++y)
        for (int32_t x = 0; x < data.Image.Width(); ++x) pixels.push_back(data.Image.Pixel(x, y));
    return pixels;
}

void ExpectCounts(const TColourMapCounts& got, const TColourMapCounts& expected)
{
    EXPECT_EQ(got.Altered, expected.Altered);
    EXPECT_EQ(got.Kept, expected.Kept);
    EXPECT_EQ(got.Unmatched, expected.Unmatched);
}

const TColor kOrange = MakeColor(255, 128, 0);
const TColor kNavy = MakeColor(0, 0, 128);
const TColor kTeal = MakeColor(0, 128, 128);
const TColor kYellow = MakeColor(255, 255, 0);

TEST(ColourMap, RefusesWhatLeavesAColourWithoutOneAnswer)
{
    struct TCase {
        std::vector<TColor> From, To;
        std::string Message;
    };
    const TCase cases[] = {
        {{clRed, clLime, clBlue}, {clRed, clLime}, "FROM has 3 colours and TO has 2"},
        {{}, {clRed}, "FROM has 0 colours and TO has 1"},
        {{clRed, clLime, clRed}, {clBlue, clBlue, clLime}, "#ff0000 is both the 1st and the 3rd colour of FROM"},
        {{clLime, kOrange, clBlue, clBlack, kTeal, kNavy, clWhite, MakeColor(1, 2, 3), MakeColor(9, 9, 9), clMaroon,
          MakeColor(1, 2, 4), kOrange},
         std::vector<TColor>(12, clRed),
         "#ff8000 is both the 2nd and the 12th colour of FROM"},
    };
    for (const TCase& c : cases) {
        try {
            TColourMap map(c.From, c.To);
            ADD_FAILURE() << "accepted: " << c.Message;
        } catch (const EColourMap& e) {
            EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos) << e.what();
        }
    }
    // Repeats in TO are fine: two colours may become one.
    const TColourMap merge({clRed, kOrange}, {clBlue, clBlue});
    EXPECT_EQ(merge.IndexOf(kOrange), 1);
    EXPECT_EQ(merge.IndexOf(clBlue), -1);
}

// A ramp of four blues becomes four reds, on a sprite with colours the map does not name, a
// protected entry and transparent pixels: every pixel and every count as the rule says, with and
// without visible-only, on one thread and in bands on several.
TEST(ColourMap, MapsEveryPixelAsTheRuleSays)
{
    const std::vector<TColor> blues = {MakeColor(10, 20, 90), MakeColor(20, 40, 140), MakeColor(40, 70, 200),
                                       MakeColor(90, 130, 250)};
    const std::vector<TColor> reds = {MakeColor(90, 10, 20), MakeColor(140, 20, 30), MakeColor(200, 40, 50),
                                      MakeColor(250, 100, 110)};
    // An entry mapped to itself, and one no pixel has.
    std::vector<TColor> from = blues, to = reds;
    from.push_back(clWhite), to.push_back(clWhite);
    from.push_back(MakeColor(1, 2, 3)), to.push_back(clBlack);
    // The third blue is protected, as is a colour the map does not name.
    const TProtectedColors protectedColors = ProtectedOf({ColorToText(blues[2]), "clYellow"});
    const TColourMap map(from, to);

    for (const int32_t side : {24, 760}) { // 760 x 760 goes in bands on several threads
        std::mt19937 random(static_cast<unsigned>(side));
        const std::vector<TColor> others = {clBlack, clWhite, MakeColor(255, 255, 0), kOrange};
        std::vector<TColor> colours;
        std::vector<uint8_t> transparency;
        for (int32_t i = 0; i < side * side; ++i) {
            const uint32_t r = random();
            colours.push_back(r % 3 == 0 ? others[r / 3 % others.size()] : blues[r / 3 % blues.size()]);
            transparency.push_back(r % 7 == 0 ? 255 : (r % 5 == 0 ? 100 : 0));
        }
        // One blue only on fully transparent pixels.
        colours[0] = MakeColor(1, 2, 3);
        transparency[0] = 255;
        const TPictureData before = Picture24(side, side, colours, transparency);
        for (const bool visibleOnly : {false, true})
            for (const unsigned threads : {1u, 3u}) {
                SCOPED_TRACE(testing::Message() << side << " visible only " << visibleOnly << " threads " << threads);
                const TReferenceResult expected = ReferenceMap(before, from, to, protectedColors, visibleOnly);
                TPictureData after;
                TColourMapCounts counts;
                MapColours(before, after, map, protectedColors, {visibleOnly, false, threads}, &counts);
                EXPECT_EQ(PixelsOf(after), expected.Pixels);
                ExpectCounts(counts, expected.Counts);
                EXPECT_EQ(counts.Unmatched, std::vector<int32_t>(visibleOnly ? std::vector<int32_t>{5} : std::vector<int32_t>{}));
                // Counting changes nothing; the alpha is carried over as it was; before stays.
                TPictureData uncounted;
                MapColours(before, uncounted, map, protectedColors, {visibleOnly, false, threads});
                EXPECT_EQ(PixelsOf(uncounted), expected.Pixels);
                for (int32_t y = 0; y < side; y += 7)
                    for (int32_t x = 0; x < side; ++x)
                        ASSERT_EQ(after.Alpha.ConstScanLine(y)[x], transparency[static_cast<size_t>(y * side + x)]);
                EXPECT_EQ(PixelsOf(before), colours);
            }
    }
}

// A 4-bit palette picture with per-index alpha (as a PNG with tRNS gives it) keeps its indices,
// palette length and order, bit depth and alpha: only the matched entries change, and its pixels
// are those of the 24-bit result, with the same counts.
TEST(ColourMap, PalettePictureKeepsItsIndicesAndOnlyEntriesChange)
{
    // Entries: 0 blue, 1 navy (transparent), 2 orange, 3 blue again, 4 teal (unused), 5 white.
    const std::vector<TColor> entries = {clBlue, kNavy, kOrange, clBlue, kTeal, clWhite};
    const std::vector<uint8_t> indexAlpha = {255, 0, 255, 128};
    const int32_t w = 7, h = 3;
    const std::vector<uint8_t> indices = {0, 1, 2, 3, 5, 0, 0, 1, 1, 2, 3, 5, 5, 0, 3, 3, 2, 1, 0, 0, 5};
    const TPictureData before = PalettePicture(TPixelFormat::pf4bit, 2, entries, w, h, indices, indexAlpha);
    const TColourMap map({clBlue, kNavy, kTeal, clLime}, {clRed, kOrange, clBlack, clWhite});
    const TProtectedColors none;

    for (const bool visibleOnly : {false, true}) {
        SCOPED_TRACE(visibleOnly);
        TPictureData kept, full;
        TColourMapCounts keptCounts, fullCounts;
        MapColours(before, kept, map, none, {visibleOnly, false, 1}, &keptCounts);
        MapColours(before, full, map, none, {visibleOnly, true, 1}, &fullCounts);
        ASSERT_TRUE(IsPalettePicture(kept.Image));
        EXPECT_EQ(kept.Image.PixelFormat(), TPixelFormat::pf4bit);
        EXPECT_EQ(kept.PaletteBits, 2);
        EXPECT_EQ(kept.IndexAlpha, indexAlpha);
        EXPECT_EQ(full.Image.PixelFormat(), TPixelFormat::pf24bit);
        EXPECT_EQ(full.PaletteBits, 0);
        // Index rows byte for byte.
        for (int32_t y = 0; y < h; ++y)
            for (int32_t i = 0; i < before.Image.RowStride(); ++i)
                ASSERT_EQ(kept.Image.ConstScanLine(y)[i], before.Image.ConstScanLine(y)[i]);
        // The palette: navy is used only by transparent pixels, so visible-only leaves it; teal is
        // used by none, so it changes only without visible-only.
        const std::vector<TColor> expected = {clRed, visibleOnly ? kNavy : kOrange, kOrange, clRed,
                                              visibleOnly ? kTeal : clBlack, clWhite};
        const std::optional<TPalette> palette = kept.Image.Palette();
        ASSERT_TRUE(palette);
        ASSERT_EQ(palette->Count(), 6);
        ASSERT_EQ(kept.Image.Image()->ColorTable.size(), 6u);
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(palette->ColorOf(i), expected[static_cast<size_t>(i)]) << i;
            const TRGBQuad& q = kept.Image.Image()->ColorTable[static_cast<size_t>(i)];
            EXPECT_EQ(MakeColor(q.rgbRed, q.rgbGreen, q.rgbBlue), expected[static_cast<size_t>(i)]) << i;
        }
        // Every pixel as the 24-bit result, and the same counts; lime matched nothing, nor, with
        // visible-only, navy.
        EXPECT_EQ(PixelsOf(kept), PixelsOf(full));
        ExpectCounts(keptCounts, fullCounts);
        EXPECT_EQ(keptCounts.Altered, visibleOnly ? 10 : 14);
        EXPECT_EQ(keptCounts.Unmatched, visibleOnly ? std::vector<int32_t>({1, 2, 3}) : std::vector<int32_t>({2, 3}));
        EXPECT_EQ(PixelsOf(before)[0], clBlue);
    }

    // In place, the same.
    TPictureData inPlace;
    inPlace.Assign(before);
    MapColoursInPlace(inPlace, map, none);
    EXPECT_TRUE(IsPalettePicture(inPlace.Image));
    EXPECT_EQ(inPlace.Image.Pixel(1, 0), kOrange);
}

// The protected list keeps a palette entry as it keeps pixels, counted as kept.
TEST(ColourMap, ProtectedEntriesStay)
{
    const TPictureData before = PalettePicture(TPixelFormat::pf8bit, 8, {clRed, clBlue}, 3, 1, {0, 1, 1});
    TPictureData after;
    TColourMapCounts counts;
    MapColours(before, after, TColourMap({clRed, clBlue}, {clLime, clLime}), ProtectedOf({"clBlue"}), {}, &counts);
    EXPECT_EQ(PixelsOf(after), std::vector<TColor>({clLime, clBlue, clBlue}));
    EXPECT_EQ(counts.Altered, 1);
    EXPECT_EQ(counts.Kept, 2);
    EXPECT_TRUE(IsPalettePicture(after.Image));
}

// A palette picture with a pixel beyond its colour table shows black there; entries cannot make
// that pixel change, so such a picture is mapped as 24-bit instead (black included).
TEST(ColourMap, AnIndexBeyondTheTableTakesTheTrueColourPath)
{
    TPictureData before = PalettePicture(TPixelFormat::pf8bit, 8, {clRed, clBlue}, 3, 1, {0, 1, 9});
    ASSERT_EQ(before.Image.Pixel(2, 0), clBlack);
    TPictureData after;
    MapColours(before, after, TColourMap({clBlack, clRed}, {clWhite, clLime}), TProtectedColors());
    EXPECT_EQ(after.Image.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(after.PaletteBits, 0);
    EXPECT_EQ(PixelsOf(after), std::vector<TColor>({clLime, clBlue, clWhite}));
}

// An animation's frames are mapped as the still picture is.
TEST(ColourMap, AnimationFramesAreMappedToo)
{
    TPictureData before = Picture24(2, 1, {clRed, clBlue});
    before.Animation = std::make_shared<TAnimation>();
    before.Animation->Frames.resize(2);
    before.Animation->Frames[0].Picture = Picture24(2, 1, {clRed, clBlue});
    before.Animation->Frames[1].Picture = PalettePicture(TPixelFormat::pf1bit, 1, {clBlue, clRed}, 2, 1, {1, 0});
    before.Animation->Frames[1].Picture.IndexAlpha.clear();
    TPictureData after;
    MapColours(before, after, TColourMap({clRed}, {clLime}), TProtectedColors());
    EXPECT_EQ(PixelsOf(after), std::vector<TColor>({clLime, clBlue}));
    EXPECT_EQ(PixelsOf(after.Animation->Frames[0].Picture), std::vector<TColor>({clLime, clBlue}));
    EXPECT_EQ(PixelsOf(after.Animation->Frames[1].Picture), std::vector<TColor>({clLime, clBlue}));
    EXPECT_TRUE(IsPalettePicture(after.Animation->Frames[1].Picture.Image));
    EXPECT_EQ(PixelsOf(before.Animation->Frames[0].Picture), std::vector<TColor>({clRed, clBlue}));
}

// Nearest entries worked out by hand (OKLab of each colour from the published matrices, squared
// distances to each entry, smallest first):
//   palette 0 black, 1 white, 2 red, 3 blue, 4 red again, 5 green (0, 128, 0)
//   (200, 30, 30): red at 0.01173, both 2 and 4: the tie goes to 2
//   (0, 60, 0):    green 0.04974 before black 0.10627 (by RGB distance black would win)
//   (128, 0, 128): blue 0.08396 before red 0.09816 (by RGB distance red would win)
//   (10, 10, 10):  black 0.02096;  (250, 250, 250): white 0.00022;  (40, 40, 200): blue 0.00843
//   palette black, white only: (100, 100, 100) goes to white, 0.24678 against 0.25324
TEST(Remap, NearestEntryInOkLabWithTiesToTheLowestIndex)
{
    const TRemapPalette palette({clBlack, clWhite, clRed, clBlue, clRed, MakeColor(0, 128, 0)});
    struct TCase {
        TColor Colour;
        int32_t Entry;
    };
    const TCase cases[] = {
        {MakeColor(200, 30, 30), 2}, {MakeColor(0, 60, 0), 5},    {MakeColor(128, 0, 128), 3},
        {MakeColor(10, 10, 10), 0},  {MakeColor(250, 250, 250), 1}, {MakeColor(40, 40, 200), 3},
        {clRed, 2},                  {MakeColor(0, 128, 0), 5},
    };
    for (const TCase& c : cases) EXPECT_EQ(palette.NearestIndex(c.Colour), c.Entry) << HexOfColour(c.Colour);
    EXPECT_EQ(TRemapPalette({clBlack, clWhite}).NearestIndex(MakeColor(100, 100, 100)), 1);
    EXPECT_THROW(TRemapPalette({}), EColourMap);
}

// The remapped picture: a palette picture whose entries begin with the palette's own, in its
// order and used or not; a colour met with two alphas and a kept (protected) colour get further
// entries; the alpha stays exactly.
TEST(Remap, MakesAPalettePictureInThePalettesOrder)
{
    const std::vector<TColor> entries = {clBlack, clWhite, clRed, clBlue, clRed, MakeColor(0, 128, 0)};
    const TRemapPalette palette(entries);
    // (0, 60, 0) half transparent first, then opaque; (200, 30, 30) opaque and fully transparent;
    // yellow protected.
    const std::vector<TColor> colours = {MakeColor(0, 60, 0), MakeColor(200, 30, 30), kYellow, MakeColor(0, 60, 0),
                                         MakeColor(200, 30, 30), MakeColor(128, 0, 128)};
    const std::vector<uint8_t> transparency = {127, 0, 0, 0, 255, 0};
    const TPictureData before = Picture24(3, 2, colours, transparency);
    TPictureData after;
    TColourMapCounts counts;
    RemapColours(before, after, palette, ProtectedOf({"clYellow"}), {}, &counts);

    ASSERT_TRUE(IsPalettePicture(after.Image));
    EXPECT_EQ(after.PaletteBits, 4); // 9 entries
    const std::optional<TPalette> result = after.Image.Palette();
    ASSERT_TRUE(result);
    // The palette's six, then in the order met: green at alpha 128, yellow, red at alpha 0.
    const std::vector<TColor> expectedEntries = {clBlack, clWhite, clRed, clBlue, clRed, MakeColor(0, 128, 0),
                                                 MakeColor(0, 128, 0), kYellow, clRed};
    ASSERT_EQ(result->Count(), static_cast<int>(expectedEntries.size()));
    for (int i = 0; i < result->Count(); ++i) EXPECT_EQ(result->ColorOf(i), expectedEntries[static_cast<size_t>(i)]) << i;
    EXPECT_EQ(after.IndexAlpha, std::vector<uint8_t>({255, 255, 255, 255, 255, 255, 128, 255, 0}));
    const std::vector<uint8_t> expectedIndices = {6, 2, 7, 5, 8, 3};
    for (int32_t i = 0; i < 6; ++i)
        EXPECT_EQ(GetPackedIndex(after.Image.ConstScanLine(i / 3), 4, i % 3), expectedIndices[static_cast<size_t>(i)]) << i;
    for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(after.Alpha.ConstScanLine(i / 3)[i % 3], transparency[static_cast<size_t>(i)]);
    EXPECT_EQ(counts.Altered, 5);
    EXPECT_EQ(counts.Kept, 1);
    EXPECT_EQ(counts.Unmatched, std::vector<int32_t>({0, 1, 4}));

    // TrueColour: the same pixels, 24-bit.
    TPictureData full;
    RemapColours(before, full, palette, ProtectedOf({"clYellow"}), {false, true, 1});
    EXPECT_EQ(full.Image.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(PixelsOf(full), PixelsOf(after));

    // Two entries and opaque pixels: a 1-bit picture without per-index alpha.
    TPictureData small;
    RemapColours(Picture24(2, 1, {MakeColor(30, 30, 30), MakeColor(220, 220, 220)}), small,
                 TRemapPalette({clBlack, clWhite}), TProtectedColors());
    EXPECT_EQ(small.PaletteBits, 1);
    EXPECT_EQ(small.Image.PixelFormat(), TPixelFormat::pf1bit);
    EXPECT_TRUE(small.IndexAlpha.empty());
    EXPECT_EQ(PixelsOf(small), std::vector<TColor>({clBlack, clWhite}));
}

// When the entries would pass 256 (a long palette, or many alphas of one colour), the result is
// 24-bit with its alpha.
TEST(Remap, MoreThan256EntriesStayTrueColour)
{
    std::vector<TColor> longPalette;
    for (int i = 0; i < 257; ++i) longPalette.push_back(MakeColor(static_cast<uint8_t>(i), static_cast<uint8_t>(i / 2), 7));
    TPictureData a;
    RemapColours(Picture24(1, 1, {clRed}), a, TRemapPalette(longPalette), TProtectedColors());
    EXPECT_EQ(a.Image.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(a.PaletteBits, 0);

    std::vector<uint8_t> transparency;
    for (int i = 0; i < 300; ++i) transparency.push_back(static_cast<uint8_t>(i % 256));
    TPictureData b;
    const TPictureData before = Picture24(300, 1, std::vector<TColor>(300, clRed), transparency);
    RemapColours(before, b, TRemapPalette({clBlue, clRed}), TProtectedColors());
    EXPECT_EQ(b.Image.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(PixelsOf(b), std::vector<TColor>(300, clRed));
    for (int32_t x = 0; x < 300; ++x) ASSERT_EQ(b.Alpha.ConstScanLine(0)[x], transparency[static_cast<size_t>(x)]);
}

TEST(PictureColours, EntriesOfAPalettePictureOrColoursFirstMet)
{
    const TPictureData rgb = Picture24(3, 2, {clBlue, clRed, clBlue, clLime, clRed, clRed});
    const std::vector<TPictureColour> colours = PictureColours(rgb);
    ASSERT_EQ(colours.size(), 3u);
    EXPECT_EQ(colours[0].Colour, clBlue);
    EXPECT_EQ(colours[0].Pixels, 2);
    EXPECT_EQ(colours[1].Colour, clRed);
    EXPECT_EQ(colours[1].Pixels, 3);
    EXPECT_EQ(colours[2].Colour, clLime);
    EXPECT_EQ(colours[2].Pixels, 1);

    // Entries in order, repeats and unused ones included.
    const TPictureData indexed =
        PalettePicture(TPixelFormat::pf4bit, 4, {clWhite, clRed, clWhite, kTeal}, 3, 1, {2, 1, 2});
    const std::vector<TPictureColour> entries = PictureColours(indexed);
    ASSERT_EQ(entries.size(), 4u);
    const TPictureColour expected[] = {{clWhite, 0}, {clRed, 1}, {clWhite, 2}, {kTeal, 0}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].Colour, expected[i].Colour) << i;
        EXPECT_EQ(entries[i].Pixels, expected[i].Pixels) << i;
    }
}

} // namespace
} // namespace tintabrel
