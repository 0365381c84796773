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
TLinearRGB OkLabToLinear(const TOkLab& lab);
// 8-bit sRGB through the transfer function to OKLab.
TOkLab OkLabOfBytes(uint8_t r, uint8_t g, uint8_t b);

// A linear value clipped to 0..1, encoded and rounded to a byte, halves to even.
uint8_t ByteOfLinear(double c);

} // namespace tintabrel
