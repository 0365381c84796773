// GIF reading and writing: an animation built with giflib's own writer read into frames (tables,
// transparency, interlacing, partial frames, disposal, timing, loop count, comments), written
// back and checked with giflib's own reader, recoloured frame by frame, and refusal of damaged
// or hostile files and of pictures GIF cannot hold.
#include "gif/GifFile.h"
#include "tests/gif/GifTestSupport.h"

#include "base/Exceptions.h"
#include "base/Streams.h"
#include "image/Animation.h"
#include "image/Graphics.h"
#include "image/PixelFormats.h"
#include "recolour/PaletteRecolour.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

using test::BuildGif;
using test::TGifFrameShape;
using test::TGifShape;
using test::Colours;
using test::Interlaced;

using Bytes = std::vector<uint8_t>;

Bytes Pattern(int width, int height, int bits, int seed)
{
    Bytes indices(static_cast<size_t>(width * height));
    uint32_t state = static_cast<uint32_t>(seed) * 2654435761u + 1;
    for (uint8_t& index : indices) {
        state = state * 1664525u + 1013904223u;
        index = static_cast<uint8_t>((state >> 24) & ((1u << bits) - 1));
    }
    return indices;
}

TGifFrameShape Frame(int left, int top, int width, int height, int localBits, int tableBits, int seed)
{
    TGifFrameShape f;
    f.Left = left;
    f.Top = top;
    f.Width = width;
    f.Height = height;
    f.LocalBits = localBits;
    f.Indices = Pattern(width, height, localBits ? localBits : tableBits, seed);
    return f;
}

// Twelve frames on a 24 x 20 screen with a 16-entry global table: local tables of 2, 8, 32
// and 256 entries, transparency indices, interlaced frames (heights that leave passes short or
// empty), partial frames, disposal 0 to 3, a frame without a control block, a loop count and
// comments (one longer than a sub-block).
TGifShape TwelveFrames()
{
    TGifShape shape;
    shape.Width = 24;
    shape.Height = 20;
    shape.GlobalBits = 4;
    shape.Background = 3;
    shape.Loop = 3;
    shape.Comments = {"walk cycle", std::string(300, 'c')};
    auto add = [&](TGifFrameShape f, int disposal, int delay, int transparent, bool interlace) {
        f.Disposal = disposal;
        f.Delay = delay;
        f.Transparent = transparent;
        f.Interlace = interlace;
        shape.Frames.push_back(std::move(f));
    };
    add(Frame(0, 0, 24, 20, 0, 4, 1), 1, 10, -1, false);
    add(Frame(3, 2, 10, 8, 3, 4, 2), 2, 12, 5, true);
    add(Frame(5, 5, 7, 9, 0, 4, 3), 3, 7, 0, false);
    add(Frame(0, 0, 24, 20, 8, 4, 4), 0, 20, -1, true);
    add(Frame(20, 17, 4, 3, 1, 4, 5), 2, 5, 1, false);
    add(Frame(1, 1, 9, 13, 0, 4, 6), 1, 9, 15, true);
    add(Frame(2, 0, 3, 1, 5, 4, 7), 3, 0, -1, true); // a single row: passes 2 to 4 empty
    TGifFrameShape bare = Frame(6, 4, 11, 5, 0, 4, 8);
    bare.Control = false;
    shape.Frames.push_back(bare);
    add(Frame(0, 10, 24, 10, 4, 4, 9), 2, 8, 7, false);
    add(Frame(12, 0, 12, 20, 0, 4, 10), 1, 65535, 2, false);
    add(Frame(4, 3, 6, 6, 2, 4, 11), 3, 3, 3, true);
    add(Frame(0, 0, 24, 20, 0, 4, 12), 2, 10, 9, false);
    shape.Frames.back().UserInput = true;
    return shape;
}

// ---- our reader and writer -------------------------------------------------------------------

TPictureData Load(const Bytes& bytes, const TAnimationLimits& limits = {})
{
    TMemoryStream in(bytes);
    TPictureData data;
    LoadGif(in, data, limits);
    return data;
}

Bytes Save(const TPictureData& data)
{
    TMemoryStream out;
    SaveGif(out, data);
    return out.Bytes();
}

uint8_t IndexAt(const TBitmap& image, int x, int y)
{
    return GetPackedIndex(image.ConstScanLine(y), FactsOf(image.PixelFormat()).Bits, x);
}

Bytes IndicesOf(const TBitmap& image)
{
    Bytes out;
    for (int y = 0; y < image.Height(); ++y)
        for (int x = 0; x < image.Width(); ++x) out.push_back(IndexAt(image, x, y));
    return out;
}

std::vector<GifColorType> TableOf(const TBitmap& image)
{
    std::vector<GifColorType> out;
    for (const TRGBQuad& q : image.Image()->ColorTable) out.push_back(GifColorType{q.rgbRed, q.rgbGreen, q.rgbBlue});
    return out;
}

bool SameColours(const std::vector<GifColorType>& a, const std::vector<GifColorType>& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const GifColorType& x, const GifColorType& y) {
               return x.Red == y.Red && x.Green == y.Green && x.Blue == y.Blue;
           });
}

// Everything a read gives of the two animations is the same; palettes, and which table each
// frame had, too unless told not.
void ExpectSameAnimation(const TAnimation& a, const TAnimation& b, bool palettes = true)
{
    ASSERT_EQ(a.Frames.size(), b.Frames.size());
    EXPECT_EQ(a.Width, b.Width);
    EXPECT_EQ(a.Height, b.Height);
    EXPECT_EQ(a.Plays, b.Plays);
    ASSERT_TRUE(a.Gif && b.Gif);
    EXPECT_EQ(a.Gif->Loops, b.Gif->Loops);
    EXPECT_EQ(a.Gif->Comments, b.Gif->Comments);
    EXPECT_EQ(a.Gif->BackgroundIndex, b.Gif->BackgroundIndex);
    EXPECT_EQ(a.Gif->GlobalTableBits, b.Gif->GlobalTableBits);
    for (size_t i = 0; i < a.Frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        const TFrame& fa = a.Frames[i];
        const TFrame& fb = b.Frames[i];
        EXPECT_EQ(fa.X, fb.X);
        EXPECT_EQ(fa.Y, fb.Y);
        EXPECT_EQ(fa.DelayNum, fb.DelayNum);
        EXPECT_EQ(fa.DelayDen, fb.DelayDen);
        EXPECT_EQ(fa.Dispose, fb.Dispose);
        ASSERT_TRUE(fa.Gif && fb.Gif);
        EXPECT_EQ(fa.Gif->Disposal, fb.Gif->Disposal);
        EXPECT_EQ(fa.Gif->UserInput, fb.Gif->UserInput);
        EXPECT_EQ(fa.Gif->Interlaced, fb.Gif->Interlaced);
        if (palettes) {
            EXPECT_EQ(fa.Gif->LocalTable, fb.Gif->LocalTable);
            EXPECT_EQ(fa.Gif->LocalTableBits, fb.Gif->LocalTableBits);
        }
        EXPECT_EQ(fa.Gif->TransparentIndex, fb.Gif->TransparentIndex);
        EXPECT_EQ(fa.Picture.PaletteBits, fb.Picture.PaletteBits);
        EXPECT_EQ(fa.Picture.IndexAlpha, fb.Picture.IndexAlpha);
        EXPECT_EQ(fa.Picture.Image.PixelFormat(), fb.Picture.Image.PixelFormat());
        EXPECT_EQ(fa.Picture.Image.Width(), fb.Picture.Image.Width());
        EXPECT_EQ(fa.Picture.Image.Height(), fb.Picture.Image.Height());
        EXPECT_EQ(IndicesOf(fa.Picture.Image), IndicesOf(fb.Picture.Image));
        EXPECT_EQ(fa.Picture.Image.Image()->ColorTable.size(), fb.Picture.Image.Image()->ColorTable.size());
        if (palettes) {
            EXPECT_TRUE(SameColours(TableOf(fa.Picture.Image), TableOf(fb.Picture.Image)));
        }
        EXPECT_EQ(IndicesOf(fa.Picture.Alpha), IndicesOf(fb.Picture.Alpha));
    }
}

