// A picture's pixels as tests compare them: colour and alpha together, whatever the pixel format.
#pragma once

#include "image/Graphics.h"
#include "image/PictureData.h"

#include <cstdint>
#include <vector>

namespace tintabrel::test {

// The alpha a save writes for the pixel (255 where the picture has no alpha plane).
inline int AlphaAt(const TPictureData& p, int32_t x, int32_t y)
{
    return AlphaPlaneFits(p.Image, p.Alpha) ? 255 - p.Alpha.ConstScanLine(y)[x] : 255;
}

// Every pixel's colour and alpha, row by row.
inline std::vector<int64_t> Pixels(const TPictureData& p)
{
    std::vector<int64_t> out;
    for (int32_t y = 0; y < p.Image.Height(); ++y)
        for (int32_t x = 0; x < p.Image.Width(); ++x)
            out.push_back(int64_t{p.Image.Pixel(x, y)} | int64_t{AlphaAt(p, x, y)} << 24);
    return out;
}

// The same with the colour of fully transparent pixels left out (formats differ in what they keep there).
inline std::vector<int64_t> VisiblePixels(const TPictureData& p)
{
    std::vector<int64_t> out = Pixels(p);
    for (int64_t& v : out)
        if ((v >> 24) == 0) v = 0;
    return out;
}

} // namespace tintabrel::test
