// Swap textures for shaders: a lookup picture whose row 0 holds every colour of a picture and
// whose row k holds what change k makes of each, and an index picture giving each pixel its
// column. A shader then draws variant k as lut[k][index(x, y)], exactly as the change's output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/PictureData.h"

namespace tintabrel {

struct TSwapTexture {
    // Row 0: the picture's distinct colours with their alpha; row k: what change k gives each.
    // 24 bits with an alpha plane (byte v meaning alpha 255 - v), always present.
    TPictureData Lut;
    // The column of each pixel, Width x Height, row by row from the top.
    int32_t Width = 0;
    int32_t Height = 0;
    std::vector<uint16_t> Index;

    int32_t Columns() const { return Lut.Image.Width(); }
    // The bits a grey index picture needs: 8 for at most 256 columns, otherwise 16.
    int32_t IndexBits() const { return Columns() > 256 ? 16 : 8; }
};

// The most columns an index picture can address (16-bit grey).
inline constexpr int32_t MaxSwapColumns = 65536;

// The swap texture of picture for the results of changes made to it (its variants, in order),
// each of which must be a function of a pixel's colour and alpha alone. Columns come in the
// order the colours are first met, row by row; in a palette picture (from a palette file) in the
// order of the lowest palette index that shows them, so that an index picture of a palette whose
// entries all differ and are all used is the picture's own indices.
// EColourMap when a result differs in size from the picture, when two pixels of one colour and
// alpha come out differently in one result (that change does not depend on the colour alone; the
// message names the change by names[k] when given, as "variant red", the pixels and the colours), or when the
// picture has more than MaxSwapColumns colours, or the lut would exceed the picture size limit.
TSwapTexture BuildSwapTexture(const TPictureData& picture, const std::vector<const TPictureData*>& results,
                              const std::vector<std::string>& names = {});

} // namespace tintabrel
