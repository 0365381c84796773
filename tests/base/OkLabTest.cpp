#include "base/OkLab.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tintabrel {
namespace {

struct TLabCase {
    uint8_t R, G, B;
    double L, A, B2;
};

// Values worked out from the published matrices (white is L 1, a and b 0 by construction).
TEST(OkLab, KnownColours)
{
    const TLabCase cases[] = {
        {255, 255, 255, 1.0, 0.0, 0.0},
        {0, 0, 0, 0.0, 0.0, 0.0},
        {255, 0, 0, 0.627955, 0.224863, 0.125846},
        {0, 0, 255, 0.452014, -0.032457, -0.311528},
        {255, 255, 0, 0.967983, -0.071369, 0.198570},
    };
    for (const TLabCase& c : cases) {
        const TOkLab lab = OkLabOfBytes(c.R, c.G, c.B);
        EXPECT_NEAR(lab.L, c.L, 1e-4) << int(c.R) << "," << int(c.G) << "," << int(c.B);
        EXPECT_NEAR(lab.A, c.A, 1e-4);
        EXPECT_NEAR(lab.B, c.B2, 1e-4);
    }
}

// Every 8-bit colour on a coarse grid goes to OKLab and back to the same bytes.
TEST(OkLab, BytesRoundTrip)
{
    for (int r = 0; r < 256; r += 5)
        for (int g = 0; g < 256; g += 3)
            for (int b = 0; b < 256; b += 7) {
                const TLinearRGB back = OkLabToLinear(OkLabOfBytes(uint8_t(r), uint8_t(g), uint8_t(b)));
                ASSERT_EQ(ByteOfLinear(back.R), r);
                ASSERT_EQ(ByteOfLinear(back.G), g);
                ASSERT_EQ(ByteOfLinear(back.B), b);
            }
}

TEST(OkLab, TransferFunctionMeetsItsInverse)
{
    for (int v = 0; v < 256; ++v) EXPECT_NEAR(LinearToSrgb(LinearOfByte(uint8_t(v))) * 255, v, 1e-9);
    EXPECT_EQ(ByteOfLinear(-0.5), 0);
    EXPECT_EQ(ByteOfLinear(7.0), 255);
}

} // namespace
} // namespace tintabrel
