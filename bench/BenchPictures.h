// The two large pictures the PNG benchmarks share: a sprite sheet with alpha and a
// photo-like picture, as raw RGB or RGBA rows, top row first, and their encoding by libpng.
#pragma once

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <stdexcept>
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

inline void WriteToVector(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

inline void NoFlush(png_structp) {}

// The picture encoded by libpng at level 6: filter None, or libpng's own filter choice.
inline Bytes EncodeWithLibpng(const TRawImage& img, bool filterNone)
{
    Bytes out;
    out.reserve(img.pixels.size() / 2);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows(static_cast<size_t>(img.height));
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("libpng could not encode the benchmark picture");
    }
    png_set_write_fn(png, &out, WriteToVector, NoFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(img.width), static_cast<png_uint_32>(img.height), 8,
                 img.channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 6);
    if (filterNone) png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_write_info(png, info);
    for (int y = 0; y < img.height; ++y)
        rows[static_cast<size_t>(y)] = const_cast<png_bytep>(&img.pixels[static_cast<size_t>(y) * img.width * img.channels]);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

} // namespace tintabrel::bench
