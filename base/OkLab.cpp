#include "base/OkLab.h"

#include <array>
#include <cmath>

namespace tintabrel {

double SrgbToLinear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

double LinearToSrgb(double c) { return c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055; }

double LinearOfByte(uint8_t v)
{
    static const std::array<double, 256> table = [] {
        std::array<double, 256> t{};
        for (int i = 0; i < 256; ++i) t[static_cast<size_t>(i)] = SrgbToLinear(i / 255.0);
        return t;
    }();
    return table[v];
}

TOkLab LinearToOkLab(const TLinearRGB& c)
{
    const double l = std::cbrt(0.4122214708 * c.R + 0.5363325363 * c.G + 0.0514459929 * c.B);
    const double m = std::cbrt(0.2119034982 * c.R + 0.6806995451 * c.G + 0.1073969566 * c.B);
    const double s = std::cbrt(0.0883024619 * c.R + 0.2817188376 * c.G + 0.6299787005 * c.B);
    return {0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s,
            1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
            0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s};
}

TOkLab OkLabOfBytes(uint8_t r, uint8_t g, uint8_t b) { return LinearToOkLab({LinearOfByte(r), LinearOfByte(g), LinearOfByte(b)}); }

uint8_t ByteOfLinear(double c)
{
    const double clipped = c < 0 ? 0 : c > 1 ? 1 : c;
    return static_cast<uint8_t>(std::nearbyint(LinearToSrgb(clipped) * 255.0)); // the default mode rounds halves to even
}

} // namespace tintabrel
