#include "base/ColorConvert.h"

#include <algorithm>
#include <cmath>

namespace tintabrel {

namespace {

// Nearest integer, halves to the even neighbour (the default rounding mode).
inline long RoundEven(long double x) { return std::lrintl(x); }

} // namespace

THSV TColorConvert::RGBToHSV(int32_t r, int32_t g, int32_t b)
{
    // A grey colour has no hue; it reads as 0 so that callers never see an undefined value.
    THSV out{0.0, 0.0, 0.0};
    const int32_t mx = std::max({r, g, b});
    const int32_t mn = std::min({r, g, b});
    const int32_t d = mx - mn;
    out.V = static_cast<double>(static_cast<long double>(mx) / 255.0L);
    if (d <= 0) return out;
    const long double ld = d;
    out.S = static_cast<double>(ld / static_cast<long double>(mx));
    long double h;
    if (mx == g)
        h = (static_cast<long double>(b - r) / ld + 2.0L) * 60.0L;
    else if (mx == b)
        h = (static_cast<long double>(r - g) / ld + 4.0L) * 60.0L;
    else if (b > g)
        h = (static_cast<long double>(g - b) / ld + 6.0L) * 60.0L;
    else
        h = (static_cast<long double>(g - b) / ld) * 60.0L;
    out.H = static_cast<double>(h);
    return out;
}

TRGBBytes TColorConvert::HSVToRGB(double hue, double s, double v)
{
    if (s == 0.0) {
        const uint8_t level = static_cast<uint8_t>(RoundEven(static_cast<long double>(v) * 255.0L));
        return {level, level, level};
    }
    if (hue >= 360.0) hue = 0.0;
    const double h = static_cast<double>(static_cast<long double>(hue) / 60.0L);
    const int i = static_cast<int>(h); // trunc
    const double f = static_cast<double>(static_cast<long double>(h) - i);
    const long m = RoundEven(static_cast<long double>(v) * 255.0L);
    const long double lm = m;
    const long double ls = s;
    const long double lf = f;
    const long p = RoundEven(lm * (1.0L - ls));
    const long q = RoundEven(lm * (1.0L - ls * lf));
    const long t = RoundEven(lm * (1.0L - (1.0L - lf) * ls));
    auto byte = [](long x) { return static_cast<uint8_t>(x & 0xFF); };
    switch (i) {
    case 0: return {byte(m), byte(t), byte(p)};
    case 1: return {byte(q), byte(m), byte(p)};
    case 2: return {byte(p), byte(m), byte(t)};
    case 3: return {byte(p), byte(q), byte(m)};
    case 4: return {byte(t), byte(p), byte(m)};
    default: return {byte(m), byte(p), byte(q)};
    }
}

} // namespace tintabrel
