// --optimize writes files that decode (libpng) to exactly the pixels and alpha of the default
// output, RGB under transparent pixels included, pass pngcheck, keep the writer's standard
// chunks, and take the smaller layouts when the pixels allow them.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"
#include "tests/png/PngWriteTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace tintabrel::test {
namespace {

// An alpha picture (byte = 255 - alpha) whose byte at (x, y) is value(x, y).
void MakeAlphaOf(TBitmap& alpha, int width, int height, uint8_t (*value)(int x, int y))
{
    alpha.SetPixelFormat(TPixelFormat::pf8bit);
    alpha.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = alpha.ScanLine(y);
        for (int x = 0; x < width; ++x) row[x] = value(x, y);
    }
}

struct TCase {
    std::string Name;
    std::string Input;
    int ColourType = -1; // expected layout of the optimized file, -1: any
    int BitDepth = 0;
    bool Transparency = false; // a tRNS chunk expected
};

class CliOptimize : public ::testing::Test {
protected:
    TempDir dir;

    std::vector<TCase> Cases()
    {
        std::vector<TCase> cases;
        TBitmap image, alpha;

        // Few colours, transparent pixels with different RGB under them, half alpha: a palette
        // with tRNS, the RGB of clear pixels kept.
        MakeImage(image, 120, 80, [](int x, int y) {
            static const TRgb colours[] = {{200, 40, 40}, {40, 90, 200}, {20, 20, 20}, {250, 220, 90}, {7, 8, 9}};
            return colours[(x / 5 + y / 3) % 5];
        });
        MakeAlphaOf(alpha, 120, 80, [](int x, int y) -> uint8_t { return y < 4 ? 255 : x % 9 == 0 ? 128 : 0; });
        WritePicture(dir.File("sprite.png"), image, alpha);
        cases.push_back({"few colours with alpha", dir.File("sprite.png"), 3, 4, true});

        // Many colours, opaque: RGB.
        MakeSprite(image, 64, 40);
        WritePicture(dir.File("photo.png"), image);
        cases.push_back({"many colours", dir.File("photo.png"), 2, 8, false});

        // Many colours, one clear colour no opaque pixel has: RGB with a tRNS key.
        MakeAlphaOf(alpha, 64, 40, [](int x, int y) -> uint8_t { return x < 6 && y < 6 ? 255 : 0; });
        {
            TBitmap keyed;
            MakeSprite(keyed, 64, 40);
            for (int y = 0; y < 6; ++y)
                for (int x = 0; x < 6; ++x) keyed.SetPixel(x, y, MakeColor(1, 2, 3));
            WritePicture(dir.File("keyed.png"), keyed, alpha);
        }
        cases.push_back({"one clear colour", dir.File("keyed.png"), 2, 8, true});

        // Greys in steps of 85: 2-bit grey.
        MakeImage(image, 30, 11, [](int x, int y) {
            const auto v = static_cast<uint8_t>(((x + y) % 4) * 85);
            return TRgb{v, v, v};
        });
        WritePicture(dir.File("grey.bmp"), image);
        cases.push_back({"grey levels", dir.File("grey.bmp"), 0, 2, false});

        // Many greys with half alpha: grey and alpha.
        MakeImage(image, 300, 3, [](int x, int) {
            const auto v = static_cast<uint8_t>(x % 256);
            return TRgb{v, v, v};
        });
        MakeAlpha(alpha, 300, 3);
        WritePicture(dir.File("greyalpha.png"), image, alpha);
        cases.push_back({"greys with alpha", dir.File("greyalpha.png"), 4, 8, false});

        // Palette files keep their palette and indices; other files as they come.
        cases.push_back({"palette with tRNS", DataPath("pngsuite/tbbn3p08.png"), 3, 8, true});
        cases.push_back({"2-bit palette with tRNS", DataPath("pngsuite/tm3n3p02.png"), 3, 2, true});
        cases.push_back({"1-bit palette BMP", DataPath("bmpsuite/g/pal1.bmp"), 3, 1, false});
        cases.push_back({"RGBA", DataPath("pngsuite/basn6a08.png")});
        cases.push_back({"16-bit grey", DataPath("pngsuite/basn0g16.png")});
        cases.push_back({"RGB 5-6-5 BMP", DataPath("bmpsuite/g/rgb16-565.bmp")});
        cases.push_back({"interlaced", DataPath("pngsuite/basi3p04.png")});
        return cases;
    }
};

