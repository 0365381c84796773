#include "png/VRQPNGReadStream.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "png/SFunc.h"

namespace tintabrel {

namespace {

constexpr int32_t InputBufferSize = 32768;
// TransparentColor while a per-index alpha table waits to be resolved at the image data.
constexpr TColor PerIndexMark = 0x01FFFFFF;
constexpr TColor PaletteIndexBase = 0x01000000;

struct TPassGeometry {
    int32_t x0, y0, dx, dy;
};
constexpr TPassGeometry Adam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                    {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
constexpr TPassGeometry Plain = {0, 0, 1, 1};

int32_t PassCells(int32_t size, int32_t start, int32_t step) { return size > start ? (size - start + step - 1) / step : 0; }

// ---- unfiltering; bpp is a constant for the common pixel sizes so the loops unroll

template <int Bpp>
void UnfilterSub(uint8_t* row, int32_t n, int32_t bpp)
{
    const int32_t b = Bpp ? Bpp : bpp;
    for (int32_t i = b; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - b]);
}

void UnfilterUp(uint8_t* row, const uint8_t* up, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + up[i]);
}

template <int Bpp>
void UnfilterAverage(uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp)
{
    const int32_t b = std::min(Bpp ? Bpp : bpp, n);
    for (int32_t i = 0; i < b; ++i) row[i] = static_cast<uint8_t>(row[i] + (up[i] >> 1));
    for (int32_t i = b; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + ((row[i - b] + up[i]) >> 1));
}

inline uint8_t PaethPredictor(int a, int b, int c)
{
    // p = a + b - c; the distances to a, b and c without forming p.
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

template <int Bpp>
void UnfilterPaeth(uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp)
{
    const int32_t b = std::min(Bpp ? Bpp : bpp, n);
    // With left and up-left both 0 the predictor is always up.
    for (int32_t i = 0; i < b; ++i) row[i] = static_cast<uint8_t>(row[i] + up[i]);
    for (int32_t i = b; i < n; ++i)
        row[i] = static_cast<uint8_t>(row[i] + PaethPredictor(row[i - b], up[i], up[i - b]));
}

template <int Bpp>
bool UnfilterRow(uint8_t filter, uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp)
{
    switch (filter) {
    case 0: return true;
    case 1: UnfilterSub<Bpp>(row, n, bpp); return true;
    case 2: UnfilterUp(row, up, n); return true;
    case 3: UnfilterAverage<Bpp>(row, up, n, bpp); return true;
    case 4: UnfilterPaeth<Bpp>(row, up, n, bpp); return true;
    default: return false;
    }
}

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

    ~Inflater()
    {
        if (initialised) inflateEnd(&stream);
    }
};

TVRQPNGReadStream::TVRQPNGReadStream()
{
    CheckSignature = true;
    AlphaTable.fill(255);
}

TVRQPNGReadStream::~TVRQPNGReadStream() = default;

void TVRQPNGReadStream::ReleaseImageState()
{
    inflater_.reset();
    rowMemory_.reset();
    currentRow_ = previousRow_ = convertedRow_ = alphaRow_ = nullptr;
    storeSource_ = nullptr;
}

// ---------------------------------------------------------------- frame

void TVRQPNGReadStream::ReadImage()
{
    StartProgress();
    BeginProgressPhase(0, 0, 30);

    alphaPlane_ = nullptr;
    HasAlpha = IsGray = PaletteAlpha = false;
    Interlace = 0;
    ColorKind = -1;
    ActiveKey.clear();
    BackgroundColor = TransparentColor = -1;
    SignificantBits = 0;
    Gamma = 0;
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

    struct Release {
        TVRQPNGReadStream& self;
        ~Release() { self.ReleaseImageState(); }
    } release{*this};

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
        const bool afterHeader = Is(HeaderSeen);
        const bool beforeImage = !Is(ImageDone);
        const bool beforePalette = !Is(PaletteSeen);
        const bool early = afterHeader && beforeImage; // where the ancillary chunks before the image count
        switch (type) {
        case chunk::IHDR: ReadHeaderChunk(); break;
        case chunk::PLTE:
            if (early && beforePalette && (ColorKind == 2 || ColorKind == 3)) ReadPaletteChunk();
            break;
        case chunk::tRNS:
            if (early && !HasAlpha) ReadTransparencyChunk();
            break;
        case chunk::bKGD:
            if (afterHeader) ReadBackgroundChunk();
            break;
        case chunk::gAMA:
            if (early && beforePalette) {
                Gamma = static_cast<double>(static_cast<long double>(ReadLongBE()) / 100000.0L);
                chunkLeft_ -= 4;
                StepProgress(0);
            }
            break;
        case chunk::cHRM:
            if (early && beforePalette && chunkLeft_ == 32 && ChromaStore) {
                for (uint32_t& v : ChromaStore->Values) v = ReadLongBE();
                chunkLeft_ -= 32;
                StepProgress(0);
            }
            break;
        case chunk::pHYs:
            if (early) {
                PhysX = static_cast<int32_t>(ReadLongBE());
                PhysY = static_cast<int32_t>(ReadLongBE());
                PhysUnit = ReadByte();
                chunkLeft_ -= 9;
                StepProgress(0);
            }
            break;
        case chunk::sBIT:
            if (early && beforePalette && (ColorKind == 2 || ColorKind == 3)) {
                uint32_t bits = ReadByte();
                bits |= static_cast<uint32_t>(ReadByte()) << 8;
                bits |= static_cast<uint32_t>(ReadByte()) << 16;
                chunkLeft_ -= 3;
                if (HasAlpha) {
                    bits |= static_cast<uint32_t>(ReadByte()) << 24;
                    chunkLeft_ -= 1;
                }
                SignificantBits = bits;
                StepProgress(0);
            }
            break;
        case chunk::tIME:
            if (chunkLeft_ == 7 && TimeStore) {
                TimeStore->Year = ReadWordBE();
                TimeStore->Month = ReadByte();
                TimeStore->Day = ReadByte();
                TimeStore->Hour = ReadByte();
                TimeStore->Minute = ReadByte();
                TimeStore->Second = ReadByte();
                chunkLeft_ -= 7;
                StepProgress(0);
            }
            break;
        case chunk::tEXt:
            if (chunkLeft_ > 0) ReadTextChunk();
            break;
        case chunk::gIFg:
            if (early && beforePalette && chunkLeft_ == 4 && GifStore) {
                ReadBytes(GifStore->Bytes, 4);
                chunkLeft_ -= 4;
                StepProgress(0);
            }
            break;
        case chunk::vpNG:
            if (early && !Is(PrivateSeen)) ReadPrivateChunk();
            break;
        case chunk::IEND: seen_ |= EndSeen; break;
        case chunk::IDAT: ReadImageData(); break;
        default: break;
        }
        if (chunkLeft_ > 0) Skip(static_cast<int32_t>(chunkLeft_));
        ReadLongBE(); // CRC, not checked
    }
}

