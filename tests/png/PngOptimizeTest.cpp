// The optimizer's own choices: the plain save as a candidate, and no stored deflate block where
// a compressed one is smaller.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

#include "png/PngOptimize.h"
#include "png/SFunc.h"
#include "tests/png/PngWriteTestSupport.h"

namespace tintabrel {
namespace {

// A 2-colour palette picture: its image data is a handful of bytes.
void TwoColours(TBitmap& image, int w, int h)
{
    const TRGBQuad quads[2] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    image.SetPixelFormat(TPixelFormat::pf8bit);
    image.SetPalette(CreatePaletteFromQuads(quads, 2));
    image.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) image.ScanLine(y)[x] = static_cast<uint8_t>((x + y) % 3 == 0);
}

std::vector<uint8_t> Optimize(const TBitmap& image, const TPngOptimizeOptions& options)
{
    TMemoryStream memory;
    WriteOptimizedPng(memory, image, TBitmap(), options);
    return memory.Bytes();
}

TEST(PngOptimize, ThePlainSaveWinsWhenItIsSmaller)
{
    TBitmap image;
    TwoColours(image, 40, 30);
    TPngOptimizeOptions options;
    options.Chunks.Time = TPngTimeSource::None;
    const std::vector<uint8_t> optimized = Optimize(image, options);

    // A plain save smaller than anything the optimizer finds is written as it is ...
    const std::vector<uint8_t> small(optimized.begin(), optimized.begin() + 20);
    int asked = 0;
    options.PlainSave = [&](TStream& stream) {
        ++asked;
        stream.WriteBuffer(small.data(), static_cast<int64_t>(small.size()));
    };
    EXPECT_EQ(Optimize(image, options), small);
    EXPECT_EQ(asked, 1);
    // ... a larger one loses, and one of the same size too.
    for (const size_t size : {optimized.size() + 1, optimized.size()}) {
        const std::vector<uint8_t> other(size, 0x55);
        options.PlainSave = [&](TStream& stream) { stream.WriteBuffer(other.data(), static_cast<int64_t>(other.size())); };
        EXPECT_EQ(Optimize(image, options), optimized) << size;
    }
}

// Entries after the last one a pixel uses are left out with trimUnused, and the alpha of unused
// entries no longer lengthens tRNS; order, indices and the alpha of used entries stay.
TEST(PngOptimize, UnusedTrailingPaletteEntriesAreLeftOut)
{
    TRGBQuad quads[8]{};
    for (int i = 0; i < 8; ++i) quads[i] = {static_cast<uint8_t>(30 * i), static_cast<uint8_t>(200 - 20 * i), 7, 0};
    const auto picture = [&](TBitmap& image, TBitmap& alpha, int highest, uint8_t usedAlpha) {
        image.SetPixelFormat(TPixelFormat::pf8bit);
        image.SetPalette(CreatePaletteFromQuads(quads, 8));
        image.SetSize(12, 4);
        alpha.SetPixelFormat(TPixelFormat::pf8bit);
        alpha.SetSize(12, 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 12; ++x) {
                const int index = x % (highest + 1);
                image.ScanLine(y)[x] = static_cast<uint8_t>(index);
                alpha.ScanLine(y)[x] = static_cast<uint8_t>(index == 1 ? 255 - usedAlpha : 0);
            }
    };
    // Index 5 is used by no pixel; the file gave it alpha 0.
    const std::vector<uint8_t> known = {255, 255, 255, 255, 255, 0};
    const struct {
        const char* Name;
        int Highest;
        uint8_t UsedAlpha;
        bool Trim;
        size_t Entries;
        std::vector<uint8_t> Transparency;
        int Depth;
    } cases[] = {
        {"kept whole", 2, 128, false, 8, {255, 128, 255, 255, 255, 0}, 4},
        {"trimmed to index 2", 2, 128, true, 3, {255, 128}, 2},
        {"trimmed, every used entry opaque", 2, 255, true, 3, {}, 2},
        {"trimmed to index 6, unused 5 opaque", 6, 128, true, 7, {255, 128}, 4},
        {"the last entry used: nothing to trim", 7, 128, true, 8, {255, 128}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TBitmap image, alpha;
        picture(image, alpha, c.Highest, c.UsedAlpha);
        TPngRaster raster;
        ASSERT_TRUE(KeptPaletteRaster(image, alpha, known, 0, raster, c.Trim));
        EXPECT_EQ(raster.Palette.size(), 3 * c.Entries);
        for (size_t i = 0; i < c.Entries && raster.Palette.size() == 3 * c.Entries; ++i)
            EXPECT_EQ(std::vector<uint8_t>(raster.Palette.begin() + 3 * i, raster.Palette.begin() + 3 * i + 3),
                      (std::vector<uint8_t>{quads[i].rgbRed, quads[i].rgbGreen, quads[i].rgbBlue})) << i;
        EXPECT_EQ(raster.Transparency, c.Transparency);
        EXPECT_EQ(raster.BitDepth, c.Depth);
        for (int x = 0; x < 12; ++x) {
            const int shift = 8 - c.Depth * (x % (8 / c.Depth) + 1);
            EXPECT_EQ((raster.Rows[static_cast<size_t>(x * c.Depth / 8)] >> shift) & ((1 << c.Depth) - 1), x % (c.Highest + 1)) << x;
        }
    }
}

TEST(PngOptimize, TinyImageDataIsCompressedWhenThatIsSmaller)
{
    // Rows of a few bytes: libdeflate passes data this short through as a stored block, which
    // costs five bytes more than the data; a fixed-code block is smaller.
    for (const int size : {4, 8, 12}) {
        SCOPED_TRACE(size);
        TBitmap image;
        TwoColours(image, size, size);
        TPngOptimizeOptions options;
        options.Chunks.Strip = true;
        const std::vector<uint8_t> file = Optimize(image, options);
        const std::vector<test::Chunk> chunks = test::ParseChunks(file);
        const test::Chunk* idat = test::FindChunk(chunks, "IDAT");
        ASSERT_NE(idat, nullptr);
        ASSERT_GT(idat->Data.size(), 2u);
        const int blockType = (idat->Data[2] >> 1) & 3;
        EXPECT_NE(blockType, 0) << "a stored block";
        const test::Decoded decoded = test::DecodeWithLibpng(file);
        ASSERT_TRUE(decoded.Ok) << decoded.Error;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) ASSERT_EQ(decoded.Pixel(x, y)[0], (x + y) % 3 == 0 ? 255 : 0);
    }
}

TEST(PngOptimize, KeptZlibCompressorsCompressAsNewOnes)
{
    // Each thread keeps a zlib compressor between streams: after other data at other levels and
    // strategies it must give the bytes a new one gives.
    std::vector<uint8_t> first(70000), second(20000);
    for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(i * 7 % 251);
    // Small values of noise, as filtered rows: short matches, which the strategies treat apart.
    uint32_t seed = 5;
    for (uint8_t& b : second) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 28);
    const auto onNewThread = [](const std::function<void()>& work) { std::thread(work).join(); };
    std::vector<uint8_t> fresh, freshFiltered, reused, reusedFiltered;
    onNewThread([&] { fresh = ZlibCompress(second, 9); });
    onNewThread([&] { freshFiltered = ZlibCompress(second, 9, true); });
    onNewThread([&] {
        for (const int level : {1, 9})
            for (const bool filtered : {true, false}) ZlibCompress(first, level, filtered);
        reusedFiltered = ZlibCompress(second, 9, true);
        reused = ZlibCompress(second, 9);
    });
    EXPECT_EQ(reused, fresh);
    EXPECT_EQ(reusedFiltered, freshFiltered);
    EXPECT_NE(fresh, freshFiltered) << "the strategies give other bytes here, so each is taken";
    for (const std::vector<uint8_t>* stream : {&reused, &reusedFiltered}) {
        std::vector<uint8_t> back(second.size());
        uLongf length = static_cast<uLongf>(back.size());
        ASSERT_EQ(uncompress(back.data(), &length, stream->data(), static_cast<uLong>(stream->size())), Z_OK);
        EXPECT_EQ(back, second);
    }
}

TEST(PngOptimize, ProgressRisesToTheEndOnEveryThreadCount)
{
    TBitmap image;
    TwoColours(image, 64, 48);
    for (const unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(threads);
        TPngOptimizeOptions options;
        options.Threads = threads;
        options.Chunks.Time = TPngTimeSource::None;
        options.PlainSave = [](TStream& stream) { stream.WriteBuffer("x", 1); };
        std::vector<double> told;
        options.Progress = [&](double done) { told.push_back(done); };
        Optimize(image, options);
        ASSERT_GT(told.size(), 3u);
        EXPECT_EQ(told.front(), 0.0);
        EXPECT_EQ(told.back(), 1.0);
        EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
        EXPECT_EQ(std::adjacent_find(told.begin(), told.end()), told.end()) << "each call further than the last";
    }
}

} // namespace
} // namespace tintabrel