// giflib's own reading of a file, freed at the end.
struct Slurped {
    GifFileType* Gif = nullptr;
    explicit Slurped(const Bytes& bytes)
    {
        struct Source {
            const Bytes* Data;
            size_t Pos;
        };
        static thread_local Source source;
        source = {&bytes, 0};
        int error = 0;
        Gif = DGifOpen(&source, [](GifFileType* g, GifByteType* buf, int n) {
            auto* s = static_cast<Source*>(g->UserData);
            const size_t count = std::min<size_t>(static_cast<size_t>(n), s->Data->size() - s->Pos);
            std::memcpy(buf, s->Data->data() + s->Pos, count);
            s->Pos += count;
            return static_cast<int>(count);
        }, &error);
        EXPECT_NE(Gif, nullptr);
        EXPECT_EQ(DGifSlurp(Gif), GIF_OK);
    }
    ~Slurped()
    {
        int error = 0;
        DGifCloseFile(Gif, &error);
    }
    Slurped(const Slurped&) = delete;
    Slurped& operator=(const Slurped&) = delete;
};

// ---- reading ---------------------------------------------------------------------------------

TEST(GifRead, TwelveFramesAsTheFileHasThem)
{
    const TGifShape shape = TwelveFrames();
    const TPictureData data = Load(BuildGif(shape));
    ASSERT_TRUE(data.Animated());
    const TAnimation& animation = *data.Animation;
    EXPECT_EQ(animation.Width, 24);
    EXPECT_EQ(animation.Height, 20);
    EXPECT_EQ(animation.Plays, 3u);
    ASSERT_TRUE(animation.Gif);
    EXPECT_TRUE(animation.Gif->Loops);
    EXPECT_EQ(animation.Gif->Comments, shape.Comments);
    EXPECT_TRUE(animation.Gif->GlobalTable);
    EXPECT_EQ(animation.Gif->GlobalTableBits, 4);
    EXPECT_EQ(animation.Gif->BackgroundIndex, 3);
    ASSERT_EQ(animation.Frames.size(), 12u);

    int salt = 1;
    for (size_t i = 0; i < shape.Frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        const TGifFrameShape& f = shape.Frames[i];
        const TFrame& frame = animation.Frames[i];
        const TPictureData& picture = frame.Picture;
        EXPECT_EQ(frame.X, f.Left);
        EXPECT_EQ(frame.Y, f.Top);
        EXPECT_EQ(frame.DelayNum, f.Delay);
        EXPECT_EQ(frame.DelayDen, 100);
        EXPECT_EQ(frame.Blend, TFrameBlend::Over);
        const TFrameDispose dispose = f.Disposal == 2 ? TFrameDispose::Background : f.Disposal == 3 ? TFrameDispose::Previous : TFrameDispose::None;
        EXPECT_EQ(frame.Dispose, dispose);
        ASSERT_TRUE(frame.Gif);
        EXPECT_EQ(frame.Gif->Disposal, f.Disposal);
        EXPECT_EQ(frame.Gif->UserInput, f.UserInput);
        EXPECT_EQ(frame.Gif->Interlaced, f.Interlace);
        EXPECT_EQ(frame.Gif->LocalTable, f.LocalBits != 0);
        EXPECT_EQ(frame.Gif->LocalTableBits, f.LocalBits);
        EXPECT_EQ(frame.Gif->TransparentIndex, f.Transparent);

        // The table in effect, whole and in order, with its size as the bit count.
        const int bits = f.LocalBits ? f.LocalBits : shape.GlobalBits;
        EXPECT_EQ(picture.PaletteBits, bits);
        EXPECT_TRUE(SameColours(TableOf(picture.Image), Colours(bits, f.LocalBits ? salt++ : 0)));
        const TPixelFormat format = bits == 1 ? TPixelFormat::pf1bit : bits <= 4 ? TPixelFormat::pf4bit : TPixelFormat::pf8bit;
        EXPECT_EQ(picture.Image.PixelFormat(), format);
        EXPECT_EQ(picture.Image.Width(), f.Width);
        EXPECT_EQ(picture.Image.Height(), f.Height);
        // Interlaced rows are put back in place.
        EXPECT_EQ(IndicesOf(picture.Image), f.Indices);

        // The transparency index as a palette PNG's: alpha 0 for it, and a plane marking its pixels.
        if (f.Transparent >= 0) {
            Bytes indexAlpha(static_cast<size_t>(f.Transparent) + 1, 255);
            indexAlpha.back() = 0;
            EXPECT_EQ(picture.IndexAlpha, indexAlpha);
            ASSERT_TRUE(AlphaPlaneFits(picture.Image, picture.Alpha));
            for (int y = 0; y < f.Height; ++y)
                for (int x = 0; x < f.Width; ++x)
                    ASSERT_EQ(picture.Alpha.ConstScanLine(y)[x], f.Indices[static_cast<size_t>(y * f.Width + x)] == f.Transparent ? 255 : 0);
        } else {
            EXPECT_TRUE(picture.IndexAlpha.empty());
            EXPECT_FALSE(picture.HasAlpha());
        }
    }
}

