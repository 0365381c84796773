#include "app/PictureFormats.h"

#include "base/Exceptions.h"
#include "image/PixelFormats.h"
#include "png/SFunc.h"
#include "png/VRQPNG.h"
#include "recolour/PaletteRecolour.h"
#include "png/VRQPNGTypes.h"
#include "png/VRQPNGReadStream.h"
#include "png/VRQStream.h"
#include "app/ApngPicture.h"
#include "gif/GifFile.h"

#include <algorithm>
#include <cstring>
#include <memory>
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

void LoadPng(TStream& stream, TPictureData& data, const TLoadOptions& options)
{
    TBitmap image, alpha;
    int32_t paletteBits = 0;
    std::vector<uint8_t> indexAlpha;
    TVRQPNG png;
    png.Threads = static_cast<int32_t>(options.Threads);
    png.RowSink = options.Rows;
    png.KeepChunks = true;
    png.KeepImageData = options.KeepImageData;
    if (options.Progress) png.OnProgress = PercentRelay(options.Progress);
    png.LoadFromStream(stream);
    image.Assign(png.ActiveBitmap());
    if (png.UseAlpha && !png.ActiveAlphaBitmap().Empty())
        alpha.Assign(png.ActiveAlphaBitmap());
    else if (png.TransparentColor != -1 && !image.Empty())
        AlphaFromTransparentColor(image, png.TransparentColor, alpha);
    // Grey files become palette pictures too, with a palette of their own making.
    if (IsPalettePicture(image) && !png.Grayscale) {
        paletteBits = png.BitsPerPixel;
        indexAlpha = png.IndexAlpha;
    }
    data.Image.Assign(image);
    data.Alpha.Assign(alpha);
    data.PaletteBits = paletteBits;
    data.IndexAlpha = std::move(indexAlpha);
    data.Info = png.Info;
    data.Animation.reset();
    data.SourceImageData.reset();
    if (!png.ImageData.empty()) data.SourceImageData = std::make_shared<const std::vector<uint8_t>>(std::move(png.ImageData));
}

