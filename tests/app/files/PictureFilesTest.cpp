#include "app/PictureFiles.h"
#include "app/PictureFormats.h"
#include "app/PictureChange.h"

#include "base/Exceptions.h"
#include "base/StringList.h"
#include "png/VRQPNG.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tintabrel {
namespace {

namespace fs = std::filesystem;

std::string Suite(const std::string& name) { return test::DataPath("pngsuite/" + name); }

// Alpha of a pixel as the picture holds it: 255 - the alpha picture's byte; 255 when opaque.
int AlphaAt(const TPictureData& d, int x, int y)
{
    if (!d.HasAlpha()) return 255;
    return 255 - d.Alpha.ConstScanLine(y)[x];
}

void ExpectSamePicture(const TPictureData& a, const TPictureData& b)
{
    ASSERT_EQ(a.Image.Width(), b.Image.Width());
    ASSERT_EQ(a.Image.Height(), b.Image.Height());
    for (int y = 0; y < a.Image.Height(); ++y)
        for (int x = 0; x < a.Image.Width(); ++x) {
            ASSERT_EQ(a.Image.Pixel(x, y), b.Image.Pixel(x, y)) << x << "," << y;
            ASSERT_EQ(AlphaAt(a, x, y), AlphaAt(b, x, y)) << x << "," << y;
        }
}

TEST(PictureKind, ByExtension)
{
    const struct {
        const char* path;
        const char* extension;
        TPictureKind exact;
        TPictureKind anyCase;
    } cases[] = {
        {"a/b.png", ".png", PngFormat(), PngFormat()},
        {"b.bmp", ".bmp", BmpFormat(), BmpFormat()},
        {"b.PNG", ".PNG", nullptr, PngFormat()},
        {"b.Bmp", ".Bmp", nullptr, BmpFormat()},
        {"dir.png/file", "", nullptr, nullptr},
        {"out", "", nullptr, nullptr},
        {"x.jpg", ".jpg", nullptr, nullptr},
        {"x.tar.png", ".png", PngFormat(), PngFormat()},
        {"x.", ".", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const std::string ext = ExtractExtension(c.path);
        EXPECT_EQ(ext, c.extension) << c.path;
        EXPECT_EQ(KindOfExtension(ext, true), c.exact) << c.path;
        EXPECT_EQ(KindOfExtension(ext, false), c.anyCase) << c.path;
    }
}

TEST(PictureFiles, TransparencyOfEveryKindSurvivesASaveAsPng)
{
    // Alpha channel, per-index alpha, a single transparent index, a transparent colour, and grey
    // with alpha: each comes back with the same colours and the same alpha.
    for (const char* name : {"basn6a08.png", "tbbn3p08.png", "tp1n3p08.png", "tbrn2c08.png", "basn4a08.png",
                             "tbbn0g04.png", "basi6a16.png"}) {
        SCOPED_TRACE(name);
        TPictureData loaded;
        LoadPicture(Suite(name), PngFormat(), loaded);
        ASSERT_TRUE(loaded.HasAlpha());
        test::TempDir dir;
        SavePicture(dir.File("out.png"), PngFormat(), loaded.Image, loaded.Alpha);
        TPictureData again;
        LoadPicture(dir.File("out.png"), PngFormat(), again);
        ExpectSamePicture(loaded, again);
    }
}

// The window's save (picture and alpha, no file facts): a palette picture whose alpha goes by
// index stays a palette PNG with tRNS; one whose pixels of an index differ in alpha is written
// with an alpha channel. Both come back the same.
// A change made where the picture lies ends as the change made into a copy: pixels, alpha,
// format, palette facts and counts, for true-colour and palette pictures and with counting.
TEST(PictureChange, InPlaceEndsAsACopyWould)
{
    TStringList lines;
    lines.Add("clRed");
    const TProtectedColors list(lines);
    const THueWindow window{200, 36, 30};
    for (const char* name : {"basn2c08.png", "basn6a08.png", "tp1n3p08.png", "basn3p04.png"})
        for (const bool trueColour : {false, true})
            for (const bool counting : {false, true}) {
                SCOPED_TRACE(std::string(name) + (trueColour ? " true colour" : "") + (counting ? " counting" : ""));
                TPictureData before;
                LoadPicture(Suite(name), PngFormat(), before);
                TPictureData copy, inPlace;
                THueCounts copyCounts, inPlaceCounts;
                ApplyChange(before, copy, list, window, trueColour, counting ? &copyCounts : nullptr);
                inPlace.Assign(before);
                ApplyChangeInPlace(inPlace, list, window, trueColour, counting ? &inPlaceCounts : nullptr);
                ExpectSamePicture(inPlace, copy);
                EXPECT_EQ(inPlace.Image.PixelFormat(), copy.Image.PixelFormat());
                EXPECT_EQ(inPlace.PaletteBits, copy.PaletteBits);
                EXPECT_EQ(inPlace.IndexAlpha, copy.IndexAlpha);
                EXPECT_EQ(inPlaceCounts.Altered, copyCounts.Altered);
                EXPECT_EQ(inPlaceCounts.Kept, copyCounts.Kept);
                // The before picture shared its pixels with inPlace and is left as it was.
                TPictureData again;
                LoadPicture(Suite(name), PngFormat(), again);
                ExpectSamePicture(before, again);
            }
}

TEST(PictureFiles, PalettePictureWithAlphaPerIndexStaysAPalette)
{
    TPictureData loaded;
    LoadPicture(Suite("tp1n3p08.png"), PngFormat(), loaded);
    ASSERT_TRUE(loaded.HasAlpha());
    test::TempDir dir;
    SavePicture(dir.File("kept.png"), PngFormat(), loaded.Image, loaded.Alpha);
    const std::vector<unsigned char> kept = test::ReadFileBytes(dir.File("kept.png"));
    ASSERT_GT(kept.size(), 26u);
    EXPECT_EQ(kept[25], 3) << "colour type";
    const std::string text(kept.begin(), kept.end());
    EXPECT_NE(text.find("tRNS"), std::string::npos);
    TPictureData again;
    LoadPicture(dir.File("kept.png"), PngFormat(), again);
    ExpectSamePicture(loaded, again);

    uint8_t* first = loaded.Alpha.ScanLine(0); // one pixel of index (0, 0)'s colour changes alpha
    first[0] = static_cast<uint8_t>(first[0] == 100 ? 101 : 100);
    SavePicture(dir.File("rgba.png"), PngFormat(), loaded.Image, loaded.Alpha);
    const std::vector<unsigned char> rgba = test::ReadFileBytes(dir.File("rgba.png"));
    EXPECT_EQ(rgba[25], 6) << "colour type";
    LoadPicture(dir.File("rgba.png"), PngFormat(), again);
    ExpectSamePicture(loaded, again);
}

TEST(PictureFiles, SingleTransparentColourBecomesAlpha)
{
    TPictureData d;
    LoadPicture(Suite("tbrn2c08.png"), PngFormat(), d);
    TVRQPNG png;
    png.LoadFromFile(Suite("tbrn2c08.png"));
    ASSERT_NE(png.TransparentColor, -1);
    int transparent = 0;
    for (int y = 0; y < d.Image.Height(); ++y)
        for (int x = 0; x < d.Image.Width(); ++x) {
            const bool isKey = d.Image.Pixel(x, y) == (png.TransparentColor & 0xFFFFFF);
            EXPECT_EQ(AlphaAt(d, x, y), isKey ? 0 : 255);
            transparent += isKey;
        }
    EXPECT_GT(transparent, 0);
}

TEST(PictureFiles, OpaqueFilesHaveNoAlphaAndBmpClearsIt)
{
    TPictureData d;
    LoadPicture(Suite("basn6a08.png"), PngFormat(), d);
    ASSERT_TRUE(d.HasAlpha());
    LoadPicture(test::DataPath("bmpsuite/g/rgb24.bmp"), BmpFormat(), d);
    EXPECT_FALSE(d.HasAlpha());
    LoadPicture(Suite("basn2c08.png"), PngFormat(), d);
    EXPECT_FALSE(d.HasAlpha());

    test::TempDir dir;
    SavePicture(dir.File("a.bmp"), BmpFormat(), d.Image, d.Alpha);
    TPictureData back;
    LoadPicture(dir.File("a.bmp"), BmpFormat(), back);
    ExpectSamePicture(d, back);
}

TEST(PictureFiles, AFailedLoadKeepsThePicture)
{
    TPictureData d;
    LoadPicture(Suite("basn6a08.png"), PngFormat(), d);
    const auto image = d.Image.Image();
    EXPECT_THROW(LoadPicture(Suite("xcrn0g04.png"), PngFormat(), d), EInvalidGraphic);
    EXPECT_THROW(LoadPicture(test::DataPath("no-such-file.png"), PngFormat(), d), EFOpenError);
    EXPECT_EQ(d.Image.Image(), image);
    EXPECT_TRUE(d.HasAlpha());
}

TEST(PictureFiles, CreateFailureNamesTheTarget)
{
    TBitmap image;
    image.SetPixelFormat(TPixelFormat::pf24bit);
    image.SetSize(2, 2);
    const std::string target = "/nonexistent-folder/x.png";
    try {
        SavePicture(target, PngFormat(), image, TBitmap());
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "ファイル " + target + " を作成できません");
    }
}

TEST(PictureFiles, WithoutReplacingAnExistingFileIsKept)
{
    test::TempDir dir;
    TBitmap image;
    image.SetPixelFormat(TPixelFormat::pf24bit);
    image.SetSize(2, 2);
    const std::string target = dir.File("x.bmp");
    SavePicture(target, BmpFormat(), image, TBitmap(), {}, false); // a new file is written
    const auto first = test::ReadFileBytes(target);
    image.SetPixel(0, 0, clRed);
    EXPECT_THROW(SavePicture(target, BmpFormat(), image, TBitmap(), {}, false), EFCreateError);
    EXPECT_EQ(test::ReadFileBytes(target), first);
    SavePicture(target, BmpFormat(), image, TBitmap());
    EXPECT_NE(test::ReadFileBytes(target), first);
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir.Path())) files += e.is_regular_file();
    EXPECT_EQ(files, 1);
}

