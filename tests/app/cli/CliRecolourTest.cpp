// recolour gives exactly the window's check command on every file of a batch, keeps
// transparency, and reports a bad file without stopping the others.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"
#include "app/PictureFormats.h"

#include "recolour/HueReplace.h"
#include "base/StringList.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

// What the window's check command makes of the file with these settings.
std::vector<uint8_t> EngineResult(const std::string& input, const THueWindow& window, const TStringList& list = {})
{
    TPictureData data;
    ReadPicture(input, data);
    TBitmap after;
    ReplaceHue(data.Image, after, list, window);
    return RgbBytes(after);
}

std::vector<uint8_t> OutputPixels(const std::string& path)
{
    TPictureData data;
    ReadPicture(path, data);
    EXPECT_EQ(data.Image.PixelFormat(), TPixelFormat::pf24bit) << path;
    return RgbBytes(data.Image);
}

TEST(CliRecolour, SamePixelsAsTheEngineForPngAndBmp)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 41, 23);
    WritePicture(dir.File("s.png"), image);
    WritePicture(dir.File("s.bmp"), image);

    const THueWindow window{220, 30, 120};
    for (const char* name : {"s.png", "s.bmp"}) {
        const std::string out = dir.File(std::string("out-") + name);
        const TCliRun run = RunCli({"recolour", "--source", "220", "--tolerance", "30", "--target", "120", "-o", out,
                                    dir.File(name)});
        ASSERT_EQ(run.Status, 0) << run.Err;
        const auto expected = EngineResult(dir.File(name), window);
        EXPECT_EQ(OutputPixels(out), expected) << name;
        EXPECT_NE(expected, RgbBytes(image)) << "the settings must change some pixels";
    }
}

