// The PNG reader on files built in the test: chunk handling, header errors, image data layouts,
// transparency, events, progress and the read budget.
#include <gtest/gtest.h>
#include "tests/Sanitizers.h"
#include <zlib.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Streams.h"
#include "png/VRQPNGReadStream.h"

namespace tintabrel {
namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

Bytes Chunk(const std::string& type, const Bytes& data)
{
    Bytes b;
    b.reserve(12 + data.size());
    Put32(b, static_cast<uint32_t>(data.size()));
    b.insert(b.end(), type.begin(), type.end());
    b.insert(b.end(), data.begin(), data.end());
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
    crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
    Put32(b, static_cast<uint32_t>(crc));
    return b;
}

Bytes Ihdr(uint32_t w, uint32_t h, uint8_t depth, uint8_t colourType, uint8_t interlace = 0, uint8_t compression = 0,
           uint8_t filter = 0)
{
    Bytes d;
    Put32(d, w);
    Put32(d, h);
    d.insert(d.end(), {depth, colourType, compression, filter, interlace});
    return Chunk("IHDR", d);
}

Bytes Zlib(const Bytes& raw)
{
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
    out.resize(size);
    return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

const Bytes Signature(std::begin(PngSignature), std::end(PngSignature));
const Bytes Iend = Chunk("IEND", {});

Bytes Png(std::initializer_list<Bytes> chunks)
{
    Bytes file = Signature;
    for (const Bytes& c : chunks) file.insert(file.end(), c.begin(), c.end());
    return file;
}

// Raw rows (filter byte + row) of an 8-bit grey image with pixel (x, y) = x * 16 + y.
Bytes GreyRows(int w, int h, uint8_t filter = 0)
{
    Bytes raw;
    for (int y = 0; y < h; ++y) {
        raw.push_back(filter);
        for (int x = 0; x < w; ++x) {
            const uint8_t v = static_cast<uint8_t>(x * 16 + y);
            // Up: the difference to the row above (the first row sees zeros).
            const uint8_t up = (filter == 2 && y > 0) ? static_cast<uint8_t>(x * 16 + y - 1) : 0;
            raw.push_back(static_cast<uint8_t>(v - up));
        }
    }
    return raw;
}

struct TRead {
    std::unique_ptr<TVRQPNGReadStream> reader = std::make_unique<TVRQPNGReadStream>();
    std::unique_ptr<TBitmap> bitmap = std::make_unique<TBitmap>();
    std::unique_ptr<TBitmap> alpha = std::make_unique<TBitmap>();
};

using Setup = std::function<void(TVRQPNGReadStream&, TBitmap&)>;

std::unique_ptr<TRead> Read(const Bytes& file, const Setup& setup = {}, int32_t limit = 0)
{
    auto r = std::make_unique<TRead>();
    r->reader->AlphaTarget = r->alpha.get();
    if (setup) setup(*r->reader, *r->bitmap);
    TMemoryStream stream(file);
    r->reader->ReadFromStream(r->bitmap.get(), stream, limit);
    return r;
}

// The read error's fixed text, then why.
std::string ReadErrorBecause(const std::string& cause) { return std::string(pngmsg::ReadError) + ": " + cause; }

std::string ErrorOf(const Bytes& file, const Setup& setup = {})
{
    try {
        Read(file, setup);
    } catch (const EVRQPNG& e) {
        return e.what();
    }
    return "";
}

void ExpectGreyImage(const TBitmap& bmp, int w, int h)
{
    ASSERT_EQ(bmp.Width(), w);
    ASSERT_EQ(bmp.Height(), h);
    ASSERT_EQ(bmp.PixelFormat(), TPixelFormat::pf8bit);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ASSERT_EQ(bmp.ConstScanLine(y)[x], static_cast<uint8_t>(x * 16 + y)) << x << "," << y;
}

// ---------------------------------------------------------------- header and frame

TEST(PngRead, HeaderAndFormatErrors)
{
    const Bytes idat = Chunk("IDAT", Zlib(GreyRows(4, 4)));
    struct Case {
        const char* what;
        Bytes file;
        std::string message;
    };
    const Case cases[] = {
        {"bad signature", [] { Bytes f = Png({Ihdr(4, 4, 8, 0), Iend}); f[0] = 0x88; return f; }(), pngmsg::NotPNG},
        {"two headers", Png({Ihdr(4, 4, 8, 0), Ihdr(4, 4, 8, 0), Iend}), pngmsg::TwoIHDR},
        {"colour type 1", Png({Ihdr(4, 4, 8, 1), Iend}), pngmsg::ErrorColorType},
        {"colour type 5", Png({Ihdr(4, 4, 8, 5), Iend}), pngmsg::ErrorColorType},
        {"colour type 15", Png({Ihdr(4, 4, 8, 15), Iend}), pngmsg::ErrorColorType},
        {"compression 2", Png({Ihdr(4, 4, 8, 0, 0, 2), Iend}), pngmsg::NoCompression},
        {"filter method 2", Png({Ihdr(4, 4, 8, 0, 0, 0, 2), Iend}), pngmsg::NoFilter},
        {"interlace 2", Png({Ihdr(4, 4, 8, 0, 2), Iend}), pngmsg::NoInterlace},
        {"grey depth 3", Png({Ihdr(4, 4, 3, 0), idat, Iend}), pngmsg::GreyBitdepth},
        {"grey+alpha depth 3", Png({Ihdr(4, 4, 3, 4), idat, Iend}), pngmsg::GreyBitdepth},
        {"grey+alpha depth 4", Png({Ihdr(4, 4, 4, 4), idat, Iend}), pngmsg::NoAlphaChannel},
        {"RGB depth 4", Png({Ihdr(4, 4, 4, 2), idat, Iend}), pngmsg::ColourBitDepth},
        {"RGBA depth 1", Png({Ihdr(4, 4, 1, 6), idat, Iend}), pngmsg::ColourBitDepth},
        {"indexed depth 16", Png({Ihdr(4, 4, 16, 3), idat, Iend}), pngmsg::ColourBitDepth},
        {"width 0", Png({Ihdr(0, 4, 8, 0), idat, Iend}), pngmsg::ErrorSize},
        {"height 0", Png({Ihdr(4, 0, 8, 0), idat, Iend}), pngmsg::ErrorSize},
        {"width 2^31", Png({Ihdr(0x80000000u, 1, 8, 0), idat, Iend}), pngmsg::ErrorSize},
        {"height 2^32-1", Png({Ihdr(1, 0xFFFFFFFFu, 8, 0), idat, Iend}), pngmsg::ErrorSize},
        {"row bytes overflow", Png({Ihdr(0x7FFFFFFFu, 1, 16, 6), idat, Iend}), pngmsg::ErrorSize},
        {"over the picture cap", Png({Ihdr(65536, 65536, 1, 0), idat, Iend}), pngmsg::ErrorSize},
        {"bitmap size overflow", Png({Ihdr(16384, 16384, 16, 6), idat, Iend}), pngmsg::ErrorSize},
        {"filter byte 5", Png({Ihdr(4, 4, 8, 0), Chunk("IDAT", Zlib(GreyRows(4, 4, 5))), Iend}),
         ReadErrorBecause("invalid filter byte 5 in row 0")},
        {"too few rows", Png({Ihdr(4, 5, 8, 0), idat, Iend}),
         ReadErrorBecause("the compressed image data ends after 20 of its 25 bytes")},
        {"filter byte 9 in the last row of Adam7's last pass",
         [] {
             // 4 x 4 grey: passes 1, 4, 5, 6 and 7 hold 1, 1, 2, 2 x 2 and 4 x 2 pixels.
             Bytes raw = {0, 1, 0, 2, 0, 3, 4, 0, 5, 6, 0, 7, 8, 0, 1, 2, 3, 4, 9, 5, 6, 7, 8};
             return Png({Ihdr(4, 4, 8, 0, 1), Chunk("IDAT", Zlib(raw)), Iend});
         }(),
         ReadErrorBecause("invalid filter byte 9 in row 1 of pass 7")},
        {"image data chunk of length 2^31",
         [] {
             const Bytes z = Zlib(GreyRows(4, 4));
             Bytes huge = Chunk("IDAT", Bytes(z.begin() + 5, z.end()));
             huge[0] = 0x80, huge[1] = huge[2] = huge[3] = 0;
             return Png({Ihdr(4, 4, 8, 0), Chunk("IDAT", Bytes(z.begin(), z.begin() + 5)), huge, Iend});
         }(),
         ReadErrorBecause("the image data chunk at byte 50 declares a length of 2^31 or more")},
        {"chunk inside the image data",
         [] {
             const Bytes z = Zlib(GreyRows(4, 4));
             return Png({Ihdr(4, 4, 8, 0), Chunk("IDAT", Bytes(z.begin(), z.begin() + 5)), Chunk("tEXt", Text("a\0b")),
                         Chunk("IDAT", Bytes(z.begin() + 5, z.end())), Iend});
         }(),
         ReadErrorBecause("the image data stops at byte 50 (next chunk: tEXt) after 2 of its 20 bytes")},
        {"damaged deflate data",
         [] {
             Bytes z = Zlib(GreyRows(4, 4));
             z[2] = 0xFF; // reserved block type
             return Png({Ihdr(4, 4, 8, 0), Chunk("IDAT", z), Iend});
         }(),
         ReadErrorBecause("the compressed image data is damaged after 0 of its 20 bytes (zlib: invalid block type)")},
        {"preset dictionary requested",
         [] {
             Bytes z = {0x78, 0xBB, 0, 0, 0, 1};
             const Bytes body = Zlib(GreyRows(4, 4));
             z.insert(z.end(), body.begin() + 2, body.end());
             return Png({Ihdr(4, 4, 8, 0), Chunk("IDAT", z), Iend});
         }(),
         ReadErrorBecause("the compressed image data asks for a preset dictionary")},
        {"file ends inside the image data",
         [] {
             Bytes f = Png({Ihdr(4, 4, 8, 0), Chunk("IDAT", Zlib(GreyRows(4, 4)))});
             f.resize(f.size() - 10);
             return f;
         }(),
         ReadErrorBecause("the file ends at byte 63 inside the image data")},
    };
    for (const Case& c : cases) EXPECT_EQ(ErrorOf(c.file), c.message) << c.what;
}

TEST(PngRead, HeaderVariantsThatAreAccepted)
{
    // Only the low three bits of the colour type count; methods 1 pass.
    const Bytes idat = Chunk("IDAT", Zlib(GreyRows(4, 3)));
    for (const Bytes& header : {Ihdr(4, 3, 8, 8), Ihdr(4, 3, 8, 0, 0, 1, 1)}) {
        auto r = Read(Png({header, idat, Iend}));
        ExpectGreyImage(*r->bitmap, 4, 3);
        EXPECT_TRUE(r->reader->IsGray);
        EXPECT_EQ(r->reader->ColorKind, 0);
    }
}

TEST(PngRead, IncompleteFilesLeaveTheBitmapAlone)
{
    // Ends right after the header; image data before the header: nothing decoded, no error.
    for (const Bytes& file : {Png({Ihdr(4, 3, 8, 0)}), Png({Chunk("IDAT", Zlib(GreyRows(4, 3))), Iend})}) {
        auto r = Read(file, [](TVRQPNGReadStream&, TBitmap& bmp) { bmp.SetSize(7, 5); });
        EXPECT_EQ(r->bitmap->Width(), 7);
        EXPECT_EQ(r->bitmap->Height(), 5);
    }
}

TEST(PngRead, LeadingHeaderIsSkippedOnlyWhenAllowed)
{
    Bytes file(128, 0x55);
    file[0] = 0;
    file[74] = 0;
    const Bytes png = Png({Ihdr(4, 3, 8, 0), Chunk("IDAT", Zlib(GreyRows(4, 3))), Iend});
    file.insert(file.end(), png.begin(), png.end());
    ExpectGreyImage(*Read(file)->bitmap, 4, 3);
    EXPECT_EQ(ErrorOf(file, [](TVRQPNGReadStream& r, TBitmap&) { r.SkipHeaderAllowed = false; }), pngmsg::NotPNG);
}

// ---------------------------------------------------------------- image data layouts

TEST(PngRead, ImageDataSplitOverChunks)
{
    const int w = 5, h = 7;
    const Bytes z = Zlib(GreyRows(w, h, 2));
    auto split = [&](const std::vector<size_t>& sizes) {
        Bytes chunks;
        size_t at = 0;
        for (size_t n : sizes) {
            const Bytes c = Chunk("IDAT", Bytes(z.begin() + static_cast<long>(at), z.begin() + static_cast<long>(at + n)));
            chunks.insert(chunks.end(), c.begin(), c.end());
            at += n;
        }
        return chunks;
    };
    std::vector<size_t> ones(z.size(), 1);
    std::vector<size_t> withEmpty = {0, 3, 0, 0, z.size() - 3};
    std::vector<size_t> checksumApart = {z.size() - 4, 4}; // the last chunk holds only the Adler-32
    for (const auto& sizes : {std::vector<size_t>{z.size()}, ones, withEmpty, checksumApart}) {
        // After the image: a tRNS is ignored, a bKGD is taken, a comment is read.
        const Bytes file = Png({Ihdr(w, h, 8, 0), split(sizes), Chunk("tRNS", {0, 3}), Chunk("bKGD", {0, 9}),
                                Chunk("tEXt", Text(std::string("Comment\0done", 12))), Iend});
        auto r = Read(file);
        ExpectGreyImage(*r->bitmap, w, h);
        EXPECT_EQ(r->reader->TransparentColor, -1);
        EXPECT_FALSE(r->bitmap->Transparent());
        EXPECT_EQ(r->reader->BackgroundColor, 0x090909);
        EXPECT_EQ(r->reader->Comment, "done\r\n");
    }
}

TEST(PngRead, MoreImageDataThanRowsNeedIsIgnored)
{
    const Bytes file = Png({Ihdr(4, 3, 8, 0), Chunk("IDAT", Zlib(GreyRows(4, 9))), Iend});
    ExpectGreyImage(*Read(file)->bitmap, 4, 3);
}

TEST(PngRead, AllFiltersOnMultiBytePixels)
{
    // RGB 8-bit, 3 rows, rows filtered with None, Sub, Up, Average and Paeth by hand.
    const int w = 4, h = 5;
    auto px = [](int x, int y, int c) { return static_cast<uint8_t>(x * 40 + y * 7 + c * 90 + (x * y * c) % 13); };
    Bytes raw;
    for (int y = 0; y < h; ++y) {
        const uint8_t filter = static_cast<uint8_t>(y);
        raw.push_back(filter);
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                const int a = x > 0 ? px(x - 1, y, c) : 0, b = y > 0 ? px(x, y - 1, c) : 0,
                          cc = (x > 0 && y > 0) ? px(x - 1, y - 1, c) : 0;
                int pred = 0;
                switch (filter) {
                case 1: pred = a; break;
                case 2: pred = b; break;
                case 3: pred = (a + b) / 2; break;
                case 4: {
                    const int p = a + b - cc, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - cc);
                    pred = (pa <= pb && pa <= pc) ? a : pb <= pc ? b : cc;
                    break;
                }
                }
                raw.push_back(static_cast<uint8_t>(px(x, y, c) - pred));
            }
    }
    auto r = Read(Png({Ihdr(w, h, 8, 2), Chunk("IDAT", Zlib(raw)), Iend}));
    ASSERT_EQ(r->bitmap->PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(r->reader->BitDepth, 24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) EXPECT_EQ(r->bitmap->Pixel(x, y), MakeColor(px(x, y, 0), px(x, y, 1), px(x, y, 2)));
}

// Reads file in a child whose address space may grow by at most budget bytes; true when the
// read ended as expected (an EVRQPNG with message, or no error for an empty message).
bool ReadsWithin(const Bytes& file, int64_t budget, const std::string& message)
{
    const pid_t child = fork();
    if (child == 0) {
        std::ifstream statm("/proc/self/statm");
        int64_t pages = 0;
        statm >> pages;
        const rlim_t limit = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + budget);
        const rlimit r{limit, limit};
        setrlimit(RLIMIT_AS, &r);
        std::string error;
        try {
            TMemoryStream stream(file);
            TBitmap bitmap, alpha;
            TVRQPNGReadStream reader;
            reader.AlphaTarget = &alpha;
            reader.ReadFromStream(&bitmap, stream, 0);
        } catch (const std::exception& e) {
            error = e.what();
        }
        _exit(error == message ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PngRead, MemoryFollowsTheImageData)
{
#if defined(TINTABREL_SANITIZED)
    GTEST_SKIP() << "the address sanitizer reserves more address space than any limit allows";
#endif
    // 65 bytes declaring 2^27 x 1 RGBA at 16 bits (1 GiB of raw rows) with an 8-byte IDAT: refused
    // before anything is sized for it.
    const Bytes z = Zlib(Bytes(4, 0));
    const Bytes tiny = Png({Ihdr(1u << 27, 1, 16, 6), Chunk("IDAT", Bytes(z.begin(), z.begin() + 8)), Iend});
    ASSERT_EQ(tiny.size(), 65u);
    EXPECT_TRUE(ReadsWithin(tiny, 100 << 20,
                            ReadErrorBecause("the image needs 1073741825 bytes of image data, more than the 24 "
                                             "bytes left in the file can hold")));
    // One row of 2^22 RGBA pixels (16 MiB of pixels and of raw row): the picture and one raw row,
    // not two raw rows and a converted copy besides.
    const int32_t w = 1 << 22;
    Bytes raw(static_cast<size_t>(4 * w + 1), 0x80);
    raw[0] = 1;
    EXPECT_TRUE(ReadsWithin(Png({Ihdr(w, 1, 8, 6), Chunk("IDAT", Zlib(raw)), Iend}), 44 << 20, ""));
}

// ---------------------------------------------------------------- transparency

Bytes Palette(int n)
{
    Bytes p;
    for (int i = 0; i < n; ++i) p.insert(p.end(), {static_cast<uint8_t>(i * 10), static_cast<uint8_t>(i), 200});
    return p;
}

// A 4x2 indexed 8-bit image with indices 0..7.
Bytes IndexedRows()
{
    Bytes raw;
    for (int y = 0; y < 2; ++y) {
        raw.push_back(0);
        for (int x = 0; x < 4; ++x) raw.push_back(static_cast<uint8_t>(y * 4 + x));
    }
    return raw;
}

TEST(PngRead, PerIndexAlpha)
{
    const Bytes idat = Chunk("IDAT", Zlib(IndexedRows()));
    {
        // Index 5 alone transparent: a transparent index, no alpha plane.
        auto r = Read(Png({Ihdr(4, 2, 8, 3), Chunk("PLTE", Palette(8)), Chunk("tRNS", {255, 255, 255, 255, 255, 0}), idat, Iend}));
        EXPECT_EQ(r->reader->TransparentColor, 0x01000005);
        EXPECT_TRUE(r->bitmap->Transparent());
        EXPECT_EQ(r->bitmap->TransparentColor(), 0x01000005);
        EXPECT_FALSE(r->reader->HasAlpha);
        EXPECT_EQ(r->reader->AlphaPlane(), nullptr);
    }
    {
        // A partial alpha: an alpha plane from the indices.
        auto r = Read(Png({Ihdr(4, 2, 8, 3), Chunk("PLTE", Palette(8)), Chunk("tRNS", {255, 128, 0}), idat, Iend}));
        EXPECT_EQ(r->reader->TransparentColor, -1);
        EXPECT_TRUE(r->reader->PaletteAlpha);
        EXPECT_TRUE(r->reader->HasAlpha);
        EXPECT_FALSE(r->bitmap->Transparent());
        ASSERT_EQ(r->reader->AlphaPlane(), r->alpha.get());
        const uint8_t expected[8] = {0, 127, 255, 0, 0, 0, 0, 0};
        for (int i = 0; i < 8; ++i) EXPECT_EQ(r->alpha->ConstScanLine(i / 4)[i % 4], expected[i]) << i;
    }
    {
        // A tRNS before the palette is skipped and the image still loads whole.
        auto r = Read(Png({Ihdr(4, 2, 8, 3), Chunk("tRNS", {0}), Chunk("PLTE", Palette(8)), idat, Iend}));
        EXPECT_EQ(r->reader->TransparentColor, -1);
        EXPECT_FALSE(r->reader->HasAlpha);
        EXPECT_EQ(r->bitmap->Pixel(3, 1), MakeColor(70, 7, 200));
    }
}

TEST(PngRead, SampleTransparencyAndBackground)
{
    struct Case {
        const char* what;
        Bytes header;
        Bytes sample;
        TColor expected;
    };
    const Case cases[] = {
        {"grey 1-bit", Ihdr(8, 1, 1, 0), {0, 1}, 0xFFFFFF},
        {"grey 2-bit", Ihdr(4, 1, 2, 0), {0, 2}, 0xAAAAAA},
        {"grey 4-bit", Ihdr(2, 1, 4, 0), {0, 3}, 0x333333},
        {"grey 8-bit", Ihdr(1, 1, 8, 0), {0, 0x42}, 0x424242},
        {"grey 16-bit", Ihdr(1, 1, 16, 0), {0x42, 0x99}, 0x424242},
        {"RGB 8-bit", Ihdr(1, 1, 8, 2), {0, 0x12, 0, 0x56, 0, 0x9A}, 0x9A5612},
        {"RGB 16-bit", Ihdr(1, 1, 16, 2), {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, 0x9A5612},
    };
    for (const Case& c : cases) {
        const Bytes idat = Chunk("IDAT", Zlib(Bytes(7, 0)));
        auto r = Read(Png({c.header, Chunk("tRNS", c.sample), Chunk("bKGD", c.sample), idat, Iend}));
        EXPECT_EQ(r->reader->TransparentColor, c.expected) << c.what;
        EXPECT_EQ(r->reader->BackgroundColor, c.expected) << c.what;
        // A 16-bit colour is matched on full samples into the alpha plane (test below).
        const bool wide = c.header[16] == 16;
        EXPECT_EQ(r->bitmap->Transparent(), !wide) << c.what;
        if (!wide) {
            EXPECT_EQ(r->bitmap->TransparentColor(), c.expected) << c.what;
        }
        EXPECT_EQ(r->reader->HasAlpha, wide) << c.what;
    }
    // An image with an alpha channel ignores tRNS; its fully opaque alpha still gives a plane.
    auto r = Read(Png({Ihdr(2, 1, 8, 6), Chunk("tRNS", {0, 1, 0, 2, 0, 3}),
                       Chunk("IDAT", Zlib({0, 1, 2, 3, 255, 4, 5, 6, 255})), Iend}));
    EXPECT_EQ(r->reader->TransparentColor, -1);
    EXPECT_TRUE(r->reader->HasAlpha);
    EXPECT_EQ(r->alpha->ConstScanLine(0)[0], 0);
    EXPECT_EQ(r->alpha->ConstScanLine(0)[1], 0);
    EXPECT_EQ(r->bitmap->Pixel(1, 0), MakeColor(4, 5, 6));
}

// Only samples equal to the whole 16-bit key are transparent, not those that share its high
// bytes; the colour kept for the picture stays the 8-bit one.
TEST(PngRead, SixteenBitTransparentColourComparesFullSamples)
{
    struct Case {
        const char* what;
        uint8_t colourType;
        Bytes key;
        std::vector<Bytes> pixels; // samples as in the file
        std::vector<bool> transparent;
        TColor kept;
    };
    const Case cases[] = {
        {"grey", 0, {0x00, 0xFF},
         {{0x00, 0xFF}, {0x00, 0x12}, {0x00, 0xFE}, {0x01, 0xFF}, {0xFF, 0x00}, {0x00, 0xFF}},
         {true, false, false, false, false, true}, 0x000000},
        {"RGB", 2, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC},
         {{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, {0x12, 0x00, 0x56, 0x78, 0x9A, 0xBC}, {0x12, 0x34, 0x56, 0x00, 0x9A, 0xBC},
          {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBD}, {0x12, 0x99, 0x56, 0x99, 0x9A, 0x99}, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}},
         {true, false, false, false, false, true}, 0x9A5612},
    };
    for (const Case& c : cases)
        for (uint8_t interlace : {0, 1}) {
            SCOPED_TRACE(std::string(c.what) + (interlace ? " interlaced" : ""));
            // 3 x 2 pixels; Adam7 of 3 x 2 has passes 1 (0,0), 4 (2,0), 6 (1,0) and 7 (row 1).
            const int w = 3, h = 2;
            auto row = [&](const std::vector<int>& xs, int y) {
                Bytes r = {0};
                for (int x : xs) {
                    const Bytes& p = c.pixels[static_cast<size_t>(y * w + x)];
                    r.insert(r.end(), p.begin(), p.end());
                }
                return r;
            };
            Bytes raw;
            using Rows = std::vector<std::pair<std::vector<int>, int>>; // columns and row of each raw row
            const Rows rows = interlace ? Rows{{{0}, 0}, {{2}, 0}, {{1}, 0}, {{0, 1, 2}, 1}} : Rows{{{0, 1, 2}, 0}, {{0, 1, 2}, 1}};
            for (const auto& [xs, y] : rows) {
                const Bytes r = row(xs, y);
                raw.insert(raw.end(), r.begin(), r.end());
            }
            auto r = Read(Png({Ihdr(w, h, 16, c.colourType, interlace), Chunk("tRNS", c.key), Chunk("IDAT", Zlib(raw)), Iend}));
            EXPECT_EQ(r->reader->TransparentColor, c.kept);
            EXPECT_TRUE(r->reader->HasAlpha);
            EXPECT_TRUE(r->reader->SampleAlpha);
            EXPECT_FALSE(r->bitmap->Transparent());
            ASSERT_EQ(r->reader->AlphaPlane(), r->alpha.get());
            for (int i = 0; i < w * h; ++i) {
                EXPECT_EQ(r->alpha->ConstScanLine(i / w)[i % w], c.transparent[static_cast<size_t>(i)] ? 255 : 0) << i;
                const Bytes& p = c.pixels[static_cast<size_t>(i)];
                const TColor colour = c.colourType == 0 ? p[0] * 0x010101 : MakeColor(p[0], p[2], p[4]);
                EXPECT_EQ(r->bitmap->Pixel(i % w, i / w), colour) << i;
            }
        }
}

// ---------------------------------------------------------------- ancillary chunks

TEST(PngRead, AncillaryChunksAndStores)
{
    TVRQPNGTime time;
    TVRQPNGChromaticity chroma;
    TVRQPNGGifControl gif;
    Bytes chrm;
    for (uint32_t v = 1; v <= 8; ++v) Put32(chrm, v * 1000);
    Bytes phys;
    Put32(phys, 2835);
    Put32(phys, 1417);
    phys.push_back(1);
    Bytes gama;
    Put32(gama, 45455);
    Bytes plte300(900, 7);
    const Bytes file = Png({Ihdr(1, 1, 8, 2), Chunk("gAMA", gama), Chunk("cHRM", chrm), Chunk("sBIT", {5, 6, 5}),
                            Chunk("gIFg", {1, 0, 0, 20}), Chunk("pHYs", phys), Chunk("PLTE", plte300),
                            Chunk("gAMA", {0, 0, 0, 1}), // after the palette: ignored
                            Chunk("tIME", {0x07, 0xE8, 2, 29, 23, 59, 58}), Chunk("tEXt", Text(std::string("Comment\0a", 9))),
                            Chunk("tEXt", Text(std::string("Title\0x", 7))), Chunk("tEXt", Text(std::string("Comment\0", 8))),
                            Chunk("zTXt", Text("anything")), Chunk("IDAT", Zlib({0, 1, 2, 3})),
                            Chunk("tEXt", Text(std::string("Comment\0b", 9))), Iend});
    auto r = Read(file, [&](TVRQPNGReadStream& s, TBitmap&) {
        s.TimeStore = &time;
        s.ChromaStore = &chroma;
        s.GifStore = &gif;
    });
    const TVRQPNGReadStream& s = *r->reader;
    EXPECT_DOUBLE_EQ(s.Gamma, 0.45455);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(chroma.Values[i], static_cast<uint32_t>((i + 1) * 1000));
    EXPECT_EQ(s.SignificantBits, 0x050605u);
    EXPECT_EQ(gif.Bytes[3], 20);
    EXPECT_EQ(s.PhysX, 2835);
    EXPECT_EQ(s.PhysY, 1417);
    EXPECT_EQ(s.PhysUnit, 1);
    EXPECT_EQ(time.Year, 2024);
    EXPECT_EQ(time.Second, 58);
    EXPECT_EQ(s.Comment, "a\r\n\r\nb\r\n");
    ASSERT_TRUE(r->bitmap->Palette().has_value());
    EXPECT_EQ(r->bitmap->Palette()->Count(), 256); // 300 entries cut to 256
    EXPECT_EQ(r->bitmap->Pixel(0, 0), MakeColor(1, 2, 3));
}

// A chunk shorter than its fields, before the image data: skipped whole, its value keeps the
// default, and the chunks after it (here a comment and the image) are read in step.
TEST(PngRead, ShortAncillaryChunksAreSkipped)
{
    enum Kind { Grey, Rgb, Rgba, Indexed };
    struct Case {
        const char* what;
        Kind kind;
        Bytes chunk;
    };
    const Case cases[] = {
        {"bKGD empty", Grey, Chunk("bKGD", {})},
        {"bKGD grey 1 byte", Grey, Chunk("bKGD", {7})},
        {"bKGD RGB 5 bytes", Rgb, Chunk("bKGD", {0, 1, 0, 2, 0})},
        {"bKGD indexed empty", Indexed, Chunk("bKGD", {})},
        {"gAMA empty", Grey, Chunk("gAMA", {})},
        {"gAMA 3 bytes", Grey, Chunk("gAMA", {0, 0xB1, 0x8F})},
        {"pHYs empty", Grey, Chunk("pHYs", {})},
        {"pHYs 8 bytes", Grey, Chunk("pHYs", {0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x13})},
        {"sBIT empty", Rgb, Chunk("sBIT", {})},
        {"sBIT RGB 2 bytes", Rgb, Chunk("sBIT", {5, 6})},
        {"sBIT RGBA 3 bytes", Rgba, Chunk("sBIT", {5, 6, 5})},
        {"tRNS grey empty", Grey, Chunk("tRNS", {})},
        {"tRNS grey 1 byte", Grey, Chunk("tRNS", {0})},
        {"tRNS RGB 4 bytes", Rgb, Chunk("tRNS", {0, 1, 0, 2})},
        {"tRNS indexed empty", Indexed, Chunk("tRNS", {})},
        {"vpNG empty", Grey, Chunk("vpNG", {})},
        {"vpNG 3 bytes", Grey, Chunk("vpNG", Text("VRQ"))},
        {"vpNG without its flag bytes", Grey, Chunk("vpNG", {'V', 'R', 'Q', '3', 1})},
        {"cHRM 31 bytes", Grey, Chunk("cHRM", Bytes(31, 1))},
        {"tIME 6 bytes", Grey, Chunk("tIME", {0x07, 0xE8, 1, 1, 0, 0})},
        {"gIFg 3 bytes", Grey, Chunk("gIFg", {1, 0, 0})},
        {"tEXt empty", Grey, Chunk("tEXt", {})},
        {"PLTE 2 bytes", Rgb, Chunk("PLTE", {1, 2})},
    };
    const Bytes comment = Chunk("tEXt", Text(std::string("Comment\0after", 13)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file;
        switch (c.kind) {
        case Grey: file = Png({Ihdr(4, 3, 8, 0), c.chunk, comment, Chunk("IDAT", Zlib(GreyRows(4, 3))), Iend}); break;
        case Rgb: file = Png({Ihdr(2, 1, 8, 2), c.chunk, comment, Chunk("IDAT", Zlib({0, 1, 2, 3, 4, 5, 6})), Iend}); break;
        case Rgba: file = Png({Ihdr(1, 1, 8, 6), c.chunk, comment, Chunk("IDAT", Zlib({0, 4, 5, 6, 200})), Iend}); break;
        case Indexed:
            file = Png({Ihdr(4, 2, 8, 3), Chunk("PLTE", Palette(8)), c.chunk, comment, Chunk("IDAT", Zlib(IndexedRows())), Iend});
            break;
        }
        TVRQPNGTime time;
        TVRQPNGChromaticity chroma;
        TVRQPNGGifControl gif;
        auto r = Read(file, [&](TVRQPNGReadStream& s, TBitmap&) {
            s.RowKey = "key";
            s.TimeStore = &time;
            s.ChromaStore = &chroma;
            s.GifStore = &gif;
        });
        const TVRQPNGReadStream& s = *r->reader;
        EXPECT_EQ(s.Comment, "after\r\n");
        EXPECT_EQ(s.BackgroundColor, -1);
        EXPECT_EQ(s.TransparentColor, -1);
        EXPECT_EQ(s.Gamma, 0);
        EXPECT_EQ(s.PhysX, 0);
        EXPECT_EQ(s.PhysY, 0);
        EXPECT_FALSE(s.PhysSeen);
        EXPECT_EQ(s.SignificantBits, 0u);
        EXPECT_EQ(s.ActiveKey, "");
        EXPECT_EQ(time.Year, 0);
        EXPECT_EQ(chroma.Values[0], 0u);
        EXPECT_EQ(gif.Bytes[0], 0);
        EXPECT_EQ(s.HasAlpha, c.kind == Rgba);
        switch (c.kind) {
        case Grey: ExpectGreyImage(*r->bitmap, 4, 3); break;
        case Rgb:
            ASSERT_EQ(r->bitmap->Width(), 2);
            EXPECT_EQ(r->bitmap->Pixel(1, 0), MakeColor(4, 5, 6));
            break;
        case Rgba:
            ASSERT_EQ(r->bitmap->Width(), 1);
            EXPECT_EQ(r->bitmap->Pixel(0, 0), MakeColor(4, 5, 6));
            EXPECT_EQ(r->alpha->ConstScanLine(0)[0], 55);
            break;
        case Indexed:
            ASSERT_EQ(r->bitmap->Width(), 4);
            EXPECT_EQ(r->bitmap->Pixel(3, 1), MakeColor(70, 7, 200));
            break;
        }
    }
    // A header too short for its fields is no header: nothing is decoded, without an error.
    const Bytes shortHeader = Chunk("IHDR", {0, 0, 0, 4, 0, 0, 0, 3, 8, 0, 0, 0});
    auto r = Read(Png({shortHeader, comment, Chunk("IDAT", Zlib(GreyRows(4, 3))), Iend}));
    EXPECT_EQ(r->reader->Comment, "after\r\n");
    EXPECT_EQ(r->reader->ColorKind, -1);
    EXPECT_TRUE(r->bitmap->Empty());
}

// ---------------------------------------------------------------- output variants

TEST(PngRead, HighColourOutput)
{
    struct Case {
        const char* what;
        uint8_t depth, colourType;
        Bytes sbit;
        bool high;
        int32_t bitDepth;
    };
    const Case cases[] = {
        {"5-6-5", 8, 2, {5, 6, 5}, true, 16},
        {"5-5-5", 8, 2, {5, 5, 5}, true, 15},
        {"5-5-5 with alpha, 16-bit", 16, 6, {5, 5, 5, 8}, true, 15},
        {"other sBIT", 8, 2, {5, 6, 6}, false, 24},
    };
    for (const Case& c : cases) {
        const int channels = c.colourType == 6 ? 4 : 3;
        const int sampleBytes = c.depth / 8;
        Bytes raw = {0};
        const uint8_t colour[4] = {0xFF, 0x84, 0x10, 0x40};
        for (int x = 0; x < 2; ++x)
            for (int ch = 0; ch < channels; ++ch)
                for (int b = 0; b < sampleBytes; ++b) raw.push_back(b == 0 ? colour[ch] : 0x77);
        const Bytes file = Png({Ihdr(2, 1, c.depth, c.colourType), Chunk("sBIT", c.sbit), Chunk("IDAT", Zlib(raw)), Iend});
        for (bool asked : {false, true}) {
            auto r = Read(file, [&](TVRQPNGReadStream& s, TBitmap&) { s.HighColorOutput = asked; });
            const bool high = asked && c.high;
            EXPECT_EQ(r->bitmap->PixelFormat(), high ? TPixelFormat::pf16bit : TPixelFormat::pf24bit) << c.what;
            EXPECT_EQ(r->reader->BitDepth, high ? c.bitDepth : 24 * sampleBytes) << c.what;
            const uint8_t* row = r->bitmap->ConstScanLine(0);
            if (high) {
                // (0xFF >> 3) << 11 | (0x84 >> 2) << 5 | (0x10 >> 3), low byte first.
                EXPECT_EQ(row[2], 0x22) << c.what;
                EXPECT_EQ(row[3], 0xFC) << c.what;
            } else {
                EXPECT_EQ(r->bitmap->Pixel(1, 0), MakeColor(0xFF, 0x84, 0x10)) << c.what;
            }
            if (channels == 4) {
                EXPECT_EQ(r->alpha->ConstScanLine(0)[1], 255 - 0x40) << c.what;
            }
        }
    }
}

TEST(PngRead, RowKeyEvent)
{
    const int w = 3, h = 4;
    Bytes vpng = Text("VRQ3");
    vpng.insert(vpng.end(), {1, 0, 0, 0});
    const Bytes file = Png({Ihdr(w, h, 8, 0), Chunk("vpNG", vpng), Chunk("IDAT", Zlib(GreyRows(w, h, 2))), Iend});
    std::vector<int32_t> numbers;
    std::string seenKey;
    auto r = Read(file, [&](TVRQPNGReadStream& s, TBitmap&) {
        s.RowKey = "secret";
        s.OnKeyRequest = [](TVRQPNGReadStream&, std::string& key) { key += "!"; };
        s.OnDecodeRow = [&](TVRQPNGReadStream&, uint8_t* row, int32_t length, int32_t number, const std::string& key) {
            EXPECT_EQ(length, w);
            numbers.push_back(number);
            seenKey = key;
            for (int i = 0; i < length; ++i) row[i] ^= 0xFF;
        };
    });
    EXPECT_EQ(r->reader->ActiveKey, "secret!");
    EXPECT_EQ(seenKey, "secret!");
    EXPECT_EQ(numbers, (std::vector<int32_t>{0, 1, 2, 3}));
    // Each stored row is the event's change of the true row: the Up filter used the rows as
    // they were before the event.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) EXPECT_EQ(r->bitmap->ConstScanLine(y)[x], static_cast<uint8_t>(~(x * 16 + y)));

    // Without the flag the event is not called.
    vpng[4] = 0;
    numbers.clear();
    const Bytes plain = Png({Ihdr(w, h, 8, 0), Chunk("vpNG", vpng), Chunk("IDAT", Zlib(GreyRows(w, h, 2))), Iend});
    auto r2 = Read(plain, [&](TVRQPNGReadStream& s, TBitmap&) {
        s.RowKey = "secret";
        s.OnDecodeRow = [&](TVRQPNGReadStream&, uint8_t*, int32_t, int32_t number, const std::string&) { numbers.push_back(number); };
    });
    EXPECT_TRUE(numbers.empty());
    EXPECT_TRUE(r2->reader->ActiveKey.empty());
    ExpectGreyImage(*r2->bitmap, w, h);
}

TEST(PngRead, ProgressOverOneRead)
{
    const int h = 40;
    const Bytes file = Png({Ihdr(4, h, 8, 0), Chunk("gAMA", {0, 0, 0xB1, 0x8F}), Chunk("IDAT", Zlib(GreyRows(4, h))), Iend});
    std::vector<int> reported;
    std::vector<TProgressStage> stages;
    auto r = Read(file, [&](TVRQPNGReadStream&, TBitmap& bmp) {
        bmp.OnProgress = [&](const TGraphic&, TProgressStage stage, uint8_t percent, bool, const TRect&, const std::string&) {
            reported.push_back(percent);
            stages.push_back(stage);
        };
    });
    ASSERT_GE(reported.size(), 3u);
    EXPECT_EQ(reported.front(), 0);
    EXPECT_EQ(stages.front(), TProgressStage::psStarting);
    EXPECT_EQ(reported.back(), 100);
    EXPECT_EQ(stages.back(), TProgressStage::psEnding);
    // Chunks before the image share 0..29; then rows 2, 6, 10, ... give 29 + r * 68 / h.
    std::vector<int> rows;
    for (int row = 2; row < h; row += 4) rows.push_back(29 + row * 68 / h);
    std::vector<int> middle(reported.begin() + 1, reported.end() - 1);
    std::vector<int> before, during;
    for (int p : middle) (p <= 29 ? before : during).push_back(p);
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(during, rows);
    for (size_t i = 1; i < reported.size(); ++i) EXPECT_LT(reported[i - 1], reported[i]);
}

TEST(PngRead, ReadBudget)
{
    const Bytes png = Png({Ihdr(4, 3, 8, 0), Chunk("tRNS", {0, 1}), Chunk("IDAT", Zlib(GreyRows(4, 3))), Iend});
    Bytes withTail = png;
    withTail.insert(withTail.end(), {1, 2, 3, 4, 5});
    {
        // Budget = the PNG: the bytes after it are not touched; the source ends just after it.
        TMemoryStream stream(withTail);
        TBitmap bmp;
        TVRQPNGReadStream reader;
        reader.ReadFromStream(&bmp, stream, static_cast<int32_t>(png.size()));
        ExpectGreyImage(bmp, 4, 3);
        EXPECT_EQ(stream.Position(), static_cast<int64_t>(png.size()));
        EXPECT_TRUE(bmp.Transparent());
    }
    {
        // Budget ends before IEND: the image is there, but an incomplete file sets no transparency.
        auto r = Read(withTail, {}, static_cast<int32_t>(png.size() - Iend.size()));
        ExpectGreyImage(*r->bitmap, 4, 3);
        EXPECT_FALSE(r->bitmap->Transparent());
    }
    // Budget ends inside the image data.
    EXPECT_THROW(Read(withTail, {}, static_cast<int32_t>(png.size() - Iend.size() - 10)), EVRQPNG);
}

} // namespace
} // namespace tintabrel