namespace {

void LoadBmp(TStream& stream, TPictureData& data, const TLoadOptions& options)
{
    TBitmap image;
    image.TruncatedPixels = options.Truncated;
    image.LoadFromStream(stream);
    data.Image.Assign(image);
    data.Alpha.Assign(TBitmap());
    data.PaletteBits = IsPalettePicture(image) ? image.Image()->Header.biBitCount : 0;
    data.IndexAlpha.clear();
    data.Animation.reset();
    // A BMP says nothing of how it looks but its resolution, which a PNG keeps as pHYs.
    data.Info = TPictureInfo{};
    const TBitmapInfoHeader& header = image.Image()->Header;
    if (header.biXPelsPerMeter > 0 && header.biYPelsPerMeter > 0) {
        data.Info.PhysSeen = true;
        data.Info.PhysUnit = 1;
        data.Info.PhysX = header.biXPelsPerMeter;
        data.Info.PhysY = header.biYPelsPerMeter;
    }
    data.SourceImageData.reset();
}

void SavePng(TStream& stream, const TPictureData& data, const TPNGSaveOptions& options)
{
    if (data.Animated()) SaveApng(stream, data, options);
    else WritePicturePng(stream, data, options);
}

void LoadPngOrApng(TStream& stream, TPictureData& data, const TLoadOptions& options)
{
    LoadApng(stream, data, options, options.Animation);
}

void GifHeaderStep(TStream& stream, TPictureHeader& header)
{
    const TGifOutline outline = ReadGifOutline(stream);
    header.Width = outline.Width;
    header.Height = outline.Height;
    header.Format = TPixelFormat::pf24bit; // the still picture, the first frame on the screen
    header.PaletteSize = outline.GlobalTableSize;
    header.Alpha = outline.Alpha;
    // Every block was walked and checked but the pixel data (not decoded, as a PNG's is not
    // inflated): info needs no load, which would compose the first frame on the whole screen.
    header.Complete = !outline.Cut && !outline.Frames.empty();
    header.Frames = std::max<int64_t>(1, static_cast<int64_t>(outline.Frames.size()));
    header.FramesToCome = outline.Cut;
    header.Plays = outline.Plays;
    for (const TGifOutline::TFrameBox& f : outline.Frames)
        header.FrameList.push_back({f.X, f.Y, f.Width, f.Height, f.Delay, 100});
    // Joined as the PNG reader joins its comments, so that info shows them alike.
    for (const std::string& comment : outline.Comments) {
        if (comment.empty()) continue;
        if (!header.Info.Comment.empty()) header.Info.Comment += "\r\n";
        header.Info.Comment += comment + "\r\n";
    }
}

void LoadGifPicture(TStream& stream, TPictureData& data, const TLoadOptions& options)
{
    LoadGif(stream, data, options.Animation);
}

void SaveGifPicture(TStream& stream, const TPictureData& data, const TPNGSaveOptions&) { SaveGif(stream, data); }

void SaveBmp(TStream& stream, const TPictureData& data, const TPNGSaveOptions& options)
{
    // A resolution per metre goes into the header, its only place; stripped, none.
    const TPictureInfo& info = data.Info;
    const bool perMetre = info.PhysSeen && info.PhysUnit == 1 && !options.Strip;
    const TBitmapInfoHeader& header = data.Image.Image()->Header;
    const bool keep = !perMetre && !options.Strip; // a picture from a BMP keeps its header as it is
    if (keep || (perMetre && header.biXPelsPerMeter == info.PhysX && header.biYPelsPerMeter == info.PhysY) ||
        (options.Strip && header.biXPelsPerMeter == 0 && header.biYPelsPerMeter == 0)) {
        data.Image.SaveToStream(stream);
        return;
    }
    TBitmap image;
    image.Assign(data.Image);
    image.MutableImage().Header.biXPelsPerMeter = perMetre ? info.PhysX : 0;
    image.MutableImage().Header.biYPelsPerMeter = perMetre ? info.PhysY : 0;
    image.SaveToStream(stream);
}

bool HasPngSignature(const uint8_t* bytes, size_t count)
{
    return count >= sizeof PngSignature && std::memcmp(bytes, PngSignature, sizeof PngSignature) == 0;
}

bool HasBmpSignature(const uint8_t* bytes, size_t count) { return count >= 2 && bytes[0] == 'B' && bytes[1] == 'M'; }

uint32_t BigEndian32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// A palette's per-index alpha (tRNS) as the decoder settles it once the image data starts: a
// single fully clear index among opaque ones is a transparent index, anything else an alpha plane.
constexpr TColor PerIndexPending = 0x01FFFFFF;

// Each fcTL's rectangle and delay, walking the chunks from the signature on.
void ReadFrameControls(TStream& stream, int64_t start, TPictureHeader& header)
{
    const int64_t size = stream.Size();
    int64_t at = start + 8;
    while (at + 12 <= size && header.FrameList.size() < static_cast<size_t>(header.Frames)) {
        uint8_t head[8];
        stream.SetPosition(at);
        if (stream.Read(head, 8) != 8) break;
        const uint32_t length = BigEndian32(head);
        if (std::memcmp(head + 4, "fcTL", 4) == 0 && length >= 26) {
            uint8_t c[26];
            if (stream.Read(c, 26) != 26) break;
            header.FrameList.push_back({BigEndian32(c + 12), BigEndian32(c + 16), BigEndian32(c + 4), BigEndian32(c + 8),
                                        static_cast<uint16_t>(c[20] << 8 | c[21]), static_cast<uint16_t>(c[22] << 8 | c[23])});
        }
        if (std::memcmp(head + 4, "IEND", 4) == 0) break;
        at += 12 + int64_t{length};
    }
}

// Every chunk of the file walked as the reader walks them, its image data skipped (not inflated).
void PngHeaderStep(TStream& stream, TPictureHeader& header)
{
    const int64_t start = stream.Position();
    TVRQPNGReadStream reader;
    reader.KeepChunks = true;
    reader.ReadFromStream(nullptr, stream, 0);
    TPngInfo info = reader.Info;
    if (reader.ColorKind == 3 && reader.TransparentColor == PerIndexPending) {
        int zeros = 0, opaque = 0, zeroIndex = 0;
        for (int i = 0; i < 256; ++i) {
            const uint8_t a = reader.AlphaTable[static_cast<size_t>(i)];
            if (a == 0) {
                ++zeros;
                zeroIndex = i;
            } else if (a == 255) {
                ++opaque;
            }
        }
        if (zeros == 1 && opaque == 255) info.TransparentColor = 0x01000000 + zeroIndex;
        else info.Alpha = true; // the alpha plane the load fills from the table
    } else if (reader.ColorKind != 3 && reader.HeaderBitDepth == 16 && reader.TransparentColor != -1 && !reader.HasAlpha) {
        info.Alpha = true; // a 16-bit transparent colour is matched into an alpha plane
    }
    header.Width = std::max<int64_t>(0, static_cast<uint32_t>(reader.Width));
    header.Height = std::max<int64_t>(0, static_cast<uint32_t>(reader.Height));
    if (reader.HeaderColorType < 0) header.Width = header.Height = 0;
    header.Format = reader.BitsPerPixel > 0 ? PixelFormatOfBits(reader.BitsPerPixel) : TPixelFormat::pfDevice;
    header.PaletteSize = info.PaletteSize;
    header.Alpha = info.Alpha || info.TransparentColor != -1;
    // The rows need, at deflate's highest ratio (about 1032 to 1), this much of the file at least.
    const int32_t channels = reader.ColorKind == 2 ? 3 : 1;
    const int64_t sourceBits = int64_t{reader.HeaderBitDepth} * (channels + (reader.HasAlpha ? 1 : 0));
    header.DataNeeded = header.Height * ((header.Width * sourceBits + 7) / 8 + 1) / 1040;
    header.DataPresent = std::max<int64_t>(0, stream.Size() - start);
    header.RowsFinalAsStored = reader.ColorKind == 2 && reader.Interlace == 0 && reader.TransparentColor == -1;
    // A walk that did not end at IEND (a file cut short) is left to the load, which reads as far as
    // the image data goes and says why it fails.
    header.Complete = !reader.AtEnd && !reader.Stopped && header.DataNeeded <= header.DataPresent &&
                      reader.HeaderColorType >= 0 && reader.BitsPerPixel > 0 && header.Width > 0 && header.Height > 0 &&
                      header.Pixels() <= MaxPicturePixels() &&
                      CheckedRowStride(header.Width, reader.BitsPerPixel, header.Height) >= 0 &&
                      CheckedRowStride(header.Width, sourceBits, header.Height) >= 0;
    header.Info = info;
    header.Png = info;
    if (info.AnimationFrames > 0) {
        // The frames' rectangles and delays from their control chunks, read as they stand (the
        // load checks them all); an animation's rows are not final as the default image's come.
        header.Frames = info.AnimationFrames;
        header.Plays = info.AnimationPlays;
        header.RowsFinalAsStored = false;
        header.Complete = false;
        ReadFrameControls(stream, start, header);
    }
    if (reader.HeaderColorType < 0) {
        // Where a header chunk should be, what stands there instead.
        uint8_t first[16] = {};
        stream.SetPosition(start);
        const int64_t got = stream.Read(first, sizeof first);
        std::string type;
        for (int i = 12; i < 16 && i < got; ++i)
            type += first[i] >= 32 && first[i] < 127 ? static_cast<char>(first[i]) : '?';
        header.Problem = got < 16 ? "no picture in the file: it ends after " + std::to_string(std::max<int64_t>(got, 0)) +
                                        " bytes, before its header chunk (IHDR)"
                                  : "no picture in the file: the first chunk after the signature is \"" + type + "\" of " +
                                        std::to_string(BigEndian32(first + 8)) +
                                        " bytes, not the header chunk (IHDR) that must come first";
    } else if (reader.BitsPerPixel <= 0) {
        header.Problem = "no picture in the file: it ends before its image data (no IDAT chunk)";
    }
}

// The chunks from the signature on, to the end of IEND.
int64_t PngPictureBytes(const uint8_t* bytes, size_t count)
{
    if (!HasPngSignature(bytes, count)) return -1;
    size_t at = sizeof PngSignature;
    while (at + 12 <= count) {
        const uint64_t length = BigEndian32(bytes + at);
        const bool end = std::memcmp(bytes + at + 4, "IEND", 4) == 0;
        const uint64_t next = at + 12 + length;
        if (next > count) return -1;
        if (end) return static_cast<int64_t>(next);
        at = static_cast<size_t>(next);
    }
    return -1;
}

void BmpHeaderStep(TStream& stream, TPictureHeader& header)
{
    const TBmpLayout layout = ReadBmpLayout(stream);
    const TBitmapInfoHeader& f = layout.Fields;
    const bool runLength = f.biCompression == BI_RLE8 || f.biCompression == BI_RLE4;
    header.Width = f.biWidth;
    header.Height = f.biHeight < 0 ? -int64_t{f.biHeight} : f.biHeight;
    header.PaletteSize = f.biBitCount <= 8 && !runLength ? layout.TableEntries : 0;
    // Run-length pictures load in device form, without a palette.
    header.Format = runLength ? TPixelFormat::pfDevice : PixelFormatOfBits(f.biBitCount);
    header.DataPresent = layout.PixelBytesPresent;
    header.Uncompressed = !runLength;
    // A run of two bytes stands for at most 255 pixels, but a legal file may stop early: only
    // uncompressed data has a least size.
    header.DataNeeded = runLength ? -1 : CheckedRowStride(header.Width, f.biBitCount, header.Height) * header.Height;
    header.Complete = runLength; // decoding runs cannot fail; other files are described as loaded
    if (f.biXPelsPerMeter > 0 && f.biYPelsPerMeter > 0) {
        header.Info.PhysSeen = true;
        header.Info.PhysUnit = 1;
        header.Info.PhysX = f.biXPelsPerMeter;
        header.Info.PhysY = f.biYPelsPerMeter;
    }
}

// An uncompressed BMP ends with its last row; a run-length one is walked to its end code.
int64_t BmpPictureBytes(const uint8_t* bytes, size_t count)
{
    if (count < 54 || !HasBmpSignature(bytes, count)) return -1;
    TMemoryStream memory(bytes, static_cast<int64_t>(count));
    try {
        const TBmpLayout layout = ReadBmpLayout(memory);
        const TBitmapInfoHeader& f = layout.Fields;
        const int64_t start = static_cast<int64_t>(count) - layout.PixelBytesPresent;
        if (f.biCompression != BI_RLE8 && f.biCompression != BI_RLE4) {
            const int64_t height = f.biHeight < 0 ? -int64_t{f.biHeight} : f.biHeight;
            const int64_t end = start + CheckedRowStride(f.biWidth, f.biBitCount, height) * height;
            return end <= static_cast<int64_t>(count) ? end : -1;
        }
        const bool eight = f.biCompression == BI_RLE8;
        for (size_t i = static_cast<size_t>(start); i + 1 < count;) {
            const uint8_t n = bytes[i], value = bytes[i + 1];
            i += 2;
            if (n != 0 || value >= 3) {
                if (n == 0) i += ((eight ? value : (value + 1u) / 2u) + 1u) & ~size_t{1};
                continue;
            }
            if (value == 1) return static_cast<int64_t>(i);
            if (value == 2) i += 2;
        }
    } catch (const Exception&) {
    }
    return -1;
}

TPictureFormat PngEntry()
{
    return {"PNG", "png", {".png", ".apng"}, HasPngSignature, PngHeaderStep, PngPictureBytes, LoadPngOrApng, SavePng,
            fmtSaves | fmtAlpha | fmtPalette | fmtAnimation | fmtRowsAsRead | fmtRowsGated | fmtOptimizes,
            pngmsg::ErrorSize};
}

TPictureFormat BmpEntry()
{
    return {"BMP", "bmp", {".bmp"}, HasBmpSignature, BmpHeaderStep, BmpPictureBytes, LoadBmp, SaveBmp, fmtSaves | fmtPalette,
            msg::InvalidBitmap};
}

TPictureFormat GifEntry()
{
    return {"GIF", "gif", {".gif"}, HasGifSignature, GifHeaderStep, nullptr, LoadGifPicture, SaveGifPicture,
            fmtSaves | fmtAlpha | fmtPalette | fmtAnimation, "GIF: the picture is larger than the limit"};
}

std::vector<std::unique_ptr<TPictureFormat>>& Entries()
{
    static std::vector<std::unique_ptr<TPictureFormat>> entries = [] {
        std::vector<std::unique_ptr<TPictureFormat>> e;
        e.push_back(std::make_unique<TPictureFormat>(PngEntry()));
        e.push_back(std::make_unique<TPictureFormat>(BmpEntry()));
        e.push_back(std::make_unique<TPictureFormat>(GifEntry()));
        return e;
    }();
    return entries;
}

std::vector<const TPictureFormat*>& Table()
{
    static std::vector<const TPictureFormat*> table = [] {
        std::vector<const TPictureFormat*> t;
        for (const auto& e : Entries()) t.push_back(e.get());
        return t;
    }();
    return table;
}

} // namespace