void TVRQPNGReadStream::ReadHeaderChunk()
{
    if (Is(HeaderSeen)) throw EVRQPNG(pngmsg::TwoIHDR);
    Width = static_cast<int32_t>(ReadLongBE());
    Height = static_cast<int32_t>(ReadLongBE());
    BitDepth = ReadByte();
    int32_t colourType = ReadByte() & 7;
    if (colourType == 1 || colourType == 5 || colourType == 7) throw EVRQPNG(pngmsg::ErrorColorType);
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
    seen_ |= HeaderSeen;
    StepProgress(0);
    chunkLeft_ -= 13;
}

void TVRQPNGReadStream::ReadPaletteChunk()
{
    const int32_t n = static_cast<int32_t>(std::clamp<int64_t>(chunkLeft_ / 3, 0, 256));
    uint8_t entries[768] = {};
    if (n > 0) ReadBytes(entries, 3 * n);
    TRGBQuad* palette = GetPaletteBuffer();
    for (int32_t i = 0; i < n; ++i) palette[i] = TRGBQuad{entries[3 * i + 2], entries[3 * i + 1], entries[3 * i], 0};
    chunkLeft_ -= 3 * n;
    PaletteCount = n;
    seen_ |= PaletteSeen;
    StepProgress(0);
}

TColor TVRQPNGReadStream::ReadSampleColor()
{
    // Samples beyond the depth's range are cut to it, so a damaged chunk cannot produce a value
    // outside the colour range (such as the palette-index forms).
    if (ColorKind == 0) {
        const uint16_t s = ReadWordBE();
        int32_t level;
        switch (BitDepth) {
        case 16: level = s >> 8; break;
        case 1: level = (s & 1) * 255; break;
        case 2: level = (s & 3) * 85; break;
        case 4: level = (s & 15) * 17; break;
        default: level = s & 0xFF; break;
        }
        chunkLeft_ -= 2;
        return level * 0x010101;
    }
    const uint16_t r = ReadWordBE();
    const uint16_t g = ReadWordBE();
    const uint16_t b = ReadWordBE();
    chunkLeft_ -= 6;
    const int shift = BitDepth == 16 ? 8 : 0;
    return ((r >> shift) & 0xFF) | (((g >> shift) & 0xFF) << 8) | (((b >> shift) & 0xFF) << 16);
}

