#include "recolour/HueReplace.h"

#include "image/Graphics.h"
#include "base/ColorConvert.h"
#include "base/Colors.h"
#include "base/StringList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tintabrel {
namespace {

struct RGB {
    int r, g, b;
};

TColor ColorOf(RGB c)
{
    return MakeColor(static_cast<uint8_t>(c.r), static_cast<uint8_t>(c.g), static_cast<uint8_t>(c.b));
}

void Make24(TBitmap& bmp, int32_t width, int32_t height, const std::vector<TColor>& colours)
{
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    bmp.SetSize(width, height);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            bmp.SetPixel(x, y, colours[static_cast<size_t>(y * width + x) % colours.size()]);
}

TStringList ListOf(const std::vector<std::string>& lines)
{
    TStringList list;
    for (const std::string& line : lines) list.Add(line);
    return list;
}

// The command step by step as the window has always run it: every pixel read through a 24-bit
// row, its colour string looked up in the list, the mirrored hue compared as a floating-point
// number, and the protected pixels written back from the before picture afterwards.
void ReferenceReplaceHue(const TBitmap& before, TBitmap& after, const TStringList& list, const THueWindow& w)
{
    after.Assign(&before);
    after.SetPixelFormat(TPixelFormat::pf24bit);
    auto scanPixel = [&](int32_t x, int32_t y) {
        after.SetPixelFormat(TPixelFormat::pf24bit);
        const uint8_t* row = after.ScanLine(y);
        return RGB{row[3 * x + 2], row[3 * x + 1], row[3 * x]};
    };
    std::vector<int32_t> cols, rows;
    for (int32_t y = 0; y < after.Height(); ++y)
        for (int32_t x = 0; x < after.Width(); ++x)
            if (list.IndexOf(ColorToText(ColorOf(scanPixel(x, y)))) >= 0) {
                cols.push_back(x);
                rows.push_back(y);
            }
    for (int32_t y = 0; y < after.Height(); ++y)
        for (int32_t x = 0; x < after.Width(); ++x) {
            const RGB c = scanPixel(x, y);
            const THSV hsv = TColorConvert::RGBToHSV(c.b, c.g, c.r);
            if (hsv.S == 0) continue;
            if (w.Source - w.Tolerance <= hsv.H && hsv.H <= w.Source + w.Tolerance) {
                const TRGBBytes out = TColorConvert::HSVToRGB(w.Target, hsv.S, hsv.V);
                uint8_t* row = after.ScanLine(y);
                row[3 * x + 2] = out.R;
                row[3 * x + 1] = out.G;
                row[3 * x] = out.B;
            }
        }
    for (size_t k = 0; k < cols.size(); ++k) after.SetPixel(cols[k], rows[k], before.Pixel(cols[k], rows[k]));
}

// Compares whole pictures; reports the first few differing pixels.
void ExpectSamePixels(const TBitmap& actual, const TBitmap& expected, const std::string& name)
{
    ASSERT_EQ(actual.PixelFormat(), TPixelFormat::pf24bit) << name;
    ASSERT_EQ(actual.Width(), expected.Width()) << name;
    ASSERT_EQ(actual.Height(), expected.Height()) << name;
    int wrong = 0;
    for (int32_t y = 0; y < actual.Height(); ++y) {
        const uint8_t* a = actual.ConstScanLine(y);
        const uint8_t* e = expected.ConstScanLine(y);
        for (int32_t x = 0; x < actual.Width(); ++x)
            for (int i = 0; i < 3; ++i)
                if (a[3 * x + i] != e[3 * x + i] && ++wrong <= 5)
                    ADD_FAILURE() << name << ": pixel (" << x << ", " << y << ") byte " << i << " is "
                                  << int{a[3 * x + i]} << ", expected " << int{e[3 * x + i]};
    }
    EXPECT_EQ(wrong, 0) << name;
}

TColor RecolourOne(RGB in, const THueWindow& w, const std::vector<std::string>& list = {})
{
    TBitmap before, after;
    Make24(before, 1, 1, {ColorOf(in)});
    ReplaceHue(before, after, ListOf(list), w);
    return after.Pixel(0, 0);
}

TEST(HueReplaceTest, WindowAndNewColour)
{
    // (0,3,10) has hue 222, mirrored 18; (3,0,10) hue 258, mirrored 342; (0,4,10) mirrored 24.
    struct {
        const char* name;
        THueWindow w;
        RGB in;
        RGB out;
    } cases[] = {
        {"red to green", {240, 0, 120}, {255, 0, 0}, {0, 255, 0}},
        {"dark red to dark green", {240, 0, 120}, {128, 0, 0}, {0, 128, 0}},
        {"orange outside", {240, 0, 120}, {255, 128, 0}, {255, 128, 0}},
        {"near red outside t=0 (above)", {240, 0, 120}, {255, 0, 1}, {255, 0, 1}},
        {"near red outside t=0 (below)", {240, 0, 120}, {255, 1, 0}, {255, 1, 0}},
        {"saturation and value kept", {220, 5, 120}, {200, 100, 50}, {50, 200, 50}},
        {"p=0: blue at the centre", {0, 18, 120}, {0, 0, 255}, {0, 255, 0}},
        {"p=0: upper bound inclusive", {0, 18, 120}, {0, 3, 10}, {0, 10, 0}},
        {"p=0: just past the upper bound", {0, 18, 120}, {0, 4, 10}, {0, 4, 10}},
        {"p=0: no wrap below 0", {0, 18, 120}, {3, 0, 10}, {3, 0, 10}},
        {"p=360: 342 inside", {360, 18, 120}, {3, 0, 10}, {0, 10, 0}},
        {"p=360: 0 outside", {360, 18, 120}, {0, 0, 255}, {0, 0, 255}},
        {"lower bound inclusive", {360, 18, 0}, {3, 0, 10}, {10, 0, 0}},
        {"p+t inclusive", {204, 36, 120}, {255, 0, 0}, {0, 255, 0}},
        {"p+t-1 excludes", {204, 35, 120}, {255, 0, 0}, {255, 0, 0}},
        {"target 360 is red", {120, 0, 360}, {0, 255, 0}, {255, 0, 0}},
        {"black", {0, 36, 120}, {0, 0, 0}, {0, 0, 0}},
        {"white", {240, 36, 120}, {255, 255, 255}, {255, 255, 255}},
        {"grey", {240, 36, 120}, {128, 128, 128}, {128, 128, 128}},
        {"dark grey", {0, 36, 300}, {1, 1, 1}, {1, 1, 1}},
    };
    for (const auto& c : cases) EXPECT_EQ(RecolourOne(c.in, c.w), ColorOf(c.out)) << c.name;
}

TEST(HueReplaceTest, ProtectedColours)
{
    // (1,2,3) and (171,205,239) have mirrored hue 30, (1,2,4) mirrored hue 20.
    const THueWindow redWindow{240, 0, 120};
    const THueWindow blueishWindow{25, 5, 120};
    struct {
        const char* name;
        std::vector<std::string> list;
        THueWindow w;
        RGB in;
        bool kept;
    } cases[] = {
        {"by name", {"clRed"}, redWindow, {255, 0, 0}, true},
        {"name in upper case", {"CLRED"}, redWindow, {255, 0, 0}, true},
        {"name in lower case, later in the list", {"", "clLime", "clred"}, redWindow, {255, 0, 0}, true},
        {"hex of a named colour protects nothing", {"$000000FF", "$000000ff"}, redWindow, {255, 0, 0}, false},
        {"blank before the name", {" clRed", "clRed "}, redWindow, {255, 0, 0}, false},
        {"integer text that reads as red", {"255", "0xFF", "$FF"}, redWindow, {255, 0, 0}, false},
        {"by hex string", {"$00030201"}, blueishWindow, {1, 2, 3}, true},
        {"hex in lower case", {"$00efcdab"}, blueishWindow, {171, 205, 239}, true},
        {"one step away", {"$00030201"}, blueishWindow, {1, 2, 4}, false},
        {"system colour name", {"clBtnFace", "clWindow"}, redWindow, {255, 0, 0}, false},
        {"nine digits", {"$000030201"}, blueishWindow, {1, 2, 3}, false},
    };
    for (const auto& c : cases) {
        const TColor in = ColorOf(c.in);
        const TColor out = RecolourOne(c.in, c.w, c.list);
        if (c.kept) EXPECT_EQ(out, in) << c.name;
        else EXPECT_NE(out, in) << c.name;
    }
}

TEST(HueReplaceTest, IndexedBeforeGivesA24BitAfterAndStaysAsItWas)
{
    TBitmap before;
    before.SetPixelFormat(TPixelFormat::pf8bit);
    before.SetSize(4, 2);
    const TColor colours[] = {clRed, clLime, clBlue, clWhite};
    for (int32_t x = 0; x < 4; ++x) before.SetPixel(x, 1, colours[x]);
    const auto store = before.Image();
    const std::vector<uint8_t> bytes(store->Pixels(), store->Pixels() + store->ImageBytes());

    for (const THueWindow w : {THueWindow{100, 0, 0}, THueWindow{240, 36, 120}}) {
        TBitmap after, expected;
        ReplaceHue(before, after, TStringList(), w);
        ReferenceReplaceHue(before, expected, TStringList(), w);
        ExpectSamePixels(after, expected, "8-bit");
        EXPECT_EQ(before.PixelFormat(), TPixelFormat::pf8bit);
        EXPECT_EQ(before.Image(), store);
        EXPECT_EQ(std::vector<uint8_t>(store->Pixels(), store->Pixels() + store->ImageBytes()), bytes);
    }
    TBitmap after;
    ReplaceHue(before, after, TStringList(), {100, 0, 0});
    for (int32_t x = 0; x < 4; ++x) EXPECT_EQ(after.Pixel(x, 1), before.Pixel(x, 1));
}

TEST(HueReplaceTest, TwentyFourBitBeforeIsNotChanged)
{
    TBitmap before, after;
    Make24(before, 3, 2, {clRed, clLime, clBlue, MakeColor(200, 100, 50)});
    const auto store = before.Image();
    const std::vector<uint8_t> bytes(store->Pixels(), store->Pixels() + store->ImageBytes());
    ReplaceHue(before, after, ListOf({"clLime"}), {240, 36, 120});
    EXPECT_EQ(before.Image(), store);
    EXPECT_EQ(std::vector<uint8_t>(store->Pixels(), store->Pixels() + store->ImageBytes()), bytes);
    EXPECT_NE(after.Image(), store);
    EXPECT_EQ(after.Pixel(0, 0), clLime);
    EXPECT_EQ(after.Pixel(1, 0), clLime);

    // A window that holds none of the colours gives the before pixels back.
    TBitmap same;
    ReplaceHue(before, same, TStringList(), {100, 0, 0});
    for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(same.Pixel(i % 3, i / 3), before.Pixel(i % 3, i / 3));
}

TEST(HueReplaceTest, EmptyBeforeGivesEmptyAfter)
{
    TBitmap before, after;
    Make24(after, 2, 2, {clRed});
    ReplaceHue(before, after, TStringList(), {240, 18, 120});
    EXPECT_TRUE(after.Empty());
    EXPECT_EQ(after.Width(), 0);
    EXPECT_EQ(after.Height(), 0);
    EXPECT_TRUE(before.Empty());
}

// Row numbers and byte offsets are full 32-bit: no row or column lies beyond the replacement.
TEST(HueReplaceTest, TallAndWidePicturesAreRecolouredThroughout)
{
    for (const auto& [width, height] : {std::pair{1, 40000}, std::pair{11000, 1}}) {
        TBitmap before, after;
        Make24(before, width, height, {clRed});
        ReplaceHue(before, after, TStringList(), {240, 0, 120});
        EXPECT_EQ(after.Pixel(width - 1, height - 1), clLime) << width << " x " << height;
        EXPECT_EQ(after.Pixel(0, 0), clLime) << width << " x " << height;
    }
}

TEST(HueReplaceTest, SettingsOutOfRangeAndAliasingAreRefused)
{
    TBitmap before, after;
    Make24(before, 1, 1, {clRed});
    for (const THueWindow w : {THueWindow{-1, 0, 0}, THueWindow{361, 0, 0}, THueWindow{0, -1, 0},
                               THueWindow{0, 37, 0}, THueWindow{0, 0, -1}, THueWindow{0, 0, 361}})
        EXPECT_THROW(ReplaceHue(before, after, TStringList(), w), std::invalid_argument);
    EXPECT_THROW(ReplaceHue(before, before, TStringList(), {240, 0, 120}), std::invalid_argument);
    EXPECT_EQ(before.Pixel(0, 0), clRed);
}

// Every hue a pixel can have occurs among the colours whose smallest component is 0 (hue does
// not change when the same amount is added to all three); those, some random colours and runs
// of equal pixels make up the picture on which the engine must match the step-by-step command.
TEST(HueReplaceTest, MatchesTheStepByStepCommand)
{
    std::vector<TColor> colours;
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) {
            colours.push_back(MakeColor(0, static_cast<uint8_t>(a), static_cast<uint8_t>(b)));
            if (a > 0) colours.push_back(MakeColor(static_cast<uint8_t>(a), 0, static_cast<uint8_t>(b)));
            if (a > 0 && b > 0) colours.push_back(MakeColor(static_cast<uint8_t>(a), static_cast<uint8_t>(b), 0));
        }
    std::mt19937 random(7);
    for (int i = 0; i < 4096; ++i) {
        const TColor c = static_cast<TColor>(random() & 0xFFFFFF);
        for (int n = 0; n < 1 + i % 5; ++n) colours.push_back(c);
    }
    const std::vector<std::string> lines = {
        "clRed", "CLBLUE", "", "$00030201", "$00efcdab", "$000000FF", " clLime", "$00808000", "clTeal",
        ColorToText(colours[1000]), ColorToText(colours[70000]), ColorToText(colours[150000]), "garbage"};
    const TStringList list = ListOf(lines);

