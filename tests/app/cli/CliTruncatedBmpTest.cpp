// A BMP whose file ends before its pixel data: the tool refuses it by name and writes nothing,
// where the window would read the missing bytes as 0.
#include "base/Exceptions.h"
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

TEST(CliTruncatedBmp, RefusedWithTheShortfallAndNothingWritten)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 8, 6);
    WritePicture(dir.File("whole.bmp"), image);
    const std::vector<unsigned char> whole = ReadFileBytes(dir.File("whole.bmp"));
    // 8 x 6 at 24 bits after a 54-byte header: rows of 24 bytes; cut in half.
    ASSERT_EQ(whole.size(), 54u + 6 * 24);
    WriteFileBytes(dir.File("half.bmp"), std::vector<unsigned char>(whole.begin(), whole.begin() + 54 + 72));
    // 70 bytes that declare 2^28 x 1 at 32 bits.
    std::vector<unsigned char> huge(whole.begin(), whole.begin() + 70);
    huge[18] = 0, huge[19] = 0, huge[20] = 0, huge[21] = 0x10; // width 2^28
    huge[22] = 1, huge[23] = 0, huge[24] = 0, huge[25] = 0;    // height 1
    huge[28] = 32;
    WriteFileBytes(dir.File("huge.bmp"), huge);
    fs::create_directory(dir.Path() / "out");

    const TCliRun recolour = RunCli({"recolour", "--source", "50", "--target", "300", "--out-dir", dir.File("out"),
                                     dir.File("half.bmp"), dir.File("whole.bmp"), dir.File("huge.bmp")});
    EXPECT_EQ(recolour.Status, 1);
    EXPECT_TRUE(Contains(recolour.Err, dir.File("half.bmp") + ": " + msg::PixelDataCutShort(72, 144) + "\n")) << recolour.Err;
    EXPECT_TRUE(Contains(recolour.Err, dir.File("huge.bmp") + ": " + msg::PixelDataCutShort(16, int64_t{1} << 30) + "\n"))
        << recolour.Err;
    EXPECT_TRUE(fs::exists(dir.File("out/whole.bmp")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("out")), fs::directory_iterator()), 1);

    const TCliRun convert = RunCli({"convert", dir.File("half.bmp"), dir.File("half.png")});
    EXPECT_EQ(convert.Status, 1);
    EXPECT_EQ(convert.Err, dir.File("half.bmp") + ": " + msg::PixelDataCutShort(72, 144) + "\n");
    EXPECT_FALSE(fs::exists(dir.File("half.png")));
}

} // namespace
} // namespace tintabrel::test