void TVRQPNGReadStream::ReadTransparencyChunk()
{
    if (ColorKind == 3) {
        // Without a palette there is nothing to give alpha to; the chunk is skipped.
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(chunkLeft_, PaletteCount));
        if (n <= 0) return;
        ReadBytes(AlphaTable.data(), n);
        chunkLeft_ -= n;
        TransparentColor = PerIndexMark;
    } else {
        TransparentColor = ReadSampleColor();
    }
    StepProgress(0);
}

void TVRQPNGReadStream::ReadBackgroundChunk()
{
    if (ColorKind == 3) {
        BackgroundColor = PaletteIndexBase + ReadByte();
        chunkLeft_ -= 1;
    } else {
        BackgroundColor = ReadSampleColor();
    }
    StepProgress(0);
}

void TVRQPNGReadStream::ReadTextChunk()
{
    // Refuse a length beyond the input before sizing anything for it.
    if (static_cast<int64_t>(Position) + chunkLeft_ > Size) {
        Skip(static_cast<int32_t>(chunkLeft_));
        chunkLeft_ = 0;
        return;
    }
    std::string data(static_cast<size_t>(chunkLeft_), '\0');
    ReadBytes(data.data(), static_cast<int32_t>(chunkLeft_));
    chunkLeft_ = 0;
    const size_t zero = data.find('\0');
    if (zero == std::string::npos || data.compare(0, zero, "Comment") != 0) return;
    const std::string_view text = std::string_view(data).substr(zero + 1);
    if (!text.empty()) {
        if (!Comment.empty()) Comment += "\r\n";
        Comment.append(text);
        Comment += "\r\n";
    }
    StepProgress(0);
}