TEST_F(CliOptimize, DecodesToTheDefaultOutputsPixelsInSmallerLayouts)
{
    for (const TCase& c : Cases()) {
        for (const bool recolour : {false, true}) {
            const std::string what = c.Name + (recolour ? " (recolour)" : " (convert)");
            const std::string plain = dir.File("plain.png"), optimized = dir.File("optimized.png");
            std::filesystem::remove(plain);
            std::filesystem::remove(optimized);
            auto run = [&](const std::string& out, bool optimize) {
                std::vector<std::string> args;
                if (recolour) args = {"recolour", "--source", "200", "--tolerance", "36", "--target", "20", "-o", out};
                else args = {"convert"};
                if (optimize) args.push_back("--optimize");
                args.push_back(c.Input);
                if (!recolour) args.push_back(out);
                return RunCli(args);
            };
            TCliRun result = run(plain, false);
            ASSERT_EQ(result.Status, 0) << what << ": " << result.Err;
            result = run(optimized, true);
            ASSERT_EQ(result.Status, 0) << what << ": " << result.Err;

            const std::vector<uint8_t> plainBytes = ReadFileBytes(plain), optimizedBytes = ReadFileBytes(optimized);
            const Decoded expected = DecodeWithLibpng(plainBytes);
            const Decoded got = DecodeWithLibpng(optimizedBytes);
            ASSERT_TRUE(got.Ok) << what << ": " << got.Error;
            EXPECT_EQ(got.Width, expected.Width) << what;
            EXPECT_EQ(got.Rgba, expected.Rgba) << what;
            EXPECT_LE(optimizedBytes.size(), plainBytes.size()) << what;
            if (HavePngcheck()) {
                EXPECT_EQ(PngcheckErrors(optimizedBytes, dir.File("check.png")), "") << what;
            }

            const std::vector<Chunk> chunks = ParseChunks(optimizedBytes);
            const std::vector<std::string> types = ChunkTypes(chunks);
            for (const char* kept : {"tIME", "tEXt", "vpNG"})
                EXPECT_NE(std::find(types.begin(), types.end(), kept), types.end()) << what << ": " << kept;
            EXPECT_EQ(got.Interlace, 0) << what;
            if (c.ColourType >= 0) {
                EXPECT_EQ(got.ColorType, c.ColourType) << what;
                EXPECT_EQ(got.BitDepth, c.BitDepth) << what;
                EXPECT_EQ(FindChunk(chunks, "tRNS") != nullptr, c.Transparency) << what;
            }
        }
    }
}

TEST_F(CliOptimize, KeepsThePaletteOrderAndTrueColourKeepsToRgb)
{
    // tbbn3p08 uses its palette out of order; --optimize keeps entry order and indices. Its
    // pixels use indices 0 to 244 of 246 entries: the last one, unused, is left out.
    const std::string in = DataPath("pngsuite/tbbn3p08.png");
    ASSERT_EQ(RunCli({"convert", "--optimize", in, dir.File("o.png")}).Status, 0);
    const std::vector<Chunk> before = ParseChunks(ReadFileBytes(in));
    const std::vector<Chunk> after = ParseChunks(ReadFileBytes(dir.File("o.png")));
    ASSERT_NE(FindChunk(after, "PLTE"), nullptr);
    const auto& kept = FindChunk(after, "PLTE")->Data;
    const auto& given = FindChunk(before, "PLTE")->Data;
    ASSERT_EQ(kept.size(), 245u * 3);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), given.begin()));

    const TCliRun run = RunCli({"recolour", "--source", "200", "--target", "20", "--optimize", "--truecolour", "-o",
                                dir.File("t.png"), in});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const Decoded decoded = DecodeWithLibpng(ReadFileBytes(dir.File("t.png")));
    EXPECT_TRUE(decoded.ColorType == PNG_COLOR_TYPE_RGB || decoded.ColorType == PNG_COLOR_TYPE_RGB_ALPHA)
        << decoded.ColorType;
}

