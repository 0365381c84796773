#include "image/PixelCodec.h"

#include <bit>
#include <cstring>

namespace tintabrel {

TChannelMask TChannelMask::Of(uint32_t mask)
{
    TChannelMask m;
    m.Mask = mask;
    if (mask == 0) return m;
    m.Shift = std::countr_zero(mask);
    m.Bits = std::countr_one(mask >> m.Shift);
    return m;
}

uint8_t TChannelMask::Decode(uint32_t pixel) const
{
    if (Bits == 0) return 0;
    uint32_t v = (pixel >> Shift) & ((Bits >= 32) ? 0xFFFFFFFFu : ((1u << Bits) - 1));
    if (Bits >= 8) return static_cast<uint8_t>(v >> (Bits - 8));
    // Repeat the bits downwards so that the largest value widens to 255.
    uint32_t out = v << (8 - Bits);
    for (int filled = Bits; filled < 8; filled += Bits) out |= out >> Bits;
    return static_cast<uint8_t>(out);
}

uint32_t TChannelMask::Encode(uint8_t value) const
{
    if (Bits == 0) return 0;
    uint32_t v = Bits >= 8 ? (static_cast<uint32_t>(value) << (Bits - 8)) : (static_cast<uint32_t>(value) >> (8 - Bits));
    return (v << Shift) & Mask;
}

void EffectiveMasks(const TBitmapImage& image, uint32_t masks[3])
{
    const int bits = image.Header.biBitCount;
    if (image.Header.biCompression == BI_BITFIELDS && image.Masks[0] != 0) {
        masks[0] = image.Masks[0];
        masks[1] = image.Masks[1];
        masks[2] = image.Masks[2];
    } else if (image.Header.biCompression == BI_BITFIELDS) {
        masks[0] = bits == 16 ? 0xF800 : 0xFF0000;
        masks[1] = bits == 16 ? 0x07E0 : 0xFF00;
        masks[2] = bits == 16 ? 0x001F : 0xFF;
    } else {
        masks[0] = bits == 16 ? 0x7C00 : 0xFF0000;
        masks[1] = bits == 16 ? 0x03E0 : 0xFF00;
        masks[2] = bits == 16 ? 0x001F : 0xFF;
    }
}

TRowDecoder::TRowDecoder(const TBitmapImage& image)
    : image_(image), bits_(image.Header.biBitCount),
      masked_(bits_ == 16 || (bits_ == 32 && image.Header.biCompression == BI_BITFIELDS))
{
    // Indices beyond the colour table read as black.
    for (size_t i = 0; i < image.ColorTable.size() && i < 256; ++i) {
        const TRGBQuad& q = image.ColorTable[i];
        lut_[i] = MakeColor(q.rgbRed, q.rgbGreen, q.rgbBlue);
    }
    if (masked_) {
        uint32_t m[3];
        EffectiveMasks(image, m);
        r_ = TChannelMask::Of(m[0]);
        g_ = TChannelMask::Of(m[1]);
        b_ = TChannelMask::Of(m[2]);
    }
}

void TRowDecoder::Decode(int32_t r, int32_t x0, int32_t count, TColor* out) const
{
    const uint8_t* row = image_.Row(r);
    switch (bits_) {
    case 1:
    case 4:
    case 8:
        for (int32_t i = 0; i < count; ++i) out[i] = lut_[GetPackedIndex(row, bits_, x0 + i)];
        return;
    case 16:
        for (int32_t i = 0; i < count; ++i) {
            const uint8_t* p = row + 2 * static_cast<size_t>(x0 + i);
            const uint32_t v = p[0] | (p[1] << 8);
            out[i] = MakeColor(r_.Decode(v), g_.Decode(v), b_.Decode(v));
        }
        return;
    case 24:
        for (int32_t i = 0; i < count; ++i) {
            const uint8_t* p = row + 3 * static_cast<size_t>(x0 + i);
            out[i] = MakeColor(p[2], p[1], p[0]);
        }
        return;
    case 32:
        for (int32_t i = 0; i < count; ++i) {
            const uint8_t* p = row + 4 * static_cast<size_t>(x0 + i);
            if (masked_) {
                const uint32_t v = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
                out[i] = MakeColor(r_.Decode(v), g_.Decode(v), b_.Decode(v));
            } else {
                out[i] = MakeColor(p[2], p[1], p[0]);
            }
        }
        return;
    default:
        for (int32_t i = 0; i < count; ++i) out[i] = clBlack;
    }
}

TRowEncoder::TRowEncoder(TBitmapImage& image)
    : image_(image), bits_(image.Header.biBitCount),
      masked_(bits_ == 16 || (bits_ == 32 && image.Header.biCompression == BI_BITFIELDS))
{
    if (masked_) {
        uint32_t m[3];
        EffectiveMasks(image, m);
        r_ = TChannelMask::Of(m[0]);
        g_ = TChannelMask::Of(m[1]);
        b_ = TChannelMask::Of(m[2]);
    }
}

uint8_t TRowEncoder::Match(TColor c)
{
    c &= 0xFFFFFF;
    if (c == lastColor_) return lastIndex_;
    auto it = cache_.find(c);
    uint8_t index;
    if (it != cache_.end()) {
        index = it->second;
    } else {
        const int limit = static_cast<int>(std::min<size_t>(image_.ColorTable.size(), size_t{1} << bits_));
        const int n = NearestEntry(image_.ColorTable.data(), limit, c);
        index = static_cast<uint8_t>(n < 0 ? 0 : n);
        cache_.emplace(c, index);
    }
    lastColor_ = c;
    lastIndex_ = index;
    return index;
}

void TRowEncoder::Encode(int32_t r, int32_t x0, int32_t count, const TColor* in)
{
    uint8_t* row = image_.Row(r);
    switch (bits_) {
    case 1:
    case 4:
    case 8:
        for (int32_t i = 0; i < count; ++i) PutPackedIndex(row, bits_, x0 + i, Match(in[i]));
        return;
    case 16:
        for (int32_t i = 0; i < count; ++i) {
            const TColor c = in[i];
            const uint32_t v = r_.Encode(RedOf(c)) | g_.Encode(GreenOf(c)) | b_.Encode(BlueOf(c));
            uint8_t* p = row + 2 * static_cast<size_t>(x0 + i);
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
        }
        return;
    case 24:
        for (int32_t i = 0; i < count; ++i) {
            uint8_t* p = row + 3 * static_cast<size_t>(x0 + i);
            p[0] = BlueOf(in[i]);
            p[1] = GreenOf(in[i]);
            p[2] = RedOf(in[i]);
        }
        return;
    case 32:
        for (int32_t i = 0; i < count; ++i) {
            uint8_t* p = row + 4 * static_cast<size_t>(x0 + i);
            if (masked_) {
                const TColor c = in[i];
                const uint32_t v = r_.Encode(RedOf(c)) | g_.Encode(GreenOf(c)) | b_.Encode(BlueOf(c));
                std::memcpy(p, &v, 4);
            } else {
                p[0] = BlueOf(in[i]);
                p[1] = GreenOf(in[i]);
                p[2] = RedOf(in[i]);
                p[3] = 0;
            }
        }
        return;
    default: return;
    }
}

} // namespace tintabrel
