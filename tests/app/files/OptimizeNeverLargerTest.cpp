// --optimize never writes more bytes than the plain save with the same options: the plain save's
// encoding is one of its candidates.
#include "app/PictureFiles.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

using namespace tintabrel;

namespace {

// A picture of width x height whose pixel (x, y) is colour(x, y) ($00BBGGRR), with an alpha of
// byte 255 - alpha(x, y) when alpha is given.
void Make(TPictureData& data, int32_t width, int32_t height, const std::function<TColor(int, int)>& colour,
          const std::function<uint8_t(int, int)>& alpha = {})
{
    data.Image.SetPixelFormat(TPixelFormat::pf24bit);
    data.Image.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = data.Image.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            const TColor c = colour(x, y);
            row[3 * x] = static_cast<uint8_t>(c >> 16);
            row[3 * x + 1] = static_cast<uint8_t>(c >> 8);
            row[3 * x + 2] = static_cast<uint8_t>(c);
        }
    }
    if (alpha) {
        data.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        data.Alpha.SetSize(width, height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) data.Alpha.ScanLine(y)[x] = static_cast<uint8_t>(255 - alpha(x, y));
    }
}

size_t Saved(const TPictureData& data, TPNGSaveOptions options)
{
    options.Time = TPngTimeSource::None;
    TMemoryStream stream;
    WritePicturePng(stream, data, options);
    return stream.Bytes().size();
}

uint32_t Noise(int x, int y)
{
    uint32_t h = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u;
    h ^= h >> 13;
    return h * 0x5bd1e995u;
}

} // namespace

TEST(OptimizeNeverLarger, ThanThePlainSaveOnATableOfPictures)
{
    struct TCase {
        const char* Name;
        std::function<void(TPictureData&)> Fill;
    };
    const TCase cases[] = {
        {"tiny", [](TPictureData& d) { Make(d, 1, 1, [](int, int) { return TColor{0x336699}; }); }},
        {"noise", [](TPictureData& d) { Make(d, 64, 48, [](int x, int y) { return static_cast<TColor>(Noise(x, y) & 0xFFFFFF); }); }},
        {"gradient", [](TPictureData& d) {
             Make(d, 200, 120, [](int x, int y) { return static_cast<TColor>((x & 255) | (y & 255) << 8 | 0x400000); });
         }},
        // A sprite sheet: flat tiles with outlines and large clear areas.
        {"RGBA sprite sheet", [](TPictureData& d) { Make(d,
                                  768, 512,
                                  [](int x, int y) {
                                      const int tx = x % 64, ty = y % 64;
                                      if (tx == 0 || ty == 0 || tx == 63 || ty == 63) return TColor{0x101010};
                                      return static_cast<TColor>(((x / 64) * 0x253545 + (y / 64) * 0x102030) & 0xFFFFFF);
                                  },
                                  [](int x, int y) {
                                      const int tx = x % 64 - 32, ty = y % 64 - 32;
                                      return static_cast<uint8_t>(tx * tx + ty * ty < 26 * 26 ? 255 : 0);
                                  }); }},
    };
    for (const TCase& c : cases) {
        TPictureData data;
        c.Fill(data);
        for (const int32_t filter : {0, 1, 4, 5}) {
            for (const int32_t level : {-1, 9}) {
                TPNGSaveOptions plain;
                plain.Filter = FilterOfMode(filter);
                plain.CompressionLevel = level;
                TPNGSaveOptions optimized = plain;
                optimized.Optimize = true;
                EXPECT_LE(Saved(data, optimized), Saved(data, plain))
                    << c.Name << ", filter " << filter << ", level " << level;
            }
        }
    }
}
