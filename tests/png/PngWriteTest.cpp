// The writer's image data: every source format and setting decoded back by libpng and checked
// by pngcheck, filter choice, IDAT cutting, the row event, and the failure paths.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "base/Exceptions.h"
#include "png/SFunc.h"
#include "png/VRQPNGWriteStream.h"
#include "png/VRQZLIB.h"
#include "tests/png/PngWriteTestSupport.h"

namespace tintabrel {
namespace {

using test::Chunk;
using test::Decoded;

enum class Fmt { b1, b4, b8, b15, b16, b24, b32, device };

const char* FmtName(Fmt f)
{
    static const char* names[] = {"1bit", "4bit", "8bit", "15bit", "16bit", "24bit", "32bit", "device"};
    return names[static_cast<int>(f)];
}

int IndexBits(Fmt f) { return f == Fmt::b1 ? 1 : f == Fmt::b4 ? 4 : f == Fmt::b8 ? 8 : 0; }

uint8_t Grey(int r, int g, int b) { return static_cast<uint8_t>((77 * r + 150 * g + 29 * b) / 256); }

// A test picture and the colour every pixel must decode to when written in colour.
struct Source {
    TBitmap Bitmap;
    std::vector<TColor> Colours; // per pixel, row by row
    std::vector<int> Indices;    // per pixel for indexed formats
    TPalette Palette;
};

void MakeSource(Source& s, Fmt fmt, int w, int h, uint32_t seed)
{
    test::Lcg rnd{seed};
    TBitmap& b = s.Bitmap;
    const int bits = IndexBits(fmt);
    switch (fmt) {
    case Fmt::b1: b.SetPixelFormat(TPixelFormat::pf1bit); break;
    case Fmt::b4: b.SetPixelFormat(TPixelFormat::pf4bit); break;
    case Fmt::b8: b.SetPixelFormat(TPixelFormat::pf8bit); break;
    case Fmt::b15: b.SetPixelFormat(TPixelFormat::pf15bit); break;
    case Fmt::b16: b.SetPixelFormat(TPixelFormat::pf16bit); break;
    case Fmt::b24: b.SetPixelFormat(TPixelFormat::pf24bit); break;
    case Fmt::b32: b.SetPixelFormat(TPixelFormat::pf32bit); break;
    case Fmt::device: break; // a new bitmap is in the device form
    }
    b.SetSize(w, h);
    if (bits) {
        // Fewer entries than the depth allows for 8 bits, to cover a short palette.
        const int count = bits == 8 ? 200 : 1 << bits;
        for (int i = 0; i < count; ++i) s.Palette.Add(rnd.Next(), rnd.Next(), rnd.Next());
        if (bits == 1) {
            // Entry 0 lighter than entry 1: the grey image must invert.
            s.Palette[0] = {230, 220, 210, 0};
            s.Palette[1] = {20, 30, 40, 0};
        }
        b.SetPalette(s.Palette);
    }
    if (fmt == Fmt::device) {
        EXPECT_EQ(b.PixelFormat(), TPixelFormat::pfDevice);
    }
    for (int y = 0; y < h; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < w; ++x) {
            TColor c = 0;
            switch (fmt) {
            case Fmt::b1:
            case Fmt::b4:
            case Fmt::b8: {
                const int count = s.Palette.Count();
                const int index = rnd.Next() % count;
                if (bits == 1)
                    row[x / 8] = static_cast<uint8_t>((row[x / 8] & ~(0x80 >> (x % 8))) | (index << (7 - x % 8)));
                else if (bits == 4)
                    row[x / 2] = static_cast<uint8_t>(x % 2 ? (row[x / 2] & 0xF0) | index : (row[x / 2] & 0x0F) | (index << 4));
                else
                    row[x] = static_cast<uint8_t>(index);
                s.Indices.push_back(index);
                c = s.Palette.ColorOf(index);
                break;
            }
            case Fmt::b15:
            case Fmt::b16: {
                const uint16_t word = static_cast<uint16_t>(rnd.Next() | (rnd.Next() << 8));
                row[2 * x] = static_cast<uint8_t>(word);
                row[2 * x + 1] = static_cast<uint8_t>(word >> 8);
                int r, g, bl;
                if (fmt == Fmt::b15) {
                    r = (word >> 10) & 31, g = (word >> 5) & 31, bl = word & 31;
                    g = (g << 3) | (g >> 2);
                } else {
                    r = (word >> 11) & 31, g = (word >> 5) & 63, bl = word & 31;
                    g = (g << 2) | (g >> 4);
                }
                r = (r << 3) | (r >> 2);
                bl = (bl << 3) | (bl >> 2);
                c = MakeColor(static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(bl));
                break;
            }
            default: {
                const int step = fmt == Fmt::b24 ? 3 : 4;
                uint8_t* p = row + x * step;
                for (int i = 0; i < step; ++i) p[i] = rnd.Next();
                // Flat runs now and then so the filters meet repeats as well as noise.
                if (x > 0 && rnd.Next() < 64) std::memcpy(p, p - step, 3);
                c = MakeColor(p[2], p[1], p[0]);
                break;
            }
            }
            s.Colours.push_back(c);
        }
    }
}

TBitmap* MakeAlpha(TBitmap& alpha, int w, int h, uint32_t seed)
{
    test::Lcg rnd{seed};
    alpha.SetPixelFormat(TPixelFormat::pf8bit);
    alpha.SetSize(w, h);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = alpha.ScanLine(y);
        for (int x = 0; x < w; ++x) row[x] = y == 0 && x < 2 ? static_cast<uint8_t>(x * 255) : rnd.Next();
    }
    return &alpha;
}

