#include "png/VRQStream.h"

#include "base/Exceptions.h"
#include "base/ScopeGuard.h"
#include "png/SFunc.h"

#include <algorithm>
#include <cstring>

namespace tintabrel {

TPixelFormat PixelFormatOfBits(int32_t bits)
{
    switch (bits) {
    case 1: return TPixelFormat::pf1bit;
    case 4: return TPixelFormat::pf4bit;
    case 8: return TPixelFormat::pf8bit;
    case 15: return TPixelFormat::pf15bit;
    case 16: return TPixelFormat::pf16bit;
    case 32: return TPixelFormat::pf32bit;
    default: return TPixelFormat::pf24bit;
    }
}

int32_t BitsOfPixelFormat(TPixelFormat format)
{
    return FactsOf(static_cast<TPixelFormat>(static_cast<int>(format) & 0x7F)).Depth;
}

// ---------------------------------------------------------------- reading

void TVRQCustomReadStream::BeginRead(TStream& source, int32_t limit)
{
    Source = &source;
    StartPosition = source.Position();
    const int64_t rest = std::max<int64_t>(0, source.Size() - StartPosition);
    Size = limit > 0 ? limit : static_cast<int32_t>(std::min<int64_t>(rest, INT32_MAX));
    Position = 0;
    Stopped = false;
    AtEnd = false;
    Available = 0;
    inPlace_ = false;
    if (Size <= 0) {
        AtEnd = true;
        return;
    }
    if (auto* memory = dynamic_cast<TMemoryStream*>(&source)) {
        // Read the memory in place; a budget larger than the memory holds is cut to it, since
        // no bytes lie beyond it.
        Size = static_cast<int32_t>(std::min<int64_t>(Size, rest));
        inPlace_ = true;
        current_ = memory->Memory() + StartPosition;
        Available = Size;
        if (Size <= 0) {
            AtEnd = true;
            return;
        }
    } else {
        // Filled before it is read, so not cleared (as the write buffer).
        if (!window_) window_ = std::make_unique_for_overwrite<uint8_t[]>(WindowSize);
        current_ = window_.get();
    }
    if (Available == 0) FillBuffer(0);
    if (SkipHeaderAllowed && Size > 128 && Available > 74 && current_[0] == 0 && current_[74] == 0) {
        current_ += 128;
        Position = 128;
        Available -= 128;
    }
}

void TVRQCustomReadStream::EndRead()
{
    if (!inPlace_) window_.reset();
    if (Source) Source->Seek(StartPosition + Position, TSeekOrigin::soBeginning);
}

void TVRQCustomReadStream::FillBuffer(int32_t keep)
{
    // Only the bytes not yet fetched: the kept ones are already counted in the budget.
    const int32_t n = std::min(Size - Position - keep, WindowSize - keep);
    if (n > 0) Source->ReadBuffer(window_.get() + keep, n);
    Available = keep + std::max(n, 0);
    current_ = window_.get();
}

uint8_t TVRQCustomReadStream::ReadByte()
{
    if (Stopped || AtEnd) return 0;
    if (Position + 1 > Size) {
        AtEnd = true;
        return 0;
    }
    if (Available == 0) FillBuffer(0);
    const uint8_t b = *current_++;
    ++Position;
    --Available;
    return b;
}

uint32_t TVRQCustomReadStream::ReadBE(int n)
{
    if (Stopped || AtEnd) return 0;
    if (static_cast<int64_t>(Position) + n > Size) {
        AtEnd = true;
        return 0;
    }
    if (Available < n) {
        // A value that straddles the window's end is read whole.
        if (Available > 0) std::memmove(window_.get(), current_, static_cast<size_t>(Available));
        FillBuffer(Available);
    }
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | current_[i];
    current_ += n;
    Position += n;
    Available -= n;
    return v;
}

uint16_t TVRQCustomReadStream::ReadWordBE() { return static_cast<uint16_t>(ReadBE(2)); }

uint32_t TVRQCustomReadStream::ReadLongBE() { return ReadBE(4); }

void TVRQCustomReadStream::ReadBytes(void* dest, int32_t count)
{
    if (Stopped || AtEnd) return;
    if (count <= 0) {
        Stopped = true;
        return;
    }
    if (static_cast<int64_t>(Position) + count > Size) {
        AtEnd = true;
        return;
    }
    auto* out = static_cast<uint8_t*>(dest);
    if (count <= Available) {
        std::memcpy(out, current_, static_cast<size_t>(count));
        current_ += count;
        Available -= count;
        Position += count;
        return;
    }
    const int32_t first = Available;
    if (first > 0) std::memcpy(out, current_, static_cast<size_t>(first));
    Position += first;
    Available = 0;
    int32_t want = count - first;
    out += first;
    if (want >= WindowSize) {
        const int32_t direct = want - WindowSize;
        if (direct > 0) Source->ReadBuffer(out, direct);
        Position += direct;
        out += direct;
        want -= direct;
    }
    FillBuffer(0);
    std::memcpy(out, current_, static_cast<size_t>(want));
    current_ += want;
    Available -= want;
    Position += want;
}

void TVRQCustomReadStream::Skip(int32_t count)
{
    if (Stopped || AtEnd) return;
    if (count < 0 || static_cast<int64_t>(Position) + count > Size) {
        AtEnd = true;
        return;
    }
    if (count == 0) {
        Stopped = true;
        return;
    }
    if (count <= Available) {
        current_ += count;
        Available -= count;
        Position += count;
        return;
    }
    Position += count;
    Source->Seek(count - Available, TSeekOrigin::soCurrent);
    Available = 0;
}

bool TVRQCustomReadStream::DoProgress(int32_t) { return false; }

void TVRQCustomReadStream::StartProgress()
{
    ProgressBase = ProgressLast = PhaseSpan = 0;
    ProgressLeft = 99;
    Stopped = false;
    Stopped = DoProgress(0);
}

void TVRQCustomReadStream::BeginProgressPhase(int32_t mode, int32_t total, int32_t share)
{
    ProgressBase += PhaseSpan;
    ProgressLast = ProgressBase;
    ProgressLeft -= PhaseSpan;
    if (mode == 0) {
        PhaseTotal = Size;
        PhaseStart = Position;
    } else {
        PhaseTotal = total;
    }
    if (PhaseTotal == 0) PhaseTotal = 1;
    PhaseMode = mode;
    PhaseSpan = (share == 0 || share >= 100) ? ProgressLeft : ProgressLeft * share / 100;
}

void TVRQCustomReadStream::StepProgress(int32_t count)
{
    if (const std::optional<bool> stop = ProgressStep(count)) Stopped = *stop;
}

std::optional<bool> TVRQCustomReadStream::ProgressStep(int32_t count)
{
    int64_t part;
    if (PhaseMode == 0)
        part = static_cast<int64_t>(Position - PhaseStart) * PhaseSpan / PhaseTotal;
    else
        part = PhaseTotal <= count ? PhaseSpan : static_cast<int64_t>(count) * PhaseSpan / PhaseTotal;
    const int32_t percent = ProgressBase + static_cast<int32_t>(part);
    if (percent <= ProgressLast) return std::nullopt;
    ProgressLast = percent;
    return DoProgress(percent);
}

void TVRQCustomReadStream::FinishProgress() { Stopped = DoProgress(100); }

namespace {

bool ReportProgress(const TBitmap* bitmap, int32_t percent, const std::string& message)
{
    if (bitmap && bitmap->OnProgress) {
        const TProgressStage stage = percent == 0 ? TProgressStage::psStarting
                                     : percent < 100 ? TProgressStage::psRunning
                                                     : TProgressStage::psEnding;
        if (stage == TProgressStage::psEnding) percent = 100;
        bitmap->OnProgress(*bitmap, stage, static_cast<uint8_t>(percent), false, TRect{}, message);
    }
    return false; // a handler cannot stop a read or a write
}

} // namespace

bool TVRQCustomGraphicReadStream::DoProgress(int32_t percent) { return ReportProgress(Bitmap, percent, ProgressMessage); }

TRGBQuad* TVRQCustomGraphicReadStream::GetPaletteBuffer()
{
    if (!paletteBuffer_) paletteBuffer_ = std::make_unique<TRGBQuad[]>(256);
    return paletteBuffer_.get();
}

void TVRQCustomGraphicReadStream::ReadFromStream(TBitmap* bitmap, TStream& source, int32_t limit)
{
    Bitmap = bitmap;
    HeaderOnly = bitmap == nullptr;
    TNotifyEvent savedOnChange;
    if (bitmap) savedOnChange = std::exchange(bitmap->OnChange, nullptr);

    const TScopeGuard cleanup([&] {
        try {
            EndRead();
        } catch (...) {
            // The source could not be repositioned; the read's own outcome stands.
        }
        FreePaletteBuffer();
        if (bitmap) bitmap->OnChange = std::move(savedOnChange);
    });

    BeginRead(source, limit);
    PaletteCount = 0;
    ReadImage();
}

void TVRQCustomGraphicReadStream::CreateBitmap()
{
    if (HeaderOnly || !Bitmap) return;
    Bitmap->Clear();
    Bitmap->SetTransparent(false);
    Bitmap->SetPixelFormat(PixelFormatOfBits(BitsPerPixel));
    Bitmap->SetWidth(Width);
    Bitmap->SetHeight(Height);
    if (PaletteBuffer()) Bitmap->SetPalette(CreatePaletteFromQuads(PaletteBuffer(), PaletteCount));
}

// ---------------------------------------------------------------- writing

// Bytes are written here before they are read: uncleared, its pages are touched only as far as
// the file fills them (a small file would clear 64 KiB for a few hundred bytes).
TVRQCustomWriteStream::TVRQCustomWriteStream() : buffer_(std::make_unique_for_overwrite<uint8_t[]>(BufferSize)), cursor_(buffer_.get()) {}

void TVRQCustomWriteStream::BeginWrite(TStream& target)
{
    Target = &target;
    cursor_ = buffer_.get();
    Written = 0;
    Buffered = 0;
}

void TVRQCustomWriteStream::Flush()
{
    if (Buffered == 0) return;
    Target->WriteBuffer(buffer_.get(), Buffered);
    Written += Buffered;
    Buffered = 0;
    cursor_ = buffer_.get();
}

void TVRQCustomWriteStream::FlushPending()
{
    if (Buffered > 0) Flush();
}

void TVRQCustomWriteStream::WriteBytes(const void* data, int32_t count)
{
    if (Stopped) return;
    if (count <= 0) {
        Stopped = true;
        return;
    }
    if (count >= BufferSize - 16) {
        Flush();
        Target->WriteBuffer(data, count);
        Written += count;
        return;
    }
    if (Buffered + count >= BufferSize) Flush();
    std::memcpy(cursor_, data, static_cast<size_t>(count));
    cursor_ += count;
    Buffered += count;
}

void TVRQCustomWriteStream::WriteLongBE(uint32_t value)
{
    if (Stopped) return;
    if (Buffered + 4 >= BufferSize) Flush();
    cursor_[0] = static_cast<uint8_t>(value >> 24);
    cursor_[1] = static_cast<uint8_t>(value >> 16);
    cursor_[2] = static_cast<uint8_t>(value >> 8);
    cursor_[3] = static_cast<uint8_t>(value);
    cursor_ += 4;
    Buffered += 4;
}

bool TVRQCustomWriteStream::DoProgress(int32_t) { return false; }

void TVRQCustomWriteStream::StartProgress()
{
    ProgressBase = ProgressLast = PhaseSpan = 0;
    ProgressLeft = 99;
    Stopped = false;
    Stopped = DoProgress(0);
}

void TVRQCustomWriteStream::BeginProgressPhase(int32_t total, int32_t share)
{
    ProgressBase += PhaseSpan;
    ProgressLast = ProgressBase;
    ProgressLeft -= PhaseSpan;
    PhaseTotal = total == 0 ? 1 : total;
    PhaseMode = 1;
    PhaseSpan = (share == 0 || share >= 100) ? ProgressLeft : ProgressLeft * share / 100;
}

void TVRQCustomWriteStream::StepProgress(int32_t count)
{
    const int32_t percent = ProgressBase + static_cast<int32_t>(static_cast<int64_t>(count) * PhaseSpan / PhaseTotal);
    if (percent > ProgressLast) {
        ProgressLast = percent;
        Stopped = DoProgress(percent);
    }
}

void TVRQCustomWriteStream::FinishProgress() { Stopped = DoProgress(100); }

bool TVRQCustomGraphicWriteStream::DoProgress(int32_t percent) { return ReportProgress(Bitmap, percent, ProgressMessage); }

void TVRQCustomGraphicWriteStream::WriteToStream(const TBitmap& bitmap, TStream& target)
{
    BeginWrite(target);
    Bitmap = &bitmap;
    WriteImage();
    FlushPending();
}

} // namespace tintabrel
