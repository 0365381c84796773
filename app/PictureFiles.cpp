#include "app/PictureFiles.h"
#include "app/PictureFormats.h"
#include "base/TaskPool.h"

#include "base/Exceptions.h"
#include "png/PngOptimize.h"
#include "png/SFunc.h"
#include "recolour/PaletteRecolour.h"
#include "png/VRQPNG.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <cerrno>
#include <stdexcept>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tintabrel {

std::string ExtractExtension(const std::string& path)
{
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos) return {};
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && dot < slash) return {};
    return path.substr(dot);
}

TPictureKind KindOfExtension(const std::string& extension, bool exactCase)
{
    std::string ext = extension;
    if (!exactCase)
        for (char& c : ext) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    for (const TPictureFormat& format : PictureFormats())
        if (ext == format.Extension) return format.Kind;
    return TPictureKind::Unknown;
}

void ReadWholeInput(TStream& source, TMemoryStream& memory)
{
    // 16-bit RGBA stored without compression is the largest a picture's data gets; the rest
    // leaves room for the chunks or headers around it.
    const int64_t limit = MaxPicturePixels() * 8 + (int64_t{16} << 20);
    if (!memory.LoadFromStream(source, limit))
        throw EReadError("more than " + std::to_string(limit) + " bytes, more than any picture of at most " +
                         std::to_string(MaxPicturePixels()) + " pixels needs");
}

void LoadPicture(const std::string& path, TPictureKind kind, TPictureData& data, TVRQPNGFileFacts* pngFacts,
                 const TLoadOptions& options)
{
    TFileStream file(path, TFileMode::fmOpenRead);
    if (file.CanSeek()) {
        LoadPicture(file, kind, data, pngFacts, options);
        return;
    }
    TMemoryStream memory;
    ReadWholeInput(file, memory);
    LoadPicture(memory, kind, data, pngFacts, options);
}

void LoadPicture(TStream& stream, TPictureKind kind, TPictureData& data, TVRQPNGFileFacts* pngFacts,
                 const TLoadOptions& options)
{
    FormatOf(kind).Load(stream, data, pngFacts, options);
}

namespace {

void TakeEncoding(TVRQPNG& png, const TPNGSaveOptions& options)
{
    png.FilterMode = static_cast<uint8_t>(options.FilterMode);
    png.CompressionLevel = options.CompressionLevel;
    png.Interlace = options.Interlace;
    png.Threads = static_cast<int32_t>(options.Threads);
    png.UseCurrentTime = options.Time == TPngTimeSource::Now;
    png.Clock = options.Clock;
    png.TimeStamp = options.Time == TPngTimeSource::Fixed ? options.FixedTime : TVRQPNGTime{};
    png.Strip = options.Strip;
    if (options.Progress) png.OnProgress = PercentRelay(options.Progress);
}

} // namespace

TProgressEvent PercentRelay(const std::function<void(double)>& progress)
{
    return [progress](const TGraphic&, TProgressStage, uint8_t percent, bool, const TRect&, const std::string&) {
        progress(percent / 100.0);
    };
}

