// The PNG picture: defaults, saving and loading, assignment both ways, notifications,
// registration, and the PNG suite loaded and saved back with the same pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "image/Canvas.h"
#include "base/Exceptions.h"
#include "image/Picture.h"
#include "png/VRQPNG.h"
#include "tests/png/PngWriteTestSupport.h"

namespace tintabrel {
namespace {

using test::Chunk;
using Bytes = std::vector<uint8_t>;

void Fill24(TBitmap& b, int w, int h, uint32_t seed)
{
    test::Lcg rnd{seed};
    b.SetPixelFormat(TPixelFormat::pf24bit);
    b.SetSize(w, h);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int i = 0; i < 3 * w; ++i) row[i] = rnd.Next();
    }
}

void FillAlpha(TBitmap& a, int w, int h, uint32_t seed)
{
    test::Lcg rnd{seed};
    a.SetPixelFormat(TPixelFormat::pf8bit);
    a.SetSize(w, h);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = a.ScanLine(y);
        for (int x = 0; x < w; ++x) row[x] = rnd.Next();
    }
}

Bytes Save(const TVRQPNG& picture)
{
    TMemoryStream stream;
    picture.SaveToStream(stream);
    return stream.Bytes();
}

TEST(VRQPNG, NewPictureIsEmptyAndDoesNotResize)
{
    TVRQPNG picture;
    EXPECT_TRUE(picture.Empty());
    picture.SetWidth(10);
    picture.SetHeight(5);
    EXPECT_EQ(picture.Width(), 0);
    EXPECT_EQ(picture.Height(), 0);
    EXPECT_DOUBLE_EQ(picture.Gamma, 0.45455);
    EXPECT_EQ(picture.FilterMode, 1);
    EXPECT_EQ(picture.IDATSize, 32768);
    EXPECT_NE(picture.TimeStamp.Year, 0);

    // Saving does not test for an empty picture; write data writes nothing for it.
    const std::vector<Chunk> chunks = test::ParseChunks(Save(picture));
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].Data, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 8, 2, 0, 0, 0}));
    EXPECT_EQ(chunks.back().Type, "IEND");
    TMemoryStream data;
    picture.WriteData(data);
    EXPECT_EQ(data.Size(), 0);

    // What is saved reads back: an empty picture again, also over a loaded one.
    const Bytes file = Save(picture);
    TVRQPNG loaded;
    TBitmap before;
    Fill24(before, 3, 2, 9u);
    loaded.Assign(before);
    TMemoryStream stream(file);
    ASSERT_NO_THROW(loaded.LoadFromStream(stream));
    EXPECT_TRUE(loaded.Empty());
    EXPECT_EQ(loaded.Width(), 0);
    EXPECT_EQ(loaded.Height(), 0);
}

// The program's own save: a picture assigned from a 24-bit bitmap with every default.
TEST(VRQPNG, DefaultSaveOfA24BitPicture)
{
    TBitmap bitmap;
    Fill24(bitmap, 7, 5, 1u);
    TVRQPNG picture;
    picture.Assign(bitmap);
    const Bytes file = Save(picture);
    const std::vector<Chunk> chunks = test::ParseChunks(file);
    std::vector<std::string> types = test::ChunkTypes(chunks);
    types.erase(std::unique(types.begin(), types.end()), types.end());
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "tIME", "tEXt", "vpNG", "gAMA", "IDAT", "IEND"}));
    EXPECT_EQ(chunks[0].Data, (Bytes{0, 0, 0, 7, 0, 0, 0, 5, 8, 2, 0, 0, 0}));
    EXPECT_EQ(chunks[2].Data, (Bytes{'S', 'o', 'f', 't', 'w', 'a', 'r', 'e', 0, 'V', 'R', 'Q', 'P', 'N', 'G', ' ', 'v', 'e', 'r', ' ', '3', '.', '4'}));
    EXPECT_EQ(chunks[3].Data, (Bytes{'V', 'R', 'Q', '3', 0, 0, 0, 0}));
    EXPECT_EQ(chunks[4].Data, (Bytes{0, 0, 0xB1, 0x8F}));

    const test::Decoded d = test::DecodeWithLibpng(file);
    ASSERT_TRUE(d.Ok) << d.Error;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            const uint8_t* p = d.Pixel(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
            EXPECT_EQ(MakeColor(p[0], p[1], p[2]), bitmap.Pixel(x, y));
        }
}