TEST(GifRead, TheStillPictureIsTheFirstFrameOnTheCanvas)
{
    TGifShape shape = TwelveFrames();
    // A first frame that leaves part of the canvas empty and has a transparent index.
    shape.Frames[0] = Frame(2, 3, 10, 6, 0, 4, 21);
    shape.Frames[0].Transparent = shape.Frames[0].Indices[0];
    const TPictureData data = Load(BuildGif(shape));
    const TPictureData composed = ComposeFrame(*data.Animation, 0);
    EXPECT_EQ(data.Image.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(data.PaletteBits, 0);
    EXPECT_TRUE(data.IndexAlpha.empty());
    ASSERT_EQ(data.Image.Width(), 24);
    ASSERT_EQ(data.Image.Height(), 20);
    ASSERT_TRUE(data.HasAlpha());
    const auto colours = Colours(4, 0);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 24; ++x) {
            EXPECT_EQ(data.Image.Pixel(x, y), composed.Image.Pixel(x, y));
            const bool inside = x >= 2 && x < 12 && y >= 3 && y < 9;
            const int index = inside ? shape.Frames[0].Indices[static_cast<size_t>((y - 3) * 10 + x - 2)] : -1;
            const bool clear = !inside || index == shape.Frames[0].Transparent;
            ASSERT_EQ(data.Alpha.ConstScanLine(y)[x], clear ? 255 : 0) << x << "," << y;
            if (!clear) {
                const GifColorType c = colours[static_cast<size_t>(index)];
                EXPECT_EQ(data.Image.Pixel(x, y), MakeColor(c.Red, c.Green, c.Blue));
            }
        }
}

TEST(GifRead, ARectangleReachingBeyondTheScreenIsCutAtItsEdge)
{
    TGifShape shape;
    shape.Width = 10;
    shape.Height = 8;
    shape.GlobalBits = 3;
    shape.Frames = {Frame(6, 5, 7, 6, 0, 3, 1)};
    shape.Frames[0].Interlace = true;
    const TPictureData data = Load(BuildGif(shape));
    const TFrame& frame = data.Animation->Frames[0];
    EXPECT_EQ(frame.X, 6);
    EXPECT_EQ(frame.Y, 5);
    ASSERT_EQ(frame.Picture.Image.Width(), 4);
    ASSERT_EQ(frame.Picture.Image.Height(), 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(IndexAt(frame.Picture.Image, x, y), shape.Frames[0].Indices[static_cast<size_t>(y * 7 + x)]);
    // Written back, the frame lies within the screen.
    const Bytes written = Save(data);
    const Slurped check(written);
    EXPECT_EQ(check.Gif->SavedImages[0].ImageDesc.Width, 4);
    EXPECT_EQ(check.Gif->SavedImages[0].ImageDesc.Height, 3);
}

TEST(GifRead, WithoutALoopBlockTheAnimationPlaysOnce)
{
    TGifShape shape = TwelveFrames();
    shape.Loop = -1;
    const TPictureData data = Load(BuildGif(shape));
    EXPECT_EQ(data.Animation->Plays, 1u);
    EXPECT_FALSE(data.Animation->Gif->Loops);
    // And is written so: no loop block.
    const Slurped check(Save(data));
    // giflib gives the blocks before a frame to that frame.
    const SavedImage& first = check.Gif->SavedImages[0];
    for (int i = 0; i < first.ExtensionBlockCount; ++i) EXPECT_NE(first.ExtensionBlocks[i].Function, APPLICATION_EXT_FUNC_CODE);
    shape.Loop = 0;
    EXPECT_EQ(Load(BuildGif(shape)).Animation->Plays, 0u);
}

// A stream that cannot tell its size or seek, as a pipe.
class PipeStream : public TStream {
public:
    explicit PipeStream(Bytes bytes) : bytes_(std::move(bytes)) {}
    int64_t Read(void* buffer, int64_t count) override
    {
        const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(bytes_.size() - pos_));
        std::memcpy(buffer, bytes_.data() + pos_, static_cast<size_t>(n));
        pos_ += static_cast<size_t>(n);
        return n;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, TSeekOrigin) override { throw EReadError(msg::ReadError); }
    int64_t Size() override { throw EReadError(msg::ReadError); }

private:
    Bytes bytes_;
    size_t pos_ = 0;
};

TEST(GifRead, AStreamOfUnknownSizeIsReadWholeFirst)
{
    const Bytes bytes = BuildGif(TwelveFrames());
    PipeStream pipe(bytes);
    TPictureData data;
    LoadGif(pipe, data);
    ExpectSameAnimation(*data.Animation, *Load(bytes).Animation);
}

TEST(GifRead, ATransparencyIndexBeyondTheTableMarksNothingAndIsKept)
{
    TGifShape shape;
    shape.Width = 4;
    shape.Height = 4;
    shape.GlobalBits = 2;
    shape.Frames = {Frame(0, 0, 4, 4, 0, 2, 1)};
    shape.Frames[0].Transparent = 9;
    const TPictureData data = Load(BuildGif(shape));
    const TFrame& frame = data.Animation->Frames[0];
    EXPECT_EQ(frame.Gif->TransparentIndex, 9);
    EXPECT_TRUE(frame.Picture.IndexAlpha.empty());
    EXPECT_FALSE(frame.Picture.HasAlpha());
    EXPECT_EQ(Load(Save(data)).Animation->Frames[0].Gif->TransparentIndex, 9);
}

// ---- writing ---------------------------------------------------------------------------------