TEST(CliRecolour, DefaultToleranceIsTheWindowsEighteen)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 40, 12);
    WritePicture(dir.File("s.png"), image);
    const TCliRun run = RunCli({"recolour", "--source", "100", "--target", "300", "-o", dir.File("o.png"), dir.File("s.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(OutputPixels(dir.File("o.png")), EngineResult(dir.File("s.png"), THueWindow{100, 18, 300}));
}

TEST(CliRecolour, ProtectedListKeepsItsColours)
{
    TempDir dir;
    // Pure red twice, and a red one step away: with the window on red (mirrored hue 240) the
    // listed colour stays and its neighbour changes.
    TBitmap image;
    MakeImage(image, 3, 2, [](int x, int y) {
        if (y == 1) return TRgb{200, 100, 50};
        return x == 2 ? TRgb{254, 0, 0} : TRgb{255, 0, 0};
    });
    WritePicture(dir.File("r.bmp"), image);
    WriteFileBytes(dir.File("list.dat"), {'c', 'L', 'r', 'E', 'd', '\r', '\n', '$', '0', '0', '3', '2', '6', '4', 'C', '8', '\r', '\n'});

    const TCliRun run = RunCli({"recolour", "--source", "240", "--tolerance", "36", "--target", "120", "--list",
                                dir.File("list.dat"), "-o", dir.File("o.bmp"), dir.File("r.bmp")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    TStringList list;
    list.LoadFromFile(dir.File("list.dat"));
    const auto pixels = OutputPixels(dir.File("o.bmp"));
    EXPECT_EQ(pixels, EngineResult(dir.File("r.bmp"), THueWindow{240, 36, 120}, list));
    EXPECT_EQ((std::vector<uint8_t>(pixels.begin(), pixels.begin() + 9)),
              (std::vector<uint8_t>{255, 0, 0, 255, 0, 0, 0, 254, 0}));
    // (200, 100, 50) is $003264C8 on the list.
    EXPECT_EQ((std::vector<uint8_t>(pixels.begin() + 9, pixels.begin() + 12)), (std::vector<uint8_t>{200, 100, 50}));
}

TEST(CliRecolour, TransparencyIsCarriedUnchanged)
{
    TempDir dir;
    TBitmap image, alpha;
    MakeSprite(image, 17, 9);
    MakeAlpha(alpha, 17, 9);
    WritePicture(dir.File("a.png"), image, alpha);

    fs::create_directory(dir.Path() / "out");
    const TCliRun good = RunCli({"recolour", "--source", "200", "--tolerance", "36", "--target", "10", "--out-dir",
                                 dir.File("out"), dir.File("a.png")});
    ASSERT_EQ(good.Status, 0) << good.Err;

    TPictureData out;
    ReadPicture(dir.File("out/a.png"), out);
    ASSERT_TRUE(out.HasAlpha());
    EXPECT_EQ(AlphaBytes(out.Alpha), AlphaBytes(alpha));
    EXPECT_EQ(RgbBytes(out.Image), EngineResult(dir.File("a.png"), THueWindow{200, 36, 10}));
}

TEST(CliRecolour, BatchGoesOnPastACorruptFile)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 12, 12);
    WritePicture(dir.File("one.png"), image);
    WritePicture(dir.File("two.bmp"), image);
    WritePicture(dir.File("three.png"), image);
    // A PNG signature followed by a header chunk that names a colour type no reader accepts.
    WriteFileBytes(dir.File("bad.png"), PngBytes({0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0, 1, 0, 0, 0, 1, 8, 7, 0, 0, 0, 0, 0, 0, 0}));
    // A BMP cut off inside its header.
    WriteFileBytes(dir.File("cut.bmp"), {'B', 'M', 0x46, 0, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0, 40, 0, 0});
    // A PNG that ends right after its signature: the reader gives an empty picture, which must
    // not replace anything.
    WriteFileBytes(dir.File("short.png"), PngBytes());
    fs::create_directory(dir.Path() / "out");

    const TCliRun run = RunCli({"recolour", "--source", "50", "--target", "300", "-j", "3", "--out-dir", dir.File("out"),
                                dir.File("one.png"), dir.File("bad.png"), dir.File("two.bmp"), dir.File("cut.bmp"),
                                dir.File("short.png"), dir.File("three.png")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Contains(run.Err, dir.File("bad.png") + ": " + LoadFailure(dir.File("bad.png")) + "\n")) << run.Err;
    EXPECT_TRUE(Contains(run.Err, dir.File("cut.bmp") + ": " + LoadFailure(dir.File("cut.bmp")) + "\n")) << run.Err;
    EXPECT_TRUE(Contains(run.Err, dir.File("short.png") + ": no picture in the file")) << run.Err;
    EXPECT_FALSE(Contains(run.Err, "one.png")) << run.Err;

    const auto expected = EngineResult(dir.File("one.png"), THueWindow{50, 18, 300});
    for (const char* name : {"one.png", "two.bmp", "three.png"}) EXPECT_EQ(OutputPixels(dir.File(std::string("out/") + name)), expected);
    EXPECT_FALSE(fs::exists(dir.File("out/bad.png")));
    EXPECT_FALSE(fs::exists(dir.File("out/cut.bmp")));
    EXPECT_FALSE(fs::exists(dir.File("out/short.png")));
    // Nothing half-written is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("out")), fs::directory_iterator()), 3);
}

TEST(CliRecolour, MissingInputIsReportedAndOthersGoOn)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 5, 5);
    WritePicture(dir.File("here.png"), image);
    fs::create_directory(dir.Path() / "out");
    const TCliRun run = RunCli({"recolour", "--source", "50", "--target", "300", "--out-dir", dir.File("out"),
                                dir.File("gone.png"), dir.File("here.png")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Contains(run.Err, dir.File("gone.png") + ": ")) << run.Err;
    EXPECT_TRUE(fs::exists(dir.File("out/here.png")));
}

TEST(CliRecolour, FormatOptionRenamesAndConverts)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 9, 4);
    WritePicture(dir.File("Sprite.PNG"), image);
    fs::create_directory(dir.Path() / "out");
    const TCliRun run = RunCli({"recolour", "--source", "0", "--tolerance", "36", "--target", "90", "--format", "bmp",
                                "--out-dir", dir.File("out"), dir.File("Sprite.PNG")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const auto bytes = ReadFileBytes(dir.File("out/Sprite.bmp"));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
    EXPECT_EQ(OutputPixels(dir.File("out/Sprite.bmp")), EngineResult(dir.File("Sprite.PNG"), THueWindow{0, 36, 90}));
}

TEST(CliRecolour, UnknownExtensionIsReadByItsSignature)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 6, 6);
    WritePicture(dir.File("s.png"), image);
    fs::copy_file(dir.File("s.png"), dir.File("sprite.dat"));
    WriteFileBytes(dir.File("notes.txt"), {'h', 'e', 'l', 'l', 'o'});
    fs::create_directory(dir.Path() / "out");
    const TCliRun run = RunCli({"recolour", "--source", "10", "--target", "200", "--out-dir", dir.File("out"),
                                dir.File("sprite.dat"), dir.File("notes.txt")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Contains(run.Err, dir.File("notes.txt") + ": not a PNG, BMP or GIF file")) << run.Err;
    // The name does not tell the format, so the output keeps the input's.
    const auto bytes = ReadFileBytes(dir.File("out/sprite.dat"));
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(bytes[1], 'P');
    TPictureData out;
    LoadPicture(dir.File("out/sprite.dat"), PngFormat(), out);
    EXPECT_EQ(RgbBytes(out.Image), EngineResult(dir.File("s.png"), THueWindow{10, 18, 200}));
}

TEST(CliRecolour, PngOptionsReachTheFile)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 20, 20);
    WritePicture(dir.File("s.png"), image);
    const TCliRun run = RunCli({"recolour", "--source", "10", "--target", "200", "--interlace", "--png-filter", "paeth",
                                "--png-level", "9", "-o", dir.File("o.png"), dir.File("s.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const auto bytes = ReadFileBytes(dir.File("o.png"));
    ASSERT_GT(bytes.size(), 29u);
    EXPECT_EQ(bytes[28], 1) << "IHDR interlace byte";
    EXPECT_EQ(OutputPixels(dir.File("o.png")), EngineResult(dir.File("s.png"), THueWindow{10, 18, 200}));
}

} // namespace
} // namespace tintabrel::test
