#include "png/VRQPNGReadStream.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "base/TaskPool.h"
#include "base/ScopeGuard.h"
#include "png/PngRows.h"
#include "png/SFunc.h"

namespace tintabrel {

namespace {

constexpr int32_t InputBufferSize = 262144;
// Deflate turns one byte into at most about 1032; a little above, so no real file is refused.
constexpr int64_t MaxInflateRatio = 1040;
// Rows are inflated many at a time into a buffer of this size: row by row, zlib's costs per
// call (a copy of all output into its window, its slow path near the end of each output) add
// about a fifth to the inflate.
constexpr size_t StagingSize = 262144;
// Image data of at least this many bytes is inflated on a second thread when one is allowed;
// below, starting the thread costs more than it saves.
constexpr int64_t PipeMinimum = int64_t{1} << 20;
// SetSmallThresholdsForTesting: small inputs take the inflating thread too, in small blocks.
std::atomic<bool> smallThresholds{false};
int64_t PipeThreshold() { return smallThresholds ? 1 : PipeMinimum; }
// TransparentColor while a per-index alpha table waits to be resolved at the image data.
constexpr TColor PerIndexMark = 0x01FFFFFF;
constexpr TColor PaletteIndexBase = 0x01000000;

// ---- conversion of RGB rows: samples of 1 or 2 bytes, optional alpha, 24-bit or 5-6-5 output

template <int SampleBytes, bool Alpha, bool HighColour>
void ConvertRgb(const uint8_t* src, uint8_t* out, uint8_t* alpha, int32_t pixels)
{
    constexpr int Channels = Alpha ? 4 : 3;
    constexpr int Stride = Channels * SampleBytes;
    for (int32_t i = 0; i < pixels; ++i, src += Stride) {
        const uint8_t r = src[0];
        const uint8_t g = src[SampleBytes];
        const uint8_t b = src[2 * SampleBytes];
        if constexpr (HighColour) {
            const unsigned v = (static_cast<unsigned>(r >> 3) << 11) | (static_cast<unsigned>(g >> 2) << 5) | (b >> 3);
            out[0] = static_cast<uint8_t>(v);
            out[1] = static_cast<uint8_t>(v >> 8);
            out += 2;
        } else {
            out[0] = b;
            out[1] = g;
            out[2] = r;
            out += 3;
        }
        if constexpr (Alpha) alpha[i] = static_cast<uint8_t>(255 - src[3 * SampleBytes]);
    }
}

// Gives a bitmap whose format and palette are set its size. The rows come zeroed from the
// allocator instead of being painted one by one, which would cost about as much as decoding;
// the decoder overwrites every pixel anyway. The size was checked against the picture limit.
void SizeForDecoding(TBitmap& bitmap, int32_t width, int32_t height)
{
    TBitmapImage& image = bitmap.MutableImage();
    // A 1-bit picture without pixels keeps black and white whatever its palette says; with the
    // pixels about to exist, the colour table follows the palette as it would after a resize.
    const int32_t bits = image.Header.biBitCount;
    if (bits <= 8 && image.Palette && image.Palette->Count() > 0) {
        image.ColorTable.clear();
        for (int32_t i = 0; i < image.Palette->Count() && i < (1 << bits); ++i) {
            const TPaletteEntry& e = (*image.Palette)[i];
            image.ColorTable.push_back(TRGBQuad{e.peBlue, e.peGreen, e.peRed, 0});
        }
    }
    image.Header.biWidth = width;
    image.Header.biHeight = height; // bottom row first, as a bitmap stores a new height
    image.AllocatePixels();
    image.Header.biSizeImage = static_cast<uint32_t>(image.ImageBytes());
}

} // namespace

enum class TVRQPNGReadStream::Conversion {
    None,        // the raw row is the bitmap row
    Widen2To4,   // 2-bit samples or indices into a 4-bit row
    HighByte,    // 16-bit grey: high bytes
    GreyAlpha8,  // grey byte, alpha to the alpha row
    GreyAlpha16, // high bytes of grey and alpha
    Rgb8,
    Rgb16,
    Rgba8,
    Rgba16,
    Rgb8To565,
    Rgb16To565,
    Rgba8To565,
    Rgba16To565,
};

// The zlib state with its input buffer; ending it is the destructor's job, so every exit of the
// image decoding releases it.
struct TVRQPNGReadStream::Inflater {
    z_stream stream{};
    std::unique_ptr<uint8_t[]> input;
    bool initialised = false;
    std::unique_ptr<uint8_t[]> staging; // inflated bytes not yet taken as rows
    size_t stagedPos = 0;
    size_t stagedEnd = 0;
    bool ended = false; // the zlib stream has ended
    // The last inflate filled its output: zlib may hold more of a match cut there, which it
    // gives without new input.
    bool mayHoldOutput = false;

    ~Inflater()
    {
        if (initialised) inflateEnd(&stream);
    }
};

// Inflating ahead: a second thread inflates the image data into a few blocks, in order, while
// the reading thread unfilters, converts and stores the rows; zlib's inflate is the larger half
// of the work and cannot itself be split. Blocks go round between the two queues.
struct TVRQPNGReadStream::TInflatePipe {
    static constexpr size_t BlockSize = 1048576;
    static size_t BlockBytes() { return smallThresholds ? 97 : BlockSize; }
    static constexpr size_t BlockCount = 4;
    struct TBlock {
        std::unique_ptr<uint8_t[]> Data;
        size_t Size = 0;
    };