std::vector<uint8_t> WriteToMemory(TVRQPNGWriteStream& writer, const TBitmap& bitmap)
{
    TMemoryStream stream;
    writer.WriteToStream(bitmap, stream);
    return stream.Bytes();
}

// The inflated image data of a written file.
std::vector<uint8_t> InflateIdat(const std::vector<Chunk>& chunks)
{
    std::vector<uint8_t> compressed;
    for (const Chunk& c : chunks)
        if (c.Type == "IDAT") compressed.insert(compressed.end(), c.Data.begin(), c.Data.end());
    std::vector<uint8_t> out(1 << 20);
    uLongf size = out.size();
    for (;;) {
        size = out.size();
        const int r = uncompress(out.data(), &size, compressed.data(), compressed.size());
        if (r != Z_BUF_ERROR) {
            EXPECT_EQ(r, Z_OK);
            break;
        }
        out.resize(out.size() * 4);
    }
    out.resize(size);
    return out;
}

// Filter-type bytes of all rows, walking the passes of the image geometry.
std::vector<int> FilterTypes(const std::vector<uint8_t>& raw, int w, int h, int pixelBits, bool interlaced)
{
    struct P {
        int x0, y0, dx, dy;
    };
    static const P adam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    std::vector<int> types;
    size_t pos = 0;
    for (int p = 0; p < (interlaced ? 7 : 1); ++p) {
        const P g = interlaced ? adam7[p] : P{0, 0, 1, 1};
        const int pw = w > g.x0 ? (w - g.x0 + g.dx - 1) / g.dx : 0;
        const int ph = h > g.y0 ? (h - g.y0 + g.dy - 1) / g.dy : 0;
        if (pw == 0 || ph == 0) continue;
        const size_t rowLength = (static_cast<size_t>(pw) * pixelBits + 7) / 8 + 1;
        for (int r = 0; r < ph; ++r, pos += rowLength) {
            if (pos >= raw.size()) return types;
            types.push_back(raw[pos]);
        }
    }
    EXPECT_EQ(pos, raw.size());
    return types;
}

