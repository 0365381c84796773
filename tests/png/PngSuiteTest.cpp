// Conformance over the PNG test suite: every valid file decodes to libpng's colours and alpha;
// every corrupt file fails with one of the reader's messages or loads.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/Streams.h"
#include "png/VRQPNGReadStream.h"
#include "tests/TestData.h"

namespace tintabrel {
namespace {

struct TOracle {
    int32_t width = 0;
    int32_t height = 0;
    int colourType = 0;
    std::vector<uint8_t> rgba; // 8 bits per sample, palette and grey expanded, 16-bit cut to the high byte
    uint8_t R(int32_t x, int32_t y, int c) const { return rgba[(static_cast<size_t>(y) * width + x) * 4 + c]; }
};

// Decodes with libpng, without gamma or significant-bit handling.
bool DecodeWithLibpng(const std::vector<uint8_t>& bytes, TOracle& oracle)
{
    test::TPngMemorySource source{bytes.data(), bytes.size()};
    std::vector<png_bytep> rows;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &source, test::TPngMemorySource::Read);
    png_read_info(png, info);
    oracle.colourType = png_get_color_type(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    oracle.width = static_cast<int32_t>(png_get_image_width(png, info));
    oracle.height = static_cast<int32_t>(png_get_image_height(png, info));
    oracle.rgba.assign(static_cast<size_t>(oracle.width) * oracle.height * 4, 0);
    rows.resize(static_cast<size_t>(oracle.height));
    for (int32_t y = 0; y < oracle.height; ++y) rows[static_cast<size_t>(y)] = oracle.rgba.data() + static_cast<size_t>(y) * oracle.width * 4;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

struct TDecoded {
    TBitmap bitmap;
    TBitmap alpha;
    bool hasAlpha = false;
    bool paletteAlpha = false;
    bool sampleAlpha = false;
    TColor transparent = -1;
};

void Decode(TStream& stream, TDecoded& out)
{
    TVRQPNGReadStream reader;
    reader.AlphaTarget = &out.alpha;
    reader.ReadFromStream(&out.bitmap, stream, 0);
    out.hasAlpha = reader.HasAlpha;
    out.paletteAlpha = reader.PaletteAlpha;
    out.sampleAlpha = reader.SampleAlpha;
    out.transparent = reader.TransparentColor;
}

void ExpectMatchesOracle(const std::string& name, const TDecoded& d, const TOracle& o)
{
    ASSERT_EQ(d.bitmap.Width(), o.width) << name;
    ASSERT_EQ(d.bitmap.Height(), o.height) << name;
    const bool alphaChannel = (o.colourType & PNG_COLOR_MASK_ALPHA) != 0;
    EXPECT_EQ(d.hasAlpha, alphaChannel || d.paletteAlpha || d.sampleAlpha) << name;
    if (d.hasAlpha) {
        ASSERT_EQ(d.alpha.Width(), o.width) << name;
        ASSERT_EQ(d.alpha.Height(), o.height) << name;
        ASSERT_EQ(d.alpha.PixelFormat(), TPixelFormat::pf8bit) << name;
    }
    int mismatches = 0;
    for (int32_t y = 0; y < o.height && mismatches < 5; ++y) {
        const uint8_t* alphaRow = d.hasAlpha ? d.alpha.ConstScanLine(y) : nullptr;
        for (int32_t x = 0; x < o.width && mismatches < 5; ++x) {
            const TColor expected = MakeColor(o.R(x, y, 0), o.R(x, y, 1), o.R(x, y, 2));
            const TColor got = d.bitmap.Pixel(x, y);
            const uint8_t a = o.R(x, y, 3);
            bool ok = got == expected;
            if (alphaRow) {
                ok = ok && alphaRow[x] == 255 - a;
            } else if (a == 0) {
                // Single transparent colour or index: the pixel must be that colour.
                TColor transparent = d.transparent;
                if ((transparent & 0xFF000000) == 0x01000000) transparent = d.bitmap.Palette()->ColorOf(transparent & 0xFF);
                ok = ok && d.bitmap.Transparent() && got == transparent;
            } else {
                ok = ok && a == 255;
            }
            if (!ok) {
                ++mismatches;
                ADD_FAILURE() << name << " at " << x << "," << y << ": got " << std::hex << got << " alpha "
                              << (alphaRow ? 255 - alphaRow[x] : -1) << ", libpng " << expected << " alpha " << int(a);
            }
        }
    }
}

TEST(PngSuite, ValidFilesMatchLibpngAndCorruptFilesFailCleanly)
{
    const std::set<std::string> readerMessages = {
        pngmsg::NotPNG,       pngmsg::TwoIHDR,       pngmsg::ErrorColorType, pngmsg::NoCompression,
        pngmsg::NoFilter,     pngmsg::NoInterlace,   pngmsg::GreyBitdepth,   pngmsg::ColourBitDepth,
        pngmsg::NoAlphaChannel, pngmsg::ErrorSize,   pngmsg::ErrorZLIB,      pngmsg::ReadError,
    };
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(test::DataPath("pngsuite")))
        if (entry.path().extension() == ".png") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());

    for (const auto& path : files) {
        const std::string name = path.filename().string();
        const std::vector<uint8_t> bytes = test::ReadFileBytes(path.string());
        if (name[0] == 'x') {
            // Read through a file stream too, so the window path meets damaged data as well.
            for (int viaFile = 0; viaFile < 2; ++viaFile) {
                TDecoded d;
                try {
                    if (viaFile) {
                        TFileStream file(path.string(), TFileMode::fmOpenRead);
                        Decode(file, d);
                    } else {
                        TMemoryStream memory(bytes);
                        Decode(memory, d);
                    }
                } catch (const EVRQPNG& e) {
                    // A read error names its cause after the fixed text.
                    const std::string message = e.what();
                    const std::string readError = std::string(pngmsg::ReadError) + ": ";
                    EXPECT_TRUE(readerMessages.count(message) || message.rfind(readError, 0) == 0)
                        << name << ": " << message;
                } catch (const std::exception& e) {
                    ADD_FAILURE() << name << ": unexpected failure " << e.what();
                }
            }
            continue;
        }
        TOracle oracle;
        ASSERT_TRUE(DecodeWithLibpng(bytes, oracle)) << name;
        TDecoded fromMemory;
        TMemoryStream memory(bytes);
        ASSERT_NO_THROW(Decode(memory, fromMemory)) << name;
        ExpectMatchesOracle(name, fromMemory, oracle);

        TDecoded fromFile;
        TFileStream file(path.string(), TFileMode::fmOpenRead);
        ASSERT_NO_THROW(Decode(file, fromFile)) << name;
        ExpectMatchesOracle(name + " (file)", fromFile, oracle);
    }
}

} // namespace
} // namespace tintabrel
