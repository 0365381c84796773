// OKLab and OKLCH (Björn Ottosson's perceptual colour space) from and to 8-bit sRGB, in double
// precision: lightness that follows what the eye sees, for changes that must keep it and for
// nearest-colour searches.
#pragma once

#include <cstdint>

namespace tintabrel {

struct TOkLab {
    double L; // 0 black .. 1 white
    double A;
    double B;
};

struct TLinearRGB {
    double R, G, B; // 0..1 inside the gamut
};

// The sRGB transfer function and its inverse, on fractions 0..1.
double SrgbToLinear(double c);
double LinearToSrgb(double c);
// An 8-bit sample as linear light (a table lookup: exactly SrgbToLinear(v / 255)).
double LinearOfByte(uint8_t v);

TOkLab LinearToOkLab(const TLinearRGB& rgb);
// Inline: a gamut search calls it many times per colour.
inline TLinearRGB OkLabToLinear(const TOkLab& lab)
{
    const double l1 = lab.L + 0.3963377774 * lab.A + 0.2158037573 * lab.B;
    const double m1 = lab.L - 0.1055613458 * lab.A - 0.0638541728 * lab.B;
    const double s1 = lab.L - 0.0894841775 * lab.A - 1.2914855480 * lab.B;
    const double l = l1 * l1 * l1, m = m1 * m1 * m1, s = s1 * s1 * s1;
    return {4.0767416621 * l - 3.3077115913 * m + 0.2309699292 * s,
            -1.2684380046 * l + 2.6097574011 * m - 0.3413193965 * s,
            -0.0041960863 * l - 0.7034186147 * m + 1.7076147010 * s};
}
// 8-bit sRGB through the transfer function to OKLab.
TOkLab OkLabOfBytes(uint8_t r, uint8_t g, uint8_t b);

// A linear value clipped to 0..1, encoded and rounded to a byte, halves to even.
uint8_t ByteOfLinear(double c);

} // namespace tintabrel
