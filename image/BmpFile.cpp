// BMP reading and writing of TBitmap.
//
// The reader accepts the file header followed by the 12-byte core header or the 40-, 52-, 56-,
// 108- and 124-byte information headers; pictures are uncompressed, bit-field or run-length (4- and 8-bit)
// pictures of 1, 4, 8, 16, 24 or 32 bits per pixel. Run-length pictures are decoded into a
// 32-bit device-form store that keeps the file as read, so that an unchanged picture is written
// back byte for byte.
#include "image/Graphics.h"

#include "base/Exceptions.h"
#include "image/PixelCodec.h"
#include "base/Streams.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tintabrel {

namespace {

constexpr int64_t FileHeaderSize = 14;
constexpr uint32_t CoreHeaderSize = 12;
constexpr uint32_t InfoHeaderSize = 40;
constexpr uint32_t MaxHeaderSize = 124;
constexpr int MaxTableEntries = 256;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
int32_t I32(const uint8_t* p) { return static_cast<int32_t>(U32(p)); }

void Put16(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

[[noreturn]] void Invalid(const std::string& cause) { throw EInvalidGraphic(msg::InvalidBitmap, cause); }

// The bytes of one file, taken from the stream or, once the rest of a run-length file has been
// copied, from that copy. Remaining() is what is left of the file.
class TByteSource {
public:
    TByteSource(TStream& stream, int64_t available) : stream_(stream), remaining_(available) {}

    int64_t Remaining() const { return remaining_; }

    // Exactly count bytes or EReadError, whose cause names what was being read.
    void Read(void* buffer, int64_t count, const char* what = "its data")
    {
        if (count <= 0) return;
        const int64_t got = count > remaining_ ? remaining_ : count;
        if (count > remaining_ || Take(buffer, count) != count)
            throw EReadError(msg::ReadError, "the file ends inside " + std::string(what) + " (" +
                                                 std::to_string(std::max<int64_t>(got, 0)) + " of " +
                                                 std::to_string(count) + " bytes present)");
    }

    // Up to count bytes; returns how many were read.
    int64_t ReadSome(void* buffer, int64_t count) { return Take(buffer, std::min(count, remaining_)); }

    void Skip(int64_t count)
    {
        if (count <= 0) return;
        if (count > remaining_) throw EReadError(msg::ReadError);
        if (memory_) {
            memory_ += count;
        } else {
            stream_.Seek(count, TSeekOrigin::soCurrent);
        }
        remaining_ -= count;
    }

    // From now on the bytes come from memory (the in-memory copy of the file).
    void UseMemory(const uint8_t* data, int64_t size)
    {
        memory_ = data;
        remaining_ = size;
    }
    // The current position in memory; only after UseMemory.
    const uint8_t* MemoryHere() const { return memory_; }

private:
    int64_t Take(void* buffer, int64_t count)
    {
        if (count <= 0) return 0;
        int64_t got;
        if (memory_) {
            std::memcpy(buffer, memory_, static_cast<size_t>(count));
            memory_ += count;
            got = count;
        } else {
            got = stream_.Read(buffer, count);
        }
        remaining_ -= got;
        return got;
    }

    TStream& stream_;
    int64_t remaining_;
    const uint8_t* memory_ = nullptr;
};

bool ValidBitCount(int bits) { return IsIndexedBits(bits) || bits == 16 || bits == 24 || bits == 32; }

// Refuses every header that cannot describe a picture this program can hold, before anything
// is allocated for it.
void CheckHeader(const TBitmapInfoHeader& h)
{
    const int bits = h.biBitCount;
    if (!ValidBitCount(bits)) Invalid(std::to_string(bits) + " bits per pixel, which no BMP has");
    const std::string compression = "compression " + std::to_string(h.biCompression);
    switch (h.biCompression) {
    case BI_RGB: break;
    case BI_RLE8: if (bits != 8) Invalid("run-length compression of 8 bits with " + std::to_string(bits) + " bits per pixel"); break;
    case BI_RLE4: if (bits != 4) Invalid("run-length compression of 4 bits with " + std::to_string(bits) + " bits per pixel"); break;
    case BI_BITFIELDS: if (bits != 16 && bits != 32) Invalid("bit fields with " + std::to_string(bits) + " bits per pixel"); break;
    default: Invalid(compression + " (embedded JPEG or PNG, alpha bit fields ...), which this program does not read");
    }
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN)
        Invalid("a picture of " + std::to_string(h.biWidth) + " x " + std::to_string(h.biHeight) + " pixels");
    const int64_t height = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight) : h.biHeight;
    const std::string size = std::to_string(h.biWidth) + " x " + std::to_string(height);
    if (CheckedRowStride(h.biWidth, bits, height) < 0)
        Invalid("the picture declares " + size + " pixels, more than the limit of " + std::to_string(MaxPicturePixels()) + " pixels");
    // Run-length pictures are held with 32 bits per pixel.
    if ((h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4) && CheckedRowStride(h.biWidth, 32, height) < 0)
        Invalid("the picture declares " + size + " pixels, more than the limit of " + std::to_string(MaxPicturePixels()) + " pixels");
}

