// The reader's row decoding against libpng on noisy pictures that libpng encodes with each row
// filter alone and with its own choice: RGB and RGBA at 8 and 16 bits, rows wide and narrow,
// image data cut into libpng's small chunks. And the same reads with the image data inflated
// ahead on a second thread, on sound and on damaged files.
#include <gtest/gtest.h>

#include <png.h>

#include <csetjmp>
#include <exception>
#include <string>
#include <vector>

#include "base/Streams.h"
#include "png/VRQPNGReadStream.h"
#include "tests/TestData.h"
#include "tests/png/PngWriteTestSupport.h"

namespace tintabrel {
namespace {

void Append(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void NoFlush(png_structp) {}

// Noisy gradients: every predictor and every tie of Paeth turns up.
std::vector<uint8_t> Samples(int w, int h, int channels, int depth)
{
    test::Lcg rnd{static_cast<uint32_t>(w * 31 + h * 7 + channels + depth)};
    const int bytes = depth / 8;
    std::vector<uint8_t> s(static_cast<size_t>(w) * h * channels * bytes);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels * bytes; ++c) {
                const size_t i = ((static_cast<size_t>(y) * w + x) * channels * bytes) + c;
                s[i] = static_cast<uint8_t>((rnd.Next() % 3 == 0 ? rnd.Next() : x * (c + 1) + y * 3) & 0xFF);
            }
    return s;
}

std::vector<uint8_t> EncodeWithLibpng(const std::vector<uint8_t>& samples, int w, int h, int channels, int depth,
                                      int filters, bool interlaced)
{
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, Append, NoFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), depth,
                 channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
    png_write_info(png, info);
    const int passes = interlaced ? png_set_interlace_handling(png) : 1;
    const size_t stride = static_cast<size_t>(w) * channels * depth / 8;
    for (int pass = 0; pass < passes; ++pass)
        for (int y = 0; y < h; ++y) png_write_row(png, const_cast<png_bytep>(&samples[y * stride]));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

struct TFilterCase {
    const char* Name;
    int Filters;
};

const TFilterCase Filters[] = {{"none", PNG_FILTER_NONE}, {"sub", PNG_FILTER_SUB},   {"up", PNG_FILTER_UP},
                               {"average", PNG_FILTER_AVG}, {"paeth", PNG_FILTER_PAETH}, {"all", PNG_ALL_FILTERS}};

struct TShape {
    int W, H, Channels, Depth;
    bool Interlaced = false;
};

TEST(PngReadFilters, EveryFilterDecodesAsLibpngDecodes)
{
    // 22000 RGB pixels make a row wider than the reader stages, so it is inflated in place;
    // interlaced, the narrow early passes are staged and the wide last one takes what they left.
    const TShape shapes[] = {{301, 40, 3, 8},  {173, 31, 4, 8},  {97, 23, 3, 16},
                             {61, 17, 4, 16},  {22000, 3, 3, 8}, {22000, 9, 3, 8, true}};
    for (const TShape& s : shapes)
        for (const TFilterCase& f : Filters) {
            SCOPED_TRACE(std::to_string(s.W) + "x" + std::to_string(s.H) + " channels " + std::to_string(s.Channels) +
                         " depth " + std::to_string(s.Depth) + (s.Interlaced ? " interlaced" : "") + " filter " + f.Name);
            const std::vector<uint8_t> file =
                EncodeWithLibpng(Samples(s.W, s.H, s.Channels, s.Depth), s.W, s.H, s.Channels, s.Depth, f.Filters,
                                 s.Interlaced);
            ASSERT_FALSE(file.empty());
            const test::Decoded expected = test::DecodeWithLibpng(file);
            ASSERT_TRUE(expected.Ok) << expected.Error;

            TMemoryStream stream(file);
            TBitmap bitmap, alpha;
            TVRQPNGReadStream reader;
            reader.AlphaTarget = &alpha;
            reader.ReadFromStream(&bitmap, stream, 0);
            ASSERT_EQ(bitmap.Width(), s.W);
            ASSERT_EQ(bitmap.Height(), s.H);
            ASSERT_EQ(bitmap.PixelFormat(), TPixelFormat::pf24bit);
            ASSERT_EQ(reader.AlphaPlane() != nullptr, s.Channels == 4);
            int wrong = 0;
            for (int y = 0; y < s.H; ++y) {
                const uint8_t* row = bitmap.ConstScanLine(y);
                const uint8_t* a = s.Channels == 4 ? reader.AlphaPlane()->ConstScanLine(y) : nullptr;
                for (int x = 0; x < s.W; ++x) {
                    const uint8_t* e = expected.Pixel(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
                    if (row[3 * x] != e[2] || row[3 * x + 1] != e[1] || row[3 * x + 2] != e[0] ||
                        (a && a[x] != 255 - e[3]))
                        ++wrong;
                }
            }
            EXPECT_EQ(wrong, 0);
        }
}

TEST(PngReadFilters, InterlacedPaletteWithAlphaPerIndex)
{
    // Adam7 rows of a palette whose tRNS needs an alpha plane: the plane is filled from the
    // indices after the image data, not from converted rows (which palette rows do not have).
    const std::vector<unsigned char> bytes = test::ReadFileBytes(test::DataPath("fuzz/PngLoadFuzz/interlaced-palette-alpha.png"));
    const std::vector<uint8_t> file(bytes.begin(), bytes.end());
    const test::Decoded expected = test::DecodeWithLibpng(file);
    ASSERT_TRUE(expected.Ok) << expected.Error;
    ASSERT_EQ(expected.Interlace, 1);

    TMemoryStream stream(file);
    TBitmap bitmap, alpha;
    TVRQPNGReadStream reader;
    reader.AlphaTarget = &alpha;
    reader.ReadFromStream(&bitmap, stream, 0);
    ASSERT_EQ(bitmap.Width(), static_cast<int32_t>(expected.Width));
    ASSERT_NE(reader.AlphaPlane(), nullptr);
    int wrong = 0;
    for (uint32_t y = 0; y < expected.Height; ++y)
        for (uint32_t x = 0; x < expected.Width; ++x) {
            const TColor c = bitmap.Pixel(static_cast<int32_t>(x), static_cast<int32_t>(y));
            const uint8_t* e = expected.Pixel(x, y);
            const uint8_t a = reader.AlphaPlane()->ConstScanLine(static_cast<int32_t>(y))[x];
            if (RedOf(c) != e[0] || GreenOf(c) != e[1] || BlueOf(c) != e[2] || a != 255 - e[3]) ++wrong;
        }
    EXPECT_EQ(wrong, 0);
}

// ---------------------------------------------------------------- inflating ahead

// A stream (not read in place, as memory is) whose reads fail once they reach a given
// position, as a disk error would.
class TFailingStream : public TStream {
public:
    TFailingStream(const std::vector<uint8_t>& bytes, int64_t failAt) : bytes_(bytes), failAt_(failAt) {}
    int64_t Read(void* buffer, int64_t count) override
    {
        if (bytes_.Position() + count > failAt_) throw EReadError("disk error");
        return bytes_.Read(buffer, count);
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override { return bytes_.Seek(offset, origin); }

private:
    TMemoryStream bytes_;
    int64_t failAt_;
};

// What one read gives: its error, or the picture, its alpha and the comment after the image data.
struct TOutcome {
    std::string Error;
    int32_t Width = 0, Height = 0;
    std::vector<uint8_t> Pixels, Alpha;
    std::string Comment;
    std::vector<int> Progress;
};

TOutcome ReadWith(const std::vector<uint8_t>& file, int32_t threads, int64_t failAt = -1)
{
    TOutcome out;
    TFailingStream stream(file, failAt < 0 ? static_cast<int64_t>(file.size()) : failAt);
    TBitmap bitmap, alpha;
    bitmap.OnProgress = [&out](const TGraphic&, TProgressStage, uint8_t percent, bool, const TRect&, const std::string&) {
        out.Progress.push_back(percent);
    };
    TVRQPNGReadStream reader;
    reader.Threads = threads;
    reader.AlphaTarget = &alpha;
    try {
        reader.ReadFromStream(&bitmap, stream, 0);
    } catch (const std::exception& e) {
        out.Error = e.what();
        return out;
    }
    out.Width = bitmap.Width();
    out.Height = bitmap.Height();
    out.Comment = reader.Comment;
    const auto rows = [](const TBitmap& b, std::vector<uint8_t>& to) {
        const size_t bytes = static_cast<size_t>(b.Width()) * BitsOfPixelFormat(b.PixelFormat()) / 8;
        for (int32_t y = 0; y < b.Height(); ++y) to.insert(to.end(), b.ConstScanLine(y), b.ConstScanLine(y) + bytes);
    };
    rows(bitmap, out.Pixels);
    if (reader.AlphaPlane()) rows(*reader.AlphaPlane(), out.Alpha);
    return out;
}

// The file with a comment between the image data and its end.
std::vector<uint8_t> WithCommentAfterImage(std::vector<uint8_t> file)
{
    const std::string text = std::string("Comment") + '\0' + "after the image";
    std::vector<uint8_t> chunk = {0, 0, 0, static_cast<uint8_t>(text.size()), 't', 'E', 'X', 't'};
    chunk.insert(chunk.end(), text.begin(), text.end());
    const uint32_t crc = static_cast<uint32_t>(crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4)));
    for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(static_cast<uint8_t>(crc >> shift));
    file.insert(file.end() - 12, chunk.begin(), chunk.end());
    return file;
}

void ExpectSameOutcome(const TOutcome& one, const TOutcome& two)
{
    EXPECT_EQ(two.Error, one.Error);
    EXPECT_EQ(two.Width, one.Width);
    EXPECT_EQ(two.Height, one.Height);
    EXPECT_TRUE(two.Pixels == one.Pixels);
    EXPECT_TRUE(two.Alpha == one.Alpha);
    EXPECT_EQ(two.Comment, one.Comment);
    EXPECT_EQ(two.Progress, one.Progress);
}

TEST(PngReadFilters, InflatingAheadReadsWhatOneThreadReads)
{
    // Each picture holds over 1 MiB of rows, enough for the second thread: plain and Adam7, with
    // and without alpha, and one row wider than the blocks the thread hands over.
    const TShape shapes[] = {{700, 520, 3, 8}, {420, 330, 4, 16, true}, {400000, 1, 3, 8}};
    for (const TShape& s : shapes) {
        SCOPED_TRACE(std::to_string(s.W) + "x" + std::to_string(s.H));
        const std::vector<uint8_t> file = WithCommentAfterImage(EncodeWithLibpng(
            Samples(s.W, s.H, s.Channels, s.Depth), s.W, s.H, s.Channels, s.Depth, PNG_ALL_FILTERS, s.Interlaced));
        const TOutcome one = ReadWith(file, 1);
        ASSERT_EQ(one.Error, "");
        ASSERT_EQ(one.Comment, "after the image\r\n");
        ExpectSameOutcome(one, ReadWith(file, 2));
    }
}

TEST(PngReadFilters, InflatingAheadFailsAsOneThreadFails)
{
    const int w = 700, h = 520;
    const std::vector<uint8_t> file =
        EncodeWithLibpng(Samples(w, h, 3, 8), w, h, 3, 8, PNG_ALL_FILTERS, false);
    const std::vector<test::Chunk> chunks = test::ParseChunks(file);
    // Cut inside the image data, damaged compressed bytes, a disk error while reading it.
    struct TDamage {
        const char* Name;
        size_t CutAt = 0;
        size_t FlipAt = 0;
        int64_t FailAt = -1;
    };
    const TDamage damages[] = {{"cut early", file.size() / 5},   {"cut late", file.size() - 40},
                               {"flipped early", 0, 300},        {"flipped late", 0, file.size() - 5000},
                               {"disk error", 0, 0, 200000}};
    ASSERT_GT(chunks.size(), 3u);
    for (const TDamage& d : damages) {
        SCOPED_TRACE(d.Name);
        std::vector<uint8_t> damaged = file;
        if (d.CutAt) damaged.resize(d.CutAt);
        if (d.FlipAt) damaged[d.FlipAt] ^= 0x5A;
        const TOutcome one = ReadWith(damaged, 1, d.FailAt);
        if (d.CutAt || d.FailAt >= 0) {
            EXPECT_NE(one.Error, "");
        }
        ExpectSameOutcome(one, ReadWith(damaged, 2, d.FailAt));
    }
}

} // namespace
} // namespace tintabrel
