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

[[noreturn]] void Invalid() { throw EInvalidGraphic(msg::InvalidBitmap); }

// The bytes of one file, taken from the stream or, once the rest of a run-length file has been
// copied, from that copy. Remaining() is what is left of the file.
class TByteSource {
public:
    TByteSource(TStream& stream, int64_t available) : stream_(stream), remaining_(available) {}

    int64_t Remaining() const { return remaining_; }

    // Exactly count bytes or EReadError.
    void Read(void* buffer, int64_t count)
    {
        if (count <= 0) return;
        if (count > remaining_) throw EReadError(msg::ReadError);
        if (Take(buffer, count) != count) throw EReadError(msg::ReadError);
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
    if (!ValidBitCount(bits)) Invalid();
    switch (h.biCompression) {
    case BI_RGB: break;
    case BI_RLE8: if (bits != 8) Invalid(); break;
    case BI_RLE4: if (bits != 4) Invalid(); break;
    case BI_BITFIELDS: if (bits != 16 && bits != 32) Invalid(); break;
    default: Invalid(); // embedded JPEG/PNG, alpha bit fields, Huffman ...
    }
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) Invalid();
    const int64_t height = h.biHeight < 0 ? -static_cast<int64_t>(h.biHeight) : h.biHeight;
    if (CheckedRowStride(h.biWidth, bits, height) < 0) Invalid();
    // Run-length pictures are held with 32 bits per pixel.
    if ((h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4) && CheckedRowStride(h.biWidth, 32, height) < 0)
        Invalid();
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

std::shared_ptr<TBitmapImage> ReadBmp(TStream& stream, int64_t available, TTruncatedPixels truncated)
{
    TByteSource src(stream, available);

    uint8_t fileHeader[FileHeaderSize];
    src.Read(fileHeader, FileHeaderSize);
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') Invalid();

    uint8_t hdr[MaxHeaderSize] = {};
    src.Read(hdr, 4);
    const uint32_t headerSize = U32(hdr);
    TBitmapInfoHeader info;
    uint16_t planes;
    const bool core = headerSize == CoreHeaderSize;
    if (core) {
        src.Read(hdr + 4, 8);
        info.biWidth = U16(hdr + 4);
        info.biHeight = U16(hdr + 6);
        planes = U16(hdr + 8);
        info.biBitCount = U16(hdr + 10);
    } else if (headerSize == InfoHeaderSize || headerSize == 52 || headerSize == 56 || headerSize == 108 ||
               headerSize == 124) {
        // The longer versions hold the masks inside the header after the 40 bytes (52: red, green,
        // blue; 56: and alpha, which is not used) and, from 108 bytes, colour-space data.
        src.Read(hdr + 4, headerSize - 4);
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
        Invalid();
    }
    if (planes != 1) Invalid();
    CheckHeader(info);

    const int bits = info.biBitCount;
    const bool runLength = info.biCompression == BI_RLE8 || info.biCompression == BI_RLE4;
    auto image = std::make_shared<TBitmapImage>();
    if (runLength) {
        // Keep the whole file: an unchanged picture is written back exactly as it was read.
        const int64_t rest = src.Remaining();
        std::vector<uint8_t>& copy = image->SavedFileBytes;
        copy.resize(static_cast<size_t>(FileHeaderSize + headerSize + rest));
        std::memcpy(copy.data(), fileHeader, FileHeaderSize);
        std::memcpy(copy.data() + FileHeaderSize, hdr, headerSize);
        uint8_t* restStart = copy.data() + FileHeaderSize + headerSize;
        src.Read(restStart, rest);
        src.UseMemory(restStart, rest);
    }

    uint32_t masks[3] = {0, 0, 0};
    if (info.biCompression == BI_BITFIELDS) {
        const uint8_t* m = hdr + 40;
        uint8_t separate[12];
        if (headerSize == InfoHeaderSize) {
            src.Read(separate, 12);
            m = separate;
        }
        for (int k = 0; k < 3; ++k) masks[k] = U32(m + 4 * k);
    }

    // Colour table: a declared count above 256 has its surplus entries skipped.
    int64_t used = info.biClrUsed;
    if (used == 0 && bits <= 8) used = int64_t{1} << bits;
    const int entrySize = core ? 3 : 4;
    if (used * entrySize > src.Remaining()) throw EReadError(msg::ReadError);
    const int kept = static_cast<int>(std::min<int64_t>(used, MaxTableEntries));
    std::vector<uint8_t> raw(static_cast<size_t>(kept) * static_cast<size_t>(entrySize));
    src.Read(raw.data(), static_cast<int64_t>(raw.size()));
    src.Skip((used - kept) * entrySize);
    std::vector<TRGBQuad> table(static_cast<size_t>(kept));
    for (int k = 0; k < kept; ++k) {
        const uint8_t* e = raw.data() + static_cast<size_t>(k) * static_cast<size_t>(entrySize);
        table[static_cast<size_t>(k)] = {e[0], e[1], e[2], 0};
    }
    info.biClrUsed = static_cast<uint32_t>(used);

    const int32_t height = info.biHeight < 0 ? -info.biHeight : info.biHeight;
    const int64_t fileStride = CheckedRowStride(info.biWidth, bits, height);
    int64_t pixelBytes = info.biSizeImage != 0 ? int64_t{info.biSizeImage} : fileStride * height;
    // A run-length stream may be longer than the rows it stands for; without a declared size it
    // runs to the end of the file (the end-of-picture code ends it).
    if (runLength && info.biSizeImage == 0) pixelBytes = src.Remaining();
    pixelBytes = std::min(pixelBytes, src.Remaining());

    if (!runLength && truncated == TTruncatedPixels::Refuse) {
        // The padding of the last row carries no pixel: a file without it is whole.
        const int64_t needed = (height - 1) * fileStride + (int64_t{info.biWidth} * bits + 7) / 8;
        if (src.Remaining() < needed) throw EReadError(msg::PixelDataCutShort(src.Remaining(), needed));
    }

    image->HasHeader = true;
    image->CoreHeader = core;
    TBitmapInfoHeader& h = image->Header;
    h = info;
    h.biSize = InfoHeaderSize;
    h.biPlanes = 1;
    if (runLength) {
        image->DeviceForm = true;
        h.biHeight = height;
        h.biBitCount = 32;
        h.biCompression = BI_RGB;
        image->AllocatePixels();
        h.biSizeImage = static_cast<uint32_t>(image->ImageBytes());
        // Indices beyond the colour table read as black.
        std::array<uint32_t, 256> lut{};
        for (size_t k = 0; k < table.size(); ++k)
            lut[k] = table[k].rgbBlue | (table[k].rgbGreen << 8) | (static_cast<uint32_t>(table[k].rgbRed) << 16);
        DecodeRunLength(src.MemoryHere(), static_cast<size_t>(pixelBytes), bits, lut, *image, info.biHeight < 0);
        return image;
    }

    std::memcpy(image->Masks, masks, sizeof masks);
    image->AllocatePixels();
    h.biSizeImage = static_cast<uint32_t>(image->ImageBytes());
    // Rows are held in file order, so the pixel bytes go straight into them; rows the file
    // does not reach stay 0.
    src.ReadSome(image->Pixels(), std::min<int64_t>(pixelBytes, static_cast<int64_t>(image->ImageBytes())));
    if (bits <= 8) {
        image->ColorTable = std::move(table);
    } else if (!table.empty()) {
        TPalette palette;
        for (const TRGBQuad& q : table) palette.Add(q.rgbRed, q.rgbGreen, q.rgbBlue);
        image->Palette = palette;
    }
    return image;
}

} // namespace

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

