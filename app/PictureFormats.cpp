#include "app/PictureFormats.h"

#include "base/Exceptions.h"
#include "image/PixelFormats.h"
#include "png/SFunc.h"
#include "png/VRQPNG.h"
#include "recolour/PaletteRecolour.h"
#include "png/VRQPNGTypes.h"

#include <cstring>
#include <stdexcept>

namespace tintabrel {

namespace {

// An 8-bit picture of the given size, all opaque, with the grey palette the reader gives its
// alpha planes.
void MakeOpaqueAlpha(TBitmap& alpha, int32_t width, int32_t height)
{
    TRGBQuad grey[256];
    const int32_t count = MakeGreyPalette(grey, 8);
    alpha.Clear();
    alpha.SetPixelFormat(TPixelFormat::pf8bit);
    alpha.SetPalette(CreatePaletteFromQuads(grey, count));
    alpha.SetSize(width, height);
    for (int32_t y = 0; y < height; ++y) std::fill_n(alpha.ScanLine(y), width, uint8_t{0});
}

// A single transparent palette index or colour becomes alpha 0 on the pixels that have it, so
// that it survives recolouring (which may change that colour) and saving.
void AlphaFromTransparentColor(const TBitmap& image, TColor transparent, TBitmap& alpha)
{
    const int32_t w = image.Width(), h = image.Height();
    MakeOpaqueAlpha(alpha, w, h);
    const bool byIndex = (static_cast<uint32_t>(transparent) & 0xFF000000u) == 0x01000000u;
    const TPixelFormatFacts& format = FactsOf(image.PixelFormat());
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* out = alpha.ScanLine(y);
        if (byIndex && format.Indexed) {
            const uint8_t* row = image.ConstScanLine(y);
            const int index = transparent & 0xFF;
            for (int32_t x = 0; x < w; ++x)
                if (GetPackedIndex(row, format.Bits, x) == index) out[x] = 255;
        } else if (!byIndex) {
            const TColor colour = transparent & 0xFFFFFF;
            for (int32_t x = 0; x < w; ++x)
                if (image.Pixel(x, y) == colour) out[x] = 255;
        }
    }
}

} // namespace

void LoadPng(TStream& stream, TPictureData& data, TVRQPNGFileFacts* pngFacts, const TLoadOptions& options)
{
    TBitmap image, alpha;
    int32_t paletteBits = 0;
    std::vector<uint8_t> indexAlpha;
    TVRQPNG png;
    png.Threads = static_cast<int32_t>(options.Threads);
    png.RowSink = options.Rows;
    if (options.Progress) png.OnProgress = PercentRelay(options.Progress);
    png.LoadFromStream(stream);
    image.Assign(png.ActiveBitmap());
    if (png.UseAlpha && !png.ActiveAlphaBitmap().Empty())
        alpha.Assign(png.ActiveAlphaBitmap());
    else if (png.TransparentColor != -1 && !image.Empty())
        AlphaFromTransparentColor(image, png.TransparentColor, alpha);
    if (pngFacts) *pngFacts = png.FileFacts;
    // Grey files become palette pictures too, with a palette of their own making.
    if (IsPalettePicture(image) && !png.Grayscale) {
        paletteBits = png.BitsPerPixel;
        indexAlpha = png.IndexAlpha;
    }
    data.Image.Assign(image);
    data.Alpha.Assign(alpha);
    data.PaletteBits = paletteBits;
    data.IndexAlpha = std::move(indexAlpha);
}

namespace {

void LoadBmp(TStream& stream, TPictureData& data, TVRQPNGFileFacts*, const TLoadOptions& options)
{
    TBitmap image;
    image.TruncatedPixels = options.Truncated;
    image.LoadFromStream(stream);
    data.Image.Assign(image);
    data.Alpha.Assign(TBitmap());
    data.PaletteBits = IsPalettePicture(image) ? image.Image()->Header.biBitCount : 0;
    data.IndexAlpha.clear();
}

void SavePng(TStream& stream, const TPictureData& data, const TPNGSaveOptions& options)
{
    WritePicturePng(stream, data, options);
}

void SaveBmp(TStream& stream, const TPictureData& data, const TPNGSaveOptions&) { data.Image.SaveToStream(stream); }

bool HasPngSignature(const uint8_t* bytes, size_t count)
{
    return count >= sizeof PngSignature && std::memcmp(bytes, PngSignature, sizeof PngSignature) == 0;
}

bool HasBmpSignature(const uint8_t* bytes, size_t count) { return count >= 2 && bytes[0] == 'B' && bytes[1] == 'M'; }

uint32_t BigEndian32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }
int32_t LittleEndian32(const uint8_t* p)
{
    return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
}

// The header chunk comes first, right after the signature.
std::pair<int64_t, int64_t> PngDeclaredSize(const uint8_t* head, size_t count)
{
    if (count < 24 || !HasPngSignature(head, count) || std::memcmp(head + 12, "IHDR", 4) != 0) return {0, 0};
    return {BigEndian32(head + 16), BigEndian32(head + 20)};
}

// The 12-byte core header has 16-bit sizes, the 40-byte and later headers 32-bit ones. A negative
// height is a picture stored top row first.
std::pair<int64_t, int64_t> BmpDeclaredSize(const uint8_t* head, size_t count)
{
    if (count < 26 || !HasBmpSignature(head, count)) return {0, 0};
    if (LittleEndian32(head + 14) == 12) return {head[18] | head[19] << 8, head[20] | head[21] << 8};
    if (LittleEndian32(head + 14) < 40) return {0, 0};
    const int64_t height = LittleEndian32(head + 22);
    return {LittleEndian32(head + 18), height < 0 ? -height : height};
}

} // namespace

const std::vector<TPictureFormat>& PictureFormats()
{
    static const std::vector<TPictureFormat> formats = {
        {TPictureKind::Png, "PNG", ".png", HasPngSignature, PngDeclaredSize, pngmsg::ErrorSize, LoadPng, SavePng, true},
        {TPictureKind::Bmp, "BMP", ".bmp", HasBmpSignature, BmpDeclaredSize, msg::InvalidBitmap, LoadBmp, SaveBmp, false},
    };
    return formats;
}

const TPictureFormat& FormatOf(TPictureKind kind)
{
    for (const TPictureFormat& format : PictureFormats())
        if (format.Kind == kind) return format;
    throw std::invalid_argument("no picture format of this kind");
}

TPictureKind KindOfFirstBytes(const uint8_t* bytes, size_t count)
{
    for (const TPictureFormat& format : PictureFormats())
        if (format.HasSignature(bytes, count)) return format.Kind;
    return TPictureKind::Unknown;
}

} // namespace tintabrel