    std::mutex Mutex;
    std::condition_variable Filled; // a block was filled, or the inflating thread ended
    std::condition_variable Freed;  // a block was given back, or cancel
    std::deque<TBlock> Full;        // in stream order; references stay valid as blocks are added
    std::vector<TBlock> Empty;
    size_t FrontTaken = 0;          // bytes of Full.front() already taken
    bool Ended = false;             // the inflating thread makes no more
    std::exception_ptr Error;       // what reading the input threw there
    bool Cancel = false;
    TThreadGroup Thread; // the one inflating thread
};

void SetSmallThresholdsForTesting(bool small) { smallThresholds = small; }

TVRQPNGReadStream::TVRQPNGReadStream()
{
    CheckSignature = true;
    AlphaTable.fill(255);
}

TVRQPNGReadStream::~TVRQPNGReadStream() = default;

void TVRQPNGReadStream::FinishInfo()
{
    Info.Width = Width;
    Info.Height = Height;
    Info.ColorType = HeaderColorType;
    Info.BitDepth = HeaderBitDepth;
    Info.Interlace = Interlace;
    Info.Alpha = HasAlpha;
    // An unresolved per-index mark (no image data) names no colour.
    Info.TransparentColor = TransparentColor == PerIndexMark ? -1 : TransparentColor;
    Info.PaletteSize = (seen_ & PaletteSeen) ? PaletteCount : 0;
    Info.FromFile = true;
}

void TVRQPNGReadStream::ReadAnimationControlChunk(int32_t)
{
    Info.AnimationFrames = ReadLongBE();
    Info.AnimationPlays = ReadLongBE();
}

void TVRQPNGReadStream::KeepChunk(int32_t length)
{
    const uint32_t type = chunkType_;
    // A file may carry megabytes of profile or text; beyond this the rest is not carried.
    constexpr size_t MostKeptBytes = size_t{64} << 20;
    size_t kept = 0;
    for (const TKeptChunk& c : Info.KeptChunks) kept += c.Data.size();
    // Refuse a length beyond the input, or beyond the bound, before sizing anything for it.
    if (static_cast<int64_t>(Position) + length > Size || kept + static_cast<size_t>(length) > MostKeptBytes) {
        Skip(length);
        return;
    }
    TKeptChunk chunk;
    chunk.Type = type;
    chunk.AfterImage = Is(ImageDone);
    chunk.Data.resize(static_cast<size_t>(length));
    ReadBytes(chunk.Data.data(), length);
    Info.KeptChunks.push_back(std::move(chunk));
}

void TVRQPNGReadStream::ReleaseImageState()
{
    StopInflatePipe();
    inflater_.reset();
    rowMemory_.reset();
    convertedRow_ = alphaRow_ = nullptr;
    rawRows_[0] = TRawRow{};
    rawRows_[1] = TRawRow{};
    current_ = 0;
}

// ---------------------------------------------------------------- frame

void TVRQPNGReadStream::ReadImage()
{
    StartProgress();
    BeginProgressPhase(0, 0, 30);

    alphaPlane_ = nullptr;
    HasAlpha = IsGray = PaletteAlpha = SampleAlpha = false;
    wideKey_ = false;
    Interlace = 0;
    ColorKind = HeaderColorType = -1;
    HeaderBitDepth = 0;
    Info = TPngInfo{};
    ActiveKey.clear();
    TransparentColor = -1;
    ImageData.clear();
    keepingData_ = false;
    AlphaTable.fill(255);
    if (TimeStore) *TimeStore = TVRQPNGTime{};
    if (GifStore) *GifStore = TVRQPNGGifControl{};
    if (ChromaStore) *ChromaStore = TVRQPNGChromaticity{};
    BitDepth = 0;

    if (CheckSignature) {
        uint8_t signature[8] = {};
        ReadBytes(signature, 8);
        if (std::memcmp(signature, PngSignature, sizeof signature) != 0) throw EVRQPNG(pngmsg::NotPNG);
    }

    const TScopeGuard release([this] {
        ReleaseImageState();
        FinishInfo();
    });

    ChunkLoop();
    // An unresolved per-index mark (no image data) is not a colour the bitmap could use.
    if (Bitmap && !AtEnd && !Stopped && !HasAlpha && TransparentColor != -1 && TransparentColor != PerIndexMark) {
        Bitmap->SetTransparent(true);
        Bitmap->SetTransparentColor(TransparentColor);
    }
    if (PaletteAlpha && alphaPlane_) FillPaletteAlpha();
    FinishProgress();
}

void TVRQPNGReadStream::ChunkLoop()
{
    while (!AtEnd && !Stopped && !Is(EndSeen)) {
        chunkLeft_ = static_cast<int32_t>(ReadLongBE());
        const uint32_t type = ReadLongBE();
        chunkType_ = type;
        if (type != chunk::IDAT) keepingData_ = false;
        ReadChunkBody(type);
        if (chunkLeft_ > 0 && keepingData_ && static_cast<int64_t>(Position) + chunkLeft_ <= Size) {
            // The rest of the image data, past what the rows needed (the stream's end and checksum).
            const size_t kept = ImageData.size();
            ImageData.resize(kept + static_cast<size_t>(chunkLeft_));
            ReadBytes(ImageData.data() + kept, static_cast<int32_t>(chunkLeft_));
            chunkLeft_ = 0;
        }
        if (chunkLeft_ > 0) Skip(static_cast<int32_t>(chunkLeft_));
        if (keepingData_ && (AtEnd || Stopped || chunkLeft_ > 0)) {
            keepingData_ = false;
            ImageData.clear(); // not all of it
        }
        ReadLongBE(); // CRC, not checked
    }
}

void TVRQPNGReadStream::ReadChunkBody(uint32_t type)
{
    const bool afterHeader = Is(HeaderSeen);
    const bool beforeImage = !Is(ImageDone);
    const bool beforePalette = !Is(PaletteSeen);
    const bool early = afterHeader && beforeImage; // where the ancillary chunks before the image count
    // Bytes of a grey or RGB sample set in tRNS and bKGD; an index in bKGD is one byte.
    const int32_t sampleBytes = ColorKind == 0 ? 2 : 6;
    switch (type) {
    case chunk::IHDR:
        ReadWithin(13, &TVRQPNGReadStream::ReadHeaderChunk);
        if (HeaderOnly && StopAfterHeader) Stopped = true;
        break;
    case chunk::PLTE:
        if (early && beforePalette && (ColorKind == 2 || ColorKind == 3)) ReadWithin(0, &TVRQPNGReadStream::ReadPaletteChunk);
        break;
    case chunk::tRNS:
        if (early && !HasAlpha) ReadWithin(ColorKind == 3 ? 1 : sampleBytes, &TVRQPNGReadStream::ReadTransparencyChunk);
        break;
    case chunk::bKGD:
        if (afterHeader) ReadWithin(ColorKind == 3 ? 1 : sampleBytes, &TVRQPNGReadStream::ReadBackgroundChunk);
        break;
    case chunk::gAMA:
        if (early && beforePalette) ReadWithin(4, &TVRQPNGReadStream::ReadGammaChunk);
        break;
    case chunk::cHRM:
        if (early && beforePalette && chunkLeft_ == 32) ReadWithin(32, &TVRQPNGReadStream::ReadChromaChunk);
        break;
    case chunk::pHYs:
        if (early) ReadWithin(9, &TVRQPNGReadStream::ReadPhysChunk);
        break;
    case chunk::sBIT:
        if (early && beforePalette && (ColorKind == 2 || ColorKind == 3))
            ReadWithin(HasAlpha ? 4 : 3, &TVRQPNGReadStream::ReadSignificantBitsChunk);
        break;
    case chunk::tIME:
        if (chunkLeft_ == 7) ReadWithin(7, &TVRQPNGReadStream::ReadTimeChunk);
        break;
    case chunk::tEXt: ReadWithin(1, &TVRQPNGReadStream::ReadTextChunk); break;
    case chunk::gIFg:
        if (early && beforePalette && chunkLeft_ == 4) ReadWithin(4, &TVRQPNGReadStream::ReadGifChunk);
        break;
    case chunk::vpNG:
        if (early && !Is(PrivateSeen)) ReadWithin(4, &TVRQPNGReadStream::ReadPrivateChunk);
        break;
    case chunk::sRGB:
    case chunk::iCCP:
        // A colour space counts only before the palette and the image, as gamma does.
        if (KeepChunks && early && beforePalette) ReadWithin(0, &TVRQPNGReadStream::KeepChunk);
        break;
    case chunk::acTL:
        if (early && !Info.AnimationFrames) ReadWithin(8, &TVRQPNGReadStream::ReadAnimationControlChunk);
        break;
    case chunk::zTXt:
    case chunk::iTXt:
        if (KeepChunks) ReadWithin(0, &TVRQPNGReadStream::KeepChunk);
        break;
    case chunk::IEND: seen_ |= EndSeen; break;
    case chunk::IDAT: ReadImageData(); break;
    default: break;
    }
}

void TVRQPNGReadStream::ReadWithin(int32_t need, ChunkHandler handler)
{
    // A chunk too short for its fields (or with a length of 2^31 or more) is skipped whole: the
    // value keeps its default and the chunk walk stays in step. A handler reads at most the
    // length it is given; what it consumed is counted here, by position, for every handler alike.
    const int64_t length = chunkLeft_;
    if (length < need || length < 0) return;
    const int32_t start = Position;
    (this->*handler)(static_cast<int32_t>(length));
    chunkLeft_ = length - (Position - start);
}

void TVRQPNGReadStream::ReadHeaderChunk(int32_t)
{
    if (Is(HeaderSeen)) throw EVRQPNG(pngmsg::TwoIHDR);
    Width = static_cast<int32_t>(ReadLongBE());
    Height = static_cast<int32_t>(ReadLongBE());
    BitDepth = ReadByte();
    int32_t colourType = ReadByte() & 7;
    if (colourType == 1 || colourType == 5 || colourType == 7) throw EVRQPNG(pngmsg::ErrorColorType);
    HeaderColorType = colourType;
    if (colourType & 4) {
        HasAlpha = true;
        colourType &= 3;
    }
    if (colourType == 0) IsGray = true;
    ColorKind = colourType;
    if (ReadByte() >= 2) throw EVRQPNG(pngmsg::NoCompression);
    if (ReadByte() >= 2) throw EVRQPNG(pngmsg::NoFilter);
    const uint8_t interlace = ReadByte();
    if (interlace >= 2) throw EVRQPNG(pngmsg::NoInterlace);
    Interlace = interlace;
    HeaderBitDepth = BitDepth;
    seen_ |= HeaderSeen;
    StepProgress(0);
}

void TVRQPNGReadStream::ReadPaletteChunk(int32_t length)
{
    const int32_t n = std::min(length / 3, 256);
    uint8_t entries[768] = {};
    if (n > 0) ReadBytes(entries, 3 * n);
    TRGBQuad* palette = GetPaletteBuffer();
    for (int32_t i = 0; i < n; ++i) palette[i] = TRGBQuad{entries[3 * i + 2], entries[3 * i + 1], entries[3 * i], 0};
    PaletteCount = n;
    seen_ |= PaletteSeen;
    StepProgress(0);
}

TColor TVRQPNGReadStream::ReadSampleColor(uint16_t* samples)
{
    // Samples beyond the depth's range are cut to it, so a damaged chunk cannot produce a value
    // outside the colour range (such as the palette-index forms).
    if (ColorKind == 0) {
        const uint16_t s = ReadWordBE();
        samples[0] = s;
        int32_t level;
        switch (BitDepth) {
        case 16: level = s >> 8; break;
        case 1: level = (s & 1) * 255; break;
        case 2: level = (s & 3) * 85; break;
        case 4: level = (s & 15) * 17; break;
        default: level = s & 0xFF; break;
        }
        return level * 0x010101;
    }
    const uint16_t r = ReadWordBE();
    const uint16_t g = ReadWordBE();
    const uint16_t b = ReadWordBE();
    samples[0] = r;
    samples[1] = g;
    samples[2] = b;
    const int shift = BitDepth == 16 ? 8 : 0;
    return ((r >> shift) & 0xFF) | (((g >> shift) & 0xFF) << 8) | (((b >> shift) & 0xFF) << 16);
}

void TVRQPNGReadStream::ReadTransparencyChunk(int32_t length)
{
    if (ColorKind == 3) {
        // Without a palette there is nothing to give alpha to; the chunk is skipped.
        const int32_t n = std::min(length, PaletteCount);
        if (n <= 0) return;
        ReadBytes(AlphaTable.data(), n);
        TransparentColor = PerIndexMark;
    } else {
        uint16_t samples[3] = {};
        TransparentColor = ReadSampleColor(samples);
        wideKey_ = BitDepth == 16;
        for (int i = 0; i < 3; ++i) {
            sampleKey_[static_cast<size_t>(2 * i)] = static_cast<uint8_t>(samples[i] >> 8);
            sampleKey_[static_cast<size_t>(2 * i + 1)] = static_cast<uint8_t>(samples[i]);
        }
    }
    StepProgress(0);
}

void TVRQPNGReadStream::ReadBackgroundChunk(int32_t)
{
    if (ColorKind == 3) {
        BackgroundColor = PaletteIndexBase + ReadByte();
    } else {
        uint16_t samples[3] = {};
        BackgroundColor = ReadSampleColor(samples);
    }
    StepProgress(0);
}

void TVRQPNGReadStream::ReadGammaChunk(int32_t)
{
    Gamma = static_cast<double>(static_cast<long double>(ReadLongBE()) / 100000.0L);
    StepProgress(0);
}

void TVRQPNGReadStream::ReadChromaChunk(int32_t)
{
    for (uint32_t& v : Info.Chromaticity.Values) v = ReadLongBE();
    if (ChromaStore) *ChromaStore = Info.Chromaticity;
    StepProgress(0);
}

void TVRQPNGReadStream::ReadPhysChunk(int32_t)
{
    PhysX = static_cast<int32_t>(ReadLongBE());
    PhysY = static_cast<int32_t>(ReadLongBE());
    PhysUnit = ReadByte();
    PhysSeen = true;
    StepProgress(0);
}

void TVRQPNGReadStream::ReadSignificantBitsChunk(int32_t)
{
    uint32_t bits = ReadByte();
    bits |= static_cast<uint32_t>(ReadByte()) << 8;
    bits |= static_cast<uint32_t>(ReadByte()) << 16;
    if (HasAlpha) bits |= static_cast<uint32_t>(ReadByte()) << 24;
    SignificantBits = bits;
    StepProgress(0);
}

void TVRQPNGReadStream::ReadTimeChunk(int32_t)
{
    TVRQPNGTime& t = Info.TimeStamp;
    t.Year = ReadWordBE();
    t.Month = ReadByte();
    t.Day = ReadByte();
    t.Hour = ReadByte();
    t.Minute = ReadByte();
    t.Second = ReadByte();
    if (TimeStore) *TimeStore = t;
    StepProgress(0);
}

void TVRQPNGReadStream::ReadGifChunk(int32_t)
{
    ReadBytes(Info.GifControl.Bytes, 4);
    if (GifStore) *GifStore = Info.GifControl;
    StepProgress(0);
}

void TVRQPNGReadStream::ReadTextChunk(int32_t length)
{
    // Refuse a length beyond the input before sizing anything for it.
    if (static_cast<int64_t>(Position) + length > Size) {
        Skip(length);
        return;
    }
    std::string data(static_cast<size_t>(length), '\0');
    ReadBytes(data.data(), length);
    const size_t zero = data.find('\0');
    // Every text is carried but the program's name, which a rewrite gives anew.
    if (KeepChunks && data.compare(0, zero, "Software") != 0)
        Info.KeptChunks.push_back({chunk::tEXt, data, Is(ImageDone)});
    if (zero == std::string::npos || data.compare(0, zero, "Comment") != 0) return;
    const std::string_view text = std::string_view(data).substr(zero + 1);
    if (!text.empty()) {
        if (!Comment.empty()) Comment += "\r\n";
        Comment.append(text);
        Comment += "\r\n";
    }
    StepProgress(0);
}

void TVRQPNGReadStream::ReadPrivateChunk(int32_t length)
{
    seen_ |= PrivateSeen;
    uint8_t marker[4] = {};
    ReadBytes(marker, 4);
    // The two flag bytes are read only when the chunk holds them.
    if (length >= 6 && std::memcmp(marker, "VRQ3", 4) == 0) {
        if (ReadByte() != 0) {
            ActiveKey = RowKey;
            if (OnKeyRequest) OnKeyRequest(*this, ActiveKey);
        }
        ReadByte(); // palette-as-grey flag: the writer's business
    }
}

// ---------------------------------------------------------------- image data

void TVRQPNGReadStream::ChooseFormat()
{
    const int32_t depth = BitDepth;
    switch (ColorKind) {
    case 0:
        if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16) throw EVRQPNG(pngmsg::GreyBitdepth);
        if (HasAlpha) {
            if (depth < 8) throw EVRQPNG(pngmsg::NoAlphaChannel);
            BitsPerPixel = 8;
            sourceBits_ = 2 * depth;
            conversion_ = depth == 8 ? Conversion::GreyAlpha8 : Conversion::GreyAlpha16;
        } else if (depth == 2) {
            BitsPerPixel = 4;
            sourceBits_ = 2;
            conversion_ = Conversion::Widen2To4;
        } else if (depth == 16) {
            BitsPerPixel = 8;
            sourceBits_ = 16;
            conversion_ = Conversion::HighByte;
        } else {
            BitsPerPixel = sourceBits_ = depth;
            conversion_ = Conversion::None;
        }
        break;
    case 2: {
        if (depth != 8 && depth != 16) throw EVRQPNG(pngmsg::ColourBitDepth);
        const bool wide = depth == 16;
        sourceBits_ = depth * (HasAlpha ? 4 : 3);
        BitsPerPixel = 24;
        BitDepth = depth * 3;
        const uint32_t red = SignificantBits & 0xFF, green = (SignificantBits >> 8) & 0xFF,
                       blue = (SignificantBits >> 16) & 0xFF;
        const bool high = HighColorOutput && red == 5 && blue == 5 && (green == 5 || green == 6);
        if (high) {
            BitsPerPixel = 16;
            BitDepth = green == 5 ? 15 : 16;
            conversion_ = HasAlpha ? (wide ? Conversion::Rgba16To565 : Conversion::Rgba8To565)
                                   : (wide ? Conversion::Rgb16To565 : Conversion::Rgb8To565);
        } else {
            conversion_ = HasAlpha ? (wide ? Conversion::Rgba16 : Conversion::Rgba8) : (wide ? Conversion::Rgb16 : Conversion::Rgb8);
        }
        break;
    }
    case 3:
        if (depth != 1 && depth != 2 && depth != 4 && depth != 8) throw EVRQPNG(pngmsg::ColourBitDepth);
        if (depth == 2) {
            BitsPerPixel = 4;
            sourceBits_ = 2;
            conversion_ = Conversion::Widen2To4;
        } else {
            BitsPerPixel = sourceBits_ = depth;
            conversion_ = Conversion::None;
        }
        break;
    default: throw EVRQPNG(pngmsg::ErrorColorType); // not reached: the header sets a kind
    }
}

