// --optimize on the 2048x2048 RGBA sprite sheet: its time, its size ("bytes") and the size of
// the plain save with default settings ("plain_bytes") that it competes with.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bench/BenchPictures.h"
#include "base/Streams.h"
#include "png/PngOptimize.h"
#include "png/VRQPNG.h"

namespace {

using namespace tintabrel;
using namespace tintabrel::bench;

struct TSheet {
    TBitmap Image;
    TBitmap Alpha;
};

const TSheet& Sheet()
{
    static const std::unique_ptr<TSheet> sheet = [] {
        const TRawImage raw = SpriteSheet();
        auto s = std::make_unique<TSheet>();
        s->Image.SetPixelFormat(TPixelFormat::pf24bit);
        s->Image.SetSize(raw.width, raw.height);
        s->Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        s->Alpha.SetSize(raw.width, raw.height);
        for (int y = 0; y < raw.height; ++y) {
            const uint8_t* src = &raw.pixels[static_cast<size_t>(y) * raw.width * 4];
            uint8_t* dst = s->Image.ScanLine(y);
            uint8_t* a = s->Alpha.ScanLine(y);
            for (int x = 0; x < raw.width; ++x, src += 4) {
                dst[3 * x] = src[2];
                dst[3 * x + 1] = src[1];
                dst[3 * x + 2] = src[0];
                a[x] = static_cast<uint8_t>(255 - src[3]);
            }
        }
        return s;
    }();
    return *sheet;
}

// The plain save as the picture writer makes it with its default settings.
void WritePlain(TStream& stream, const TSheet& sheet)
{
    TVRQPNG png;
    png.Assign(sheet.Image);
    png.AlphaBitmap->Assign(sheet.Alpha);
    png.UseAlpha = true;
    png.UseCurrentTime = false;
    png.SaveToStream(stream);
}

// range(0): threads.
void BM_PngOptimize_SpriteSheet(benchmark::State& state)
{
    const TSheet& sheet = Sheet();
    TMemoryStream plain;
    WritePlain(plain, sheet);
    TPngOptimizeOptions options;
    options.Threads = static_cast<unsigned>(state.range(0));
    options.Chunks.Time = TPngTimeSource::None;
    options.PlainSave = [&sheet](TStream& stream) { WritePlain(stream, sheet); };
    state.SetLabel("sprites2048_rgba_threads" + std::to_string(state.range(0)));
    size_t size = 0;
    for (auto _ : state) {
        TMemoryStream stream;
        WriteOptimizedPng(stream, sheet.Image, sheet.Alpha, options);
        size = stream.Bytes().size();
        benchmark::DoNotOptimize(stream.Memory());
    }
    state.counters["bytes"] = static_cast<double>(size);
    state.counters["plain_bytes"] = static_cast<double>(plain.Bytes().size());
}

BENCHMARK(BM_PngOptimize_SpriteSheet)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
