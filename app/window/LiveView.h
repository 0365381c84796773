// What the window shows before the check is pressed: the check's result for the current settings
// (the live preview) and the mask of the pixels it changes. Both come from the engine itself, so
// they stay exactly what the check does whatever options shape its rule.
#pragma once

#include <QImage>

#include "app/PictureChange.h"
#include "app/PictureFiles.h"
#include "recolour/HueReplace.h"

namespace tintabrel {

// The mask's marks, drawn over the before pane: pixels the check changes, pixels it would change
// but the protected list keeps; other pixels stay as they are.
inline constexpr QRgb MaskChanged = qRgba(255, 0, 255, 190);
inline constexpr QRgb MaskKept = qRgba(0, 230, 255, 190);

struct TLiveResult {
    TLiveResult() = default;
    TLiveResult(const TLiveResult&) = delete;
    TLiveResult& operator=(const TLiveResult&) = delete;
    TPictureData After; // the check's result (when asked for)
    QImage Mask;        // ARGB32, the picture's size (when asked for)
    size_t Frame = 0;   // an animation's frame the mask marks
    int64_t Changed = 0;
    int64_t Kept = 0;
};

// The check's result of before under these settings and/or the mask of what it changes, into
// result (which starts empty); kept to region as the check is. For an animation the check changes
// every frame; the mask marks what it changes in one frame (its own pixels, as the file holds
// them), placed where the frame's rectangle lies on the canvas.
void ComputeLive(const TPictureData& before, const TProtectedColors& protectedColors, const THueWindow& window,
                 bool wantAfter, bool wantMask, unsigned threads, TLiveResult& result,
                 const TChangeRegion& region = {}, size_t frame = 0);

} // namespace tintabrel
