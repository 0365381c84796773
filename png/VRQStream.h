// Buffered big-endian byte streams for the picture codec, with a byte budget and progress.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/Graphics.h"
#include "base/Streams.h"

namespace tintabrel {

TPixelFormat PixelFormatOfBits(int32_t bits);
int32_t BitsOfPixelFormat(TPixelFormat format);

class TVRQCustomReadStream {
public:
    static constexpr int32_t WindowSize = 65536;

    TVRQCustomReadStream() = default;
    virtual ~TVRQCustomReadStream() = default;
    TVRQCustomReadStream(const TVRQCustomReadStream&) = delete;
    TVRQCustomReadStream& operator=(const TVRQCustomReadStream&) = delete;

    // Progress accounting.
    int32_t ProgressBase = 0;
    int32_t ProgressLast = 0;
    int32_t PhaseSpan = 0;
    int32_t ProgressLeft = 99;
    int32_t PhaseTotal = 1;
    int32_t PhaseMode = 0;
    int32_t PhaseStart = 0;
    // Reading state.
    int32_t Size = 0;      // bytes that may be read, from the start position
    int32_t Position = 0;  // bytes consumed
    int32_t Available = 0; // unread bytes in the window from Current on
    int64_t StartPosition = 0;
    bool Stopped = false;
    bool AtEnd = false;
    bool SkipHeaderAllowed = true;
    TStream* Source = nullptr;

    void BeginRead(TStream& source, int32_t limit);
    void EndRead();
    uint8_t ReadByte();
    uint16_t ReadWordBE();
    uint32_t ReadLongBE();
    void ReadBytes(void* dest, int32_t count);
    void Skip(int32_t count);

    void StartProgress();
    void BeginProgressPhase(int32_t mode, int32_t total, int32_t share);
    void StepProgress(int32_t count);
    // As StepProgress, but the handler's answer (when the percentage moved) is returned instead
    // of taken into Stopped: for a caller whose stream another thread is reading meanwhile.
    std::optional<bool> ProgressStep(int32_t count);
    void FinishProgress();

protected:
    virtual bool DoProgress(int32_t percent);
    const uint8_t* Current() const { return current_; }

private:
    void FillBuffer(int32_t keep);
    uint32_t ReadBE(int n);

    const uint8_t* current_ = nullptr;
    std::unique_ptr<uint8_t[]> window_;
    bool inPlace_ = false;
};

class TVRQCustomGraphicReadStream : public TVRQCustomReadStream {
public:
    TVRQCustomGraphicReadStream() { SkipHeaderAllowed = true; }

    // Comment and the resolution are the PNG reader's, in its one record of what a file says.
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t BitsPerPixel = 0;
    int32_t BitDepth = 0;
    int32_t PaletteCount = 0;
    TBitmap* Bitmap = nullptr;
    std::string ProgressMessage;
    bool HeaderOnly = false;

    // Reads one image into bitmap (none: header only) from source; limit 0 reads to its end.
    void ReadFromStream(TBitmap* bitmap, TStream& source, int32_t limit);
    // The palette buffer: 256 colour-table entries, made on first use.
    TRGBQuad* GetPaletteBuffer();
    void FreePaletteBuffer() { paletteBuffer_.reset(); }
    TRGBQuad* PaletteBuffer() const { return paletteBuffer_.get(); }

protected:
    bool DoProgress(int32_t percent) override;
    virtual void ReadImage() = 0;
    // Configures Bitmap from Width, Height, BitsPerPixel and the palette buffer.
    virtual void CreateBitmap();

private:
    std::unique_ptr<TRGBQuad[]> paletteBuffer_;
};

class TVRQCustomWriteStream {
public:
    static constexpr int32_t BufferSize = 65536;

    TVRQCustomWriteStream();
    virtual ~TVRQCustomWriteStream() = default;
    TVRQCustomWriteStream(const TVRQCustomWriteStream&) = delete;
    TVRQCustomWriteStream& operator=(const TVRQCustomWriteStream&) = delete;

    int32_t ProgressBase = 0;
    int32_t ProgressLast = 0;
    int32_t PhaseSpan = 0;
    int32_t ProgressLeft = 99;
    int32_t PhaseTotal = 1;
    int32_t PhaseMode = 1;
    int32_t Buffered = 0;
    int64_t Written = 0;
    TStream* Target = nullptr;
    bool Stopped = false;
    std::string ProgressMessage;

    void BeginWrite(TStream& target);
    void WriteBytes(const void* data, int32_t count);
    void WriteLongBE(uint32_t value);
    void Flush();
    void FlushPending();

    void StartProgress();
    void BeginProgressPhase(int32_t total, int32_t share);
    void StepProgress(int32_t count);
    void FinishProgress();

protected:
    virtual bool DoProgress(int32_t percent);

private:
    std::unique_ptr<uint8_t[]> buffer_;
    uint8_t* cursor_ = nullptr;
};

class TVRQCustomGraphicWriteStream : public TVRQCustomWriteStream {
public:
    const TBitmap* Bitmap = nullptr;

    // Writes bitmap to target: BeginWrite, WriteImage, then what is still buffered.
    void WriteToStream(const TBitmap& bitmap, TStream& target);

protected:
    bool DoProgress(int32_t percent) override;
    virtual void WriteImage() = 0;
};

} // namespace tintabrel
