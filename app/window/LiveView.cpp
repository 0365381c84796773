#include "app/window/LiveView.h"

#include <cstring>

#include "app/PictureChange.h"
#include "app/PicturePipeline.h"

namespace tintabrel {

namespace {

// The picture itself when it is 24-bit, else a 24-bit copy in scratch.
const TBitmap& As24Bit(const TBitmap& image, TBitmap& scratch)
{
    if (image.PixelFormat() == TPixelFormat::pf24bit) return image;
    scratch.Assign(image);
    scratch.SetPixelFormat(TPixelFormat::pf24bit);
    return scratch;
}

bool SamePixel(const uint8_t* p, const uint8_t* q) { return p[0] == q[0] && p[1] == q[1] && p[2] == q[2]; }

} // namespace

void ComputeLive(const TPictureData& before, const TProtectedColors& protectedColors, const THueWindow& window,
                 bool wantAfter, bool wantMask, unsigned threads, TLiveResult& result)
{
    if (before.Image.Empty() || before.Image.Width() <= 0 || before.Image.Height() <= 0) return;
    // Exactly the check: the same pipeline and change with the same settings; beside it, for the
    // mask, what the change would make without the list (the pixels the list keeps).
    TPictureData checked, free;
    const bool keptToo = wantMask && !protectedColors.Empty();
    std::vector<TPipelineOutput> outputs(keptToo ? 2 : 1);
    outputs[0].Change = [&](TPictureData& p) { ApplyChangeInPlace(p, protectedColors, window, false, nullptr, threads); };
    outputs[0].Take = [&checked](TPictureData& p) { checked.Assign(p); };
    const TProtectedColors none;
    if (keptToo) {
        outputs[1].Change = [&](TPictureData& p) { ApplyChangeInPlace(p, none, window, true, nullptr, threads); };
        outputs[1].Take = [&free](TPictureData& p) { free.Assign(p); };
    }
    for (const TPipelineResult& r : RunPicturePipeline(before, outputs))
        if (r.Error) std::rethrow_exception(r.Error);
    if (wantMask) {
        TBitmap scratch[3];
        const TBitmap& original = As24Bit(before.Image, scratch[0]);
        const TBitmap& changed = As24Bit(checked.Image, scratch[1]);
        // What the list keeps: pixels the same change without the list would alter.
        const TBitmap* unprotected = keptToo ? &As24Bit(free.Image, scratch[2]) : nullptr;
        const int w = original.Width(), h = original.Height();
        QImage mask(w, h, QImage::Format_ARGB32);
        if (!mask.isNull()) {
            for (int y = 0; y < h; ++y) {
                auto* row = reinterpret_cast<QRgb*>(mask.scanLine(y));
                const uint8_t* was = original.ConstScanLine(y);
                const uint8_t* now = changed.ConstScanLine(y);
                const uint8_t* alone = unprotected ? unprotected->ConstScanLine(y) : nullptr;
                for (int x = 0; x < w; ++x, was += 3, now += 3) {
                    if (!SamePixel(was, now)) {
                        row[x] = MaskChanged;
                        ++result.Changed;
                    } else if (alone && !SamePixel(was, alone + 3 * x)) {
                        row[x] = MaskKept;
                        ++result.Kept;
                    } else {
                        row[x] = 0;
                    }
                }
            }
            result.Mask = mask;
        }
    }
    if (wantAfter) result.After.Assign(checked);
}

} // namespace tintabrel