// The window saves transparency by handing over an alpha bitmap with UseAlpha: colour type 6,
// or 4 in grey, with alpha = 255 - byte.
TEST(VRQPNG, AlphaBitmapIsSavedAsAnAlphaChannel)
{
    for (const bool grey : {false, true}) {
        SCOPED_TRACE(grey ? "grey" : "colour");
        TBitmap bitmap;
        Fill24(bitmap, 9, 4, 2u);
        TVRQPNG picture;
        picture.Assign(bitmap);
        FillAlpha(*picture.AlphaBitmap, 9, 4, 3u);
        picture.UseAlpha = true;
        picture.Grayscale = grey;
        const Bytes file = Save(picture);
        const test::Decoded d = test::DecodeWithLibpng(file);
        ASSERT_TRUE(d.Ok) << d.Error;
        EXPECT_EQ(d.ColorType, grey ? 4 : 6);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 9; ++x) {
                const uint8_t* p = d.Pixel(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
                EXPECT_EQ(p[3], 255 - picture.AlphaBitmap->ConstScanLine(y)[x]);
                const TColor c = bitmap.Pixel(x, y);
                if (grey) {
                    EXPECT_EQ(p[0], (77 * RedOf(c) + 150 * GreenOf(c) + 29 * BlueOf(c)) / 256);
                } else {
                    EXPECT_EQ(MakeColor(p[0], p[1], p[2]), c);
                }
            }

        // Without UseAlpha the alpha bitmap stays out.
        picture.UseAlpha = false;
        EXPECT_EQ(test::DecodeWithLibpng(Save(picture)).ColorType, grey ? 0 : 2);
    }
}

TEST(VRQPNG, SaveRefusesABadIdatSizeBeforeWriting)
{
    TVRQPNG picture;
    picture.IDATSize = 255;
    TMemoryStream stream;
    EXPECT_THROW(picture.SaveToStream(stream), EVRQPNG);
    EXPECT_EQ(stream.Size(), 0);
}