inline void PutDevicePixel(uint8_t* row, int32_t x, uint32_t bgrx) { std::memcpy(row + 4 * static_cast<size_t>(x), &bgrx, 4); }

// Decodes a run-length stream (published rules: runs, end of line, end of picture, delta,
// absolute runs padded to 16 bits) into a 32-bit device store. Pixels are clipped to the
// picture; pixels the stream never sets stay black; a stream that ends early leaves the rest
// black.
void DecodeRunLength(const uint8_t* data, size_t size, int bits, const std::array<uint32_t, 256>& lut,
                     TBitmapImage& image, bool topDown)
{
    const int32_t width = image.Header.biWidth;
    const int32_t height = image.AbsHeight();
    int32_t x = 0;
    int32_t line = 0; // lines counted in file order
    size_t i = 0;
    uint8_t* row = image.Row(topDown ? 0 : height - 1);
    auto setLine = [&](int32_t l) {
        line = l;
        if (line < height) row = image.Row(topDown ? line : height - 1 - line);
    };

    while (line < height && i + 1 < size) {
        const uint8_t count = data[i];
        const uint8_t value = data[i + 1];
        i += 2;
        if (count > 0) {
            const int32_t n = std::min<int32_t>(count, width - x);
            if (bits == 8) {
                const uint32_t c = lut[value];
                for (int32_t k = 0; k < n; ++k) PutDevicePixel(row, x + k, c);
            } else {
                const uint32_t c[2] = {lut[value >> 4], lut[value & 0x0F]};
                for (int32_t k = 0; k < n; ++k) PutDevicePixel(row, x + k, c[k & 1]);
            }
            x = std::min<int32_t>(x + count, width);
        } else if (value == 0) { // end of line
            x = 0;
            setLine(line + 1);
        } else if (value == 1) { // end of picture
            break;
        } else if (value == 2) { // delta: dx pixels to the right, dy lines on
            if (i + 1 >= size) break;
            x = std::min<int32_t>(x + data[i], width);
            const int32_t dy = data[i + 1];
            i += 2;
            if (dy > 0) setLine(line + dy);
        } else { // absolute run of `value` pixels
            const size_t bytes = bits == 8 ? value : (static_cast<size_t>(value) + 1) / 2;
            const size_t present = std::min(bytes, size - i);
            const uint8_t* p = data + i;
            const int32_t n = std::min<int32_t>(value, width - x);
            for (int32_t k = 0; k < n; ++k) {
                const size_t b = bits == 8 ? static_cast<size_t>(k) : static_cast<size_t>(k) / 2;
                if (b >= present) break;
                PutDevicePixel(row, x + k, lut[GetPackedIndex(p, bits, k)]);
            }
            x = std::min<int32_t>(x + value, width);
            i += std::min(size - i, (bytes + 1) & ~size_t{1});
        }
    }
}

// What the headers of a file say, and their bytes as read (a run-length file is kept whole).
struct TBmpHeaders {
    uint8_t File[FileHeaderSize] = {};
    uint8_t Info[MaxHeaderSize] = {};
    uint32_t InfoSize = 0;
    bool Core = false;
    TBitmapInfoHeader Fields;
    bool RunLength() const { return Fields.biCompression == BI_RLE8 || Fields.biCompression == BI_RLE4; }
};

