// The PNG reader: signature, chunk loop, header and ancillary chunks, and the image data
// (inflate row by row, unfilter, Adam7, conversion into the bitmap and a separate alpha plane).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "png/VRQPNGTypes.h"
#include "png/VRQStream.h"

namespace tintabrel {

class TVRQPNGReadStream : public TVRQCustomGraphicReadStream {
public:
    TVRQPNGReadStream();
    ~TVRQPNGReadStream() override;

    // ---- inputs (set before ReadFromStream)
    std::string RowKey;                  // key text offered when the file asks for one (vpNG)
    TVRQPNGKeyRequestEvent OnKeyRequest; // may supply or change ActiveKey
    TVRQPNGDecodeRowEvent OnDecodeRow;   // sees every unfiltered raw row while ActiveKey is not empty
    bool HighColorOutput = false;        // 5-bit-per-channel RGB (sBIT 5-5-5 / 5-6-5) into a 16-bit bitmap
    TVRQPNGTime* TimeStore = nullptr;    // filled from tIME (zeroed at the start of a read)
    TVRQPNGChromaticity* ChromaStore = nullptr; // filled from cHRM
    TVRQPNGGifControl* GifStore = nullptr;      // filled from gIFg
    TBitmap* AlphaTarget = nullptr;      // where an alpha plane (byte = 255 - alpha) may be built
    bool CheckSignature = true;

    // ---- results (Comment, Width, Height, BitDepth, PhysUnit/X/Y are inherited)
    bool HasAlpha = false;        // alpha channel, or per-index alpha that filled the alpha plane
    bool IsGray = false;          // colour type 0 or 4
    bool PaletteAlpha = false;    // the tRNS table needed an alpha plane
    int32_t Interlace = 0;        // 0 none, 1 Adam7
    int32_t ColorKind = -1;       // -1 before IHDR; 0 grey, 2 RGB, 3 indexed
    double Gamma = 0;             // 0 when absent
    uint32_t SignificantBits = 0; // sBIT red, green, blue, alpha from the low byte up
    TColor BackgroundColor = -1;  // -1, a colour, or $01000000 + index
    TColor TransparentColor = -1; // -1, a colour, or $01000000 + index
    std::string ActiveKey;        // key handed to OnDecodeRow
    std::array<uint8_t, 256> AlphaTable{}; // alpha of each palette index, 255 where tRNS gives none

    // The alpha plane in use for the last image (AlphaTarget once filled), or none.
    TBitmap* AlphaPlane() const { return alphaPlane_; }

protected:
    void ReadImage() override;
    void CreateBitmap() override;

private:
    struct Inflater;
    enum SeenFlag : uint32_t {
        HeaderSeen = 1,
        ImageDone = 2,
        EndSeen = 4,
        PaletteSeen = 8,
        PrivateSeen = 16,
    };
    enum class Conversion;

    void ChunkLoop();
    void ReadHeaderChunk();
    void ReadPaletteChunk();
    void ReadTransparencyChunk();
    void ReadBackgroundChunk();
    void ReadTextChunk();
    void ReadPrivateChunk();
    void ReadImageData();
    void ChooseFormat();
    void CheckSize() const;
    TColor ReadSampleColor(); // grey or RGB sample(s) of tRNS / bKGD as a colour
    int32_t FillInput();
    int32_t ReadRow();
    // Inflates into out until it is full, or the input at hand is used up with at least least
    // bytes made; the bytes made, or -1.
    int64_t Inflate(uint8_t* out, size_t size, size_t least);
    bool Unfilter();
    void ConvertRow(const uint8_t* raw, int32_t pixels);
    void StoreRow(int32_t y, int32_t pixels);
    void FillPaletteAlpha();
    void ReleaseImageState();
    bool Is(uint32_t flag) const { return (seen_ & flag) != 0; }

    // Wider than the 32-bit length it starts from, so that a length of 2^31 or more (read as a
    // negative number) can be lowered by what handlers consume without overflowing.
    int64_t chunkLeft_ = 0;
    uint32_t seen_ = 0;
    TBitmap* alphaPlane_ = nullptr;

    // Image decoding state, alive only while the image data is decoded.
    std::unique_ptr<Inflater> inflater_;
    std::unique_ptr<uint8_t[]> rowMemory_;
    uint8_t* currentRow_ = nullptr;
    uint8_t* previousRow_ = nullptr;
    uint8_t* convertedRow_ = nullptr;
    uint8_t* alphaRow_ = nullptr;
    const uint8_t* storeSource_ = nullptr; // converted row, or the raw row when no conversion is needed
    Conversion conversion_{};
    int32_t sourceBits_ = 0;
    int32_t rowBytes_ = 0;
    int32_t outRowBytes_ = 0;
    int32_t passWidth_ = 0;
    int32_t destStart_ = 0;
    int32_t destStep_ = 1;
    int32_t alphaStart_ = 0;
    int32_t alphaStep_ = 1;
    bool interlacedStore_ = false;
};

} // namespace tintabrel
