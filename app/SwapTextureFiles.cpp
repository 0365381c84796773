#include "app/SwapTextureFiles.h"

#include "app/PictureFormats.h"
#include "app/SafeFile.h"
#include "base/Streams.h"
#include "png/Apng.h"
#include "png/PngOptimize.h"

#include <stdexcept>

namespace tintabrel {

namespace {

// Rows [top, top + height) of the index as a grey PNG file.
void WriteIndexRows(TStream& stream, const TSwapTexture& texture, const TPNGSaveOptions& options, int32_t top,
                    int32_t height)
{
    TPngRaster raster;
    raster.Width = texture.Width;
    raster.Height = height;
    raster.ColourType = 0;
    raster.BitDepth = static_cast<uint8_t>(texture.IndexBits());
    const bool wide = raster.BitDepth == 16;
    const size_t first = static_cast<size_t>(top) * static_cast<size_t>(texture.Width);
    const size_t count = static_cast<size_t>(height) * static_cast<size_t>(texture.Width);
    raster.Rows.resize(count * (wide ? 2 : 1));
    for (size_t i = 0; i < count; ++i) {
        const uint16_t column = texture.Index[first + i];
        if (wide) {
            raster.Rows[2 * i] = static_cast<uint8_t>(column >> 8);
            raster.Rows[2 * i + 1] = static_cast<uint8_t>(column & 0xFF);
        } else {
            raster.Rows[i] = static_cast<uint8_t>(column);
        }
    }
    WritePngRaster(stream, raster,
                   ZlibCompress(FilterRaster(raster, options.Filter), options.CompressionLevel),
                   options);
}

} // namespace

void WriteSwapIndexPng(TStream& stream, const TSwapTexture& texture, const TPNGSaveOptions& options)
{
    WriteIndexRows(stream, texture, options, 0, texture.Height);
}

void WriteSwapIndexPng(TStream& stream, const TSwapTexture& texture, const TPNGSaveOptions& options,
                       const TSwapIndexFrames& frames)
{
    const size_t count = frames.Delays.size();
    if (count == 0 || texture.Height % static_cast<int64_t>(count) != 0)
        throw std::logic_error("WriteSwapIndexPng: the index does not hold the frames given");
    const int32_t height = static_cast<int32_t>(texture.Height / static_cast<int64_t>(count));
    std::vector<TApngWriteFrame> files(count);
    for (size_t i = 0; i < count; ++i) {
        TMemoryStream file;
        WriteIndexRows(file, texture, options, static_cast<int32_t>(i) * height, height);
        files[i].Png = std::move(file.Bytes());
        TApngFrameControl& c = files[i].Control;
        c.Width = static_cast<uint32_t>(texture.Width);
        c.Height = static_cast<uint32_t>(height);
        c.DelayNum = frames.Delays[i].first;
        c.DelayDen = frames.Delays[i].second;
        c.BlendOp = 0; // source: each frame replaces the whole canvas
    }
    WriteApng(stream, files, frames.Plays);
}

int64_t SaveSwapTexture(const std::string& lutPath, const std::string& indexPath, const TSwapTexture& texture,
                        const TPNGSaveOptions& options, bool replaceExisting)
{
    const int64_t lutBytes = SavePicture(lutPath, PngFormat(), texture.Lut, options, replaceExisting);
    TSafeFileWriter writer(indexPath, replaceExisting);
    WriteSwapIndexPng(writer.Stream(), texture, options);
    const int64_t indexBytes = writer.Stream().Position();
    writer.Commit(replaceExisting);
    return lutBytes + indexBytes;
}

} // namespace tintabrel
