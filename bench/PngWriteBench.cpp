// PNG encoding: this program's writer beside libpng on the pictures of the reading benchmark,
// a 2048x2048 RGBA sprite sheet and a 4096x4096 RGB photo-like picture, at deflate level 6,
// once with filter None on both sides and once with this writer's adaptive choice against
// libpng's default filter heuristics. The counter "bytes" is the size of the file written.
// BM_PngWrite_Threads writes the photo-like picture with deflate on 1 and 2 threads (wall time).

#include <benchmark/benchmark.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bench/BenchPictures.h"
#include "base/Streams.h"
#include "png/VRQPNGWriteStream.h"

namespace {

using namespace tintabrel;
using namespace tintabrel::bench;

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


// Writes the picture at level 6 as often as the benchmark asks; the counter "bytes" gets the size.
void WriteRepeatedly(benchmark::State& state, const THeld& held, bool none, int threads)
{
    size_t size = 0;
    for (auto _ : state) {
        TMemoryStream stream;
        stream.Bytes().reserve(held.raw.pixels.size() / 2);
        TVRQPNGWriteStream writer;
        writer.CompressionLevel = 6;
        writer.FilterMode = none ? 1 : 0;
        writer.Parallel.Threads = threads;
        if (held.hasAlpha) writer.AlphaBitmap = &held.alpha;
        writer.WriteToStream(held.image, stream);
        size = static_cast<size_t>(stream.Size());
        benchmark::DoNotOptimize(stream.Memory());
    }
    state.counters["bytes"] = static_cast<double>(size);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(held.raw.pixels.size()));
}

// range(0): picture; range(1): 1 filter None, 0 adaptive (libpng: its default heuristics).
void BM_PngWrite_Tintabrel(benchmark::State& state)
{
    const THeld& held = Picture(static_cast<int>(state.range(0)));
    const bool none = state.range(1) != 0;
    state.SetLabel(std::string(Names[state.range(0)]) + (none ? "_none" : "_adaptive"));
    WriteRepeatedly(state, held, none, 1);
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

// range(0): deflate threads.
void BM_PngWrite_Threads(benchmark::State& state)
{
    const int threads = static_cast<int>(state.range(0));
    state.SetLabel(std::string(Names[1]) + "_none_threads" + std::to_string(threads));
    WriteRepeatedly(state, Picture(1), true, threads);
}

// The photo at level 6, filter None: range(0) 0 as one stream (no segments), otherwise in
// segments on that many threads. The counter "bytes" shows what the segments cost in size.
void BM_PngWrite_Segments(benchmark::State& state)
{
    const THeld& held = Picture(1);
    const int threads = static_cast<int>(state.range(0));
    state.SetLabel(std::string(Names[1]) + (threads == 0 ? "_one_stream" : "_segments_threads" + std::to_string(threads)));
    size_t size = 0;
    for (auto _ : state) {
        TMemoryStream stream;
        stream.Bytes().reserve(held.raw.pixels.size() / 2);
        TVRQPNGWriteStream writer;
        writer.CompressionLevel = 6;
        writer.FilterMode = 1;
        writer.Parallel.Threads = std::max(1, threads);
        if (threads == 0) writer.Parallel.MinPixels = std::numeric_limits<int64_t>::max();
        writer.WriteToStream(held.image, stream);
        size = static_cast<size_t>(stream.Size());
        benchmark::DoNotOptimize(stream.Memory());
    }
    state.counters["bytes"] = static_cast<double>(size);
}

BENCHMARK(BM_PngWrite_Segments)->Arg(0)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngWrite_Threads)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngWrite_Tintabrel)->ArgsProduct({{0, 1}, {1, 0}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngWrite_Libpng)->ArgsProduct({{0, 1}, {1, 0}})->Unit(benchmark::kMillisecond);

} // namespace
