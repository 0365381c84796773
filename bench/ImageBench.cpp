// Bitmap conversion and per-pixel HSV conversion, each beside a memcpy of the same bytes.
#include "image/Graphics.h"
#include "base/ColorConvert.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace tintabrel {
namespace {

constexpr int kSide = 2048;

void Make8Bit(TBitmap& bmp)
{
    bmp.SetPixelFormat(TPixelFormat::pf8bit);
    bmp.SetSize(kSide, kSide);
    for (int y = 0; y < kSide; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int x = 0; x < kSide; ++x) row[x] = static_cast<uint8_t>((x / 16 + y / 16) * 7);
    }
}

void BM_Convert8To24(benchmark::State& state)
{
    TBitmap source;
    Make8Bit(source);
    for (auto _ : state) {
        TBitmap bmp;
        bmp.Assign(source);
        bmp.SetPixelFormat(TPixelFormat::pf24bit);
        benchmark::DoNotOptimize(bmp.Image()->Pixels());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kSide} * kSide * 3);
}
BENCHMARK(BM_Convert8To24)->Unit(benchmark::kMillisecond);

// Packed indices widened to 24 bits (1 and 4 bits per pixel: one index per bit or nibble).
void BM_ConvertPackedTo24(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(0));
    TBitmap source;
    source.SetPixelFormat(bits == 1 ? TPixelFormat::pf1bit : TPixelFormat::pf4bit);
    source.SetSize(kSide, kSide);
    for (int y = 0; y < kSide; ++y) {
        uint8_t* row = source.ScanLine(y);
        for (int x = 0; x < source.RowStride(); ++x) row[x] = static_cast<uint8_t>((x / 2 + y / 16) * 37);
    }
    for (auto _ : state) {
        TBitmap bmp;
        bmp.Assign(source);
        bmp.SetPixelFormat(TPixelFormat::pf24bit);
        benchmark::DoNotOptimize(bmp.Image()->Pixels());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kSide} * kSide * 3);
}
BENCHMARK(BM_ConvertPackedTo24)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

// Colours written into a 4-bit picture: nearest-entry matching and packing of the indices.
void BM_Convert24To4(benchmark::State& state)
{
    TBitmap source;
    Make8Bit(source);
    source.SetPixelFormat(TPixelFormat::pf24bit);
    for (auto _ : state) {
        TBitmap bmp;
        bmp.Assign(source);
        bmp.SetPixelFormat(TPixelFormat::pf4bit);
        benchmark::DoNotOptimize(bmp.Image()->Pixels());
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kSide} * kSide);
}
BENCHMARK(BM_Convert24To4)->Unit(benchmark::kMillisecond);

void BM_Memcpy24BitPicture(benchmark::State& state)
{
    const size_t bytes = size_t{kSide} * kSide * 3;
    std::vector<uint8_t> a(bytes, 1);
    for (auto _ : state) {
        // A fresh destination each time, as a conversion gets a fresh store.
        std::unique_ptr<uint8_t[]> b(new uint8_t[bytes]);
        std::memcpy(b.get(), a.data(), bytes);
        benchmark::DoNotOptimize(b.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Memcpy24BitPicture)->Unit(benchmark::kMillisecond);

void BM_HSVRoundTripPerPixel(benchmark::State& state)
{
    std::vector<uint8_t> pixels(size_t{kSide} * kSide * 3);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    std::vector<uint8_t> out(pixels.size());
    for (auto _ : state) {
        for (size_t i = 0; i < pixels.size(); i += 3) {
            const THSV hsv = TColorConvert::RGBToHSV(pixels[i + 2], pixels[i + 1], pixels[i]);
            const TRGBBytes rgb = TColorConvert::HSVToRGB(120, hsv.S, hsv.V);
            out[i] = rgb.B;
            out[i + 1] = rgb.G;
            out[i + 2] = rgb.R;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kSide} * kSide);
}
BENCHMARK(BM_HSVRoundTripPerPixel)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tintabrel