TEST(GifWrite, ReadWriteReadKeepsEverything)
{
    const TGifShape shape = TwelveFrames();
    const TPictureData first = Load(BuildGif(shape));
    const Bytes written = Save(first);
    const TPictureData second = Load(written);
    ExpectSameAnimation(*first.Animation, *second.Animation);
    EXPECT_TRUE(second.Animation->Gif->GlobalColours == first.Animation->Gif->GlobalColours);

    // giflib's own reading of what was written: the same tables where they were, the same
    // control blocks, the loop count, the rows.
    const Slurped check(written);
    const GifFileType& gif = *check.Gif;
    ASSERT_EQ(gif.ImageCount, 12);
    EXPECT_EQ(gif.SWidth, 24);
    EXPECT_EQ(gif.SHeight, 20);
    EXPECT_EQ(gif.SBackGroundColor, 3);
    ASSERT_NE(gif.SColorMap, nullptr);
    EXPECT_EQ(gif.SColorMap->ColorCount, 16);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(written.data()), 6), "GIF89a");
    // giflib gives the blocks before a frame to that frame.
    bool loop = false;
    for (int i = 0; i < gif.SavedImages[0].ExtensionBlockCount; ++i) {
        const ExtensionBlock& block = gif.SavedImages[0].ExtensionBlocks[i];
        if (block.Function == APPLICATION_EXT_FUNC_CODE) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(block.Bytes), 11), "NETSCAPE2.0");
        }
        if (block.Function == CONTINUE_EXT_FUNC_CODE && block.ByteCount == 3 && block.Bytes[0] == 1) {
            loop = true;
            EXPECT_EQ(block.Bytes[1] | block.Bytes[2] << 8, 3);
        }
    }
    EXPECT_TRUE(loop);
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        const TGifFrameShape& f = shape.Frames[static_cast<size_t>(i)];
        const SavedImage& image = gif.SavedImages[i];
        EXPECT_EQ(image.ImageDesc.Interlace, f.Interlace);
        EXPECT_EQ(image.ImageDesc.ColorMap != nullptr, f.LocalBits != 0);
        if (f.LocalBits) {
            EXPECT_EQ(image.ImageDesc.ColorMap->ColorCount, 1 << f.LocalBits);
        }
        EXPECT_EQ(Bytes(image.RasterBits, image.RasterBits + f.Width * f.Height), f.Indices);
        GraphicsControlBlock gcb{};
        const bool hasControl = DGifSavedExtensionToGCB(check.Gif, i, &gcb) == GIF_OK;
        // A control block only where it says something.
        EXPECT_EQ(hasControl, f.Control);
        if (hasControl) {
            EXPECT_EQ(gcb.DisposalMode, f.Disposal);
            EXPECT_EQ(gcb.DelayTime, f.Delay);
            EXPECT_EQ(gcb.TransparentColor, f.Transparent);
            EXPECT_EQ(gcb.UserInputFlag, f.UserInput);
        }
    }
}

TEST(GifWrite, AGif87aIsWrittenAsGif89aWithTheSameFrames)
{
    TGifShape shape;
    shape.Width = 8;
    shape.Height = 8;
    shape.GlobalBits = 1;
    shape.Frames = {Frame(0, 0, 8, 8, 0, 1, 3)};
    shape.Frames[0].Control = false;
    Bytes bytes = BuildGif(shape);
    std::memcpy(bytes.data(), "GIF87a", 6);
    const TPictureData data = Load(bytes);
    EXPECT_EQ(data.Animation->Frames[0].Picture.Image.PixelFormat(), TPixelFormat::pf1bit);
    const Bytes written = Save(data);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(written.data()), 6), "GIF89a");
    ExpectSameAnimation(*data.Animation, *Load(written).Animation);
}

// Recolouring every frame through its palette, as the tool does with palette pictures.
void RecolourFrames(TAnimation& animation, const std::function<bool(size_t)>& which)
{
    THueWindow window;
    window.Source = 0; // blues and purples
    window.Tolerance = 36;
    window.Wrap = true;
    window.Target = 30;
    for (size_t i = 0; i < animation.Frames.size(); ++i) {
        if (!which(i)) continue;
        TPictureData& picture = animation.Frames[i].Picture;
        ASSERT_TRUE(IsPalettePicture(picture.Image));
        TBitmap after;
        RecolourPicture(picture.Image, after, TProtectedColors(), window, true, 1, &picture.Alpha);
        picture.Image.Assign(after);
    }
}

TEST(GifWrite, RecolouredFramesKeepEverythingButTheirEntries)
{
    const TPictureData original = Load(BuildGif(TwelveFrames()));
    TPictureData changed;
    changed.Assign(original);
    RecolourFrames(*changed.Animation, [](size_t) { return true; });
    // The change reached the tables.
    EXPECT_FALSE(SameColours(TableOf(changed.Animation->Frames[0].Picture.Image), TableOf(original.Animation->Frames[0].Picture.Image)));
    const Bytes written = Save(changed);
    const TPictureData read = Load(written);
    ExpectSameAnimation(*original.Animation, *read.Animation, false);
    for (size_t i = 0; i < read.Animation->Frames.size(); ++i)
        EXPECT_TRUE(SameColours(TableOf(read.Animation->Frames[i].Picture.Image), TableOf(changed.Animation->Frames[i].Picture.Image)))
            << "frame " << i + 1;
    // The frames that used the global table were changed alike: the global table changed once,
    // and they still use it.
    const Slurped check(written);
    for (int i = 0; i < check.Gif->ImageCount; ++i)
        EXPECT_EQ(check.Gif->SavedImages[i].ImageDesc.ColorMap != nullptr, original.Animation->Frames[static_cast<size_t>(i)].Gif->LocalTable)
            << "frame " << i + 1;
    EXPECT_TRUE(SameColours(std::vector<GifColorType>(check.Gif->SColorMap->Colors, check.Gif->SColorMap->Colors + 16),
                            TableOf(changed.Animation->Frames[0].Picture.Image)));
}

TEST(GifWrite, AFrameWhoseGlobalTableChangedAloneGetsALocalTableOfTheSameSize)
{
    const TPictureData original = Load(BuildGif(TwelveFrames()));
    TPictureData changed;
    changed.Assign(original);
    // Frame 3 used the global table; only it changes.
    RecolourFrames(*changed.Animation, [](size_t i) { return i == 2; });
    const Bytes written = Save(changed);
    const Slurped check(written);
    ASSERT_NE(check.Gif->SavedImages[2].ImageDesc.ColorMap, nullptr);
    EXPECT_EQ(check.Gif->SavedImages[2].ImageDesc.ColorMap->ColorCount, 16);
    EXPECT_EQ(check.Gif->SavedImages[0].ImageDesc.ColorMap, nullptr);
    EXPECT_EQ(check.Gif->SavedImages[5].ImageDesc.ColorMap, nullptr);
    const TPictureData read = Load(written);
    ExpectSameAnimation(*original.Animation, *read.Animation, false);
    for (size_t i = 0; i < read.Animation->Frames.size(); ++i)
        EXPECT_EQ(read.Animation->Frames[i].Gif->LocalTable, i == 2 || original.Animation->Frames[i].Gif->LocalTable) << i;
    EXPECT_EQ(read.Animation->Frames[2].Picture.PaletteBits, 4);
    EXPECT_TRUE(SameColours(TableOf(read.Animation->Frames[2].Picture.Image), TableOf(changed.Animation->Frames[2].Picture.Image)));
    EXPECT_TRUE(SameColours(TableOf(read.Animation->Frames[0].Picture.Image), TableOf(original.Animation->Frames[0].Picture.Image)));
}