void ExpectIdatFraming(const std::vector<Chunk>& chunks, int idatSize)
{
    std::vector<size_t> sizes;
    size_t first = 0, last = 0;
    for (size_t i = 0; i < chunks.size(); ++i)
        if (chunks[i].Type == "IDAT") {
            if (sizes.empty()) first = i;
            last = i;
            sizes.push_back(chunks[i].Data.size());
        }
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(last - first + 1, sizes.size()) << "IDAT chunks are not consecutive";
    for (size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], static_cast<size_t>(idatSize));
    EXPECT_GT(sizes.back(), 0u);
    EXPECT_LE(sizes.back(), static_cast<size_t>(idatSize));
}

// ---------------------------------------------------------------- the table

struct Case {
    Fmt Format;
    bool Grayscale;
    bool Alpha;
    bool Interlace;
    int Filter;
    int IdatSize;
    int W, H;
};

std::vector<Case> AllCases()
{
    static const Fmt formats[] = {Fmt::b1, Fmt::b4, Fmt::b8, Fmt::b15, Fmt::b16, Fmt::b24, Fmt::b32, Fmt::device};
    static const int filters[] = {0, 1, 2, 3, 4, 5, 9};
    static const std::array<std::array<int, 2>, 5> sizes = {{{37, 29}, {1, 1}, {4, 1}, {9, 6}, {64, 40}}};
    std::vector<Case> cases;
    int i = 0;
    for (Fmt f : formats)
        for (int grey = 0; grey < 2; ++grey)
            for (int alpha = 0; alpha < 2; ++alpha)
                for (int interlace = 0; interlace < 2; ++interlace, ++i) {
                    const auto& size = sizes[static_cast<size_t>(i % 5)];
                    cases.push_back({f, grey == 1, alpha == 1, interlace == 1, filters[i % 7], (i / 7) % 2 ? 100000 : 256,
                                     size[0], size[1]});
                }
    return cases;
}

std::string CaseName(const testing::TestParamInfo<Case>& info)
{
    const Case& c = info.param;
    return std::string(FmtName(c.Format)) + (c.Grayscale ? "_grey" : "_colour") + (c.Alpha ? "_alpha" : "") +
           (c.Interlace ? "_adam7" : "") + "_f" + std::to_string(c.Filter) + "_idat" + std::to_string(c.IdatSize) + "_" +
           std::to_string(c.W) + "x" + std::to_string(c.H);
}

class PngWriteFormats : public testing::TestWithParam<Case> {};