void TVRQPNGReadStream::ReadPrivateChunk()
{
    seen_ |= PrivateSeen;
    uint8_t marker[4] = {};
    ReadBytes(marker, 4);
    chunkLeft_ -= 4;
    if (chunkLeft_ > 0 && std::memcmp(marker, "VRQ3", 4) == 0) {
        if (ReadByte() != 0) {
            ActiveKey = RowKey;
            if (OnKeyRequest) OnKeyRequest(*this, ActiveKey);
        }
        ReadByte(); // palette-as-grey flag: the writer's business
        chunkLeft_ -= 2;
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

    if ((HasAlpha || PaletteAlpha) && AlphaTarget && AlphaTarget != Bitmap) {
        AlphaTarget->Clear();
        AlphaTarget->SetTransparent(false);
        AlphaTarget->SetPixelFormat(TPixelFormat::pf8bit);
        AlphaTarget->SetStorageKind(TStorageKind::skIndependent);
        TRGBQuad grey[256];
        const int32_t count = MakeGreyPalette(grey, 8);
        AlphaTarget->SetPalette(CreatePaletteFromQuads(grey, count));
        SizeForDecoding(*AlphaTarget, Bitmap->Width(), Bitmap->Height());
        alphaPlane_ = AlphaTarget;
    }
}

void TVRQPNGReadStream::ReadImageData()
{
    if (Is(ImageDone)) return;
    if (!Is(HeaderSeen)) return; // no header: nothing to decode
    ChooseFormat();
    if (HeaderOnly) {
        seen_ |= ImageDone;
        return;
    }
    CheckSize();

    struct Cleanup {
        TVRQPNGReadStream& self;
        ~Cleanup()
        {
            self.ReleaseImageState();
            self.BeginProgressPhase(0, 0, 0); // the rest goes to the chunks after the image
        }
    } cleanup{*this};

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

    // One block for all row buffers; CheckSize bounds every term.
    const int64_t rawBytes = static_cast<int64_t>(BytesPerScanline(Width, sourceBits_)) + 4;
    outRowBytes_ = BytesPerScanline(Width, BitsPerPixel);
    const int64_t convertedBytes = static_cast<int64_t>(outRowBytes_) + 4;
    const int64_t alphaBytes = BytesPerScanline(Width, 8);
    rowMemory_.reset(new uint8_t[static_cast<size_t>(2 * rawBytes + convertedBytes + alphaBytes)]);
    currentRow_ = rowMemory_.get();
    previousRow_ = currentRow_ + rawBytes;
    convertedRow_ = previousRow_ + rawBytes;
    alphaRow_ = convertedRow_ + convertedBytes;

    const int32_t width = Bitmap->Width();
    const int32_t height = Bitmap->Height();
    const bool adam7 = Interlace == 1;
    const int32_t passCount = adam7 ? 7 : 1;

    int32_t totalRows = height;
    if (adam7) {
        totalRows = 0;
        for (const TPassGeometry& p : Adam7)
            if (PassCells(width, p.x0, p.dx) > 0) totalRows += PassCells(height, p.y0, p.dy);
    }
    BeginProgressPhase(1, totalRows, 98);

    interlacedStore_ = adam7;
    const int32_t bytesPerDestPixel = BitsPerPixel == 16 ? 2 : BitsPerPixel == 24 ? 3 : 1;
    const bool rowEvent = !ActiveKey.empty() && static_cast<bool>(OnDecodeRow);
    int32_t rowNumber = 0;
    for (int32_t pass = 0; pass < passCount; ++pass) {
        const TPassGeometry& g = adam7 ? Adam7[pass] : Plain;
        passWidth_ = PassCells(width, g.x0, g.dx);
        const int32_t rows = PassCells(height, g.y0, g.dy);
        if (passWidth_ == 0 || rows == 0) continue;
        destStart_ = g.x0 * bytesPerDestPixel;
        destStep_ = g.dx * bytesPerDestPixel;
        alphaStart_ = g.x0;
        alphaStep_ = g.dx;
        rowBytes_ = static_cast<int32_t>((static_cast<int64_t>(passWidth_) * sourceBits_ + 7) / 8 + 1);
        std::memset(previousRow_, 0, static_cast<size_t>(rowBytes_));

        for (int32_t j = 0, y = g.y0; j < rows; ++j, y += g.dy) {
            if (ReadRow() < 0) throw EVRQPNG(pngmsg::ReadError);
            if (rowEvent) {
                // The next row is unfiltered against this row as it was before the event.
                std::memcpy(previousRow_, currentRow_, static_cast<size_t>(rowBytes_));
                OnDecodeRow(*this, currentRow_ + 1, rowBytes_ - 1, rowNumber, ActiveKey);
                ConvertRow(currentRow_ + 1, passWidth_);
                StoreRow(y, passWidth_);
            } else {
                ConvertRow(currentRow_ + 1, passWidth_);
                StoreRow(y, passWidth_);
                std::swap(currentRow_, previousRow_);
            }
            ++rowNumber;
            if (rowNumber % 4 == 2 || height < 4) StepProgress(rowNumber);
            if (Stopped) break;
        }
        if (AtEnd || Stopped) break;
    }
    seen_ |= ImageDone;
}

int32_t TVRQPNGReadStream::FillInput()
{
    z_stream& zs = inflater_->stream;
    while (chunkLeft_ <= 0) {
        // A length of 2^31 or more cannot continue the image data.
        if (chunkLeft_ < 0) return -1;
        Skip(4); // CRC of the finished chunk
        chunkLeft_ = static_cast<int32_t>(ReadLongBE());
        const uint32_t type = ReadLongBE();
        if (AtEnd || Stopped || type != chunk::IDAT) return -1;
        // A zero-length IDAT is valid and carries nothing: go on to the next chunk.
    }
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(chunkLeft_, InputBufferSize));
    ReadBytes(inflater_->input.get(), n);
    if (AtEnd || Stopped) return -1;
    zs.next_in = inflater_->input.get();
    zs.avail_in = static_cast<uInt>(n);
    chunkLeft_ -= n;
    return 0;
}

