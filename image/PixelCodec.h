// Reading and writing the pixels of a store's rows as colour values, whatever their layout.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>

#include "image/Graphics.h"

namespace tintabrel {

struct TChannelMask {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;
    static TChannelMask Of(uint32_t mask);
    uint8_t Decode(uint32_t pixel) const;
    uint32_t Encode(uint8_t value) const;
};

// The red, green and blue masks in force for a 16- or 32-bit store (defaults filled in).
void EffectiveMasks(const TBitmapImage& image, uint32_t masks[3]);

class TRowDecoder {
public:
    explicit TRowDecoder(const TBitmapImage& image);
    // count colours of row r (from the top) starting at column x0.
    void Decode(int32_t r, int32_t x0, int32_t count, TColor* out) const;
    TColor Pixel(int32_t x, int32_t r) const
    {
        TColor c;
        Decode(r, x, 1, &c);
        return c;
    }

private:
    const TBitmapImage& image_;
    int bits_;
    bool masked_;
    std::array<TColor, 256> lut_{};
    TChannelMask r_, g_, b_;
};

class TRowEncoder {
public:
    explicit TRowEncoder(TBitmapImage& image);
    void Encode(int32_t r, int32_t x0, int32_t count, const TColor* in);
    void SetPixel(int32_t x, int32_t r, TColor c) { Encode(r, x, 1, &c); }
    // Index of the colour-table entry nearest to the colour (indexed stores).
    uint8_t Match(TColor c);

private:
    TBitmapImage& image_;
    int bits_;
    bool masked_;
    TChannelMask r_, g_, b_;
    std::unordered_map<TColor, uint8_t> cache_;
    TColor lastColor_ = -1;
    uint8_t lastIndex_ = 0;
};

} // namespace tintabrel