TEST(VRQPNG, AssignFromAPictureSharesImagesAndCopiesTheListedSettings)
{
    TVRQPNG source;
    Fill24(*source.Bitmap, 4, 3, 4u);
    FillAlpha(*source.AlphaBitmap, 4, 3, 5u);
    TBitmap linked;
    source.LinkedAlphaBitmap = &linked;
    source.CompressionLevel = 3;
    source.FilterMode = 0;
    source.IDATSize = 1000;
    source.Interlace = true;
    source.Grayscale = true;
    source.Comment = "c";
    source.BackgroundColor = 1;
    source.TransparentColor = 2;
    source.Gamma = 1.5;
    source.SignificantBits = 0x050505;
    source.PhysUnit = 1;
    source.PhysX = 10;
    source.PhysY = 11;
    source.UseCurrentTime = false;
    source.TimeStamp = {1999, 12, 31, 1, 2, 3};
    source.Chromaticity.Values[0] = 31270;
    // Not copied:
    source.UseAlpha = true;
    source.BitsPerPixel = 24;
    source.GifControl.Bytes[0] = 1;
    source.RowKey = "k";
    source.SkipHeaderAllowed = false;
    source.HighColorOutput = true;
    source.OnEncodeRow = [](TVRQPNGWriteStream&, uint8_t*, int32_t, int32_t, const std::string&) {};

    TVRQPNG target;
    target.Assign(source);
    EXPECT_EQ(target.Bitmap->Image(), source.Bitmap->Image());
    EXPECT_EQ(target.AlphaBitmap->Image(), source.AlphaBitmap->Image());
    EXPECT_EQ(target.LinkedAlphaBitmap, &linked);
    EXPECT_EQ(target.LinkedBitmap, nullptr);
    EXPECT_EQ(target.CompressionLevel, 3);
    EXPECT_EQ(target.FilterMode, 0);
    EXPECT_EQ(target.IDATSize, 1000);
    EXPECT_TRUE(target.Interlace);
    EXPECT_TRUE(target.Grayscale);
    EXPECT_EQ(target.Comment, "c");
    EXPECT_EQ(target.BackgroundColor, 1);
    EXPECT_EQ(target.TransparentColor, 2);
    EXPECT_DOUBLE_EQ(target.Gamma, 1.5);
    EXPECT_EQ(target.SignificantBits, 0x050505u);
    EXPECT_EQ(target.PhysUnit, 1);
    EXPECT_EQ(target.PhysX, 10);
    EXPECT_EQ(target.PhysY, 11);
    EXPECT_FALSE(target.UseCurrentTime);
    EXPECT_EQ(target.TimeStamp.Year, 1999);
    EXPECT_EQ(target.TimeStamp.Second, 3);
    EXPECT_EQ(target.Chromaticity.Values[0], 31270u);

    EXPECT_FALSE(target.UseAlpha);
    EXPECT_EQ(target.BitsPerPixel, 0);
    EXPECT_EQ(target.GifControl.Bytes[0], 0);
    EXPECT_EQ(target.RowKey, "");
    EXPECT_TRUE(target.SkipHeaderAllowed);
    EXPECT_FALSE(target.HighColorOutput);
    EXPECT_FALSE(target.OnEncodeRow);
}

TEST(VRQPNG, AssignWithBitmaps)
{
    TVRQPNG picture;
    picture.Comment = "kept";
    picture.Gamma = 2.2;
    TBitmap bitmap;
    Fill24(bitmap, 3, 3, 6u);
    picture.Assign(bitmap);
    EXPECT_EQ(picture.Bitmap->Image(), bitmap.Image());
    EXPECT_EQ(picture.Comment, "kept");
    EXPECT_DOUBLE_EQ(picture.Gamma, 2.2);

    // A bitmap assigned a picture shares its active image; the alpha bitmap stays behind.
    FillAlpha(*picture.AlphaBitmap, 3, 3, 7u);
    TBitmap out;
    out.Assign(picture);
    EXPECT_EQ(out.Image(), picture.Bitmap->Image());
    TBitmap other;
    Fill24(other, 2, 2, 8u);
    picture.LinkedBitmap = &other;
    out.Assign(picture);
    EXPECT_EQ(out.Image(), other.Image());
    EXPECT_EQ(picture.Width(), 2);

    EXPECT_THROW(picture.Assign(nullptr), EConvertError);
}

// Assignment ends in exactly one change notification, whether or not the transparent flag
// changes; the flag is taken from the bitmap without being pushed back into it.
TEST(VRQPNG, SyncFromBitmapNotifiesOnce)
{
    for (const bool transparent : {false, true}) {
        TVRQPNG picture;
        int changes = 0;
        picture.OnChange = [&](TGraphic&) { ++changes; };
        TBitmap bitmap;
        Fill24(bitmap, 2, 2, 9u);
        bitmap.SetTransparent(transparent);
        picture.Assign(bitmap);
        EXPECT_EQ(changes, 1);
        EXPECT_EQ(picture.Transparent(), transparent);
        EXPECT_TRUE(picture.PaletteModified);
    }
    // Setting the flag on the picture sets it on the active bitmap.
    TVRQPNG picture;
    picture.SetTransparent(true);
    EXPECT_TRUE(picture.Bitmap->Transparent());
}