int32_t TVRQPNGReadStream::ReadRow()
{
    z_stream& zs = inflater_->stream;
    zs.next_out = currentRow_;
    zs.avail_out = static_cast<uInt>(rowBytes_);
    while (zs.avail_out > 0) {
        if (zs.avail_in == 0 && FillInput() != 0) return -1;
        const int result = inflate(&zs, Z_NO_FLUSH);
        // The stream's end with the row still incomplete, or a dictionary request (which would
        // never make progress), ends the read like an error.
        if (result < 0 || result == Z_NEED_DICT) return -1;
        if (result == Z_STREAM_END && zs.avail_out > 0) return -1;
    }
    return Unfilter() ? 0 : -1;
}

bool TVRQPNGReadStream::Unfilter()
{
    const int32_t bpp = std::max(1, (sourceBits_ + 7) / 8);
    const uint8_t filter = currentRow_[0];
    uint8_t* row = currentRow_ + 1;
    const uint8_t* up = previousRow_ + 1;
    const int32_t n = rowBytes_ - 1;
    switch (bpp) {
    case 1: return UnfilterRow<1>(filter, row, up, n, bpp);
    case 2: return UnfilterRow<2>(filter, row, up, n, bpp);
    case 3: return UnfilterRow<3>(filter, row, up, n, bpp);
    case 4: return UnfilterRow<4>(filter, row, up, n, bpp);
    case 6: return UnfilterRow<6>(filter, row, up, n, bpp);
    case 8: return UnfilterRow<8>(filter, row, up, n, bpp);
    default: return UnfilterRow<0>(filter, row, up, n, bpp);
    }
}

void TVRQPNGReadStream::ConvertRow(const uint8_t* raw, int32_t pixels)
{
    uint8_t* out = convertedRow_;
    storeSource_ = out;
    switch (conversion_) {
    case Conversion::None: storeSource_ = raw; break;
    case Conversion::Widen2To4: {
        const int32_t bytes = (pixels + 3) / 4;
        for (int32_t i = 0; i < bytes; ++i) {
            const uint8_t b = raw[i];
            out[2 * i] = static_cast<uint8_t>(((b >> 6) << 4) | ((b >> 4) & 3));
            out[2 * i + 1] = static_cast<uint8_t>((((b >> 2) & 3) << 4) | (b & 3));
        }
        break;
    }
    case Conversion::HighByte:
        for (int32_t i = 0; i < pixels; ++i) out[i] = raw[2 * i];
        break;
    case Conversion::GreyAlpha8:
        for (int32_t i = 0; i < pixels; ++i) {
            out[i] = raw[2 * i];
            alphaRow_[i] = static_cast<uint8_t>(255 - raw[2 * i + 1]);
        }
        break;
    case Conversion::GreyAlpha16:
        for (int32_t i = 0; i < pixels; ++i) {
            out[i] = raw[4 * i];
            alphaRow_[i] = static_cast<uint8_t>(255 - raw[4 * i + 2]);
        }
        break;
    case Conversion::Rgb8: ConvertRgb<1, false, false>(raw, out, alphaRow_, pixels); break;
    case Conversion::Rgb16: ConvertRgb<2, false, false>(raw, out, alphaRow_, pixels); break;
    case Conversion::Rgba8: ConvertRgb<1, true, false>(raw, out, alphaRow_, pixels); break;
    case Conversion::Rgba16: ConvertRgb<2, true, false>(raw, out, alphaRow_, pixels); break;
    case Conversion::Rgb8To565: ConvertRgb<1, false, true>(raw, out, alphaRow_, pixels); break;
    case Conversion::Rgb16To565: ConvertRgb<2, false, true>(raw, out, alphaRow_, pixels); break;
    case Conversion::Rgba8To565: ConvertRgb<1, true, true>(raw, out, alphaRow_, pixels); break;
    case Conversion::Rgba16To565: ConvertRgb<2, true, true>(raw, out, alphaRow_, pixels); break;
    }
}

void TVRQPNGReadStream::StoreRow(int32_t y, int32_t pixels)
{
    uint8_t* dest = Bitmap->ScanLine(y);
    const uint8_t* src = storeSource_;
    uint8_t* alpha = alphaPlane_ ? alphaPlane_->ScanLine(y) : nullptr;
    if (!interlacedStore_) {
        // One block copy of the pixel bytes (the row's padding stays as the bitmap has it).
        std::memcpy(dest, src, static_cast<size_t>((static_cast<int64_t>(pixels) * BitsPerPixel + 7) / 8));
        if (alpha) std::memcpy(alpha, alphaRow_, static_cast<size_t>(pixels));
        return;
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
    if (alpha)
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
