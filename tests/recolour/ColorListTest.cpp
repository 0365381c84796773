#include "recolour/ColorList.h"

#include "base/Exceptions.h"
#include "image/Graphics.h"
#include "base/Colors.h"
#include "base/StringList.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

const TColor kFace = ResolveColor(clBtnFace) & 0xFFFFFF;

TStringList ListOf(const std::vector<std::string>& lines)
{
    TStringList list;
    for (const std::string& line : lines) list.Add(line);
    return list;
}

// A stand-in for moto.bmp: only its pixel format and palette matter.
void MakeMoto(TBitmap& moto, TPixelFormat format)
{
    moto.SetPixelFormat(format);
    moto.SetSize(7, 3);
}

// Every pixel of the grid: swatch k in cell (k mod 9, k div 9) with a clBtnFace frame, the rest clBtnFace.
void ExpectGrid(const TBitmap& grid, const std::vector<TColor>& swatches, int32_t height, const char* name)
{
    ASSERT_EQ(grid.Width(), 225) << name;
    ASSERT_EQ(grid.Height(), height) << name;
    std::vector<TColor> expected(static_cast<size_t>(225 * height), kFace);
    for (size_t k = 0; k < swatches.size(); ++k) {
        const int32_t left = static_cast<int32_t>(k % 9) * 25, top = static_cast<int32_t>(k / 9) * 25;
        for (int32_t y = top + 1; y < top + 24 && y < height; ++y)
            for (int32_t x = left + 1; x < left + 24; ++x) expected[static_cast<size_t>(y * 225 + x)] = swatches[k];
    }
    int wrong = 0;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < 225; ++x)
            if (grid.Pixel(x, y) != expected[static_cast<size_t>(y * 225 + x)] && ++wrong <= 5)
                ADD_FAILURE() << name << ": pixel (" << x << ", " << y << ") is " << std::hex << grid.Pixel(x, y)
                              << ", expected " << expected[static_cast<size_t>(y * 225 + x)];
    EXPECT_EQ(wrong, 0) << name;
}

// Distinct colours written as lines in the forms a list file holds.
std::vector<std::string> ColourLines(int count)
{
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) lines.push_back(ColorToText(MakeColor(static_cast<uint8_t>(10 * i + 1), 200, 7)));
    return lines;
}

TEST(ColorListTest, GridSizeAndSwatches)
{
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        int32_t height;
    };
    std::vector<Case> cases = {
        {"empty list", {}, 25},
        {"empty line skipped", {"clRed", "", "clLime"}, 25},
        {"eight swatches", ColourLines(8), 25},
        {"nine swatches end with a blank row", ColourLines(9), 50},
        {"ten swatches", ColourLines(10), 50},
        {"eighteen swatches", ColourLines(18), 75},
        {"twenty swatches", ColourLines(20), 75},
        {"names, hex, other integers, any case", {"CLBLUE", "$00efcdab", "255", "clbtnface", "0x00ff00"}, 25},
    };
    Case emptyFirst{"twelve empty lines then two colours", std::vector<std::string>(12), 50};
    emptyFirst.lines.push_back("clRed");
    emptyFirst.lines.push_back("$00030201");
    cases.push_back(emptyFirst);
    Case eightPlusEmpty{"eight swatches and two empty lines", ColourLines(8), 50};
    eightPlusEmpty.lines.insert(eightPlusEmpty.lines.begin() + 3, 2, "");
    cases.push_back(eightPlusEmpty);

    for (const Case& c : cases) {
        TBitmap grid;
        MakeMoto(grid, TPixelFormat::pf24bit);
        DrawSwatchGrid(grid, ListOf(c.lines));
        std::vector<TColor> swatches;
        for (const std::string& line : c.lines)
            if (!line.empty()) swatches.push_back(ResolveColor(TextToColor(line)) & 0xFFFFFF);
        EXPECT_EQ(grid.PixelFormat(), TPixelFormat::pf24bit) << c.name;
        ExpectGrid(grid, swatches, c.height, c.name);
    }
}

