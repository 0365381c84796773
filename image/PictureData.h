// A picture as the program holds it between reading and writing, whatever its file format: the
// colour image, its transparency beside it, what a palette file's palette was, and, for an
// animation, its frames.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "image/Graphics.h"
#include "image/PictureInfo.h"

namespace tintabrel {

struct TAnimation;

// A picture: the colour image and, beside it, its transparency as an 8-bit picture of the same
// size whose byte v means alpha 255 - v (empty: fully opaque).
struct TPictureData {
    TBitmap Image;
    TBitmap Alpha;
    // A palette file (PNG colour type 3, 1-, 4- or 8-bit BMP, a GIF frame) gives its bit depth
    // there (1, 2, 4 or 8; 0 for other files) and the alpha of each palette index (trailing
    // opaque entries left out), so that saving can keep the palette as it was.
    int32_t PaletteBits = 0;
    std::vector<uint8_t> IndexAlpha;
    // What its file said beside the pixels, for the files made of it.
    TPictureInfo Info;
    // An animation's frames (none for a still picture). Image and Alpha then hold what a still
    // format shows of it: the first frame on the full canvas.
    std::shared_ptr<TAnimation> Animation;

    TPictureData() = default;
    // Moving shares the other's pixel stores and takes its frames (bitmaps do not move).
    TPictureData(TPictureData&& other) { *this = std::move(other); }
    TPictureData& operator=(TPictureData&& other);

    bool HasAlpha() const { return !Alpha.Empty(); }
    bool Animated() const { return Animation != nullptr; }
    // Takes the other's picture, transparency, palette facts and frames (sharing their pixel
    // stores until one changes; the frames are copied so that changing them leaves the other's).
    void Assign(const TPictureData& other);
};

} // namespace tintabrel
