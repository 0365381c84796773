// Animated PNG chunks: what the walk finds in valid files, what it refuses in hostile ones (before
// any frame is decoded), the frames' own PNG files, and files written from frames, read by the
// codec's reader and by libpng as their default image.
#include <gtest/gtest.h>

#include <functional>

#include "png/Apng.h"
#include "png/VRQPNG.h"
#include "tests/png/ApngTestSupport.h"
#include "tests/png/PngWriteTestSupport.h"

namespace tintabrel {
namespace {

using test::ByteVector;
using test::TApngBuilder;
using test::TFcTL;

ByteVector Grey(int w, int h, uint8_t v) { return test::ZRows(w, h, 4, [v](int, int, int c) { return c == 3 ? 255 : v; }); }

TApngLayout Walk(const ByteVector& file, const TAnimationLimits& limits = {})
{
    return ReadApngLayout(file.data(), file.size(), limits);
}

// A picture decoded by the codec's reader as 24-bit colour and alpha, for comparisons.
struct TDecodedPicture {
    int32_t Width = 0, Height = 0;
    std::vector<TColor> Colours;
    std::vector<int> Alpha;
};
TDecodedPicture ReadWithCodec(const ByteVector& file)
{
    TVRQPNG png;
    TMemoryStream stream(file);
    png.LoadFromStream(stream);
    TDecodedPicture out{png.Width(), png.Height(), {}, {}};
    const bool alpha = png.UseAlpha && !png.AlphaBitmap->Empty();
    for (int32_t y = 0; y < out.Height; ++y)
        for (int32_t x = 0; x < out.Width; ++x) {
            out.Colours.push_back(png.Bitmap->Pixel(x, y));
            out.Alpha.push_back(alpha ? 255 - png.AlphaBitmap->ConstScanLine(y)[x] : 255);
        }
    return out;
}

TEST(ApngLayout, ValidFilesAreWalkedAsTheyStand)
{
    // Default image as the first frame, a partial frame with data in two fdAT, ancillary chunks.
    const ByteVector pal{0, 0, 0, 255, 0, 0};
    const ByteVector first = test::ZRows(4, 3, 1, [](int x, int, int) { return static_cast<uint8_t>(x % 2); });
    const ByteVector second = test::ZRows(2, 1, 1, [](int, int, int) { return uint8_t{1}; });
    TApngBuilder b;
    b.Header(4, 3, 8, 3).AcTL(2, 5).Chunk("gAMA", {0, 0, 0xB1, 0x8F}).Chunk("PLTE", pal).Chunk("tRNS", {0});
    b.Chunk("tEXt", {'a', 0, 'b'});
    b.FcTL({4, 3, 0, 0, 3, 0, 2, 1}).Idat(first);
    b.FcTL({2, 1, 2, 2, 65535, 1000, 1, 0});
    b.FdAT(ByteVector(second.begin(), second.begin() + 3)).FdAT(ByteVector(second.begin() + 3, second.end())).End();
    const TApngLayout layout = Walk(b.Bytes());
    ASSERT_TRUE(layout.Animated);
    EXPECT_EQ(layout.Width, 4u);
    EXPECT_EQ(layout.Height, 3u);
    EXPECT_EQ(layout.Plays, 5u);
    EXPECT_TRUE(layout.DefaultIsFirstFrame);
    EXPECT_EQ(layout.Ancillary.size(), 3u); // gAMA, PLTE, tRNS; not the text
    ASSERT_EQ(layout.Frames.size(), 2u);
    EXPECT_EQ(layout.Frames[0].Control, (TApngFrameControl{4, 3, 0, 0, 3, 0, 2, 1}));
    EXPECT_EQ(layout.Frames[1].Control, (TApngFrameControl{2, 1, 2, 2, 65535, 1000, 1, 0}));
    EXPECT_EQ(layout.Frames[1].Data.size(), 2u);

    // Each frame's own file: the frame's size in IHDR, the palette and transparency, the data as IDAT.
    const ByteVector framePng = ApngFramePng(b.Bytes().data(), layout, 1);
    const std::vector<test::Chunk> chunks = test::ParseChunks(framePng);
    EXPECT_EQ(test::ChunkTypes(chunks), (std::vector<std::string>{"IHDR", "gAMA", "PLTE", "tRNS", "IDAT", "IDAT", "IEND"}));
    for (const test::Chunk& c : chunks) EXPECT_TRUE(c.CrcOk) << c.Type;
    EXPECT_EQ(test::BE32(chunks[0].Data.data()), 2u);
    EXPECT_EQ(test::BE32(chunks[0].Data.data() + 4), 1u);
    const TDecodedPicture frame = ReadWithCodec(framePng);
    EXPECT_EQ(frame.Colours, (std::vector<TColor>{0x0000FF, 0x0000FF}));
    // The default image's own file has every chunk but the animation's.
    EXPECT_EQ(test::ChunkTypes(test::ParseChunks(ApngFramePng(b.Bytes().data(), layout, 0))),
              (std::vector<std::string>{"IHDR", "gAMA", "PLTE", "tRNS", "tEXt", "IDAT", "IEND"}));
    const TDecodedPicture whole = ReadWithCodec(ApngFramePng(b.Bytes().data(), layout, DefaultImage));
    EXPECT_EQ(whole.Width, 4);
    EXPECT_EQ(whole.Colours, (std::vector<TColor>{0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF}));
}

TEST(ApngLayout, HiddenDefaultImageAndStillFiles)
{
    TApngBuilder hidden;
    hidden.Header(2, 2).AcTL(1).Idat(Grey(2, 2, 9)).FcTL({1, 1, 1, 1}).FdAT(Grey(1, 1, 200)).End();
    const TApngLayout layout = Walk(hidden.Bytes());
    ASSERT_TRUE(layout.Animated);
    EXPECT_FALSE(layout.DefaultIsFirstFrame);
    ASSERT_EQ(layout.Frames.size(), 1u);
    EXPECT_EQ(ReadWithCodec(ApngFramePng(hidden.Bytes().data(), layout, 0)).Colours, std::vector<TColor>{0xC8C8C8});
    EXPECT_EQ(ReadWithCodec(ApngFramePng(hidden.Bytes().data(), layout, DefaultImage)).Colours,
              std::vector<TColor>(4, 0x090909));

    // No acTL, or one too late to make an animation: a still PNG, whatever fcTL it has.
    const struct {
        const char* Name;
        std::function<void(TApngBuilder&)> Build;
    } stills[] = {
        {"plain", [](TApngBuilder& b) { b.Header(2, 2).Idat(Grey(2, 2, 1)).End(); }},
        {"fcTL without acTL", [](TApngBuilder& b) { b.Header(2, 2).FcTL({2, 2}).Idat(Grey(2, 2, 1)).End(); }},
        {"acTL after IDAT", [](TApngBuilder& b) { b.Header(2, 2).Idat(Grey(2, 2, 1)).AcTL(1).FcTL({2, 2}).FdAT(Grey(2, 2, 1)).End(); }},
        {"not a PNG", [](TApngBuilder& b) { b.Chunk("acTL", {0, 0, 0, 9, 0, 0, 0, 0}); }},
    };
    for (const auto& c : stills) {
        TApngBuilder b;
        c.Build(b);
        ByteVector file = b.Bytes();
        if (std::string(c.Name) == "not a PNG") file[1] = 'X';
        EXPECT_FALSE(Walk(file).Animated) << c.Name;
    }
}

// Every way a file can be hostile or broken: refused by the walk, with its cause named.
TEST(ApngLayout, HostileFilesAreRefusedWithTheirCause)
{
    TAnimationLimits small;
    small.MaxFrames = 8;
    small.MaxFramePixels = 10000;
    small.MaxTotalPixels = 25000;
    const ByteVector g22 = Grey(2, 2, 1);
    const struct {
        const char* Name;
        std::function<void(TApngBuilder&)> Build;
        const char* Message;
    } cases[] = {
        {"sequence out of order", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(2).FcTL({2, 2}).Idat(g22).FcTL({2, 2}).FdAT(g22, 3).End(); },
         "sequence number 3 where 2 comes next"},
        {"sequence not from 0", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).FcTL({2, 2}, 1).Idat(g22).End(); },
         "sequence number 1 where 0 comes next"},
        {"sequence repeated", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(2).FcTL({2, 2}).Idat(g22).FcTL({2, 2}, 0).FdAT(g22).End(); },
         "sequence number 0 where 1 comes next"},
        {"rectangle past the right edge", [&](TApngBuilder& b) { b.Header(4, 4).AcTL(1).Idat(Grey(4, 4, 1)).FcTL({3, 1, 2, 0}).FdAT(g22).End(); },
         "frame 1's rectangle of 3 x 1 at 2,0 lies outside the 4 x 4 canvas"},
        {"rectangle offset that wraps", [&](TApngBuilder& b) { b.Header(4, 4).AcTL(1).Idat(Grey(4, 4, 1)).FcTL({2, 2, 0, 0xFFFFFFFF}).FdAT(g22).End(); },
         "lies outside the 4 x 4 canvas"},
        {"zero width", [&](TApngBuilder& b) { b.Header(4, 4).AcTL(1).Idat(Grey(4, 4, 1)).FcTL({0, 2}).FdAT(g22).End(); },
         "frame 1 has a size of 0 x 2"},
        {"zero height", [&](TApngBuilder& b) { b.Header(4, 4).AcTL(1).Idat(Grey(4, 4, 1)).FcTL({2, 0}).FdAT(g22).End(); },
         "frame 1 has a size of 2 x 0"},
        {"fewer frames than acTL", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(3).FcTL({2, 2}).Idat(g22).FcTL({2, 2}).FdAT(g22).End(); },
         "declares 3 frames but the file holds 2"},
        {"more frames than acTL", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).FcTL({2, 2}).Idat(g22).FcTL({2, 2}).FdAT(g22).End(); },
         "more frames than the 1 the acTL chunk declares"},
        {"no frames declared", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(0).Idat(g22).End(); }, "declares no frames"},
        {"more frames than allowed", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(100000).Idat(g22).End(); },
         "declares 100000 frames, more than the 8 allowed"},
        {"tiny file, huge canvas", [&](TApngBuilder& b) { b.Header(60000, 60000).AcTL(1).FcTL({60000, 60000}).Idat(g22).End(); },
         "canvas of 60000 x 60000 pixels is larger than the 10000 pixels allowed"},
        {"frames over the total", [&](TApngBuilder& b) {
             b.Header(100, 100).AcTL(3).FcTL({100, 100}).Idat(Grey(100, 100, 0)).FcTL({100, 100}).FdAT(Grey(100, 100, 0));
             b.FcTL({100, 100}).FdAT(Grey(100, 100, 0)).End();
         },
         "frames up to frame 3 hold 30000 pixels, more than the 25000 allowed"},
        {"tiny data, huge frame", [&](TApngBuilder& b) { b.Header(4000, 4000).AcTL(1).FcTL({4000, 4000}).Idat(g22).End(); },
         "declares 4000 x 4000 pixels but holds only"},
        {"fcTL of the wrong length", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).Chunk("fcTL", {0, 0, 0, 0, 0, 0, 0, 2}).Idat(g22).End(); },
         "holds 8 bytes, not 26"},
        {"acTL of the wrong length", [&](TApngBuilder& b) { b.Header(2, 2).Chunk("acTL", {0, 0, 0, 1}).Idat(g22).End(); },
         "acTL chunk holds 4 bytes, not 8"},
        {"fdAT before the image data", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).FcTL({2, 2}).FdAT(g22).Idat(g22).End(); },
         "comes before the image data"},
        {"fdAT of no frame", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).FcTL({2, 2}).Idat(g22).FdAT(g22).End(); },
         "belongs to no frame"},
        {"fdAT without a number", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(2).FcTL({2, 2}).Idat(g22).FcTL({2, 2}).Chunk("fdAT", {0}).End(); },
         "holds no sequence number"},
        {"frame without data, last", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(2).FcTL({2, 2}).Idat(g22).FcTL({2, 2}).End(); },
         "frame 2 has no image data"},
        {"frame without data, between", [&](TApngBuilder& b) {
             b.Header(2, 2).AcTL(3).FcTL({2, 2}).Idat(g22).FcTL({2, 2}).FcTL({2, 2}).FdAT(g22).End();
         },
         "frame 2 has no image data"},
        {"two acTL", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).AcTL(1).FcTL({2, 2}).Idat(g22).End(); }, "two acTL chunks"},
        {"fcTL before acTL", [&](TApngBuilder& b) { b.Header(2, 2).FcTL({2, 2}).AcTL(1).Idat(g22).End(); }, "comes before the acTL chunk"},
        {"first frame not the canvas", [&](TApngBuilder& b) { b.Header(4, 4).AcTL(1).FcTL({2, 2, 1, 1}).Idat(Grey(4, 4, 0)).End(); },
         "the first frame is the default image but its rectangle"},
        {"two fcTL before IDAT", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(2).FcTL({2, 2}).FcTL({2, 2}).Idat(g22).End(); },
         "two fcTL chunks before the image data"},
        {"dispose op 3", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).FcTL({2, 2, 0, 0, 1, 1, 3, 0}).Idat(g22).End(); },
         "dispose op 3"},
        {"blend op 2", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).FcTL({2, 2, 0, 0, 1, 1, 0, 2}).Idat(g22).End(); },
         "blend op 2"},
        {"chunk past the end", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).FcTL({2, 2}).Chunk("IDAT", {1, 2, 3}); },
         "more than the file holds"},
        {"IDAT apart", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).Idat(g22).FcTL({1, 1}).Idat(g22).FdAT(g22).End(); },
         "apart from the image data"},
        {"no IDAT", [&](TApngBuilder& b) { b.Header(2, 2).AcTL(1).FcTL({2, 2}).End(); }, "no image data (IDAT)"},
        {"empty canvas", [&](TApngBuilder& b) { b.Header(0, 2).AcTL(1).FcTL({1, 1}).Idat(g22).End(); }, "is no picture size"},
    };
    for (const auto& c : cases) {
        TApngBuilder b;
        c.Build(b);
        ByteVector file = b.Bytes();
        if (std::string(c.Name) == "chunk past the end") file.resize(file.size() - 2);
        try {
            Walk(file, std::string(c.Name) == "tiny data, huge frame" ? TAnimationLimits{} : small);
            ADD_FAILURE() << c.Name << ": accepted";
        } catch (const EVRQPNG& e) {
            EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos) << c.Name << ": " << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("not a valid animated PNG: ", 0), 0u) << c.Name;
        }
    }
}