    const int32_t width = 509; // not a multiple of four, so rows carry padding
    const int32_t height = static_cast<int32_t>((colours.size() + width - 1) / width);
    TBitmap before;
    Make24(before, width, height, colours);

    for (const THueWindow w : {THueWindow{240, 0, 120}, THueWindow{204, 36, 0}, THueWindow{0, 18, 200},
                               THueWindow{360, 18, 60}, THueWindow{97, 13, 360}, THueWindow{30, 36, 240}}) {
        const std::string name = "p=" + std::to_string(w.Source) + " t=" + std::to_string(w.Tolerance) +
                                 " target=" + std::to_string(w.Target);
        TBitmap after, expected;
        ReplaceHue(before, after, list, w);
        ReferenceReplaceHue(before, expected, list, w);
        ExpectSamePixels(after, expected, name);
    }
}

// Many colours that share blue and green and differ in red, each row repeating its own few:
// the engine's memory of earlier decisions is filled and overwritten again and again.
TEST(HueReplaceTest, RecurringColoursMatchTheStepByStepCommand)
{
    std::mt19937 random(5);
    const int32_t width = 300, height = 150;
    std::vector<TColor> colours;
    for (int32_t y = 0; y < height; ++y) {
        std::vector<TColor> some;
        for (int i = 0; i < 100; ++i) {
            const uint32_t v = random();
            some.push_back(MakeColor(static_cast<uint8_t>(v), static_cast<uint8_t>((v >> 8 & 3) * 85),
                                     static_cast<uint8_t>((v >> 10 & 3) * 85)));
        }
        for (int32_t x = 0; x < width; ++x) colours.push_back(some[static_cast<size_t>(x) % some.size()]);
    }
    TBitmap before;
    Make24(before, width, height, colours);
    const TStringList list = ListOf({ColorToText(colours[5]), ColorToText(colours[20000])});
    for (const THueWindow w : {THueWindow{240, 36, 120}, THueWindow{120, 36, 0}}) {
        TBitmap after, expected;
        ReplaceHue(before, after, list, w);
        ReferenceReplaceHue(before, expected, list, w);
        ExpectSamePixels(after, expected, "p=" + std::to_string(w.Source));
    }
}

