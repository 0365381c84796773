// Hexcone HSV conversion with fixed precision and rounding, so that a change of hue keeps the
// largest and smallest component of a colour exactly.
#pragma once

#include <cstdint>

namespace tintabrel {

struct THSV {
    double H; // degrees, 0 <= H < 360; not computed for grey colours
    double S; // 0..1
    double V; // 0..1
};

struct TRGBBytes {
    uint8_t R;
    uint8_t G;
    uint8_t B;
};

class TColorConvert {
public:
    static THSV RGBToHSV(int32_t r, int32_t g, int32_t b);
    static TRGBBytes HSVToRGB(double h, double s, double v);
};

} // namespace tintabrel
