// --optimize against the plain save: never larger than the save with the same options, nor than
// any single fixed filter at level 9, the same bytes on any number of threads, and the same
// pixels and alpha.
#include "app/PictureFiles.h"
#include "app/PictureFormats.h"

#include "base/Streams.h"
#include "png/SFunc.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

std::vector<uint8_t> Save(const TPictureData& data, TPNGSaveOptions options)
{
    options.Time = TPngTimeSource::None;
    TMemoryStream memory;
    WritePicturePng(memory, data, options);
    return memory.Bytes();
}

// An 8-bit palette picture of 40 entries in horizontal bands of a few rows.
void PaletteRows(TPictureData& d)
{
    TRGBQuad quads[256]{};
    for (int i = 0; i < 40; ++i)
        quads[i] = {static_cast<uint8_t>(i * 6), static_cast<uint8_t>(255 - i * 5), static_cast<uint8_t>(i * 37 % 256), 0};
    d.Image.SetPixelFormat(TPixelFormat::pf8bit);
    d.Image.SetPalette(CreatePaletteFromQuads(quads, 40));
    d.Image.SetSize(200, 120);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 200; ++x) d.Image.ScanLine(y)[x] = static_cast<uint8_t>((y / 3 + (x > 150 ? 7 : 0)) % 40);
    d.PaletteBits = 8;
}

// 512 x 512 RGBA: large transparent areas, flat sprites with outlines, a band of graded alpha.
void SpriteSheet(TPictureData& d)
{
    d.Image.SetPixelFormat(TPixelFormat::pf24bit);
    d.Image.SetSize(512, 512);
    d.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    d.Alpha.SetSize(512, 512);
    const uint8_t colours[4][3] = {{40, 40, 200}, {60, 160, 40}, {200, 40, 40}, {90, 220, 240}};
    for (int y = 0; y < 512; ++y) {
        uint8_t* p = d.Image.ScanLine(y);
        uint8_t* a = d.Alpha.ScanLine(y);
        for (int x = 0; x < 512; ++x, p += 3) {
            const int cx = x % 64 - 32, cy = y % 64 - 32, d2 = cx * cx + cy * cy;
            const uint8_t* c = colours[(x / 64 + y / 64) % 4];
            if (d2 < 20 * 20) {
                p[0] = c[0], p[1] = c[1], p[2] = c[2], a[x] = 0;
            } else if (d2 < 22 * 22) {
                p[0] = p[1] = p[2] = 16, a[x] = 0;
            } else if (y >= 480) {
                p[0] = c[0], p[1] = c[1], p[2] = c[2], a[x] = static_cast<uint8_t>(x / 2);
            } else {
                p[0] = p[1] = p[2] = 0, a[x] = 255;
            }
        }
    }
}

void Tiny(TPictureData& d)
{
    d.Image.SetPixelFormat(TPixelFormat::pf24bit);
    d.Image.SetSize(3, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 9; ++x) d.Image.ScanLine(y)[x] = static_cast<uint8_t>(x * 20 + y);
}

// Smooth gradients with noise: thousands of colours.
void PhotoNoise(TPictureData& d)
{
    d.Image.SetPixelFormat(TPixelFormat::pf24bit);
    d.Image.SetSize(160, 96);
    uint32_t seed = 21;
    for (int y = 0; y < 96; ++y) {
        uint8_t* p = d.Image.ScanLine(y);
        for (int x = 0; x < 160; ++x, p += 3) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = static_cast<int>(seed >> 24) % 9;
            p[0] = static_cast<uint8_t>(x + noise), p[1] = static_cast<uint8_t>(y * 2 + noise),
            p[2] = static_cast<uint8_t>((x + y) / 2 + noise);
        }
    }
}

// Small sprites as games keep them: a few flat discs with a dark outline on clear pixels.
// Sized so that whole bytes per pixel win (the layouts a plain save writes): an alpha channel
// over a tRNS colour, a palette's 8 bits over the 4 its entries need.
void Discs(TPictureData& d, int size, bool palette)
{
    const TColor colours[] = {0x4846D0, 0xCE7D59, 0x2CAA6D, 0x1C0C14};
    const auto colourAt = [&](int x, int y) -> int {
        const int discs[3][3] = {{size / 3, size / 3, size / 4}, {2 * size / 3, size / 2, size / 5}, {size / 2, 3 * size / 4, size / 6}};
        int found = -1;
        for (int k = 0; k < 3; ++k) {
            const int dx = x - discs[k][0], dy = y - discs[k][1], r = discs[k][2];
            if (dx * dx + dy * dy <= r * r) found = dx * dx + dy * dy > (r - 1) * (r - 1) ? 3 : k;
        }
        return found;
    };
    if (palette) {
        TRGBQuad quads[5]{};
        for (int i = 0; i < 4; ++i)
            quads[i + 1] = {static_cast<uint8_t>(colours[i] >> 16), static_cast<uint8_t>(colours[i] >> 8), static_cast<uint8_t>(colours[i]), 0};
        d.Image.SetPixelFormat(TPixelFormat::pf8bit);
        d.Image.SetPalette(CreatePaletteFromQuads(quads, 5));
        d.PaletteBits = 8;
    } else {
        d.Image.SetPixelFormat(TPixelFormat::pf24bit);
        d.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        d.Alpha.SetSize(size, size);
    }
    d.Image.SetSize(size, size);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const int k = colourAt(x, y);
            if (palette) {
                d.Image.ScanLine(y)[x] = static_cast<uint8_t>(k + 1);
                continue;
            }
            d.Image.SetPixel(x, y, k < 0 ? TColor{0} : colours[k]);
            d.Alpha.ScanLine(y)[x] = k < 0 ? 255 : 0;
        }
}

// Both files load to the same colours and alpha.
void ExpectSamePixels(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    TPictureData da, db;
    TMemoryStream sa(a), sb(b);
    LoadPicture(sa, PngFormat(), da);
    LoadPicture(sb, PngFormat(), db);
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

TEST(PngOptimizeSize, NeverLargerThanThePlainSaveOrAnyFixedFilterAtLevelNine)
{
    const struct {
        const char* Name;
        std::function<void(TPictureData&)> Make;
    } cases[] = {
        {"palette rows", PaletteRows},
        {"RGBA sprite sheet", SpriteSheet},
        {"tiny", Tiny},
        {"photo-like noise", PhotoNoise},
        {"16x16 sprite, one clear colour", [](TPictureData& d) { Discs(d, 16, false); }},
        {"32x32 sprite, 5 palette entries", [](TPictureData& d) { Discs(d, 32, true); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TPictureData data;
        c.Make(data);
        TPNGSaveOptions options;
        options.Optimize = true;
        options.Threads = 1;
        const std::vector<uint8_t> optimized = Save(data, options);
        options.Threads = 4;
        EXPECT_EQ(Save(data, options), optimized) << "the threads change nothing";

        TPNGSaveOptions plain;
        const std::vector<uint8_t> plainFile = Save(data, plain);
        EXPECT_LE(optimized.size(), plainFile.size());
        ExpectSamePixels(optimized, plainFile);
        for (int filter = 1; filter <= 5; ++filter) {
            plain.Filter = FilterOfMode(filter);
            plain.CompressionLevel = 9;
            const size_t fixed = Save(data, plain).size();
            EXPECT_LE(optimized.size(), fixed) << "filter mode " << filter;
        }
    }
}

} // namespace
} // namespace tintabrel
