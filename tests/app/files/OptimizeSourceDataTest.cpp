// --optimize and the input's own image data: the reader keeps it only when asked, the optimizer
#include "app/PictureFormats.h"
// takes it only where it decodes to exactly the rows it would write, and an input already
// optimized by optipng or zopflipng never comes out larger (less the chunks --strip drops).
#include "app/PictureFiles.h"

#include "base/Streams.h"
#include "png/PngOptimize.h"
#include "png/SFunc.h"
#include "png/VRQPNG.h"
#include "png/VRQPNGReadStream.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

using test::DataPath;
using test::ReadFileBytes;
using test::TempDir;

struct TChunk {
    std::string Type;
    std::vector<uint8_t> Data;
};

std::vector<TChunk> Chunks(const std::vector<uint8_t>& file)
{
    std::vector<TChunk> chunks;
    for (size_t pos = 8; pos + 12 <= file.size();) {
        const uint32_t length = uint32_t{file[pos]} << 24 | uint32_t{file[pos + 1]} << 16 | uint32_t{file[pos + 2]} << 8 | file[pos + 3];
        if (pos + 12 + length > file.size()) break;
        chunks.push_back({std::string(file.begin() + static_cast<long>(pos) + 4, file.begin() + static_cast<long>(pos) + 8),
                          std::vector<uint8_t>(file.begin() + static_cast<long>(pos) + 8, file.begin() + static_cast<long>(pos + 8 + length))});
        pos += 12 + length;
    }
    return chunks;
}

std::vector<uint8_t> JoinedImageData(const std::vector<uint8_t>& file)
{
    std::vector<uint8_t> data;
    for (const TChunk& c : Chunks(file))
        if (c.Type == "IDAT") data.insert(data.end(), c.Data.begin(), c.Data.end());
    return data;
}

