// The PNG reader: signature, chunk loop, header and ancillary chunks, and the image data
// (inflate row by row, unfilter, Adam7, conversion into the bitmap and a separate alpha plane).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "image/RowSink.h"
#include "png/VRQPNGTypes.h"
#include "png/VRQStream.h"

namespace tintabrel {

// For tests and fuzzing: with small, image data of any size is inflated ahead on a second thread
// (when a read may use two), in blocks of a few bytes, so that small inputs reach that path.
void SetSmallThresholdsForTesting(bool small);

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
    bool StopAfterHeader = false;        // reading without a bitmap: stop once IHDR is read
    bool StopAtImageData = false;        // reading without a bitmap: stop at the image data (what precedes it is read)
    // Threads the image data may use: above 1, a large picture is inflated ahead on a second
    // thread while this one unfilters and stores rows. The result is the same either way.
    int32_t Threads = 1;
    // Told on the reading thread when the bitmap is sized for the image data and, for a picture
    // not interlaced, how many rows are stored after each row (none: nobody follows the rows).
    TRowSink* RowSink = nullptr;
    // Keeps the image data as the file holds it in ImageData, for a rewrite that may reuse it.
    bool KeepImageData = false;

    // ---- results (Width, Height, BitDepth are inherited)
    // What the file says beside its rows, complete once a read has ended (also for a read that
    // stops at the header or the image data). The fields below that name its values are its.
    TPngInfo Info;
    // Chunks the file holds that no handler interprets but a rewrite should carry: the colour
    // profile and rendering intent and the text chunks (Info.KeptChunks). Off: skipped.
    bool KeepChunks = false;
    std::string& Comment = Info.Comment;
    int32_t& PhysUnit = Info.PhysUnit;
    int32_t& PhysX = Info.PhysX;
    int32_t& PhysY = Info.PhysY;
    bool& PhysSeen = Info.PhysSeen; // a pHYs chunk was taken
    double& Gamma = Info.Gamma;     // 0 when absent
    uint32_t& SignificantBits = Info.SignificantBits; // sBIT red, green, blue, alpha from the low byte up
    TColor& BackgroundColor = Info.BackgroundColor;   // -1, a colour, or $01000000 + index
    bool HasAlpha = false;        // alpha channel, or per-index alpha that filled the alpha plane
    bool IsGray = false;          // colour type 0 or 4
    bool PaletteAlpha = false;    // the tRNS table needed an alpha plane
    bool SampleAlpha = false;     // a 16-bit tRNS colour, matched on full samples, filled the alpha plane
    int32_t Interlace = 0;        // 0 none, 1 Adam7
    int32_t ColorKind = -1;       // -1 before IHDR; 0 grey, 2 RGB, 3 indexed
    int32_t HeaderColorType = -1; // the header's colour type (its low three bits); -1 before IHDR
    int32_t HeaderBitDepth = 0;   // the header's bit depth (BitDepth becomes the decoded depth)
    TColor TransparentColor = -1; // -1, a colour, or $01000000 + index
    std::string ActiveKey;        // key handed to OnDecodeRow
    std::array<uint8_t, 256> AlphaTable{}; // alpha of each palette index, 255 where tRNS gives none
    // With KeepImageData: the bytes of the image data chunks that follow each other from the
    // first, joined (a zlib stream as the file has it, not checked beyond what the rows needed);
    // empty when the file ends inside them.
    std::vector<uint8_t> ImageData;

    // The alpha plane in use for the last image (AlphaTarget once filled), or none.
    TBitmap* AlphaPlane() const { return alphaPlane_; }

protected:
    void ReadImage() override;
    void CreateBitmap() override;

private:
    struct Inflater;
    struct TInflatePipe;
    enum SeenFlag : uint32_t {
        HeaderSeen = 1,
        ImageDone = 2,
        EndSeen = 4,
        PaletteSeen = 8,
        PrivateSeen = 16,
    };
    enum class Conversion;

    // A chunk body reader, given the chunk's length; it reads no more than that.
    using ChunkHandler = void (TVRQPNGReadStream::*)(int32_t length);