TEST(ColorListTest, SwatchIsA23SquareInAFaceFrame)
{
    TBitmap grid;
    MakeMoto(grid, TPixelFormat::pf24bit);
    DrawSwatchGrid(grid, ListOf({"clRed", "", "clLime"}));
    for (int32_t i = 0; i < 25; ++i) {
        EXPECT_EQ(grid.Pixel(i, 0), kFace);
        EXPECT_EQ(grid.Pixel(i, 24), kFace);
        EXPECT_EQ(grid.Pixel(0, i), kFace);
        EXPECT_EQ(grid.Pixel(24, i), kFace);
    }
    EXPECT_EQ(grid.Pixel(1, 1), clRed);
    EXPECT_EQ(grid.Pixel(23, 23), clRed);
    EXPECT_EQ(grid.Pixel(26, 1), clLime);
    EXPECT_EQ(grid.Pixel(51, 1), kFace);
}

TEST(ColorListTest, IndexedBackgroundKeepsItsFormat)
{
    TBitmap grid;
    MakeMoto(grid, TPixelFormat::pf8bit);
    DrawSwatchGrid(grid, ListOf(ColourLines(9)));
    EXPECT_EQ(grid.PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(grid.Width(), 225);
    EXPECT_EQ(grid.Height(), 50);
}

TEST(ColorListTest, LineThatIsNoColourStopsTheDrawing)
{
    TBitmap grid;
    MakeMoto(grid, TPixelFormat::pf24bit);
    try {
        DrawSwatchGrid(grid, ListOf({"clRed", " clRed", "clLime"}));
        ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "' clRed' は整数ではありません");
    }
    EXPECT_EQ(grid.Pixel(1, 1), clRed);
    EXPECT_EQ(grid.Pixel(26, 1), kFace);
}

// A 24-bit BMP file of 2 x 1 pixels, bottom row first.
std::vector<unsigned char> SmallBmp()
{
    std::vector<unsigned char> b = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0};
    b.reserve(62);
    const unsigned char info[40] = {40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 8, 0, 0, 0};
    b.insert(b.end(), info, info + 40);
    const unsigned char pixels[8] = {1, 2, 3, 4, 5, 6, 0, 0};
    b.insert(b.end(), pixels, pixels + 8);
    return b;
}

// The picture a failed ShowList must leave alone.
void MakeTarget(TBitmap& target)
{
    target.SetPixelFormat(TPixelFormat::pf24bit);
    target.SetSize(3, 2);
    target.SetPixel(0, 0, clBlue);
}

void ExpectTargetUntouched(const TBitmap& target)
{
    EXPECT_EQ(target.Width(), 3);
    EXPECT_EQ(target.Height(), 2);
    EXPECT_EQ(target.Pixel(0, 0), clBlue);
}

TEST(ColorListTest, ShowListHandsOverOnlyAFinishedGrid)
{
    test::TempDir dir;
    const std::string missing = dir.File("moto.bmp");
    TBitmap target;
    MakeTarget(target);
    try {
        ShowList(ListOf({"clRed"}), missing, target);
        ADD_FAILURE() << "no error";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()), "ファイル " + missing + " は開けません");
    }
    ExpectTargetUntouched(target);

    const std::string garbage = dir.File("garbage.bmp");
    test::WriteFileBytes(garbage, {'n', 'o', 't', ' ', 'a', ' ', 'B', 'M', 'P'});
    EXPECT_THROW(ShowList(ListOf({"clRed"}), garbage, target), Exception);
    ExpectTargetUntouched(target);

    const std::string moto = dir.File("moto.bmp");
    test::WriteFileBytes(moto, SmallBmp());
    EXPECT_THROW(ShowList(ListOf({"clRed", "clLime", "cl Red"}), moto, target), EConvertError);
    ExpectTargetUntouched(target);

    ShowList(ListOf({"clRed", "", "clLime"}), moto, target);
    ExpectGrid(target, {clRed, clLime}, 25, "from a file");
}

} // namespace
} // namespace tintabrel
