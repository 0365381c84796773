// The facts of each pixel format in one table, the row stride, and the one reading and writing
// of an index in a packed row. Everything that asks "how many bits", "indexed or not" or "which
// index is pixel x" asks here.
#pragma once

#include <cstdint>
#include <iterator>

namespace tintabrel {

enum class TPixelFormat { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

struct TPixelFormatFacts {
    TPixelFormat Format;
    int Bits;       // bits per pixel of a stored row (custom: as its header says, 0 here)
    int Depth;      // bits per pixel as the picture files count the format: 15 for 5-5-5, 24 for the
                    // device form's colours, 15 for a custom layout
    bool Indexed;   // rows hold colour-table indices
    bool BitFields; // rows are stored with bit-field masks (5-6-5)
};

// In the order of TPixelFormat. The device form is this program's 32 bits per pixel.
inline constexpr TPixelFormatFacts PixelFormatTable[] = {
    {TPixelFormat::pfDevice, 32, 24, false, false}, {TPixelFormat::pf1bit, 1, 1, true, false},
    {TPixelFormat::pf4bit, 4, 4, true, false},      {TPixelFormat::pf8bit, 8, 8, true, false},
    {TPixelFormat::pf15bit, 16, 15, false, false},  {TPixelFormat::pf16bit, 16, 16, false, true},
    {TPixelFormat::pf24bit, 24, 24, false, false},  {TPixelFormat::pf32bit, 32, 32, false, false},
    {TPixelFormat::pfCustom, 0, 15, false, false},
};

static_assert([] {
    for (size_t i = 0; i < std::size(PixelFormatTable); ++i)
        if (static_cast<size_t>(PixelFormatTable[i].Format) != i) return false;
    return true;
}());

// The facts of a format; a value outside the enumeration gets those of the device form.
constexpr const TPixelFormatFacts& FactsOf(TPixelFormat format)
{
    const auto i = static_cast<unsigned>(format);
    return PixelFormatTable[i < std::size(PixelFormatTable) ? i : 0];
}

// Rows of 1, 4 and 8 bits per pixel hold indices.
constexpr bool IsIndexedBits(int bits) { return bits == 1 || bits == 4 || bits == 8; }

// Bytes of a row: ((width * bits + 31) div 32) * 4, every row starting on a 4-byte boundary.
constexpr int64_t RowStride(int64_t width, int64_t bits) { return ((width * bits + 31) / 32) * 4; }

// Index of pixel x of a row of 1, 4 or 8 bits per pixel; the leftmost pixel sits in the most
// significant bits of its byte.
inline uint8_t GetPackedIndex(const uint8_t* row, int bits, int32_t x)
{
    switch (bits) {
    case 1: return static_cast<uint8_t>((row[x >> 3] >> (7 - (x & 7))) & 1);
    case 4: return static_cast<uint8_t>((x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4));
    default: return row[x];
    }
}

// Writes the index of pixel x (its low bits), leaving the other pixels of the byte as they are.
inline void PutPackedIndex(uint8_t* row, int bits, int32_t x, uint8_t index)
{
    switch (bits) {
    case 1: {
        const uint8_t bit = static_cast<uint8_t>(0x80 >> (x & 7));
        row[x >> 3] = static_cast<uint8_t>((index & 1) ? (row[x >> 3] | bit) : (row[x >> 3] & ~bit));
        return;
    }
    case 4:
        row[x >> 1] = (x & 1) ? static_cast<uint8_t>((row[x >> 1] & 0xF0) | (index & 0x0F))
                              : static_cast<uint8_t>((row[x >> 1] & 0x0F) | (index << 4));
        return;
    default: row[x] = index;
    }
}

} // namespace tintabrel
