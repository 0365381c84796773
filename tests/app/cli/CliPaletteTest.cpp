// recolour keeps a palette picture's palette: the same indices, palette length and order, bit
// depth and per-index alpha, with every pixel equal to the engine's 24-bit result; convert
// keeps palette and tRNS; --truecolour gives 24-bit output.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"
#include "app/PictureFormats.h"
#include "tests/png/PngWriteTestSupport.h"

#include "base/StringList.h"
#include "recolour/HueReplace.h"

#include <gtest/gtest.h>

namespace tintabrel::test {
namespace {

// A palette PNG written by libpng: the raw indices, palette and tRNS as given.
struct TIndexedPng {
    int Depth = 8;
    uint32_t Width = 0, Height = 0;
    std::vector<uint8_t> Indices; // one per pixel
    std::vector<png_color> Palette;
    std::vector<uint8_t> Trns;
};

void WriteCallback(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

std::vector<uint8_t> EncodeIndexed(const TIndexedPng& p)
{
    std::vector<uint8_t> file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &file, WriteCallback, nullptr);
    png_set_IHDR(png, info, p.Width, p.Height, p.Depth, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, info, p.Palette.data(), static_cast<int>(p.Palette.size()));
    if (!p.Trns.empty())
        png_set_tRNS(png, info, p.Trns.data(), static_cast<int>(p.Trns.size()), nullptr);
    png_write_info(png, info);
    png_set_packing(png);
    for (uint32_t y = 0; y < p.Height; ++y) png_write_row(png, &p.Indices[y * p.Width]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return file;
}

// Reads a palette PNG's raw indices, palette and tRNS with libpng (no expansion).
bool DecodeIndexed(const std::vector<uint8_t>& file, TIndexedPng& p)
{
    std::string error;
    TPngMemorySource reader{file.data(), file.size()};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, ErrorCallback, WarningCallback);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &reader, TPngMemorySource::Read);
    png_read_info(png, info);
    if (png_get_color_type(png, info) != PNG_COLOR_TYPE_PALETTE) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    p.Width = png_get_image_width(png, info);
    p.Height = png_get_image_height(png, info);
    p.Depth = png_get_bit_depth(png, info);
    png_colorp palette = nullptr;
    int count = 0;
    png_get_PLTE(png, info, &palette, &count);
    p.Palette.assign(palette, palette + count);
    png_bytep trns = nullptr;
    int trnsCount = 0;
    p.Trns.clear();
    if (png_get_tRNS(png, info, &trns, &trnsCount, nullptr)) p.Trns.assign(trns, trns + trnsCount);
    png_set_packing(png);
    png_read_update_info(png, info);
    p.Indices.assign(static_cast<size_t>(p.Width) * p.Height, 0);
    for (uint32_t y = 0; y < p.Height; ++y) png_read_row(png, &p.Indices[y * p.Width], nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

// A palette of an orange the window changes, a protected orange it would change, greys and
// many hues, as long as the depth allows (at most 200 entries, so that an 8-bit palette is
// shorter than 256); every index used.
TIndexedPng MakeIndexed(int depth, bool withTrns)
{
    TIndexedPng p;
    p.Depth = depth;
    p.Width = 23;
    p.Height = 9;
    const int entries = std::min(1 << depth, 200);
    for (int i = 0; i < entries; ++i) {
        if (i == 0) {
            p.Palette.push_back({255, 100, 0});
        } else if (i == 1) {
            p.Palette.push_back({255, 165, 0}); // protected by the list
        } else if (i % 7 == 3) {
            const auto v = static_cast<png_byte>(i * 37);
            p.Palette.push_back({v, v, v});
        } else {
            p.Palette.push_back({static_cast<png_byte>(i * 97 + 40), static_cast<png_byte>(i * 53 + 7),
                                 static_cast<png_byte>(255 - i * 29)});
        }
    }
    Lcg random{static_cast<uint32_t>(depth * 31 + withTrns)};
    for (uint32_t k = 0; k < p.Width * p.Height; ++k)
        p.Indices.push_back(static_cast<uint8_t>(k < static_cast<uint32_t>(entries) ? k : random.Next() % entries));
    if (withTrns) {
        // Clear, half and opaque entries; entries beyond the table are opaque.
        for (int i = 0; i < std::min(entries, 3); ++i) p.Trns.push_back(static_cast<uint8_t>(i == 0 ? 0 : i == 1 ? 128 : 255));
        if (entries > 3) p.Trns.push_back(64);
    }
    return p;
}

struct TBmpLayout {
    uint32_t HeaderSize = 0;
    int Bits = 0;
    uint32_t TableEntries = 0;
    std::vector<uint8_t> Table;  // as stored
    std::vector<uint8_t> Pixels; // as stored
};

TBmpLayout ReadBmpLayout(const std::vector<uint8_t>& file)
{
    auto u32 = [&](size_t at) { return uint32_t{file[at]} | uint32_t{file[at + 1]} << 8 | uint32_t{file[at + 2]} << 16 | uint32_t{file[at + 3]} << 24; };
    auto u16 = [&](size_t at) { return uint32_t{file[at]} | uint32_t{file[at + 1]} << 8; };
    TBmpLayout b;
    const uint32_t offset = u32(10);
    b.HeaderSize = u32(14);
    const bool core = b.HeaderSize == 12;
    const int32_t width = core ? static_cast<int32_t>(u16(18)) : static_cast<int32_t>(u32(18));
    const int32_t height = core ? static_cast<int32_t>(u16(20)) : std::abs(static_cast<int32_t>(u32(22)));
    b.Bits = static_cast<int>(core ? u16(24) : u16(28));
    const size_t tableStart = 14 + b.HeaderSize;
    const size_t entry = core ? 3 : 4;
    b.TableEntries = static_cast<uint32_t>((offset - tableStart) / entry);
    b.Table.assign(file.begin() + static_cast<long>(tableStart), file.begin() + offset);
    const size_t stride = (static_cast<size_t>(width) * static_cast<size_t>(b.Bits) + 31) / 32 * 4;
    b.Pixels.assign(file.begin() + offset, file.begin() + offset + static_cast<long>(stride * static_cast<size_t>(height)));
    return b;
}

const THueWindow Window{200, 36, 20};
const std::vector<std::string> WindowArgs{"--source", "200", "--tolerance", "36", "--target", "20"};

TStringList ProtectedList()
{
    TStringList list;
    list.Add("$0000A5FF");
    return list;
}

std::vector<std::string> Recolour(const std::string& in, const std::string& out, const std::string& list,
                                  std::vector<std::string> extra = {})
{
    std::vector<std::string> args{"recolour"};
    args.insert(args.end(), WindowArgs.begin(), WindowArgs.end());
    args.insert(args.end(), {"--list", list});
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"-o", out, in});
    return args;
}

// The output's pixels and alpha equal the engine's result on the input and the input's alpha.
void ExpectEngineResult(const std::string& in, const std::string& out, const std::string& what)
{
    TPictureData before, after;
    ReadPicture(in, before);
    ReadPicture(out, after);
    TBitmap expected;
    ReplaceHue(before.Image, expected, ProtectedList(), Window);
    EXPECT_EQ(RgbBytes(after.Image), RgbBytes(expected)) << what;
    EXPECT_NE(RgbBytes(expected), RgbBytes(before.Image)) << what << ": the window must change some pixels";
    if (KindOfExtension(ExtractExtension(out), false) == PngFormat()) {
        EXPECT_EQ(AlphaBytes(after.Alpha), AlphaBytes(before.Alpha)) << what;
    }
}

class CliPalette : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteFileBytes(dir.File("list.dat"), {'$', '0', '0', '0', '0', 'A', '5', 'F', 'F', '\n'});
    }
    TempDir dir;
    std::string List() const { return dir.File("list.dat"); }
};