TEST(VRQPNG, SizeAndPaletteGoToTheActiveBitmaps)
{
    TVRQPNG picture;
    Fill24(*picture.Bitmap, 4, 4, 10u);
    FillAlpha(*picture.AlphaBitmap, 4, 4, 11u);
    picture.SetWidth(6);
    picture.SetHeight(2);
    EXPECT_EQ(picture.Width(), 6);
    EXPECT_EQ(picture.Height(), 2);
    EXPECT_EQ(picture.AlphaBitmap->Width(), 6);
    EXPECT_EQ(picture.AlphaBitmap->Height(), 2);
    TPalette p;
    p.Add(1, 2, 3);
    picture.SetPalette(p);
    ASSERT_TRUE(picture.Palette().has_value());
    EXPECT_EQ((*picture.Palette())[0], (TPaletteEntry{1, 2, 3, 0}));
}

TEST(VRQPNG, DrawStretchesTheActiveBitmap)
{
    TVRQPNG picture;
    picture.Bitmap->SetPixelFormat(TPixelFormat::pf24bit);
    picture.Bitmap->SetSize(2, 1);
    picture.Bitmap->SetPixel(0, 0, MakeColor(255, 0, 0));
    picture.Bitmap->SetPixel(1, 0, MakeColor(0, 0, 255));
    TBitmap target;
    target.SetPixelFormat(TPixelFormat::pf24bit);
    target.SetSize(4, 2);
    target.Canvas().StretchDraw(TRect{0, 0, 4, 2}, picture);
    EXPECT_EQ(target.Pixel(1, 1), MakeColor(255, 0, 0));
    EXPECT_EQ(target.Pixel(2, 0), MakeColor(0, 0, 255));
}

TEST(VRQPNG, ProgressReachesThePictureAndTheBitmapKeepsItsOwnListener)
{
    TVRQPNG picture;
    Fill24(*picture.Bitmap, 8, 8, 12u);
    int own = 0, relayed = 0;
    picture.Bitmap->OnProgress = [&](const TGraphic&, TProgressStage, uint8_t, bool, const TRect&, const std::string&) { ++own; };
    picture.OnProgress = [&](const TGraphic& sender, TProgressStage, uint8_t, bool, const TRect&, const std::string&) {
        EXPECT_EQ(&sender, picture.Bitmap.get());
        ++relayed;
    };
    Save(picture);
    EXPECT_GT(relayed, 0);
    EXPECT_EQ(own, 0);
    picture.Bitmap->OnProgress(*picture.Bitmap, TProgressStage::psRunning, 1, false, TRect{}, "");
    EXPECT_EQ(own, 1);
}

TEST(VRQPNG, RegisteredForPngFiles)
{
    const auto formats = TPicture::FileFormats();
    const auto it = std::find_if(formats.begin(), formats.end(), [](const TPicture::TFileFormat& f) { return f.ClassName == "TVRQPNG"; });
    ASSERT_NE(it, formats.end());
    EXPECT_EQ(it->Description, "PNG Format");

    test::TempDir dir;
    TVRQPNG picture;
    Fill24(*picture.Bitmap, 3, 2, 13u);
    picture.SaveToFile(dir.File("a.PNG"));
    TPicture holder;
    holder.LoadFromFile(dir.File("a.PNG"));
    ASSERT_NE(dynamic_cast<TVRQPNG*>(holder.Graphic()), nullptr);
    EXPECT_EQ(holder.Width(), 3);
}

