#include "app/window/LiveView.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "app/PictureChange.h"
#include "app/PicturePipeline.h"
#include "image/Animation.h"

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
                 bool wantAfter, bool wantMask, unsigned threads, TLiveResult& result, const TChangeRegion& region,
                 size_t frame)
{
    if (before.Image.Empty() || before.Image.Width() <= 0 || before.Image.Height() <= 0) return;
    // Exactly the check: the same pipeline and change with the same settings; beside it, for the
    // mask, what the change would make without the list (the pixels the list keeps).
    TPictureData checked, free;
    const bool keptToo = wantMask && !protectedColors.Empty();
    std::vector<TPipelineOutput> outputs(keptToo ? 2 : 1);
    outputs[0].Change = [&](TPictureData& p) {
        ApplyChangeInPlace(p, protectedColors, window, false, nullptr, threads, region);
    };
    outputs[0].Take = [&checked](TPictureData& p) { checked.Assign(p); };
    const TProtectedColors none;
    if (keptToo) {
        outputs[1].Change = [&](TPictureData& p) { ApplyChangeInPlace(p, none, window, true, nullptr, threads, region); };
        outputs[1].Take = [&free](TPictureData& p) { free.Assign(p); };
    }
    for (const TPipelineResult& r : RunPicturePipeline(before, outputs))
        if (r.Error) std::rethrow_exception(r.Error);
    if (wantMask) {
        // A still picture's own pixels; an animation's frame as the file holds it, at its place.
        const TFrame* shown = nullptr;
        if (before.Animation && !before.Animation->Frames.empty()) {
            frame = std::min(frame, before.Animation->Frames.size() - 1);
            shown = &before.Animation->Frames[frame];
            if (!checked.Animation || checked.Animation->Frames.size() != before.Animation->Frames.size() ||
                (keptToo && (!free.Animation || free.Animation->Frames.size() != before.Animation->Frames.size())))
                throw std::logic_error("ComputeLive: the change lost the animation's frames");
            result.Frame = frame;
        }
        const auto partOf = [&](const TPictureData& picture) -> const TPictureData& {
            return shown ? picture.Animation->Frames[frame].Picture : picture;
        };
        TBitmap scratch[3];
        const TBitmap& original = As24Bit(partOf(before).Image, scratch[0]);
        const TBitmap& changed = As24Bit(partOf(checked).Image, scratch[1]);
        // What the list keeps: pixels the same change without the list would alter.
        const TBitmap* unprotected = keptToo ? &As24Bit(partOf(free).Image, scratch[2]) : nullptr;
        const int w = before.Image.Width(), h = before.Image.Height();
        const int left = shown ? shown->X : 0, top = shown ? shown->Y : 0;
        QImage mask(w, h, QImage::Format_ARGB32);
        if (!mask.isNull()) {
            mask.fill(Qt::transparent);
            // The frame's pixels that lie on the canvas.
            const int fromY = std::max(0, -top), toY = std::min(original.Height(), h - top);
            const int fromX = std::max(0, -left), toX = std::min(original.Width(), w - left);
            for (int y = fromY; y < toY; ++y) {
                auto* row = reinterpret_cast<QRgb*>(mask.scanLine(top + y));
                const uint8_t* was = original.ConstScanLine(y);
                const uint8_t* now = changed.ConstScanLine(y);
                const uint8_t* alone = unprotected ? unprotected->ConstScanLine(y) : nullptr;
                for (int x = fromX; x < toX; ++x) {
                    if (!SamePixel(was + 3 * x, now + 3 * x)) {
                        row[left + x] = MaskChanged;
                        ++result.Changed;
                    } else if (alone && !SamePixel(was + 3 * x, alone + 3 * x)) {
                        row[left + x] = MaskKept;
                        ++result.Kept;
                    }
                }
            }
            result.Mask = mask;
        }
    }
    if (wantAfter) result.After.Assign(checked);
}

} // namespace tintabrel
