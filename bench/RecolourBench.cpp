// Hue replacement on a sprite-like and a photo-like picture, each beside a memcpy of its bytes,
// and with the hue window's options beside the plain check.
#include "image/Graphics.h"
#include "base/Colors.h"
#include "recolour/HueReplace.h"
#include "base/StringList.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace tintabrel {
namespace {

constexpr int kSpriteSide = 2048;
constexpr int kPhotoSide = 4096;
const THueWindow kWindow{240, 18, 120}; // reds become greens

// A few hundred colours in flat runs and blocks, as in tiles and character sprites.
std::vector<TColor> SpritePalette()
{
    std::mt19937 random(1);
    std::vector<TColor> palette;
    for (int i = 0; i < 300; ++i) palette.push_back(static_cast<TColor>(random() & 0xFFFFFF));
    return palette;
}

std::unique_ptr<TBitmap> MakeSprite(int side)
{
    auto b = std::make_unique<TBitmap>();
    b->SetPixelFormat(TPixelFormat::pf24bit);
    b->SetSize(side, side);
    const std::vector<TColor> palette = SpritePalette();
    for (int y = 0; y < side; ++y) {
        uint8_t* row = b->ScanLine(y);
        const int run = 6 + (y / 40) % 11;
        for (int x = 0; x < side; ++x) {
            const TColor c = palette[static_cast<size_t>((x / run) * 31 + (y / 12) * 17) % palette.size()];
            row[3 * x] = BlueOf(c);
            row[3 * x + 1] = GreenOf(c);
            row[3 * x + 2] = RedOf(c);
        }
    }
    return b;
}

const TBitmap& Sprite()
{
    static const std::unique_ptr<TBitmap> bmp = MakeSprite(kSpriteSide);
    return *bmp;
}



// Smooth gradients with noise: millions of distinct colours.
const TBitmap& Photo()
{
    static const std::unique_ptr<TBitmap> bmp = [] {
        auto b = std::make_unique<TBitmap>();
        b->SetPixelFormat(TPixelFormat::pf24bit);
        b->SetSize(kPhotoSide, kPhotoSide);
        std::mt19937 random(2);
        for (int y = 0; y < kPhotoSide; ++y) {
            uint8_t* row = b->ScanLine(y);
            for (int x = 0; x < kPhotoSide; ++x) {
                const uint32_t noise = random();
                row[3 * x] = static_cast<uint8_t>(x / 16 + (noise & 15));
                row[3 * x + 1] = static_cast<uint8_t>(y / 16 + (noise >> 4 & 15));
                row[3 * x + 2] = static_cast<uint8_t>((x + y) / 32 + (noise >> 8 & 31));
            }
        }
        return b;
    }();
    return *bmp;
}

// A corner of the photo, 32 pixels square, as a batch of small files recolours them one by one:
// what a run costs beyond its pixels (more than half of these lie in the window or its soft
// band).
const TBitmap& Small()
{
    static const std::unique_ptr<TBitmap> bmp = [] {
        auto b = std::make_unique<TBitmap>();
        b->SetPixelFormat(TPixelFormat::pf24bit);
        b->SetSize(32, 32);
        for (int y = 0; y < 32; ++y) std::memcpy(b->ScanLine(y), Photo().ConstScanLine(y), 32 * 3);
        return b;
    }();
    return *bmp;
}

// Fifty lines as a user writes them: colour strings of colours in the picture, some names,
// some lines that protect nothing.
TStringList List(int lines, const TBitmap& picture)
{
    TStringList list;
    const char* names[] = {"clRed", "clLime", "clblue", "clWhite", "clBlack"};
    for (int i = 0; i < lines; ++i) {
        if (i < 5) list.Add(names[i]);
        else if (i < 10) list.Add(i % 2 ? "" : "$000000FF");
        else list.Add(ColorToText(picture.Pixel((i * 997) % picture.Width(), (i * 331) % picture.Height())));
    }
    return list;
}

void Recolour(benchmark::State& state, const TBitmap& before, int lines)
{
    const TStringList list = List(lines, before);
    for (auto _ : state) {
        TBitmap after;
        ReplaceHue(before, after, list, kWindow);
        benchmark::DoNotOptimize(after.Image()->Pixels());
    }
    state.SetItemsProcessed(state.iterations() * int64_t{before.Width()} * before.Height());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(before.Image()->ImageBytes()));
}

