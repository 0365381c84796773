// A large PNG gets the cores a batch leaves idle: alone with -j 2 it is read, recoloured and
// compressed at once on two threads, in a batch of two files each keeps one; the pixels never
// change, and a file that fails to read leaves no output behind.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace tintabrel::test {
namespace {

// The image data of a PNG file, its IDAT chunks joined.
std::vector<uint8_t> ImageData(const std::string& path)
{
    const std::vector<unsigned char> file = ReadFileBytes(path);
    std::vector<uint8_t> data;
    for (size_t pos = 8; pos + 12 <= file.size();) {
        const size_t length = (size_t{file[pos]} << 24) | (size_t{file[pos + 1]} << 16) | (size_t{file[pos + 2]} << 8) | file[pos + 3];
        if (pos + 12 + length > file.size()) break;
        if (std::memcmp(&file[pos + 4], "IDAT", 4) == 0)
            data.insert(data.end(), file.begin() + static_cast<long>(pos + 8), file.begin() + static_cast<long>(pos + 8 + length));
        pos += 12 + length;
    }
    return data;
}

// A sprite of just over a million pixels written as each of paths, with alpha or opaque.
void WriteLargeSprite(const std::vector<std::string>& paths, bool withAlpha = true)
{
    TBitmap image, alpha;
    MakeSprite(image, 1100, 960);
    if (withAlpha) MakeAlpha(alpha, 1100, 960);
    for (const std::string& path : paths) WritePicture(path, image, alpha);
}

TEST(CliLargePicture, CompressedOnTheCoresTheBatchLeavesIdle)
{
    TempDir dir;
    WriteLargeSprite({dir.File("a.png"), dir.File("b.png")});
    const std::vector<std::string> recolour = {"recolour", "--source", "120", "--target", "300", "-q"};
    auto run = [&](std::vector<std::string> args) {
        std::vector<std::string> all = recolour;
        all.insert(all.end(), args.begin(), args.end());
        const TCliRun r = RunCli(all);
        EXPECT_EQ(r.Status, 0) << r.Err;
    };
    run({"-j", "1", "-o", dir.File("one.png"), dir.File("a.png")});
    run({"-j", "2", "-o", dir.File("two.png"), dir.File("a.png")});
    ASSERT_TRUE(std::filesystem::create_directory(dir.File("batch")));
    run({"-j", "2", "--out-dir", dir.File("batch"), dir.File("a.png"), dir.File("b.png")});

    TPictureData one, two;
    ReadPicture(dir.File("one.png"), one);
    ReadPicture(dir.File("two.png"), two);
    EXPECT_EQ(RgbBytes(two.Image), RgbBytes(one.Image));
    EXPECT_EQ(AlphaBytes(two.Alpha), AlphaBytes(one.Alpha));
    // The image data is cut into segments by the picture's size alone: alone on two threads, in
    // a batch as large as -j and with -j 1, the same bytes.
    EXPECT_EQ(ImageData(dir.File("two.png")), ImageData(dir.File("one.png")));
    EXPECT_EQ(ImageData(dir.File("batch/a.png")), ImageData(dir.File("one.png")));
    EXPECT_EQ(ImageData(dir.File("batch/b.png")), ImageData(dir.File("one.png")));
}

// Recoloured while it is read (-j 2) or after (-j 1): the same file but for the way its image data
// is cut, for opaque and transparent pictures, one change and a chain, wide and tall.
TEST(CliLargePicture, RecolouredWhileReadAsIfReadFirst)
{
    struct TCase {
        const char* Name;
        int Width, Height;
        bool Alpha;
        std::vector<std::string> Changes;
    };
    const TCase cases[] = {
        {"opaque", 1100, 960, false, {"--source", "120", "--target", "300"}},
        {"alpha, chain", 1100, 960, true, {"--source", "120", "--target", "300", "--map", "0:36:90", "--map", "240:20:10"}},
        {"one column", 1, 1100000, false, {"--source", "200", "--target", "20"}},
        {"alpha, every option", 1100, 960, true,
         {"--source", "10", "--tolerance", "20", "--target", "120", "--wrap", "--soft", "20", "--shift", "--visible-only"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        TBitmap image, alpha;
        MakeSprite(image, c.Width, c.Height);
        if (c.Alpha) MakeAlpha(alpha, c.Width, c.Height);
        WritePicture(dir.File("in.png"), image, alpha);
        std::vector<std::string> args = {"recolour", "-q", "-v"};
        args.insert(args.end(), c.Changes.begin(), c.Changes.end());
        for (const char* jobs : {"1", "2"}) {
            std::vector<std::string> run = args;
            run.insert(run.end(), {"-j", jobs, "-o", dir.File(std::string("out") + jobs + ".png"), dir.File("in.png")});
            const TCliRun r = RunCli(run);
            ASSERT_EQ(r.Status, 0) << r.Err;
            // The path a large PNG should take is taken with two threads (and only then).
            EXPECT_EQ(Contains(r.Err, "read, changed and written in one pass"), std::string(jobs) == "2") << r.Err;
        }
        TPictureData one, two, in;
        ReadPicture(dir.File("out1.png"), one);
        ReadPicture(dir.File("out2.png"), two);
        ReadPicture(dir.File("in.png"), in);
        EXPECT_EQ(RgbBytes(two.Image), RgbBytes(one.Image));
        EXPECT_NE(RgbBytes(two.Image), RgbBytes(in.Image));
        EXPECT_EQ(AlphaBytes(two.Alpha), AlphaBytes(one.Alpha));
        EXPECT_EQ(two.HasAlpha(), c.Alpha);
        EXPECT_EQ(std::system(("pngcheck -q " + dir.File("out2.png") + " >/dev/null").c_str()), 0);
    }
}

// convert copies a large picture while reading it (on a machine with two cores or more): the
// same pixels and alpha as the input.
TEST(CliLargePicture, ConvertCopiesALargePictureExactly)
{
    TempDir dir;
    WriteLargeSprite({dir.File("in.png")});
    const TCliRun r = RunCli({"convert", dir.File("in.png"), dir.File("out.png")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    TPictureData in, out;
    ReadPicture(dir.File("in.png"), in);
    ReadPicture(dir.File("out.png"), out);
    EXPECT_EQ(RgbBytes(out.Image), RgbBytes(in.Image));
    EXPECT_EQ(AlphaBytes(out.Alpha), AlphaBytes(in.Alpha));
}

// A file that ends inside its image data fails as it does when read first, and the output that
// was being written alongside is gone.
TEST(CliLargePicture, AFileCutShortLeavesNoOutput)
{
    TempDir dir;
    WriteLargeSprite({dir.File("in.png")}, false);
    std::vector<unsigned char> bytes = ReadFileBytes(dir.File("in.png"));
    bytes.resize(bytes.size() * 2 / 3);
    WriteFileBytes(dir.File("cut.png"), bytes);
    ASSERT_TRUE(std::filesystem::create_directory(dir.File("out")));
    std::string messages[2];
    for (int k = 0; k < 2; ++k) {
        const TCliRun r = RunCli({"recolour", "-q", "--source", "120", "--target", "300", "-j", k == 0 ? "1" : "2", "-o",
                                  dir.File("out/cut.png"), dir.File("cut.png")});
        EXPECT_EQ(r.Status, 1);
        messages[k] = r.Err;
        EXPECT_TRUE(std::filesystem::is_empty(dir.File("out"))) << "an output or a temporary file was left";
    }
    EXPECT_EQ(messages[1], messages[0]);
    EXPECT_NE(messages[0], "");
}

} // namespace
} // namespace tintabrel::test
