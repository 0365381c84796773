// GIF reading: any bytes load within the limits or fail with the reader's message; whatever
// loads composes, is written again and reads back to the same frames (indices, tables, timing).
#include "fuzz/FuzzCommon.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "gif/GifFile.h"
#include "image/Animation.h"

#include <cstdlib>

namespace {

using namespace tintabrel;

bool SameRows(const TBitmap& a, const TBitmap& b)
{
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat()) return false;
    const int bits = FactsOf(a.PixelFormat()).Bits;
    for (int32_t y = 0; y < a.Height(); ++y) {
        const uint8_t* ra = a.ConstScanLine(y);
        const uint8_t* rb = b.ConstScanLine(y);
        for (int32_t x = 0; x < a.Width(); ++x)
            if (GetPackedIndex(ra, bits, x) != GetPackedIndex(rb, bits, x)) return false;
    }
    return a.Image()->ColorTable == b.Image()->ColorTable;
}

void Require(bool condition)
{
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::LimitPictures();
    // Small enough that composing the canvas and decoding every frame stay quick under the
    // sanitizers; the limits themselves are what is tested.
    TAnimationLimits limits;
    limits.MaxFrames = 512;
    limits.MaxFramePixels = int64_t{1} << 20;
    limits.MaxTotalPixels = int64_t{1} << 22;
    TPictureData first;
    try {
        TMemoryStream in(data, size);
        LoadGif(in, first, limits);
    } catch (const EGifError&) {
        return 0;
    } catch (const EReadError&) {
        return 0;
    }
    // What the outline (info's description) says of a file that loads is what the load gives.
    {
        TMemoryStream in(data, size);
        const TGifOutline outline = ReadGifOutline(in, limits);
        const TAnimation& loaded = *first.Animation;
        Require(!outline.Cut && outline.Width == loaded.Width && outline.Height == loaded.Height &&
                outline.Plays == loaded.Plays && outline.Frames.size() == loaded.Frames.size());
        Require(outline.GlobalTableSize == static_cast<int32_t>(loaded.Gif->GlobalColours.size()));
        Require(outline.Comments == loaded.Gif->Comments);
        bool alpha = false;
        for (size_t i = 0; i < loaded.Frames.size(); ++i) {
            const TFrame& f = loaded.Frames[i];
            alpha = alpha || f.Picture.HasAlpha();
            Require(outline.Frames[i].Width == f.Picture.Image.Width() && outline.Frames[i].Height == f.Picture.Image.Height());
        }
        Require(outline.Alpha == alpha);
    }
    // The last frame as a viewer shows it: every disposal on the way, on partial rectangles.
    const TAnimation& read = *first.Animation;
    if (static_cast<int64_t>(read.Frames.size()) * read.Width * read.Height <= (int64_t{1} << 22))
        (void)ComposeFrame(read, read.Frames.size() - 1);
    // What was read is a GIF of palette frames: it must write, and read back the same.
    TMemoryStream out;
    SaveGif(out, first);
    out.SetPosition(0);
    TPictureData second;
    LoadGif(out, second, limits);
    const TAnimation& a = *first.Animation;
    const TAnimation& b = *second.Animation;
    Require(a.Width == b.Width && a.Height == b.Height && a.Plays == b.Plays && a.Frames.size() == b.Frames.size());
    Require(a.Gif->Comments == b.Gif->Comments && a.Gif->Loops == b.Gif->Loops);
    for (size_t i = 0; i < a.Frames.size(); ++i) {
        const TFrame& fa = a.Frames[i];
        const TFrame& fb = b.Frames[i];
        Require(fa.X == fb.X && fa.Y == fb.Y && fa.DelayNum == fb.DelayNum && fa.Dispose == fb.Dispose);
        Require(fa.Gif->Disposal == fb.Gif->Disposal && fa.Gif->Interlaced == fb.Gif->Interlaced &&
                fa.Gif->TransparentIndex == fb.Gif->TransparentIndex);
        Require(fa.Picture.PaletteBits == fb.Picture.PaletteBits && fa.Picture.IndexAlpha == fb.Picture.IndexAlpha);
        Require(SameRows(fa.Picture.Image, fb.Picture.Image));
    }
    return 0;
}