void WritePicturePng(TStream& stream, const TPictureData& data, const TPNGSaveOptions& options)
{
    const TBitmap& image = data.Image;
    const TBitmap& alpha = data.Alpha;
    const bool withAlpha = AlphaPlaneFits(image, alpha);
    const TBitmap none;
    if (options.Rows && (image.PixelFormat() != TPixelFormat::pf24bit || options.Optimize))
        throw std::invalid_argument("WritePicturePng: rows still arriving need a 24-bit picture, not optimised");
    if (options.Optimize && image.Width() > 0 && image.Height() > 0) {
        TPngOptimizeOptions optimize;
        optimize.Threads = options.Threads;
        optimize.KeepPalette = data.PaletteBits != 0;
        optimize.TrueColour = options.TrueColourOnly;
        optimize.IndexAlpha = data.IndexAlpha;
        optimize.SourceImageData = data.SourceImageData.get();
        // The clock is read once: both candidates carry the same time.
        TPNGSaveOptions stamped = options;
        if (stamped.Time == TPngTimeSource::Now) {
            stamped.FixedTime = stamped.Clock ? stamped.Clock() : CurrentUTCTime();
            stamped.Time = TPngTimeSource::Fixed;
        }
        optimize.Chunks = stamped;
        optimize.Progress = options.Progress;
        // The plain save competes, unless it would write a palette where only RGB or RGBA may go.
        if (!options.TrueColourOnly || !IsPalettePicture(image))
            optimize.PlainSave = [&](TStream& plainStream) {
                TPNGSaveOptions plain = stamped;
                plain.Optimize = false;
                plain.Progress = nullptr; // a round of the optimizer's own progress
                WritePicturePng(plainStream, data, plain);
            };
        WriteOptimizedPng(stream, image, withAlpha ? alpha : none, optimize);
        return;
    }

    std::optional<std::vector<uint8_t>> indexAlpha;
    if (IsPalettePicture(image)) {
        const std::optional<TPalette> palette = image.Palette();
        const int32_t count = palette ? palette->Count() : 0;
        indexAlpha = IndexAlphaOf(image, withAlpha ? alpha : none, data.IndexAlpha, count);
        // The writer has no 2-bit rows; a 2-bit file keeps its depth through the raster writer.
        TPngRaster raster;
        if (indexAlpha && data.PaletteBits == 2 && !options.Interlace &&
            KeptPaletteRaster(image, withAlpha ? alpha : none, data.IndexAlpha, 2, raster) && raster.BitDepth == 2) {
            WritePngRaster(stream, raster,
                           ZlibCompress(FilterRaster(raster, FilterRuleOfMode(options.FilterMode)), options.CompressionLevel),
                           options);
            return;
        }
    }

    TVRQPNG png;
    TakeEncoding(png, options);
    if (options.Rows) {
        // Read where they lie: a bitmap sharing their pixels would be copied away by the next row
        // the decoder stores.
        png.LinkedBitmap = const_cast<TBitmap*>(&image);
        if (withAlpha) png.LinkedAlphaBitmap = const_cast<TBitmap*>(&alpha);
        png.SourceRows = options.Rows;
    } else if (indexAlpha) {
        // Alpha per index: a palette with tRNS holds it exactly.
        png.Assign(image);
        png.IndexAlpha = std::move(*indexAlpha);
    } else if (withAlpha && IsPalettePicture(image)) {
        // Pixels of one index that differ in alpha: written as 24-bit, nothing is lost.
        TBitmap full;
        full.Assign(image);
        full.SetPixelFormat(TPixelFormat::pf24bit);
        png.Assign(full);
    } else {
        png.Assign(image);
    }
    if (withAlpha && !indexAlpha) {
        if (!options.Rows) png.AlphaBitmap->Assign(alpha);
        png.UseAlpha = true;
    }
    png.SaveToStream(stream);
    // Rows still arriving: the picture is whole only when its input was read to its end.
    if (options.Rows && !options.Rows->AwaitEnd()) throw EVRQPNG(pngmsg::WriteError);
}

int64_t SavePicture(const std::string& path, TPictureKind kind, const TPictureData& data, const TPNGSaveOptions& options,
                    bool replaceExisting)
{
    if (kind == TPictureKind::Unknown) throw std::invalid_argument("SavePicture: unknown picture kind");
    TSafeFileWriter writer(path, replaceExisting);
    SavePicture(writer.Stream(), kind, data, options);
    const int64_t bytes = writer.Stream().Position();
    writer.Commit(replaceExisting);
    return bytes;
}

void SavePicture(TStream& stream, TPictureKind kind, const TPictureData& data, const TPNGSaveOptions& options)
{
    FormatOf(kind).Save(stream, data, options);
}

void SavePicture(const std::string& path, TPictureKind kind, const TBitmap& image, const TBitmap& alpha,
                 const TPNGSaveOptions& options, bool replaceExisting)
{
    TPictureData data;
    data.Image.Assign(image);
    data.Alpha.Assign(alpha);
    SavePicture(path, kind, data, options, replaceExisting);
}

} // namespace tintabrel
