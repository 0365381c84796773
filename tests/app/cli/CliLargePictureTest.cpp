// A large PNG gets the cores a batch leaves idle for its compression: alone with -j 2 it is
// compressed on two threads, in a batch of two files each keeps one; the pixels never change.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include <gtest/gtest.h>

#include <cstring>

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

TEST(CliLargePicture, CompressedOnTheCoresTheBatchLeavesIdle)
{
    TempDir dir;
    TBitmap image, alpha;
    // Just over a million pixels.
    MakeSprite(image, 1100, 960);
    MakeAlpha(alpha, 1100, 960);
    WritePicture(dir.File("a.png"), image, alpha);
    WritePicture(dir.File("b.png"), image, alpha);
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
    // Alone, the file was cut into segments (their joins change the bytes, not the pixels) ...
    EXPECT_NE(ImageData(dir.File("two.png")), ImageData(dir.File("one.png")));
    // ... in a batch as large as -j, each file is one stream, as with -j 1.
    EXPECT_EQ(ImageData(dir.File("batch/a.png")), ImageData(dir.File("one.png")));
    EXPECT_EQ(ImageData(dir.File("batch/b.png")), ImageData(dir.File("one.png")));
}

} // namespace
} // namespace tintabrel::test
