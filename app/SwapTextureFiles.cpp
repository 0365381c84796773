#include "app/SwapTextureFiles.h"

#include "app/PictureFormats.h"
#include "app/SafeFile.h"
#include "png/PngOptimize.h"

namespace tintabrel {

void WriteSwapIndexPng(TStream& stream, const TSwapTexture& texture, const TPNGSaveOptions& options)
{
    TPngRaster raster;
    raster.Width = texture.Width;
    raster.Height = texture.Height;
    raster.ColourType = 0;
    raster.BitDepth = static_cast<uint8_t>(texture.IndexBits());
    const bool wide = raster.BitDepth == 16;
    raster.Rows.resize(texture.Index.size() * (wide ? 2 : 1));
    for (size_t i = 0; i < texture.Index.size(); ++i) {
        const uint16_t column = texture.Index[i];
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
