#include "base/ColorConvert.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace tintabrel {
namespace {

struct Rgb {
    int r, g, b;
};

TEST(RGBToHSV, Examples)
{
    const struct {
        Rgb in;
        double h, s, v;
    } cases[] = {
        {{255, 0, 0}, 0, 1, 1},
        {{0, 255, 0}, 120, 1, 1},
        {{0, 0, 255}, 240, 1, 1},
        {{255, 0, 255}, 300, 1, 1},
        {{255, 255, 0}, 60, 1, 1}, // green wins the tie for the largest
        {{200, 100, 50}, 20, 0.75, 200.0 / 255.0},
    };
    for (const auto& c : cases) {
        const THSV hsv = TColorConvert::RGBToHSV(c.in.r, c.in.g, c.in.b);
        EXPECT_EQ(hsv.H, c.h) << c.in.r << "," << c.in.g << "," << c.in.b;
        EXPECT_EQ(hsv.S, c.s);
        EXPECT_EQ(hsv.V, c.v);
    }
}

TEST(RGBToHSV, GreyHasNoSaturation)
{
    THSV hsv = TColorConvert::RGBToHSV(128, 128, 128);
    EXPECT_EQ(hsv.S, 0.0);
    EXPECT_EQ(hsv.V, 128.0 / 255.0);
    hsv = TColorConvert::RGBToHSV(0, 0, 0);
    EXPECT_EQ(hsv.S, 0.0);
    EXPECT_EQ(hsv.V, 0.0);
}

TEST(RGBToHSV, LargestHueStaysBelow360)
{
    EXPECT_LT(TColorConvert::RGBToHSV(255, 0, 1).H, 360.0);
    EXPECT_NEAR(TColorConvert::RGBToHSV(255, 0, 1).H, (6.0 - 1.0 / 255.0) * 60.0, 1e-9);
}

TEST(HSVToRGB, ExamplesWithTiesToEven)
{
    const struct {
        double h, s, v;
        Rgb out;
    } cases[] = {
        {360, 1, 1, {255, 0, 0}},
        {0, 1, 1, {255, 0, 0}},
        {359, 1, 1, {255, 0, 4}},
        {30, 1, 1, {255, 128, 0}},  // 127.5 rounds to 128
        {90, 1, 1, {128, 255, 0}},
        {0, 0.5, 253.0 / 255.0, {253, 126, 126}}, // 126.5 rounds to 126
        {200, 0, 128.0 / 255.0, {128, 128, 128}},
        {120, 1, 1, {0, 255, 0}},
        {240, 1, 1, {0, 0, 255}},
    };
    for (const auto& c : cases) {
        const TRGBBytes rgb = TColorConvert::HSVToRGB(c.h, c.s, c.v);
        EXPECT_EQ(rgb.R, c.out.r) << c.h << " " << c.s << " " << c.v;
        EXPECT_EQ(rgb.G, c.out.g) << c.h;
        EXPECT_EQ(rgb.B, c.out.b) << c.h;
    }
}

TEST(HSVToRGB, NewHueOfAColourKeepsItsExtremes)
{
    const THSV hsv = TColorConvert::RGBToHSV(200, 100, 50);
    const TRGBBytes rgb = TColorConvert::HSVToRGB(120, hsv.S, hsv.V);
    EXPECT_EQ(rgb.R, 50);
    EXPECT_EQ(rgb.G, 200);
    EXPECT_EQ(rgb.B, 50);
}

// Largest and smallest component survive a change of hue for every colour and every whole hue.
// S and V depend only on the largest and smallest component, so checking every such pair at
// every hue covers all 2^24 colours.
TEST(HSVRoundTrip, KeepsLargestAndSmallestComponentOfEveryColour)
{
    for (int mx = 0; mx < 256; ++mx) {
        for (int mn = 0; mn <= mx; ++mn) {
            const THSV hsv = TColorConvert::RGBToHSV(mx, mn, mn);
            const int mid = (mx + mn) / 2;
            const THSV other = TColorConvert::RGBToHSV(mid, mn, mx);
            ASSERT_EQ(hsv.S, other.S);
            ASSERT_EQ(hsv.V, other.V);
            for (int hue = 0; hue <= 360; ++hue) {
                const TRGBBytes out = TColorConvert::HSVToRGB(hue, hsv.S, hsv.V);
                const int omx = std::max({out.R, out.G, out.B}), omn = std::min({out.R, out.G, out.B});
                ASSERT_TRUE(omx == mx && omn == mn)
                    << "extremes " << mx << "," << mn << " at hue " << hue << " gave " << omx << "," << omn;
            }
        }
    }
}

TEST(HSVRoundTrip, GreyComesBackUnchangedAtAnyHue)
{
    for (int v = 0; v < 256; ++v) {
        const THSV hsv = TColorConvert::RGBToHSV(v, v, v);
        for (int hue : {0, 17, 120, 359, 360}) {
            const TRGBBytes out = TColorConvert::HSVToRGB(hue, hsv.S, hsv.V);
            ASSERT_TRUE(out.R == v && out.G == v && out.B == v) << v;
        }
    }
}

} // namespace
} // namespace tintabrel
