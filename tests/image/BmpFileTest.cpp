// BMP reading and writing: every header and pixel kind, run-length decoding, the fields of
// written files, and refusal of damaged or hostile files.
#include "image/Graphics.h"

#include "base/Exceptions.h"
#include "base/Streams.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

using Bytes = std::vector<uint8_t>;

void Le16(Bytes& b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Le32(Bytes& b, uint32_t v)
{
    Le16(b, v & 0xFFFF);
    Le16(b, v >> 16);
}
uint32_t U32At(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24); }
uint16_t U16At(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Header fields of a file to build; size 12 gives the core header.
struct Info {
    uint32_t size = 40;
    int32_t width = 2;
    int32_t height = 2;
    uint16_t planes = 1;
    uint16_t bits = 24;
    uint32_t compression = 0;
    uint32_t sizeImage = 0;
    int32_t xppm = 0;
    int32_t yppm = 0;
    uint32_t clrUsed = 0;
    uint32_t clrImportant = 0;
    std::array<uint32_t, 3> headerMasks{}; // the masks inside a 108- or 124-byte header
};

// File header + header + `middle` (masks, colour table) + `pixels`; the offset field is right.
Bytes MakeBmp(const Info& i, const Bytes& middle, const Bytes& pixels)
{
    Bytes h;
    if (i.size == 12) {
        Le32(h, 12);
        Le16(h, static_cast<uint32_t>(i.width));
        Le16(h, static_cast<uint32_t>(i.height));
        Le16(h, i.planes);
        Le16(h, i.bits);
    } else {
        Le32(h, i.size);
        Le32(h, static_cast<uint32_t>(i.width));
        Le32(h, static_cast<uint32_t>(i.height));
        Le16(h, i.planes);
        Le16(h, i.bits);
        Le32(h, i.compression);
        Le32(h, i.sizeImage);
        Le32(h, static_cast<uint32_t>(i.xppm));
        Le32(h, static_cast<uint32_t>(i.yppm));
        Le32(h, i.clrUsed);
        Le32(h, i.clrImportant);
        if (i.size > 40)
            for (uint32_t m : i.headerMasks) Le32(h, m);
        h.resize(i.size, 0);
    }
    const uint32_t offset = static_cast<uint32_t>(14 + h.size() + middle.size());
    Bytes f = {'B', 'M'};
    Le32(f, offset + static_cast<uint32_t>(pixels.size()));
    Le32(f, 0);
    Le32(f, offset);
    return f + h + middle + pixels;
}

// Colour-table entries (blue, green, red[, 0]) from colour values.
Bytes Table(const std::vector<TColor>& colours, bool core = false)
{
    Bytes b;
    for (TColor c : colours) {
        b.push_back(BlueOf(c));
        b.push_back(GreenOf(c));
        b.push_back(RedOf(c));
        if (!core) b.push_back(0);
    }
    return b;
}
Bytes Masks(uint32_t r, uint32_t g, uint32_t b)
{
    Bytes out;
    Le32(out, r);
    Le32(out, g);
    Le32(out, b);
    return out;
}

std::unique_ptr<TBitmap> Load(const Bytes& bytes)
{
    auto bmp = std::make_unique<TBitmap>();
    TMemoryStream s(bytes);
    bmp->LoadFromStream(s);
    return bmp;
}
Bytes Save(const TBitmap& bmp)
{
    TMemoryStream s;
    bmp.SaveToStream(s);
    return s.Bytes();
}

// Colours row by row from the top.
std::vector<TColor> PixelsOf(const TBitmap& bmp)
{
    std::vector<TColor> out;
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) out.push_back(bmp.Pixel(x, y));
    return out;
}

// Byte order in the files is blue, green, red: A is stored as 10 20 30, B as 28 96 64, D as 80 FE 01.
constexpr TColor A = 0x00102030, B = 0x00289664, C = 0x00FFFFFF, D = 0x0080FE01;
constexpr TColor Red = 0x0000FF, Green = 0x00FF00, Blue = 0xFF0000, White = 0xFFFFFF;

std::vector<TColor> Table256()
{
    std::vector<TColor> t;
    for (int k = 0; k < 256; ++k) t.push_back(MakeColor(static_cast<uint8_t>(k), static_cast<uint8_t>(255 - k), static_cast<uint8_t>(k / 2)));
    return t;
}

// ---------------------------------------------------------------- every kind round-trips

struct KindCase {
    const char* name;
    Bytes file;
    TPixelFormat format;
    std::vector<TColor> pixels; // 2 x 2, top row first
    uint32_t savedHeaderSize;
    uint32_t savedOffset;
    uint32_t savedColoursUsed; // information header only
    int32_t savedHeight;
};

