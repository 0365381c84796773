// Palette swaps as files: what a map or a remap leaves is saved as the palette PNG it should be,
// read back by libpng with its indices as stored.
#include "app/PictureFiles.h"
#include "app/PictureFormats.h"
#include "recolour/ColourMap.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <stdexcept>
#include <vector>

namespace tintabrel {
namespace {

// A palette PNG as libpng reads it, nothing expanded: indices packed as stored, PLTE, tRNS.
struct TPalettePng {
    int BitDepth = 0, ColourType = -1;
    uint32_t Width = 0, Height = 0;
    std::vector<std::vector<uint8_t>> Rows;
    std::vector<TColor> Palette;
    std::vector<uint8_t> Transparency;
};

TPalettePng ReadPalettePng(const std::string& path)
{
    const std::vector<unsigned char> bytes = test::ReadFileBytes(path);
    TPalettePng d;
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
    png_colorp palette = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &palette, &count))
        for (int i = 0; i < count; ++i) d.Palette.push_back(MakeColor(palette[i].red, palette[i].green, palette[i].blue));
    png_bytep alpha = nullptr;
    int alphaCount = 0;
    if (png_get_tRNS(png, info, &alpha, &alphaCount, nullptr)) d.Transparency.assign(alpha, alpha + alphaCount);
    d.Rows.assign(d.Height, std::vector<uint8_t>(png_get_rowbytes(png, info)));
    for (auto& row : d.Rows) rows.push_back(row.data());
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return d;
}

// A 4-bit palette PNG with tRNS through a map: the same index rows, the same palette length and
// tRNS, the entries FROM matched replaced by TO's.
TEST(PaletteSwapSave, MappedPalettePngKeepsItsIndexRows)
{
    test::TempDir dir;
    const std::vector<TColor> entries = {clBlue, MakeColor(0, 0, 128), clWhite, MakeColor(30, 30, 200), clBlack};
    TPictureData picture;
    picture.Image.SetPixelFormat(TPixelFormat::pf4bit);
    picture.Image.SetSize(9, 4);
    TPalette palette;
    for (const TColor c : entries) palette.Add(RedOf(c), GreenOf(c), BlueOf(c));
    picture.Image.SetPalette(palette);
    picture.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    picture.Alpha.SetSize(9, 4);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 9; ++x) {
            const uint8_t index = static_cast<uint8_t>((x + 2 * y) % 5);
            PutPackedIndex(picture.Image.ScanLine(y), 4, x, index);
            picture.Alpha.ScanLine(y)[x] = index == 4 ? 255 : index == 1 ? 100 : 0;
        }
    const std::string in = dir.File("in.png");
    SavePicture(in, PngFormat(), picture);
    TPictureData loaded;
    LoadPicture(in, PngFormat(), loaded);
    ASSERT_EQ(loaded.PaletteBits, 4);

    TPictureData mapped;
    MapColours(loaded, mapped, TColourMap({clBlue, MakeColor(0, 0, 128), MakeColor(30, 30, 200)},
                                          {clRed, MakeColor(128, 0, 0), MakeColor(200, 30, 30)}),
               TProtectedColors());
    const std::string out = dir.File("out.png");
    SavePicture(out, PngFormat(), mapped);

    const TPalettePng before = ReadPalettePng(in), after = ReadPalettePng(out);
    EXPECT_EQ(after.ColourType, PNG_COLOR_TYPE_PALETTE);
    EXPECT_EQ(after.BitDepth, before.BitDepth);
    EXPECT_EQ(after.Rows, before.Rows);
    EXPECT_EQ(after.Transparency, before.Transparency);
    EXPECT_EQ(after.Palette, std::vector<TColor>({clRed, MakeColor(128, 0, 0), clWhite, MakeColor(200, 30, 30), clBlack}));
}

// A remap saved: PLTE begins with the palette's entries in its order, used or not, at the
// smallest depth (2 bits for three entries), with tRNS where an entry is not opaque.
TEST(PaletteSwapSave, RemappedPictureSavesAsAPalettePngInThePalettesOrder)
{
    test::TempDir dir;
    TPictureData picture;
    picture.Image.SetPixelFormat(TPixelFormat::pf24bit);
    picture.Image.SetSize(4, 1);
    const TColor colours[] = {MakeColor(250, 10, 10), MakeColor(240, 240, 240), MakeColor(200, 0, 0), MakeColor(10, 10, 250)};
    for (int32_t x = 0; x < 4; ++x) picture.Image.SetPixel(x, 0, colours[x]);
    picture.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    picture.Alpha.SetSize(4, 1);
    const uint8_t transparency[] = {0, 0, 0, 155};
    for (int32_t x = 0; x < 4; ++x) picture.Alpha.ScanLine(0)[x] = transparency[x];

    TPictureData remapped;
    RemapColours(picture, remapped, TRemapPalette({clLime, clRed, clWhite, clBlue}), TProtectedColors());
    ASSERT_EQ(remapped.PaletteBits, 2);
    const std::string out = dir.File("remapped.png");
    SavePicture(out, PngFormat(), remapped);

    const TPalettePng png = ReadPalettePng(out);
    EXPECT_EQ(png.ColourType, PNG_COLOR_TYPE_PALETTE);
    EXPECT_EQ(png.BitDepth, 2);
    EXPECT_EQ(png.Palette, std::vector<TColor>({clLime, clRed, clWhite, clBlue}));
    EXPECT_EQ(png.Transparency, std::vector<uint8_t>({255, 255, 255, 100}));
    // Indices 1, 2, 1, 3 at two bits each.
    ASSERT_EQ(png.Rows.size(), 1u);
    EXPECT_EQ(png.Rows[0][0], 0b01100111);

    TPictureData back;
    LoadPicture(out, PngFormat(), back);
    EXPECT_EQ(back.PaletteBits, 2);
    for (int32_t x = 0; x < 4; ++x) EXPECT_EQ(back.Image.Pixel(x, 0), remapped.Image.Pixel(x, 0));
}

} // namespace
} // namespace tintabrel
