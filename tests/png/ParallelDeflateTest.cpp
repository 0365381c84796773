// Deflate on several threads: the segments make one zlib stream whatever the segment count and
// thread count, and a PNG written that way decodes (libpng) to the same pixels as one written
// as a single stream, passes pngcheck, and is hardly larger.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "png/ParallelDeflate.h"
#include "png/VRQPNGWriteStream.h"
#include "tests/png/PngWriteTestSupport.h"

namespace tintabrel {
namespace {

// Text-like runs (long matches across segment edges) mixed with noise.
std::vector<uint8_t> SampleBytes(size_t size)
{
    std::vector<uint8_t> data(size);
    test::Lcg rnd{7};
    const std::string phrase = "the quick brown sprite jumps over the lazy tile sheet; ";
    for (size_t i = 0; i < size; ++i)
        data[i] = (i / 4096) % 3 == 2 ? rnd.Next() : static_cast<uint8_t>(phrase[i % phrase.size()]);
    return data;
}

struct TCompressed {
    std::vector<uint8_t> Stream;
    std::vector<size_t> Blocks;
    int Segments = 0;
};

TCompressed Compress(const std::vector<uint8_t>& data, int threads, size_t segmentBytes, size_t blockSize)
{
    TCompressed out;
    TParallelDeflate deflate(6, threads, segmentBytes, blockSize, [&](const uint8_t* p, size_t n) {
        out.Stream.insert(out.Stream.end(), p, p + n);
        out.Blocks.push_back(n);
    });
    // Uneven pieces, as rows arrive.
    for (size_t pos = 0; pos < data.size();) {
        const size_t n = std::min<size_t>(data.size() - pos, 1000 + pos % 777);
        deflate.Write(data.data() + pos, n);
        pos += n;
    }
    deflate.Finish();
    out.Segments = deflate.Segments();
    return out;
}

// zlib's own inflate checks the header and the Adler-32 trailer.
std::vector<uint8_t> Inflate(const std::vector<uint8_t>& stream, size_t size)
{
    std::vector<uint8_t> out(size + 1);
    uLongf length = static_cast<uLongf>(out.size());
    const int r = uncompress(out.data(), &length, stream.data(), static_cast<uLong>(stream.size()));
    if (r != Z_OK) throw std::runtime_error("inflate failed: " + std::to_string(r));
    out.resize(length);
    return out;
}

TEST(ParallelDeflate, SegmentsJoinIntoOneZlibStream)
{
    const std::vector<uint8_t> data = SampleBytes(300001);
    // Segment sizes giving 1, 2, 3, 8 and 31 segments: each but the last is left open after its
    // final block, wherever in a byte that block's flag lies.
    const struct {
        size_t SegmentBytes;
        int Segments;
    } cases[] = {{300001, 1}, {150001, 2}, {100001, 3}, {37501, 8}, {10000, 31}};
    for (const auto& c : cases) {
        SCOPED_TRACE("segment bytes " + std::to_string(c.SegmentBytes));
        const TCompressed one = Compress(data, 1, c.SegmentBytes, 4096);
        EXPECT_EQ(one.Segments, c.Segments);
        EXPECT_EQ(Inflate(one.Stream, data.size()), data);
        // Full blocks but the last.
        for (size_t i = 0; i + 1 < one.Blocks.size(); ++i) ASSERT_EQ(one.Blocks[i], 4096u);
        ASSERT_GT(one.Blocks.back(), 0u);
        // The threads change nothing in the bytes.
        for (int threads : {2, 4}) EXPECT_EQ(Compress(data, threads, c.SegmentBytes, 4096).Stream, one.Stream);
    }
    // Segments large enough that the compressor ends several blocks in each: only the last
    // block's flag is cleared.
    const std::vector<uint8_t> large = SampleBytes(3000001);
    const TCompressed two = Compress(large, 2, 1500001, 32768);
    EXPECT_EQ(two.Segments, 2);
    EXPECT_EQ(Inflate(two.Stream, large.size()), large);
}

TEST(ParallelDeflate, EmptyInputIsAnEmptyStream)
{
    const TCompressed c = Compress({}, 2, 1000, 256);
    EXPECT_EQ(c.Segments, 1);
    EXPECT_EQ(Inflate(c.Stream, 0), std::vector<uint8_t>{});
}

TEST(ParallelDeflate, AFailingSinkStopsTheStreamAndTheThreads)
{
    const std::vector<uint8_t> data = SampleBytes(200000);
    int calls = 0;
    auto run = [&] {
        TParallelDeflate deflate(6, 3, 20000, 256, [&](const uint8_t*, size_t) {
            if (++calls == 3) throw std::runtime_error("disk full");
        });
        deflate.Write(data.data(), data.size());
        deflate.Finish();
    };
    EXPECT_THROW(run(), std::runtime_error);
    EXPECT_EQ(calls, 3);
}

// ---------------------------------------------------------------- through the PNG writer

// A photo-like 24-bit picture: gradients with a little noise.
void MakePicture(TBitmap& b, int w, int h, uint32_t seed)
{
    test::Lcg rnd{seed};
    b.SetPixelFormat(TPixelFormat::pf24bit);
    b.SetSize(w, h);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < w; ++x) {
            const int noise = rnd.Next() & 7;
            row[3 * x] = static_cast<uint8_t>(x * 255 / w + noise);
            row[3 * x + 1] = static_cast<uint8_t>(y * 255 / h + noise);
            row[3 * x + 2] = static_cast<uint8_t>((x + y) / 4 + noise);
        }
    }
}

