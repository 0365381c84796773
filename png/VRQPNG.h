// The PNG picture: a graphic holding a decoded image, its transparency as a separate 8-bit
// bitmap, and the PNG properties that loading fills and saving writes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/RowGate.h"
#include "image/Graphics.h"
#include "image/RowSink.h"
#include "png/VRQPNGTypes.h"

namespace tintabrel {

class TVRQPNG : public TGraphic {
public:
    TVRQPNG();
    ~TVRQPNG() override;
    TVRQPNG(const TVRQPNG&) = delete;
    TVRQPNG& operator=(const TVRQPNG&) = delete;

    std::string ClassName() const override { return "TVRQPNG"; }

    // Another graphic receives the active image (the transparency stays behind).
    void AssignTo(TGraphic& dest) const override;
    // From a picture: images shared, settings copied; from a bitmap: the image only.
    void Assign(const TGraphic* source) override;
    void Assign(const TGraphic& source) { Assign(&source); }

    void Draw(TCanvas& canvas, const TRect& rect) const override;
    bool Empty() const override;
    int32_t Width() const override;
    int32_t Height() const override;
    std::optional<TPalette> Palette() const override;
    void SetWidth(int32_t value) override;
    void SetHeight(int32_t value) override;
    void SetPalette(const std::optional<TPalette>& palette) override;
    void SetTransparent(bool value) override;

    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;
    // Persistence inside layout streams: the own image only, with the encoder's defaults.
    void ReadData(TStream& stream);
    void WriteData(TStream& stream) const;

    // Takes the transparent flag of bitmap; exactly one change notification results.
    void SyncFromBitmap(TBitmap& bitmap);

    // The linked bitmaps when set, otherwise the own ones.
    TBitmap& ActiveBitmap() const { return LinkedBitmap ? *LinkedBitmap : *Bitmap; }
    TBitmap& ActiveAlphaBitmap() const { return LinkedAlphaBitmap ? *LinkedAlphaBitmap : *AlphaBitmap; }

    // ---- properties (given to the encoder on saving; most taken from the decoder on loading)
    int32_t IDATSize = 32768;
    int32_t CompressionLevel = -1;
    uint8_t FilterMode = 1;
    bool Interlace = false;
    int32_t Threads = 1; // above 1: a large picture is inflated ahead, or compressed, on more threads
    bool WholeImageDeflate = false; // to the encoder: see TVRQPNGWriteStream::WholeImageDeflate
    // Set while another thread still stores the rows being saved (the encoder's SourceRows).
    const TRowGate* SourceRows = nullptr;
    // Told how far the decoder's rows are stored, for work on rows while later ones are read.
    TRowSink* RowSink = nullptr;
    bool Grayscale = false;
    TBitmap* LinkedAlphaBitmap = nullptr; // not owned
    const std::unique_ptr<TBitmap> AlphaBitmap; // 8-bit, byte = 255 - alpha
    TBitmap* LinkedBitmap = nullptr;            // not owned
    const std::unique_ptr<TBitmap> Bitmap;
    bool UseAlpha = false;     // the alpha bitmap takes part in saving
    int32_t BitsPerPixel = 0;  // depth reported by the last load; information only
    // What the file says beside its rows: taken from the decoder by a load, given to the encoder
    // by a save. The fields below that name its values are its.
    TPngInfo Info;
    TColor& BackgroundColor = Info.BackgroundColor;
    TColor& TransparentColor = Info.TransparentColor;
    // Alpha of each palette index of a palette picture (tRNS), trailing opaque entries left
    // out; empty: every index opaque. Written when the picture is written as a palette.
    std::vector<uint8_t> IndexAlpha;
    std::string& Comment = Info.Comment;
    double& Gamma = Info.Gamma;
    std::string RowKey;
    uint32_t& SignificantBits = Info.SignificantBits;
    int32_t& PhysUnit = Info.PhysUnit;
    int32_t& PhysX = Info.PhysX;
    int32_t& PhysY = Info.PhysY;
    bool SkipHeaderAllowed = true;
    bool UseCurrentTime = true;
    TVRQPNGTime& TimeStamp = Info.TimeStamp;
    std::function<TVRQPNGTime()> Clock; // the time of UseCurrentTime; empty: CurrentUTCTime
    bool Strip = false;                 // write only the chunks the pixels need
    TVRQPNGChromaticity& Chromaticity = Info.Chromaticity;
    TVRQPNGGifControl& GifControl = Info.GifControl;
    bool HighColorOutput = false;
    // A load also keeps the chunks a rewrite should carry (colour profile, texts) in Info.
    bool KeepChunks = false;
    TVRQPNGKeyRequestEvent OnKeyRequest;
    TVRQPNGEncodeRowEvent OnEncodeRow;
    TVRQPNGDecodeRowEvent OnDecodeRow;
    // Set: a load keeps the file's image data as it stands in ImageData (see TVRQPNGReadStream).
    bool KeepImageData = false;
    std::vector<uint8_t> ImageData;

private:
    void GiveInfo(TVRQPNGWriteStream& writer) const;
    void TakeResults(const TVRQPNGReadStream& reader);

    bool updating_ = false; // SyncFromBitmap is changing the transparent flag
};

} // namespace tintabrel