// The file header and the core or information header, refused unless they describe a picture
// this program can hold.
TBmpHeaders ReadHeaders(TByteSource& src)
{
    TBmpHeaders h;
    src.Read(h.File, FileHeaderSize, "its 14-byte file header");
    if (h.File[0] != 'B' || h.File[1] != 'M') Invalid("not a BMP file: it does not start with \"BM\"");

    uint8_t* hdr = h.Info;
    src.Read(hdr, 4, "the size of its information header");
    h.InfoSize = U32(hdr);
    TBitmapInfoHeader& info = h.Fields;
    uint16_t planes;
    h.Core = h.InfoSize == CoreHeaderSize;
    if (h.Core) {
        src.Read(hdr + 4, 8, "its 12-byte core header");
        info.biWidth = U16(hdr + 4);
        info.biHeight = U16(hdr + 6);
        planes = U16(hdr + 8);
        info.biBitCount = U16(hdr + 10);
    } else if (h.InfoSize == InfoHeaderSize || h.InfoSize == 52 || h.InfoSize == 56 || h.InfoSize == 108 ||
               h.InfoSize == 124) {
        // The longer versions hold the masks inside the header after the 40 bytes (52: red, green,
        // blue; 56: and alpha, which is not used) and, from 108 bytes, colour-space data.
        const std::string what = "its " + std::to_string(h.InfoSize) + "-byte information header";
        src.Read(hdr + 4, h.InfoSize - 4, what.c_str());
        info.biWidth = I32(hdr + 4);
        info.biHeight = I32(hdr + 8);
        planes = U16(hdr + 12);
        info.biBitCount = U16(hdr + 14);
        info.biCompression = U32(hdr + 16);
        info.biSizeImage = U32(hdr + 20);
        info.biXPelsPerMeter = I32(hdr + 24);
        info.biYPelsPerMeter = I32(hdr + 28);
        info.biClrUsed = U32(hdr + 32);
        info.biClrImportant = U32(hdr + 36);
    } else {
        Invalid("an information header of " + std::to_string(h.InfoSize) + " bytes, which no BMP version has");
    }
    if (planes != 1) Invalid("the header gives " + std::to_string(planes) + " planes, where a BMP has 1");
    CheckHeader(info);
    return h;
}

// Keeps the whole file in the store, so that an unchanged picture is written back exactly as it
// was read; the rest of the reading takes its bytes from that copy.
void KeepFileBytes(TByteSource& src, const TBmpHeaders& h, TBitmapImage& image)
{
    const int64_t rest = src.Remaining();
    std::vector<uint8_t>& copy = image.SavedFileBytes;
    copy.resize(static_cast<size_t>(FileHeaderSize + h.InfoSize + rest));
    std::memcpy(copy.data(), h.File, FileHeaderSize);
    std::memcpy(copy.data() + FileHeaderSize, h.Info, h.InfoSize);
    uint8_t* restStart = copy.data() + FileHeaderSize + h.InfoSize;
    src.Read(restStart, rest);
    src.UseMemory(restStart, rest);
}

// The bit-field masks: inside a header longer than 40 bytes, else in the 12 bytes after it.
void ReadMasks(TByteSource& src, const TBmpHeaders& h, uint32_t masks[3])
{
    const uint8_t* m = h.Info + InfoHeaderSize;
    uint8_t separate[12];
    if (h.InfoSize == InfoHeaderSize) {
        src.Read(separate, 12, "its 12 bytes of bit-field masks");
        m = separate;
    }
    for (int k = 0; k < 3; ++k) masks[k] = U32(m + 4 * k);
}

// The colour table: a declared count above 256 has its surplus entries skipped. Colours used
// becomes the count read (0 stands for the full table of an indexed picture).
std::vector<TRGBQuad> ReadColourTable(TByteSource& src, TBmpHeaders& h)
{
    const int bits = h.Fields.biBitCount;
    int64_t used = h.Fields.biClrUsed;
    if (used == 0 && bits <= 8) used = int64_t{1} << bits;
    const int entrySize = h.Core ? 3 : 4;
    if (used * entrySize > src.Remaining())
        throw EReadError(msg::ReadError, "the colour table of " + std::to_string(used) + " entries (colours used: " +
                                             std::to_string(h.Fields.biClrUsed) + ") does not fit in the " +
                                             std::to_string(src.Remaining()) + " bytes left in the file");
    const int kept = static_cast<int>(std::min<int64_t>(used, MaxTableEntries));
    std::vector<uint8_t> raw(static_cast<size_t>(kept) * static_cast<size_t>(entrySize));
    src.Read(raw.data(), static_cast<int64_t>(raw.size()));
    src.Skip((used - kept) * entrySize);
    std::vector<TRGBQuad> table(static_cast<size_t>(kept));
    for (int k = 0; k < kept; ++k) {
        const uint8_t* e = raw.data() + static_cast<size_t>(k) * static_cast<size_t>(entrySize);
        table[static_cast<size_t>(k)] = {e[0], e[1], e[2], 0};
    }
    h.Fields.biClrUsed = static_cast<uint32_t>(used);
    return table;
}

