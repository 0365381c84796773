#include "png/PngRows.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// Average and Paeth for whole pixels of 3 or 4 bytes, one pixel per step in 16-bit lanes: byte
// by byte, each byte waits on the one a pixel to its left, and Paeth's choice mispredicts so
// often on photographs that it costs about as much as the inflate.
template <int Bpp>
__m128i LoadPixel(const uint8_t* p)
{
    // Put together in a register: small stores into a wider stack slot would stall the load.
    uint32_t v;
    if constexpr (Bpp == 4) std::memcpy(&v, p, 4);
    else v = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v)), _mm_setzero_si128());
}

template <int Bpp>
void StorePixel(uint8_t* p, __m128i v)
{
    const uint32_t bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(v, v)));
    if constexpr (Bpp == 4) {
        std::memcpy(p, &bytes, 4);
    } else {
        p[0] = static_cast<uint8_t>(bytes);
        p[1] = static_cast<uint8_t>(bytes >> 8);
        p[2] = static_cast<uint8_t>(bytes >> 16);
    }
}

template <int Bpp>
void UnfilterAveragePixels(uint8_t* row, const uint8_t* up, int32_t n)
{
    __m128i a = _mm_setzero_si128(); // left
    for (int32_t i = 0; i + Bpp <= n; i += Bpp) {
        const __m128i mean = _mm_srli_epi16(_mm_add_epi16(a, LoadPixel<Bpp>(up + i)), 1);
        // Bytes added in their 16-bit lanes: the high bytes stay 0, the sums wrap as bytes.
        a = _mm_add_epi8(LoadPixel<Bpp>(row + i), mean);
        StorePixel<Bpp>(row + i, a);
    }
}

template <int Bpp>
void UnfilterPaethPixels(uint8_t* row, const uint8_t* up, int32_t n)
{
    const __m128i zero = _mm_setzero_si128();
    const auto load = [](const uint8_t* p) { return LoadPixel<Bpp>(p); };
    const auto abs16 = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    const auto select = [](__m128i mask, __m128i yes, __m128i no) {
        return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
    };
    __m128i a = zero; // left
    __m128i c = zero; // upper left
    for (int32_t i = 0; i + Bpp <= n; i += Bpp) {
        const __m128i b = load(up + i);
        const __m128i p = _mm_sub_epi16(b, c);
        const __m128i q = _mm_sub_epi16(a, c);
        const __m128i pa = abs16(p);
        const __m128i pb = abs16(q);
        const __m128i pc = abs16(_mm_add_epi16(p, q));
        const __m128i least = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
        const __m128i predictor =
            select(_mm_cmpeq_epi16(pa, least), a, select(_mm_cmpeq_epi16(pb, least), b, c));
        a = _mm_add_epi8(load(row + i), predictor);
        c = b;
        StorePixel<Bpp>(row + i, a);
    }
}
#endif

template <int Bpp>
bool Unfilter(uint8_t filter, uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp)
{
    if (!up) {
        // Zeros above: Up changes nothing and Paeth always predicts the left byte, as Sub does.
        switch (static_cast<TPngFilter>(filter)) {
        case TPngFilter::None:
        case TPngFilter::Up: return true;
        case TPngFilter::Sub:
        case TPngFilter::Paeth: UnfilterSub<Bpp>(row, n, bpp); return true;
        case TPngFilter::Average: UnfilterAverageFirst<Bpp>(row, n, bpp); return true;
        default: return false;
        }
    }
    switch (static_cast<TPngFilter>(filter)) {
    case TPngFilter::None: return true;
    case TPngFilter::Sub: UnfilterSub<Bpp>(row, n, bpp); return true;
    case TPngFilter::Up: UnfilterUp(row, up, n); return true;
    case TPngFilter::Average:
#if defined(__SSE2__)
        if constexpr (Bpp == 3 || Bpp == 4) {
            UnfilterAveragePixels<Bpp>(row, up, n);
            return true;
        }
#endif
        UnfilterAverage<Bpp>(row, up, n, bpp);
        return true;
    case TPngFilter::Paeth:
#if defined(__SSE2__)
        if constexpr (Bpp == 3 || Bpp == 4) {
            UnfilterPaethPixels<Bpp>(row, up, n);
            return true;
        }
#endif
        UnfilterPaeth<Bpp>(row, up, n, bpp);
        return true;
    default: return false;
    }
}

// ---- filtering into a separate row

template <int Bpp>
void FilterLeft(TPngFilter filter, const uint8_t* x, const uint8_t* b, int32_t len, int32_t bppRun, uint8_t* o)
{
    const int32_t bpp = Bpp ? Bpp : bppRun;
    const int32_t lead = bpp < len ? bpp : len;
    switch (filter) {
    case TPngFilter::Sub:
        for (int32_t i = 0; i < lead; ++i) o[i] = x[i];
        for (int32_t i = bpp; i < len; ++i) o[i] = static_cast<uint8_t>(x[i] - x[i - bpp]);
        break;
    case TPngFilter::Average:
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

void FilterRow(TPngFilter filter, const uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp, uint8_t* out)
{
    switch (filter) {
    case TPngFilter::None: std::memcpy(out, row, static_cast<size_t>(n)); return;
    case TPngFilter::Up:
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

int32_t FilterModeOf(TPngFilter filter)
{
    switch (filter) {
    case TPngFilter::None: return 1;
    case TPngFilter::Sub: return 2;
    case TPngFilter::Up: return 3;
    case TPngFilter::Average: return 4;
    case TPngFilter::Paeth: return 5;
    default: return 0;
    }
}

TPngFilter FilterOfMode(int32_t filterMode)
{
    switch (filterMode & 0xFF) {
    case 0: return TPngFilter::Adaptive;
    case 2: return TPngFilter::Sub;
    case 3: return TPngFilter::Up;
    case 4: return TPngFilter::Average;
    case 5: return TPngFilter::Paeth;
    default: return TPngFilter::None;
    }
}

} // namespace tintabrel