TEST_F(CliPalette, PngOfEveryDepthKeepsIndicesPaletteAndTransparency)
{
    for (const int depth : {1, 2, 4, 8})
        for (const bool trns : {false, true}) {
            const std::string what = std::to_string(depth) + "-bit" + (trns ? " with tRNS" : "");
            const TIndexedPng source = MakeIndexed(depth, trns);
            const std::string in = dir.File("in.png"), out = dir.File("out.png");
            std::filesystem::remove(out);
            const std::vector<uint8_t> file = EncodeIndexed(source);
            WriteFileBytes(in, std::vector<unsigned char>(file.begin(), file.end()));

            const TCliRun run = RunCli(Recolour(in, out, List()));
            ASSERT_EQ(run.Status, 0) << what << ": " << run.Err;
            const std::vector<uint8_t> written = ReadFileBytes(out);
            TIndexedPng result;
            ASSERT_TRUE(DecodeIndexed(written, result)) << what << ": not a palette PNG";
            EXPECT_EQ(result.Depth, depth) << what;
            EXPECT_EQ(result.Indices, source.Indices) << what;
            EXPECT_EQ(result.Palette.size(), source.Palette.size()) << what;
            EXPECT_EQ(result.Trns, source.Trns) << what;
            ExpectEngineResult(in, out, what);
            // The protected orange keeps its entry; a grey entry never changes.
            EXPECT_EQ(result.Palette[1].green, 165) << what;
            if (source.Palette.size() > 3) {
                EXPECT_EQ(result.Palette[3].red, source.Palette[3].red) << what;
            }

            // libpng sees the same: the engine's colours with the input's per-index alpha.
            const Decoded decoded = DecodeWithLibpng(written);
            const Decoded original = DecodeWithLibpng(file);
            ASSERT_TRUE(decoded.Ok) << what << ": " << decoded.Error;
            for (size_t k = 3; k < decoded.Rgba.size(); k += 4) ASSERT_EQ(decoded.Rgba[k], original.Rgba[k]) << what;
            if (HavePngcheck()) {
                EXPECT_EQ(PngcheckErrors(written, dir.File("check.png")), "") << what;
            }
        }
}

