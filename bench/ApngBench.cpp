// Animated PNG: reading and writing a 64-frame 128x128 walk cycle, and beside it the same 64
// frames as 64 separate PNG files (the floor: the frames' own decoding and encoding). The frames
// are a drawn figure whose legs and arms swing, or, when TINTABREL_FRAME_SHEET names a PNG sheet
// of at least 1024 x 1024 (a game's real sprites), its 8 x 8 cells of 128 x 128.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/ApngPicture.h"
#include "app/PictureFiles.h"
#include "app/PictureFormats.h"
#include "image/Animation.h"

namespace {

using namespace tintabrel;

constexpr int Cell = 128;
constexpr int Frames = 64;

// A figure of a few flat colours with an outline on a transparent ground; frame k swings its
// limbs by phase k / 64 of the cycle.
TPictureData DrawnFrame(int k)
{
    TPictureData p;
    p.Image.SetPixelFormat(TPixelFormat::pf24bit);
    p.Image.SetSize(Cell, Cell);
    p.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    p.Alpha.SetSize(Cell, Cell);
    const double phase = 2 * M_PI * k / Frames;
    const auto inBox = [](int x, int y, int x0, int y0, int x1, int y1) { return x >= x0 && x < x1 && y >= y0 && y < y1; };
    for (int y = 0; y < Cell; ++y) {
        uint8_t* c = p.Image.ScanLine(y);
        uint8_t* a = p.Alpha.ScanLine(y);
        for (int x = 0; x < Cell; ++x) {
            const int swing = static_cast<int>(std::lround(14 * std::sin(phase)));
            const int bob = static_cast<int>(std::lround(3 * std::cos(2 * phase)));
            uint8_t r = 0, g = 0, b = 0, alpha = 0;
            const int dx = x - 64, dy = y - (28 + bob);
            if (dx * dx + dy * dy < 14 * 14) r = 235, g = 190, b = 150, alpha = 255;              // head
            else if (inBox(x, y, 50, 44 + bob, 78, 84 + bob)) r = 40, g = 90, b = 200, alpha = 255; // body
            else if (inBox(x, y, 54 + swing, 84, 63 + swing, 122)) r = 60, g = 50, b = 40, alpha = 255;
            else if (inBox(x, y, 65 - swing, 84, 74 - swing, 122)) r = 70, g = 60, b = 50, alpha = 255;
            else if (inBox(x, y, 40 - swing / 2, 48 + bob, 49 - swing / 2, 80 + bob)) r = 235, g = 190, b = 150, alpha = 255;
            else if (inBox(x, y, 79 + swing / 2, 48 + bob, 88 + swing / 2, 80 + bob)) r = 235, g = 190, b = 150, alpha = 255;
            else if (inBox(x, y, 36, 123, 92, 126)) r = g = b = 0, alpha = 90; // shadow
            c[3 * x] = b, c[3 * x + 1] = g, c[3 * x + 2] = r;
            a[x] = static_cast<uint8_t>(255 - alpha);
        }
    }
    return p;
}

// The 64 frames: cells of the sheet named, or drawn.
std::vector<TPictureData> WalkFrames()
{
    std::vector<TPictureData> frames(Frames);
    const char* sheetPath = std::getenv("TINTABREL_FRAME_SHEET");
    if (!sheetPath || !*sheetPath) {
        for (int k = 0; k < Frames; ++k) frames[static_cast<size_t>(k)] = DrawnFrame(k);
        return frames;
    }
    TPictureData sheet;
    LoadPicture(sheetPath, PngFormat(), sheet);
    TBitmap image;
    image.Assign(sheet.Image);
    image.SetPixelFormat(TPixelFormat::pf24bit);
    const bool alpha = AlphaPlaneFits(sheet.Image, sheet.Alpha);
    for (int k = 0; k < Frames; ++k) {
        TPictureData& f = frames[static_cast<size_t>(k)];
        f.Image.SetPixelFormat(TPixelFormat::pf24bit);
        f.Image.SetSize(Cell, Cell);
        f.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        f.Alpha.SetSize(Cell, Cell);
        const int x0 = (k % 8) * Cell, y0 = (k / 8) * Cell;
        for (int y = 0; y < Cell; ++y) {
            const int sy = std::min(y0 + y, image.Height() - 1);
            for (int x = 0; x < Cell; ++x) {
                const int sx = std::min(x0 + x, image.Width() - 1);
                std::copy_n(image.ConstScanLine(sy) + 3 * sx, 3, f.Image.ScanLine(y) + 3 * x);
                f.Alpha.ScanLine(y)[x] = alpha ? sheet.Alpha.ConstScanLine(sy)[sx] : 0;
            }
        }
    }
    return frames;
}

const TPictureData& Walk()
{
    static const TPictureData walk = [] {
        std::vector<TPictureData> pictures = WalkFrames();
        auto animation = std::make_shared<TAnimation>();
        animation->Width = animation->Height = Cell;
        for (TPictureData& p : pictures) {
            TFrame f;
            f.Picture = std::move(p);
            f.DelayNum = 1;
            f.DelayDen = 12;
            animation->Frames.push_back(std::move(f));
        }
        TPictureData data;
        data.Image.Assign(animation->Frames[0].Picture.Image);
        data.Alpha.Assign(animation->Frames[0].Picture.Alpha);
        data.Animation = std::move(animation);
        return data;
    }();
    return walk;
}

TPNGSaveOptions Options(bool optimize)
{
    TPNGSaveOptions o;
    o.Time = TPngTimeSource::None;
    o.Filter = TPngFilter::Adaptive;
    o.Optimize = optimize;
    return o;
}

const std::vector<uint8_t>& WalkFile()
{
    static const std::vector<uint8_t> file = [] {
        TMemoryStream out;
        SaveApng(out, Walk(), Options(false));
        return out.Bytes();
    }();
    return file;
}

void BM_ApngRead(benchmark::State& state)
{
    const std::vector<uint8_t>& file = WalkFile();
    for (auto _ : state) {
        TMemoryStream in(file.data(), file.size());
        TPictureData data;
        LoadApng(in, data, {}, {});
        benchmark::DoNotOptimize(data.Animation->Frames.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
    state.counters["file_bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_ApngRead)->Unit(benchmark::kMillisecond);

void BM_ApngWrite(benchmark::State& state)
{
    const bool optimize = state.range(0) != 0;
    const TPNGSaveOptions options = Options(optimize);
    size_t bytes = 0;
    for (auto _ : state) {
        TMemoryStream out;
        SaveApng(out, Walk(), options);
        bytes = out.Bytes().size();
    }
    state.counters["file_bytes"] = static_cast<double>(bytes);
    state.SetLabel(optimize ? "optimize" : "adaptive filter");
}
BENCHMARK(BM_ApngWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The floor: the 64 frames as separate PNG files, read and written by the same PNG loading.
void BM_SeparateFramesRead(benchmark::State& state)
{
    std::vector<std::vector<uint8_t>> files;
    for (const TFrame& f : Walk().Animation->Frames) {
        TMemoryStream out;
        WritePicturePng(out, f.Picture, Options(false));
        files.push_back(out.Bytes());
    }
    for (auto _ : state)
        for (const std::vector<uint8_t>& file : files) {
            TMemoryStream in(file.data(), file.size());
            TPictureData data;
            LoadPicture(in, PngFormat(), data);
            benchmark::DoNotOptimize(data.Image.Width());
        }
}
BENCHMARK(BM_SeparateFramesRead)->Unit(benchmark::kMillisecond);

void BM_SeparateFramesWrite(benchmark::State& state)
{
    const bool optimize = state.range(0) != 0;
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (const TFrame& f : Walk().Animation->Frames) {
            TMemoryStream out;
            WritePicturePng(out, f.Picture, Options(optimize));
            bytes += out.Bytes().size();
        }
    }
    state.counters["file_bytes"] = static_cast<double>(bytes);
    state.SetLabel(optimize ? "optimize" : "adaptive filter");
}
BENCHMARK(BM_SeparateFramesWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