// A palette picture of the given bits and entries, indices cycling through the first used.
void MakePalettePicture(TPictureData& data, TPixelFormat format, int entries, int width, int height, int used = 0)
{
    if (used == 0) used = entries;
    TPalette palette;
    for (int i = 0; i < entries; ++i) palette.Add(static_cast<uint8_t>(i * 40), static_cast<uint8_t>(200 - i * 10), 7);
    data.Image.SetPixelFormat(format);
    data.Image.SetSize(width, height);
    data.Image.SetPalette(palette);
    const int bits = FactsOf(format).Bits;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) PutPackedIndex(data.Image.ScanLine(y), bits, x, static_cast<uint8_t>((x + y) % used));
}

TEST(GifWrite, AnAnimationFromElsewhereKeepsItsTimingDisposalAndPlays)
{
    // As an animated PNG of palette frames reads: no GIF records, delays in other fractions.
    TPictureData data;
    data.Animation = std::make_shared<TAnimation>();
    TAnimation& animation = *data.Animation;
    animation.Width = 6;
    animation.Height = 5;
    animation.Plays = 2;
    const TFrameDispose disposals[3] = {TFrameDispose::Background, TFrameDispose::Previous, TFrameDispose::None};
    for (int i = 0; i < 3; ++i) {
        TFrame frame;
        MakePalettePicture(frame.Picture, TPixelFormat::pf8bit, i == 1 ? 7 : 6, 6 - i, 5 - i);
        frame.X = i;
        frame.Y = i;
        frame.DelayNum = static_cast<uint16_t>(i + 1);
        frame.DelayDen = static_cast<uint16_t>(i == 2 ? 0 : 30); // 0: hundredths
        frame.Dispose = disposals[i];
        // Blend source is what GIF does where nothing is transparent or nothing was drawn yet.
        frame.Blend = i < 2 ? TFrameBlend::Source : TFrameBlend::Over;
        if (i == 0) {
            frame.Picture.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
            frame.Picture.Alpha.SetSize(6, 5);
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < 6; ++x) frame.Picture.Alpha.ScanLine(y)[x] = (x + y) % 6 == 5 ? 255 : 0;
        }
        animation.Frames.push_back(std::move(frame));
    }
    const Bytes written = Save(data);
    const Slurped check(written);
    // The first frame's table is the global one; a frame with another table has its own.
    ASSERT_NE(check.Gif->SColorMap, nullptr);
    EXPECT_EQ(check.Gif->SColorMap->ColorCount, 8);
    EXPECT_EQ(check.Gif->SavedImages[0].ImageDesc.ColorMap, nullptr);
    ASSERT_NE(check.Gif->SavedImages[1].ImageDesc.ColorMap, nullptr);
    EXPECT_EQ(check.Gif->SavedImages[1].ImageDesc.ColorMap->ColorCount, 8);
    EXPECT_EQ(check.Gif->SavedImages[2].ImageDesc.ColorMap, nullptr);

    const TPictureData read = Load(written);
    const TAnimation& back = *read.Animation;
    EXPECT_EQ(back.Plays, 2u);
    EXPECT_TRUE(back.Gif->Loops);
    EXPECT_EQ(back.Frames[0].Gif->TransparentIndex, 5);
    EXPECT_EQ(back.Frames[1].Gif->TransparentIndex, -1);
    const uint16_t hundredths[3] = {3, 7, 3};
    const uint8_t fileDisposal[3] = {2, 3, 1};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        EXPECT_EQ(back.Frames[i].DelayNum, hundredths[i]);
        EXPECT_EQ(back.Frames[i].Dispose, disposals[i]);
        EXPECT_EQ(back.Frames[i].Gif->Disposal, fileDisposal[i]);
        EXPECT_EQ(back.Frames[i].X, static_cast<int>(i));
        EXPECT_EQ(IndicesOf(back.Frames[i].Picture.Image), IndicesOf(animation.Frames[i].Picture.Image));
    }
}

TEST(GifWrite, TheFilesOwnDisposalValueIsKeptWhileItSaysTheSame)
{
    TGifShape shape;
    shape.Width = shape.Height = 4;
    shape.GlobalBits = 1;
    shape.Frames = {Frame(0, 0, 4, 4, 0, 1, 1), Frame(0, 0, 4, 4, 0, 1, 2), Frame(0, 0, 4, 4, 0, 1, 3)};
    shape.Frames[0].Disposal = 5; // undefined: the frame is left, as with 0 and 1
    shape.Frames[1].Disposal = 0;
    shape.Frames[2].Disposal = 0;
    TPictureData data = Load(BuildGif(shape));
    EXPECT_EQ(data.Animation->Frames[0].Dispose, TFrameDispose::None);
    EXPECT_EQ(data.Animation->Frames[0].Gif->Disposal, 5);
    data.Animation->Frames[2].Dispose = TFrameDispose::Previous; // changed by the caller
    const TPictureData read = Load(Save(data));
    EXPECT_EQ(read.Animation->Frames[0].Gif->Disposal, 5);
    EXPECT_EQ(read.Animation->Frames[1].Gif->Disposal, 0);
    EXPECT_EQ(read.Animation->Frames[2].Gif->Disposal, 3);
}

TEST(GifWrite, AStillPalettePictureIsOneFrameWithAGlobalTable)
{
    // As a palette PNG with tRNS reads: alpha per index and a plane marking the pixels.
    TPictureData still;
    MakePalettePicture(still, TPixelFormat::pf4bit, 5, 7, 3);
    still.PaletteBits = 4;
    still.IndexAlpha = {255, 255, 0};
    still.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    still.Alpha.SetSize(7, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 7; ++x) still.Alpha.ScanLine(y)[x] = (x + y) % 5 == 2 ? 255 : 0;
    const Bytes written = Save(still);
    const Slurped check(written);
    ASSERT_EQ(check.Gif->ImageCount, 1);
    ASSERT_NE(check.Gif->SColorMap, nullptr);
    EXPECT_EQ(check.Gif->SColorMap->ColorCount, 8); // the smallest table holding its 5 entries
    EXPECT_EQ(check.Gif->SavedImages[0].ImageDesc.ColorMap, nullptr);
    const TPictureData read = Load(written);
    const TFrame& frame = read.Animation->Frames[0];
    EXPECT_EQ(IndicesOf(frame.Picture.Image), IndicesOf(still.Image));
    EXPECT_EQ(frame.Gif->TransparentIndex, 2);
    EXPECT_EQ(read.Animation->Plays, 1u);
    const auto table = TableOf(frame.Picture.Image);
    const auto original = TableOf(still.Image);
    EXPECT_TRUE(SameColours(std::vector<GifColorType>(table.begin(), table.begin() + 5), original));
}

TEST(GifWrite, AnIndexNoPixelUsesKeepsItsTransparencyFromIndexAlpha)
{
    TPictureData still;
    MakePalettePicture(still, TPixelFormat::pf4bit, 7, 6, 2, 5);
    still.IndexAlpha = {255, 0, 255, 255, 255, 255, 0}; // index 1 is used: its pixels are opaque
    EXPECT_EQ(Load(Save(still)).Animation->Frames[0].Gif->TransparentIndex, 6);
}