// How many pixel bytes to read: the declared image size (or the rows' size) as far as the file
// goes. A run-length stream may be longer than the rows it stands for; without a declared size
// it runs to the end of the file (the end-of-picture code ends it).
int64_t PixelByteCount(const TByteSource& src, const TBmpHeaders& h)
{
    const TBitmapInfoHeader& info = h.Fields;
    const int32_t height = info.biHeight < 0 ? -info.biHeight : info.biHeight;
    const int64_t fileStride = CheckedRowStride(info.biWidth, info.biBitCount, height);
    int64_t pixelBytes = info.biSizeImage != 0 ? int64_t{info.biSizeImage} : fileStride * height;
    if (h.RunLength() && info.biSizeImage == 0) pixelBytes = src.Remaining();
    return std::min(pixelBytes, src.Remaining());
}

// Refuses uncompressed rows the file does not hold in full, before the picture is made.
void RefuseTruncatedRows(const TByteSource& src, const TBitmapInfoHeader& info)
{
    const int64_t height = info.biHeight < 0 ? -int64_t{info.biHeight} : info.biHeight;
    const int64_t fileStride = CheckedRowStride(info.biWidth, info.biBitCount, height);
    // The padding of the last row carries no pixel: a file without it is whole.
    const int64_t needed = (height - 1) * fileStride + (int64_t{info.biWidth} * info.biBitCount + 7) / 8;
    if (src.Remaining() < needed) throw EReadError(msg::PixelDataCutShort(src.Remaining(), needed));
}

// The run-length stream decoded through the colour table into a 32-bit device-form store.
void ReadRunLengthPixels(TByteSource& src, int64_t pixelBytes, const TBmpHeaders& h,
                         const std::vector<TRGBQuad>& table, TBitmapImage& image)
{
    TBitmapInfoHeader& store = image.Header;
    image.DeviceForm = true;
    store.biHeight = image.AbsHeight();
    store.biBitCount = 32;
    store.biCompression = BI_RGB;
    image.AllocatePixels();
    store.biSizeImage = static_cast<uint32_t>(image.ImageBytes());
    // Indices beyond the colour table read as black.
    std::array<uint32_t, 256> lut{};
    for (size_t k = 0; k < table.size(); ++k)
        lut[k] = table[k].rgbBlue | (table[k].rgbGreen << 8) | (static_cast<uint32_t>(table[k].rgbRed) << 16);
    DecodeRunLength(src.MemoryHere(), static_cast<size_t>(pixelBytes), h.Fields.biBitCount, lut, image,
                    h.Fields.biHeight < 0);
}

// Uncompressed and bit-field rows, held in file order, so the pixel bytes go straight into
// them; rows the file does not reach stay 0. The table is the indexed picture's colour table,
// or the palette of a picture of more bits.
void ReadRows(TByteSource& src, int64_t pixelBytes, const uint32_t masks[3], std::vector<TRGBQuad> table,
              TBitmapImage& image)
{
    std::memcpy(image.Masks, masks, sizeof image.Masks);
    image.AllocatePixels();
    image.Header.biSizeImage = static_cast<uint32_t>(image.ImageBytes());
    src.ReadSome(image.Pixels(), std::min<int64_t>(pixelBytes, static_cast<int64_t>(image.ImageBytes())));
    if (image.Header.biBitCount <= 8) {
        image.ColorTable = std::move(table);
    } else if (!table.empty()) {
        TPalette palette;
        for (const TRGBQuad& q : table) palette.Add(q.rgbRed, q.rgbGreen, q.rgbBlue);
        image.Palette = palette;
    }
}