void TVRQPNGReadStream::CheckSize() const
{
    // Before any buffer is sized: both the raw rows and the bitmap must fit the picture limit
    // and 32-bit arithmetic.
    if (Width <= 0 || Height <= 0 || CheckedRowStride(Width, sourceBits_, Height) < 0 ||
        CheckedRowStride(Width, BitsPerPixel, Height) < 0)
        throw EVRQPNG(pngmsg::ErrorSize);
}

void TVRQPNGReadStream::CreateBitmap()
{
    if (ColorKind == 0 && BitsPerPixel <= 8) PaletteCount = MakeGreyPalette(GetPaletteBuffer(), BitDepth);

    if (TransparentColor == PerIndexMark) {
        int32_t zeros = 0, opaque = 0, zeroIndex = 0;
        bool partial = false;
        for (int32_t i = 0; i < 256; ++i) {
            const uint8_t a = AlphaTable[static_cast<size_t>(i)];
            if (a == 0) {
                ++zeros;
                zeroIndex = i;
            } else if (a == 255) {
                ++opaque;
            } else {
                partial = true;
                break;
            }
        }
        if (!partial && zeros == 1 && opaque == 255) {
            TransparentColor = PaletteIndexBase + zeroIndex;
        } else {
            TransparentColor = -1;
            PaletteAlpha = true;
        }
    }

    if (HeaderOnly || !Bitmap) return;
    // The base class's steps (clear, not transparent, format, size, palette), with the palette
    // set before the size so that no step repaints a full-size picture.
    Bitmap->Clear();
    Bitmap->SetTransparent(false);
    Bitmap->SetPixelFormat(PixelFormatOfBits(BitsPerPixel));
    if (PaletteBuffer()) Bitmap->SetPalette(CreatePaletteFromQuads(PaletteBuffer(), PaletteCount));
    SizeForDecoding(*Bitmap, Width, Height);

    // A 16-bit transparent colour is matched on full samples into an alpha plane; the bitmap's
    // own transparent colour could only compare high bytes.
    const bool keyPlane = wideKey_ && TransparentColor != -1 && !HasAlpha;
    if ((HasAlpha || PaletteAlpha || keyPlane) && AlphaTarget && AlphaTarget != Bitmap) {
        AlphaTarget->Clear();
        AlphaTarget->SetTransparent(false);
        AlphaTarget->SetPixelFormat(TPixelFormat::pf8bit);
        AlphaTarget->SetStorageKind(TStorageKind::skIndependent);
        TRGBQuad grey[256];
        const int32_t count = MakeGreyPalette(grey, 8);
        AlphaTarget->SetPalette(CreatePaletteFromQuads(grey, count));
        SizeForDecoding(*AlphaTarget, Bitmap->Width(), Bitmap->Height());
        alphaPlane_ = AlphaTarget;
        SampleAlpha = keyPlane;
    }
}