void MakeAlpha(TBitmap& a, int w, int h)
{
    a.SetPixelFormat(TPixelFormat::pf8bit);
    a.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) a.ScanLine(y)[x] = static_cast<uint8_t>((x * 3 + y) % 256);
}

std::vector<uint8_t> Write(const TBitmap& image, const TBitmap* alpha, bool interlace, int threads,
                           int64_t segmentBytes)
{
    TVRQPNGWriteStream writer;
    writer.CompressionLevel = 6;
    writer.Interlace = interlace ? 1 : 0;
    writer.UseCurrentTime = false;
    writer.AlphaBitmap = alpha;
    writer.Parallel.Threads = threads;
    writer.Parallel.MinPixels = 0;
    writer.Parallel.SegmentBytes = segmentBytes;
    TMemoryStream stream;
    writer.WriteToStream(image, stream);
    return stream.Bytes();
}

struct TPictureCase {
    const char* Name;
    int W, H;
    bool Alpha, Interlace;
};

class ParallelPng : public testing::TestWithParam<TPictureCase> {};

TEST_P(ParallelPng, DecodesToTheSamePixelsForEverySegmentCount)
{
    const TPictureCase& c = GetParam();
    TBitmap image, alpha;
    MakePicture(image, c.W, c.H, 11u + static_cast<uint32_t>(c.W));
    if (c.Alpha) MakeAlpha(alpha, c.W, c.H);
    const TBitmap* a = c.Alpha ? &alpha : nullptr;

    const test::Decoded single = test::DecodeWithLibpng(Write(image, a, c.Interlace, 1, 0));
    ASSERT_TRUE(single.Ok) << single.Error;
    ASSERT_EQ(single.Width, static_cast<uint32_t>(c.W));
    // What libpng gives back is the picture itself.
    for (int y = 0; y < c.H; y += 7)
        for (int x = 0; x < c.W; x += 5) {
            const uint8_t* p = single.Pixel(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
            const uint8_t* s = image.ScanLine(y) + 3 * x;
            ASSERT_EQ((std::vector<int>{p[0], p[1], p[2], p[3]}),
                      (std::vector<int>{s[2], s[1], s[0], c.Alpha ? 255 - alpha.ScanLine(y)[x] : 255}));
        }

    const int bytesPerPixel = c.Alpha ? 4 : 3;
    const uint64_t rowLength = static_cast<uint64_t>(c.W) * bytesPerPixel + 1;
    const uint64_t total = rowLength * static_cast<uint64_t>(c.H); // rows of all passes: more when interlaced
    test::TempDir dir;
    for (int segments : {1, 2, 3, 8}) {
        SCOPED_TRACE(std::to_string(segments) + " segments");
        const int64_t segmentBytes = static_cast<int64_t>((total + segments - 1) / segments);
        if (segments > 1 && !c.Interlace) {
            ASSERT_NE(segmentBytes % static_cast<int64_t>(rowLength), 0) << "edges must fall inside rows";
        }
        const std::vector<uint8_t> file = Write(image, a, c.Interlace, 3, segmentBytes);
        const test::Decoded parallel = test::DecodeWithLibpng(file);
        ASSERT_TRUE(parallel.Ok) << parallel.Error;
        EXPECT_EQ(parallel.Rgba, single.Rgba);
        if (test::HavePngcheck()) {
            EXPECT_EQ(test::PngcheckErrors(file, dir.File("out.png")), "");
        }
        // IDAT chunks full but the last, as in a single stream.
        std::vector<size_t> idat;
        for (const test::Chunk& chunk : test::ParseChunks(file))
            if (chunk.Type == "IDAT") idat.push_back(chunk.Data.size());
        ASSERT_FALSE(idat.empty());
        for (size_t i = 0; i + 1 < idat.size(); ++i) EXPECT_EQ(idat[i], 32768u);
    }
}

INSTANTIATE_TEST_SUITE_P(Pictures, ParallelPng,
                         testing::Values(TPictureCase{"rgb", 997, 61, false, false},
                                         TPictureCase{"single_row", 20000, 1, false, false},
                                         TPictureCase{"rgba", 301, 53, true, false},
                                         TPictureCase{"interlaced", 257, 67, false, true}),
                         [](const testing::TestParamInfo<TPictureCase>& info) { return info.param.Name; });

TEST(ParallelPngWrite, CuttingCostsAtMostAWindowASegment)
{
    // A segment starts without the window before it: on a photo that costs almost nothing; on a
    // picture whose rows repeat a tile of noise, at most the tile once more per segment (a
    // window's worth), and segments are a megabyte or more in a real file.
    TBitmap photo, tiles;
    MakePicture(photo, 640, 480, 3);
    tiles.SetPixelFormat(TPixelFormat::pf24bit);
    tiles.SetSize(640, 480);
    test::Lcg rnd{9};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 640 * 3; ++x) tiles.ScanLine(y)[x] = rnd.Next();
    for (int y = 8; y < 480; ++y) std::copy_n(tiles.ScanLine(y % 8), 640 * 3, tiles.ScanLine(y));
    const size_t photoSingle = Write(photo, nullptr, false, 1, 0).size();
    EXPECT_LE(Write(photo, nullptr, false, 2, 640 * 3 * 480 / 8 + 1).size(), photoSingle * 101 / 100);
    const size_t tilesSingle = Write(tiles, nullptr, false, 1, 0).size();
    EXPECT_LE(Write(tiles, nullptr, false, 2, 640 * 3 * 480 / 8 + 1).size(), tilesSingle + 8 * 32768);
}

