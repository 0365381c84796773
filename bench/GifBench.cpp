// GIF reading and writing of a 64-frame 128x128 walk cycle (a figure on a transparent screen,
// 32-colour global table, each later frame the rectangle around the figure with its own
// disposal), and the whole round of reading it, recolouring every frame through its palette
// and writing it; giflib's own reading of the file (DGifSlurp) as the floor.

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/Streams.h"
#include "gif/GifFile.h"
#include "image/Animation.h"
#include "image/PixelFormats.h"
#include "recolour/PaletteRecolour.h"

namespace {

using namespace tintabrel;

constexpr int Side = 128;
constexpr int Frames = 64;

// Index of the walk cycle's pixel (x, y) in frame f: 0 transparent, body colours 1..31.
uint8_t WalkPixel(int f, int x, int y)
{
    const double phase = f * 2 * M_PI / Frames;
    const int cx = 64 + static_cast<int>(6 * std::sin(phase)), top = 20 + static_cast<int>(3 * std::abs(std::sin(phase)));
    const int head = (x - cx) * (x - cx) + (y - top - 10) * (y - top - 10);
    if (head < 100) return static_cast<uint8_t>(1 + (x + y) % 4);
    if (y >= top + 20 && y < top + 60 && std::abs(x - cx) < 12) return static_cast<uint8_t>(5 + (y / 4 + f) % 8);
    for (int leg = -1; leg <= 1; leg += 2) {
        const double swing = leg * 18 * std::sin(phase);
        const int lx = cx + leg * 6 + static_cast<int>(swing * (y - top - 60) / 40.0);
        if (y >= top + 60 && y < top + 100 && std::abs(x - lx) < 5) return static_cast<uint8_t>(13 + (leg + 1) * 4 + y % 4);
    }
    return 0;
}

// The animation as the codec holds it: frame 0 the whole screen, later frames the figure's box.
std::shared_ptr<TAnimation> WalkCycle()
{
    auto animation = std::make_shared<TAnimation>();
    animation->Width = animation->Height = Side;
    animation->Plays = 0;
    TPalette palette;
    for (int i = 0; i < 32; ++i) palette.Add(static_cast<uint8_t>(i * 8), static_cast<uint8_t>(255 - i * 6), static_cast<uint8_t>(40 + i * 5));
    for (int f = 0; f < Frames; ++f) {
        TFrame frame;
        const int x0 = f == 0 ? 0 : 24, y0 = f == 0 ? 0 : 14, w = f == 0 ? Side : 80, h = f == 0 ? Side : 112;
        frame.X = x0;
        frame.Y = y0;
        frame.DelayNum = 6;
        frame.Dispose = f % 2 ? TFrameDispose::Background : TFrameDispose::None;
        TPictureData& picture = frame.Picture;
        picture.Image.SetPixelFormat(TPixelFormat::pf8bit);
        picture.Image.SetPalette(palette);
        picture.Image.SetSize(w, h);
        picture.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        picture.Alpha.SetSize(w, h);
        for (int y = 0; y < h; ++y) {
            uint8_t* row = picture.Image.ScanLine(y);
            uint8_t* alpha = picture.Alpha.ScanLine(y);
            for (int x = 0; x < w; ++x) {
                row[x] = WalkPixel(f, x0 + x, y0 + y);
                alpha[x] = row[x] == 0 ? 255 : 0;
            }
        }
        picture.PaletteBits = 5;
        picture.IndexAlpha = {0};
        animation->Frames.push_back(std::move(frame));
    }
    return animation;
}

const std::vector<uint8_t>& WalkCycleFile()
{
    static const std::vector<uint8_t> file = [] {
        TPictureData data;
        data.Animation = WalkCycle();
        TMemoryStream out;
        SaveGif(out, data);
        return out.Bytes();
    }();
    return file;
}

void BM_GifRead(benchmark::State& state)
{
    const std::vector<uint8_t>& file = WalkCycleFile();
    for (auto _ : state) {
        TMemoryStream in(file);
        TPictureData data;
        LoadGif(in, data);
        benchmark::DoNotOptimize(data.Animation->Frames.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
    state.counters["file_bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_GifRead)->Unit(benchmark::kMillisecond);

void BM_GifWrite(benchmark::State& state)
{
    TMemoryStream in(WalkCycleFile());
    TPictureData data;
    LoadGif(in, data);
    for (auto _ : state) {
        TMemoryStream out;
        SaveGif(out, data);
        benchmark::DoNotOptimize(out.Size());
    }
}
BENCHMARK(BM_GifWrite)->Unit(benchmark::kMillisecond);

// Read, every frame's palette recoloured (indices kept), written.
void BM_GifRecolourRound(benchmark::State& state)
{
    const std::vector<uint8_t>& file = WalkCycleFile();
    THueWindow window;
    window.Source = 200;
    window.Tolerance = 36;
    window.Target = 300;
    for (auto _ : state) {
        TMemoryStream in(file);
        TPictureData data;
        LoadGif(in, data);
        for (TFrame& frame : data.Animation->Frames) {
            TBitmap after;
            RecolourPicture(frame.Picture.Image, after, TProtectedColors(), window, true, 1, &frame.Picture.Alpha);
            frame.Picture.Image.Assign(after);
        }
        TMemoryStream out;
        SaveGif(out, data);
        benchmark::DoNotOptimize(out.Size());
    }
}
BENCHMARK(BM_GifRecolourRound)->Unit(benchmark::kMillisecond);

// giflib's own reading of the same file into its frames, nothing more.
void BM_GiflibSlurp(benchmark::State& state)
{
    const std::vector<uint8_t>& file = WalkCycleFile();
    struct Source {
        const std::vector<uint8_t>* Data;
        size_t Pos;
    };
    for (auto _ : state) {
        Source source{&file, 0};
        int error = 0;
        GifFileType* gif = DGifOpen(&source, [](GifFileType* g, GifByteType* buf, int n) {
            auto* s = static_cast<Source*>(g->UserData);
            const size_t count = std::min<size_t>(static_cast<size_t>(n), s->Data->size() - s->Pos);
            std::memcpy(buf, s->Data->data() + s->Pos, count);
            s->Pos += count;
            return static_cast<int>(count);
        }, &error);
        if (DGifSlurp(gif) != GIF_OK) state.SkipWithError("giflib could not read the file");
        benchmark::DoNotOptimize(gif->ImageCount);
        DGifCloseFile(gif, &error);
    }
}
BENCHMARK(BM_GiflibSlurp)->Unit(benchmark::kMillisecond);

} // namespace