std::vector<KindCase> KindCases()
{
    const auto t256 = Table256();
    return {
        // Bottom row first: the first row of pixel bytes is the bottom row.
        {"1bit", MakeBmp({.bits = 1}, Table({A, B}), {0x80, 0, 0, 0, 0x40, 0, 0, 0}), TPixelFormat::pf1bit, {A, B, B, A}, 40, 62, 2, 2},
        {"4bit_3colours", MakeBmp({.bits = 4, .clrUsed = 3}, Table({A, B, C}), {0x02, 0, 0, 0, 0x21, 0, 0, 0}), TPixelFormat::pf4bit,
         {C, B, A, C}, 40, 66, 3, 2},
        {"8bit_full_table", MakeBmp({.bits = 8}, Table(t256), {0, 255, 0, 0, 5, 250, 0, 0}), TPixelFormat::pf8bit,
         {t256[5], t256[250], t256[0], t256[255]}, 40, 1078, 256, 2},
        {"16bit_555", MakeBmp({.bits = 16}, {}, {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0xFF, 0x7F}), TPixelFormat::pf15bit,
         {Blue, White, Red, Green}, 40, 54, 0, 2},
        {"16bit_565_masks", MakeBmp({.bits = 16, .compression = 3}, Masks(0xF800, 0x07E0, 0x001F), {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF}),
         TPixelFormat::pf16bit, {Blue, White, Red, Green}, 40, 66, 0, 2},
        {"16bit_565_v4header", MakeBmp({.size = 108, .bits = 16, .compression = 3, .headerMasks = {0xF800, 0x07E0, 0x001F}}, {},
                                       {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF}),
         TPixelFormat::pf16bit, {Blue, White, Red, Green}, 40, 66, 0, 2},
        // The 52- and 56-byte headers (masks inside the header; the 56-byte one adds alpha's).
        {"16bit_565_52header", MakeBmp({.size = 52, .bits = 16, .compression = 3, .headerMasks = {0xF800, 0x07E0, 0x001F}}, {},
                                       {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF}),
         TPixelFormat::pf16bit, {Blue, White, Red, Green}, 40, 66, 0, 2},
        {"32bit_masks_56header", MakeBmp({.size = 56, .bits = 32, .compression = 3, .headerMasks = {0xFF, 0xFF00, 0xFF0000}}, {},
                                         {0x30, 0x20, 0x10, 0, 0x64, 0x96, 0x28, 0, 0xFF, 0xFF, 0xFF, 0, 0x01, 0xFE, 0x80, 0}),
         TPixelFormat::pfCustom, {C, D, A, B}, 40, 66, 0, 2},
        {"8bit_52header", MakeBmp({.size = 52, .bits = 8, .clrUsed = 2}, Table({A, B}), {0, 1, 0, 0, 1, 0, 0, 0}),
         TPixelFormat::pf8bit, {B, A, A, B}, 40, 62, 2, 2},
        {"24bit_top_down", MakeBmp({.height = -2, .bits = 24}, {}, {0x10, 0x20, 0x30, 0x28, 0x96, 0x64, 0, 0, 0xFF, 0xFF, 0xFF, 0x80, 0xFE, 0x01, 0, 0}),
         TPixelFormat::pf24bit, {A, B, C, D}, 40, 54, 0, -2},
        {"24bit_with_table", MakeBmp({.bits = 24, .clrUsed = 2}, Table({Red, Blue}), {0x10, 0x20, 0x30, 0x28, 0x96, 0x64, 0, 0, 0xFF, 0xFF, 0xFF, 0x80, 0xFE, 0x01, 0, 0}),
         TPixelFormat::pf24bit, {C, D, A, B}, 40, 62, 2, 2},
        {"32bit", MakeBmp({.bits = 32}, {}, {0x10, 0x20, 0x30, 0, 0x28, 0x96, 0x64, 0, 0xFF, 0xFF, 0xFF, 0, 0x80, 0xFE, 0x01, 0}),
         TPixelFormat::pf32bit, {C, D, A, B}, 40, 54, 0, 2},
        // Reversed channel order, masks inside a 124-byte header.
        {"32bit_masks_v5header", MakeBmp({.size = 124, .bits = 32, .compression = 3, .headerMasks = {0xFF, 0xFF00, 0xFF0000}}, {},
                                         {0x30, 0x20, 0x10, 0, 0x64, 0x96, 0x28, 0, 0xFF, 0xFF, 0xFF, 0, 0x01, 0xFE, 0x80, 0}),
         TPixelFormat::pfCustom, {C, D, A, B}, 40, 66, 0, 2},
        {"core_1bit", MakeBmp({.size = 12, .bits = 1}, Table({A, B}, true), {0x80, 0, 0, 0, 0x40, 0, 0, 0}), TPixelFormat::pf1bit,
         {A, B, B, A}, 12, 32, 0, 2},
        {"core_24bit", MakeBmp({.size = 12, .bits = 24}, {}, {0x10, 0x20, 0x30, 0x28, 0x96, 0x64, 0, 0, 0xFF, 0xFF, 0xFF, 0x80, 0xFE, 0x01, 0, 0}),
         TPixelFormat::pf24bit, {C, D, A, B}, 12, 26, 0, 2},
    };
}