// An alpha picture as the program keeps it (byte v: alpha 255 - v): a third of the pixels, in
// runs, fully transparent, as around sprites on a sheet.
const TBitmap& AlphaFor(const TBitmap& picture)
{
    static std::vector<std::pair<const TBitmap*, std::unique_ptr<TBitmap>>> made;
    for (const auto& [of, alpha] : made)
        if (of == &picture) return *alpha;
    auto alpha = std::make_unique<TBitmap>();
    alpha->SetPixelFormat(TPixelFormat::pf8bit);
    alpha->SetSize(picture.Width(), picture.Height());
    for (int y = 0; y < picture.Height(); ++y) {
        uint8_t* row = alpha->ScanLine(y);
        for (int x = 0; x < picture.Width(); ++x) row[x] = (x / 24 + y / 24) % 3 == 0 ? 255 : 0;
    }
    made.emplace_back(&picture, std::move(alpha));
    return *made.back().second;
}

// The window's options one at a time and all together (0: none, the plain check; 5: the first
// four; 7: all five).
THueWindow WindowWithOptions(int64_t options)
{
    THueWindow w = kWindow;
    const bool all = options == 5 || options == 7;
    w.Wrap = options == 1 || all;
    w.Soft = options == 2 || all ? 30 : 0;
    w.Shift = options == 3 || all;
    w.VisibleOnly = options == 4 || all;
    w.KeepLightness = options == 6 || options == 7;
    return w;
}

// Args: lines of the list, options as WindowWithOptions reads them.
void RecolourWithOptions(benchmark::State& state, const TBitmap& before)
{
    const TStringList list = List(static_cast<int>(state.range(0)), before);
    const THueWindow window = WindowWithOptions(state.range(1));
    const TBitmap& alpha = AlphaFor(before);
    for (auto _ : state) {
        TBitmap after;
        ReplaceHue(before, after, TProtectedColors(list), window, nullptr, 1, &alpha);
        benchmark::DoNotOptimize(after.Image()->Pixels());
    }
    state.SetItemsProcessed(state.iterations() * int64_t{before.Width()} * before.Height());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(before.Image()->ImageBytes()));
}

void Memcpy(benchmark::State& state, const TBitmap& picture)
{
    const size_t bytes = picture.Image()->ImageBytes();
    for (auto _ : state) {
        // A fresh destination each time, as each run gets a fresh after picture.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes]);
        std::memcpy(copy.get(), picture.Image()->Pixels(), bytes);
        benchmark::DoNotOptimize(copy.get());
    }
    state.SetItemsProcessed(state.iterations() * int64_t{picture.Width()} * picture.Height());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

void BM_RecolourSpriteMemcpy(benchmark::State& state) { Memcpy(state, Sprite()); }
void BM_RecolourSprite(benchmark::State& state) { Recolour(state, Sprite(), static_cast<int>(state.range(0))); }
void BM_RecolourPhotoMemcpy(benchmark::State& state) { Memcpy(state, Photo()); }
void BM_RecolourPhoto(benchmark::State& state) { Recolour(state, Photo(), static_cast<int>(state.range(0))); }

void BM_RecolourSpriteOptions(benchmark::State& state) { RecolourWithOptions(state, Sprite()); }
void BM_RecolourPhotoOptions(benchmark::State& state) { RecolourWithOptions(state, Photo()); }
void BM_RecolourSmallOptions(benchmark::State& state) { RecolourWithOptions(state, Small()); }

BENCHMARK(BM_RecolourSpriteMemcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecolourSprite)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecolourPhotoMemcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecolourPhoto)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond);
// Wrap (1), soft edge of 30 (2), shift (3), visible pixels only (4), those four (5), keep
// lightness (6), all five (7), beside none (0).
BENCHMARK(BM_RecolourSpriteOptions)->ArgsProduct({{50}, {0, 1, 2, 3, 4, 5, 6, 7}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecolourPhotoOptions)->ArgsProduct({{50}, {0, 1, 2, 3, 4, 5, 6, 7}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecolourSmallOptions)->ArgsProduct({{50}, {0, 1, 2, 3, 4, 5, 6, 7}})->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace tintabrel