void TVRQPNGReadStream::ReadImageData()
{
    if (Is(ImageDone)) return;
    if (!Is(HeaderSeen)) return; // no header: nothing to decode
    ChooseFormat();
    if (HeaderOnly) {
        seen_ |= ImageDone;
        if (StopAtImageData) Stopped = true;
        return;
    }
    if (Width == 0 && Height == 0) {
        // What the writer makes of an empty picture reads back as the empty picture it was.
        Bitmap->Clear();
        seen_ |= ImageDone;
        return;
    }
    CheckSize();

    const bool adam7 = Interlace == 1;
    const int32_t passCount = adam7 ? 7 : 1;
    // Rows and raw bytes of the whole image, before anything is sized for it.
    int32_t totalRows = 0;
    int64_t rawTotal = 0;
    int32_t widestPass = 0;
    for (int32_t pass = 0; pass < passCount; ++pass) {
        const TPassGeometry& g = adam7 ? Adam7Passes[pass] : PlainPass;
        const TPassSize size = PassSize(g, Width, Height);
        if (size.Empty()) continue;
        totalRows += size.Height;
        rawTotal += size.Height * ((static_cast<int64_t>(size.Width) * sourceBits_ + 7) / 8 + 1);
        widestPass = std::max(widestPass, size.Width);
    }
    // Image data that the rest of the input could not hold even at deflate's highest ratio
    // (about 1032 to 1) cannot complete: refused before the picture is sized for it.
    cause_.clear();
    rawTotal_ = rawTotal;
    if (rawTotal / MaxInflateRatio > static_cast<int64_t>(Size) - Position + 1) {
        Cause("the image needs " + std::to_string(rawTotal) + " bytes of image data, more than the " +
              std::to_string(std::max<int64_t>(0, static_cast<int64_t>(Size) - Position)) +
              " bytes left in the file can hold");
        FailRead();
    }

    const TScopeGuard cleanup([this] {
        ReleaseImageState();
        BeginProgressPhase(0, 0, 0); // the rest goes to the chunks after the image
    });

    inflater_ = std::make_unique<Inflater>();
    inflater_->input.reset(new (std::nothrow) uint8_t[InputBufferSize]);
    if (!inflater_->input || inflateInit(&inflater_->stream) != Z_OK) throw EVRQPNG(pngmsg::ErrorZLIB);
    inflater_->initialised = true;
#if ZLIB_VERNUM >= 0x1290
    // The reader stops at the last row and never reaches zlib's checksum (the chunk loop skips
    // it), so computing the checksum would be wasted work.
    inflateValidate(&inflater_->stream, 0);
#endif

    CreateBitmap();
    keepingData_ = KeepImageData;

    // Plain rows are converted straight into the bitmap and the alpha plane; Adam7 rows go
    // through a converted row of the widest pass. The raw rows grow as data arrives (ReadRow).
    interlacedStore_ = adam7;
    const bool alphaOut = HasAlpha || SampleAlpha;
    const int64_t convertedBytes = adam7 ? BytesPerScanline(widestPass, BitsPerPixel) + 4 : 0;
    const int64_t alphaBytes = alphaOut && (adam7 || !alphaPlane_) ? widestPass : 0;
    if (convertedBytes + alphaBytes > 0) rowMemory_.reset(new uint8_t[static_cast<size_t>(convertedBytes + alphaBytes)]);
    convertedRow_ = convertedBytes > 0 ? rowMemory_.get() : nullptr;
    alphaRow_ = alphaBytes > 0 ? rowMemory_.get() + convertedBytes : nullptr;

    const int32_t width = Bitmap->Width();
    const int32_t height = Bitmap->Height();
    BeginProgressPhase(1, totalRows, 98);
    // Row addresses are taken once, before anybody else sees the bitmaps: a consumer that shares
    // their pixels (the row sink) must not make a row request copy them.
    rows_ = Bitmap->Rows();
    if (alphaPlane_) alphaRows_ = alphaPlane_->Rows();

    const int32_t bytesPerDestPixel = BitsPerPixel == 16 ? 2 : BitsPerPixel == 24 ? 3 : 1;
    const bool rowEvent = !ActiveKey.empty() && static_cast<bool>(OnDecodeRow);
    int32_t rowNumber = 0;
    // While the pipe runs, the other thread owns the input and its flags (Stopped, AtEnd); this
    // one keeps a stop asked by the progress handler aside until the pipe has stopped.
    if (Threads > 1 && rawTotal >= PipeThreshold()) {
        pipe_ = std::make_unique<TInflatePipe>();
        pipe_->Empty.resize(TInflatePipe::BlockCount);
        if (!pipe_->Thread.Start([this, rawTotal] { RunInflatePipe(rawTotal); }))
            pipe_.reset(); // no thread to be had: this one does it all
    }
    bool stopAsked = false;
    if (RowSink) RowSink->Begin(*Bitmap, alphaPlane_);
    for (int32_t pass = 0; pass < passCount; ++pass) {
        const TPassGeometry& g = adam7 ? Adam7Passes[pass] : PlainPass;
        const TPassSize size = PassSize(g, width, height);
        if (size.Empty()) continue;
        passWidth_ = size.Width;
        const int32_t rows = size.Height;
        destStart_ = g.X0 * bytesPerDestPixel;
        destStep_ = g.DX * bytesPerDestPixel;
        alphaStart_ = g.X0;
        alphaStep_ = g.DX;
        rowBytes_ = static_cast<int32_t>((static_cast<int64_t>(passWidth_) * sourceBits_ + 7) / 8 + 1);

        for (int32_t j = 0, y = g.Y0; j < rows; ++j, y += g.DY) {
            causeRow_ = adam7 ? j : y;
            causePass_ = adam7 ? pass + 1 : 0;
            // The first row of a pass has zeros above it.
            if (ReadRow(j == 0) < 0) FailRead();
            uint8_t* raw = rawRows_[current_].Data.get();
            if (rowEvent) {
                // The next row is unfiltered against this row as it was before the event.
                TRawRow& previous = rawRows_[current_ ^ 1];
                previous.Reserve(rowBytes_);
                std::memcpy(previous.Data.get(), raw, static_cast<size_t>(rowBytes_));
                OnDecodeRow(*this, raw + 1, rowBytes_ - 1, rowNumber, ActiveKey);
                StoreRow(raw + 1, y, passWidth_);
            } else {
                StoreRow(raw + 1, y, passWidth_);
                current_ ^= 1;
            }
            ++rowNumber;
            if (!adam7 && RowSink) RowSink->Stored(rowNumber);
            if (rowNumber % 4 == 2 || height < 4) {
                if (!pipe_) {
                    StepProgress(rowNumber);
                } else if (const std::optional<bool> stop = ProgressStep(rowNumber)) {
                    stopAsked = *stop;
                }
            }
            if (Stopped || stopAsked) break;
        }
        if (stopAsked || (!pipe_ && (AtEnd || Stopped))) break;
    }
    StopInflatePipe();
    if (stopAsked) Stopped = true;
    seen_ |= ImageDone;
    if (SampleAlpha) HasAlpha = true; // the picture now carries its transparency as alpha
}