// Frames encoded by the codec's writer, joined into one file.
ByteVector EncodeRgba(int w, int h, const std::function<uint32_t(int, int)>& argb)
{
    TVRQPNG png;
    png.Bitmap->SetPixelFormat(TPixelFormat::pf24bit);
    png.Bitmap->SetSize(w, h);
    png.AlphaBitmap->SetPixelFormat(TPixelFormat::pf8bit);
    png.AlphaBitmap->SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t p = argb(x, y);
            uint8_t* row = png.Bitmap->ScanLine(y) + 3 * x;
            row[0] = static_cast<uint8_t>(p), row[1] = static_cast<uint8_t>(p >> 8), row[2] = static_cast<uint8_t>(p >> 16);
            png.AlphaBitmap->ScanLine(y)[x] = static_cast<uint8_t>(255 - (p >> 24));
        }
    png.UseAlpha = true;
    png.UseCurrentTime = false;
    TMemoryStream out;
    png.SaveToStream(out);
    return out.Bytes();
}

TEST(ApngWrite, PlainReadersSeeTheDefaultImageAndTheFramesComeBack)
{
    const auto canvas = [](int x, int y) { return 0xFF000000u | static_cast<uint32_t>(x * 20) << 16 | static_cast<uint32_t>(y * 30); };
    const auto small = [](int x, int) { return 0x80FF0000u + static_cast<uint32_t>(x); };
    for (bool hidden : {false, true}) {
        SCOPED_TRACE(hidden ? "hidden default image" : "default image is the first frame");
        std::vector<TApngWriteFrame> frames(2);
        frames[0] = {{6, 5, 0, 0, 1, 0, 2, 0}, EncodeRgba(6, 5, [](int x, int y) { return 0xFF102030u + static_cast<uint32_t>(x + y); })};
        frames[1] = {{3, 2, 3, 3, 7, 100, 1, 1}, EncodeRgba(3, 2, small)};
        const ByteVector defaultImage = EncodeRgba(6, 5, canvas);
        TMemoryStream out;
        WriteApng(out, frames, 4, hidden ? &defaultImage : nullptr);
        const ByteVector file = out.Bytes();

        const std::vector<test::Chunk> chunks = test::ParseChunks(file);
        for (const test::Chunk& c : chunks) EXPECT_TRUE(c.CrcOk) << c.Type;
        ASSERT_GE(chunks.size(), 3u);
        EXPECT_EQ(chunks[1].Type, "acTL");
        EXPECT_EQ(chunks.back().Type, "IEND");
        if (test::HavePngcheck()) {
            const test::TempDir dir;
            EXPECT_EQ(test::PngcheckErrors(file, dir.File("apng.png")), "");
        }

        // libpng and the codec's reader see the default image.
        const ByteVector& shown = hidden ? defaultImage : frames[0].Png;
        const test::Decoded byLibpng = test::DecodeWithLibpng(file);
        ASSERT_TRUE(byLibpng.Ok) << byLibpng.Error;
        EXPECT_EQ(byLibpng.Rgba, test::DecodeWithLibpng(shown).Rgba);
        const TDecodedPicture byCodec = ReadWithCodec(file), expected = ReadWithCodec(shown);
        EXPECT_EQ(byCodec.Colours, expected.Colours);
        EXPECT_EQ(byCodec.Alpha, expected.Alpha);

        // The walk finds the frames again: controls as written, each frame's pixels as encoded.
        const TApngLayout layout = Walk(file);
        ASSERT_TRUE(layout.Animated);
        EXPECT_EQ(layout.DefaultIsFirstFrame, !hidden);
        EXPECT_EQ(layout.Plays, 4u);
        ASSERT_EQ(layout.Frames.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(layout.Frames[i].Control, frames[i].Control);
            const TDecodedPicture back = ReadWithCodec(ApngFramePng(file.data(), layout, i)), sent = ReadWithCodec(frames[i].Png);
            EXPECT_EQ(back.Colours, sent.Colours);
            EXPECT_EQ(back.Alpha, sent.Alpha);
        }
    }
}

