#include "png/VRQStream.h"

#include "base/Exceptions.h"
#include "png/SFunc.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <numeric>

namespace tintabrel {
namespace {

std::vector<uint8_t> Counting(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return bytes;
}

uint32_t BigEndianAt(const std::vector<uint8_t>& b, size_t i)
{
    return uint32_t{b[i]} << 24 | uint32_t{b[i + 1]} << 16 | uint32_t{b[i + 2]} << 8 | b[i + 3];
}

// A file source goes through the 64 KiB window; a memory source is read in place. Both must
// read the same values, also where a value straddles the window's end close to the end of the file.
TEST(VRQReadStream, ValuesAcrossTheWindowEndOfFileAndMemorySources)
{
    const std::vector<uint8_t> bytes = Counting(65540);
    test::TempDir dir;
    test::WriteFileBytes(dir.File("src"), {bytes.begin(), bytes.end()});
    for (bool file : {true, false}) {
        SCOPED_TRACE(file ? "file" : "memory");
        TFileStream f(dir.File("src"), TFileMode::fmOpenRead);
        TMemoryStream m(bytes);
        TVRQCustomReadStream r;
        r.SkipHeaderAllowed = false;
        r.BeginRead(file ? static_cast<TStream&>(f) : m, 0);
        r.Skip(65534);
        EXPECT_EQ(r.ReadLongBE(), BigEndianAt(bytes, 65534)) << "straddles the window's end";
        EXPECT_EQ(r.ReadWordBE(), (bytes[65538] << 8) | bytes[65539]);
        EXPECT_FALSE(r.AtEnd);
        EXPECT_EQ(r.ReadByte(), 0);
        EXPECT_TRUE(r.AtEnd);
        r.EndRead();
    }
}

TEST(VRQReadStream, BlocksLargerThanTheWindowAndTheSourcePositionAfterwards)
{
    const std::vector<uint8_t> bytes = Counting(200000);
    test::TempDir dir;
    test::WriteFileBytes(dir.File("src"), {bytes.begin(), bytes.end()});
    TFileStream f(dir.File("src"), TFileMode::fmOpenRead);
    f.SetPosition(10);
    TVRQCustomReadStream r;
    r.SkipHeaderAllowed = false;
    r.BeginRead(f, 0);
    EXPECT_EQ(r.Size, 199990);
    std::vector<uint8_t> block(150000);
    r.ReadByte();
    r.ReadBytes(block.data(), static_cast<int32_t>(block.size()));
    EXPECT_TRUE(std::equal(block.begin(), block.end(), bytes.begin() + 11));
    EXPECT_EQ(r.ReadByte(), bytes[150011]);
    r.EndRead();
    // The source stands just after what was consumed, not after what the window read ahead.
    EXPECT_EQ(f.Position(), 150012);
}

TEST(VRQReadStream, BudgetEmptySourceAndZeroLengthRequests)
{
    const std::vector<uint8_t> bytes = Counting(100);
    TMemoryStream m(bytes);
    TVRQCustomReadStream r;
    r.BeginRead(m, 6);
    EXPECT_EQ(r.ReadLongBE(), BigEndianAt(bytes, 0));
    EXPECT_EQ(r.ReadLongBE(), 0u) << "the budget ends reading although the source has more";
    EXPECT_TRUE(r.AtEnd);

    TMemoryStream empty;
    TVRQCustomReadStream e;
    e.BeginRead(empty, 0);
    EXPECT_TRUE(e.AtEnd);
    EXPECT_EQ(e.ReadByte(), 0);

    TVRQCustomReadStream z;
    TMemoryStream m2(bytes);
    z.BeginRead(m2, 0);
    z.Skip(0);
    EXPECT_TRUE(z.Stopped);
    EXPECT_EQ(z.ReadByte(), 0);
    z.StartProgress(); // a progress report clears it
    EXPECT_FALSE(z.Stopped);
    EXPECT_EQ(z.ReadByte(), bytes[0]);
}

TEST(VRQReadStream, LeadingHeaderOf128Bytes)
{
    std::vector<uint8_t> bytes = Counting(300);
    bytes[0] = 0;
    bytes[74] = 0;
    for (bool allowed : {true, false}) {
        TMemoryStream m(bytes);
        TVRQCustomReadStream r;
        r.SkipHeaderAllowed = allowed;
        r.BeginRead(m, 0);
        EXPECT_EQ(r.ReadByte(), allowed ? bytes[128] : bytes[0]);
    }
    std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + 128);
    TMemoryStream m(exact);
    TVRQCustomReadStream r;
    r.BeginRead(m, 0);
    EXPECT_EQ(r.Position, 0) << "a source of exactly 128 bytes is never skipped";
}

TEST(VRQWriteStream, BufferedAndDirectWritesKeepTheOrder)
{
    TMemoryStream out;
    TVRQCustomWriteStream w;
    w.BeginWrite(out);
    const std::vector<uint8_t> small = Counting(65000);
    const std::vector<uint8_t> large = Counting(70000);
    w.WriteLongBE(0x01020304);
    w.WriteBytes(small.data(), static_cast<int32_t>(small.size()));
    w.WriteBytes(small.data(), 1000); // crosses the buffer's end: flushed first
    w.WriteBytes(large.data(), static_cast<int32_t>(large.size())); // bypasses the buffer
    w.WriteLongBE(0xA0B0C0D0);
    w.FlushPending();
    std::vector<uint8_t> expected{1, 2, 3, 4};
    expected.reserve(4 + small.size() + 1000 + large.size() + 4);
    expected.insert(expected.end(), small.begin(), small.end());
    expected.insert(expected.end(), small.begin(), small.begin() + 1000);
    expected.insert(expected.end(), large.begin(), large.end());
    expected.insert(expected.end(), {0xA0, 0xB0, 0xC0, 0xD0});
    EXPECT_EQ(out.Bytes(), expected);
    EXPECT_EQ(w.Written, static_cast<int64_t>(expected.size()));
}

TEST(SFunc, ScanlinesPalettesAndFormats)
{
    EXPECT_EQ(BytesPerScanline(1, 1), 4);
    EXPECT_EQ(BytesPerScanline(3, 24), 12);
    EXPECT_EQ(BytesPerScanline(5, 4), 4);
    EXPECT_EQ(BytesPerScanline(INT32_MAX, 32), -1);

    TRGBQuad table[256];
    ASSERT_EQ(MakeGreyPalette(table, 2), 4);
    EXPECT_EQ(table[1].rgbRed, 85);
    EXPECT_EQ(table[3].rgbBlue, 255);
    EXPECT_EQ(MakeGreyPalette(table, 8), 256);

    TPalette p;
    p.Add(10, 0, 0);
    p.Add(0, 10, 0);
    p.Add(0, 0, 0);
    EXPECT_EQ(NearestPaletteIndex(p, MakeColor(5, 5, 0)), 0) << "the earlier of two at the same distance";
    EXPECT_EQ(NearestPaletteIndex(p, clBlack), 2);
    EXPECT_EQ(NearestPaletteIndex(std::nullopt, clBlack), -1);
    EXPECT_EQ(GetPaletteColor(p, 1), MakeColor(0, 10, 0));
    EXPECT_EQ(GetPaletteColor(p, 3), -1);

    const struct {
        int bits;
        TPixelFormat format;
        int back;
    } formats[] = {{1, TPixelFormat::pf1bit, 1}, {4, TPixelFormat::pf4bit, 4}, {8, TPixelFormat::pf8bit, 8},
                   {15, TPixelFormat::pf15bit, 15}, {16, TPixelFormat::pf16bit, 16}, {24, TPixelFormat::pf24bit, 24},
                   {32, TPixelFormat::pf32bit, 32}, {2, TPixelFormat::pf24bit, 24}};
    for (const auto& f : formats) {
        EXPECT_EQ(PixelFormatOfBits(f.bits), f.format) << f.bits;
        EXPECT_EQ(BitsOfPixelFormat(f.format), f.back) << f.bits;
    }
    EXPECT_EQ(BitsOfPixelFormat(TPixelFormat::pfDevice), 24);
    EXPECT_EQ(BitsOfPixelFormat(TPixelFormat::pfCustom), 15);
}

} // namespace
} // namespace tintabrel