void TVRQPNGReadStream::KeepData(const uint8_t* bytes, int32_t count)
{
    // Only one thread reads the input at a time (the inflating one while it runs).
    if (keepingData_ && count > 0) ImageData.insert(ImageData.end(), bytes, bytes + count);
}

void TVRQPNGReadStream::TRawRow::Free::operator()(uint8_t* p) const { std::free(p); }

void TVRQPNGReadStream::TRawRow::Reserve(int32_t bytes)
{
    if (Capacity >= bytes) return;
    // Doubling from 64 KiB: a row declared wider than its data costs no more than the data.
    const int32_t capacity = static_cast<int32_t>(std::min<int64_t>(bytes, std::max<int64_t>(65536, 2 * int64_t{Capacity})));
    void* grown = std::realloc(Data.get(), static_cast<size_t>(capacity));
    if (!grown) throw std::bad_alloc();
    (void)Data.release();
    Data.reset(static_cast<uint8_t*>(grown));
    Capacity = capacity;
}

int32_t TVRQPNGReadStream::FillInput()
{
    z_stream& zs = inflater_->stream;
    const auto endedInside = [this] {
        // Where the file ends, not where the read that met its end began.
        if (AtEnd) Cause("the file ends at byte " + std::to_string(StartPosition + Size) + " inside the image data");
        return -1;
    };
    while (chunkLeft_ <= 0) {
        // A length of 2^31 or more cannot continue the image data.
        if (chunkLeft_ < 0) {
            Cause("the image data chunk at byte " + std::to_string(FileOffset() - 8) + " declares a length of 2^31 or more");
            return -1;
        }
        Skip(4); // CRC of the finished chunk
        chunkLeft_ = static_cast<int32_t>(ReadLongBE());
        const uint32_t type = ReadLongBE();
        if (AtEnd || Stopped) return endedInside();
        if (type != chunk::IDAT) {
            std::string name;
            for (int shift = 24; shift >= 0; shift -= 8) {
                const char c = static_cast<char>(type >> shift);
                name += (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ? c : '?';
            }
            Cause("the image data stops at byte " + std::to_string(FileOffset() - 8) + " (next chunk: " + name +
                  ") after " + std::to_string(zs.total_out) + " of its " + std::to_string(rawTotal_) + " bytes");
            return -1;
        }
        // A zero-length IDAT is valid and carries nothing: go on to the next chunk.
    }
    int32_t n = static_cast<int32_t>(std::min<int64_t>(chunkLeft_, InputBufferSize));
    ReadBytes(inflater_->input.get(), n);
    if (AtEnd || Stopped) return endedInside();
    KeepData(inflater_->input.get(), n);
    chunkLeft_ -= n;
    // The image data chunks that follow join the same input (encoders cut the data into chunks
    // of 8 KiB, and zlib's costs per call add about a fifth to the inflate), as long as their
    // header is already buffered and their data is in the file; any other chunk is left alone.
    while (chunkLeft_ == 0 && n < InputBufferSize && Available >= 12) {
        const uint8_t* next = Current() + 4; // past the CRC of the finished chunk
        const uint32_t length = (uint32_t{next[0]} << 24) | (uint32_t{next[1]} << 16) | (uint32_t{next[2]} << 8) | next[3];
        const uint32_t type = (uint32_t{next[4]} << 24) | (uint32_t{next[5]} << 16) | (uint32_t{next[6]} << 8) | next[7];
        if (type != chunk::IDAT || length > 0x7FFFFFFF || static_cast<int64_t>(Position) + 12 + length > Size) break;
        Skip(4);
        chunkLeft_ = static_cast<int32_t>(ReadLongBE());
        ReadLongBE();
        const int32_t m = static_cast<int32_t>(std::min<int64_t>(chunkLeft_, InputBufferSize - n));
        if (m > 0) ReadBytes(inflater_->input.get() + n, m);
        if (AtEnd || Stopped) return endedInside();
        KeepData(inflater_->input.get() + n, m);
        n += m;
        chunkLeft_ -= m;
    }
    zs.next_in = inflater_->input.get();
    zs.avail_in = static_cast<uInt>(n);
    return 0;
}

int32_t TVRQPNGReadStream::ReadRow(bool first)
{
    Inflater& f = *inflater_;
    TRawRow& row = rawRows_[current_];
    const size_t need = static_cast<size_t>(rowBytes_);
    if (pipe_) {
        // The row's memory grows with the bytes that arrive, as below.
        for (size_t filled = 0; filled < need;) {
            row.Reserve(rowBytes_);
            const size_t room = std::min(static_cast<size_t>(row.Capacity), need);
            if (!TakeInflated(row.Data.get() + filled, room - filled)) return -1;
            filled = room;
        }
    } else if (need <= StagingSize / 4) {
        if (f.stagedEnd - f.stagedPos < need) {
            // Only what was inflated into it is read: not cleared.
            if (!f.staging) f.staging = std::make_unique_for_overwrite<uint8_t[]>(StagingSize);
            const size_t kept = f.stagedEnd - f.stagedPos;
            std::memmove(f.staging.get(), f.staging.get() + f.stagedPos, kept);
            // Never past the picture's last byte: what follows it in the stream is not read,
            // damaged or not, as the inflating thread does not read it either.
            const int64_t left = std::max<int64_t>(0, rawTotal_ - static_cast<int64_t>(f.stream.total_out));
            const size_t room = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(StagingSize - kept), left));
            const int64_t got = Inflate(f.staging.get() + kept, room, need - kept);
            if (got < 0) return -1;
            f.stagedPos = 0;
            f.stagedEnd = kept + static_cast<size_t>(got);
        }
        row.Reserve(rowBytes_);
        std::memcpy(row.Data.get(), f.staging.get() + f.stagedPos, need);
        f.stagedPos += need;
    } else {
        // Wide rows gain nothing from staging: what an earlier, narrower pass left staged is
        // taken first, the rest is inflated in place, and the row's memory grows with the data
        // that actually arrives.
        size_t filled = 0;
        while (filled < need) {
            row.Reserve(rowBytes_);
            const size_t room = std::min(static_cast<size_t>(row.Capacity), need);
            const size_t staged = std::min(room - filled, f.stagedEnd - f.stagedPos);
            if (staged > 0) {
                std::memcpy(row.Data.get() + filled, f.staging.get() + f.stagedPos, staged);
                f.stagedPos += staged;
                filled += staged;
            }
            if (filled < room) {
                if (Inflate(row.Data.get() + filled, room - filled, room - filled) < 0) return -1;
                filled = room;
            }
        }
    }
    return Unfilter(row.Data.get(), first ? nullptr : rawRows_[current_ ^ 1].Data.get()) ? 0 : -1;
}