TEST(HueReplaceTest, OtherBeforeFormatsMatchTheStepByStepCommand)
{
    std::vector<TColor> colours;
    std::mt19937 random(11);
    for (int i = 0; i < 3000; ++i) colours.push_back(static_cast<TColor>(random() & 0xFFFFFF));
    TBitmap source;
    Make24(source, 61, 49, colours);
    const TStringList list = ListOf({ColorToText(source.Pixel(3, 3)), ColorToText(source.Pixel(40, 20)), "clRed"});
    for (const TPixelFormat format : {TPixelFormat::pf1bit, TPixelFormat::pf4bit, TPixelFormat::pf8bit,
                                      TPixelFormat::pf15bit, TPixelFormat::pf16bit, TPixelFormat::pf32bit,
                                      TPixelFormat::pfDevice}) {
        TBitmap before;
        before.Assign(&source);
        before.SetPixelFormat(format);
        TBitmap after, expected;
        ReplaceHue(before, after, list, {180, 36, 300});
        ReferenceReplaceHue(before, expected, list, {180, 36, 300});
        ExpectSamePixels(after, expected, "format " + std::to_string(static_cast<int>(format)));
        EXPECT_EQ(before.PixelFormat(), format);
    }
}

// Counting gives the same picture, and counts what comparing whole pictures finds: the pixels
// whose colour changed, and those that differ from a run without the list.
TEST(HueReplaceTest, CountsAreWhatThePicturesShow)
{
    std::vector<TColor> colours;
    std::mt19937 random(13);
    for (int i = 0; i < 5000; ++i) {
        const TColor c = static_cast<TColor>(random() & 0xFFFFFF);
        for (int n = 0; n < 1 + i % 7; ++n) colours.push_back(c); // runs, and colours seen again
    }
    // Already at the target hue: inside the window but unchanged, so counted in neither.
    for (int i = 0; i < 50; ++i) colours.push_back(MakeColor(0, 200, 0));
    TBitmap source;
    Make24(source, 211, 97, colours);
    TStringList list = ListOf({"clLime", "clRed"});
    for (size_t i = 0; i < colours.size(); i += 97) list.Add(ColorToText(colours[i]));
    for (const THueWindow w : {THueWindow{120, 36, 120}, THueWindow{240, 18, 0}, THueWindow{0, 0, 200}}) {
        const std::string name = "p=" + std::to_string(w.Source) + " t=" + std::to_string(w.Tolerance);
        TBitmap plain, counted, unprotected;
        ReplaceHue(source, plain, list, w);
        THueCounts counts;
        ReplaceHue(source, counted, TProtectedColors(list), w, &counts);
        ReplaceHue(source, unprotected, TStringList(), w);
        ExpectSamePixels(counted, plain, name);
        int64_t altered = 0, kept = 0;
        for (int32_t y = 0; y < source.Height(); ++y)
            for (int32_t x = 0; x < source.Width(); ++x) {
                altered += plain.Pixel(x, y) != source.Pixel(x, y);
                kept += plain.Pixel(x, y) != unprotected.Pixel(x, y);
            }
        EXPECT_EQ(counts.Altered, altered) << name;
        EXPECT_EQ(counts.Kept, kept) << name;
        if (w.Tolerance > 0) {
            EXPECT_GT(kept, 0) << name;
        }
    }
}

