// The PNG writer: header and ancillary chunks from a bitmap and its settings, then the image
// rows converted, filtered, deflated and cut into IDAT chunks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/RowGate.h"
#include "png/ParallelDeflate.h"
#include "png/VRQPNGTypes.h"
#include "png/VRQStream.h"
#include "png/VRQZLIB.h"

namespace tintabrel {

class TVRQPNGWriteStream : public TVRQCustomGraphicWriteStream {
public:
    static constexpr int32_t MinIDATSize = 256;
    static constexpr int32_t MaxIDATSize = 100000;

    TVRQPNGWriteStream();
    ~TVRQPNGWriteStream() override;

    // ---- settings (kept between writes)
    int32_t CompressionLevel = -1;     // 0..9; anything else: zlib's default
    int32_t FilterMode = 1;            // 0 adaptive, 1 None, 2 Sub, 3 Up, 4 Average, 5 Paeth, above 5 None
    int32_t Interlace = 0;             // 0 rows in order, 1 Adam7
    bool Grayscale = false;            // write a grey image whatever the source
    // What the file says beside its rows: the fields below that name its values are its, and
    // its kept chunks (colour profile, rendering intent, texts) are written as they stand.
    TPngInfo Info;
    TColor& BackgroundColor = Info.BackgroundColor;   // bKGD: -1 none, $01000000 + index, or a colour
    TColor& TransparentColor = Info.TransparentColor; // tRNS: as BackgroundColor
    std::vector<uint8_t> IndexAlpha;   // tRNS of a palette image: alpha per index (wins over TransparentColor)
    std::string& Comment = Info.Comment; // tEXt "Comment", bytes as held
    double& Gamma = Info.Gamma;          // gAMA
    int32_t& PhysUnit = Info.PhysUnit;   // 0 aspect only, 1 per metre, 2 per inch (written per metre)
    int32_t& PhysX = Info.PhysX;
    int32_t& PhysY = Info.PhysY;
    uint32_t& SignificantBits = Info.SignificantBits; // sBIT red, green, blue, alpha from the low byte up; 0 none
    bool UseCurrentTime = true;        // tIME from the clock; otherwise from TimeStamp
    const TVRQPNGTime* TimeStamp = nullptr;
    std::function<TVRQPNGTime()> Clock; // the clock of UseCurrentTime; empty: CurrentUTCTime
    bool Strip = false;                // only IHDR, PLTE, tRNS, IDAT and IEND
    const TVRQPNGChromaticity* Chromaticity = nullptr;
    const TVRQPNGGifControl* GifControl = nullptr;
    const TBitmap* AlphaBitmap = nullptr; // 8-bit, byte = 255 - alpha; used when it fits the image
    std::string RowKey;
    TVRQPNGEncodeRowEvent OnEncodeRow; // sees every raw row before filtering while RowKey is set
    TParallelDeflateSettings Parallel; // deflate on several threads for large pictures
    // The image data of a picture of up to 64 MiB of filtered rows compressed at once by libdeflate
    // instead of by zlib's stream, in segments or not (see TDeflateContext::WholeImage); rows still
    // arriving are held until the last. Off by default: the picture class and the window write
    // with zlib.
    bool WholeImageDeflate = false;
    // Set while another thread is still storing the rows of the bitmap and its alpha: each row is
    // read once the gate has opened it; a gate that ends unfinished fails the write.
    const TRowGate* SourceRows = nullptr;

    int32_t IDATSize() const { return idatSize_; }
    // 256..100000; anything else raises EVRQPNG and keeps the old size.
    void SetIDATSize(int32_t size);

    // ---- working values of the last WriteImage
    int32_t SourceBits = 0;
    int32_t OutputBits = 0;
    const TBitmap* EffectiveAlpha = nullptr;
    bool GrayOutput = false;
    bool AlphaOutput = false;
    int32_t PixelBits = 0;
    int32_t RowBytes = 0;
    std::array<uint8_t, 256> GrayMap{};

    // Takes the time and Strip of settings (a fixed time is kept in the writer).
    void TakeChunkSettings(const TPngChunkSettings& settings);

    // Writes a whole PNG file (not interlaced) of a raster whose rows are already filtered and
    // compressed into zlibData, with the same chunks as WriteImage around them.
    void WriteRasterFile(TStream& target, const TPngRaster& raster, const std::vector<uint8_t>& zlibData);

    // One chunk: length, type (4 letters as a big-endian number), data, CRC over type and data.
    void WriteChunk(uint32_t type, const void* data, uint32_t length);
    // Grey level of a colour for a bit depth: 0/1 for 1, 0..15 for 4, 0..255 otherwise.
    static int32_t GrayLevelOf(TColor color, int32_t depth);
    // Rows handed to deflate for an image of height h (Adam7 passes counted by height alone).
    static int32_t RowsToWrite(int32_t interlace, int32_t height);

protected:
    void WriteImage() override;
    void WriteImageData();
    // Waits for SourceRows (when set) to open rows [0, rows); a gate that ended unfinished raises.
    void AwaitRows(int32_t rows) const;
    // Fills the current row from one bitmap row (and the alpha row) for the current pass.
    void ExtractRow(const uint8_t* scanline, const uint8_t* alphaLine);
    void BuildGrayMap();
    void AllocRowBuffers();
    void FreeRowBuffers();

private:
    // The chunks between IHDR and PLTE, none when stripped.
    void WriteLeadingChunks();
    void WriteHeaderChunk();
    void WriteTimeChunk();
    void WriteTextChunk(const std::string& keyword, const std::string& text);
    void WritePrivateChunk();
    void WriteGifChunk();
    void WriteGammaChunk();
    void WriteChromaChunk();
    void WriteSignificantBitsChunk();
    void WritePaletteChunk();
    void WriteBackgroundChunk();
    void WriteRasterBackground(const TPngRaster& raster);
    void WriteTransparencyChunk();
    void WritePhysChunk();
    // The kept chunks of Info: the colour space ones (before the palette) or the texts from
    // before or after the image data.
    void WriteKeptChunks(bool colourSpace, bool afterImage);
    // Palette index named by a colour setting or nearest to it; -1 when none fits the palette.
    int32_t IndexOfSetting(TColor color) const;
    // Grey level of a colour setting for a grey image.
    int32_t GrayOfSetting(TColor color) const;
    // The steps of ExtractRow, by the layout of the rows as stored.
    void ExtractPackedRow(const uint8_t* scanline);
    void ExtractByteRow(const uint8_t* scanline, const uint8_t* alphaLine);
    void ExtractHighColourRow(const uint8_t* scanline, const uint8_t* alphaLine);
    void ExtractTrueColourRow(const uint8_t* scanline, const uint8_t* alphaLine);
    int FlushIDAT(TDeflateContext& context);
    bool Interlaced() const { return (Interlace & 0xFF) == 1; }

    int32_t idatSize_ = 32768;
    TVRQPNGTime fixedTime_;
    TDeflateContext deflate_;
    std::unique_ptr<uint8_t[]> rowBlock_;

    // The picture whose rows are written: the bitmap itself, or a 24-bit copy of a layout
    // the row conversion does not read directly.
    const TBitmap* source_ = nullptr;
    std::unique_ptr<TBitmap> converted_;
    int32_t layoutBits_ = 0;   // bits per pixel of the rows as stored
    int32_t paletteCount_ = 0; // PLTE entries written (indices at or above it are invalid)
    std::array<uint8_t, 256> nibbleMap_{};

    // Geometry of the current pass.
    int32_t passWidth_ = 0;
    int32_t firstColumn_ = 0;
    int32_t columnStep_ = 1;
};

} // namespace tintabrel