TEST_F(CliPalette, BmpOfEveryPaletteLayoutKeepsItsLayout)
{
    for (const char* name : {"pal1.bmp", "pal4.bmp", "pal8.bmp", "pal8os2.bmp"}) {
        const std::string in = DataPath(std::string("bmpsuite/g/") + name);
        const std::string out = dir.File(std::string("out-") + name);
        // pal1 holds black and white only: a window over every hue changes nothing there, so
        // only the layout is checked for it.
        const TCliRun run = RunCli(Recolour(in, out, List()));
        ASSERT_EQ(run.Status, 0) << name << ": " << run.Err;
        const TBmpLayout before = ReadBmpLayout(ReadFileBytes(in));
        const TBmpLayout after = ReadBmpLayout(ReadFileBytes(out));
        EXPECT_EQ(after.HeaderSize, before.HeaderSize) << name;
        EXPECT_EQ(after.Bits, before.Bits) << name;
        EXPECT_EQ(after.TableEntries, before.TableEntries) << name;
        EXPECT_EQ(after.Pixels, before.Pixels) << name << ": the indices change";
        if (std::string(name) != "pal1.bmp") {
            EXPECT_NE(after.Table, before.Table) << name;
            ExpectEngineResult(in, out, name);
        }
    }
}

TEST_F(CliPalette, AcrossFormatsThePaletteStays)
{
    // A 2-bit PNG with tRNS becomes a 4-bit BMP (BMP has no 2 bits); an 8-bit BMP a palette PNG.
    const TIndexedPng source = MakeIndexed(2, true);
    const std::vector<uint8_t> file = EncodeIndexed(source);
    WriteFileBytes(dir.File("two.png"), std::vector<unsigned char>(file.begin(), file.end()));
    TCliRun run = RunCli(Recolour(dir.File("two.png"), dir.File("two.bmp"), List()));
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "transparency")) << run.Err;
    EXPECT_EQ(ReadBmpLayout(ReadFileBytes(dir.File("two.bmp"))).Bits, 4);
    ExpectEngineResult(dir.File("two.png"), dir.File("two.bmp"), "2-bit PNG to BMP");

    const std::string bmp = DataPath("bmpsuite/g/pal8.bmp");
    run = RunCli(Recolour(bmp, dir.File("pal8.png"), List()));
    ASSERT_EQ(run.Status, 0) << run.Err;
    TIndexedPng result;
    ASSERT_TRUE(DecodeIndexed(ReadFileBytes(dir.File("pal8.png")), result));
    EXPECT_EQ(result.Depth, 8);
    EXPECT_EQ(result.Palette.size(), ReadBmpLayout(ReadFileBytes(bmp)).TableEntries);
    ExpectEngineResult(bmp, dir.File("pal8.png"), "8-bit BMP to PNG");
}

TEST_F(CliPalette, TruecolourGivesTwentyFourBitsWithTheSamePixels)
{
    const TIndexedPng source = MakeIndexed(4, true);
    const std::vector<uint8_t> file = EncodeIndexed(source);
    WriteFileBytes(dir.File("in.png"), std::vector<unsigned char>(file.begin(), file.end()));
    TCliRun run = RunCli(Recolour(dir.File("in.png"), dir.File("out.png"), List(), {"--truecolour"}));
    ASSERT_EQ(run.Status, 0) << run.Err;
    const Decoded decoded = DecodeWithLibpng(ReadFileBytes(dir.File("out.png")));
    EXPECT_EQ(decoded.ColorType, PNG_COLOR_TYPE_RGB_ALPHA);
    ExpectEngineResult(dir.File("in.png"), dir.File("out.png"), "--truecolour");

    run = RunCli(Recolour(DataPath("bmpsuite/g/pal8.bmp"), dir.File("out.bmp"), List(), {"--truecolour"}));
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(ReadBmpLayout(ReadFileBytes(dir.File("out.bmp"))).Bits, 24);
}

TEST_F(CliPalette, ConvertKeepsPaletteAndTransparency)
{
    for (const int depth : {2, 8}) {
        const TIndexedPng source = MakeIndexed(depth, true);
        const std::vector<uint8_t> file = EncodeIndexed(source);
        const std::string in = dir.File("c" + std::to_string(depth) + ".png");
        const std::string out = dir.File("c" + std::to_string(depth) + "-out.png");
        WriteFileBytes(in, std::vector<unsigned char>(file.begin(), file.end()));
        const TCliRun run = RunCli({"convert", in, out});
        ASSERT_EQ(run.Status, 0) << run.Err;
        TIndexedPng result;
        ASSERT_TRUE(DecodeIndexed(ReadFileBytes(out), result)) << depth;
        EXPECT_EQ(result.Depth, depth);
        EXPECT_EQ(result.Indices, source.Indices);
        EXPECT_EQ(result.Trns, source.Trns);
        EXPECT_EQ(result.Palette.size(), source.Palette.size());
        EXPECT_EQ(DecodeWithLibpng(ReadFileBytes(out)).Rgba, DecodeWithLibpng(file).Rgba);
    }
}

} // namespace
} // namespace tintabrel::test