// A large picture is recoloured in bands of rows on several threads: the same picture and the
// same counts as on one, for a 24-bit before and for one that is converted first.
TEST(HueReplaceTest, BandsOnSeveralThreadsGiveWhatOneThreadGives)
{
    std::vector<TColor> colours;
    std::mt19937 random(17);
    while (colours.size() < 1031u * 800u) {
        const TColor c = static_cast<TColor>(random() & 0xFFFFFF);
        for (uint32_t n = 0; n < 1 + random() % 9; ++n) colours.push_back(c);
    }
    TBitmap source;
    Make24(source, 1031, 800, colours);
    const TProtectedColors list(ListOf({ColorToText(colours[10]), ColorToText(colours[500000]), "clLime"}));
    const THueWindow w{150, 36, 300};
    for (const TPixelFormat format : {TPixelFormat::pf24bit, TPixelFormat::pf8bit}) {
        TBitmap before;
        before.Assign(&source);
        before.SetPixelFormat(format);
        TBitmap one;
        THueCounts oneCounts;
        ReplaceHue(before, one, list, w, &oneCounts, 1);
        for (const unsigned threads : {2u, 3u}) {
            const std::string name = "format " + std::to_string(static_cast<int>(format)) + " threads " + std::to_string(threads);
            TBitmap plain, counted;
            THueCounts counts;
            ReplaceHue(before, plain, list, w, nullptr, threads);
            ReplaceHue(before, counted, list, w, &counts, threads);
            ExpectSamePixels(plain, one, name);
            ExpectSamePixels(counted, one, name);
            EXPECT_EQ(counts.Altered, oneCounts.Altered) << name;
            EXPECT_EQ(counts.Kept, oneCounts.Kept) << name;
        }
        EXPECT_GT(oneCounts.Altered, 0);
    }
}