TEST(GifWrite, TransparencyComesFromThePixelsAlphaWhereTheyHaveOne)
{
    TPictureData still;
    MakePalettePicture(still, TPixelFormat::pf8bit, 6, 6, 2);
    still.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    still.Alpha.SetSize(6, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 6; ++x) still.Alpha.ScanLine(y)[x] = (x + y) % 6 == 4 ? 255 : 0;
    const TPictureData read = Load(Save(still));
    EXPECT_EQ(read.Animation->Frames[0].Gif->TransparentIndex, 4);
}

// Pixels of several fully transparent indices (a region's change copies a transparent entry
// whose colour it caught) are written as the one transparency index GIF has: the frame's own
// when it is among them, else the first; every visible pixel keeps its index.
TEST(GifWrite, SeveralTransparentIndicesAreWrittenAsTheTransparencyIndex)
{
    const struct {
        const char* Name;
        int FileTransparent; // the frame's own transparency index as the file had it (-1: none)
        int Written;
    } cases[] = {{"no index of the file's", -1, 1}, {"the file's index among them", 3, 3}, {"the file's index unused", 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TPictureData data;
        data.Animation = std::make_shared<TAnimation>();
        data.Animation->Width = 8, data.Animation->Height = 2;
        data.Animation->Frames.resize(1);
        TFrame& frame = data.Animation->Frames[0];
        MakePalettePicture(frame.Picture, TPixelFormat::pf8bit, 6, 8, 2);
        frame.Picture.PaletteBits = 8;
        if (c.FileTransparent >= 0) {
            TGifFrameFacts facts;
            facts.TransparentIndex = c.FileTransparent;
            frame.Gif = facts;
        }
        // Indices 1, 3 and 5 are fully transparent.
        frame.Picture.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        frame.Picture.Alpha.SetSize(8, 2);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 8; ++x) frame.Picture.Alpha.ScanLine(y)[x] = (x + y) % 6 % 2 == 1 ? 255 : 0;
        const TPictureData read = Load(Save(data));
        const TFrame& back = read.Animation->Frames[0];
        EXPECT_EQ(back.Gif->TransparentIndex, c.Written);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 8; ++x) {
                const int index = (x + y) % 6;
                EXPECT_EQ(IndexAt(back.Picture.Image, x, y), index % 2 == 1 ? c.Written : index) << x << "," << y;
            }
    }
}

struct Unwritable {
    const char* Name;
    std::function<void(TPictureData&)> Make;
    const char* Says;
};

TEST(GifWrite, PicturesGifCannotHoldAreRefusedBeforeAnythingIsWritten)
{
    auto animationOf = [](TPictureData& data, int frames) {
        data.Animation = std::make_shared<TAnimation>();
        data.Animation->Width = 8;
        data.Animation->Height = 8;
        data.Animation->Frames.resize(static_cast<size_t>(frames));
        for (TFrame& frame : data.Animation->Frames) MakePalettePicture(frame.Picture, TPixelFormat::pf8bit, 4, 8, 8);
    };
    auto alphaPlane = [](TPictureData& picture, auto value) {
        picture.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        picture.Alpha.SetSize(picture.Image.Width(), picture.Image.Height());
        for (int y = 0; y < picture.Image.Height(); ++y)
            for (int x = 0; x < picture.Image.Width(); ++x) picture.Alpha.ScanLine(y)[x] = value(x, y);
    };
    const std::vector<Unwritable> cases = {
        {"a truecolour still",
         [](TPictureData& d) {
             d.Image.SetPixelFormat(TPixelFormat::pf24bit);
             d.Image.SetSize(4, 4);
         },
         "the picture is not a palette picture (24 bits a pixel)"},
        {"a truecolour frame",
         [&](TPictureData& d) {
             animationOf(d, 3);
             d.Animation->Frames[1].Picture.Image.SetPixelFormat(TPixelFormat::pf32bit);
         },
         "frame 2 is not a palette picture"},
        {"partial alpha",
         [&](TPictureData& d) {
             animationOf(d, 1);
             alphaPlane(d.Animation->Frames[0].Picture, [](int, int) { return 100; });
         },
         "GIF holds only fully transparent and opaque pixels"},
        {"one index, two alphas",
         [&](TPictureData& d) {
             animationOf(d, 1);
             alphaPlane(d.Animation->Frames[0].Picture, [](int x, int y) { return x == 1 && y == 0 ? 255 : 0; });
         },
         "frame 1 has pixels of palette index 1 that differ in transparency"},
        {"a later frame putting transparent pixels in place",
         [&](TPictureData& d) {
             animationOf(d, 2);
             for (TFrame& frame : d.Animation->Frames) {
                 frame.Blend = TFrameBlend::Source;
                 alphaPlane(frame.Picture, [](int x, int y) { return (x + y) % 4 == 3 ? 255 : 0; });
             }
         },
         "frame 2 replaces what lies under it, its transparent pixels included (blend source)"},
        {"a frame beyond the canvas",
         [&](TPictureData& d) {
             animationOf(d, 2);
             d.Animation->Frames[1].X = 3;
         },
         "frame 2's rectangle (3, 0, 8 x 8) does not lie within the 8 x 8 canvas"},
        {"a canvas too wide",
         [&](TPictureData& d) {
             animationOf(d, 1);
             d.Animation->Width = 70000;
         },
         "does not fit a GIF"},
        {"no frames",
         [&](TPictureData& d) {
             animationOf(d, 0);
         },
         "the animation has no frame"},
    };
    for (const Unwritable& c : cases) {
        SCOPED_TRACE(c.Name);
        TPictureData data;
        c.Make(data);
        TMemoryStream out;
        try {
            SaveGif(out, data);
            ADD_FAILURE() << "written";
        } catch (const EConvertError& e) {
            EXPECT_NE(std::string(e.what()).find(c.Says), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("GIF: ", 0), 0u) << e.what();
        }
        EXPECT_EQ(out.Size(), 0);
    }
}

// A stream that takes only so many bytes.
class FullStream : public TMemoryStream {
public:
    int64_t Write(const void* buffer, int64_t count) override
    {
        const int64_t room = std::max<int64_t>(0, 40 - Size());
        return TMemoryStream::Write(buffer, std::min(count, room));
    }
};

TEST(GifWrite, AFailingStreamFailsTheSave)
{
    const TPictureData data = Load(BuildGif(TwelveFrames()));
    FullStream out;
    EXPECT_THROW(SaveGif(out, data), EWriteError);
    EXPECT_EQ(out.Size(), 40);
}