void TBitmap::SaveToStream(TStream& stream) const
{
    const TBitmapImage& img = *image_;
    if (!img.SavedFileBytes.empty()) {
        stream.WriteBuffer(img.SavedFileBytes.data(), static_cast<int64_t>(img.SavedFileBytes.size()));
        return;
    }
    if (!img.HasForm() || img.Header.biWidth <= 0 || img.AbsHeight() <= 0) return;

    // A device-form store already holds 32-bit rows, the display's format here.
    const int bits = img.DeviceForm ? 32 : img.Header.biBitCount;
    const bool bitFields = !img.DeviceForm && (bits == 16 || bits == 32) && img.Header.biCompression == BI_BITFIELDS;
    const int32_t width = img.Header.biWidth;
    const int32_t storedHeight = img.Header.biHeight;
    // The core header has no room for masks, top-row-first rows or sizes above 65535; such a
    // picture (changed since it was read) is written with the information header instead.
    const bool core = img.CoreHeader && !bitFields && (IsIndexedBits(bits) || bits == 24) &&
                      width <= 0xFFFF && storedHeight > 0 && storedHeight <= 0xFFFF;

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
    if (core && bits > 8) table.clear();

    const uint32_t imageSize = static_cast<uint32_t>(img.ImageBytes());
    const uint32_t headerSize = core ? CoreHeaderSize : InfoHeaderSize;
    const uint32_t entrySize = core ? 3 : 4;
    const uint32_t offset = static_cast<uint32_t>(FileHeaderSize) + headerSize + (bitFields ? 12 : 0) +
                            static_cast<uint32_t>(table.size()) * entrySize;

    std::vector<uint8_t> out;
    out.reserve(offset);
    out.push_back('B');
    out.push_back('M');
    Put32(out, offset + imageSize);
    Put16(out, 0);
    Put16(out, 0);
    Put32(out, offset);
    if (core) {
        Put32(out, CoreHeaderSize);
        Put16(out, static_cast<uint32_t>(width));
        Put16(out, static_cast<uint32_t>(storedHeight));
        Put16(out, 1);
        Put16(out, static_cast<uint32_t>(bits));
        for (const TRGBQuad& q : table) {
            out.push_back(q.rgbBlue);
            out.push_back(q.rgbGreen);
            out.push_back(q.rgbRed);
        }
    } else {
        Put32(out, InfoHeaderSize);
        Put32(out, static_cast<uint32_t>(width));
        Put32(out, static_cast<uint32_t>(storedHeight));
        Put16(out, 1);
        Put16(out, static_cast<uint32_t>(bits));
        Put32(out, bitFields ? BI_BITFIELDS : BI_RGB);
        Put32(out, imageSize);
        Put32(out, static_cast<uint32_t>(img.Header.biXPelsPerMeter));
        Put32(out, static_cast<uint32_t>(img.Header.biYPelsPerMeter));
        Put32(out, static_cast<uint32_t>(table.size()));
        Put32(out, img.Header.biClrImportant);
        if (bitFields) {
            uint32_t masks[3];
            EffectiveMasks(img, masks);
            for (uint32_t m : masks) Put32(out, m);
        }
        for (const TRGBQuad& q : table) {
            out.push_back(q.rgbBlue);
            out.push_back(q.rgbGreen);
            out.push_back(q.rgbRed);
            out.push_back(0);
        }
    }
    stream.WriteBuffer(out.data(), static_cast<int64_t>(out.size()));
    stream.WriteBuffer(img.Pixels(), imageSize);
}

} // namespace tintabrel
