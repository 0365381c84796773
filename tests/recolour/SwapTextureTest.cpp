#include "recolour/SwapTexture.h"

#include "image/Graphics.h"
#include "image/PixelFormats.h"
#include "recolour/ColourMap.h"
#include "recolour/PaletteRecolour.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

// An RGBA sprite: a few colours in runs, one of them at three alphas, a transparent border whose
// hidden colour is black.
TPictureData Sprite(int32_t width, int32_t height)
{
    const TColor colours[] = {MakeColor(200, 30, 30), MakeColor(140, 20, 20), MakeColor(30, 60, 200),
                              MakeColor(240, 220, 90), MakeColor(90, 60, 30)};
    TPictureData data;
    data.Image.SetPixelFormat(TPixelFormat::pf24bit);
    data.Image.SetSize(width, height);
    data.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    data.Alpha.SetSize(width, height);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const bool border = x == 0 || y == 0 || x == width - 1 || y == height - 1;
            const TColor c = border ? clBlack : colours[static_cast<size_t>((x / 3 + y / 2) % 5)];
            data.Image.SetPixel(x, y, c);
            data.Alpha.ScanLine(y)[x] = border ? 255 : (c == colours[0] ? static_cast<uint8_t>(x % 3 * 60) : 0);
        }
    return data;
}

uint8_t TransparencyAt(const TPictureData& data, int32_t x, int32_t y)
{
    return data.HasAlpha() ? data.Alpha.ConstScanLine(y)[x] : 0;
}

uint16_t IndexAt(const TSwapTexture& t, int32_t x, int32_t y)
{
    return t.Index[static_cast<size_t>(y) * static_cast<size_t>(t.Width) + static_cast<size_t>(x)];
}

// For every variant k and pixel: lut[k + 1][index(x, y)] is the variant's pixel, colour and
// alpha; row 0 the picture's own.
void ExpectReconstructs(const TSwapTexture& t, const TPictureData& picture, const std::vector<const TPictureData*>& variants)
{
    ASSERT_EQ(t.Lut.Image.Height(), static_cast<int32_t>(variants.size() + 1));
    ASSERT_TRUE(AlphaPlaneFits(t.Lut.Image, t.Lut.Alpha));
    for (size_t k = 0; k <= variants.size(); ++k) {
        const TPictureData& expected = k == 0 ? picture : *variants[k - 1];
        for (int32_t y = 0; y < picture.Image.Height(); ++y)
            for (int32_t x = 0; x < picture.Image.Width(); ++x) {
                const int32_t column = IndexAt(t, x, y);
                const int32_t row = static_cast<int32_t>(k);
                ASSERT_EQ(t.Lut.Image.Pixel(column, row), expected.Image.Pixel(x, y)) << k << " " << x << "," << y;
                ASSERT_EQ(t.Lut.Alpha.ConstScanLine(row)[column], TransparencyAt(expected, x, y))
                    << k << " " << x << "," << y;
            }
    }
}

// Three variants of a sprite: an exact map, a remap (a palette picture), a hue window. Each is
// rebuilt pixel for pixel from the lut and the index picture.
TEST(SwapTexture, ReconstructsThreeVariantsPixelForPixel)
{
    const TPictureData sprite = Sprite(23, 17);
    TPictureData mapped, remapped, hue;
    MapColours(sprite, mapped, TColourMap({MakeColor(200, 30, 30), MakeColor(140, 20, 20)}, {clBlue, MakeColor(0, 0, 128)}),
               TProtectedColors());
    RemapColours(sprite, remapped, TRemapPalette({clBlack, clWhite, clRed, clLime, clBlue}), TProtectedColors());
    ASSERT_TRUE(IsPalettePicture(remapped.Image));
    RecolourPicture(sprite.Image, hue.Image, TProtectedColors(), THueWindow{240, 20, 120});
    hue.Alpha.Assign(sprite.Alpha);

    const std::vector<const TPictureData*> variants = {&mapped, &remapped, &hue};
    const TSwapTexture t = BuildSwapTexture(sprite, variants);
    // Black, the four colours at full alpha and red at two more.
    EXPECT_EQ(t.Columns(), 8);
    EXPECT_EQ(t.IndexBits(), 8);
    EXPECT_EQ(t.Width, 23);
    EXPECT_EQ(t.Height, 17);
    // First met first: the transparent black border, then the top-left inner colour.
    EXPECT_EQ(IndexAt(t, 0, 0), 0);
    EXPECT_EQ(IndexAt(t, 1, 1), 1);
    ExpectReconstructs(t, sprite, variants);

    // Without variants: row 0 alone.
    const TSwapTexture plain = BuildSwapTexture(sprite, {});
    ExpectReconstructs(plain, sprite, {});
}

