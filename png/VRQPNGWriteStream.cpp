#include "png/VRQPNGWriteStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/ScopeGuard.h"
#include "png/SFunc.h"
#include "image/PixelCodec.h"

namespace tintabrel {

namespace {


constexpr char Software[] = "VRQPNG ver 3.4";
constexpr uint32_t MaxChunkLength = 0x7FFFFFFF;

void PutLongBE(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void PutWordBE(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline uint8_t Grey(uint32_t r, uint32_t g, uint32_t b) { return static_cast<uint8_t>((77 * r + 150 * g + 29 * b) >> 8); }

bool NamesIndex(TColor color) { return (static_cast<uint32_t>(color) & 0x01000000u) != 0; }

bool StandardMasks565(const TBitmap& bitmap)
{
    uint32_t m[3];
    EffectiveMasks(*bitmap.Image(), m);
    return m[0] == 0xF800 && m[1] == 0x07E0 && m[2] == 0x001F;
}

} // namespace

TVRQPNGWriteStream::TVRQPNGWriteStream()
{
    deflate_.Owner = this;
    deflate_.Flush = [this](TDeflateContext& context) { return FlushIDAT(context); };
}

TVRQPNGWriteStream::~TVRQPNGWriteStream() = default;

void TVRQPNGWriteStream::SetIDATSize(int32_t size)
{
    if (size < MinIDATSize || size > MaxIDATSize) throw EVRQPNG(pngmsg::IDATSize);
    idatSize_ = size;
}

int32_t TVRQPNGWriteStream::GrayLevelOf(TColor color, int32_t depth)
{
    const uint32_t c = static_cast<uint32_t>(color);
    const int32_t grey = Grey(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
    if (depth == 1) return grey >= 128 ? 1 : 0;
    if (depth == 4) return grey / 16;
    return grey;
}

int32_t TVRQPNGWriteStream::RowsToWrite(int32_t interlace, int32_t h)
{
    if (interlace == 0) return h;
    int32_t rows = 0;
    for (const TPassGeometry& pass : Adam7Passes) rows += PassCells(h, pass.Y0, pass.DY);
    return rows;
}

void TVRQPNGWriteStream::WriteChunk(uint32_t type, const void* data, uint32_t length)
{
    uint8_t typeBytes[4];
    PutLongBE(typeBytes, type);
    WriteLongBE(length);
    WriteLongBE(type);
    uLong crc = crc32(0L, typeBytes, 4);
    if (data && length > 0) {
        WriteBytes(data, static_cast<int32_t>(length));
        crc = crc32(crc, static_cast<const Bytef*>(data), static_cast<uInt>(length));
    }
    WriteLongBE(static_cast<uint32_t>(crc));
}

// ---------------------------------------------------------------- chunks and header

void TVRQPNGWriteStream::WriteImage()
{
    // The deflate state and the row memory go on every exit.
    const TScopeGuard release([this] {
        DeflateRelease(deflate_);
        FreeRowBuffers();
        converted_.reset();
        source_ = nullptr;
    });

    EffectiveAlpha = nullptr;
    AlphaOutput = false;
    GrayOutput = false;

    const TBitmap& bitmap = *Bitmap;
    source_ = &bitmap;
    const TPixelFormat format = bitmap.PixelFormat();
    SourceBits = BitsOfPixelFormat(format);
    layoutBits_ = SourceBits;
    if (format == TPixelFormat::pfDevice) {
        // The device form holds its rows at its own depth; read them as they are stored.
        layoutBits_ = bitmap.Image()->Header.biBitCount == 32 ? 32 : 24;
    } else if (format == TPixelFormat::pfCustom || (format == TPixelFormat::pf16bit && !StandardMasks565(bitmap))) {
        // Layouts the row conversion cannot read are written from an exact 24-bit copy.
        AwaitRows(bitmap.Height());
        converted_ = std::make_unique<TBitmap>();
        converted_->Assign(bitmap);
        converted_->SetPixelFormat(TPixelFormat::pf24bit);
        source_ = converted_.get();
        SourceBits = layoutBits_ = 24;
    }
    OutputBits = (SourceBits == 15 || SourceBits == 16) ? 24 : SourceBits;

    if (AlphaBitmap && AlphaBitmap != &bitmap && AlphaPlaneFits(bitmap, *AlphaBitmap))
        EffectiveAlpha = AlphaBitmap;

    StartProgress();
    BeginProgressPhase(10, 30);

    WriteBytes(PngSignature, sizeof PngSignature);
    WriteHeaderChunk();
    WriteLeadingChunks();
    WritePaletteChunk();
    if (!Strip) WriteBackgroundChunk();
    WriteTransparencyChunk();
    if (!Strip) WritePhysChunk();
    WriteKeptChunks(false, false);
    StepProgress(10);

    WriteImageData();
    WriteKeptChunks(false, true);
    WriteChunk(chunk::IEND, nullptr, 0);
    FinishProgress();
}

void TVRQPNGWriteStream::WriteLeadingChunks()
{
    if (Strip) return;
    WriteTimeChunk();
    WriteTextChunk("Comment", Comment);
    WriteTextChunk("Software", Software);
    WritePrivateChunk();
    WriteGifChunk();
    WriteGammaChunk();
    WriteChromaChunk();
    WriteSignificantBitsChunk();
    WriteKeptChunks(true, false);
}

void TVRQPNGWriteStream::WriteKeptChunks(bool colourSpace, bool afterImage)
{
    if (Strip) return;
    for (const TKeptChunk& kept : Info.KeptChunks) {
        const bool space = kept.Type == chunk::sRGB || kept.Type == chunk::iCCP;
        if (space != colourSpace || (!space && kept.AfterImage != afterImage)) continue;
        if (kept.Data.size() > MaxChunkLength) continue;
        WriteChunk(kept.Type, kept.Data.data(), static_cast<uint32_t>(kept.Data.size()));
    }
}

void TVRQPNGWriteStream::TakeChunkSettings(const TPngChunkSettings& settings)
{
    UseCurrentTime = settings.Time == TPngTimeSource::Now;
    Clock = settings.Clock;
    fixedTime_ = settings.FixedTime;
    TimeStamp = settings.Time == TPngTimeSource::Fixed ? &fixedTime_ : nullptr;
    Strip = settings.Strip;
}

void TVRQPNGWriteStream::WriteRasterFile(TStream& target, const TPngRaster& raster, const std::vector<uint8_t>& zlibData)
{
    // The settings WriteImage would derive from a bitmap, as far as the leading chunks read them.
    SourceBits = OutputBits = raster.PixelBits();
    GrayOutput = raster.ColourType == 0 || raster.ColourType == 4;
    AlphaOutput = raster.ColourType == 4 || raster.ColourType == 6;
    PixelBits = raster.PixelBits();
    BeginWrite(target);
    WriteBytes(PngSignature, sizeof PngSignature);
    uint8_t header[13];
    PutLongBE(header, static_cast<uint32_t>(raster.Width));
    PutLongBE(header + 4, static_cast<uint32_t>(raster.Height));
    header[8] = raster.BitDepth;
    header[9] = raster.ColourType;
    header[10] = header[11] = header[12] = 0;
    WriteChunk(chunk::IHDR, header, sizeof header);
    WriteLeadingChunks();
    if (!raster.Palette.empty())
        WriteChunk(chunk::PLTE, raster.Palette.data(), static_cast<uint32_t>(raster.Palette.size()));
    if (!Strip) WriteRasterBackground(raster);
    if (!raster.Transparency.empty())
        WriteChunk(chunk::tRNS, raster.Transparency.data(), static_cast<uint32_t>(raster.Transparency.size()));
    if (!Strip) WritePhysChunk();
    WriteKeptChunks(false, false);
    // Fewer chunks are fewer bytes: one IDAT as long as a chunk may be.
    for (size_t pos = 0; pos < zlibData.size(); pos += MaxChunkLength) {
        const size_t n = std::min<size_t>(MaxChunkLength, zlibData.size() - pos);
        WriteChunk(chunk::IDAT, zlibData.data() + pos, static_cast<uint32_t>(n));
    }
    WriteKeptChunks(false, true);
    WriteChunk(chunk::IEND, nullptr, 0);
    FlushPending();
    if (Stopped) throw EVRQPNG(pngmsg::WriteError);
}

void TVRQPNGWriteStream::WriteHeaderChunk()
{
    uint8_t colourType;
    uint8_t depth;
    if (Grayscale) {
        GrayOutput = true;
        if (OutputBits > 8) OutputBits = 8;
        depth = static_cast<uint8_t>(OutputBits);
        if (EffectiveAlpha && depth == 8) {
            colourType = 4;
            AlphaOutput = true;
            PixelBits = 16;
        } else {
            colourType = 0;
            PixelBits = depth;
        }
    } else if (OutputBits <= 8) {
        colourType = 3;
        depth = static_cast<uint8_t>(OutputBits);
        PixelBits = OutputBits;
    } else {
        depth = 8;
        if (EffectiveAlpha) {
            colourType = 6;
            AlphaOutput = true;
            PixelBits = 32;
        } else {
            colourType = 2;
            PixelBits = 24;
        }
    }
    const int32_t width = source_->Width();
    const int32_t height = source_->Height();
    RowBytes = BytesPerScanline(width, OutputBits);
    if (RowBytes < 0) throw EVRQPNG(pngmsg::WriteError);

    uint8_t data[13];
    PutLongBE(data, static_cast<uint32_t>(width));
    PutLongBE(data + 4, static_cast<uint32_t>(height));
    data[8] = depth;
    data[9] = colourType;
    data[10] = 0;
    data[11] = 0;
    // Only methods 0 and 1 exist; any other setting is written as no interlace.
    data[12] = Interlaced() ? 1 : 0;
    WriteChunk(chunk::IHDR, data, sizeof data);
}

void TVRQPNGWriteStream::WriteTimeChunk()
{
    TVRQPNGTime t;
    if (UseCurrentTime)
        t = Clock ? Clock() : CurrentUTCTime();
    else if (TimeStamp)
        t = *TimeStamp;
    else
        return;
    if (t.Year == 0 || t.Month < 1 || t.Month > 12 || t.Day < 1 || t.Day > 31 || t.Hour > 23 || t.Minute > 59 ||
        t.Second > 60)
        return;
    uint8_t data[7];
    PutWordBE(data, t.Year);
    data[2] = t.Month;
    data[3] = t.Day;
    data[4] = t.Hour;
    data[5] = t.Minute;
    data[6] = t.Second;
    WriteChunk(chunk::tIME, data, sizeof data);
}

void TVRQPNGWriteStream::WriteTextChunk(const std::string& keyword, const std::string& text)
{
    if (text.empty() || keyword.size() > 79) return;
    const size_t length = keyword.size() + 1 + text.size();
    // A longer text cannot be framed; refusing it is better than writing a broken file.
    if (length > MaxChunkLength) throw EVRQPNG(pngmsg::WriteError);
    std::string data;
    data.reserve(length);
    data.append(keyword);
    data.push_back('\0');
    data.append(text);
    WriteChunk(chunk::tEXt, data.data(), static_cast<uint32_t>(length));
}

void TVRQPNGWriteStream::WritePrivateChunk()
{
    const uint8_t data[8] = {'V', 'R', 'Q', '3', static_cast<uint8_t>(!RowKey.empty() && OnEncodeRow ? 1 : 0), 0, 0, 0};
    WriteChunk(chunk::vpNG, data, sizeof data);
}

void TVRQPNGWriteStream::WriteGifChunk()
{
    if (!GifControl) return;
    const uint8_t* b = GifControl->Bytes;
    if (b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0) return;
    WriteChunk(chunk::gIFg, b, 4);
}

void TVRQPNGWriteStream::WriteGammaChunk()
{
    const long double g = std::trunc(static_cast<long double>(Gamma) * 100000);
    // Also keeps NaN and values beyond the chunk's range out.
    if (!(g > 0) || g > MaxChunkLength) return;
    uint8_t data[4];
    PutLongBE(data, static_cast<uint32_t>(g));
    WriteChunk(chunk::gAMA, data, sizeof data);
}

void TVRQPNGWriteStream::WriteChromaChunk()
{
    if (!Chromaticity || Chromaticity->Values[0] == 0 || Chromaticity->Values[1] == 0) return;
    uint8_t data[32];
    for (int i = 0; i < 8; ++i) PutLongBE(data + 4 * i, Chromaticity->Values[i]);
    WriteChunk(chunk::cHRM, data, sizeof data);
}

void TVRQPNGWriteStream::WriteSignificantBitsChunk()
{
    uint32_t bits = SignificantBits;
    if (SourceBits == 15) bits = 0x050505u | (AlphaOutput ? 0x08000000u : 0u);
    if (SourceBits == 16) bits = 0x050605u | (AlphaOutput ? 0x08000000u : 0u);
    if (static_cast<int32_t>(bits) <= 0 || GrayOutput) return;
    uint8_t data[4];
    const uint32_t count = AlphaOutput ? 4 : 3;
    for (uint32_t i = 0; i < count; ++i) {
        // Every sample written here is 8 bits deep; a value of 0 or above 8 (from a deeper
        // source) would make the chunk invalid, and 8 is what the samples then carry.
        const uint8_t v = static_cast<uint8_t>(bits >> (8 * i));
        data[i] = (v == 0 || v > 8) ? 8 : v;
    }
    WriteChunk(chunk::sBIT, data, count);
}

void TVRQPNGWriteStream::WritePaletteChunk()
{
    paletteCount_ = 0;
    if (OutputBits > 8 || GrayOutput) return;
    TRGBQuad quads[256]{};
    int32_t count = GetPaletteQuads(source_->Palette(), quads);
    // Indices cannot reach entries beyond the bit depth, and PNG forbids them.
    count = std::min(count, int32_t{1} << OutputBits);
    if (count <= 0) {
        // Colour type 3 needs a palette; without one the indices are taken as grey levels.
        count = MakeGreyPalette(quads, OutputBits);
    }
    uint8_t data[768];
    for (int32_t i = 0; i < count; ++i) {
        data[3 * i] = quads[i].rgbRed;
        data[3 * i + 1] = quads[i].rgbGreen;
        data[3 * i + 2] = quads[i].rgbBlue;
    }
    paletteCount_ = count;
    WriteChunk(chunk::PLTE, data, static_cast<uint32_t>(3 * count));
}

int32_t TVRQPNGWriteStream::IndexOfSetting(TColor color) const
{
    int32_t index;
    if (NamesIndex(color)) {
        index = static_cast<int32_t>(static_cast<uint32_t>(color) & 0xFF);
    } else {
        TRGBQuad quads[256]{};
        int32_t count = GetPaletteQuads(source_->Palette(), quads);
        if (count <= 0) count = MakeGreyPalette(quads, OutputBits);
        index = NearestEntry(quads, std::min(count, paletteCount_), color);
    }
    // An index beyond the written palette would make the chunk invalid.
    return index < paletteCount_ ? index : -1;
}

int32_t TVRQPNGWriteStream::GrayOfSetting(TColor color) const
{
    if (NamesIndex(color) && SourceBits <= 8) {
        color = GetPaletteColor(source_->Palette(), static_cast<int32_t>(static_cast<uint32_t>(color) & 0xFF));
        if (color == -1) return -1; // no such entry
    }
    return GrayLevelOf(color, SourceBits);
}

void TVRQPNGWriteStream::WriteBackgroundChunk()
{
    if (BackgroundColor == -1) return;
    uint8_t data[6];
    if (GrayOutput) {
        const int32_t level = GrayOfSetting(BackgroundColor);
        if (level < 0) return;
        PutWordBE(data, static_cast<uint32_t>(level));
        WriteChunk(chunk::bKGD, data, 2);
    } else if (SourceBits <= 8) {
        const int32_t index = IndexOfSetting(BackgroundColor);
        if (index < 0) return;
        data[0] = static_cast<uint8_t>(index);
        WriteChunk(chunk::bKGD, data, 1);
    } else {
        if (NamesIndex(BackgroundColor)) return; // no palette is written to name an entry of
        const uint32_t c = static_cast<uint32_t>(BackgroundColor);
        PutWordBE(data, c & 0xFF);
        PutWordBE(data + 2, (c >> 8) & 0xFF);
        PutWordBE(data + 4, (c >> 16) & 0xFF);
        WriteChunk(chunk::bKGD, data, 6);
    }
}

void TVRQPNGWriteStream::WriteRasterBackground(const TPngRaster& raster)
{
    if (BackgroundColor == -1) return;
    uint8_t data[6];
    const bool index = NamesIndex(BackgroundColor);
    const uint32_t c = static_cast<uint32_t>(BackgroundColor);
    const uint8_t r = c & 0xFF, g = (c >> 8) & 0xFF, b = (c >> 16) & 0xFF;
    if (raster.ColourType == 3) {
        // An index stays the entry it named; a colour is the entry that holds it exactly.
        const size_t entries = raster.Palette.size() / 3;
        size_t at = index ? (c & 0xFF) : entries;
        for (size_t i = 0; !index && i < entries; ++i)
            if (raster.Palette[3 * i] == r && raster.Palette[3 * i + 1] == g && raster.Palette[3 * i + 2] == b) at = i;
        if (at >= entries) return;
        data[0] = static_cast<uint8_t>(at);
        WriteChunk(chunk::bKGD, data, 1);
    } else if (index) {
        return; // no palette left to name an entry of
    } else if (raster.ColourType == 0 || raster.ColourType == 4) {
        // Only a grey the depth holds exactly (the optimizer may have narrowed it).
        const int32_t top = (1 << raster.BitDepth) - 1, scale = 255 / top;
        if (r != g || g != b || r % scale != 0) return;
        PutWordBE(data, static_cast<uint32_t>(r / scale));
        WriteChunk(chunk::bKGD, data, 2);
    } else {
        PutWordBE(data, r);
        PutWordBE(data + 2, g);
        PutWordBE(data + 4, b);
        WriteChunk(chunk::bKGD, data, 6);
    }
}

void TVRQPNGWriteStream::WriteTransparencyChunk()
{
    if (!IndexAlpha.empty() && !GrayOutput && !AlphaOutput && SourceBits <= 8) {
        // Entries beyond the written palette, and trailing opaque ones, are left out.
        const size_t count = TransparencyLength(
            IndexAlpha.data(), std::min(IndexAlpha.size(), static_cast<size_t>(std::max(paletteCount_, 0))));
        if (count > 0) WriteChunk(chunk::tRNS, IndexAlpha.data(), static_cast<uint32_t>(count));
        return;
    }
    if (TransparentColor == -1 || AlphaOutput) return;
    uint8_t data[256];
    if (GrayOutput) {
        const int32_t level = GrayOfSetting(TransparentColor);
        if (level < 0) return;
        PutWordBE(data, static_cast<uint32_t>(level));
        WriteChunk(chunk::tRNS, data, 2);
    } else if (SourceBits <= 8) {
        const int32_t index = IndexOfSetting(TransparentColor);
        if (index < 0) return;
        std::memset(data, 255, static_cast<size_t>(index));
        data[index] = 0;
        WriteChunk(chunk::tRNS, data, static_cast<uint32_t>(index + 1));
    } else {
        const uint32_t c = static_cast<uint32_t>(TransparentColor);
        PutWordBE(data, c & 0xFF);
        PutWordBE(data + 2, (c >> 8) & 0xFF);
        PutWordBE(data + 4, (c >> 16) & 0xFF);
        WriteChunk(chunk::tRNS, data, 6);
    }
}

void TVRQPNGWriteStream::WritePhysChunk()
{
    if (PhysX <= 0 || PhysY <= 0) return;
    int64_t x = PhysX, y = PhysY;
    uint8_t unit = 0;
    if (PhysUnit == 1) {
        unit = 1;
    } else if (PhysUnit == 2) {
        unit = 1;
        x = static_cast<int64_t>(static_cast<long double>(x * 100) / 254 * 100);
        y = static_cast<int64_t>(static_cast<long double>(y * 100) / 254 * 100);
        if (x > MaxChunkLength || y > MaxChunkLength) return; // not representable per metre
    }
    uint8_t data[9];
    PutLongBE(data, static_cast<uint32_t>(x));
    PutLongBE(data + 4, static_cast<uint32_t>(y));
    data[8] = unit;
    WriteChunk(chunk::pHYs, data, sizeof data);
}

// ---------------------------------------------------------------- image data

void TVRQPNGWriteStream::AllocRowBuffers()
{
    FreeRowBuffers();
    const int32_t b = BytesPerScanline(source_->Width(), PixelBits);
    if (b < 0) throw EVRQPNG(pngmsg::WriteError);
    const size_t s = (static_cast<size_t>(b) + 39) / 32 * 32;
    rowBlock_.reset(new uint8_t[4 * s + 1064]);
    uint8_t* base = rowBlock_.get();
    base += (32 - reinterpret_cast<uintptr_t>(base) % 32) % 32;
    deflate_.CurrentRow = base;
    deflate_.PreviousRow = base + s;
    deflate_.FilteredRow = base + 2 * s;
    deflate_.TrialRow = base + 3 * s;
    deflate_.Histogram = reinterpret_cast<uint32_t*>(base + 4 * s);
}

void TVRQPNGWriteStream::FreeRowBuffers()
{
    rowBlock_.reset();
    deflate_.CurrentRow = deflate_.PreviousRow = deflate_.FilteredRow = deflate_.TrialRow = nullptr;
    deflate_.Histogram = nullptr;
}

void TVRQPNGWriteStream::BuildGrayMap()
{
    GrayMap.fill(0);
    TRGBQuad quads[256]{};
    const int32_t count = GetPaletteQuads(source_->Palette(), quads);
    const auto grey = [&](int i) { return 77u * quads[i].rgbRed + 150u * quads[i].rgbGreen + 29u * quads[i].rgbBlue; };
    if (count <= 0) {
        for (int i = 0; i < (1 << SourceBits) && i < 256; ++i) GrayMap[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    } else if (SourceBits == 1) {
        GrayMap[0] = grey(0) > grey(1) ? 255 : 0;
    } else {
        const uint32_t divisor = SourceBits == 4 ? 4096 : 256;
        for (int i = 0; i < count; ++i) GrayMap[static_cast<size_t>(i)] = static_cast<uint8_t>(grey(i) / divisor);
    }
    if (SourceBits == 4)
        for (int v = 0; v < 256; ++v)
            nibbleMap_[static_cast<size_t>(v)] = static_cast<uint8_t>((GrayMap[static_cast<size_t>(v >> 4)] << 4) | (GrayMap[static_cast<size_t>(v & 15)] & 15));
}

void TVRQPNGWriteStream::ExtractRow(const uint8_t* scanline, const uint8_t* alphaLine)
{
    switch (layoutBits_) {
    case 1:
    case 4: ExtractPackedRow(scanline); break;
    case 8: ExtractByteRow(scanline, alphaLine); break;
    case 15:
    case 16: ExtractHighColourRow(scanline, alphaLine); break;
    default: ExtractTrueColourRow(scanline, alphaLine); break;
    }
}

void TVRQPNGWriteStream::ExtractPackedRow(const uint8_t* scanline)
{
    // 1- and 4-bit pixels: indices as they stand, or their grey levels.
    uint8_t* out = deflate_.CurrentRow;
    const int32_t len = deflate_.RowLength - 1;
    const int32_t bits = layoutBits_;
    if (columnStep_ == 1) {
        std::memcpy(out, scanline, static_cast<size_t>(len));
    } else {
        std::memset(out, 0, static_cast<size_t>(len));
        for (int32_t k = 0, x = firstColumn_; k < passWidth_; ++k, x += columnStep_) {
            const uint32_t v = GetPackedIndex(scanline, bits, x);
            if (bits == 1)
                out[k >> 3] = static_cast<uint8_t>(out[k >> 3] | (v << (7 - (k & 7))));
            else
                out[k >> 1] = static_cast<uint8_t>(out[k >> 1] | (v << ((k & 1) ? 0 : 4)));
        }
    }
    if (!GrayOutput) return;
    if (bits == 1) {
        if (GrayMap[0] == 255)
            for (int32_t i = 0; i < len; ++i) out[i] = static_cast<uint8_t>(~out[i]);
    } else {
        for (int32_t i = 0; i < len; ++i) out[i] = nibbleMap_[out[i]];
    }
}

void TVRQPNGWriteStream::ExtractByteRow(const uint8_t* scanline, const uint8_t* alphaLine)
{
    // 8-bit pixels: indices as they stand, or grey levels with or without alpha.
    uint8_t* out = deflate_.CurrentRow;
    const int32_t w = passWidth_, x0 = firstColumn_, dx = columnStep_;
    if (!GrayOutput) {
        if (dx == 1) {
            std::memcpy(out, scanline, static_cast<size_t>(deflate_.RowLength - 1));
        } else {
            for (int32_t k = 0, x = x0; k < w; ++k, x += dx) out[k] = scanline[x];
        }
    } else if (AlphaOutput) {
        for (int32_t k = 0, x = x0; k < w; ++k, x += dx) {
            out[2 * k] = GrayMap[scanline[x]];
            out[2 * k + 1] = static_cast<uint8_t>(255 - alphaLine[x]);
        }
    } else {
        for (int32_t k = 0, x = x0; k < w; ++k, x += dx) out[k] = GrayMap[scanline[x]];
    }
}

void TVRQPNGWriteStream::ExtractHighColourRow(const uint8_t* scanline, const uint8_t* alphaLine)
{
    // 5-5-5 or 5-6-5 words widened to 8-bit samples: RGB, or grey, then alpha.
    uint8_t* out = deflate_.CurrentRow;
    const bool six = layoutBits_ == 16;
    for (int32_t k = 0, x = firstColumn_; k < passWidth_; ++k, x += columnStep_) {
        const uint32_t word = static_cast<uint32_t>(scanline[2 * x]) | (static_cast<uint32_t>(scanline[2 * x + 1]) << 8);
        uint32_t r, g, b;
        if (six) {
            r = (word >> 11) & 31;
            g = (word >> 5) & 63;
            b = word & 31;
            g = (g << 2) | (g >> 4);
        } else {
            r = (word >> 10) & 31;
            g = (word >> 5) & 31;
            b = word & 31;
            g = (g << 3) | (g >> 2);
        }
        r = (r << 3) | (r >> 2);
        b = (b << 3) | (b >> 2);
        if (GrayOutput) {
            *out++ = Grey(r, g, b);
        } else {
            *out++ = static_cast<uint8_t>(r);
            *out++ = static_cast<uint8_t>(g);
            *out++ = static_cast<uint8_t>(b);
        }
        if (AlphaOutput) *out++ = static_cast<uint8_t>(255 - alphaLine[x]);
    }
}

void TVRQPNGWriteStream::ExtractTrueColourRow(const uint8_t* scanline, const uint8_t* alphaLine)
{
    // 24- and 32-bit pixels (blue, green, red first): RGB or grey, with or without alpha.
    uint8_t* out = deflate_.CurrentRow;
    const int32_t w = passWidth_, x0 = firstColumn_, dx = columnStep_;
    const int32_t step = layoutBits_ / 8;
    const uint8_t* p = scanline + static_cast<size_t>(x0) * step;
    const int32_t stride = dx * step;
    if (GrayOutput) {
        if (AlphaOutput) {
            for (int32_t k = 0, x = x0; k < w; ++k, x += dx, p += stride) {
                out[2 * k] = Grey(p[2], p[1], p[0]);
                out[2 * k + 1] = static_cast<uint8_t>(255 - alphaLine[x]);
            }
        } else {
            for (int32_t k = 0; k < w; ++k, p += stride) out[k] = Grey(p[2], p[1], p[0]);
        }
    } else if (AlphaOutput) {
        for (int32_t k = 0, x = x0; k < w; ++k, x += dx, p += stride, out += 4) {
            out[0] = p[2];
            out[1] = p[1];
            out[2] = p[0];
            out[3] = static_cast<uint8_t>(255 - alphaLine[x]);
        }
    } else if (stride == 3) {
        // The common case, with the step known to the compiler.
        for (int32_t k = 0; k < w; ++k, p += 3, out += 3) {
            out[0] = p[2];
            out[1] = p[1];
            out[2] = p[0];
        }
    } else {
        for (int32_t k = 0; k < w; ++k, p += stride, out += 3) {
            out[0] = p[2];
            out[1] = p[1];
            out[2] = p[0];
        }
    }
}

int TVRQPNGWriteStream::FlushIDAT(TDeflateContext& context)
{
    WriteChunk(chunk::IDAT, context.OutBuffer.get(), static_cast<uint32_t>(context.Pending()));
    return 0;
}

void TVRQPNGWriteStream::AwaitRows(int32_t rows) const
{
    if (SourceRows && !SourceRows->Await(rows)) throw EVRQPNG(pngmsg::WriteError);
}

void TVRQPNGWriteStream::WriteImageData()
{
    const int32_t w = source_->Width();
    const int32_t h = source_->Height();
    const bool interlaced = Interlaced();

    AllocRowBuffers();
    const TScopeGuard release([this] {
        DeflateRelease(deflate_);
        FreeRowBuffers();
    });
    // On an exception the compressed stream is still finished, so what was compressed is written.
    TScopeGuard finish([this] {
        try {
            DeflateFinish(deflate_);
        } catch (...) {
            // The exception already under way is the one the caller must see.
        }
    });
    if (GrayOutput && SourceBits <= 8) BuildGrayMap();
    const int level = (CompressionLevel >= 0 && CompressionLevel <= 9) ? CompressionLevel : -1;
    // A large picture is compressed in segments (on several threads when it may); the stream
    // is then never started.
    const uint64_t filteredBytes = static_cast<uint64_t>(h) * ((static_cast<uint64_t>(w) * PixelBits + 7) / 8 + 1);
    // Held whole (where it is small enough to hold twice), libdeflate on one thread beats zlib on
    // several in time and in the work a batch of files shares its cores with. Decided by the size
    // alone, so that the bytes never depend on threads or on rows still arriving.
    deflate_.WholeImage = WholeImageDeflate && filteredBytes <= (uint64_t{64} << 20);
    const std::unique_ptr<TParallelDeflate> parallel =
        deflate_.WholeImage ? nullptr
                            : MakeParallelDeflate(Parallel, int64_t{w} * h, filteredBytes, level, static_cast<size_t>(idatSize_),
                                                  [this](const uint8_t* data, size_t size) {
                                                      WriteChunk(chunk::IDAT, data, static_cast<uint32_t>(size));
                                                  });
    if (!parallel) DeflateStart(deflate_, level, idatSize_);
    deflate_.FilterMode = FilterMode;
    deflate_.PixelBits = PixelBits;
    deflate_.OutputBits = OutputBits;
    BeginProgressPhase(RowsToWrite(interlaced ? 1 : 0, h), 0);

    int32_t done = 0;
    const int passes = interlaced ? 7 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        const TPassGeometry& geometry = interlaced ? Adam7Passes[pass] : PlainPass;
        const TPassSize size = PassSize(geometry, w, h);
        if (size.Empty()) continue;
        firstColumn_ = geometry.X0;
        columnStep_ = geometry.DX;
        passWidth_ = size.Width;
        deflate_.RowLength = static_cast<int32_t>((static_cast<int64_t>(passWidth_) * PixelBits + 7) / 8 + 1);
        std::memset(deflate_.PreviousRow, 0, static_cast<size_t>(deflate_.RowLength));
        for (int32_t y = geometry.Y0; y < h; y += geometry.DY) {
            // Adam7's first pass already needs rows from the whole height.
            AwaitRows(interlaced ? h : y + 1);
            const uint8_t* scanline = source_->ConstScanLine(y);
            const uint8_t* alphaLine = AlphaOutput ? EffectiveAlpha->ConstScanLine(y) : nullptr;
            ExtractRow(scanline, alphaLine);
            if (!RowKey.empty() && OnEncodeRow) OnEncodeRow(*this, deflate_.CurrentRow, deflate_.RowLength - 1, done, RowKey);
            if (parallel) {
                SelectFilter(deflate_);
                parallel->Write(deflate_.FilteredRow, static_cast<size_t>(deflate_.RowLength));
            } else if (DeflateRow(deflate_) < 0) {
                throw EVRQPNG(pngmsg::WriteError);
            }
            std::swap(deflate_.CurrentRow, deflate_.PreviousRow);
            ++done;
            if (done % 4 == 2 || h < 4) StepProgress(done);
        }
    }
    if (parallel) {
        parallel->Finish();
        return;
    }
    // A stream that cannot be finished would leave a truncated file behind a normal return.
    finish.Dismiss();
    if (DeflateFinish(deflate_) < 0) throw EVRQPNG(pngmsg::WriteError);
}

} // namespace tintabrel
