// The reader's row decoding against libpng on noisy pictures that libpng encodes with each row
// filter alone and with its own choice: RGB and RGBA at 8 and 16 bits, rows wide and narrow,
// image data cut into libpng's small chunks.
#include <gtest/gtest.h>

#include <png.h>

#include <csetjmp>
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

} // namespace
} // namespace tintabrel