int64_t TVRQPNGReadStream::Inflate(uint8_t* out, size_t size, size_t least)
{
    z_stream& zs = inflater_->stream;
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(size);
    for (;;) {
        const size_t got = size - zs.avail_out;
        if (zs.avail_out == 0) return static_cast<int64_t>(got);
        if (zs.avail_in == 0) {
            // Beyond what is needed only the input at hand is used: the next chunk is read only
            // for bytes that are needed, so the chunk walk stays where it would be. What zlib
            // still holds comes first: at the end of the image data there is no next chunk.
            if (got >= least) return static_cast<int64_t>(got);
            if (inflater_->ended) break; // nothing more can come
            if (!inflater_->mayHoldOutput && FillInput() != 0) return -1;
        }
        const int result = inflate(&zs, Z_NO_FLUSH);
        inflater_->mayHoldOutput = zs.avail_out == 0;
        // Nothing was held: the next round reads more input.
        if (result == Z_BUF_ERROR && zs.avail_in == 0) continue;
        // The stream's end before the bytes needed, or a dictionary request (which would never
        // make progress), ends the read like an error.
        if (result == Z_NEED_DICT) {
            Cause("the compressed image data asks for a preset dictionary");
            return -1;
        }
        if (result < 0) {
            Cause("the compressed image data is damaged after " + std::to_string(zs.total_out) + " of its " +
                  std::to_string(rawTotal_) + " bytes (zlib: " +
                  (zs.msg ? std::string(zs.msg) : "error " + std::to_string(result)) + ")");
            return -1;
        }
        if (result == Z_STREAM_END) {
            inflater_->ended = true;
            const size_t total = size - zs.avail_out;
            if (total >= least) return static_cast<int64_t>(total);
            break;
        }
    }
    Cause("the compressed image data ends after " + std::to_string(zs.total_out) + " of its " +
          std::to_string(rawTotal_) + " bytes");
    return -1;
}