std::shared_ptr<TBitmapImage> ReadBmp(TStream& stream, int64_t available, TTruncatedPixels truncated)
{
    TByteSource src(stream, available);
    TBmpHeaders headers = ReadHeaders(src);
    auto image = std::make_shared<TBitmapImage>();
    if (headers.RunLength()) KeepFileBytes(src, headers, *image);
    uint32_t masks[3] = {0, 0, 0};
    if (headers.Fields.biCompression == BI_BITFIELDS) ReadMasks(src, headers, masks);
    std::vector<TRGBQuad> table = ReadColourTable(src, headers);
    const int64_t pixelBytes = PixelByteCount(src, headers);
    if (!headers.RunLength() && truncated == TTruncatedPixels::Refuse) RefuseTruncatedRows(src, headers.Fields);

    image->HasHeader = true;
    image->CoreHeader = headers.Core;
    image->Header = headers.Fields;
    image->Header.biSize = InfoHeaderSize;
    image->Header.biPlanes = 1;
    if (headers.RunLength())
        ReadRunLengthPixels(src, pixelBytes, headers, table, *image);
    else
        ReadRows(src, pixelBytes, masks, std::move(table), *image);
    return image;
}

} // namespace

TBitmapInfoHeader ReadBmpHeader(TStream& stream)
{
    TByteSource src(stream, std::max<int64_t>(0, stream.Size() - stream.Position()));
    return ReadHeaders(src).Fields;
}

TBmpLayout ReadBmpLayout(TStream& stream)
{
    const int64_t start = stream.Position();
    TByteSource src(stream, std::max<int64_t>(0, stream.Size() - start));
    TBmpHeaders headers = ReadHeaders(src);
    TBmpLayout layout;
    layout.Fields = headers.Fields;
    // The pixel data follows the headers, the masks and the colour table, as the reader takes it
    // (the file header's offset is not used).
    if (headers.InfoSize == InfoHeaderSize && headers.Fields.biCompression == BI_BITFIELDS) src.Skip(std::min<int64_t>(12, src.Remaining()));
    const std::vector<TRGBQuad> table = ReadColourTable(src, headers);
    layout.TableEntries = static_cast<int32_t>(table.size());
    layout.PixelBytesPresent = src.Remaining();
    return layout;
}

std::optional<TBitmapInfoHeader> ReadRunLengthBmpHeader(TStream& stream)
{
    TByteSource src(stream, std::max<int64_t>(0, stream.Size() - stream.Position()));
    TBmpHeaders headers = ReadHeaders(src);
    if (!headers.RunLength()) return std::nullopt;
    (void)ReadColourTable(src, headers);
    return headers.Fields;
}

void TBitmap::LoadFromStream(TStream& stream)
{
    const int64_t available = std::max<int64_t>(0, stream.Size() - stream.Position());
    if (available == 0) {
        image_ = std::make_shared<TBitmapImage>();
        return;
    }
    // The old picture stays until the whole file has been read.
    SetImage(ReadBmp(stream, available, TruncatedPixels));
}

