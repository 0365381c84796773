// An exact colour map beside the hue window it stands in for: on the large sprite of the
// recolouring benchmark and over the real sprites of the corpus, each as one pass over the
// pixels, plain and counted (a dry run).
#include "base/Colors.h"
#include "base/StringList.h"
#include "image/Graphics.h"
#include "image/PictureData.h"
#include "png/VRQPNG.h"
#include "recolour/ColourMap.h"
#include "recolour/HueReplace.h"
#include "recolour/PaletteRecolour.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

const THueWindow kWindow{240, 18, 120}; // reds become greens, as the recolouring benchmark

// The recolouring benchmark's sprite: 2048 x 2048, 300 colours in flat runs and blocks.
const TPictureData& Sprite()
{
    static const std::unique_ptr<TPictureData> sprite = [] {
        std::mt19937 random(1);
        std::vector<TColor> palette;
        for (int i = 0; i < 300; ++i) palette.push_back(static_cast<TColor>(random() & 0xFFFFFF));
        auto data = std::make_unique<TPictureData>();
        TBitmap& b = data->Image;
        b.SetPixelFormat(TPixelFormat::pf24bit);
        b.SetSize(2048, 2048);
        for (int y = 0; y < 2048; ++y) {
            uint8_t* row = b.ScanLine(y);
            const int run = 6 + (y / 40) % 11;
            for (int x = 0; x < 2048; ++x) {
                const TColor c = palette[static_cast<size_t>((x / run) * 31 + (y / 12) * 17) % palette.size()];
                row[3 * x] = BlueOf(c);
                row[3 * x + 1] = GreenOf(c);
                row[3 * x + 2] = RedOf(c);
            }
        }
        return data;
    }();
    return *sprite;
}

// The sprites of the corpus (TINTABREL_SPRITES, or the shared corpus folder), as the tool loads
// them: a palette file keeps its palette, and both changes recolour its entries.
const std::vector<std::unique_ptr<TPictureData>>& Corpus()
{
    static const std::vector<std::unique_ptr<TPictureData>> sprites = [] {
        std::vector<std::unique_ptr<TPictureData>> loaded;
        const char* folder = std::getenv("TINTABREL_SPRITES");
        const std::filesystem::path root = folder ? folder : "/work/shared/corpus/sprites";
        std::error_code error;
        std::vector<std::filesystem::path> paths;
        for (const auto& entry : std::filesystem::directory_iterator(root, error))
            if (entry.path().extension() == ".png") paths.push_back(entry.path());
        std::sort(paths.begin(), paths.end());
        for (const auto& path : paths) {
            try {
                TVRQPNG png;
                png.LoadFromFile(path.string());
                auto data = std::make_unique<TPictureData>();
                data->Image.Assign(png.ActiveBitmap());
                if (png.UseAlpha) data->Alpha.Assign(png.ActiveAlphaBitmap());
                // A palette file stays one, as loading for the tool keeps it.
                if (IsPalettePicture(data->Image) && !png.Grayscale) {
                    data->PaletteBits = png.BitsPerPixel;
                    data->IndexAlpha = png.IndexAlpha;
                }
                loaded.push_back(std::move(data));
            } catch (const std::exception&) {
                // A file the reader refuses is left out of the measure.
            }
        }
        return loaded;
    }();
    return sprites;
}

// A team swap: a third of the picture's colours (up to 64), each to its complement.
TColourMap TeamMap(const TPictureData& picture)
{
    std::vector<TColor> from, to;
    const std::vector<TPictureColour> colours = PictureColours(picture);
    for (size_t i = 0; i < colours.size() && from.size() < 64; i += 3) {
        if (std::find(from.begin(), from.end(), colours[i].Colour) != from.end()) continue; // a palette's repeat
        from.push_back(colours[i].Colour);
        to.push_back(colours[i].Colour ^ 0xFFFFFF);
    }
    return TColourMap(from, to);
}

void Measure(benchmark::State& state, int64_t pixels, size_t files)
{
    state.SetItemsProcessed(state.iterations() * pixels);
    state.counters["files"] = static_cast<double>(files);
}

int64_t PixelsOf(const TPictureData& picture) { return int64_t{picture.Image.Width()} * picture.Image.Height(); }

// Arg: 1 counts as a dry run does.
void BM_PaletteMapSprite(benchmark::State& state)
{
    const TPictureData& sprite = Sprite();
    const TColourMap map = TeamMap(sprite);
    const TProtectedColors none;
    TColourMapCounts counts;
    for (auto _ : state) {
        TPictureData after;
        MapColours(sprite, after, map, none, {}, state.range(0) ? &counts : nullptr);
        benchmark::DoNotOptimize(after.Image.Image()->Pixels());
    }
    Measure(state, PixelsOf(sprite), 1);
}

void BM_HueWindowSprite(benchmark::State& state)
{
    const TPictureData& sprite = Sprite();
    const TProtectedColors none;
    THueCounts counts;
    for (auto _ : state) {
        TBitmap after;
        ReplaceHue(sprite.Image, after, none, kWindow, state.range(0) ? &counts : nullptr);
        benchmark::DoNotOptimize(after.Image()->Pixels());
    }
    Measure(state, PixelsOf(sprite), 1);
}

void BM_PaletteMapCorpus(benchmark::State& state)
{
    std::vector<TColourMap> maps;
    int64_t pixels = 0;
    for (const auto& sprite : Corpus()) {
        maps.push_back(TeamMap(*sprite));
        pixels += PixelsOf(*sprite);
    }
    const TProtectedColors none;
    TColourMapCounts counts;
    for (auto _ : state)
        for (size_t i = 0; i < maps.size(); ++i) {
            TPictureData after;
            MapColours(*Corpus()[i], after, maps[i], none, {}, state.range(0) ? &counts : nullptr);
            benchmark::DoNotOptimize(after.Image.Image()->Pixels());
        }
    Measure(state, pixels, maps.size());
}

void BM_HueWindowCorpus(benchmark::State& state)
{
    int64_t pixels = 0;
    for (const auto& sprite : Corpus()) pixels += PixelsOf(*sprite);
    const TProtectedColors none;
    THueCounts counts;
    for (auto _ : state)
        for (const auto& sprite : Corpus()) {
            // As a change of the tool runs it: a dry run counts on the 24-bit result.
            TBitmap after;
            if (state.range(0))
                ReplaceHue(sprite->Image, after, none, kWindow, &counts);
            else
                RecolourPicture(sprite->Image, after, none, kWindow, sprite->PaletteBits != 0);
            benchmark::DoNotOptimize(after.Image()->Pixels());
        }
    Measure(state, pixels, Corpus().size());
}

BENCHMARK(BM_PaletteMapSprite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HueWindowSprite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaletteMapCorpus)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HueWindowCorpus)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tintabrel
