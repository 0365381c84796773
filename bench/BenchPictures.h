// The two large pictures the PNG benchmarks share: a sprite sheet with alpha and a
// photo-like picture, as raw RGB or RGBA rows, top row first.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tintabrel::bench {

using Bytes = std::vector<uint8_t>;

struct TRawImage {
    int width = 0;
    int height = 0;
    int channels = 0;
    Bytes pixels;
};

// Sprites of 64x64 on a transparent sheet: flat bodies in a few colours, a soft edge ring,
// and a band of graded alpha.
inline TRawImage SpriteSheet()
{
    TRawImage img{2048, 2048, 4, {}};
    img.pixels.resize(static_cast<size_t>(img.width) * img.height * 4);
    const uint8_t colours[6][3] = {{200, 40, 40}, {40, 160, 60}, {30, 60, 200}, {240, 220, 90}, {90, 60, 30}, {250, 250, 250}};
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            uint8_t* p = &img.pixels[(static_cast<size_t>(y) * img.width + x) * 4];
            const int cx = x % 64 - 32, cy = y % 64 - 32;
            const int d2 = cx * cx + cy * cy;
            const int tile = (x / 64 + 3 * (y / 64)) % 6;
            const uint8_t* c = colours[(tile + (cy > 8 ? 1 : 0) + (cx > 10 ? 2 : 0)) % 6];
            if (d2 < 24 * 24) {
                p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = 255;
            } else if (d2 < 28 * 28) {
                p[0] = 20, p[1] = 20, p[2] = 20, p[3] = static_cast<uint8_t>(255 - (d2 - 576) * 255 / 208);
            } else if (y % 64 > 56) {
                p[0] = c[0] / 2, p[1] = c[1] / 2, p[2] = c[2] / 2, p[3] = static_cast<uint8_t>(x % 64 * 4);
            } else {
                p[0] = p[1] = p[2] = p[3] = 0;
            }
        }
    return img;
}

// Smooth gradients with a little noise, like a photograph.
inline TRawImage PhotoLike()
{
    TRawImage img{4096, 4096, 3, {}};
    img.pixels.resize(static_cast<size_t>(img.width) * img.height * 3);
    uint32_t seed = 12345;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            uint8_t* p = &img.pixels[(static_cast<size_t>(y) * img.width + x) * 3];
            seed = seed * 1664525u + 1013904223u;
            const int noise = static_cast<int>((seed >> 24) & 7) - 4;
            const int base[3] = {x * 200 / img.width + 30, y * 180 / img.height + 40, (x + y) * 100 / (img.width + img.height) + 80};
            for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::clamp(base[c] + noise, 0, 255));
        }
    return img;
}

} // namespace tintabrel::bench