TEST(BmpFile, EveryKindLoadsAndRoundTrips)
{
    for (const KindCase& k : KindCases()) {
        SCOPED_TRACE(k.name);
        auto first = Load(k.file);
        ASSERT_EQ(first->Width(), 2);
        ASSERT_EQ(first->Height(), 2);
        EXPECT_EQ(first->PixelFormat(), k.format);
        EXPECT_EQ(PixelsOf(*first), k.pixels);

        const Bytes saved = Save(*first);
        ASSERT_GE(saved.size(), 26u);
        EXPECT_EQ(saved[0], 'B');
        EXPECT_EQ(saved[1], 'M');
        EXPECT_EQ(U32At(saved, 2), saved.size()) << "file size";
        EXPECT_EQ(U32At(saved, 6), 0u) << "reserved";
        EXPECT_EQ(U32At(saved, 10), k.savedOffset);
        EXPECT_EQ(U32At(saved, 14), k.savedHeaderSize);
        if (k.savedHeaderSize == 40) {
            EXPECT_EQ(static_cast<int32_t>(U32At(saved, 22)), k.savedHeight);
            EXPECT_EQ(U32At(saved, 34), saved.size() - k.savedOffset) << "image size";
            EXPECT_EQ(U32At(saved, 46), k.savedColoursUsed);
        }
        EXPECT_EQ(Save(*first), saved) << "saving twice gives the same file";

        auto second = Load(saved);
        EXPECT_EQ(second->PixelFormat(), k.format);
        EXPECT_EQ(PixelsOf(*second), k.pixels);
    }
}