void TVRQPNGReadStream::RunInflatePipe(int64_t total)
{
    TInflatePipe& p = *pipe_;
    std::exception_ptr error;
    try {
        while (total > 0) {
            TInflatePipe::TBlock block;
            {
                std::unique_lock lock(p.Mutex);
                p.Freed.wait(lock, [&p] { return p.Cancel || !p.Empty.empty(); });
                if (p.Cancel) break;
                block = std::move(p.Empty.back());
                p.Empty.pop_back();
            }
            if (!block.Data) block.Data.reset(new uint8_t[TInflatePipe::BlockBytes()]);
            block.Size = static_cast<size_t>(std::min<int64_t>(total, TInflatePipe::BlockBytes()));
            // Exactly the bytes still to come, so no chunk beyond the image data is read.
            const bool whole = Inflate(block.Data.get(), block.Size, block.Size) >= 0;
            // Damaged data still hands on what it gave, so the rows before the damage are stored
            // as one thread stores them.
            if (!whole) block.Size -= inflater_->stream.avail_out;
            total -= static_cast<int64_t>(block.Size);
            if (block.Size > 0) {
                std::lock_guard lock(p.Mutex);
                p.Full.push_back(std::move(block));
            }
            p.Filled.notify_one();
            if (!whole) break;
        }
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard lock(p.Mutex);
        p.Ended = true;
        p.Error = error;
    }
    p.Filled.notify_one();
}

bool TVRQPNGReadStream::TakeInflated(uint8_t* dest, size_t count)
{
    TInflatePipe& p = *pipe_;
    std::unique_lock lock(p.Mutex);
    while (count > 0) {
        p.Filled.wait(lock, [&p] { return !p.Full.empty() || p.Ended; });
        if (p.Full.empty()) {
            if (p.Error) std::rethrow_exception(p.Error);
            return false;
        }
        TInflatePipe::TBlock& block = p.Full.front();
        const size_t take = std::min(count, block.Size - p.FrontTaken);
        const uint8_t* from = block.Data.get() + p.FrontTaken;
        // The front block is this thread's until it is given back.
        lock.unlock();
        std::memcpy(dest, from, take);
        lock.lock();
        dest += take;
        count -= take;
        p.FrontTaken += take;
        if (p.FrontTaken == block.Size) {
            p.Empty.push_back(std::move(block));
            p.Full.pop_front();
            p.FrontTaken = 0;
            p.Freed.notify_one();
        }
    }
    return true;
}

void TVRQPNGReadStream::StopInflatePipe()
{
    if (!pipe_) return;
    {
        std::lock_guard lock(pipe_->Mutex);
        pipe_->Cancel = true;
    }
    pipe_->Freed.notify_one();
    pipe_->Thread.Join();
    pipe_.reset();
}