// Loading fills the properties; a file without tIME leaves the stamp zero, yet the next save
// stamps the current time. Read data keeps Interlace, loading takes it.
TEST(VRQPNG, LoadTakesThePropertiesOfTheFile)
{
    TVRQPNG first;
    Fill24(*first.Bitmap, 10, 10, 14u);
    FillAlpha(*first.AlphaBitmap, 10, 10, 15u);
    first.UseAlpha = true;
    first.Interlace = true;
    first.Comment = "hello";
    first.BackgroundColor = MakeColor(1, 2, 3);
    first.PhysUnit = 1;
    first.PhysX = 3779;
    first.PhysY = 3780;
    first.UseCurrentTime = false;
    first.TimeStamp = {};
    const Bytes file = Save(first);

    TVRQPNG second;
    TMemoryStream in(file);
    second.LoadFromStream(in);
    EXPECT_TRUE(second.UseAlpha);
    EXPECT_TRUE(second.Interlace);
    EXPECT_EQ(second.Comment, "hello\r\n");
    EXPECT_EQ(second.BackgroundColor, MakeColor(1, 2, 3));
    EXPECT_EQ(second.PhysX, 3779);
    EXPECT_EQ(second.PhysY, 3780);
    EXPECT_EQ(second.PhysUnit, 1);
    EXPECT_DOUBLE_EQ(second.Gamma, 0.45455);
    EXPECT_EQ(second.TimeStamp.Year, 0);
    EXPECT_EQ(second.BitsPerPixel, 24);
    EXPECT_EQ(second.AlphaBitmap->ConstScanLine(4)[7], first.AlphaBitmap->ConstScanLine(4)[7]);
    const std::vector<test::Chunk> secondChunks = test::ParseChunks(Save(second));
    EXPECT_NE(test::FindChunk(secondChunks, "tIME"), nullptr);

    TVRQPNG third;
    TMemoryStream again(file);
    third.ReadData(again);
    EXPECT_FALSE(third.Interlace);
    EXPECT_EQ(third.Width(), 10);
    EXPECT_TRUE(third.UseAlpha);
}

// Every valid file of the PNG suite loads and saves back with the same colours, and the same
// alpha where the saved file carries an alpha channel.
TEST(VRQPNG, PngSuiteRoundTrip)
{
    const std::filesystem::path folder = test::DataPath("pngsuite");
    if (!std::filesystem::exists(folder)) GTEST_SKIP() << "no PNG suite in " << folder;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".png" && entry.path().filename().string()[0] != 'x') files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_GT(files.size(), 100u);
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        const auto raw = test::ReadFileBytes(path.string());
        const test::Decoded original = test::DecodeWithLibpng(Bytes(raw.begin(), raw.end()));
        ASSERT_TRUE(original.Ok) << original.Error;
        TVRQPNG picture;
        try {
            picture.LoadFromFile(path.string());
        } catch (const std::exception& e) {
            ADD_FAILURE() << "load failed: " << e.what();
            continue;
        }
        const Bytes saved = Save(picture);
        const test::Decoded back = test::DecodeWithLibpng(saved);
        ASSERT_TRUE(back.Ok) << back.Error;
        ASSERT_EQ(back.Width, original.Width);
        ASSERT_EQ(back.Height, original.Height);
        const bool alpha = back.ColorType == 4 || back.ColorType == 6;
        int mismatches = 0;
        for (size_t i = 0; i < original.Rgba.size() && mismatches < 3; i += 4) {
            const bool same = std::equal(&original.Rgba[i], &original.Rgba[i] + 3, &back.Rgba[i]) &&
                              (!alpha || original.Rgba[i + 3] == back.Rgba[i + 3]);
            if (!same) {
                ++mismatches;
                ADD_FAILURE() << "pixel " << i / 4 << ": " << int(original.Rgba[i]) << " " << int(original.Rgba[i + 1]) << " "
                              << int(original.Rgba[i + 2]) << " " << int(original.Rgba[i + 3]) << " became " << int(back.Rgba[i])
                              << " " << int(back.Rgba[i + 1]) << " " << int(back.Rgba[i + 2]) << " " << int(back.Rgba[i + 3]);
            }
        }
        // A file that had an alpha channel keeps one.
        if (original.ColorType == 4 || original.ColorType == 6) {
            EXPECT_TRUE(alpha);
        }
    }
}

} // namespace
} // namespace tintabrel
