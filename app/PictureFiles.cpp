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
    for (const TPictureFormat* format : PictureFormats())
        for (const std::string& own : format->Extensions)
            if (ext == own) return format;
    return nullptr;
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

void LoadPicture(const std::string& path, TPictureKind kind, TPictureData& data, const TLoadOptions& options)
{
    TFileStream file(path, TFileMode::fmOpenRead);
    if (file.CanSeek()) {
        LoadPicture(file, kind, data, options);
        return;
    }
    TMemoryStream memory;
    ReadWholeInput(file, memory);
    LoadPicture(memory, kind, data, options);
}

void LoadPicture(TStream& stream, TPictureKind kind, TPictureData& data, const TLoadOptions& options)
{
    if (!kind) throw std::invalid_argument("LoadPicture: unknown picture kind");
    kind->Load(stream, data, options);
}

namespace {

void TakeEncoding(TVRQPNG& png, const TPNGSaveOptions& options)
{
    png.FilterMode = static_cast<uint8_t>(FilterModeOf(options.Filter));
    png.CompressionLevel = options.CompressionLevel;
    png.Interlace = options.Interlace;
    png.Threads = static_cast<int32_t>(options.Threads);
    png.WholeImageDeflate = options.WholeImageDeflate;
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

namespace {

// Whether every sample of the picture is what its top n bits make it, for each channel's n in
// bits, scaled as encoders scale (the top bits repeated below, or zeros): then sBIT still tells
// the truth about it. A conversion keeps it so; new colours (a change) rarely are.
bool SignificantBitsHold(const TPictureData& data, uint32_t bits)
{
    auto fits = [&](int channel, uint8_t value) {
        const uint32_t n = (bits >> (8 * channel)) & 0xFF;
        if (n == 0 || n >= 8) return true;
        const uint32_t top = value >> (8 - n);
        uint32_t repeated = 0;
        for (int shift = 8 - static_cast<int>(n); shift > -static_cast<int>(n); shift -= static_cast<int>(n))
            repeated |= shift >= 0 ? top << shift : top >> -shift;
        return value == (repeated & 0xFF) || value == ((top << (8 - n)) & 0xFF);
    };
    const TBitmap& image = data.Image;
    if (IsPalettePicture(image)) {
        TRGBQuad quads[256]{};
        const int32_t count = GetPaletteQuads(image.Palette(), quads);
        for (int32_t i = 0; i < count; ++i)
            if (!fits(0, quads[i].rgbRed) || !fits(1, quads[i].rgbGreen) || !fits(2, quads[i].rgbBlue)) return false;
        for (uint8_t a : data.IndexAlpha)
            if (!fits(3, a)) return false;
        return true;
    }
    TBitmap full;
    full.Assign(image);
    if (full.PixelFormat() != TPixelFormat::pf24bit) full.SetPixelFormat(TPixelFormat::pf24bit);
    const bool alpha = AlphaPlaneFits(image, data.Alpha);
    for (int32_t y = 0; y < full.Height(); ++y) {
        const uint8_t* row = full.ConstScanLine(y);
        const uint8_t* a = alpha ? data.Alpha.ConstScanLine(y) : nullptr;
        for (int32_t x = 0; x < full.Width(); ++x)
            if (!fits(2, row[3 * x]) || !fits(1, row[3 * x + 1]) || !fits(0, row[3 * x + 2]) ||
                (a && !fits(3, static_cast<uint8_t>(255 - a[x]))))
                return false;
    }
    return true;
}

// The info a write of the picture carries: its file's, less what is no longer true of it.
TPictureInfo InfoToWrite(const TPictureData& data, const TPNGSaveOptions& options)
{
    TPictureInfo info = data.Info;
    // Rows still arriving cannot be checked; such a picture is not sent this way with sBIT.
    if (info.SignificantBits != 0 && !options.Rows && !SignificantBitsHold(data, info.SignificantBits))
        info.SignificantBits = 0;
    // A background named by its palette entry needs the palette it was named in.
    if ((static_cast<uint32_t>(info.BackgroundColor) & 0xFF000000u) == 0x01000000u && !IsPalettePicture(data.Image))
        info.BackgroundColor = -1;
    return info;
}

} // namespace

void WritePicturePng(TStream& stream, const TPictureData& data, const TPNGSaveOptions& givenOptions)
{
    const TPictureInfo info = InfoToWrite(data, givenOptions);
    TPNGSaveOptions options = givenOptions;
    options.Info = &info;
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
                           ZlibCompress(FilterRaster(raster, options.Filter), options.CompressionLevel),
                           options);
            return;
        }
    }

    TVRQPNG png;
    TakeEncoding(png, options);
    TakePictureInfo(png.Info, options.Info);
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
    if (!kind || !kind->Save) throw std::invalid_argument("SavePicture: a picture kind that cannot be saved");
    TSafeFileWriter writer(path, replaceExisting);
    SavePicture(writer.Stream(), kind, data, options);
    const int64_t bytes = writer.Stream().Position();
    writer.Commit(replaceExisting);
    return bytes;
}

void SavePicture(TStream& stream, TPictureKind kind, const TPictureData& data, const TPNGSaveOptions& options)
{
    if (!kind || !kind->Save) throw std::invalid_argument("SavePicture: a picture kind that cannot be saved");
    kind->Save(stream, data, options);
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