// A file zopflipng compressed better than the search does keeps its image data through a run
// of the tool; a recolour that changes its pixels cannot use that data and writes its own.
TEST_F(CliOptimize, AnInputsOwnImageDataIsKeptWhileItsRowsAre)
{
    if (std::system("zopflipng -h >/dev/null 2>&1") != 0) GTEST_SKIP() << "zopflipng is not installed";
    const std::string in = dir.File("z.png");
    ASSERT_EQ(std::system(("zopflipng -y '" + DataPath("pngsuite/basn2c08.png") + "' '" + in + "' >/dev/null").c_str()), 0);
    const auto imageData = [](const std::string& path) {
        std::vector<uint8_t> data;
        for (const Chunk& c : ParseChunks(ReadFileBytes(path)))
            if (c.Type == "IDAT") data.insert(data.end(), c.Data.begin(), c.Data.end());
        return data;
    };
    TCliRun run = RunCli({"convert", "--optimize", "--strip", in, dir.File("kept.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(imageData(dir.File("kept.png")), imageData(in));
    EXPECT_EQ(DecodeWithLibpng(ReadFileBytes(dir.File("kept.png"))).Rgba, DecodeWithLibpng(ReadFileBytes(in)).Rgba);

    const std::vector<std::string> change = {"recolour", "--source", "200", "--tolerance", "36", "--target", "20"};
    std::vector<std::string> args = change;
    args.insert(args.end(), {"--optimize", "--strip", "-o", dir.File("changed.png"), in});
    run = RunCli(args);
    ASSERT_EQ(run.Status, 0) << run.Err;
    args = change;
    args.insert(args.end(), {"-o", dir.File("plain.png"), in});
    ASSERT_EQ(RunCli(args).Status, 0);
    const Decoded changed = DecodeWithLibpng(ReadFileBytes(dir.File("changed.png")));
    EXPECT_NE(changed.Rgba, DecodeWithLibpng(ReadFileBytes(in)).Rgba) << "the change altered no pixel";
    EXPECT_EQ(changed.Rgba, DecodeWithLibpng(ReadFileBytes(dir.File("plain.png"))).Rgba);
    EXPECT_NE(imageData(dir.File("changed.png")), imageData(in));
}

TEST_F(CliOptimize, OneFileOnSeveralThreadsGivesTheSamePicture)
{
    TBitmap image;
    MakeSprite(image, 200, 120);
    WritePicture(dir.File("in.png"), image);
    for (const char* jobs : {"1", "3"}) {
        const TCliRun run = RunCli({"recolour", "--source", "200", "--target", "20", "--optimize", "-j", jobs, "-o",
                                    dir.File(std::string("out") + jobs + ".png"), dir.File("in.png")});
        ASSERT_EQ(run.Status, 0) << run.Err;
    }
    const std::vector<uint8_t> one = ReadFileBytes(dir.File("out1.png")), three = ReadFileBytes(dir.File("out3.png"));
    const std::vector<Chunk> oneChunks = ParseChunks(one), threeChunks = ParseChunks(three);
    EXPECT_EQ(FindChunk(oneChunks, "IDAT")->Data, FindChunk(threeChunks, "IDAT")->Data);
}

} // namespace
} // namespace tintabrel::test