TEST(ApngWrite, FramesThatCannotBeJoinedAreRefusedBeforeWriting)
{
    const ByteVector full = EncodeRgba(4, 4, [](int, int) { return 0xFF000000u; });
    const ByteVector part = EncodeRgba(2, 2, [](int, int) { return 0xFF000000u; });
    TVRQPNG rgb;
    rgb.Bitmap->SetPixelFormat(TPixelFormat::pf24bit);
    rgb.Bitmap->SetSize(2, 2);
    TMemoryStream rgbFile;
    rgb.SaveToStream(rgbFile);
    const struct {
        const char* Name;
        std::vector<TApngWriteFrame> Frames;
        const char* Message;
    } cases[] = {
        {"no frames", {}, "no frames"},
        {"outside", {{{4, 4}, full}, {{2, 2, 3, 0}, part}}, "frame 2's rectangle of 2 x 2 at 3,0 lies outside the 4 x 4 canvas"},
        {"size differs", {{{4, 4}, full}, {{1, 2}, part}}, "frame 2's picture is not the size of its rectangle"},
        {"layout differs", {{{4, 4}, full}, {{2, 2}, rgbFile.Bytes()}}, "frame 2 differs from the default image"},
        {"first frame offset", {{{2, 2, 1, 1}, part}}, "frame 1's rectangle of 2 x 2 at 1,1 lies outside the 2 x 2 canvas"},
        {"no PNG", {{{4, 4}, full}, {{2, 2}, ByteVector{1, 2, 3}}}, "frame 2 is no PNG file"},
    };
    for (const auto& c : cases) {
        TMemoryStream out;
        try {
            WriteApng(out, c.Frames, 0);
            ADD_FAILURE() << c.Name << ": written";
        } catch (const EInvalidGraphic& e) {
            EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos) << c.Name << ": " << e.what();
        }
        EXPECT_EQ(out.Size(), 0) << c.Name;
    }
}

} // namespace
} // namespace tintabrel