// With a file size limit the write fails part-way; the existing target must stay as it was and
// no temporary file may be left behind.
TEST(PictureFiles, AFailingWriteLeavesTheExistingFileUntouched)
{
    test::TempDir dir;
    const std::string target = dir.File("sprite.png");
    const std::vector<unsigned char> original = {'o', 'l', 'd'};
    test::WriteFileBytes(target, original);

    for (TPictureKind kind : {PngFormat(), BmpFormat()}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{4096, 4096};
            setrlimit(RLIMIT_FSIZE, &limit);
            TBitmap image;
            image.SetPixelFormat(TPixelFormat::pf24bit);
            image.SetSize(300, 300);
            uint32_t noise = 12345; // incompressible, so the file outgrows the limit
            for (int y = 0; y < 300; ++y) {
                uint8_t* row = image.ScanLine(y);
                for (int i = 0; i < 900; ++i) row[i] = static_cast<uint8_t>((noise = noise * 1103515245u + 12345u) >> 24);
            }
            try {
                SavePicture(target, kind, image, TBitmap());
            } catch (const EWriteError& e) {
                _exit(std::string(e.what()) == "ストリームへの書き込みエラー" ? 0 : 3);
            } catch (...) {
                _exit(4);
            }
            _exit(5);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(test::ReadFileBytes(target), original);
        int files = 0;
        for (const auto& e : fs::directory_iterator(dir.Path())) files += e.is_regular_file();
        EXPECT_EQ(files, 1) << "a temporary file was left behind";
    }
}

} // namespace
} // namespace tintabrel