int64_t TPictureHeader::AllPixels() const
{
    if (FrameList.empty()) return Pixels() * std::max<int64_t>(1, Frames);
    int64_t total = 0;
    for (const TFrameHeader& f : FrameList) total += f.Width * f.Height;
    return total;
}

int64_t TPictureHeader::LargestFramePixels() const
{
    int64_t largest = Pixels();
    for (const TFrameHeader& f : FrameList) largest = std::max(largest, f.Width * f.Height);
    return largest;
}

const std::vector<const TPictureFormat*>& PictureFormats() { return Table(); }

TPictureKind RegisterPictureFormat(const TPictureFormat& format)
{
    Entries().push_back(std::make_unique<TPictureFormat>(format));
    Table().push_back(Entries().back().get());
    return Table().back();
}

TPictureKind KindOfFirstBytes(const uint8_t* bytes, size_t count)
{
    for (const TPictureFormat* format : PictureFormats())
        if (format->HasSignature(bytes, count)) return format;
    return nullptr;
}

TPictureKind FormatOfKey(const std::string& key)
{
    for (const TPictureFormat* format : PictureFormats())
        if (key == format->Key) return format;
    return nullptr;
}

std::string JoinedFormats(std::string (*name)(const TPictureFormat&), bool savingOnly, const std::string& separator,
                          const std::string& last)
{
    std::vector<std::string> names;
    for (const TPictureFormat* format : PictureFormats())
        if (!savingOnly || format->Has(fmtSaves)) names.push_back(name(*format));
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) text += (i == 0 ? "" : i + 1 == names.size() ? last : separator) + names[i];
    return text;
}

std::string FormatKey(const TPictureFormat& format) { return format.Key; }
std::string FormatName(const TPictureFormat& format) { return format.Name; }
std::string FormatExtension(const TPictureFormat& format) { return format.Extensions.front(); }

TPictureKind PngFormat() { return Table()[0]; }
TPictureKind BmpFormat() { return Table()[1]; }
TPictureKind GifFormat() { return Table()[2]; }

} // namespace tintabrel
