#include "app/ApngPicture.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <optional>
#include <string>
#include <vector>

#include "app/PictureFormats.h"
#include "image/PixelFormats.h"
#include "base/TaskPool.h"
#include "png/Apng.h"
#include "png/PngOptimize.h"
#include "png/VRQPNGTypes.h"
#include "recolour/PaletteRecolour.h"

namespace tintabrel {

namespace {

// A whole file's bytes: a memory stream's in place, any other stream read to its end.
struct TFileBytes {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    TMemoryStream Owned;
};

void ReadBytes(TStream& stream, const TAnimationLimits& limits, TFileBytes& out)
{
    if (auto* memory = dynamic_cast<TMemoryStream*>(&stream)) {
        const int64_t at = std::clamp<int64_t>(memory->Position(), 0, memory->Size());
        out.Data = memory->Memory() + at;
        out.Size = static_cast<size_t>(memory->Size() - at);
        return;
    }
    // No file of frames within the limits needs more than their samples stored uncompressed.
    const int64_t limit = std::max(limits.TotalPixels(), MaxPicturePixels()) * 8 + (int64_t{16} << 20);
    if (!out.Owned.LoadFromStream(stream, limit))
        throw EReadError("more than " + std::to_string(limit) + " bytes, more than any animation within the limits needs");
    out.Data = out.Owned.Memory();
    out.Size = static_cast<size_t>(out.Owned.Size());
}

// One PNG file decoded by the PNG format's own loading (not through the format table, which may
// lead back here), as a still file would be.
void DecodePng(std::vector<uint8_t> png, TPictureData& picture, const TLoadOptions& options, const std::string& what)
{
    TMemoryStream stream(std::move(png));
    try {
        LoadPng(stream, picture, options);
    } catch (const EVRQPNG& e) {
        // The reader's text stays the message; the detail says which picture failed.
        throw EVRQPNG(e.Message(), what + ": " + (e.Detail().empty() ? e.Message() : e.Detail()));
    }
}

// Whether a PNG file has acTL before its image data, found by reading the chunk headers before it
// only (the position is left as it was): a still file is then read by the PNG reader straight
// from its stream, as any still file is, without being held in memory first.
bool DeclaresAnimation(TStream& stream)
{
    const int64_t start = stream.Position();
    bool animated = false;
    uint8_t head[8];
    if (stream.Read(head, 8) == 8 && std::equal(head, head + 8, PngSignature))
        while (stream.Read(head, 8) == 8) {
            const uint32_t length = uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 | uint32_t{head[2]} << 8 | head[3];
            const uint32_t type = uint32_t{head[4]} << 24 | uint32_t{head[5]} << 16 | uint32_t{head[6]} << 8 | head[7];
            if (type == chunk::acTL) animated = true;
            if (animated || type == chunk::IDAT || type == chunk::IEND || length > 0x7FFFFFFF) break;
            stream.Seek(int64_t{length} + 4, TSeekOrigin::soCurrent);
        }
    stream.SetPosition(start);
    return animated;
}

TFrameDispose DisposeOfOp(uint8_t op)
{
    return op == 1 ? TFrameDispose::Background : op == 2 ? TFrameDispose::Previous : TFrameDispose::None;
}
uint8_t OpOfDispose(TFrameDispose d) { return d == TFrameDispose::Background ? 1 : d == TFrameDispose::Previous ? 2 : 0; }

// ---- saving

[[noreturn]] void CannotWrite(const std::string& cause) { throw EInvalidGraphic("cannot write the animated PNG: " + cause); }

std::vector<uint8_t> Trimmed(std::vector<uint8_t> alpha)
{
    alpha.resize(TransparencyLength(alpha.data(), alpha.size()));
    return alpha;
}

bool SamePalette(const TBitmap& a, const TBitmap& b)
{
    const std::optional<TPalette> pa = a.Palette(), pb = b.Palette();
    if (!pa || !pb || pa->Count() != pb->Count()) return false;
    for (int i = 0; i < pa->Count(); ++i)
        if ((*pa)[i].peRed != (*pb)[i].peRed || (*pa)[i].peGreen != (*pb)[i].peGreen || (*pa)[i].peBlue != (*pb)[i].peBlue) return false;
    return true;
}

// The per-index alpha all pictures share when every one is a palette picture of one palette
// whose pixels of an index agree in alpha; none otherwise.
std::optional<std::vector<uint8_t>> SharedPalette(const std::vector<const TPictureData*>& pictures)
{
    std::optional<std::vector<uint8_t>> shared;
    const TBitmap none;
    for (const TPictureData* p : pictures) {
        if (!IsPalettePicture(p->Image) || p->PaletteBits == 0 || p->PaletteBits != pictures[0]->PaletteBits ||
            !SamePalette(p->Image, pictures[0]->Image))
            return std::nullopt;
        const bool withAlpha = AlphaPlaneFits(p->Image, p->Alpha);
        const std::optional<std::vector<uint8_t>> alpha =
            IndexAlphaOf(p->Image, withAlpha ? p->Alpha : none, p->IndexAlpha, p->Image.Palette()->Count());
        if (!alpha) return std::nullopt;
        if (shared && Trimmed(*alpha) != *shared) return std::nullopt;
        shared = Trimmed(*alpha);
    }
    return shared;
}

// The first frame drawn on the cleared canvas as a palette picture of the palette all frames
// share: its indices in its rectangle, an index of alpha 0 around it. The default image then
// keeps the frames' palette (a GIF of one table stays a palette file, and becomes that GIF
// again). None when the frames share no palette or it has no fully transparent entry.
std::optional<TPictureData> PaletteDefault(const TAnimation& animation)
{
    std::vector<const TPictureData*> frames;
    for (const TFrame& f : animation.Frames) frames.push_back(&f.Picture);
    const std::optional<std::vector<uint8_t>> shared = SharedPalette(frames);
    if (!shared) return std::nullopt;
    const auto clear = std::find(shared->begin(), shared->end(), uint8_t{0});
    if (clear == shared->end()) return std::nullopt;
    const uint8_t clearIndex = static_cast<uint8_t>(clear - shared->begin());

    const TFrame& first = animation.Frames[0];
    const TPictureData& frame = first.Picture;
    const int bits = FactsOf(frame.Image.PixelFormat()).Bits;
    TPictureData out;
    out.Image.Clear();
    out.Image.SetPixelFormat(frame.Image.PixelFormat());
    out.Image.SetPalette(frame.Image.Palette());
    TBitmapImage& image = out.Image.MutableImage();
    // A store without pixels keeps its format's default table; with pixels about to exist the
    // frame's own goes with them.
    image.ColorTable = frame.Image.Image()->ColorTable;
    image.Header.biWidth = animation.Width;
    image.Header.biHeight = animation.Height;
    image.AllocatePixels();
    image.Header.biSizeImage = static_cast<uint32_t>(image.ImageBytes());
    out.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    out.Alpha.SetSize(animation.Width, animation.Height);
    const bool frameAlpha = AlphaPlaneFits(frame.Image, frame.Alpha);
    const int32_t fw = frame.Image.Width(), fh = frame.Image.Height();
    for (int32_t y = 0; y < animation.Height; ++y) {
        uint8_t* row = image.Row(y);
        uint8_t* alpha = out.Alpha.ScanLine(y);
        const bool inside = y >= first.Y && y < first.Y + fh;
        for (int32_t x = 0; x < animation.Width; ++x) {
            if (inside && x >= first.X && x < first.X + fw) {
                PutPackedIndex(row, bits, x, GetPackedIndex(frame.Image.ConstScanLine(y - first.Y), bits, x - first.X));
                alpha[x] = frameAlpha ? frame.Alpha.ConstScanLine(y - first.Y)[x - first.X] : 0;
            } else {
                PutPackedIndex(row, bits, x, clearIndex);
                alpha[x] = 255;
            }
        }
    }
    out.PaletteBits = frame.PaletteBits;
    out.IndexAlpha = *shared;
    return out;
}

// The picture in the shared layout: the palette picture with the shared per-index alpha, or
// 24-bit colour with an alpha plane (all opaque when it had none) or without.
TPictureData InLayout(const TPictureData& p, const std::optional<std::vector<uint8_t>>& palette, bool alpha)
{
    TPictureData out;
    out.Image.Assign(p.Image);
    out.Info = p.Info;
    if (palette) {
        out.Alpha.Assign(p.Alpha);
        out.PaletteBits = p.PaletteBits;
        out.IndexAlpha = *palette;
        return out;
    }
    if (out.Image.PixelFormat() != TPixelFormat::pf24bit) out.Image.SetPixelFormat(TPixelFormat::pf24bit);
    if (!alpha) return out;
    if (AlphaPlaneFits(p.Image, p.Alpha)) {
        out.Alpha.Assign(p.Alpha);
    } else {
        out.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
        out.Alpha.SetSize(p.Image.Width(), p.Image.Height());
        for (int32_t y = 0; y < p.Image.Height(); ++y) std::fill_n(out.Alpha.ScanLine(y), p.Image.Width(), uint8_t{0});
    }
    return out;
}

// The picture as a raster of the shared layout: the palette kept (at the smallest depth that
// holds it; none when it cannot be kept), or RGB / RGBA.
std::optional<TPngRaster> RasterInLayout(const TPictureData& p, const std::optional<std::vector<uint8_t>>& palette,
                                         bool alpha)
{
    TPngRaster raster;
    if (palette) {
        const TBitmap none;
        if (!KeptPaletteRaster(p.Image, AlphaPlaneFits(p.Image, p.Alpha) ? p.Alpha : none, *palette, 0, raster))
            return std::nullopt;
        return raster;
    }
    const TPictureData full = InLayout(p, std::nullopt, alpha);
    raster.Width = full.Image.Width();
    raster.Height = full.Image.Height();
    raster.ColourType = alpha ? 6 : 2;
    raster.BitDepth = 8;
    const size_t channels = alpha ? 4 : 3;
    raster.Rows.resize(raster.RowBytes() * static_cast<size_t>(raster.Height));
    for (int32_t y = 0; y < raster.Height; ++y) {
        const uint8_t* bgr = full.Image.ConstScanLine(y);
        const uint8_t* a = alpha ? full.Alpha.ConstScanLine(y) : nullptr;
        uint8_t* out = &raster.Rows[static_cast<size_t>(y) * raster.RowBytes()];
        for (int32_t x = 0; x < raster.Width; ++x, out += channels) {
            out[0] = bgr[3 * x + 2];
            out[1] = bgr[3 * x + 1];
            out[2] = bgr[3 * x];
            if (a) out[3] = static_cast<uint8_t>(255 - a[x]);
        }
    }
    return raster;
}

// The smallest image data of the raster found as the optimizer searches: every row-filter rule
// ranked at a fast compression level, the best two compressed again at the strongest.
std::vector<uint8_t> SmallestData(const TPngRaster& raster)
{
    constexpr int TrialLevel = 4, FinalLevel = 12;
    struct TTrial {
        size_t Size;
        std::vector<uint8_t> Filtered;
    };
    std::vector<TTrial> trials;
    for (TPngFilter rule : {TPngFilter::None, TPngFilter::Sub, TPngFilter::Up, TPngFilter::Average,
                                TPngFilter::Paeth, TPngFilter::Adaptive, TPngFilter::MinimumSum,
                                TPngFilter::Entropy}) {
        std::vector<uint8_t> filtered = FilterRaster(raster, rule);
        const size_t size = LibdeflateCompress(filtered, TrialLevel).size();
        trials.push_back({size, std::move(filtered)});
    }
    std::stable_sort(trials.begin(), trials.end(), [](const TTrial& a, const TTrial& b) { return a.Size < b.Size; });
    std::vector<uint8_t> best;
    for (size_t k = 0; k < 2; ++k) {
        std::vector<uint8_t> data = LibdeflateCompress(trials[k].Filtered, FinalLevel);
        if (best.empty() || data.size() < best.size()) best = std::move(data);
    }
    return best;
}

// One palette for the colours (with alpha) of all pictures when they are at most 256: entries
// with transparency first, so that tRNS stays short, each group in the order the colours first
// appear. None when there are more.
struct TSharedColours {
    std::vector<uint32_t> Entries; // alpha << 24 | red << 16 | green << 8 | blue
    std::unordered_map<uint32_t, uint8_t> Index;
};

uint32_t Rgba32(const uint8_t* bgr, int alpha)
{
    return uint32_t(alpha) << 24 | uint32_t{bgr[2]} << 16 | uint32_t{bgr[1]} << 8 | bgr[0];
}

std::optional<TSharedColours> SharedColours(const std::vector<TPictureData>& pictures)
{
    std::vector<uint32_t> seen;
    std::unordered_set<uint32_t> known;
    for (const TPictureData& p : pictures) {
        const bool alpha = AlphaPlaneFits(p.Image, p.Alpha);
        for (int32_t y = 0; y < p.Image.Height(); ++y) {
            const uint8_t* c = p.Image.ConstScanLine(y);
            const uint8_t* a = alpha ? p.Alpha.ConstScanLine(y) : nullptr;
            uint32_t last = 0;
            for (int32_t x = 0; x < p.Image.Width(); ++x) {
                const uint32_t v = Rgba32(c + 3 * x, a ? 255 - a[x] : 255);
                if ((x > 0 && v == last) || !known.insert(v).second) {
                    last = v;
                    continue;
                }
                last = v;
                seen.push_back(v);
                if (seen.size() > 256) return std::nullopt;
            }
        }
    }
    TSharedColours shared;
    for (bool clear : {true, false})
        for (uint32_t v : seen)
            if (((v >> 24) != 255) == clear) {
                shared.Index.emplace(v, static_cast<uint8_t>(shared.Entries.size()));
                shared.Entries.push_back(v);
            }
    return shared;
}

// The picture (24-bit colour and alpha) as a raster in the shared palette, at the smallest depth
// that holds it.
TPngRaster SharedPaletteRaster(const TPictureData& p, const TSharedColours& colours)
{
    TPngRaster raster;
    raster.Width = p.Image.Width();
    raster.Height = p.Image.Height();
    raster.ColourType = 3;
    const size_t count = colours.Entries.size();
    raster.BitDepth = count <= 2 ? 1 : count <= 4 ? 2 : count <= 16 ? 4 : 8;
    std::vector<uint8_t> alpha;
    for (uint32_t v : colours.Entries) {
        raster.Palette.insert(raster.Palette.end(),
                              {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
        alpha.push_back(static_cast<uint8_t>(v >> 24));
    }
    alpha.resize(TransparencyLength(alpha.data(), alpha.size()));
    raster.Transparency = alpha;
    raster.Rows.assign(raster.RowBytes() * static_cast<size_t>(raster.Height), 0);
    const bool withAlpha = AlphaPlaneFits(p.Image, p.Alpha);
    const int perByte = 8 / raster.BitDepth;
    for (int32_t y = 0; y < raster.Height; ++y) {
        const uint8_t* c = p.Image.ConstScanLine(y);
        const uint8_t* a = withAlpha ? p.Alpha.ConstScanLine(y) : nullptr;
        uint8_t* out = &raster.Rows[static_cast<size_t>(y) * raster.RowBytes()];
        uint32_t last = 0;
        uint8_t index = 0;
        for (int32_t x = 0; x < raster.Width; ++x) {
            const uint32_t v = Rgba32(c + 3 * x, a ? 255 - a[x] : 255);
            if (x == 0 || v != last) index = colours.Index.at(v);
            last = v;
            const int shift = 8 - raster.BitDepth * (x % perByte + 1);
            out[x / perByte] = static_cast<uint8_t>(out[x / perByte] | index << shift);
        }
    }
    return raster;
}

std::vector<uint8_t> Encoded(const TPictureData& picture, const TPNGSaveOptions& options)
{
    TMemoryStream stream;
    WritePicturePng(stream, picture, options);
    return std::move(stream.Bytes());
}

// Runs encode(i) for every picture, over the threads the save may use (the frames then one thread
// each), telling progress as pictures are done. The bytes do not depend on the threads.
void EncodeAll(size_t count, const TPNGSaveOptions& options, const std::function<void(size_t, const TPNGSaveOptions&)>& encode)
{
    TPNGSaveOptions each = options;
    each.Progress = nullptr;
    const unsigned threads = std::max(1u, std::min<unsigned>(options.Threads, static_cast<unsigned>(count)));
    if (threads > 1) each.Threads = std::max(1u, options.Threads / threads);
    std::mutex lock;
    size_t done = 0;
    RunTasks(count, threads, [&](size_t i) {
        encode(i, each);
        if (options.Progress) {
            const std::lock_guard<std::mutex> hold(lock);
            options.Progress(static_cast<double>(++done) / static_cast<double>(count));
        }
    });
}

// Joins the frames' files (the hidden default image's first, when there is one) into the APNG.
void WriteFrames(TStream& stream, const TAnimation& animation, const TPictureData* hidden,
                 std::vector<std::vector<uint8_t>>& files)
{
    std::vector<TApngWriteFrame> frames(animation.Frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const TFrame& f = animation.Frames[i];
        TApngFrameControl& c = frames[i].Control;
        c.Width = static_cast<uint32_t>(f.Picture.Image.Width());
        c.Height = static_cast<uint32_t>(f.Picture.Image.Height());
        c.X = static_cast<uint32_t>(f.X);
        c.Y = static_cast<uint32_t>(f.Y);
        c.DelayNum = f.DelayNum;
        c.DelayDen = f.DelayDen;
        c.DisposeOp = OpOfDispose(f.Dispose);
        c.BlendOp = f.Blend == TFrameBlend::Source ? 0 : 1;
        frames[i].Png = std::move(files[i + (hidden ? 1 : 0)]);
    }
    WriteApng(stream, frames, animation.Plays, hidden ? &files[0] : nullptr);
}

} // namespace

void LoadApng(TStream& stream, TPictureData& data, const TLoadOptions& options, const TAnimationLimits& limits)
{
    auto* memory = dynamic_cast<TMemoryStream*>(&stream);
    auto* fileStream = dynamic_cast<TFileStream*>(&stream);
    if (!memory && !(fileStream && !fileStream->CanSeek()) && !DeclaresAnimation(stream)) {
        TPictureData still;
        LoadPng(stream, still, options);
        data = std::move(still);
        return;
    }
    TFileBytes file;
    ReadBytes(stream, limits, file);
    const TApngLayout layout = ReadApngLayout(file.Data, file.Size, limits);
    if (!layout.Animated) {
        TPictureData still;
        LoadPng(memory ? static_cast<TStream&>(*memory) : file.Owned, still, options);
        data = std::move(still);
        return;
    }
    if (memory) memory->Seek(0, TSeekOrigin::soEnd);

    auto animation = std::make_shared<TAnimation>();
    animation->Width = static_cast<int32_t>(layout.Width);
    animation->Height = static_cast<int32_t>(layout.Height);
    animation->Plays = layout.Plays;
    TLoadOptions each;
    each.Truncated = options.Truncated;
    each.Threads = options.Threads;
    const size_t count = layout.Frames.size() + (layout.DefaultIsFirstFrame ? 0 : 1);
    animation->Frames.resize(layout.Frames.size());
    for (size_t i = 0; i < layout.Frames.size(); ++i) {
        const TApngLayout::TFrame& from = layout.Frames[i];
        TFrame& frame = animation->Frames[i];
        DecodePng(ApngFramePng(file.Data, layout, i), frame.Picture, each, "frame " + std::to_string(i + 1));
        frame.X = static_cast<int32_t>(from.Control.X);
        frame.Y = static_cast<int32_t>(from.Control.Y);
        frame.DelayNum = from.Control.DelayNum;
        frame.DelayDen = from.Control.DelayDen;
        frame.Dispose = DisposeOfOp(from.Control.DisposeOp);
        frame.Blend = from.Control.BlendOp == 0 ? TFrameBlend::Source : TFrameBlend::Over;
        frame.Apng = TApngFrameFacts{from.Control.DisposeOp, from.Control.BlendOp};
        if (options.Progress) options.Progress(static_cast<double>(i + 1) / static_cast<double>(count));
    }
    TPictureData still;
    if (layout.DefaultIsFirstFrame) {
        still.Assign(animation->Frames[0].Picture);
    } else {
        animation->HiddenDefault.emplace();
        DecodePng(ApngFramePng(file.Data, layout, DefaultImage), *animation->HiddenDefault, each, "the default image");
        still.Assign(*animation->HiddenDefault);
        if (options.Progress) options.Progress(1.0);
    }
    still.Animation = std::move(animation);
    data = std::move(still);
}

void SaveApng(TStream& stream, const TPictureData& data, const TPNGSaveOptions& options)
{
    if (!data.Animation) {
        WritePicturePng(stream, data, options);
        return;
    }
    const TAnimation& animation = *data.Animation;
    const int64_t width = animation.Width, height = animation.Height;
    if (animation.Frames.empty()) CannotWrite("the animation has no frames");
    if (width <= 0 || height <= 0) CannotWrite("the canvas is empty");
    for (size_t i = 0; i < animation.Frames.size(); ++i) {
        const TFrame& f = animation.Frames[i];
        const int64_t fw = f.Picture.Image.Width(), fh = f.Picture.Image.Height();
        if (fw <= 0 || fh <= 0) CannotWrite("frame " + std::to_string(i + 1) + " is empty");
        if (f.X < 0 || f.Y < 0 || f.X + fw > width || f.Y + fh > height)
            CannotWrite("frame " + std::to_string(i + 1) + "'s rectangle of " + std::to_string(fw) + " x " + std::to_string(fh) +
                        " at " + std::to_string(f.X) + "," + std::to_string(f.Y) + " lies outside the " +
                        std::to_string(width) + " x " + std::to_string(height) + " canvas");
    }
    // The default image a plain reader shows: the first frame when it covers the canvas.
    std::optional<TPictureData> composed;
    const TPictureData* hidden = animation.HiddenDefault ? &*animation.HiddenDefault : nullptr;
    const TFrame& first = animation.Frames[0];
    if (!hidden && (first.X != 0 || first.Y != 0 || first.Picture.Image.Width() != width ||
                    first.Picture.Image.Height() != height)) {
        composed = PaletteDefault(animation);
        if (!composed) composed.emplace(ComposeFrame(animation, 0));
        composed->Info = data.Info; // it stands for the picture as a still format shows it
        hidden = &*composed;
    }
    if (hidden && (hidden->Image.Width() != width || hidden->Image.Height() != height))
        CannotWrite("the default image is not the size of the canvas");

    // The pictures in file order: the hidden default image first.
    std::vector<const TPictureData*> pictures;
    if (hidden) pictures.push_back(hidden);
    for (const TFrame& f : animation.Frames) pictures.push_back(&f.Picture);
    const std::optional<std::vector<uint8_t>> palette = SharedPalette(pictures);
    const bool alpha = std::any_of(pictures.begin(), pictures.end(),
                                   [](const TPictureData* p) { return AlphaPlaneFits(p->Image, p->Alpha); });

    std::vector<std::vector<uint8_t>> files(pictures.size());
    const auto sameLayout = [&] {
        return std::all_of(files.begin(), files.end(), [&](const std::vector<uint8_t>& f) { return SamePngLayout(f, files[0]); });
    };
    if (options.Optimize) {
        // The optimizer chooses a layout for each picture alone, which frames of one file cannot
        // have: the layout is chosen once for all (their palette; one palette for all their
        // colours when they have at most 256; RGB or RGBA), and each frame gets its smallest data
        // in it.
        bool clear = false;
        for (const TPictureData* p : pictures)
            for (int32_t y = 0; !clear && AlphaPlaneFits(p->Image, p->Alpha) && y < p->Image.Height(); ++y)
                clear = std::any_of(p->Alpha.ConstScanLine(y), p->Alpha.ConstScanLine(y) + p->Image.Width(),
                                    [](uint8_t a) { return a != 0; });
        std::vector<TPictureData> colour;
        // Each frame in one layout; false when a frame cannot be written in it, or the rasters of
        // the frames came out in different layouts (a palette picture's depth follows its indices).
        const auto encode = [&](const std::optional<std::vector<uint8_t>>& kept, const TSharedColours* colours) {
            // What the default image's file said goes with it (the other frames' chunks are not
            // written): less its significant bits, which a change may have made untrue, and a
            // background named by a palette entry when the palette is not kept.
            TPictureInfo info = pictures[0]->Info;
            info.SignificantBits = 0;
            if ((static_cast<uint32_t>(info.BackgroundColor) & 0xFF000000u) == 0x01000000u && !kept)
                info.BackgroundColor = -1;
            std::vector<char> failed(pictures.size(), 0);
            EncodeAll(pictures.size(), options, [&](size_t i, const TPNGSaveOptions&) {
                const std::optional<TPngRaster> raster =
                    colours ? SharedPaletteRaster(colour[i], *colours) : RasterInLayout(*pictures[i], kept, clear);
                if (!raster) {
                    failed[i] = 1;
                    return;
                }
                TPngChunkSettings chunks = options;
                chunks.Info = i == 0 ? &info : nullptr;
                TMemoryStream file;
                WritePngRaster(file, *raster, SmallestData(*raster), chunks);
                files[i] = std::move(file.Bytes());
            });
            return std::count(failed.begin(), failed.end(), 1) == 0 && sameLayout();
        };
        bool done = !options.TrueColourOnly && palette && encode(palette, nullptr);
        if (!done && !options.TrueColourOnly) {
            for (const TPictureData* p : pictures) colour.push_back(InLayout(*p, std::nullopt, true));
            const std::optional<TSharedColours> shared = SharedColours(colour);
            done = shared && encode(std::nullopt, &*shared);
        }
        if (!done) encode(std::nullopt, nullptr);
        TMemoryStream optimized, plain;
        WriteFrames(optimized, animation, hidden, files);
        // The plain save competes, unless it would write a palette where only RGB or RGBA may go.
        if (!options.TrueColourOnly || !palette) {
            TPNGSaveOptions plainOptions = options;
            plainOptions.Optimize = false;
            plainOptions.Progress = nullptr;
            SaveApng(plain, data, plainOptions);
        }
        const TMemoryStream& smaller = plain.Size() > 0 && plain.Size() < optimized.Size() ? plain : optimized;
        stream.WriteBuffer(smaller.Memory(), static_cast<int64_t>(smaller.Bytes().size()));
        return;
    }

    std::optional<std::vector<uint8_t>> shared = palette;
    EncodeAll(pictures.size(), options,
              [&](size_t i, const TPNGSaveOptions& o) { files[i] = Encoded(InLayout(*pictures[i], shared, alpha), o); });
    // The writer's own choices (a depth, a grey palette) could still differ: truecolour then.
    if (shared && !sameLayout()) {
        shared.reset();
        EncodeAll(pictures.size(), options,
                  [&](size_t i, const TPNGSaveOptions& o) { files[i] = Encoded(InLayout(*pictures[i], shared, alpha), o); });
    }
    if (!sameLayout()) CannotWrite("the frames could not be written in one pixel layout");
    WriteFrames(stream, animation, hidden, files);
}

} // namespace tintabrel