namespace {

// How a store is written: its bits per pixel, header kind, masks and colour table.
struct TSaveLayout {
    int Bits = 0;
    bool BitFields = false;
    bool Core = false;
    std::vector<TRGBQuad> Table;
    uint32_t ImageSize = 0;
    uint32_t Offset = 0; // of the pixel data
};

// The colour table to write: an indexed picture's table as held (cut to colours used), never
// empty; for more bits, the palette the picture carries (not after a core header).
std::vector<TRGBQuad> TableToWrite(const TBitmapImage& img, int bits, bool core)
{
    std::vector<TRGBQuad> table;
    if (bits <= 8) {
        const size_t full = size_t{1} << bits;
        table = img.ColorTable;
        if (core) {
            table.resize(full);
        } else {
            if (img.Header.biClrUsed != 0 && img.Header.biClrUsed < table.size()) table.resize(img.Header.biClrUsed);
            // Colours used 0 means a full table to every reader: never write an indexed picture
            // without one. Black is what indices beyond the table read as.
            if (table.empty()) table.resize(full);
        }
        table.resize(std::min<size_t>(table.size(), MaxTableEntries));
    } else if (img.Palette && !img.CoreHeader) {
        for (int k = 0; k < img.Palette->Count() && k < MaxTableEntries; ++k) {
            const TPaletteEntry& e = (*img.Palette)[k];
            table.push_back({e.peBlue, e.peGreen, e.peRed, 0});
        }
    }
    return table;
}

TSaveLayout LayoutOf(const TBitmapImage& img)
{
    TSaveLayout layout;
    // A device-form store already holds 32-bit rows, the display's format here.
    layout.Bits = img.DeviceForm ? 32 : img.Header.biBitCount;
    const int bits = layout.Bits;
    layout.BitFields = !img.DeviceForm && (bits == 16 || bits == 32) && img.Header.biCompression == BI_BITFIELDS;
    // The core header has no room for masks, top-row-first rows or sizes above 65535; such a
    // picture (changed since it was read) is written with the information header instead.
    const int32_t storedHeight = img.Header.biHeight;
    layout.Core = img.CoreHeader && !layout.BitFields && (IsIndexedBits(bits) || bits == 24) &&
                  img.Header.biWidth <= 0xFFFF && storedHeight > 0 && storedHeight <= 0xFFFF;
    layout.Table = TableToWrite(img, bits, layout.Core);
    layout.ImageSize = static_cast<uint32_t>(img.ImageBytes());
    const uint32_t headerSize = layout.Core ? CoreHeaderSize : InfoHeaderSize;
    const uint32_t entrySize = layout.Core ? 3 : 4;
    layout.Offset = static_cast<uint32_t>(FileHeaderSize) + headerSize + (layout.BitFields ? 12 : 0) +
                    static_cast<uint32_t>(layout.Table.size()) * entrySize;
    return layout;
}

void PutFileHeader(std::vector<uint8_t>& out, const TSaveLayout& layout)
{
    out.push_back('B');
    out.push_back('M');
    Put32(out, layout.Offset + layout.ImageSize);
    Put16(out, 0);
    Put16(out, 0);
    Put32(out, layout.Offset);
}

void PutCoreHeader(std::vector<uint8_t>& out, const TBitmapImage& img, const TSaveLayout& layout)
{
    Put32(out, CoreHeaderSize);
    Put16(out, static_cast<uint32_t>(img.Header.biWidth));
    Put16(out, static_cast<uint32_t>(img.Header.biHeight));
    Put16(out, 1);
    Put16(out, static_cast<uint32_t>(layout.Bits));
}

// The 40-byte header and, for bit fields, the masks after it.
void PutInfoHeader(std::vector<uint8_t>& out, const TBitmapImage& img, const TSaveLayout& layout)
{
    Put32(out, InfoHeaderSize);
    Put32(out, static_cast<uint32_t>(img.Header.biWidth));
    Put32(out, static_cast<uint32_t>(img.Header.biHeight));
    Put16(out, 1);
    Put16(out, static_cast<uint32_t>(layout.Bits));
    Put32(out, layout.BitFields ? BI_BITFIELDS : BI_RGB);
    Put32(out, layout.ImageSize);
    Put32(out, static_cast<uint32_t>(img.Header.biXPelsPerMeter));
    Put32(out, static_cast<uint32_t>(img.Header.biYPelsPerMeter));
    Put32(out, static_cast<uint32_t>(layout.Table.size()));
    Put32(out, img.Header.biClrImportant);
    if (layout.BitFields) {
        uint32_t masks[3];
        EffectiveMasks(img, masks);
        for (uint32_t m : masks) Put32(out, m);
    }
}

// Entries blue, green, red and, after an information header, a reserved 0.
void PutColourTable(std::vector<uint8_t>& out, const TSaveLayout& layout)
{
    for (const TRGBQuad& q : layout.Table) {
        out.push_back(q.rgbBlue);
        out.push_back(q.rgbGreen);
        out.push_back(q.rgbRed);
        if (!layout.Core) out.push_back(0);
    }
}

} // namespace

void TBitmap::SaveToStream(TStream& stream) const
{
    const TBitmapImage& img = *image_;
    if (!img.SavedFileBytes.empty()) {
        stream.WriteBuffer(img.SavedFileBytes.data(), static_cast<int64_t>(img.SavedFileBytes.size()));
        return;
    }
    if (!img.HasForm() || img.Header.biWidth <= 0 || img.AbsHeight() <= 0) return;

    const TSaveLayout layout = LayoutOf(img);
    std::vector<uint8_t> out;
    out.reserve(layout.Offset);
    PutFileHeader(out, layout);
    if (layout.Core)
        PutCoreHeader(out, img, layout);
    else
        PutInfoHeader(out, img, layout);
    PutColourTable(out, layout);
    stream.WriteBuffer(out.data(), static_cast<int64_t>(out.size()));
    stream.WriteBuffer(img.Pixels(), layout.ImageSize);
}

} // namespace tintabrel