TEST(BmpFile, MasksAreWrittenAsHeldAndDefaultsWhenRedMaskIsZero)
{
    auto custom = Load(MakeBmp({.size = 124, .bits = 32, .compression = 3, .headerMasks = {0xFF, 0xFF00, 0xFF0000}}, {}, Bytes(16, 0)));
    Bytes saved = Save(*custom);
    EXPECT_EQ(U32At(saved, 30), BI_BITFIELDS);
    EXPECT_EQ(U32At(saved, 54), 0xFFu);
    EXPECT_EQ(U32At(saved, 58), 0xFF00u);
    EXPECT_EQ(U32At(saved, 62), 0xFF0000u);

    // Bit fields without masks mean 5-6-5.
    auto defaults = Load(MakeBmp({.bits = 16, .compression = 3}, Masks(0, 0, 0), {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(PixelsOf(*defaults), (std::vector<TColor>{Blue, White, Red, Green}));
    saved = Save(*defaults);
    EXPECT_EQ(U32At(saved, 54), 0xF800u);
    EXPECT_EQ(U32At(saved, 58), 0x07E0u);
    EXPECT_EQ(U32At(saved, 62), 0x001Fu);
}

// ---------------------------------------------------------------- header fields of written files

TEST(BmpFile, ColourTableSizesAsReadAndWritten)
{
    // 8-bit declaring 16 colours: 16 entries read and written back.
    auto sixteen = Load(MakeBmp({.width = 1, .height = 1, .bits = 8, .clrUsed = 16}, Table(std::vector<TColor>(16, B)), {3, 0, 0, 0}));
    EXPECT_EQ(sixteen->Image()->ColorTable.size(), 16u);
    Bytes saved = Save(*sixteen);
    EXPECT_EQ(U32At(saved, 46), 16u);
    EXPECT_EQ(U32At(saved, 10), 14u + 40 + 64);

    // Colours used 0: 256 entries, written with 256 in that field.
    auto full = Load(MakeBmp({.width = 1, .height = 1, .bits = 8}, Table(Table256()), {3, 0, 0, 0}));
    saved = Save(*full);
    EXPECT_EQ(U32At(saved, 46), 256u);
    EXPECT_EQ(U32At(saved, 10), 14u + 40 + 1024);

    // A 24-bit file with 20 table entries keeps them as its palette and writes them back.
    auto truecolour = Load(MakeBmp({.width = 1, .height = 1, .bits = 24, .clrUsed = 20}, Table(std::vector<TColor>(20, A)), {1, 2, 3, 0}));
    ASSERT_TRUE(truecolour->Palette().has_value());
    EXPECT_EQ(truecolour->Palette()->Count(), 20);
    EXPECT_TRUE(truecolour->PaletteModified);
    saved = Save(*truecolour);
    EXPECT_EQ(U32At(saved, 46), 20u);
    EXPECT_EQ(U32At(saved, 10), 134u);
    EXPECT_EQ(saved.size(), 134u + 4);
    EXPECT_EQ(truecolour->Pixel(0, 0), MakeColor(3, 2, 1));

    // A core-header 4-bit file is written back in core form with 16 three-byte entries.
    auto core = Load(MakeBmp({.size = 12, .width = 1, .height = 1, .bits = 4}, Table(std::vector<TColor>(16, C), true), {0x50, 0, 0, 0}));
    EXPECT_TRUE(core->Image()->CoreHeader);
    saved = Save(*core);
    EXPECT_EQ(U32At(saved, 14), 12u);
    EXPECT_EQ(U32At(saved, 10), 74u);
    EXPECT_EQ(U16At(saved, 18), 1u);
    EXPECT_EQ(U16At(saved, 22), 1u) << "planes";
    EXPECT_EQ(U16At(saved, 24), 4u) << "bits";
    EXPECT_EQ(saved.size(), 78u);
}

TEST(BmpFile, ThreeByOne24BitPictureHasPaddedRow)
{
    TBitmap bmp;
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    bmp.SetSize(3, 1);
    bmp.SetPixel(0, 0, Red);
    bmp.SetPixel(2, 0, Blue);
    const Bytes saved = Save(bmp);
    ASSERT_EQ(saved.size(), 66u);
    EXPECT_EQ(U32At(saved, 2), 66u);
    EXPECT_EQ(U32At(saved, 10), 54u);
    EXPECT_EQ(U32At(saved, 34), 12u) << "image size";
    EXPECT_EQ(U16At(saved, 28), 24u);
    EXPECT_EQ(U32At(saved, 30), 0u);
    EXPECT_EQ(U32At(saved, 46), 0u) << "no colour table";
    const Bytes row(saved.begin() + 54, saved.end());
    EXPECT_EQ(row, (Bytes{0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0}));
}

TEST(BmpFile, ResolutionAndImportantColoursAreKeptUntilAChange)
{
    auto bmp = Load(MakeBmp({.width = 1, .height = 1, .bits = 8, .xppm = 2835, .yppm = 1417, .clrUsed = 4, .clrImportant = 3},
                            Table({A, B, C, D}), {1, 0, 0, 0}));
    Bytes saved = Save(*bmp);
    EXPECT_EQ(U32At(saved, 38), 2835u);
    EXPECT_EQ(U32At(saved, 42), 1417u);
    EXPECT_EQ(U32At(saved, 50), 3u);

    bmp->SetPixel(0, 0, C);
    saved = Save(*bmp);
    EXPECT_EQ(U32At(saved, 38), 2835u);
    EXPECT_EQ(U32At(saved, 46), 4u) << "the whole table held";
    EXPECT_EQ(U32At(saved, 50), 0u) << "colours important cleared by the change";
    EXPECT_EQ(Load(saved)->Pixel(0, 0), C);
}

TEST(BmpFile, ConvertedPictureHasResolutionZero)
{
    // As the check converts an 8-bit picture to 24 bits.
    auto indexed = Load(MakeBmp({.width = 1, .height = 1, .bits = 8, .xppm = 2835, .yppm = 1417, .clrUsed = 2},
                                Table({A, B}), {1, 0, 0, 0}));
    indexed->SetPixelFormat(TPixelFormat::pf24bit);
    const Bytes saved = Save(*indexed);
    EXPECT_EQ(U32At(saved, 38), 0u);
    EXPECT_EQ(U32At(saved, 42), 0u);
    EXPECT_EQ(Load(saved)->Pixel(0, 0), B);

    // Asked for the format it already has, a picture is not converted and keeps its resolution.
    auto truecolour = Load(MakeBmp({.width = 1, .height = 1, .xppm = 3780, .yppm = 2835}, {}, {1, 2, 3, 0}));
    truecolour->SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_EQ(U32At(Save(*truecolour), 38), 3780u);
    EXPECT_EQ(U32At(Save(*truecolour), 42), 2835u);
}

// ---------------------------------------------------------------- reading rules

TEST(BmpFile, EmptyStreamGivesEmptyPictureWithoutNotificationAndEmptyWritesNothing)
{
    auto bmp = Load(MakeBmp({}, {}, Bytes(16, 7)));
    int changes = 0;
    bmp->OnChange = [&](TGraphic&) { ++changes; };
    TMemoryStream none;
    bmp->LoadFromStream(none);
    EXPECT_TRUE(bmp->Empty());
    EXPECT_EQ(bmp->Width(), 0);
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(Save(*bmp).empty());

    test::TempDir dir;
    bmp->SaveToFile(dir.File("empty.bmp"));
    EXPECT_TRUE(test::ReadFileBytes(dir.File("empty.bmp")).empty());
    TBitmap fromFile;
    fromFile.LoadFromFile(dir.File("empty.bmp"));
    EXPECT_TRUE(fromFile.Empty());
}

TEST(BmpFile, LoadingNotifiesOnceAndReadsFromTheCurrentPosition)
{
    const Bytes file = MakeBmp({.width = 1, .height = 1}, {}, {1, 2, 3, 0});
    TMemoryStream s(Bytes{9, 9, 9} + file);
    s.SetPosition(3);
    TBitmap bmp;
    int changes = 0;
    bmp.OnChange = [&](TGraphic&) { ++changes; };
    bmp.LoadFromStream(s);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(bmp.Pixel(0, 0), MakeColor(3, 2, 1));
}

TEST(BmpFile, PixelOffsetFieldIsNotConsulted)
{
    Bytes file = MakeBmp({.width = 1, .height = 1}, {}, {1, 2, 3, 0});
    file[10] = 200; // points past the end
    EXPECT_EQ(Load(file)->Pixel(0, 0), MakeColor(3, 2, 1));
}

TEST(BmpFile, ShortPixelDataLeavesZeroBytes)
{
    // Ends right after the colour table: the declared size with all pixel bytes 0.
    auto none = Load(MakeBmp({.width = 3, .height = 2, .bits = 8, .clrUsed = 2}, Table({A, B}), {}));
    ASSERT_EQ(none->Width(), 3);
    ASSERT_EQ(none->Height(), 2);
    for (int y = 0; y < 2; ++y) EXPECT_EQ(std::memcmp(none->ConstScanLine(y), "\0\0\0", 3), 0);
    EXPECT_EQ(PixelsOf(*none), std::vector<TColor>(6, A));

    // Cut inside the top row: the bytes present are used, the rest stays 0.
    auto half = Load(MakeBmp({.width = 1, .height = 2}, {}, {1, 2, 3, 0, 4}));
    EXPECT_EQ(half->Pixel(0, 1), MakeColor(3, 2, 1));
    EXPECT_EQ(half->Pixel(0, 0), MakeColor(0, 0, 4));
}

// Refusing files that end before their pixel data (the command-line tool's reading).
struct TruncatedCase {
    const char* name;
    Bytes file;
    int64_t present, needed; // pixel bytes; present >= needed: the file loads
};

std::vector<TruncatedCase> TruncatedCases()
{
    // 3 x 4 at 24 bits: rows of 9 bytes padded to 12.
    const Bytes rows(48, 0x5A);
    const Info sprite{.width = 3, .height = 4};
    return {
        // 70 bytes that declare 2^28 x 1 at 32 bits: refused before 1 GiB is allocated.
        {"huge_declared", MakeBmp({.width = 1 << 28, .height = 1, .bits = 32}, {}, Bytes(16, 1)), 16, int64_t{1} << 30},
        {"cut_in_half", MakeBmp(sprite, {}, Bytes(rows.begin(), rows.begin() + 24)), 24, 45},
        {"after_the_colour_table", MakeBmp({.width = 3, .height = 2, .bits = 8, .clrUsed = 2}, Table({A, B}), {}), 0, 7},
        {"top_down_one_byte_short", MakeBmp({.width = 3, .height = -4}, {}, Bytes(rows.begin(), rows.begin() + 44)), 44, 45},
        {"1bit_cut_in_last_row", MakeBmp({.width = 9, .height = 2, .bits = 1}, Table({A, B}), {0xFF, 0x80, 0, 0, 0xFF}), 5, 6},
        // Whole: without the last row's padding, and exact.
        {"last_padding_missing", MakeBmp(sprite, {}, Bytes(rows.begin(), rows.begin() + 45)), 45, 45},
        {"exact", MakeBmp(sprite, {}, rows), 48, 45},
        {"16bit_masks_exact", MakeBmp({.width = 2, .height = 1, .bits = 16, .compression = 3}, Masks(0xF800, 0x07E0, 0x001F), {1, 2, 3, 4}), 4, 4},
        // A run-length stream that ends early is decoded as far as it goes, as before.
        {"run_length_cut", MakeBmp({.width = 4, .height = 2, .bits = 8, .compression = BI_RLE8, .clrUsed = 16}, Table(std::vector<TColor>(16, A)), {2, 1}), 2, 0},
    };
}

TEST(BmpFile, TruncatedPixelDataIsRefusedBeforeThePictureIsMade)
{
    for (const TruncatedCase& c : TruncatedCases()) {
        SCOPED_TRACE(c.name);
        auto bmp = Load(MakeBmp({.width = 1, .height = 1}, {}, {1, 2, 3, 0}));
        const auto before = bmp->Image();
        bmp->TruncatedPixels = TTruncatedPixels::Refuse;
        TMemoryStream s(c.file);
        if (c.present >= c.needed) {
            ASSERT_NO_THROW(bmp->LoadFromStream(s));
            EXPECT_NE(bmp->Image(), before);
            continue;
        }
        try {
            bmp->LoadFromStream(s);
            ADD_FAILURE() << "loaded";
        } catch (const EReadError& e) {
            EXPECT_EQ(e.Message(), msg::PixelDataCutShort(c.present, c.needed));
        }
        EXPECT_EQ(bmp->Image(), before);
        // The default reading takes the same file, missing bytes 0 (not the huge one: 1 GiB).
        if (c.needed < 1000) {
            TMemoryStream again(c.file);
            TBitmap lenient;
            ASSERT_NO_THROW(lenient.LoadFromStream(again));
            EXPECT_GT(lenient.Width(), 0);
        }
    }
}

TEST(BmpFile, OversizedColourTableSkipsTheSurplus)
{
    std::vector<TColor> entries(300, B);
    entries[7] = D;
    auto bmp = Load(MakeBmp({.width = 1, .height = 1, .bits = 8, .clrUsed = 300}, Table(entries), {7, 0, 0, 0}));
    EXPECT_EQ(bmp->Image()->ColorTable.size(), 256u);
    EXPECT_EQ(bmp->Pixel(0, 0), D);
    const Bytes saved = Save(*bmp);
    EXPECT_EQ(U32At(saved, 46), 256u);
    EXPECT_EQ(Load(saved)->Pixel(0, 0), D);
}

TEST(BmpFile, IndexBeyondTheTableReadsBlack)
{
    auto bmp = Load(MakeBmp({.width = 2, .height = 1, .bits = 8, .clrUsed = 2}, Table({A, B}), {1, 200, 0, 0}));
    EXPECT_EQ(bmp->Pixel(0, 0), B);
    EXPECT_EQ(bmp->Pixel(1, 0), clBlack);
}

// ---------------------------------------------------------------- failures

struct BadCase {
    const char* name;
    Bytes file;
    bool readError; // else invalid bitmap
};

std::vector<BadCase> BadCases()
{
    const Bytes good = MakeBmp({.width = 1, .height = 1}, {}, {1, 2, 3, 0});
    Bytes ba = good;
    ba[1] = 'A';
    auto withHeaderSize = [&](uint32_t size) {
        Bytes f = good;
        f[14] = static_cast<uint8_t>(size);
        f[15] = static_cast<uint8_t>(size >> 8);
        return f;
    };
    const Bytes px(16, 0);
    const Bytes core = MakeBmp({.size = 12}, {}, px);
    return {
        {"one_byte", {'B'}, true},
        {"thirteen_bytes", Bytes(good.begin(), good.begin() + 13), true},
        {"cut_in_header_size", Bytes(good.begin(), good.begin() + 16), true},
        {"cut_in_information_header", Bytes(good.begin(), good.begin() + 40), true},
        {"cut_in_core_header", Bytes(core.begin(), core.begin() + 22), true},
        {"cut_in_masks", MakeBmp({.bits = 16, .compression = 3}, {0, 0xF8, 0, 0}, {}), true},
        {"cut_in_colour_table", MakeBmp({.bits = 8, .clrUsed = 4}, Table({A, B, C}), {}), true},
        {"colours_used_absurd", MakeBmp({.bits = 8, .clrUsed = 0x12341234}, Table({A, B}), px), true},
        {"type_BA", ba, false},
        {"planes_2", MakeBmp({.planes = 2}, {}, px), false},
        {"planes_0_core", MakeBmp({.size = 12, .planes = 0}, {}, px), false},
        {"header_size_0", withHeaderSize(0), false},
        {"header_size_11", withHeaderSize(11), false},
        {"header_size_16", withHeaderSize(16), false},
        {"header_size_39", withHeaderSize(39), false},
        {"header_size_48", withHeaderSize(48), false},
        {"header_size_53", withHeaderSize(53), false},
        {"header_size_60", withHeaderSize(60), false},
        {"header_size_64", withHeaderSize(64), false},
        {"header_size_huge", withHeaderSize(0xFFFF), false},
        {"bits_0", MakeBmp({.bits = 0}, {}, px), false},
        {"bits_2", MakeBmp({.bits = 2, .clrUsed = 4}, Table({A, B, C, D}), px), false},
        {"bits_64", MakeBmp({.bits = 64}, {}, px), false},
        {"bits_absurd", MakeBmp({.bits = 30000}, {}, px), false},
        {"compression_4_jpeg", MakeBmp({.compression = 4}, {}, px), false},
        {"compression_5_png", MakeBmp({.compression = 5}, {}, px), false},
        {"compression_6", MakeBmp({.bits = 32, .compression = 6}, Bytes(16, 0), px), false},
        {"rle8_on_4bit", MakeBmp({.bits = 4, .compression = 1}, Table(std::vector<TColor>(16, A)), px), false},
        {"rle4_on_8bit", MakeBmp({.bits = 8, .compression = 2}, Table(std::vector<TColor>(256, A)), px), false},
        {"bitfields_on_24bit", MakeBmp({.bits = 24, .compression = 3}, Masks(0xFF0000, 0xFF00, 0xFF), px), false},
        {"width_0", MakeBmp({.width = 0}, {}, px), false},
        {"height_0", MakeBmp({.height = 0}, {}, px), false},
        {"core_width_0", MakeBmp({.size = 12, .width = 0}, {}, px), false},
        {"negative_width", MakeBmp({.width = -127}, {}, px), false},
        {"height_int_min", MakeBmp({.height = INT32_MIN}, {}, px), false},
        {"stride_over_32_bits", MakeBmp({.width = 0x7FFFFFFF, .height = 1, .bits = 32}, {}, px), false},
        {"image_over_32_bits", MakeBmp({.width = 65536, .height = 65536, .bits = 8}, Table({A}), px), false},
        {"over_the_pixel_cap", MakeBmp({.width = 16385, .height = 16385, .bits = 1}, Table({A, B}), px), false},
        {"rle_over_the_pixel_cap", MakeBmp({.width = 20000, .height = -20000, .bits = 8, .compression = 1}, Table({A}), {0, 1}), false},
    };
}

TEST(BmpFile, BadFilesFailWithTheirMessageAndKeepThePicture)
{
    for (const BadCase& c : BadCases()) {
        SCOPED_TRACE(c.name);
        auto bmp = Load(MakeBmp({.width = 1, .height = 1}, {}, {1, 2, 3, 0}));
        const auto before = bmp->Image();
        int changes = 0;
        bmp->OnChange = [&](TGraphic&) { ++changes; };
        TMemoryStream s(c.file);
        try {
            bmp->LoadFromStream(s);
            ADD_FAILURE() << "loaded";
        } catch (const EReadError& e) {
            EXPECT_TRUE(c.readError);
            EXPECT_STREQ(e.what(), msg::ReadError);
        } catch (const EInvalidGraphic& e) {
            EXPECT_FALSE(c.readError);
            EXPECT_STREQ(e.what(), msg::InvalidBitmap);
        }
        EXPECT_EQ(bmp->Image(), before);
        EXPECT_EQ(changes, 0);
    }
}

TEST(BmpFile, FileErrorsNameThePath)
{
    TBitmap bmp;
    test::TempDir dir;
    const std::string missing = dir.File("missing.bmp");
    try {
        bmp.LoadFromFile(missing);
        ADD_FAILURE();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), msg::FileOpen(missing));
    }
    bmp.SetSize(1, 1);
    const std::string uncreatable = dir.File("no/such/folder.bmp");
    try {
        bmp.SaveToFile(uncreatable);
        ADD_FAILURE();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), msg::FileCreate(uncreatable));
    }
}