bool TVRQPNGReadStream::Unfilter(uint8_t* current, const uint8_t* previous)
{
    const int32_t bpp = std::max(1, (sourceBits_ + 7) / 8);
    if (UnfilterRow(current[0], current + 1, previous ? previous + 1 : nullptr, rowBytes_ - 1, bpp)) return true;
    // Rows before it came out whole, so this is where the data went wrong, whatever the
    // inflating thread ran into further on.
    Cause("invalid filter byte " + std::to_string(current[0]) + " in row " + std::to_string(causeRow_) +
              (causePass_ > 0 ? " of pass " + std::to_string(causePass_) : std::string()),
          true);
    return false;
}

void TVRQPNGReadStream::Cause(std::string text, bool first)
{
    std::lock_guard lock(causeMutex_);
    if (cause_.empty() || first) cause_ = std::move(text);
}

void TVRQPNGReadStream::FailRead()
{
    std::string message = pngmsg::ReadError;
    {
        std::lock_guard lock(causeMutex_);
        if (!cause_.empty()) message += ": " + cause_;
    }
    throw EVRQPNG(message);
}

void TVRQPNGReadStream::ConvertRow(const uint8_t* raw, int32_t pixels, uint8_t* out, uint8_t* alpha)
{
    switch (conversion_) {
    case Conversion::None: break;
    case Conversion::Widen2To4: {
        // Exactly the pixels' bytes, so that a bitmap row's padding stays as it is.
        const int32_t bytes = (pixels + 1) / 2;
        for (int32_t i = 0; i < bytes; ++i) {
            const uint8_t b = (i & 1) ? static_cast<uint8_t>(raw[i >> 1] << 4) : raw[i >> 1];
            out[i] = static_cast<uint8_t>(((b >> 6) << 4) | ((b >> 4) & 3));
        }
        break;
    }
    case Conversion::HighByte:
        for (int32_t i = 0; i < pixels; ++i) out[i] = raw[2 * i];
        break;
    case Conversion::GreyAlpha8:
        for (int32_t i = 0; i < pixels; ++i) {
            out[i] = raw[2 * i];
            alpha[i] = static_cast<uint8_t>(255 - raw[2 * i + 1]);
        }
        break;
    case Conversion::GreyAlpha16:
        for (int32_t i = 0; i < pixels; ++i) {
            out[i] = raw[4 * i];
            alpha[i] = static_cast<uint8_t>(255 - raw[4 * i + 2]);
        }
        break;
    case Conversion::Rgb8: ConvertRgb<1, false, false>(raw, out, alpha, pixels); break;
    case Conversion::Rgb16: ConvertRgb<2, false, false>(raw, out, alpha, pixels); break;
    case Conversion::Rgba8: ConvertRgb<1, true, false>(raw, out, alpha, pixels); break;
    case Conversion::Rgba16: ConvertRgb<2, true, false>(raw, out, alpha, pixels); break;
    case Conversion::Rgb8To565: ConvertRgb<1, false, true>(raw, out, alpha, pixels); break;
    case Conversion::Rgb16To565: ConvertRgb<2, false, true>(raw, out, alpha, pixels); break;
    case Conversion::Rgba8To565: ConvertRgb<1, true, true>(raw, out, alpha, pixels); break;
    case Conversion::Rgba16To565: ConvertRgb<2, true, true>(raw, out, alpha, pixels); break;
    }
    if (SampleAlpha) MatchSampleKey(raw, pixels, alpha);
}

void TVRQPNGReadStream::MatchSampleKey(const uint8_t* raw, int32_t pixels, uint8_t* alpha) const
{
    const size_t bytes = ColorKind == 0 ? 2 : 6;
    for (int32_t i = 0; i < pixels; ++i, raw += bytes)
        alpha[i] = std::memcmp(raw, sampleKey_.data(), bytes) == 0 ? 255 : 0;
}

void TVRQPNGReadStream::StoreRow(const uint8_t* raw, int32_t y, int32_t pixels)
{
    uint8_t* dest = rows_.At(y);
    uint8_t* alpha = alphaPlane_ ? alphaRows_.At(y) : nullptr;
    if (!interlacedStore_) {
        // Straight into the bitmap row: one block copy of the pixel bytes when no conversion is
        // needed (the row's padding stays as the bitmap has it).
        if (conversion_ == Conversion::None)
            std::memcpy(dest, raw, static_cast<size_t>((static_cast<int64_t>(pixels) * BitsPerPixel + 7) / 8));
        else
            ConvertRow(raw, pixels, dest, alpha ? alpha : alphaRow_);
        return;
    }
    const uint8_t* src = raw;
    if (conversion_ != Conversion::None) {
        ConvertRow(raw, pixels, convertedRow_, alphaRow_);
        src = convertedRow_;
    }
    switch (BitsPerPixel) {
    case 1:
        for (int32_t i = 0, x = destStart_; i < pixels; ++i, x += destStep_) PutPackedIndex(dest, 1, x, GetPackedIndex(src, 1, i));
        break;
    case 4:
        for (int32_t i = 0, x = destStart_; i < pixels; ++i, x += destStep_) PutPackedIndex(dest, 4, x, GetPackedIndex(src, 4, i));
        break;
    case 8:
        for (int32_t i = 0, x = destStart_; i < pixels; ++i, x += destStep_) dest[x] = src[i];
        break;
    case 16:
        for (int32_t i = 0, p = destStart_; i < pixels; ++i, p += destStep_) {
            dest[p] = src[2 * i];
            dest[p + 1] = src[2 * i + 1];
        }
        break;
    default: // 24
        for (int32_t i = 0, p = destStart_; i < pixels; ++i, p += destStep_) {
            dest[p] = src[3 * i];
            dest[p + 1] = src[3 * i + 1];
            dest[p + 2] = src[3 * i + 2];
        }
        break;
    }
    // Only rows that carry alpha have it converted; a palette's alpha per index fills the plane
    // after the image data.
    if (alpha && alphaRow_)
        for (int32_t i = 0, p = alphaStart_; i < pixels; ++i, p += alphaStep_) alpha[p] = alphaRow_[i];
}

void TVRQPNGReadStream::FillPaletteAlpha()
{
    const int32_t bits = BitsPerPixel;
    if (!Bitmap || (bits != 1 && bits != 4 && bits != 8)) return;
    const int32_t width = std::min(Bitmap->Width(), alphaPlane_->Width());
    const int32_t height = std::min(Bitmap->Height(), alphaPlane_->Height());
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* src = Bitmap->ConstScanLine(y);
        uint8_t* dest = alphaPlane_->ScanLine(y);
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t index = GetPackedIndex(src, bits, x);
            dest[x] = static_cast<uint8_t>(255 - AlphaTable[index]);
        }
    }
    HasAlpha = true;
}

} // namespace tintabrel
