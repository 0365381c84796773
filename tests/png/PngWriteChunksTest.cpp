// The writer's chunks byte for byte: header per source, order, conditions and contents.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>

#include "png/SFunc.h"
#include "png/VRQPNGWriteStream.h"
#include "tests/png/PngWriteTestSupport.h"

namespace tintabrel {
namespace {

using test::Chunk;
using Bytes = std::vector<uint8_t>;

std::vector<Chunk> Write(TVRQPNGWriteStream& writer, const TBitmap& bitmap)
{
    TMemoryStream stream;
    writer.WriteToStream(bitmap, stream);
    return test::ParseChunks(stream.Bytes());
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The chunk types without the IDAT run collapsed: "IDAT" appears once for the run.
std::vector<std::string> Sequence(const std::vector<Chunk>& chunks)
{
    std::vector<std::string> types;
    for (const Chunk& c : chunks)
        if (!(c.Type == "IDAT" && !types.empty() && types.back() == "IDAT")) types.push_back(c.Type);
    return types;
}

void Make24(TBitmap& b, int w = 3, int h = 2)
{
    b.SetPixelFormat(TPixelFormat::pf24bit);
    b.SetSize(w, h);
}

// An 8-bit picture with a 16-entry palette: entry i is (i*16, 255-i*16, i*8).
void MakePalette8(TBitmap& b, int entries = 16)
{
    b.SetPixelFormat(TPixelFormat::pf8bit);
    b.SetSize(4, 2);
    TPalette p;
    for (int i = 0; i < entries; ++i) p.Add(static_cast<uint8_t>(i * 16), static_cast<uint8_t>(255 - i * 16), static_cast<uint8_t>(i * 8));
    b.SetPalette(p);
}

TEST(PngWriteChunks, EncoderDefaultsOnA24BitPicture)
{
    TBitmap b;
    Make24(b);
    TVRQPNGWriteStream writer;
    TMemoryStream stream;
    writer.WriteToStream(b, stream);
    const Bytes& file = stream.Bytes();
    const Bytes signature(std::begin(PngSignature), std::end(PngSignature));
    ASSERT_GE(file.size(), 20u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), signature);
    const Bytes iend{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    EXPECT_EQ(Bytes(file.end() - 12, file.end()), iend);

    const std::vector<Chunk> chunks = test::ParseChunks(file);
    // No gAMA: the encoder's own gamma is 0.
    EXPECT_EQ(Sequence(chunks), (std::vector<std::string>{"IHDR", "tIME", "tEXt", "vpNG", "IDAT", "IEND"}));
    for (const Chunk& c : chunks) EXPECT_TRUE(c.CrcOk) << c.Type;
    EXPECT_EQ(chunks[0].Data, (Bytes{0, 0, 0, 3, 0, 0, 0, 2, 8, 2, 0, 0, 0}));
    EXPECT_EQ(chunks[2].Data, Text(std::string("Software") + '\0' + "VRQPNG ver 3.4"));
    EXPECT_EQ(chunks[3].Data, (Bytes{'V', 'R', 'Q', '3', 0, 0, 0, 0}));

    // tIME is the current UTC time.
    const Bytes& t = chunks[1].Data;
    ASSERT_EQ(t.size(), 7u);
    std::tm written{};
    written.tm_year = (t[0] << 8 | t[1]) - 1900;
    written.tm_mon = t[2] - 1;
    written.tm_mday = t[3];
    written.tm_hour = t[4];
    written.tm_min = t[5];
    written.tm_sec = t[6];
    EXPECT_LE(std::abs(static_cast<long>(timegm(&written) - std::time(nullptr))), 120L);
}

TEST(PngWriteChunks, HeaderFollowsSourceGreyAndAlpha)
{
    struct Row {
        const char* name;
        TPixelFormat format;
        bool grey;
        int alpha; // 0 none, 1 fitting, 2 other size, 3 24-bit, 4 the image itself
        int depth, colourType;
    };
    const Row rows[] = {
        {"4-bit grey with alpha", TPixelFormat::pf4bit, true, 1, 4, 0},
        {"8-bit palette with alpha", TPixelFormat::pf8bit, false, 1, 8, 3},
        {"8-bit grey with alpha", TPixelFormat::pf8bit, true, 1, 8, 4},
        {"24-bit with alpha", TPixelFormat::pf24bit, false, 1, 8, 6},
        {"24-bit grey with alpha", TPixelFormat::pf24bit, true, 1, 8, 4},
        {"alpha of another size", TPixelFormat::pf24bit, false, 2, 8, 2},
        {"alpha not 8-bit", TPixelFormat::pf24bit, false, 3, 8, 2},
        {"alpha is the image", TPixelFormat::pf8bit, true, 4, 8, 0},
        {"15-bit", TPixelFormat::pf15bit, false, 0, 8, 2},
        {"1-bit grey", TPixelFormat::pf1bit, true, 0, 1, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TBitmap b, alpha;
        b.SetPixelFormat(r.format);
        b.SetSize(5, 3);
        alpha.SetPixelFormat(r.alpha == 3 ? TPixelFormat::pf24bit : TPixelFormat::pf8bit);
        alpha.SetSize(5, r.alpha == 2 ? 4 : 3);
        TVRQPNGWriteStream writer;
        writer.Grayscale = r.grey;
        writer.AlphaBitmap = r.alpha == 4 ? &b : r.alpha ? &alpha : nullptr;
        const std::vector<Chunk> chunks = Write(writer, b);
        ASSERT_FALSE(chunks.empty());
        EXPECT_EQ(chunks[0].Data[8], r.depth);
        EXPECT_EQ(chunks[0].Data[9], r.colourType);
    }
}

TEST(PngWriteChunks, AllChunksInOrder)
{
    TBitmap b;
    MakePalette8(b);
    const TVRQPNGTime time{2024, 2, 29, 23, 59, 60};
    TVRQPNGChromaticity chroma;
    for (uint32_t i = 0; i < 8; ++i) chroma.Values[i] = 1000 * (i + 1);
    const TVRQPNGGifControl gif{{2, 1, 0x01, 0x02}};
    TVRQPNGWriteStream writer;
    writer.Comment = "x";
    writer.UseCurrentTime = false;
    writer.TimeStamp = &time;
    writer.Chromaticity = &chroma;
    writer.GifControl = &gif;
    writer.Gamma = 0.45455;
    writer.SignificantBits = 0x060504;
    writer.BackgroundColor = 0x01000005;
    writer.TransparentColor = 0x01000003;
    writer.PhysUnit = 2;
    writer.PhysX = 96;
    writer.PhysY = 72;
    const std::vector<Chunk> chunks = Write(writer, b);
    EXPECT_EQ(Sequence(chunks), (std::vector<std::string>{"IHDR", "tIME", "tEXt", "tEXt", "vpNG", "gIFg", "gAMA", "cHRM",
                                                          "sBIT", "PLTE", "bKGD", "tRNS", "pHYs", "IDAT", "IEND"}));
    EXPECT_EQ(chunks[1].Data, (Bytes{0x07, 0xE8, 2, 29, 23, 59, 60}));
    EXPECT_EQ(chunks[2].Data, Text(std::string("Comment") + '\0' + "x")); // 9 bytes
    EXPECT_EQ(chunks[5].Data, (Bytes{2, 1, 0x01, 0x02}));
    EXPECT_EQ(chunks[6].Data, (Bytes{0, 0, 0xB1, 0x8F})); // 45455
    ASSERT_EQ(chunks[7].Data.size(), 32u);
    EXPECT_EQ(test::BE32(&chunks[7].Data[28]), 8000u);
    EXPECT_EQ(chunks[8].Data, (Bytes{4, 5, 6}));
    ASSERT_EQ(chunks[9].Data.size(), 48u);
    EXPECT_EQ(Bytes(chunks[9].Data.begin() + 3, chunks[9].Data.begin() + 6), (Bytes{16, 239, 8}));
    EXPECT_EQ(chunks[10].Data, (Bytes{5}));
    EXPECT_EQ(chunks[11].Data, (Bytes{255, 255, 255, 0}));
    EXPECT_EQ(chunks[12].Data, (Bytes{0, 0, 0x0E, 0xC3, 0, 0, 0x0B, 0x12, 1})); // 3779, 2834 per metre
}

// Each optional chunk is left out under its condition.
TEST(PngWriteChunks, ConditionsLeaveChunksOut)
{
    const TVRQPNGTime badSecond{2024, 1, 1, 0, 0, 61};
    const TVRQPNGTime badMonth{2024, 13, 1, 0, 0, 0};
    const TVRQPNGTime noYear{0, 1, 1, 0, 0, 0};
    const TVRQPNGChromaticity noWhite{};
    const TVRQPNGGifControl noGif{};
    struct Row {
        const char* name;
        std::function<void(TVRQPNGWriteStream&)> set;
        const char* missing;
    };
    const Row rows[] = {
        {"second 61", [&](TVRQPNGWriteStream& w) { w.UseCurrentTime = false, w.TimeStamp = &badSecond; }, "tIME"},
        {"month 13", [&](TVRQPNGWriteStream& w) { w.UseCurrentTime = false, w.TimeStamp = &badMonth; }, "tIME"},
        {"year 0", [&](TVRQPNGWriteStream& w) { w.UseCurrentTime = false, w.TimeStamp = &noYear; }, "tIME"},
        {"no time stamp", [&](TVRQPNGWriteStream& w) { w.UseCurrentTime = false; }, "tIME"},
        {"gamma truncates to 0", [&](TVRQPNGWriteStream& w) { w.Gamma = 0.000001; }, "gAMA"},
        {"negative gamma", [&](TVRQPNGWriteStream& w) { w.Gamma = -1; }, "gAMA"},
        {"white point 0", [&](TVRQPNGWriteStream& w) { w.Chromaticity = &noWhite; }, "cHRM"},
        {"gif control all 0", [&](TVRQPNGWriteStream& w) { w.GifControl = &noGif; }, "gIFg"},
        {"physical x 0", [&](TVRQPNGWriteStream& w) { w.PhysX = 0, w.PhysY = 10; }, "pHYs"},
        {"sBIT high byte set", [&](TVRQPNGWriteStream& w) { w.SignificantBits = 0x80080808; }, "sBIT"},
        {"empty comment", [&](TVRQPNGWriteStream& w) { w.Comment.clear(); }, "tEXt+Comment"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TBitmap b;
        Make24(b);
        TVRQPNGWriteStream writer;
        r.set(writer);
        const std::vector<Chunk> chunks = Write(writer, b);
        ASSERT_FALSE(chunks.empty());
        if (std::string(r.missing) == "tEXt+Comment") {
            for (const Chunk& c : chunks) {
                if (c.Type == "tEXt") {
                    EXPECT_NE(std::string(c.Data.begin(), c.Data.begin() + 7), "Comment");
                }
            }
        } else {
            EXPECT_EQ(test::FindChunk(chunks, r.missing), nullptr);
        }
    }
}

TEST(PngWriteChunks, PhysicalSizeUnits)
{
    struct Row {
        int unit, x, y;
        Bytes data;
    };
    const Row rows[] = {
        {2, 96, 96, {0, 0, 0x0E, 0xC3, 0, 0, 0x0E, 0xC3, 1}},
        {1, 3779, 100, {0, 0, 0x0E, 0xC3, 0, 0, 0, 100, 1}},
        {0, 2, 3, {0, 0, 0, 2, 0, 0, 0, 3, 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.unit);
        TBitmap b;
        Make24(b);
        TVRQPNGWriteStream writer;
        writer.PhysUnit = r.unit;
        writer.PhysX = r.x;
        writer.PhysY = r.y;
        const std::vector<Chunk> chunks = Write(writer, b);
        const Chunk* p = test::FindChunk(chunks, "pHYs");
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->Data, r.data);
    }
}

TEST(PngWriteChunks, SignificantBits)
{
    struct Row {
        const char* name;
        TPixelFormat format;
        bool grey, alpha;
        uint32_t setting;
        Bytes data; // empty: no chunk
    };
    const Row rows[] = {
        {"15-bit", TPixelFormat::pf15bit, false, false, 0x030303, {5, 5, 5}},
        {"16-bit", TPixelFormat::pf16bit, false, false, 0, {5, 6, 5}},
        {"16-bit with alpha", TPixelFormat::pf16bit, false, true, 0, {5, 6, 5, 8}},
        {"15-bit grey", TPixelFormat::pf15bit, true, false, 0, {}},
        {"24-bit setting", TPixelFormat::pf24bit, false, false, 0x070605, {5, 6, 7}},
        {"24-bit none", TPixelFormat::pf24bit, false, false, 0, {}},
        // Every sample is 8 bits deep here: 0 and values above 8 become 8.
        {"deeper source", TPixelFormat::pf24bit, false, true, 0x000D0D0D, {8, 8, 8, 8}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TBitmap b, alpha;
        b.SetPixelFormat(r.format);
        b.SetSize(2, 2);
        alpha.SetPixelFormat(TPixelFormat::pf8bit);
        alpha.SetSize(2, 2);
        TVRQPNGWriteStream writer;
        writer.Grayscale = r.grey;
        writer.SignificantBits = r.setting;
        if (r.alpha) writer.AlphaBitmap = &alpha;
        const std::vector<Chunk> chunks = Write(writer, b);
        const Chunk* s = test::FindChunk(chunks, "sBIT");
        if (r.data.empty()) {
            EXPECT_EQ(s, nullptr);
        } else {
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(s->Data, r.data);
        }
    }
}

// bKGD and tRNS for indexed sources: named indices, nearest colours, grey levels, and indices
// the palette does not have.
TEST(PngWriteChunks, BackgroundAndTransparencyForPalettes)
{
    // Entry 5 is (80, 175, 40): grey (77*80 + 150*175 + 29*40) div 256 = 131.
    struct Row {
        const char* name;
        bool grey;
        TColor background, transparent;
        Bytes bkgd, trns; // empty: no chunk
    };
    const Row rows[] = {
        {"named indices", false, 0x01000005, 0x01000003, {5}, {255, 255, 255, 0}},
        {"index 0", false, -1, 0x01000000, {}, {0}},
        {"nearest colour", false, MakeColor(33, 220, 15), MakeColor(80, 175, 40), {2}, {255, 255, 255, 255, 255, 0}},
        {"grey", true, 0x01000005, 0x01000005, {0, 131}, {0, 131}},
        {"grey from colour", true, MakeColor(255, 255, 255), -1, {0, 255}, {}},
        {"index beyond the palette", false, 0x01000010, 0x010000FF, {}, {}},
        {"grey of a missing entry", true, 0x01000020, -1, {}, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TBitmap b;
        MakePalette8(b);
        TVRQPNGWriteStream writer;
        writer.Grayscale = r.grey;
        writer.BackgroundColor = r.background;
        writer.TransparentColor = r.transparent;
        const std::vector<Chunk> chunks = Write(writer, b);
        for (const auto& [type, want] : {std::pair{"bKGD", r.bkgd}, std::pair{"tRNS", r.trns}}) {
            const Chunk* c = test::FindChunk(chunks, type);
            if (want.empty()) {
                EXPECT_EQ(c, nullptr) << type;
            } else {
                ASSERT_NE(c, nullptr) << type;
                EXPECT_EQ(c->Data, want) << type;
            }
        }
    }
}

TEST(PngWriteChunks, BackgroundAndTransparencyForColourImages)
{
    TBitmap b, alpha;
    Make24(b);
    TVRQPNGWriteStream writer;
    writer.BackgroundColor = MakeColor(0x12, 0x34, 0x56);
    writer.TransparentColor = MakeColor(1, 2, 3);
    std::vector<Chunk> chunks = Write(writer, b);
    ASSERT_NE(test::FindChunk(chunks, "bKGD"), nullptr);
    EXPECT_EQ(test::FindChunk(chunks, "bKGD")->Data, (Bytes{0, 0x12, 0, 0x34, 0, 0x56}));
    ASSERT_NE(test::FindChunk(chunks, "tRNS"), nullptr);
    EXPECT_EQ(test::FindChunk(chunks, "tRNS")->Data, (Bytes{0, 1, 0, 2, 0, 3}));

    // With an alpha channel the transparent colour is not written.
    alpha.SetPixelFormat(TPixelFormat::pf8bit);
    alpha.SetSize(3, 2);
    writer.AlphaBitmap = &alpha;
    chunks = Write(writer, b);
    EXPECT_EQ(test::FindChunk(chunks, "tRNS"), nullptr);
    EXPECT_NE(test::FindChunk(chunks, "bKGD"), nullptr);
}

// PLTE carries the palette's entries, but never more than the bit depth can index.
TEST(PngWriteChunks, PaletteEntries)
{
    struct Row {
        const char* name;
        TPixelFormat format;
        int entries;
        size_t bytes;
    };
    for (const Row& r : {Row{"short 8-bit palette", TPixelFormat::pf8bit, 16, 48}, Row{"full 4-bit", TPixelFormat::pf4bit, 16, 48},
                         Row{"1-bit given 16 entries", TPixelFormat::pf1bit, 16, 6}}) {
        SCOPED_TRACE(r.name);
        TBitmap b;
        b.SetPixelFormat(r.format);
        b.SetSize(3, 1);
        TPalette p;
        for (int i = 0; i < r.entries; ++i) p.Add(static_cast<uint8_t>(i), 0, 0);
        b.SetPalette(p);
        TVRQPNGWriteStream writer;
        const std::vector<Chunk> chunks = Write(writer, b);
        const Chunk* plte = test::FindChunk(chunks, "PLTE");
        ASSERT_NE(plte, nullptr);
        EXPECT_EQ(plte->Data.size(), r.bytes);
    }
}

// Without palette entries the indices stand for grey levels: as grey samples in a grey image,
// and through a grey ramp in PLTE (which colour type 3 cannot do without).
TEST(PngWriteChunks, EmptyPaletteMeansGreyLevels)
{
    TBitmap b;
    b.SetPixelFormat(TPixelFormat::pf8bit);
    b.SetSize(3, 1);
    b.SetPalette(TPalette{});
    if (b.Palette() && b.Palette()->Count() > 0) GTEST_SKIP() << "the bitmap keeps a palette";
    uint8_t* row = b.ScanLine(0);
    row[0] = 0, row[1] = 100, row[2] = 255;
    for (const bool grey : {true, false}) {
        SCOPED_TRACE(grey ? "grey" : "palette");
        TVRQPNGWriteStream writer;
        writer.Grayscale = grey;
        TMemoryStream stream;
        writer.WriteToStream(b, stream);
        const test::Decoded d = test::DecodeWithLibpng(stream.Bytes());
        ASSERT_TRUE(d.Ok) << d.Error;
        EXPECT_EQ(d.ColorType, grey ? 0 : 3);
        for (uint32_t x = 0; x < 3; ++x) {
            EXPECT_EQ(d.Pixel(x, 0)[0], row[x]);
            EXPECT_EQ(d.Pixel(x, 0)[2], row[x]);
        }
    }
}

TEST(PngWriteChunks, GrayLevelOf)
{
    EXPECT_EQ(TVRQPNGWriteStream::GrayLevelOf(MakeColor(255, 255, 255), 8), 255);
    EXPECT_EQ(TVRQPNGWriteStream::GrayLevelOf(MakeColor(100, 0, 0), 8), 30);
    EXPECT_EQ(TVRQPNGWriteStream::GrayLevelOf(MakeColor(0, 0, 255), 8), 28);
    EXPECT_EQ(TVRQPNGWriteStream::GrayLevelOf(MakeColor(128, 128, 128), 1), 1);
    EXPECT_EQ(TVRQPNGWriteStream::GrayLevelOf(MakeColor(127, 127, 127), 1), 0);
    EXPECT_EQ(TVRQPNGWriteStream::GrayLevelOf(MakeColor(200, 200, 200), 4), 12);
}

} // namespace
} // namespace tintabrel
