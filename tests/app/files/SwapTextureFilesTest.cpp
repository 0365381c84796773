#include "app/SwapTextureFiles.h"
#include "app/PictureFormats.h"

#include "base/Streams.h"
#include "recolour/ColourMap.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <stdexcept>
#include <vector>

namespace tintabrel {
namespace {

// A PNG as libpng decodes it, samples as stored (16-bit ones high byte first).
struct TDecoded {
    uint32_t Width = 0, Height = 0;
    int BitDepth = 0, ColourType = -1;
    std::vector<std::vector<uint8_t>> Rows;
};

TDecoded DecodeWithLibpng(const std::vector<uint8_t>& bytes)
{
    TDecoded d;
    test::TPngMemorySource source{bytes.data(), bytes.size(), 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw std::runtime_error("libpng refused the file");
    }
    png_set_read_fn(png, &source, test::TPngMemorySource::Read);
    png_read_info(png, info);
    d.Width = png_get_image_width(png, info);
    d.Height = png_get_image_height(png, info);
    d.BitDepth = png_get_bit_depth(png, info);
    d.ColourType = png_get_color_type(png, info);
    d.Rows.assign(d.Height, std::vector<uint8_t>(png_get_rowbytes(png, info)));
    for (auto& row : d.Rows) rows.push_back(row.data());
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return d;
}

TPictureData Distinct(int32_t width, int32_t height)
{
    TPictureData data;
    data.Image.SetPixelFormat(TPixelFormat::pf24bit);
    data.Image.SetSize(width, height);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const int32_t i = (y * width + x) / 2; // two pixels of each colour
            data.Image.SetPixel(x, y, MakeColor(static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 40));
        }
    return data;
}

// The index picture is grey of 8 bits up to 256 colours and of 16 above, as libpng reads it, for
// every filter; the lut file loads back to the lut.
TEST(SwapTextureFiles, IndexIsGreyOf8Or16Bits)
{
    for (const int32_t width : {20, 300}) // 200 and 3000 colours
        for (const int32_t filter : {0, 1, 5}) {
            SCOPED_TRACE(testing::Message() << width << " filter " << filter);
            const TPictureData picture = Distinct(width, 20);
            TPictureData mapped;
            MapColours(picture, mapped, TColourMap({MakeColor(0, 0, 40)}, {clWhite}), TProtectedColors());
            const TSwapTexture texture = BuildSwapTexture(picture, {&mapped});
            TPNGSaveOptions options;
            options.Filter = FilterOfMode(filter);
            options.Time = TPngTimeSource::None;
            TMemoryStream stream;
            WriteSwapIndexPng(stream, texture, options);
            const TDecoded index = DecodeWithLibpng(stream.Bytes());
            const int bits = width == 20 ? 8 : 16;
            ASSERT_EQ(texture.IndexBits(), bits);
            EXPECT_EQ(index.BitDepth, bits);
            EXPECT_EQ(index.ColourType, PNG_COLOR_TYPE_GRAY);
            ASSERT_EQ(index.Width, static_cast<uint32_t>(width));
            ASSERT_EQ(index.Height, 20u);
            for (uint32_t y = 0; y < index.Height; ++y)
                for (uint32_t x = 0; x < index.Width; ++x) {
                    const uint32_t sample = bits == 8 ? index.Rows[y][x] : index.Rows[y][2 * x] << 8 | index.Rows[y][2 * x + 1];
                    ASSERT_EQ(sample, (y * index.Width + x) / 2) << x << "," << y;
                }

            test::TempDir dir;
            EXPECT_GT(SaveSwapTexture(dir.File("a_lut.png"), dir.File("a_index.png"), texture, options), 0);
            EXPECT_EQ(test::ReadFileBytes(dir.File("a_index.png")), stream.Bytes());
            TPictureData lut;
            LoadPicture(dir.File("a_lut.png"), PngFormat(), lut);
            ASSERT_EQ(lut.Image.Width(), texture.Columns());
            ASSERT_EQ(lut.Image.Height(), 2);
            ASSERT_TRUE(lut.HasAlpha());
            for (int32_t r = 0; r < 2; ++r)
                for (int32_t c = 0; c < texture.Columns(); ++c) {
                    ASSERT_EQ(lut.Image.Pixel(c, r), texture.Lut.Image.Pixel(c, r));
                    ASSERT_EQ(lut.Alpha.ConstScanLine(r)[c], texture.Lut.Alpha.ConstScanLine(r)[c]);
                }
            EXPECT_EQ(lut.Image.Pixel(0, 1), clWhite);
        }
}

} // namespace
} // namespace tintabrel
