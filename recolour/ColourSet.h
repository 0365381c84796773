// Small hash tables of colours for the palette swaps: a colour (or a colour with its alpha) as a
// 32-bit key, and the distinct keys of a picture in the order first met. For the units of this
// folder only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tintabrel::colourset {

inline constexpr uint32_t kEmpty = 0xFFFFFFFFu; // no plain colour has a high byte

// The fewest bits b (a power-of-two table of 2^b slots) that keep a table of count keys at most
// half full.
inline int TableBits(size_t count)
{
    int bits = 3;
    while ((size_t{1} << bits) < 2 * count) ++bits;
    return bits;
}

inline uint32_t Slot(uint32_t key, int shift) { return (key * 0x9E3779B1u) >> shift; }

// The plain colour ($00BBGGRR) of a pixel of a 24-bit row (blue, green, red).
inline uint32_t KeyOfBytes(const uint8_t* bgr)
{
    return static_cast<uint32_t>(bgr[2]) | static_cast<uint32_t>(bgr[1]) << 8 | static_cast<uint32_t>(bgr[0]) << 16;
}

// A colour with its transparency byte (255 - alpha, as alpha planes hold it) as one key.
inline uint32_t PairKey(uint32_t colour, uint32_t transparency) { return colour | transparency << 24; }

// Distinct keys in the order first met, each with its position; at most limit of them. The table
// grows with the keys, so a large limit costs nothing until keys come.
class TOrderedSet {
public:
    explicit TOrderedSet(size_t limit) : limit_(limit) { Resize(TableBits(std::min<size_t>(limit, 64))); }
    // The key's position, the key added when new; -1 when it is new and the set is full.
    int32_t Add(uint32_t key)
    {
        uint32_t slot = Slot(key, shift_);
        const uint32_t mask = static_cast<uint32_t>(keys_.size() - 1);
        while (used_[slot]) {
            if (keys_[slot] == key) return positions_[slot];
            slot = (slot + 1) & mask;
        }
        if (order_.size() >= limit_) return -1;
        const int32_t position = static_cast<int32_t>(order_.size());
        used_[slot] = 1;
        keys_[slot] = key;
        positions_[slot] = position;
        order_.push_back(key);
        if (order_.size() * 2 > keys_.size()) Resize(TableBits(order_.size() * 2));
        return position;
    }
    const std::vector<uint32_t>& Order() const { return order_; }

private:
    void Resize(int bits)
    {
        keys_.assign(size_t{1} << bits, 0);
        used_.assign(keys_.size(), 0);
        positions_.assign(keys_.size(), 0);
        shift_ = 32 - bits;
        const uint32_t mask = static_cast<uint32_t>(keys_.size() - 1);
        for (size_t k = 0; k < order_.size(); ++k) {
            uint32_t slot = Slot(order_[k], shift_);
            while (used_[slot]) slot = (slot + 1) & mask;
            used_[slot] = 1;
            keys_[slot] = order_[k];
            positions_[slot] = static_cast<int32_t>(k);
        }
    }

    size_t limit_;
    std::vector<uint32_t> keys_;
    std::vector<uint8_t> used_; // every key is a possible pair: white, fully transparent too
    std::vector<int32_t> positions_;
    std::vector<uint32_t> order_;
    int shift_ = 32;
};

} // namespace tintabrel::colourset