// A PNG file of the chunks given, each with its CRC.
std::vector<uint8_t> FileOf(const std::vector<TChunk>& chunks)
{
    std::vector<uint8_t> file(PngSignature, PngSignature + 8);
    for (const TChunk& c : chunks) {
        const uint32_t n = static_cast<uint32_t>(c.Data.size());
        file.insert(file.end(), {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
        const size_t start = file.size();
        file.insert(file.end(), c.Type.begin(), c.Type.end());
        file.insert(file.end(), c.Data.begin(), c.Data.end());
        const uint32_t crc = static_cast<uint32_t>(crc32(0, file.data() + start, static_cast<uInt>(file.size() - start)));
        file.insert(file.end(), {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
    }
    return file;
}

std::vector<uint8_t> Header(uint32_t width, uint32_t height, uint8_t depth, uint8_t colourType)
{
    return {static_cast<uint8_t>(width >> 24), static_cast<uint8_t>(width >> 16), static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width),
            static_cast<uint8_t>(height >> 24), static_cast<uint8_t>(height >> 16), static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
            depth, colourType, 0, 0, 0};
}

// The RGB rows (filter type 0) of a width x height picture of soft gradients.
std::vector<uint8_t> RgbRows(int width, int height)
{
    std::vector<uint8_t> rows;
    for (int y = 0; y < height; ++y) {
        rows.push_back(0);
        for (int x = 0; x < width; ++x) rows.insert(rows.end(), {static_cast<uint8_t>(x * 3), static_cast<uint8_t>(y * 5), static_cast<uint8_t>(x ^ y)});
    }
    return rows;
}

TPictureData Load(const std::vector<uint8_t>& file, bool keep)
{
    TPictureData data;
    TMemoryStream stream(file);
    TLoadOptions options;
    options.KeepImageData = keep;
    LoadPicture(stream, PngFormat(), data, options);
    return data;
}

std::vector<uint8_t> Optimized(const TPictureData& data, bool strip = true)
{
    TPNGSaveOptions options;
    options.Optimize = true;
    options.Strip = strip;
    options.Time = TPngTimeSource::None;
    TMemoryStream memory;
    WritePicturePng(memory, data, options);
    return memory.Bytes();
}

void ExpectSamePixels(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    const TPictureData da = Load(a, false), db = Load(b, false);
    ASSERT_EQ(da.Image.Width(), db.Image.Width());
    ASSERT_EQ(da.Image.Height(), db.Image.Height());
    ASSERT_EQ(da.HasAlpha(), db.HasAlpha());
    for (int32_t y = 0; y < da.Image.Height(); ++y)
        for (int32_t x = 0; x < da.Image.Width(); ++x) {
            ASSERT_EQ(da.Image.Pixel(x, y), db.Image.Pixel(x, y)) << x << "," << y;
            if (da.HasAlpha()) {
                ASSERT_EQ(da.Alpha.ConstScanLine(y)[x], db.Alpha.ConstScanLine(y)[x]) << x << "," << y;
            }
        }
}

TEST(OptimizeSourceData, TheReaderKeepsTheImageDataOnlyWhenAsked)
{
    // The stream cut into IDAT chunks so that the last rows end in the second chunk and the
    // stream's end and checksum follow in later ones (one of them empty): all of it is kept.
    const std::vector<uint8_t> zlibData = ZlibCompress(RgbRows(40, 30), 9);
    ASSERT_GT(zlibData.size(), 20u);
    const size_t cut = zlibData.size() - 6;
    const std::vector<uint8_t> file = FileOf({{"IHDR", Header(40, 30, 8, 2)},
                                              {"IDAT", {zlibData.begin(), zlibData.begin() + 10}},
                                              {"IDAT", {zlibData.begin() + 10, zlibData.begin() + static_cast<long>(cut)}},
                                              {"IDAT", {}},
                                              {"IDAT", {zlibData.begin() + static_cast<long>(cut), zlibData.end()}},
                                              {"tEXt", {'a', 0, 'b'}},
                                              {"IEND", {}}});
    SetSmallThresholdsForTesting(true); // on two threads, the second one inflates
    for (const int32_t threads : {1, 2}) {
        SCOPED_TRACE(threads);
        TVRQPNG png;
        png.Threads = threads;
        TMemoryStream stream(file);
        png.LoadFromStream(stream);
        EXPECT_TRUE(png.ImageData.empty()) << "kept unasked";
        png.KeepImageData = true;
        TMemoryStream again(file);
        png.LoadFromStream(again);
        EXPECT_EQ(png.ImageData, zlibData);
        EXPECT_EQ(png.ActiveBitmap().Width(), 40);
    }
    SetSmallThresholdsForTesting(false);

    // The picture data carries it from a load that keeps it, and not otherwise.
    EXPECT_EQ(Load(file, false).SourceImageData, nullptr);
    const TPictureData kept = Load(file, true);
    ASSERT_NE(kept.SourceImageData, nullptr);
    EXPECT_EQ(*kept.SourceImageData, zlibData);
    TPictureData copy;
    copy.Assign(kept);
    EXPECT_EQ(copy.SourceImageData, kept.SourceImageData);
}

TEST(OptimizeSourceData, OnlyDataThatDecodesToTheVeryRowsCounts)
{
    TPngRaster raster;
    raster.Width = 40;
    raster.Height = 30;
    raster.ColourType = 2;
    raster.BitDepth = 8;
    const std::vector<uint8_t> rows = RgbRows(40, 30);
    for (int y = 0; y < 30; ++y) raster.Rows.insert(raster.Rows.end(), rows.begin() + y * 121 + 1, rows.begin() + (y + 1) * 121);
    const std::vector<uint8_t> good = ZlibCompress(FilterRaster(raster, TPngFilter::Paeth), 9);

    std::vector<uint8_t> otherPixel = rows;
    otherPixel[5 * 121 + 7] ^= 1;
    std::vector<uint8_t> badFilter = FilterRaster(raster, TPngFilter::Sub);
    badFilter[121] = 5;
    std::vector<uint8_t> badChecksum = good;
    badChecksum.back() ^= 1;
    std::vector<uint8_t> trailing = good;
    trailing.push_back(0);
    std::vector<uint8_t> moreRows = rows;
    moreRows.insert(moreRows.end(), rows.begin(), rows.begin() + 121);
    const struct {
        const char* Name;
        std::vector<uint8_t> Data;
        bool Decodes;
    } cases[] = {
        {"the rows, Paeth", good, true},
        {"the rows, each row its own filter", ZlibCompress(FilterRaster(raster, TPngFilter::MinimumSum), 1), true},
        {"one byte differs", ZlibCompress(otherPixel, 9), false},
        {"a filter type beyond 4", ZlibCompress(badFilter, 9), false},
        {"a wrong checksum", badChecksum, false},
        {"bytes after the stream", trailing, false},
        {"cut short", {good.begin(), good.end() - 5}, false},
        {"one row more", ZlibCompress(moreRows, 9), false},
        {"one row less", ZlibCompress({rows.begin(), rows.end() - 121}, 9), false},
        {"not zlib", {1, 2, 3, 4, 5, 6, 7, 8}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodesToRaster(c.Data, raster), c.Decodes) << c.Name;

    // Given to the optimizer, data of other rows is never written even where it would be far
    // smaller: the picture as it is now (changed after loading, say) is.
    TPictureData data;
    TMemoryStream file(FileOf({{"IHDR", Header(40, 30, 8, 2)}, {"IDAT", good}, {"IEND", {}}}));
    LoadPicture(file, PngFormat(), data);
    const std::vector<uint8_t> honest = Optimized(data);
    data.SourceImageData = std::make_shared<const std::vector<uint8_t>>(ZlibCompress(std::vector<uint8_t>(rows.size(), 0), 9));
    const std::vector<uint8_t> offered = Optimized(data);
    EXPECT_EQ(offered, honest);
}

// Already optimized inputs (optipng -o2, zopflipng) of every layout a file keeps, made here from
// PNG suite files and a sprite sheet with a soft shadow: --optimize --strip never writes more
// than the input less the chunks it drops, with the same pixels, and takes the input's own data
// where its search alone would have written more.
TEST(OptimizeSourceData, AnAlreadyOptimizedInputNeverGrows)
{
    const bool optipng = std::system("optipng -v >/dev/null 2>&1") == 0;
    const bool zopflipng = std::system("zopflipng -h >/dev/null 2>&1") == 0;
    if (!optipng && !zopflipng) GTEST_SKIP() << "neither optipng nor zopflipng is installed";

    TempDir dir;
    std::vector<std::string> sources;
    for (const char* name : {"basn0g01", "basn0g04", "basn0g08", "basn2c08", "basn3p01", "basn3p02", "basn3p04", "basn3p08",
                             "basn4a08", "basn6a08", "tbrn2c08", "tbbn3p08", "tp1n3p08", "f02n2c08", "f04n2c08", "z09n2c08"})
        sources.push_back(DataPath(std::string("pngsuite/") + name + ".png"));
    {
        // 300 x 200 RGBA: flat discs with outlines over a soft shadow on clear pixels.
        TPictureData sheet;
        sheet.Image.SetPixelFormat(TPixelFormat::pf24bit);
        sheet.Image.SetSize(300, 200);
        sheet.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        sheet.Alpha.SetSize(300, 200);
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 300; ++x) {
                const int cx = x % 50 - 25, cy = y % 50 - 25, d2 = cx * cx + cy * cy;
                const int shadow = (cx - 4) * (cx - 4) + (cy - 4) * (cy - 4);
                const TColor c = d2 < 18 * 18 ? TColor{0x4846D0 + (x / 50) * 0x1020} : d2 < 20 * 20 ? TColor{0x141414} : TColor{0};
                sheet.Image.SetPixel(x, y, c);
                sheet.Alpha.ScanLine(y)[x] = d2 < 20 * 20 ? 0 : shadow < 22 * 22 ? static_cast<uint8_t>(255 - (22 * 22 - shadow) / 8) : 255;
            }
        TPNGSaveOptions plain;
        plain.Time = TPngTimeSource::None;
        SavePicture(dir.File("sheet.png"), PngFormat(), sheet, plain);
        sources.push_back(dir.File("sheet.png"));
    }

    size_t inputsKept = 0, cases = 0;
    for (const std::string& source : sources) {
        const std::string stem = source.substr(source.find_last_of('/') + 1);
        std::vector<std::string> inputs;
        if (optipng && std::system(("optipng -quiet -o2 -strip all -out '" + dir.File("o-" + stem) + "' '" + source + "'").c_str()) == 0)
            inputs.push_back(dir.File("o-" + stem));
        if (zopflipng && std::system(("zopflipng -y '" + source + "' '" + dir.File("z-" + stem) + "' >/dev/null").c_str()) == 0)
            inputs.push_back(dir.File("z-" + stem));
        for (const std::string& input : inputs) {
            SCOPED_TRACE(input);
            ++cases;
            const std::vector<uint8_t> in = ReadFileBytes(input);
            size_t dropped = 0;
            for (const TChunk& c : Chunks(in))
                if (c.Type != "IHDR" && c.Type != "PLTE" && c.Type != "tRNS" && c.Type != "IDAT" && c.Type != "IEND") dropped += 12 + c.Data.size();
            const std::vector<uint8_t> out = Optimized(Load(in, true));
            EXPECT_LE(out.size(), in.size() - dropped);
            ExpectSamePixels(out, in);
            // Where the search alone writes more, the output holds the input's very data.
            if (Optimized(Load(in, false)).size() > in.size() - dropped) {
                EXPECT_EQ(JoinedImageData(out), JoinedImageData(in));
                ++inputsKept;
            }
        }
    }
    EXPECT_GT(cases, 0u);
    EXPECT_GT(inputsKept, 0u) << "no input needed its own data: the table does not reach that path";
}

} // namespace
} // namespace tintabrel
