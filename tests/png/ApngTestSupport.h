// Animated PNG files built chunk by chunk in the tests, so that every field (sequence numbers,
// rectangles, ops, counts) can be set right or wrong on purpose.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "png/VRQPNGTypes.h"

namespace tintabrel::test {

using ByteVector = std::vector<uint8_t>;

inline void AddBE32(ByteVector& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
inline void AddBE16(ByteVector& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// The zlib stream of 8-bit-sample rows without filters: sample(x, y, channel) for each byte.
inline ByteVector ZRows(int width, int height, int channels, const std::function<uint8_t(int, int, int)>& sample)
{
    ByteVector raw;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c) raw.push_back(sample(x, y, c));
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    ByteVector out(size);
    compress(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
    out.resize(size);
    return out;
}

struct TFcTL {
    uint32_t Width, Height, X = 0, Y = 0;
    uint16_t DelayNum = 1, DelayDen = 10;
    uint8_t Dispose = 0, Blend = 0;
};

class TApngBuilder {
public:
    TApngBuilder() : file_(std::begin(PngSignature), std::end(PngSignature)) {}

    TApngBuilder& Chunk(const std::string& type, const ByteVector& data)
    {
        AddBE32(file_, static_cast<uint32_t>(data.size()));
        const size_t start = file_.size();
        file_.insert(file_.end(), type.begin(), type.end());
        file_.insert(file_.end(), data.begin(), data.end());
        AddBE32(file_, static_cast<uint32_t>(crc32(0, &file_[start], static_cast<uInt>(file_.size() - start))));
        return *this;
    }
    TApngBuilder& Header(uint32_t width, uint32_t height, uint8_t depth = 8, uint8_t colourType = 6, uint8_t interlace = 0)
    {
        ByteVector d;
        AddBE32(d, width);
        AddBE32(d, height);
        d.insert(d.end(), {depth, colourType, 0, 0, interlace});
        return Chunk("IHDR", d);
    }
    TApngBuilder& AcTL(uint32_t frames, uint32_t plays = 0)
    {
        ByteVector d;
        AddBE32(d, frames);
        AddBE32(d, plays);
        return Chunk("acTL", d);
    }
    // With the next sequence number, or the one given.
    TApngBuilder& FcTL(const TFcTL& f, int64_t sequence = -1)
    {
        ByteVector d;
        AddBE32(d, Number(sequence));
        AddBE32(d, f.Width);
        AddBE32(d, f.Height);
        AddBE32(d, f.X);
        AddBE32(d, f.Y);
        AddBE16(d, f.DelayNum);
        AddBE16(d, f.DelayDen);
        d.push_back(f.Dispose);
        d.push_back(f.Blend);
        return Chunk("fcTL", d);
    }
    TApngBuilder& Idat(const ByteVector& data) { return Chunk("IDAT", data); }
    TApngBuilder& FdAT(const ByteVector& data, int64_t sequence = -1)
    {
        ByteVector d;
        AddBE32(d, Number(sequence));
        d.insert(d.end(), data.begin(), data.end());
        return Chunk("fdAT", d);
    }
    TApngBuilder& End() { return Chunk("IEND", {}); }
    const ByteVector& Bytes() const { return file_; }

private:
    uint32_t Number(int64_t given)
    {
        if (given >= 0) sequence_ = static_cast<uint32_t>(given);
        return sequence_++;
    }

    ByteVector file_;
    uint32_t sequence_ = 0;
};

} // namespace tintabrel::test