TEST(ParallelPngWrite, SmallPicturesKeepTheSingleStreamOnAnyThreads)
{
    TBitmap image;
    MakePicture(image, 200, 100, 5);
    auto write = [&](int threads, int64_t minPixels) {
        TVRQPNGWriteStream writer;
        writer.UseCurrentTime = false;
        writer.Parallel.Threads = threads;
        writer.Parallel.MinPixels = minPixels;
        writer.Parallel.SegmentBytes = 5000;
        TMemoryStream stream;
        writer.WriteToStream(image, stream);
        return stream.Bytes();
    };
    const std::vector<uint8_t> single = write(1, 200 * 100 + 1);
    EXPECT_EQ(write(4, 200 * 100 + 1), single);
    // At the threshold the segments start, with one thread as with four.
    const std::vector<uint8_t> segmented = write(1, 200 * 100);
    EXPECT_NE(segmented, single);
    EXPECT_EQ(write(4, 200 * 100), segmented);
}

TEST(ParallelPngWrite, ALargePictureHasTheSameBytesOnEveryThreadCount)
{
    // Over the default threshold, with the default segment size.
    TBitmap image;
    MakePicture(image, 1100, 1000, 13);
    auto write = [&](int threads) {
        TVRQPNGWriteStream writer;
        writer.UseCurrentTime = false;
        writer.CompressionLevel = 1;
        writer.Parallel.Threads = threads;
        TMemoryStream stream;
        writer.WriteToStream(image, stream);
        return stream.Bytes();
    };
    const std::vector<uint8_t> one = write(1);
    for (const int threads : {2, 3, 4, 8}) EXPECT_EQ(write(threads), one) << threads << " threads";

    // One thread cuts it into segments too: the writer's compressor is the segmented one.
    const uint64_t total = uint64_t{1000} * (1100 * 3 + 1);
    TParallelDeflateSettings settings;
    settings.Threads = 1;
    const std::unique_ptr<TParallelDeflate> deflate =
        MakeParallelDeflate(settings, 1100 * 1000, total, 1, 32768, [](const uint8_t*, size_t) {});
    ASSERT_NE(deflate, nullptr);
    const std::vector<uint8_t> row(1100 * 3 + 1, 7);
    for (int y = 0; y < 1000; ++y) deflate->Write(row.data(), row.size());
    deflate->Finish();
    EXPECT_GT(deflate->Segments(), 1);
    EXPECT_EQ(TParallelDeflate::SegmentSizeFor(total), size_t{1} << 20);
    EXPECT_EQ(TParallelDeflate::SegmentSizeFor(uint64_t{4096} * 4096 * 3 * 2), size_t{3} << 20);
}

} // namespace
} // namespace tintabrel
