// Animated PNG reading: any bytes load or fail with a project exception, within small limits.
// What loads is written again and read back, and must come back the same: frames, rectangles,
// timing, ops and every pixel, written plainly or optimized.
#include "fuzz/FuzzCommon.h"
#include "app/ApngPicture.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "image/Animation.h"

#include <cstdlib>

namespace {

using namespace tintabrel;

int Alpha(const TPictureData& p, int32_t x, int32_t y)
{
    return AlphaPlaneFits(p.Image, p.Alpha) ? 255 - p.Alpha.ConstScanLine(y)[x] : 255;
}

bool SamePixels(const TPictureData& a, const TPictureData& b)
{
    if (a.Image.Width() != b.Image.Width() || a.Image.Height() != b.Image.Height()) return false;
    for (int32_t y = 0; y < a.Image.Height(); ++y)
        for (int32_t x = 0; x < a.Image.Width(); ++x)
            if (a.Image.Pixel(x, y) != b.Image.Pixel(x, y) || Alpha(a, x, y) != Alpha(b, x, y)) return false;
    return true;
}

void Check(bool ok)
{
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::LimitPictures();
    TAnimationLimits limits;
    limits.MaxFrames = 64;
    limits.MaxFramePixels = int64_t{1} << 20;
    limits.MaxTotalPixels = int64_t{1} << 21;
    TPictureData picture;
    try {
        TMemoryStream in(data, size);
        LoadApng(in, picture, {}, limits);
    } catch (const Exception&) {
        return 0;
    }
    if (!picture.Animation) return 0;
    TPNGSaveOptions options;
    options.Time = TPngTimeSource::None;
    options.Strip = true;
    // Small animations go through the optimized writing too.
    options.Optimize = picture.Animation->FramePixels() <= 4096 && size % 2 == 1;
    TMemoryStream out;
    SaveApng(out, picture, options);
    out.SetPosition(0);
    TPictureData again;
    LoadApng(out, again, {}, limits);
    Check(again.Animation != nullptr);
    const TAnimation& a = *picture.Animation;
    const TAnimation& b = *again.Animation;
    Check(a.Width == b.Width && a.Height == b.Height && a.Plays == b.Plays && a.Frames.size() == b.Frames.size());
    for (size_t i = 0; i < a.Frames.size(); ++i) {
        const TFrame& f = a.Frames[i];
        const TFrame& g = b.Frames[i];
        Check(f.X == g.X && f.Y == g.Y && f.DelayNum == g.DelayNum && f.DelayDen == g.DelayDen &&
              f.Dispose == g.Dispose && f.Blend == g.Blend && SamePixels(f.Picture, g.Picture));
    }
    Check(a.HiddenDefault.has_value() == b.HiddenDefault.has_value());
    Check(SamePixels(picture, again));
    return 0;
}