    void ChunkLoop();
    void ReadChunkBody(uint32_t type);
    // Runs handler when the chunk holds at least need bytes and counts what it consumed.
    void ReadWithin(int32_t need, ChunkHandler handler);
    void ReadHeaderChunk(int32_t length);
    void ReadPaletteChunk(int32_t length);
    void ReadTransparencyChunk(int32_t length);
    void ReadBackgroundChunk(int32_t length);
    void ReadGammaChunk(int32_t length);
    void ReadChromaChunk(int32_t length);
    void ReadPhysChunk(int32_t length);
    void ReadSignificantBitsChunk(int32_t length);
    void ReadTimeChunk(int32_t length);
    void ReadGifChunk(int32_t length);
    void ReadTextChunk(int32_t length);
    void ReadPrivateChunk(int32_t length);
    // Keeps a chunk's data as it stands (KeepChunks), within a bound on all kept bytes.
    void KeepChunk(int32_t length);
    // Notes an animated PNG's frames and plays (the frames themselves are read elsewhere).
    void ReadAnimationControlChunk(int32_t length);
    // Completes Info from the working fields once the read ends.
    void FinishInfo();
    void ReadImageData();
    void ChooseFormat();
    void CheckSize() const;
    TColor ReadSampleColor(uint16_t* samples); // grey or RGB sample(s) of tRNS / bKGD as a colour; the samples as read
    int32_t FillInput();
    // Inflates and unfilters the next raw row into rawRows_[current_]; first: no row above.
    int32_t ReadRow(bool first);
    bool Unfilter(uint8_t* current, const uint8_t* previous);
    void ConvertRow(const uint8_t* raw, int32_t pixels, uint8_t* out, uint8_t* alpha);
    void StoreRow(const uint8_t* raw, int32_t y, int32_t pixels);
    // Inflates into out until it is full, or the input at hand is used up with at least least
    // bytes made; the bytes made, or -1.
    int64_t Inflate(uint8_t* out, size_t size, size_t least);
    // The inflating thread: total bytes of image data, in blocks, until done or cancelled.
    void RunInflatePipe(int64_t total);
    // Copies the next count inflated bytes from the pipe; false when the data ends before them.
    bool TakeInflated(uint8_t* dest, size_t count);
    void StopInflatePipe();
    // Appends bytes of the image data to ImageData while it is being kept.
    void KeepData(const uint8_t* bytes, int32_t count);
    void FillPaletteAlpha();
    void MatchSampleKey(const uint8_t* raw, int32_t pixels, uint8_t* alpha) const;
    void ReleaseImageState();
    bool Is(uint32_t flag) const { return (seen_ & flag) != 0; }
    // Keeps why the image data could not be read (the first cause told, or a later one with
    // first set); either thread may tell.
    void Cause(std::string text, bool first = false);
    // Throws the read error with the cause kept.
    [[noreturn]] void FailRead();
    // Where the reader stands in the file, for causes.
    int64_t FileOffset() const { return StartPosition + Position; }

    // Wider than the 32-bit length it starts from, so that a length of 2^31 or more (read as a
    // negative number) can be lowered by what handlers consume without overflowing.
    int64_t chunkLeft_ = 0;
    uint32_t chunkType_ = 0;
    uint32_t seen_ = 0;
    bool keepingData_ = false; // the image data chunks are still being kept
    TBitmap* alphaPlane_ = nullptr;

    // Image decoding state, alive only while the image data is decoded.
    std::unique_ptr<Inflater> inflater_;
    std::unique_ptr<TInflatePipe> pipe_; // while a second thread inflates
    // A raw row (filter byte first) whose memory grows with the bytes inflated into it.
    struct TRawRow {
        struct Free {
            void operator()(uint8_t* p) const;
        };
        std::unique_ptr<uint8_t[], Free> Data; // from realloc, which can grow a large block in place
        int32_t Capacity = 0;
        // At least bytes of room (up to the row's size); the bytes held are kept.
        void Reserve(int32_t bytes);
    };
    TRawRow rawRows_[2];                   // the current row and the one above it, by turns
    TBitmap::TRows rows_, alphaRows_; // where the bitmap's and the alpha plane's rows lie
    int32_t current_ = 0;
    std::unique_ptr<uint8_t[]> rowMemory_; // converted and alpha rows where a row cannot go straight into the bitmap
    uint8_t* convertedRow_ = nullptr;
    uint8_t* alphaRow_ = nullptr;
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
    // A 16-bit tRNS colour as it stands in the file (grey: 2 bytes, RGB: 6): the bitmap keeps
    // only high bytes, so transparency is decided on the raw samples while decoding.
    std::array<uint8_t, 6> sampleKey_{};
    bool wideKey_ = false;
    // Why the image data failed, and the rows and bytes it was to have, for that text.
    std::mutex causeMutex_;
    std::string cause_;
    int64_t rawTotal_ = 0;
    int32_t causeRow_ = 0;
    int32_t causePass_ = 0; // 1..7 for Adam7, 0 otherwise
};

} // namespace tintabrel