// ---- hostile and damaged files ---------------------------------------------------------------

void Le16(Bytes& b, int v)
{
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

// A screen descriptor with a global table of 2^bits entries (0: none).
Bytes Header(int width, int height, int bits = 1)
{
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    Le16(b, width);
    Le16(b, height);
    b.push_back(static_cast<uint8_t>(bits ? 0x80 | 0x70 | (bits - 1) : 0x70));
    b.push_back(0);
    b.push_back(0);
    for (int i = 0; i < (bits ? (1 << bits) : 0); ++i) b.insert(b.end(), {uint8_t(i * 50), uint8_t(i * 20), 9});
    return b;
}

// A frame descriptor (no local table) followed by the given LZW data (code size, sub-blocks).
Bytes FrameBytes(int left, int top, int width, int height, const Bytes& data)
{
    Bytes b = {0x2C};
    Le16(b, left);
    Le16(b, top);
    Le16(b, width);
    Le16(b, height);
    b.push_back(0);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// Code size 2, one sub-block: clear, index 0, end (2x1 pixels would need one more index).
const Bytes OnePixel = {0x02, 0x02, 0x44, 0x01, 0x00};
// The two indices 0, 0 of a 2 x 1 frame: clear, 0, 0, end.
Bytes TwoPixels() { return BuildGif({2, 1, 1, 0, -1, {}, {Frame(0, 0, 2, 1, 0, 1, 0)}}); }

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Hostile {
    const char* Name;
    Bytes File;
    const char* Says;
    TAnimationLimits Limits = {};
};

TEST(GifRead, DamagedAndHostileFilesAreRefusedWithTheirCause)
{
    const Bytes good = BuildGif(TwelveFrames());
    const Bytes end = {0x3B};
    TAnimationLimits threeFrames;
    threeFrames.MaxFrames = 3;
    TAnimationLimits hundredPixels;
    hundredPixels.MaxTotalPixels = 100;
    TAnimationLimits smallFrames;
    smallFrames.MaxFramePixels = 400;
    TGifShape four;
    four.Width = 2;
    four.Height = 2;
    four.GlobalBits = 1;
    for (int i = 0; i < 4; ++i) four.Frames.push_back(Frame(0, 0, 2, 2, 0, 1, i));
    TGifShape twoSquares = four;
    twoSquares.Width = twoSquares.Height = 8;
    twoSquares.Frames = {Frame(0, 0, 8, 8, 0, 1, 1), Frame(0, 0, 8, 8, 0, 1, 2)};
    // A pixel data stream whose second code (7 with 3-bit codes) is not yet in the table.
    const Bytes badCode = {0x02, 0x01, 0x3C, 0x00};

    const std::vector<Hostile> cases = {
        {"empty", {}, "GIF: the header: the file ends early"},
        {"not a GIF", Bytes{'G', 'I', 'F', '8', '8', 'a', 1, 0, 1, 0, 0, 0, 0}, "GIF: the header: not a GIF file"},
        {"a PNG", Bytes{0x89, 'P', 'N', 'G', 13, 10, 26, 10}, "GIF: the header: not a GIF file"},
        {"cut in the signature", Bytes(good.begin(), good.begin() + 5), "GIF: the header: the file ends early"},
        {"cut in the screen descriptor", Bytes(good.begin(), good.begin() + 9),
         "GIF: the header: the file ends inside the logical screen descriptor or the global colour table"},
        {"cut in the global table", Bytes(good.begin(), good.begin() + 30),
         "GIF: the header: the file ends inside the logical screen descriptor or the global colour table"},
        {"cut in the pixel data", Bytes(good.begin(), good.end() - 40), "GIF: frame 12: "},
        {"cut before the trailer", Bytes(good.begin(), good.end() - 1), "GIF: the block after frame 12: the file ends early"},
        {"cut in a comment", Bytes(good.begin(), good.begin() + 90), "GIF: the extension block before the first frame: the file ends early"},
        {"no frame", Header(4, 4) + end, "GIF: the file holds no frame"},
        {"an unknown block", Header(4, 4) + Bytes{0x55} + end, "GIF: the block before the first frame: an unknown block"},
        {"a screen of nothing", Header(0, 5) + FrameBytes(0, 0, 1, 1, OnePixel) + end, "GIF: the logical screen is 0 x 5"},
        {"a huge screen", Header(65535, 65535) + FrameBytes(0, 0, 1, 1, OnePixel) + end,
         "GIF: the logical screen is 65535 x 65535 pixels, more than the 268435456 a picture may have"},
        {"an empty frame", Header(4, 4) + FrameBytes(0, 0, 0, 3, OnePixel) + end, "GIF: frame 1 is empty (0, 0, 0 x 3)"},
        {"a frame outside the screen", Header(4, 4) + FrameBytes(4, 0, 1, 1, OnePixel) + end,
         "GIF: frame 1's rectangle (4, 0, 1 x 1) lies outside the 4 x 4 screen"},
        {"a frame below the screen", Header(4, 4) + FrameBytes(0, 9, 1, 1, OnePixel) + end,
         "GIF: frame 1's rectangle (0, 9, 1 x 1) lies outside the 4 x 4 screen"},
        {"an LZW bomb", Header(16000, 16000) + FrameBytes(0, 0, 16000, 16000, OnePixel) + end,
         "GIF: frame 1 declares 16000 x 16000 pixels, more than the 5 bytes left in the file can hold"},
        {"a frame over the pixel limit", Header(100, 100) + FrameBytes(0, 0, 20000, 20000, OnePixel) + end,
         "GIF: frame 1 declares 20000 x 20000 pixels, more than the 268435456 a frame may have"},
        {"a screen over a lowered pixel limit", good, "GIF: the logical screen is 24 x 20 pixels, more than the 400 a picture may have", smallFrames},
        {"more frames than allowed", BuildGif(four), "GIF: the file holds more than 3 frames", threeFrames},
        {"more pixels than allowed", BuildGif(twoSquares),
         "GIF: the frames up to frame 2 hold 128 pixels, more than the 100 an animation may have", hundredPixels},
        {"no colour table", Header(4, 4, 0) + FrameBytes(0, 0, 1, 1, OnePixel) + end,
         "GIF: frame 1 has no colour table (neither a local nor a global one)"},
        {"an index beyond the table", Header(4, 4, 1) + FrameBytes(0, 0, 1, 1, {0x02, 0x02, 0x5C, 0x01, 0x00}) + end,
         "GIF: frame 1 uses colour index 3 at (0, 0), beyond its table of 2 entries"},
        {"damaged pixel data", Header(4, 4) + FrameBytes(0, 0, 2, 1, badCode) + end, "GIF: frame 1: damaged pixel data"},
        {"cut before the LZW code size", Header(4, 4) + FrameBytes(0, 0, 1, 1, {}), "GIF: frame 1: the file ends early"},
        {"an LZW code size of 12 bits", Header(4, 4) + FrameBytes(0, 0, 1, 1, {0x0C, 0x02, 0x44, 0x01, 0x00}) + end,
         "GIF: frame 1: damaged pixel data (an LZW code size beyond 8 bits)"},
        {"cut in a frame's local table", Header(4, 4) + Bytes{0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x81, 1, 2, 3},
         "GIF: frame 1: the file ends early"},
        {"pixel data ending early", Header(4, 4) + FrameBytes(0, 0, 2, 1, OnePixel) + end,
         "GIF: frame 1: the pixel data ends before the frame is complete"},
        {"a short control block", Header(4, 4) + Bytes{0x21, 0xF9, 3, 0, 0, 0, 0} + FrameBytes(0, 0, 1, 1, OnePixel) + end,
         "GIF: the graphic control block before the first frame holds 3 bytes, not 4"},
        {"a control block cut short", Header(4, 4) + Bytes{0x21, 0xF9, 4, 0, 0}, "GIF: the extension block before the first frame: the file ends early"},
        {"an application block of a short identifier", Header(4, 4) + Bytes{0x21, 0xFF, 5, 'N', 'E', 'T', 'S', 'C', 0} + end,
         "GIF: the application block before the first frame has an identifier of 5 bytes, not 11"},
        {"a loop block cut short",
         Header(4, 4) + Bytes{0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 2, 1, 0, 0} + end,
         "GIF: the loop block before the first frame is cut short (2 bytes, 3 expected)"},
    };
    // The cases are built right: the files they damage read.
    EXPECT_NO_THROW(Load(good));
    EXPECT_NO_THROW(Load(TwoPixels()));
    EXPECT_NO_THROW(Load(Header(4, 4) + FrameBytes(0, 0, 1, 1, OnePixel) + end));
    EXPECT_NO_THROW(Load(BuildGif(four), TAnimationLimits{0, 0, 4}));
    EXPECT_NO_THROW(Load(BuildGif(twoSquares), TAnimationLimits{0, 128, 0}));
    for (const Hostile& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            Load(c.File, c.Limits);
            ADD_FAILURE() << "loaded";
        } catch (const EGifError& e) {
            EXPECT_NE(std::string(e.what()).find(c.Says), std::string::npos) << e.what();
        }
    }
}

// The outline of bytes cut short (a file's start, as a pipe gives it first) lists the frames whole
// in them and says more may come, where the load refuses the same bytes; only bytes that end
// before the screen is described are refused. A frame larger than the bytes left could hold is a
// frame they cut, for the outline.
TEST(GifRead, AnOutlineOfBytesCutShortListsTheFramesWholeInThem)
{
    const Bytes good = BuildGif(TwelveFrames());
    TMemoryStream whole(good);
    const TGifOutline all = ReadGifOutline(whole);
    EXPECT_FALSE(all.Cut);
    ASSERT_EQ(all.Frames.size(), 12u);
    // The screen descriptor and the global table it announces.
    const size_t screen = 13 + ((good[10] & 0x80) ? 3 * (size_t{1} << ((good[10] & 7) + 1)) : 0);
    size_t listed = 0;
    for (size_t length = screen; length < good.size(); ++length) {
        SCOPED_TRACE(length);
        const Bytes start(good.begin(), good.begin() + static_cast<long>(length));
        TMemoryStream cut(start);
        const TGifOutline outline = ReadGifOutline(cut);
        EXPECT_TRUE(outline.Cut);
        EXPECT_EQ(outline.Width, all.Width);
        EXPECT_EQ(outline.Height, all.Height);
        ASSERT_LE(outline.Frames.size(), all.Frames.size());
        EXPECT_GE(outline.Frames.size(), listed); // more bytes, never fewer frames
        listed = outline.Frames.size();
        for (size_t i = 0; i < outline.Frames.size(); ++i) {
            const TGifOutline::TFrameBox &a = outline.Frames[i], &b = all.Frames[i];
            EXPECT_TRUE(a.X == b.X && a.Y == b.Y && a.Width == b.Width && a.Height == b.Height && a.Delay == b.Delay) << i;
        }
        EXPECT_THROW(Load(start), EGifError);
    }
    EXPECT_EQ(listed, 12u); // only the trailer missing
    for (size_t length : {size_t{0}, size_t{5}, size_t{12}, screen - 1}) {
        TMemoryStream cut(Bytes(good.begin(), good.begin() + static_cast<long>(length)));
        EXPECT_THROW(ReadGifOutline(cut), EGifError) << length;
    }
    const Bytes bomb = Header(16000, 16000) + FrameBytes(0, 0, 16000, 16000, OnePixel);
    TMemoryStream bombStream(bomb);
    const TGifOutline bombOutline = ReadGifOutline(bombStream);
    EXPECT_TRUE(bombOutline.Cut);
    EXPECT_TRUE(bombOutline.Frames.empty());
    EXPECT_THROW(Load(bomb), EGifError);
}

TEST(GifRead, SignatureAndDeclaredScreenFromTheFirstBytes)
{
    const Bytes head = Header(300, 2, 1);
    EXPECT_TRUE(HasGifSignature(head.data(), head.size()));
    EXPECT_EQ(GifDeclaredSize(head.data(), head.size()), std::make_pair(int64_t{300}, int64_t{2}));
    Bytes old = head;
    old[4] = '7';
    EXPECT_TRUE(HasGifSignature(old.data(), old.size()));
    old[4] = '8';
    EXPECT_FALSE(HasGifSignature(old.data(), old.size()));
    EXPECT_EQ(GifDeclaredSize(old.data(), old.size()), std::make_pair(int64_t{0}, int64_t{0}));
    EXPECT_FALSE(HasGifSignature(head.data(), 5));
    EXPECT_EQ(GifDeclaredSize(head.data(), 9), std::make_pair(int64_t{0}, int64_t{0}));
}

// A stream that fails while it is read.
class BrokenStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    int64_t Read(void* buffer, int64_t count) override
    {
        if (Position() > 100) throw EReadError(msg::ReadError, "the disk went away");
        return TMemoryStream::Read(buffer, count);
    }
};

TEST(GifRead, TheStreamsOwnFailureIsPassedOn)
{
    BrokenStream in(BuildGif(TwelveFrames()));
    TPictureData data;
    try {
        LoadGif(in, data);
        ADD_FAILURE() << "loaded";
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Detail(), "the disk went away");
    }
}

} // namespace
} // namespace tintabrel