// A stream that takes only a limited number of bytes, like a full disk.
class TFullStream : public TMemoryStream {
public:
    explicit TFullStream(int64_t room) : room_(room) {}
    int64_t Write(const void* buffer, int64_t count) override
    {
        const int64_t n = std::min(count, room_ - Size());
        return n <= 0 ? 0 : TMemoryStream::Write(buffer, n);
    }

private:
    int64_t room_;
};

TEST(BmpFile, ShortWriteFails)
{
    auto bmp = Load(MakeBmp({.width = 4, .height = 4}, {}, Bytes(48, 5)));
    for (int64_t room : {0, 20, 60}) {
        TFullStream s(room);
        EXPECT_THROW(
            {
                try {
                    bmp->SaveToStream(s);
                } catch (const EWriteError& e) {
                    EXPECT_STREQ(e.what(), msg::WriteError);
                    throw;
                }
            },
            EWriteError);
    }
}

// ---------------------------------------------------------------- run-length pictures

std::vector<TColor> Lut16() { return {A, B, C, D, Red, Green, Blue, White, 0x111111, 0x222222, 0x333333, 0x444444, 0x555555, 0x666666, 0x777777, 0x888888}; }

struct RleCase {
    const char* name;
    uint16_t bits;
    int32_t height; // width is 4
    Bytes stream;
    std::vector<int> indices; // top row first; -1: never set (black)
};

