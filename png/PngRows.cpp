#include "png/PngRows.h"

#include <algorithm>
#include <cstring>

namespace tintabrel {

namespace {

// The filters that look left take the pixel size as a constant for the common sizes (0: given
// at run time), so their loops unroll.

// ---- unfiltering, in place

template <int Bpp>
void UnfilterSub(uint8_t* row, int32_t n, int32_t bpp)
{
    const int32_t b = Bpp ? Bpp : bpp;
    for (int32_t i = b; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - b]);
}

void UnfilterUp(uint8_t* row, const uint8_t* up, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + up[i]);
}

template <int Bpp>
void UnfilterAverage(uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp)
{
    const int32_t b = std::min(Bpp ? Bpp : bpp, n);
    for (int32_t i = 0; i < b; ++i) row[i] = static_cast<uint8_t>(row[i] + (up[i] >> 1));
    for (int32_t i = b; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + ((row[i - b] + up[i]) >> 1));
}

// Average with zeros above: half the left byte.
template <int Bpp>
void UnfilterAverageFirst(uint8_t* row, int32_t n, int32_t bpp)
{
    const int32_t b = Bpp ? Bpp : bpp;
    for (int32_t i = b; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + (row[i - b] >> 1));
}

template <int Bpp>
void UnfilterPaeth(uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp)
{
    const int32_t b = std::min(Bpp ? Bpp : bpp, n);
    // With left and up-left both 0 the predictor is always up.
    for (int32_t i = 0; i < b; ++i) row[i] = static_cast<uint8_t>(row[i] + up[i]);
    for (int32_t i = b; i < n; ++i) row[i] = static_cast<uint8_t>(row[i] + PaethPredictor(row[i - b], up[i], up[i - b]));
}

template <int Bpp>
bool Unfilter(uint8_t filter, uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp)
{
    if (!up) {
        // Zeros above: Up changes nothing and Paeth always predicts the left byte, as Sub does.
        switch (static_cast<TRowFilter>(filter)) {
        case TRowFilter::None:
        case TRowFilter::Up: return true;
        case TRowFilter::Sub:
        case TRowFilter::Paeth: UnfilterSub<Bpp>(row, n, bpp); return true;
        case TRowFilter::Average: UnfilterAverageFirst<Bpp>(row, n, bpp); return true;
        default: return false;
        }
    }
    switch (static_cast<TRowFilter>(filter)) {
    case TRowFilter::None: return true;
    case TRowFilter::Sub: UnfilterSub<Bpp>(row, n, bpp); return true;
    case TRowFilter::Up: UnfilterUp(row, up, n); return true;
    case TRowFilter::Average: UnfilterAverage<Bpp>(row, up, n, bpp); return true;
    case TRowFilter::Paeth: UnfilterPaeth<Bpp>(row, up, n, bpp); return true;
    default: return false;
    }
}

// ---- filtering into a separate row

template <int Bpp>
void FilterLeft(TRowFilter filter, const uint8_t* x, const uint8_t* b, int32_t len, int32_t bppRun, uint8_t* o)
{
    const int32_t bpp = Bpp ? Bpp : bppRun;
    const int32_t lead = bpp < len ? bpp : len;
    switch (filter) {
    case TRowFilter::Sub:
        for (int32_t i = 0; i < lead; ++i) o[i] = x[i];
        for (int32_t i = bpp; i < len; ++i) o[i] = static_cast<uint8_t>(x[i] - x[i - bpp]);
        break;
    case TRowFilter::Average:
        for (int32_t i = 0; i < lead; ++i) o[i] = static_cast<uint8_t>(x[i] - (b[i] >> 1));
        for (int32_t i = bpp; i < len; ++i) o[i] = static_cast<uint8_t>(x[i] - ((x[i - bpp] + b[i]) >> 1));
        break;
    default:
        // Paeth; with a and c both 0 the predictor is b.
        for (int32_t i = 0; i < lead; ++i) o[i] = static_cast<uint8_t>(x[i] - b[i]);
        for (int32_t i = bpp; i < len; ++i) o[i] = static_cast<uint8_t>(x[i] - PaethPredictor(x[i - bpp], b[i], b[i - bpp]));
        break;
    }
}

} // namespace

bool UnfilterRow(uint8_t filter, uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp)
{
    switch (bpp) {
    case 1: return Unfilter<1>(filter, row, up, n, bpp);
    case 2: return Unfilter<2>(filter, row, up, n, bpp);
    case 3: return Unfilter<3>(filter, row, up, n, bpp);
    case 4: return Unfilter<4>(filter, row, up, n, bpp);
    case 6: return Unfilter<6>(filter, row, up, n, bpp);
    case 8: return Unfilter<8>(filter, row, up, n, bpp);
    default: return Unfilter<0>(filter, row, up, n, bpp);
    }
}

void FilterRow(TRowFilter filter, const uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp, uint8_t* out)
{
    switch (filter) {
    case TRowFilter::None: std::memcpy(out, row, static_cast<size_t>(n)); return;
    case TRowFilter::Up:
        for (int32_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(row[i] - up[i]);
        return;
    default:
        switch (bpp) {
        case 1: FilterLeft<1>(filter, row, up, n, bpp, out); return;
        case 2: FilterLeft<2>(filter, row, up, n, bpp, out); return;
        case 3: FilterLeft<3>(filter, row, up, n, bpp, out); return;
        case 4: FilterLeft<4>(filter, row, up, n, bpp, out); return;
        default: FilterLeft<0>(filter, row, up, n, bpp, out); return;
        }
    }
}

} // namespace tintabrel