TEST_P(PngWriteFormats, PassesPngcheckAndDecodesToTheSourcePixels)
{
    if (!test::HavePngcheck()) GTEST_SKIP() << "pngcheck is not installed";
    const Case& c = GetParam();
    Source s;
    MakeSource(s, c.Format, c.W, c.H, 12345u + static_cast<uint32_t>(c.W * 7 + c.Filter));
    TBitmap alpha;
    TVRQPNGWriteStream writer;
    writer.Grayscale = c.Grayscale;
    writer.Interlace = c.Interlace ? 1 : 0;
    writer.FilterMode = c.Filter;
    writer.SetIDATSize(c.IdatSize);
    if (c.Alpha) writer.AlphaBitmap = MakeAlpha(alpha, c.W, c.H, 99u);
    const std::vector<uint8_t> file = WriteToMemory(writer, s.Bitmap);

    test::TempDir dir;
    EXPECT_EQ(test::PngcheckErrors(file, dir.File("out.png")), "");

    const int bits = IndexBits(c.Format);
    int colourType, depth;
    if (bits && !c.Grayscale) {
        colourType = 3, depth = bits;
    } else if (c.Grayscale) {
        depth = bits && bits < 8 ? bits : 8;
        colourType = c.Alpha && depth == 8 ? 4 : 0;
    } else {
        depth = 8;
        colourType = c.Alpha ? 6 : 2;
    }
    const bool alphaWritten = colourType == 4 || colourType == 6;

    const Decoded d = test::DecodeWithLibpng(file);
    ASSERT_TRUE(d.Ok) << d.Error;
    EXPECT_EQ(d.ColorType, colourType);
    EXPECT_EQ(d.BitDepth, depth);
    EXPECT_EQ(d.Interlace, c.Interlace ? 1 : 0);
    ASSERT_EQ(d.Width, static_cast<uint32_t>(c.W));
    ASSERT_EQ(d.Height, static_cast<uint32_t>(c.H));

    bool invert = false;
    if (bits == 1) {
        const TPaletteEntry& e0 = s.Palette[0];
        const TPaletteEntry& e1 = s.Palette[1];
        invert = 77 * e0.peRed + 150 * e0.peGreen + 29 * e0.peBlue > 77 * e1.peRed + 150 * e1.peGreen + 29 * e1.peBlue;
    }
    int mismatches = 0;
    for (int y = 0; y < c.H && mismatches < 5; ++y)
        for (int x = 0; x < c.W && mismatches < 5; ++x) {
            const size_t i = static_cast<size_t>(y) * c.W + x;
            const TColor colour = s.Colours[i];
            std::array<int, 4> want{RedOf(colour), GreenOf(colour), BlueOf(colour), 255};
            if (c.Grayscale) {
                int level = Grey(want[0], want[1], want[2]);
                if (bits == 1) level = ((s.Indices[i] != 0) != invert) ? 255 : 0;
                if (bits == 4) level = (77 * want[0] + 150 * want[1] + 29 * want[2]) / 4096 * 17;
                want = {level, level, level, 255};
            }
            if (alphaWritten) want[3] = 255 - alpha.ConstScanLine(y)[x];
            const uint8_t* got = d.Pixel(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
            const std::array<int, 4> have{got[0], got[1], got[2], got[3]};
            if (have != want) {
                ++mismatches;
                ADD_FAILURE() << "pixel " << x << "," << y << ": got " << have[0] << " " << have[1] << " " << have[2] << " "
                              << have[3] << ", want " << want[0] << " " << want[1] << " " << want[2] << " " << want[3];
            }
        }

    const std::vector<Chunk> chunks = test::ParseChunks(file);
    for (const Chunk& chunk : chunks) EXPECT_TRUE(chunk.CrcOk) << chunk.Type;
    ExpectIdatFraming(chunks, c.IdatSize);

    const int channels = colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
    const std::vector<int> types = FilterTypes(InflateIdat(chunks), c.W, c.H, depth * channels, c.Interlace);
    const int fixed = c.Filter >= 2 && c.Filter <= 5 ? c.Filter - 1 : 0;
    for (int t : types) {
        if (c.Filter != 0 || depth == 4)
            EXPECT_EQ(t, fixed);
        else
            EXPECT_LE(t, 4);
    }
}

INSTANTIATE_TEST_SUITE_P(AllSources, PngWriteFormats, testing::ValuesIn(AllCases()), CaseName);

// A layout the row conversion does not read itself (here 5-5-5 declared by bit fields) is
// written from an exact 24-bit copy, not misread as another layout.
TEST(PngWrite, CustomPixelFormatIsWrittenWithItsOwnColours)
{
    Source s;
    MakeSource(s, Fmt::b15, 11, 7, 5u);
    TBitmapImage& image = s.Bitmap.MutableImage();
    image.Header.biCompression = BI_BITFIELDS;
    image.Masks[0] = 0x7C00;
    image.Masks[1] = 0x03E0;
    image.Masks[2] = 0x001F;
    ASSERT_EQ(s.Bitmap.PixelFormat(), TPixelFormat::pfCustom);
    TVRQPNGWriteStream writer;
    const std::vector<uint8_t> file = WriteToMemory(writer, s.Bitmap);
    const Decoded d = test::DecodeWithLibpng(file);
    ASSERT_TRUE(d.Ok) << d.Error;
    EXPECT_EQ(d.ColorType, 2);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 11; ++x) {
            const TColor c = s.Bitmap.Pixel(x, y);
            const uint8_t* p = d.Pixel(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
            EXPECT_EQ(MakeColor(p[0], p[1], p[2]), c) << x << "," << y;
        }
    // The copy is 24-bit, so no 5-bit significance is claimed.
    const std::vector<test::Chunk> chunks = test::ParseChunks(file);
    EXPECT_EQ(test::FindChunk(chunks, "sBIT"), nullptr);
}

// ---------------------------------------------------------------- filters

TEST(PngWrite, RowScoreFollowsTheHistogramRule)
{
    TDeflateContext context;
    std::vector<uint8_t> row{1};
    for (int v = 0; v < 20; ++v) row.push_back(static_cast<uint8_t>(v));
    context.RowLength = 21;
    context.PixelBits = 8;
    EXPECT_EQ(RowScore(context, row.data()), 890); // 21/1.5/20*1000 + 4/21*1000
    context.PixelBits = 4;
    EXPECT_EQ(RowScore(context, row.data()), 1192); // 21/1.5/20*1500 + 3/21*1000

    struct Flat {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> dominant(90, 7);
    for (int v = 10; v < 20; ++v) dominant.push_back(static_cast<uint8_t>(v));
    std::vector<uint8_t> few;
    for (int i = 0; i < 50; ++i) few.push_back(static_cast<uint8_t>(i % 8));
    for (const Flat& f : {Flat{"one value at 90 percent", dominant}, Flat{"eight distinct values", few}}) {
        context.RowLength = static_cast<int32_t>(f.bytes.size());
        context.PixelBits = 24;
        EXPECT_EQ(RowScore(context, f.bytes.data()), -1) << f.name;
    }
}

TEST(PngWrite, RowsToWriteCountsPassesByHeightAlone)
{
    EXPECT_EQ(TVRQPNGWriteStream::RowsToWrite(1, 1), 4);
    EXPECT_EQ(TVRQPNGWriteStream::RowsToWrite(1, 8), 15);
    EXPECT_EQ(TVRQPNGWriteStream::RowsToWrite(0, 37), 37);
    EXPECT_EQ(TVRQPNGWriteStream::RowsToWrite(0, 0), 0);
}

// Adaptive mode: a flat row stays unfiltered, 4-bit rows are never filtered, and a smooth
// gradient does get filtered rows.
TEST(PngWrite, AdaptiveFilterChoice)
{
    struct Row {
        const char* name;
        Fmt format;
        bool gradient;
        bool expectAllNone;
    };
    for (const Row& r : {Row{"4-bit noise", Fmt::b4, false, true}, Row{"24-bit flat", Fmt::b24, false, true},
                         Row{"24-bit gradient", Fmt::b24, true, false}}) {
        SCOPED_TRACE(r.name);
        Source s;
        MakeSource(s, r.format, 40, 12, 3u);
        if (r.format == Fmt::b24)
            for (int y = 0; y < 12; ++y) {
                uint8_t* row = s.Bitmap.ScanLine(y);
                for (int x = 0; x < 120; ++x) row[x] = r.gradient ? static_cast<uint8_t>(x * 2 + y * 3) : 77;
            }
        TVRQPNGWriteStream writer;
        writer.FilterMode = 0;
        const std::vector<Chunk> chunks = test::ParseChunks(WriteToMemory(writer, s.Bitmap));
        const std::vector<int> types = FilterTypes(InflateIdat(chunks), 40, 12, r.format == Fmt::b4 ? 4 : 24, false);
        ASSERT_EQ(types.size(), 12u);
        const bool allNone = std::all_of(types.begin(), types.end(), [](int t) { return t == 0; });
        EXPECT_EQ(allNone, r.expectAllNone);
    }
}

// ---------------------------------------------------------------- IDAT cutting

// An 8-bit grey row of random bytes stored without compression, sized so that the zlib stream
// is exactly `total` bytes; returns the IDAT sizes, or nothing when no width gives that total.
std::vector<size_t> IdatSizesForTotal(size_t total, int idatSize)
{
    test::Lcg rnd{77u};
    std::vector<uint8_t> noise(total);
    for (uint8_t& b : noise) b = rnd.Next();
    // Stored blocks add a few bytes each: correct the width until the stream has the size.
    int width = static_cast<int>(total) - 12;
    for (int attempt = 0; attempt < 10; ++attempt) {
        TBitmap b;
        b.SetPixelFormat(TPixelFormat::pf8bit);
        b.SetSize(width, 1);
        std::memcpy(b.ScanLine(0), noise.data(), static_cast<size_t>(width));
        TVRQPNGWriteStream writer;
        writer.Grayscale = true;
        writer.CompressionLevel = 0;
        writer.SetIDATSize(idatSize);
        const std::vector<Chunk> chunks = test::ParseChunks(WriteToMemory(writer, b));
        std::vector<size_t> sizes;
        size_t sum = 0;
        for (const Chunk& c : chunks)
            if (c.Type == "IDAT") {
                sizes.push_back(c.Data.size());
                sum += c.Data.size();
            }
        if (sum == total) return sizes;
        width += static_cast<int>(total) - static_cast<int>(sum);
    }
    return {};
}

TEST(PngWrite, IdatChunksAreFullButTheLastAndNeverEmpty)
{
    EXPECT_EQ(IdatSizesForTotal(70000, 32768), (std::vector<size_t>{32768, 32768, 4464}));
    EXPECT_EQ(IdatSizesForTotal(512, 256), (std::vector<size_t>{256, 256}));
    EXPECT_EQ(IdatSizesForTotal(2 * 32768, 32768), (std::vector<size_t>{32768, 32768}));
}

TEST(PngWrite, SetIDATSizeAcceptsOnly256To100000)
{
    TVRQPNGWriteStream writer;
    for (int bad : {255, 100001, 0, -1}) {
        try {
            writer.SetIDATSize(bad);
            ADD_FAILURE() << bad << " accepted";
        } catch (const EVRQPNG& e) {
            EXPECT_STREQ(e.what(), "Write PNG Param: Err IDAT Size(min:256  max:100000)");
        }
        EXPECT_EQ(writer.IDATSize(), 32768);
    }
    for (int good : {256, 100000}) {
        writer.SetIDATSize(good);
        EXPECT_EQ(writer.IDATSize(), good);
    }
}

// ---------------------------------------------------------------- row event

// The event sees every raw row in order with its length and the key; what it changes is
// written, and the next row is filtered against the changed row (else libpng would decode
// other pixels).
TEST(PngWrite, RowEventChangesTheWrittenRows)
{
    for (const int filter : {0, 2, 4, 5}) {
        for (const bool interlace : {false, true}) {
            SCOPED_TRACE(std::to_string(filter) + (interlace ? " interlaced" : ""));
            Source s;
            MakeSource(s, Fmt::b24, 10, 9, 11u);
            TVRQPNGWriteStream writer;
            writer.FilterMode = filter;
            writer.Interlace = interlace ? 1 : 0;
            writer.RowKey = "key";
            std::vector<int> numbers;
            writer.OnEncodeRow = [&](TVRQPNGWriteStream& sender, uint8_t* row, int32_t length, int32_t number,
                                     const std::string& key) {
                EXPECT_EQ(&sender, &writer);
                EXPECT_EQ(key, "key");
                numbers.push_back(number);
                for (int32_t i = 0; i < length; ++i) row[i] = static_cast<uint8_t>(row[i] ^ 0x5A);
            };
            const std::vector<uint8_t> file = WriteToMemory(writer, s.Bitmap);
            const int rows = TVRQPNGWriteStream::RowsToWrite(interlace ? 1 : 0, 9);
            ASSERT_EQ(static_cast<int>(numbers.size()), rows);
            for (int i = 0; i < rows; ++i) EXPECT_EQ(numbers[static_cast<size_t>(i)], i);
            const std::vector<Chunk> chunks = test::ParseChunks(file);
            const Chunk* vp = test::FindChunk(chunks, "vpNG");
            ASSERT_NE(vp, nullptr);
            EXPECT_EQ(vp->Data[4], 1);
            const Decoded d = test::DecodeWithLibpng(file);
            ASSERT_TRUE(d.Ok) << d.Error;
            for (int y = 0; y < 9; ++y)
                for (int x = 0; x < 10; ++x) {
                    const TColor c = s.Colours[static_cast<size_t>(y * 10 + x)];
                    const uint8_t* p = d.Pixel(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
                    ASSERT_EQ(MakeColor(p[0] ^ 0x5A, p[1] ^ 0x5A, p[2] ^ 0x5A), c) << x << "," << y;
                }
        }
    }
}

TEST(PngWrite, RowEventNeedsAKey)
{
    Source s;
    MakeSource(s, Fmt::b8, 5, 3, 1u);
    TVRQPNGWriteStream writer;
    int calls = 0;
    writer.OnEncodeRow = [&](TVRQPNGWriteStream&, uint8_t*, int32_t, int32_t, const std::string&) { ++calls; };
    const std::vector<uint8_t> file = WriteToMemory(writer, s.Bitmap);
    EXPECT_EQ(calls, 0);
    const std::vector<Chunk> chunks = test::ParseChunks(file);
    ASSERT_NE(test::FindChunk(chunks, "vpNG"), nullptr);
    EXPECT_EQ(test::FindChunk(chunks, "vpNG")->Data[4], 0);
}

// ---------------------------------------------------------------- progress and failures

TEST(PngWrite, ProgressRunsFromStartToEnd)
{
    Source s;
    MakeSource(s, Fmt::b24, 20, 30, 2u);
    std::vector<int> percents;
    s.Bitmap.OnProgress = [&](const TGraphic&, TProgressStage, uint8_t percent, bool, const TRect&, const std::string&) {
        percents.push_back(percent);
    };
    TVRQPNGWriteStream writer;
    WriteToMemory(writer, s.Bitmap);
    ASSERT_GE(percents.size(), 3u);
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
}

// A stream that accepts a limited number of bytes, then fails like a full disk.
class FailingStream : public TMemoryStream {
public:
    explicit FailingStream(int64_t limit) : limit_(limit) {}
    int64_t Write(const void* buffer, int64_t count) override
    {
        if (Size() + count > limit_) return 0;
        return TMemoryStream::Write(buffer, count);
    }

private:
    int64_t limit_;
};

// Failures while the rows are written reach the caller; the writer releases everything (the
// sanitizer build would report a leak) and can write the next image.
TEST(PngWrite, FailuresPropagateAndTheWriterRecovers)
{
    Source s;
    MakeSource(s, Fmt::b24, 300, 300, 9u);
    TVRQPNGWriteStream writer;
    writer.CompressionLevel = 0;
    FailingStream small(70000);
    EXPECT_THROW(writer.WriteToStream(s.Bitmap, small), EWriteError);

    writer.RowKey = "k";
    writer.OnEncodeRow = [](TVRQPNGWriteStream&, uint8_t*, int32_t, int32_t number, const std::string&) {
        if (number == 5) throw std::runtime_error("event failed");
    };
    TMemoryStream target;
    EXPECT_THROW(writer.WriteToStream(s.Bitmap, target), std::runtime_error);

    writer.OnEncodeRow = nullptr;
    const std::vector<uint8_t> file = WriteToMemory(writer, s.Bitmap);
    const Decoded d = test::DecodeWithLibpng(file);
    ASSERT_TRUE(d.Ok) << d.Error;
    EXPECT_EQ(d.Width, 300u);
}

} // namespace
} // namespace tintabrel
