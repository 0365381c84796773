#include "app/window/LiveView.h"

#include <cstring>

#include "app/PictureChange.h"

namespace tintabrel {

namespace {

void As24Bit(const TBitmap& image, TBitmap& rgb)
{
    rgb.Assign(image); // shares the store when it is 24-bit already
    rgb.SetPixelFormat(TPixelFormat::pf24bit);
}

// Whether each pixel differs between two 24-bit pictures of one size, as one bit per pixel.
std::vector<bool> Differs(const TBitmap& a, const TBitmap& b)
{
    const int w = a.Width(), h = a.Height();
    std::vector<bool> differs(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
        const uint8_t* p = a.ConstScanLine(y);
        const uint8_t* q = b.ConstScanLine(y);
        if (std::memcmp(p, q, static_cast<size_t>(w) * 3) == 0) continue;
        for (int x = 0; x < w; ++x)
            if (std::memcmp(p + 3 * x, q + 3 * x, 3) != 0) differs[static_cast<size_t>(y) * w + x] = true;
    }
    return differs;
}

} // namespace

void ComputeLive(const TPictureData& before, const TProtectedColors& protectedColors, const THueWindow& window,
                 bool wantAfter, bool wantMask, unsigned threads, TLiveResult& result)
{
    if (before.Image.Empty() || before.Image.Width() <= 0 || before.Image.Height() <= 0) return;
    // Exactly the check: the same call with the same settings.
    TPictureData checked;
    ApplyChange(before, checked, protectedColors, window, false, nullptr, threads);
    if (wantMask) {
        TBitmap original, result24;
        As24Bit(before.Image, original);
        As24Bit(checked.Image, result24);
        const std::vector<bool> changed = Differs(original, result24);
        // What the list keeps: pixels the same change without the list would alter.
        std::vector<bool> unprotected;
        if (!protectedColors.Empty()) {
            TPictureData free;
            ApplyChange(before, free, TProtectedColors(), window, true, nullptr, threads);
            unprotected = Differs(original, free.Image);
        }
        const int w = original.Width(), h = original.Height();
        QImage mask(w, h, QImage::Format_ARGB32);
        if (!mask.isNull()) {
            for (int y = 0; y < h; ++y) {
                auto* row = reinterpret_cast<QRgb*>(mask.scanLine(y));
                for (int x = 0; x < w; ++x) {
                    const size_t k = static_cast<size_t>(y) * w + x;
                    if (changed[k]) {
                        row[x] = MaskChanged;
                        ++result.Changed;
                    } else if (!unprotected.empty() && unprotected[k]) {
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
