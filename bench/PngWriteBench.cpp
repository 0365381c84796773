// PNG encoding: this program's writer beside libpng on the pictures of the reading benchmark,
// a 2048x2048 RGBA sprite sheet and a 4096x4096 RGB photo-like picture, at deflate level 6,
// once with filter None on both sides and once with this writer's adaptive choice against
// libpng's default filter heuristics. The counter "bytes" is the size of the file written.
#ifdef TINTABREL_HAVE_PNG

#include <benchmark/benchmark.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "image/Streams.h"
#include "png/VRQPNGWriteStream.h"

namespace {

using namespace tintabrel;
using Bytes = std::vector<uint8_t>;

struct TRawImage {
    int width = 0;
    int height = 0;
    int channels = 0;
    Bytes pixels; // RGB or RGBA rows, top first
};

// The same sprite sheet as the reading benchmark: sprites of 64x64 on a transparent sheet,
// flat bodies in a few colours, a soft edge ring, a band of graded alpha.
TRawImage SpriteSheet()
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

// The same photo-like picture: smooth gradients with a little noise.
TRawImage PhotoLike()
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

// The picture as this program holds it: a 24-bit bitmap, and for RGBA an 8-bit alpha bitmap
// whose bytes are 255 - alpha.
struct THeld {
    TRawImage raw;
    TBitmap image;
    TBitmap alpha;
    bool hasAlpha = false;
};

std::unique_ptr<THeld> Hold(TRawImage raw)
{
    auto held = std::make_unique<THeld>();
    held->raw = std::move(raw);
    const TRawImage& r = held->raw;
    held->hasAlpha = r.channels == 4;
    held->image.SetPixelFormat(TPixelFormat::pf24bit);
    held->image.SetSize(r.width, r.height);
    if (held->hasAlpha) {
        held->alpha.SetPixelFormat(TPixelFormat::pf8bit);
        held->alpha.SetSize(r.width, r.height);
    }
    for (int y = 0; y < r.height; ++y) {
        const uint8_t* src = &r.pixels[static_cast<size_t>(y) * r.width * r.channels];
        uint8_t* dst = held->image.ScanLine(y);
        uint8_t* a = held->hasAlpha ? held->alpha.ScanLine(y) : nullptr;
        for (int x = 0; x < r.width; ++x, src += r.channels) {
            dst[3 * x] = src[2];
            dst[3 * x + 1] = src[1];
            dst[3 * x + 2] = src[0];
            if (a) a[x] = static_cast<uint8_t>(255 - src[3]);
        }
    }
    return held;
}

const THeld& Picture(int which)
{
    static const std::unique_ptr<THeld> sprites = Hold(SpriteSheet());
    static const std::unique_ptr<THeld> photo = Hold(PhotoLike());
    return which == 0 ? *sprites : *photo;
}

const char* const Names[] = {"sprites2048_rgba", "photo4096_rgb"};

void WriteToVector(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void NoFlush(png_structp) {}

Bytes EncodeWithLibpng(const TRawImage& img, bool filterNone)
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

// range(0): picture; range(1): 1 filter None, 0 adaptive (libpng: its default heuristics).
void BM_PngWrite_Tintabrel(benchmark::State& state)
{
    const THeld& held = Picture(static_cast<int>(state.range(0)));
    const bool none = state.range(1) != 0;
    state.SetLabel(std::string(Names[state.range(0)]) + (none ? "_none" : "_adaptive"));
    size_t size = 0;
    for (auto _ : state) {
        TMemoryStream stream;
        stream.Bytes().reserve(held.raw.pixels.size() / 2);
        TVRQPNGWriteStream writer;
        writer.CompressionLevel = 6;
        writer.FilterMode = none ? 1 : 0;
        if (held.hasAlpha) writer.AlphaBitmap = &held.alpha;
        writer.WriteToStream(held.image, stream);
        size = static_cast<size_t>(stream.Size());
        benchmark::DoNotOptimize(stream.Memory());
    }
    state.counters["bytes"] = static_cast<double>(size);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(held.raw.pixels.size()));
}

void BM_PngWrite_Libpng(benchmark::State& state)
{
    const THeld& held = Picture(static_cast<int>(state.range(0)));
    const bool none = state.range(1) != 0;
    state.SetLabel(std::string(Names[state.range(0)]) + (none ? "_none" : "_default"));
    size_t size = 0;
    for (auto _ : state) {
        const Bytes file = EncodeWithLibpng(held.raw, none);
        size = file.size();
        benchmark::DoNotOptimize(file.data());
    }
    state.counters["bytes"] = static_cast<double>(size);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(held.raw.pixels.size()));
}

BENCHMARK(BM_PngWrite_Tintabrel)->ArgsProduct({{0, 1}, {1, 0}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngWrite_Libpng)->ArgsProduct({{0, 1}, {1, 0}})->Unit(benchmark::kMillisecond);

} // namespace

#endif