TEST(HueReplaceTest, PickerPositionsOfColours)
{
    struct {
        RGB colour;
        int position; // -1: grey, nothing picked
    } cases[] = {
        {{255, 0, 0}, 235},  {{0, 255, 0}, 115},  {{200, 100, 50}, 215}, {{0, 0, 255}, 355},
        {{0, 17, 255}, 359}, // hue 236 exactly: 235 - 236 wraps to 359
        {{255, 0, 1}, 236},  // hue 359.76
        {{255, 1, 0}, 235},  // hue 0.24
        {{80, 80, 80}, -1},  {{255, 255, 255}, -1}, {{0, 0, 0}, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PickedSourcePosition(ColorOf(c.colour)).value_or(-1), c.position)
            << c.colour.r << "," << c.colour.g << "," << c.colour.b;
}

TEST(HueReplaceTest, ProtectedColoursOfAList)
{
    struct {
        const char* line;
        TColor color;
    } cases[] = {
        {"clRed", clRed},          {"clmoneygreen", MakeColor(192, 220, 192)},
        {"$00030201", MakeColor(1, 2, 3)}, {"$00EfCdAb", MakeColor(0xAB, 0xCD, 0xEF)},
        {"$000000FF", -1},         {"$00000000", -1}, // black's colour string is clBlack
        {"$01000000", -1},         {"$FFFFFFFF", -1}, {"clBtnFace", -1}, {"clNone", -1},
        {"$0003020", -1},          {"$0003020G", -1}, {"", -1}, {"0x00030201", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(TProtectedColors::PixelColorOfLine(c.line), c.color) << c.line;

    const TProtectedColors set(ListOf({"clRed", "", "$00030201", "clred", "junk"}));
    EXPECT_TRUE(set.Contains(clRed));
    EXPECT_TRUE(set.Contains(MakeColor(1, 2, 3)));
    EXPECT_FALSE(set.Contains(MakeColor(1, 2, 4)));
    EXPECT_FALSE(set.Contains(clBlack));
    EXPECT_TRUE(TProtectedColors(TStringList()).Empty());
}

} // namespace
} // namespace tintabrel