std::vector<RleCase> RleCases()
{
    return {
        // Runs, end of line, absolute run with its pad byte, delta, end of picture.
        {"rle8_all_codes", 8, 3,
         {4, 1, 0, 0, /**/ 0, 3, 2, 3, 4, 0, 1, 5, 0, 0, /**/ 0, 2, 1, 0, 2, 6, 0, 1, /**/ 1, 9},
         {-1, 6, 6, -1, 2, 3, 4, 5, 1, 1, 1, 1}},
        // Runs and absolute runs past the row end are cut off; a delta past the last line ends it.
        {"rle8_clipped", 8, 3, {6, 7, 0, 0, /**/ 0, 5, 1, 2, 3, 4, 5, 0, 0, 0, /**/ 0, 2, 200, 200, 2, 3},
         {-1, -1, -1, -1, 1, 2, 3, 4, 7, 7, 7, 7}},
        // The stream ends without an end-of-picture code, inside an absolute run.
        {"rle8_cut_short", 8, 2, {2, 1, 0, 0, 0, 4, 3, 4}, {3, 4, -1, -1, 1, 1, -1, -1}},
        // 4-bit: runs alternate the two nibbles; absolute runs of 3 and 5 nibbles (padded to 2 and 4 bytes).
        {"rle4", 4, 2, {3, 0x12, 0, 0, 0, 3, 0x34, 0x50, 1, 0xF0, 0, 0, 0, 1},
         {3, 4, 5, 15, 1, 2, 1, -1}},
        {"rle4_odd_absolute_and_delta", 4, 2, {0, 2, 1, 0, 0, 5, 0x12, 0x34, 0x50, 0, 0, 1},
         {-1, -1, -1, -1, -1, 1, 2, 3}},
        // Indices beyond the 16-entry table read as black.
        {"rle8_index_beyond_table", 8, 1, {2, 40, 2, 3, 0, 1}, {-1, -1, 3, 3}},
        // Top row first: the first line of the stream is the top row.
        {"rle8_top_down", 8, -2, {4, 1, 0, 0, 4, 2, 0, 1}, {1, 1, 1, 1, 2, 2, 2, 2}},
    };
}