// A palette picture's columns follow its indices: with distinct entries all used, the index
// picture is the picture's own indices.
TEST(SwapTexture, PalettePictureColumnsFollowItsIndices)
{
    TPictureData picture;
    picture.Image.SetPixelFormat(TPixelFormat::pf8bit);
    picture.Image.SetSize(4, 2);
    TBitmapImage& store = picture.Image.MutableImage();
    const TColor entries[] = {clRed, clLime, clBlue, clWhite};
    store.ColorTable.clear();
    TPalette palette;
    for (const TColor c : entries) {
        store.ColorTable.push_back({BlueOf(c), GreenOf(c), RedOf(c), 0});
        palette.Add(RedOf(c), GreenOf(c), BlueOf(c));
    }
    store.Palette = palette;
    const uint8_t indices[] = {3, 1, 1, 0, 2, 3, 0, 2};
    for (int32_t i = 0; i < 8; ++i) picture.Image.ScanLine(i / 4)[i % 4] = indices[i];
    picture.PaletteBits = 8;

    const TSwapTexture t = BuildSwapTexture(picture, {});
    for (int32_t i = 0; i < 8; ++i) EXPECT_EQ(IndexAt(t, i % 4, i / 4), indices[i]) << i;
    for (int32_t c = 0; c < 4; ++c) EXPECT_EQ(t.Lut.Image.Pixel(c, 0), entries[c]);

    // Read as any picture: first met.
    picture.PaletteBits = 0;
    const TSwapTexture firstMet = BuildSwapTexture(picture, {});
    EXPECT_EQ(firstMet.Lut.Image.Pixel(0, 0), clWhite);
    EXPECT_EQ(IndexAt(firstMet, 0, 0), 0);
}

// Over 256 colours the index needs 16 bits; over 65536 none can hold it.
TEST(SwapTexture, SixteenBitIndexAndItsLimit)
{
    const auto distinct = [](int32_t width, int32_t height) {
        TPictureData data;
        data.Image.SetPixelFormat(TPixelFormat::pf24bit);
        data.Image.SetSize(width, height);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const int32_t i = y * width + x;
                data.Image.SetPixel(x, y, MakeColor(static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i >> 16)));
            }
        return data;
    };
    const TPictureData many = distinct(300, 2);
    const TSwapTexture t = BuildSwapTexture(many, {&many});
    EXPECT_EQ(t.Columns(), 600);
    EXPECT_EQ(t.IndexBits(), 16);
    EXPECT_EQ(IndexAt(t, 299, 1), 599);
    ExpectReconstructs(t, many, {&many});

    const TPictureData tooMany = distinct(257, 256);
    try {
        BuildSwapTexture(tooMany, {});
        ADD_FAILURE() << "accepted 65792 colours";
    } catch (const EColourMap& e) {
        EXPECT_NE(std::string(e.what()).find("more than 65536 colours"), std::string::npos) << e.what();
    }
}

// A change that does not depend on the colour alone (a region, say) is refused, naming the change,
// the pixels and the colours; so is a result of another size.
TEST(SwapTexture, RefusesWhatTheColourAloneDoesNotDecide)
{
    const TPictureData sprite = Sprite(9, 6);
    TPictureData mapped;
    MapColours(sprite, mapped, TColourMap({clBlack}, {clWhite}), TProtectedColors());
    TPictureData region;
    region.Assign(mapped);
    region.Image.SetPixel(8, 5, clLime); // a border pixel, black before like (0, 0)
    try {
        BuildSwapTexture(sprite, {&mapped, &region}, {"variant blue", "variant red"});
        ADD_FAILURE() << "accepted a region";
    } catch (const EColourMap& e) {
        EXPECT_EQ(std::string(e.what()),
                  "variant red does not depend on the colour alone: pixels (0, 0) and (8, 5) are both #000000 "
                  "(alpha 0) but become #ffffff (alpha 0) and #00ff00 (alpha 0); a swap texture holds one colour "
                  "for each");
    }
    TPictureData smaller;
    smaller.Image.SetPixelFormat(TPixelFormat::pf24bit);
    smaller.Image.SetSize(9, 5);
    EXPECT_THROW(BuildSwapTexture(sprite, {&smaller}), EColourMap);
}

} // namespace
} // namespace tintabrel
