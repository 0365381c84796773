// Animated PNG files as pictures: read, written and read again with every frame's rectangle,
// timing, ops and pixels kept; the one pixel layout all frames are written in; --optimize per
// frame; the default image a plain reader sees; failures that leave the picture as it was.
#include <gtest/gtest.h>

#include <functional>

#include "app/ApngPicture.h"
#include "app/PictureFormats.h"
#include "png/Apng.h"
#include "png/SFunc.h"
#include "recolour/PaletteRecolour.h"
#include "tests/TestData.h"
#include "tests/image/PicturePixels.h"
#include "tests/png/ApngTestSupport.h"

namespace tintabrel {
namespace {

using test::AlphaAt;
using test::ByteVector;
using test::Pixels;
using test::TApngBuilder;
using test::TFcTL;

struct TPx {
    uint8_t R, G, B, A;
};

TPictureData Rgba(int32_t w, int32_t h, const std::function<TPx(int, int)>& pixel, bool alpha = true)
{
    TPictureData p;
    p.Image.SetPixelFormat(TPixelFormat::pf24bit);
    p.Image.SetSize(w, h);
    if (alpha) {
        p.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        p.Alpha.SetSize(w, h);
    }
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const TPx v = pixel(x, y);
            uint8_t* c = p.Image.ScanLine(y) + 3 * x;
            c[0] = v.B, c[1] = v.G, c[2] = v.R;
            if (alpha) p.Alpha.ScanLine(y)[x] = static_cast<uint8_t>(255 - v.A);
        }
    return p;
}

TPictureData Indexed(int32_t w, int32_t h, int entries, uint8_t shade, const std::function<uint8_t(int, int)>& index)
{
    TPictureData p;
    p.Image.SetPixelFormat(TPixelFormat::pf8bit);
    TPalette palette;
    for (int i = 0; i < entries; ++i) palette.Add(static_cast<uint8_t>(i * 7), shade, static_cast<uint8_t>(255 - i));
    p.Image.SetPalette(palette);
    p.Image.SetSize(w, h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) p.Image.ScanLine(y)[x] = index(x, y);
    p.PaletteBits = 8;
    return p;
}

TFrame MakeFrame(TPictureData picture, int32_t x, int32_t y, uint16_t num = 1, uint16_t den = 10,
                 TFrameDispose dispose = TFrameDispose::None, TFrameBlend blend = TFrameBlend::Source)
{
    TFrame f;
    f.Picture = std::move(picture);
    f.X = x, f.Y = y, f.DelayNum = num, f.DelayDen = den, f.Dispose = dispose, f.Blend = blend;
    return f;
}

TPictureData Animated(int32_t w, int32_t h, std::vector<TFrame> frames, uint32_t plays = 0)
{
    auto a = std::make_shared<TAnimation>();
    a->Width = w, a->Height = h, a->Plays = plays;
    a->Frames = std::move(frames);
    TPictureData p;
    p.Animation = std::move(a);
    return p;
}

TPictureData Load(const ByteVector& file, const TAnimationLimits& limits = {})
{
    TMemoryStream in(file);
    TPictureData p;
    LoadApng(in, p, {}, limits);
    return p;
}

TPNGSaveOptions Fixed()
{
    TPNGSaveOptions o;
    o.Time = TPngTimeSource::Fixed;
    o.FixedTime = {2024, 5, 6, 7, 8, 9};
    return o;
}

ByteVector Save(const TPictureData& p, const TPNGSaveOptions& options = Fixed())
{
    TMemoryStream out;
    SaveApng(out, p, options);
    return out.Bytes();
}

uint8_t ColourType(const ByteVector& png) { return png.at(25); }

// The same frames, rectangles, timing, ops, plays and pixels, and the same default image.
void ExpectSameAnimation(const TPictureData& a, const TPictureData& b)
{
    ASSERT_TRUE(a.Animation && b.Animation);
    const TAnimation &x = *a.Animation, &y = *b.Animation;
    EXPECT_EQ(x.Width, y.Width);
    EXPECT_EQ(x.Height, y.Height);
    EXPECT_EQ(x.Plays, y.Plays);
    ASSERT_EQ(x.Frames.size(), y.Frames.size());
    for (size_t i = 0; i < x.Frames.size(); ++i) {
        const TFrame &f = x.Frames[i], &g = y.Frames[i];
        SCOPED_TRACE("frame " + std::to_string(i));
        EXPECT_EQ(f.X, g.X);
        EXPECT_EQ(f.Y, g.Y);
        EXPECT_EQ(f.DelayNum, g.DelayNum);
        EXPECT_EQ(f.DelayDen, g.DelayDen);
        EXPECT_EQ(f.Dispose, g.Dispose);
        EXPECT_EQ(f.Blend, g.Blend);
        EXPECT_EQ(f.Picture.Image.Width(), g.Picture.Image.Width());
        EXPECT_EQ(Pixels(f.Picture), Pixels(g.Picture));
    }
    ASSERT_EQ(x.HiddenDefault.has_value(), y.HiddenDefault.has_value());
    if (x.HiddenDefault) {
        EXPECT_EQ(Pixels(*x.HiddenDefault), Pixels(*y.HiddenDefault));
    }
    EXPECT_EQ(Pixels(a), Pixels(b));
}

// An RGBA file with a hidden default image and four frames: full, partial at the corner with
// partial alpha, dispose previous, a single pixel; delays with a 0 denominator and the largest.
ByteVector OpsFile()
{
    const auto sample = [](int base) {
        return [base](int x, int y, int c) { return static_cast<uint8_t>(c == 3 ? 40 + 50 * x : base + 16 * x + 8 * y + c); };
    };
    TApngBuilder b;
    b.Header(8, 6).AcTL(4, 3).Idat(test::ZRows(8, 6, 4, [](int, int, int c) { return uint8_t(c == 3 ? 255 : 60); }));
    b.FcTL({8, 6, 0, 0, 1, 0, 0, 0}).FdAT(test::ZRows(8, 6, 4, sample(0)));
    b.FcTL({3, 2, 5, 4, 7, 30, 1, 1}).FdAT(test::ZRows(3, 2, 4, sample(100)));
    b.FcTL({2, 2, 0, 0, 65535, 1000, 2, 0}).FdAT(test::ZRows(2, 2, 4, sample(150)));
    b.FcTL({1, 1, 7, 5, 0, 100, 0, 1}).FdAT(test::ZRows(1, 1, 4, sample(200)));
    return b.End().Bytes();
}

TEST(ApngPicture, ReadWriteReadKeepsFramesTimingOpsAndPixels)
{
    const TPictureData read = Load(OpsFile());
    ASSERT_TRUE(read.Animation);
    const TAnimation& a = *read.Animation;
    EXPECT_EQ(a.Width, 8);
    EXPECT_EQ(a.Plays, 3u);
    ASSERT_EQ(a.Frames.size(), 4u);
    ASSERT_TRUE(a.HiddenDefault);
    EXPECT_EQ(Pixels(read), Pixels(*a.HiddenDefault)); // the picture is the default image
    EXPECT_EQ(AlphaAt(read, 0, 0), 255);
    const TFrame& corner = a.Frames[1];
    EXPECT_EQ(corner.X, 5);
    EXPECT_EQ(corner.Y, 4);
    EXPECT_EQ(corner.Picture.Image.Width(), 3);
    EXPECT_EQ(corner.DelayNum, 7);
    EXPECT_EQ(corner.DelayDen, 30);
    EXPECT_EQ(corner.Dispose, TFrameDispose::Background);
    EXPECT_EQ(corner.Blend, TFrameBlend::Over);
    ASSERT_TRUE(corner.Apng);
    EXPECT_EQ(corner.Apng->DisposeOp, 1);
    EXPECT_EQ(corner.Picture.Image.Pixel(2, 1), TColor(140 | 141 << 8 | 142 << 16));
    EXPECT_EQ(AlphaAt(corner.Picture, 2, 1), 140);
    EXPECT_EQ(a.Frames[0].DelayDen, 0);
    EXPECT_EQ(a.Frames[2].Dispose, TFrameDispose::Previous);
    EXPECT_EQ(a.Frames[2].DelayNum, 65535);

    const ByteVector written = Save(read);
    const TApngLayout layout = ReadApngLayout(written.data(), written.size(), {});
    ASSERT_TRUE(layout.Animated);
    EXPECT_FALSE(layout.DefaultIsFirstFrame);
    EXPECT_EQ(ColourType(written), 6);
    ExpectSameAnimation(read, Load(written));
    // Written twice, the same bytes.
    EXPECT_EQ(Save(Load(written)), written);
}

// What the file says beside its pixels (texts before and after the image data, gamma) goes with
// the default image, and is written again with it.
TEST(ApngPicture, TheDefaultImageKeepsTheFilesChunks)
{
    const ByteVector text{'T', 'i', 't', 'l', 'e', 0, 'w', 'a', 'l', 'k'};
    const ByteVector note{'N', 'o', 't', 'e', 0, 'e', 'n', 'd'};
    for (bool hidden : {false, true}) {
        SCOPED_TRACE(hidden ? "hidden default image" : "default image is the first frame");
        TApngBuilder b;
        b.Header(2, 2).AcTL(hidden ? 1 : 2).Chunk("gAMA", {0, 0, 0xB1, 0x8F}).Chunk("tEXt", text);
        if (!hidden) b.FcTL({2, 2});
        b.Idat(test::ZRows(2, 2, 4, [](int, int, int) { return uint8_t{200}; }));
        b.FcTL({1, 1, 1, 1}).FdAT(test::ZRows(1, 1, 4, [](int, int, int) { return uint8_t{9}; }));
        b.Chunk("tEXt", note).End();
        const TPictureData read = Load(b.Bytes());
        ASSERT_EQ(read.Info.KeptChunks.size(), 2u);
        EXPECT_FALSE(read.Info.KeptChunks[0].AfterImage);
        EXPECT_TRUE(read.Info.KeptChunks[1].AfterImage);
        EXPECT_NEAR(read.Info.Gamma, 0.45455, 1e-6);
        for (bool optimize : {false, true}) {
            TPNGSaveOptions options = Fixed();
            options.Optimize = optimize;
            const TPictureData again = Load(Save(read, options));
            EXPECT_EQ(again.Info.KeptChunks, read.Info.KeptChunks) << optimize;
            EXPECT_NEAR(again.Info.Gamma, 0.45455, 1e-6) << optimize;
            ExpectSameAnimation(read, again);
        }
    }
}

TEST(ApngPicture, PaletteFilesKeepTheirPalette)
{
    const ByteVector palette{0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9};
    TApngBuilder b;
    b.Header(5, 4, 8, 3).AcTL(3).Chunk("PLTE", palette).Chunk("tRNS", {0, 128});
    b.FcTL({5, 4, 0, 0, 2, 25, 0, 0}).Idat(test::ZRows(5, 4, 1, [](int x, int y, int) { return uint8_t((x + y) % 5); }));
    b.FcTL({2, 3, 3, 1, 2, 25, 1, 1}).FdAT(test::ZRows(2, 3, 1, [](int x, int, int) { return uint8_t(x + 1); }));
    b.FcTL({5, 1, 0, 3, 2, 25, 2, 0}).FdAT(test::ZRows(5, 1, 1, [](int x, int, int) { return uint8_t(4 - x); }));
    const TPictureData read = Load(b.End().Bytes());
    ASSERT_TRUE(read.Animation);
    EXPECT_FALSE(read.Animation->HiddenDefault);
    for (const TFrame& f : read.Animation->Frames) {
        EXPECT_TRUE(IsPalettePicture(f.Picture.Image));
        EXPECT_EQ(f.Picture.PaletteBits, 8);
    }
    EXPECT_EQ(AlphaAt(read.Animation->Frames[1].Picture, 0, 0), 128);

    const ByteVector written = Save(read);
    EXPECT_EQ(ColourType(written), 3);
    const TApngLayout layout = ReadApngLayout(written.data(), written.size(), {});
    ByteVector plte;
    for (const TByteRange& r : layout.Ancillary)
        if (std::string(written.begin() + static_cast<long>(r.Offset + 4), written.begin() + static_cast<long>(r.Offset + 8)) == "PLTE")
            plte.assign(written.begin() + static_cast<long>(r.Offset + 8), written.begin() + static_cast<long>(r.Offset + r.Length - 4));
    EXPECT_EQ(plte, palette);
    const TPictureData again = Load(written);
    ExpectSameAnimation(read, again);
    for (size_t i = 0; i < 3; ++i) {
        const TBitmap &x = read.Animation->Frames[i].Picture.Image, &y = again.Animation->Frames[i].Picture.Image;
        for (int32_t row = 0; row < x.Height(); ++row)
            EXPECT_EQ(ByteVector(x.ConstScanLine(row), x.ConstScanLine(row) + x.Width()),
                      ByteVector(y.ConstScanLine(row), y.ConstScanLine(row) + y.Width()));
    }
}

// The one layout all frames are written in, and every frame's pixels kept in it.
TEST(ApngPicture, FramesShareOneLayout)
{
    const auto idx = [](int x, int y) { return static_cast<uint8_t>((x * 3 + y) % 6); };
    const auto opaque = [](int x, int y) { return TPx{uint8_t(x * 40), uint8_t(y * 50), 7, 255}; };
    const auto seeThrough = [](int x, int y) { return TPx{uint8_t(x * 40), 9, uint8_t(y * 50), uint8_t(60 * x)}; };
    const struct {
        const char* Name;
        std::function<TPictureData()> Make;
        uint8_t ColourType;
    } cases[] = {
        {"one palette", [&] { return Animated(4, 3, [&] { std::vector<TFrame> v; v.push_back(MakeFrame(Indexed(4, 3, 6, 1, idx), 0, 0)); v.push_back(MakeFrame(Indexed(2, 2, 6, 1, idx), 2, 1)); return v; }()); }, 3},
        {"palettes differ", [&] { return Animated(4, 3, [&] { std::vector<TFrame> v; v.push_back(MakeFrame(Indexed(4, 3, 6, 1, idx), 0, 0)); v.push_back(MakeFrame(Indexed(2, 2, 6, 2, idx), 2, 1)); return v; }()); }, 2},
        {"palette and colour with alpha", [&] { return Animated(4, 3, [&] { std::vector<TFrame> v; v.push_back(MakeFrame(Indexed(4, 3, 6, 1, idx), 0, 0)); v.push_back(MakeFrame(Rgba(3, 3, seeThrough), 1, 0)); return v; }()); }, 6},
        {"colour without alpha", [&] { return Animated(4, 3, [&] { std::vector<TFrame> v; v.push_back(MakeFrame(Rgba(4, 3, opaque, false), 0, 0)); v.push_back(MakeFrame(Rgba(1, 1, opaque, false), 3, 2)); return v; }()); }, 2},
        {"one palette, alpha not per index", [&] {
             TPictureData odd = Indexed(2, 1, 6, 1, [](int, int) { return uint8_t{3}; });
             odd.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
             odd.Alpha.SetSize(2, 1);
             odd.Alpha.ScanLine(0)[0] = 0;
             odd.Alpha.ScanLine(0)[1] = 200;
             return Animated(4, 3, [&] { std::vector<TFrame> v; v.push_back(MakeFrame(Indexed(4, 3, 6, 1, idx), 0, 0)); v.push_back(MakeFrame(std::move(odd), 0, 0)); return v; }());
         }, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TPictureData model = c.Make();
        const ByteVector written = Save(model);
        EXPECT_EQ(ColourType(written), c.ColourType);
        const TPictureData back = Load(written);
        ASSERT_TRUE(back.Animation);
        ASSERT_EQ(back.Animation->Frames.size(), model.Animation->Frames.size());
        for (size_t i = 0; i < model.Animation->Frames.size(); ++i)
            EXPECT_EQ(Pixels(back.Animation->Frames[i].Picture), Pixels(model.Animation->Frames[i].Picture)) << i;
    }
}

TEST(ApngPicture, APartialFirstFrameGetsADefaultImageOfItsOwn)
{
    std::vector<TFrame> frames;
    frames.push_back(MakeFrame(Rgba(2, 2, [](int x, int) { return TPx{200, uint8_t(x), 0, 255}; }), 1, 1));
    frames.push_back(MakeFrame(Rgba(4, 4, [](int, int y) { return TPx{0, 0, uint8_t(y), 255}; }), 0, 0));
    TPictureData model = Animated(4, 4, std::move(frames), 2);
    model.Info.FromFile = true; // as a file read would have filled it
    model.Info.KeptChunks.push_back({ChunkType("tEXt"), std::string("Title\0hero", 10), false});
    const ByteVector written = Save(model);
    const TPictureData back = Load(written);
    ASSERT_TRUE(back.Animation && back.Animation->HiddenDefault);
    EXPECT_EQ(Pixels(*back.Animation->HiddenDefault), Pixels(ComposeFrame(*model.Animation, 0)));
    EXPECT_EQ(Pixels(back.Animation->Frames[0].Picture), Pixels(model.Animation->Frames[0].Picture));
    EXPECT_EQ(back.Animation->Frames[0].X, 1);
    EXPECT_EQ(back.Info.KeptChunks, model.Info.KeptChunks); // the picture's texts go with it

    // A plain PNG reading of the file gives the default image.
    TMemoryStream in(written);
    TPictureData plain;
    LoadPng(in, plain, {}); // the PNG codec alone, which knows no animation
    EXPECT_FALSE(plain.Animation);
    EXPECT_EQ(Pixels(plain), Pixels(*back.Animation->HiddenDefault));
}

// Frames of one palette with a fully transparent entry and a partial first frame: the default
// image made for plain readers is in that palette too (the transparent entry around the frame),
// so the file stays a palette file, as a GIF of one table gives it. Without such an entry the
// default image needs alpha of its own, and the file is RGBA.
TEST(ApngPicture, APartialFirstFrameKeepsTheFramesPaletteWhereItHasATransparentEntry)
{
    const auto visible = [](const TPictureData& p) {
        std::vector<int64_t> out = Pixels(p);
        for (int64_t& v : out)
            if ((v >> 24) == 0) v = 0;
        return out;
    };
    const struct {
        const char* Name;
        std::vector<uint8_t> IndexAlpha;
        uint8_t ColourType;
    } cases[] = {
        {"entry 2 transparent", {255, 255, 0}, 3},
        {"entry 5 transparent, no pixel uses it", {255, 255, 255, 255, 255, 0}, 3},
        {"no transparent entry", {}, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<TFrame> frames;
        TPictureData part = Indexed(2, 2, 6, 1, [](int x, int y) { return uint8_t((x + y) % 2); });
        part.IndexAlpha = c.IndexAlpha;
        TPictureData whole = Indexed(4, 3, 6, 1, [](int x, int y) { return uint8_t((x * y) % 2 + 3); });
        whole.IndexAlpha = c.IndexAlpha;
        frames.push_back(MakeFrame(std::move(part), 1, 1, 1, 10, TFrameDispose::None, TFrameBlend::Over));
        frames.push_back(MakeFrame(std::move(whole), 0, 0, 2, 10, TFrameDispose::None, TFrameBlend::Over));
        const TPictureData model = Animated(4, 3, std::move(frames), 3);
        const ByteVector written = Save(model);
        EXPECT_EQ(ColourType(written), c.ColourType);
        const TPictureData back = Load(written);
        ASSERT_TRUE(back.Animation && back.Animation->HiddenDefault);
        EXPECT_EQ(visible(*back.Animation->HiddenDefault), visible(ComposeFrame(*model.Animation, 0)));
        ASSERT_EQ(back.Animation->Frames.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            const TPictureData& f = back.Animation->Frames[i].Picture;
            EXPECT_EQ(visible(f), visible(model.Animation->Frames[i].Picture)) << i;
            EXPECT_EQ(IsPalettePicture(f.Image), c.ColourType == 3) << i;
        }
        TPNGSaveOptions optimize = Fixed();
        optimize.Optimize = true;
        const ByteVector small = Save(model, optimize);
        EXPECT_EQ(ColourType(small), c.ColourType);
        EXPECT_EQ(visible(*Load(small).Animation->HiddenDefault), visible(ComposeFrame(*model.Animation, 0)));
    }
}

// One layout for all frames, chosen for the whole animation; each frame's smallest data in it.
TEST(ApngPicture, OptimizeEachFrameInOneLayout)
{
    TPNGSaveOptions optimize = Fixed();
    optimize.Optimize = true;
    const auto idx = [](int x, int y) { return static_cast<uint8_t>((x / 3 + y / 2) % 4); };
    const auto few = [](int x, int y) { return TPx{uint8_t(x < 20 ? 255 : 0), 0, uint8_t(y / 8 * 40), uint8_t(x % 2 ? 255 : 100)}; };
    const auto many = [](int x, int y) { return TPx{uint8_t(x * 8), uint8_t(y * 8), uint8_t(x ^ y), 255}; };
    const struct {
        const char* Name;
        std::function<TPictureData()> Make;
        uint8_t ColourType;      // of the optimized file
        uint8_t PlainColourType; // of the plain save, when the optimized layout differs
    } cases[] = {
        {"one palette, kept", [&] { std::vector<TFrame> v; v.push_back(MakeFrame(Indexed(12, 8, 4, 1, idx), 0, 0)); v.push_back(MakeFrame(Indexed(6, 6, 4, 1, idx), 3, 1)); return Animated(12, 8, std::move(v)); }, 3, 3},
        {"few colours over all frames: one palette for them", [&] { std::vector<TFrame> v; v.push_back(MakeFrame(Rgba(48, 48, few), 0, 0)); v.push_back(MakeFrame(Rgba(48, 48, [&](int x, int y) { return few(y, x); }), 0, 0)); return Animated(48, 48, std::move(v)); }, 3, 6},
        {"many colours, all opaque: RGB", [&] { std::vector<TFrame> v; v.push_back(MakeFrame(Rgba(32, 32, many), 0, 0)); v.push_back(MakeFrame(Rgba(16, 16, [&](int x, int y) { return many(y, x); }), 8, 8)); return Animated(32, 32, std::move(v)); }, 2, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TPictureData model = c.Make();
        const ByteVector written = Save(model, optimize), plain = Save(model);
        EXPECT_EQ(ColourType(written), c.ColourType);
        EXPECT_EQ(ColourType(plain), c.PlainColourType);
        EXPECT_LT(written.size(), plain.size());
        const TPictureData back = Load(written);
        ASSERT_TRUE(back.Animation);
        for (size_t i = 0; i < model.Animation->Frames.size(); ++i)
            EXPECT_EQ(Pixels(back.Animation->Frames[i].Picture), Pixels(model.Animation->Frames[i].Picture)) << i;
        if (IsPalettePicture(model.Animation->Frames[0].Picture.Image)) {
            // Distinct entries in the same order: the same pixels are the same indices.
            const std::optional<TPalette> x = model.Animation->Frames[1].Picture.Image.Palette();
            const std::optional<TPalette> y = back.Animation->Frames[1].Picture.Image.Palette();
            ASSERT_TRUE(x && y);
            ASSERT_EQ(x->Count(), y->Count());
            for (int i = 0; i < x->Count(); ++i) EXPECT_EQ((*x)[i].peRed, (*y)[i].peRed) << i;
        }
        // Written with one thread or several, the same bytes.
        TPNGSaveOptions threads = optimize;
        threads.Threads = 3;
        EXPECT_EQ(Save(model, threads), written);
    }

    // Palette frames whose indices go past their palette (as a file may have them) cannot keep it
    // at one depth: written all the same, in another layout. With TrueColourOnly a palette is not
    // kept either.
    {
        std::vector<TFrame> frames;
        frames.push_back(MakeFrame(Indexed(6, 6, 4, 1, [](int x, int y) { return uint8_t(x * 20 + y); }), 0, 0));
        frames.push_back(MakeFrame(Indexed(2, 2, 4, 1, [](int, int) { return uint8_t{1}; }), 1, 1));
        const TPictureData model = Animated(6, 6, std::move(frames));
        const TPictureData back = Load(Save(model, optimize));
        for (size_t i = 0; i < 2; ++i)
            EXPECT_EQ(Pixels(back.Animation->Frames[i].Picture), Pixels(model.Animation->Frames[i].Picture)) << i;

        std::vector<TFrame> kept;
        kept.push_back(MakeFrame(Indexed(12, 8, 4, 1, idx), 0, 0));
        const TPictureData palette = Animated(12, 8, std::move(kept));
        TPNGSaveOptions colourOnly = optimize;
        colourOnly.TrueColourOnly = true;
        EXPECT_EQ(ColourType(Save(palette, colourOnly)), 2);
        EXPECT_EQ(ColourType(Save(palette, optimize)), 3);
    }

    // The plain save competes: an animation of tiny frames is never written larger.
    std::vector<TFrame> tiny;
    tiny.push_back(MakeFrame(Rgba(1, 1, [](int, int) { return TPx{1, 2, 3, 255}; }, false), 0, 0));
    const TPictureData one = Animated(1, 1, std::move(tiny));
    EXPECT_LE(Save(one, optimize).size(), Save(one).size());
}

TEST(ApngPicture, StillFilesStayStill)
{
    TApngBuilder b;
    b.Header(3, 2, 8, 2).Idat(test::ZRows(3, 2, 3, [](int x, int, int c) { return uint8_t(x * 50 + c); })).End();
    const TPictureData still = Load(b.Bytes());
    EXPECT_FALSE(still.Animation);
    TMemoryStream in(b.Bytes());
    TPictureData plain;
    LoadPicture(in, PngFormat(), plain);
    EXPECT_EQ(Pixels(still), Pixels(plain));
    const ByteVector written = Save(still);
    EXPECT_EQ(ReadApngLayout(written.data(), written.size(), {}).Animated, false);
    EXPECT_EQ(Pixels(Load(written)), Pixels(plain));
}

// Where the stream stands when the reader sizes the picture.
class TPositionAtBegin : public TRowSink {
public:
    explicit TPositionAtBegin(TStream& stream) : stream_(stream) {}
    void Begin(TBitmap&, TBitmap*) override { At = stream_.Position(); }
    void Stored(int32_t) override {}
    int64_t At = -1;

private:
    TStream& stream_;
};

TEST(ApngPicture, FilesAreReadFromTheirStream)
{
    const test::TempDir dir;
    // A still file is read by the PNG reader straight from the file, not held in memory first:
    // its picture is sized while most of the file is still unread.
    uint32_t noise = 1;
    TApngBuilder still;
    still.Header(600, 600, 8, 2).Idat(test::ZRows(600, 600, 3, [&](int, int, int) {
        noise = noise * 1664525u + 1013904223u;
        return static_cast<uint8_t>(noise >> 24);
    }));
    test::WriteFileBytes(dir.File("still.png"), still.End().Bytes());
    {
        TFileStream file(dir.File("still.png"), TFileMode::fmOpenRead);
        TPositionAtBegin sink(file);
        TLoadOptions options;
        options.Rows = &sink;
        TPictureData picture;
        LoadApng(file, picture, options, {});
        EXPECT_FALSE(picture.Animation);
        EXPECT_EQ(picture.Image.Width(), 600);
        EXPECT_GT(sink.At, 0);
        EXPECT_LT(sink.At, file.Size() / 2);
    }
    // An animated file from a file stream, from where the stream stands.
    ByteVector prefixed{'x', 'y', 'z'};
    const ByteVector ops = OpsFile();
    prefixed.insert(prefixed.end(), ops.begin(), ops.end());
    test::WriteFileBytes(dir.File("ops.png"), prefixed);
    TFileStream file(dir.File("ops.png"), TFileMode::fmOpenRead);
    file.SetPosition(3);
    TPictureData picture;
    LoadApng(file, picture, {}, {});
    ExpectSameAnimation(picture, Load(ops));
}

TEST(ApngPicture, FailuresLeaveThePictureAsItWas)
{
    TPictureData picture = Rgba(1, 1, [](int, int) { return TPx{1, 2, 3, 4}; });
    const std::vector<int64_t> before = Pixels(picture);

    // The limits are applied.
    TAnimationLimits two;
    two.MaxFrames = 2;
    TMemoryStream ops(OpsFile());
    EXPECT_THROW(LoadApng(ops, picture, {}, two), EVRQPNG);
    EXPECT_EQ(Pixels(picture), before);

    // A frame whose data does not inflate: the reader's message, the frame named in the detail.
    TApngBuilder b;
    b.Header(2, 2).AcTL(2).FcTL({2, 2}).Idat(test::ZRows(2, 2, 4, [](int, int, int) { return uint8_t{5}; }));
    b.FcTL({1, 1}).FdAT({0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}).End();
    TMemoryStream broken(b.Bytes());
    try {
        LoadApng(broken, picture, {}, {});
        ADD_FAILURE() << "loaded";
    } catch (const EVRQPNG& e) {
        EXPECT_EQ(e.Detail().rfind("frame 2: ", 0), 0u) << e.Detail();
    }
    EXPECT_EQ(Pixels(picture), before);
    EXPECT_FALSE(picture.Animation);

    // A frame outside the canvas is not written.
    std::vector<TFrame> frames;
    frames.push_back(MakeFrame(Rgba(2, 2, [](int, int) { return TPx{0, 0, 0, 255}; }), 0, 0));
    frames.push_back(MakeFrame(Rgba(2, 1, [](int, int) { return TPx{0, 0, 0, 255}; }), 1, -1));
    TMemoryStream out;
    try {
        SaveApng(out, Animated(2, 2, std::move(frames)), Fixed());
        ADD_FAILURE() << "written";
    } catch (const EInvalidGraphic& e) {
        EXPECT_NE(std::string(e.what()).find("frame 2's rectangle of 2 x 1 at 1,-1 lies outside the 2 x 2 canvas"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(out.Size(), 0);
}

} // namespace
} // namespace tintabrel