Bytes RleFile(const RleCase& c)
{
    return MakeBmp({.width = 4, .height = c.height, .bits = c.bits, .compression = c.bits == 8 ? BI_RLE8 : BI_RLE4,
                    .sizeImage = static_cast<uint32_t>(c.stream.size()), .clrUsed = 16},
                   Table(Lut16()), c.stream);
}

TEST(BmpFile, RunLengthDecoding)
{
    const auto lut = Lut16();
    for (const RleCase& c : RleCases()) {
        SCOPED_TRACE(c.name);
        auto bmp = Load(RleFile(c));
        EXPECT_EQ(bmp->PixelFormat(), TPixelFormat::pfDevice);
        EXPECT_TRUE(bmp->Image()->DeviceForm);
        EXPECT_FALSE(bmp->Palette().has_value());
        std::vector<TColor> expected;
        for (int i : c.indices) expected.push_back(i < 0 ? clBlack : lut[static_cast<size_t>(i)]);
        EXPECT_EQ(PixelsOf(*bmp), expected);
    }
}

TEST(BmpFile, RunLengthFileIsWrittenBackUnchangedUntilItChanges)
{
    const Bytes file = RleFile(RleCases()[0]);
    auto bmp = Load(file);
    EXPECT_EQ(bmp->Image()->SavedFileBytes, file);
    EXPECT_EQ(Save(*bmp), file);

    // A bitmap sharing the store keeps the file when the other one changes.
    TBitmap shared;
    shared.Assign(*bmp);
    bmp->SetPixel(0, 0, Red);
    EXPECT_EQ(Save(shared), file);

    Bytes saved = Save(*bmp);
    EXPECT_EQ(U32At(saved, 14), 40u);
    EXPECT_EQ(U16At(saved, 28), 32u) << "the device form is written as 32-bit";
    EXPECT_EQ(U32At(saved, 30), BI_RGB);
    EXPECT_EQ(U32At(saved, 46), 0u);
    EXPECT_EQ(saved.size(), 54u + 4 * 4 * 3);
    auto reread = Load(saved);
    EXPECT_EQ(reread->Pixel(0, 0), Red);
    EXPECT_EQ(reread->Pixel(1, 0), Lut16()[6]);

    // As the hue replacement leaves it: 24-bit, uncompressed.
    shared.SetPixelFormat(TPixelFormat::pf24bit);
    saved = Save(shared);
    EXPECT_EQ(U16At(saved, 28), 24u);
    EXPECT_EQ(U32At(saved, 30), BI_RGB);
    EXPECT_EQ(PixelsOf(*Load(saved)), PixelsOf(*Load(file)));
}

TEST(BmpFile, RunLengthSizeZeroReadsToTheEndOfTheFile)
{
    // Longer than the 4 x 1 rows it stands for: four 1-pixel runs and an end code, 10 bytes.
    const Bytes stream = {1, 1, 1, 2, 1, 3, 1, 4, 0, 1};
    auto bmp = Load(MakeBmp({.width = 4, .height = 1, .bits = 8, .compression = BI_RLE8, .clrUsed = 16}, Table(Lut16()), stream));
    const auto lut = Lut16();
    EXPECT_EQ(PixelsOf(*bmp), (std::vector<TColor>{lut[1], lut[2], lut[3], lut[4]}));
}

} // namespace
} // namespace tintabrel
