// The hue window's options beyond the sliders: wrap, soft edge, shift and visible pixels only.
#include "recolour/HueReplace.h"
#include "recolour/PaletteRecolour.h"

#include "image/Graphics.h"
#include "image/PixelFormats.h"
#include "base/ColorConvert.h"
#include "base/Colors.h"
#include "base/StringList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

struct RGB {
    int r, g, b;
};

TColor ColorOf(RGB c)
{
    return MakeColor(static_cast<uint8_t>(c.r), static_cast<uint8_t>(c.g), static_cast<uint8_t>(c.b));
}

std::string Text(TColor c)
{
    return "(" + std::to_string(RedOf(c)) + ", " + std::to_string(GreenOf(c)) + ", " + std::to_string(BlueOf(c)) + ")";
}

void Make24(TBitmap& bmp, int32_t width, int32_t height, const std::vector<TColor>& colours)
{
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    bmp.SetSize(width, height);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            bmp.SetPixel(x, y, colours[static_cast<size_t>(y * width + x) % colours.size()]);
}

// An alpha picture as the program keeps it: 8 bits, byte v meaning alpha 255 - v.
void MakeAlpha(TBitmap& alpha, int32_t width, int32_t height, const std::vector<uint8_t>& bytes)
{
    alpha.SetPixelFormat(TPixelFormat::pf8bit);
    alpha.SetSize(width, height);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = alpha.ScanLine(y);
        for (int32_t x = 0; x < width; ++x) row[x] = bytes[static_cast<size_t>(y * width + x) % bytes.size()];
    }
}

TStringList ListOf(const std::vector<std::string>& lines)
{
    TStringList list;
    for (const std::string& line : lines) list.Add(line);
    return list;
}

THueWindow Window(int source, int tolerance, int target, bool wrap, int soft, bool shift, bool visibleOnly = false)
{
    THueWindow w{source, tolerance, target};
    w.Wrap = wrap;
    w.Soft = soft;
    w.Shift = shift;
    w.VisibleOnly = visibleOnly;
    return w;
}

THueWindow Lightness(THueWindow w)
{
    w.KeepLightness = true;
    return w;
}

std::string Describe(const THueWindow& w)
{
    return "p=" + std::to_string(w.Source) + " t=" + std::to_string(w.Tolerance) + " target=" + std::to_string(w.Target) +
           (w.Wrap ? " wrap" : "") + (w.Soft ? " soft=" + std::to_string(w.Soft) : "") + (w.Shift ? " shift" : "") +
           (w.VisibleOnly ? " visible-only" : "") + (w.KeepLightness ? " keep-lightness" : "");
}

void ExpectSamePixels(const TBitmap& actual, const TBitmap& expected, const std::string& name)
{
    ASSERT_EQ(actual.Width(), expected.Width()) << name;
    ASSERT_EQ(actual.Height(), expected.Height()) << name;
    int wrong = 0;
    for (int32_t y = 0; y < actual.Height(); ++y)
        for (int32_t x = 0; x < actual.Width(); ++x)
            if (actual.Pixel(x, y) != expected.Pixel(x, y) && ++wrong <= 5)
                ADD_FAILURE() << name << ": pixel (" << x << ", " << y << ") is " << Text(actual.Pixel(x, y))
                              << ", expected " << Text(expected.Pixel(x, y));
    EXPECT_EQ(wrong, 0) << name;
}

TColor RecolourOne(RGB in, const THueWindow& w, const std::vector<std::string>& list = {})
{
    TBitmap before, after;
    Make24(before, 1, 1, {ColorOf(in)});
    ReplaceHue(before, after, TProtectedColors(ListOf(list)), w);
    return after.Pixel(0, 0);
}

// Every expected colour below is worked out by hand from the option rules. Notation: H the
// pixel's hue, m its mirrored hue, [lo, hi] the window, e how far m lies outside it, w = 1 - e/F,
// then HSV back with m' = max, p = min, and the middle level q = m'(1 - S f) or t = m'(1 - (1 - f) S)
// for h = H/60, f = h - trunc(h). No expected value sits near a rounding tie.
TEST(HueOptionsTest, HandWorkedPixels)
{
    struct {
        const char* name;
        THueWindow w;
        RGB in;
        RGB out;
    } cases[] = {
        // Wrap. (34, 0, 255): H = (34/255 + 4) * 60 = 248, m = 352. Window [10 - 18, 10 + 18] =
        // [-8, 28]; m - 360 = -8 = p - t exactly, so it is caught and takes hue 120 at S = V = 1.
        {"wrap: m = p - t + 360 is caught", Window(10, 18, 120, true, 0, false), {34, 0, 255}, {0, 255, 0}},
        {"no wrap: the same pixel stays", Window(10, 18, 120, false, 0, false), {34, 0, 255}, {34, 0, 255}},
        // (35, 0, 255): H = 248.235, m = 351.765, m - 360 = -8.235 < -8: outside.
        {"wrap: just below p - t + 360 stays", Window(10, 18, 120, true, 0, false), {35, 0, 255}, {35, 0, 255}},
        // (0, 34, 255): H = (4 - 34/255) * 60 = 232, m = 8. Window [332, 368]; m + 360 = 368 = p + t.
        {"wrap: m + 360 = p + t is caught", Window(350, 18, 0, true, 0, false), {0, 34, 255}, {255, 0, 0}},
        {"no wrap: m = 8 stays below 332", Window(350, 18, 0, false, 0, false), {0, 34, 255}, {0, 34, 255}},

        // Soft F = 30 beside the one-hue window [240, 240] (pure red), target 120.
        // e = F/2: (240, 60, 0): H = 60/240 * 60 = 15, m = 225, e = 15, w = 0.5; d = 120 - 15 = 105,
        // new hue 15 + 52.5 = 67.5: h = 1.125, sector 1, f = 0.125; m' = 240, p = 0,
        // q = 240 * 0.875 = 210: (q, m', p).
        {"soft: e = F/2", Window(240, 0, 120, false, 30, false), {240, 60, 0}, {210, 240, 0}},
        // e = 0+ above: (255, 0, 1): H = 360 - 4/17 = 359.765, m = 240 + 4/17, e = 4/17,
        // w = 1 - 2/255 = 253/255; d = 120 - H = -239.765, +360: 120.235; w d = 119.292;
        // H + w d = 479.057, -360: 119.057. h = 1.98428, f = 0.98428, q = 255 * 0.01572 = 4.008.
        {"soft: e = 0+ above the window", Window(240, 0, 120, false, 30, false), {255, 0, 1}, {4, 255, 0}},
        // e = 0+ below: (255, 1, 0): H = 4/17, m = 240 - 4/17, w = 253/255; d = 119.765,
        // new hue 4/17 + 118.825 = 119.061, f = 0.98434, q = 255 * 0.01566 = 3.992.
        {"soft: e = 0+ below the window", Window(240, 0, 120, false, 30, false), {255, 1, 0}, {4, 255, 0}},
        // e = F-: (255, 126, 0): H = 126/255 * 60 = 29.647 = e, w = 1 - 252/255 = 1/85;
        // d = 90.353, w d = 1.063, new hue 30.710: sector 0, f = 0.51183, t = 255 f = 130.52.
        {"soft: e = F-", Window(240, 0, 120, false, 30, false), {255, 126, 0}, {255, 131, 0}},
        // e = F exactly: (254, 127, 0) has H = 30, m = 210: not inside the band.
        {"soft: e = F stays", Window(240, 0, 120, false, 30, false), {254, 127, 0}, {254, 127, 0}},
        // Soft 0 is off: the e = F/2 pixel stays.
        {"soft 0: nothing moves", Window(240, 0, 120, false, 0, false), {240, 60, 0}, {240, 60, 0}},

        // Arcs across 0/360, window [230, 250] (hues 350..10), F = 50, S = 0.75, V = 200/255.
        // (200, 100, 50): H = 50/150 * 60 = 20, m = 220, e = 10, w = 0.8. Target 300:
        // d = 280, -360: -80; 20 - 64 = -44, +360: 316. h = 5.2667, sector 5, f = 0.26667,
        // q = 200 * (1 - 0.75 * 0.26667) = 160: (m', p, q).
        {"soft arc down across 0", Window(240, 10, 300, false, 50, false), {200, 100, 50}, {200, 50, 160}},
        // (200, 50, 100): H = (-50/150 + 6) * 60 = 340, m = 260, e = 10, w = 0.8. Target 40:
        // d = -300, +360: 60; 340 + 48 = 388, -360: 28. f = 0.46667, t = 200 * (1 - 0.53333 * 0.75) = 120.
        {"soft arc up across 360", Window(240, 10, 40, false, 50, false), {200, 50, 100}, {200, 120, 50}},
        // Targets 0 and 360 are one hue. (200, 100, 50): d = -20 (from 0) or 340 - 360 = -20 (from
        // 360); 20 - 16 = 4: f = 0.06667, t = 200 * (1 - 0.93333 * 0.75) = 60.
        {"soft to target 0", Window(240, 10, 0, false, 50, false), {200, 100, 50}, {200, 60, 50}},
        {"soft to target 360", Window(240, 10, 360, false, 50, false), {200, 100, 50}, {200, 60, 50}},
        // (200, 50, 100), H = 340: d = -340 + 360 = 20 (from 0) or 20 (from 360); 340 + 16 = 356:
        // sector 5, f = 0.93333, q = 200 * (1 - 0.75 * 0.93333) = 60.
        {"soft to target 0 from 340", Window(240, 10, 0, false, 50, false), {200, 50, 100}, {200, 50, 60}},
        {"soft to target 360 from 340", Window(240, 10, 360, false, 50, false), {200, 50, 100}, {200, 50, 60}},

        // Shift: centre C = (240 - 240) mod 360 = 0. Target 300: delta = 300 - 360 = -60.
        // (200, 75, 50): H = 10, m = 230 = p - t, caught; 10 - 60 = -50, +360: 310: sector 5,
        // f = 0.16667, q = 200 * (1 - 0.125) = 175.
        {"shift down across 0", Window(240, 10, 300, false, 0, true), {200, 75, 50}, {200, 50, 175}},
        // Target 60: delta = 60. (200, 50, 75): H = 350, m = 250 = p + t, caught; 410 - 360 = 50:
        // sector 0, f = 0.83333, t = 200 * (1 - 0.16667 * 0.75) = 175.
        {"shift up across 360", Window(240, 10, 60, false, 0, true), {200, 50, 75}, {200, 175, 50}},
        // Shift with soft: (200, 100, 50) in the band, w = 0.8; 20 + 0.8 * 60 = 68: sector 1,
        // f = 0.13333, q = 200 * (1 - 0.1) = 180: (q, m', p).
        {"shift in the soft band", Window(240, 10, 60, false, 50, true), {200, 100, 50}, {180, 200, 50}},
        // p = 60: C = 180, m = 60 is cyan (H = 180). Target 0 or 360: delta = -180 or 180, both
        // brought to 180; 180 + 180 = 360 -> 0: red.
        {"shift by 180 to target 0", Window(60, 0, 0, false, 0, true), {0, 255, 255}, {255, 0, 0}},
        {"shift by 180 to target 360", Window(60, 0, 360, false, 0, true), {0, 255, 255}, {255, 0, 0}},
        // Without shift the same catch takes the target hue itself: (200, 75, 50) -> hue 300
        // with S = 0.75, V = 200/255: sector 5, f = 0, q = 200.
        {"no shift: the target itself", Window(240, 10, 300, false, 0, false), {200, 75, 50}, {200, 50, 200}},

        // Wrap and soft: window [2, 18], F = 30. (75, 50, 200): H = (25/150 + 4) * 60 = 250,
        // m = 350; its copy -10 lies e = 12 below the window (m itself 332 above): w = 0.6;
        // d = 120 - 250 = -130, 250 - 78 = 172: sector 2, f = 0.86667, t = 200 * (1 - 0.13333 * 0.75) = 180.
        {"wrap with soft: nearest copy", Window(10, 8, 120, true, 30, false), {75, 50, 200}, {50, 200, 180}},
        {"soft without wrap: 332 away", Window(10, 8, 120, false, 30, false), {75, 50, 200}, {75, 50, 200}},

        // The window [360, 360] holds no mirrored hue (they lie below 360), so no option makes it
        // catch pure blue, of mirrored hue 0; with wrap, 0 + 360 lies in it and blue is caught.
        {"[360, 360] with shift", Window(360, 0, 120, false, 0, true), {0, 0, 255}, {0, 0, 255}},
        {"[360, 360] visible only", Window(360, 0, 120, false, 0, false, true), {0, 0, 255}, {0, 0, 255}},
        {"[360, 360] with shift, visible only", Window(360, 0, 120, false, 0, true, true), {0, 0, 255}, {0, 0, 255}},
        {"[360, 360] with a soft edge", Window(360, 0, 120, false, 10, false), {0, 0, 255}, {0, 0, 255}},
        {"[360, 360] with wrap", Window(360, 0, 120, true, 0, false), {0, 0, 255}, {0, 255, 0}},
        {"[360, 360] with wrap and shift", Window(360, 0, 120, true, 0, true), {0, 0, 255}, {0, 255, 0}},

        // Grey has no hue: never caught, never in a band, never turned.
        {"grey with every option", Window(0, 36, 120, true, 90, true), {128, 128, 128}, {128, 128, 128}},
        {"white with every option", Window(240, 36, 120, true, 90, true), {255, 255, 255}, {255, 255, 255}},
    };
    for (const auto& c : cases) EXPECT_EQ(Text(RecolourOne(c.in, c.w)), Text(ColorOf(c.out))) << c.name;
}

TEST(HueOptionsTest, SoftOutsideItsRangeIsRefused)
{
    TBitmap before, after;
    Make24(before, 1, 1, {clRed});
    for (const int soft : {-1, 91, 1000})
        EXPECT_THROW(ReplaceHue(before, after, TProtectedColors(), Window(240, 0, 120, false, soft, false)),
                     std::invalid_argument)
            << soft;
    EXPECT_THROW(THueRowReplacer(TProtectedColors(), Window(240, 0, 120, false, 91, false)), std::invalid_argument);
    EXPECT_THROW(RecolourColours({clRed}, TProtectedColors(), Window(240, 0, 120, false, -1, false)),
                 std::invalid_argument);
    for (const int soft : {0, 90}) {
        EXPECT_NO_THROW(ReplaceHue(before, after, TProtectedColors(), Window(240, 0, 120, false, soft, false)));
        EXPECT_EQ(after.Pixel(0, 0), clLime);
    }
}

// Protected colours stay in the soft band as in the window, and the dry-run counts say so.
// (200, 100, 50) is $003264C8; in the band of window [230, 250], F = 50, it would become
// (200, 50, 160) (see HandWorkedPixels). Red (255, 0, 0) is caught and protected by clRed.
TEST(HueOptionsTest, ProtectedColoursStayInTheSoftBand)
{
    const THueWindow w = Window(240, 10, 300, false, 50, false);
    const TProtectedColors list(ListOf({"$003264C8", "clRed"}));
    TBitmap before, after;
    const TColor banded = MakeColor(200, 100, 50);
    const TColor other = MakeColor(200, 50, 100); // H = 340, also in the band, not listed
    Make24(before, 4, 1, {banded, clRed, other, MakeColor(0, 0, 255)});
    THueCounts counts;
    ReplaceHue(before, after, list, w, &counts);
    EXPECT_EQ(Text(after.Pixel(0, 0)), Text(banded));
    EXPECT_EQ(Text(after.Pixel(1, 0)), Text(clRed));
    EXPECT_NE(after.Pixel(2, 0), other);
    EXPECT_EQ(Text(after.Pixel(3, 0)), Text(MakeColor(0, 0, 255)));
    EXPECT_EQ(counts.Altered, 1);
    EXPECT_EQ(counts.Kept, 2);

    TBitmap unprotected;
    ReplaceHue(before, unprotected, TProtectedColors(), w);
    EXPECT_EQ(Text(unprotected.Pixel(0, 0)), Text(MakeColor(200, 50, 160)));
}

// A pixel whose new colour is its own is not altered: a shift by 0 (target = centre hue) turns
// every caught pixel onto itself.
TEST(HueOptionsTest, AShiftByNothingAltersNothing)
{
    TBitmap before, after;
    Make24(before, 3, 2, {clRed, MakeColor(200, 75, 50), MakeColor(200, 50, 75)});
    THueCounts counts;
    ReplaceHue(before, after, TProtectedColors(ListOf({"clRed"})), Window(240, 10, 0, false, 0, true), &counts);
    ExpectSamePixels(after, before, "shift by 0");
    EXPECT_EQ(counts.Altered, 0);
    EXPECT_EQ(counts.Kept, 0);
}

// VisibleOnly: alpha byte 255 is alpha 0. Those pixels keep their colour and count nowhere;
// alpha 1 (byte 254) is visible. Without VisibleOnly the alpha is not read.
TEST(HueOptionsTest, TransparentPixelsStayWithVisibleOnly)
{
    TBitmap before, alpha;
    Make24(before, 4, 1, {clRed});
    MakeAlpha(alpha, 4, 1, {255, 254, 0, 255});
    struct {
        const char* name;
        bool visibleOnly;
        std::vector<std::string> list;
        std::vector<TColor> out;
        int64_t altered, kept;
    } cases[] = {
        {"visible only", true, {}, {clRed, clLime, clLime, clRed}, 2, 0},
        {"visible only, red listed", true, {"clRed"}, {clRed, clRed, clRed, clRed}, 0, 2},
        {"every pixel", false, {}, {clLime, clLime, clLime, clLime}, 4, 0},
        {"every pixel, red listed", false, {"clRed"}, {clRed, clRed, clRed, clRed}, 0, 4},
    };
    for (const auto& c : cases) {
        const THueWindow w = Window(240, 0, 120, false, 0, false, c.visibleOnly);
        const TProtectedColors list(ListOf(c.list));
        for (const bool counting : {false, true}) {
            TBitmap after;
            THueCounts counts;
            ReplaceHue(before, after, list, w, counting ? &counts : nullptr, 1, &alpha);
            for (int32_t x = 0; x < 4; ++x)
                EXPECT_EQ(Text(after.Pixel(x, 0)), Text(c.out[static_cast<size_t>(x)])) << c.name << " x=" << x;
            if (counting) {
                EXPECT_EQ(counts.Altered, c.altered) << c.name;
                EXPECT_EQ(counts.Kept, c.kept) << c.name;
            }
            TBitmap inPlace;
            inPlace.Assign(before);
            ReplaceHueInPlace(inPlace, list, w, nullptr, 1, &alpha);
            ExpectSamePixels(inPlace, after, std::string(c.name) + " in place");
        }
    }
    // No alpha, or an empty one: every pixel is visible.
    TBitmap after, none;
    ReplaceHue(before, after, TProtectedColors(), Window(240, 0, 120, false, 0, false, true), nullptr, 1, &none);
    EXPECT_EQ(after.Pixel(0, 0), clLime);
    ReplaceHue(before, after, TProtectedColors(), Window(240, 0, 120, false, 0, false, true));
    EXPECT_EQ(after.Pixel(3, 0), clLime);
}

TEST(HueOptionsTest, AnAlphaThatDoesNotFitIsRefused)
{
    TBitmap before, after, small, wide;
    Make24(before, 4, 2, {clRed});
    MakeAlpha(small, 4, 1, {0});
    Make24(wide, 4, 2, {clBlack});
    const THueWindow w = Window(240, 0, 120, false, 0, false, true);
    EXPECT_THROW(ReplaceHue(before, after, TProtectedColors(), w, nullptr, 1, &small), std::invalid_argument);
    EXPECT_THROW(ReplaceHue(before, after, TProtectedColors(), w, nullptr, 1, &wide), std::invalid_argument);
    EXPECT_THROW(ReplaceHue(before, after, TProtectedColors(), w, nullptr, 1, &after), std::invalid_argument);
    EXPECT_THROW(ReplaceHueInPlace(before, TProtectedColors(), w, nullptr, 1, &small), std::invalid_argument);
    EXPECT_EQ(before.Pixel(0, 0), clRed);
}

// KeepLightness step by step as written, apart from the engine's code: the sRGB transfer
// function, OKLab with the published matrices, the hue of the full-strength target as fractions,
// the chroma bisected while a channel leaves [0, 1], and back to bytes.
namespace oklch {

constexpr double kPi = 3.14159265358979323846;

double ToLinear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

uint8_t ToByte(double c)
{
    c = std::clamp(c, 0.0, 1.0);
    const double encoded = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055;
    return static_cast<uint8_t>(std::nearbyint(encoded * 255.0));
}

struct Lab {
    double L, a, b;
};

Lab FromLinear(double r, double g, double b)
{
    const double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    const double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    const double s = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
    return {0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s, 1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
            0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s};
}

Lab FromColour(TColor c)
{
    return FromLinear(ToLinear(RedOf(c) / 255.0), ToLinear(GreenOf(c) / 255.0), ToLinear(BlueOf(c) / 255.0));
}

std::array<double, 3> ToLinearRgb(const Lab& lab)
{
    const double l1 = lab.L + 0.3963377774 * lab.a + 0.2158037573 * lab.b;
    const double m1 = lab.L - 0.1055613458 * lab.a - 0.0638541728 * lab.b;
    const double s1 = lab.L - 0.0894841775 * lab.a - 1.2914855480 * lab.b;
    const double l = l1 * l1 * l1, m = m1 * m1 * m1, s = s1 * s1 * s1;
    return {4.0767416621 * l - 3.3077115913 * m + 0.2309699292 * s, -1.2684380046 * l + 2.6097574011 * m - 0.3413193965 * s,
            -0.0041960863 * l - 0.7034186147 * m + 1.7076147010 * s};
}

// HSV(hue, 1, 1) as fractions, through OKLab to its hue angle.
double HueOfFull(int hue)
{
    hue %= 360;
    const int i = hue / 60;
    const double f = (hue - 60 * i) / 60.0, q = (60 * (i + 1) - hue) / 60.0;
    double r = 0, g = 0, b = 0;
    switch (i) {
    case 0: r = 1, g = f; break;
    case 1: r = q, g = 1; break;
    case 2: g = 1, b = f; break;
    case 3: g = q, b = 1; break;
    case 4: r = f, b = 1; break;
    default: r = 1, b = q; break;
    }
    const Lab lab = FromLinear(ToLinear(r), ToLinear(g), ToLinear(b));
    return std::atan2(lab.b, lab.a);
}

double IntoHalfTurn(double a) { return a > kPi ? a - 2 * kPi : a <= -kPi ? a + 2 * kPi : a; }

bool Inside(const std::array<double, 3>& c)
{
    return std::all_of(c.begin(), c.end(), [](double v) { return v >= 0 && v <= 1; });
}

// The new colour of a caught pixel (weight 1) or one in the soft band.
TColor NewColour(TColor colour, const THueWindow& w, bool caught, double weight)
{
    const Lab lab = FromColour(colour);
    const double chroma = std::sqrt(lab.a * lab.a + lab.b * lab.b), h = std::atan2(lab.b, lab.a);
    const double target = HueOfFull(w.Target);
    const double turn = target - HueOfFull(((240 - w.Source) % 360 + 360) % 360);
    double hue;
    if (caught) hue = w.Shift ? h + turn : target;
    else hue = h + weight * IntoHalfTurn(w.Shift ? turn : target - h);
    const auto at = [&](double c) { return ToLinearRgb({lab.L, c * std::cos(hue), c * std::sin(hue)}); };
    std::array<double, 3> rgb = at(chroma);
    if (!Inside(rgb)) {
        double low = 0, high = chroma;
        for (int i = 0; i < 30; ++i) {
            const double mid = (low + high) / 2;
            (Inside(at(mid)) ? low : high) = mid;
        }
        rgb = at(low);
    }
    return MakeColor(ToByte(rgb[0]), ToByte(rgb[1]), ToByte(rgb[2]));
}

} // namespace oklch

// The options read step by step as they are written: hues from the conversion in floating point,
// compared with the integer bounds, the nearest copy, the weight, the arc, and HSV back (or, with
// KeepLightness, the new colour in OKLCH).
// Where a pixel that is not grey lies: caught, or e outside the window (its nearest copy).
struct TWhere {
    bool Caught;
    double E;
    bool Reached(const THueWindow& w) const { return Caught || (E > 0 && E < w.Soft); }
};

TWhere WhereIs(const THSV& mirrored, const THueWindow& w)
{
    const double m = mirrored.H;
    const int lo = w.Source - w.Tolerance, hi = w.Source + w.Tolerance;
    std::vector<double> copies{m};
    if (w.Wrap) copies = {m - 360, m, m + 360};
    TWhere where{false, 1e9};
    for (const double c : copies) {
        where.Caught = where.Caught || (lo <= c && c <= hi);
        where.E = std::min(where.E, c < lo ? lo - c : c - hi);
    }
    return where;
}

// Whether the window catches the colour or holds it in its soft band.
bool Reached(TColor colour, const THueWindow& w)
{
    const THSV mirrored = TColorConvert::RGBToHSV(BlueOf(colour), GreenOf(colour), RedOf(colour));
    return mirrored.S != 0 && WhereIs(mirrored, w).Reached(w);
}

TColor ReferencePixel(TColor colour, const THueWindow& w, const TProtectedColors& list)
{
    const int r = RedOf(colour), g = GreenOf(colour), b = BlueOf(colour);
    const THSV mirrored = TColorConvert::RGBToHSV(b, g, r);
    if (mirrored.S == 0 || list.Contains(colour)) return colour;
    const auto [caught, e] = WhereIs(mirrored, w);
    const THSV hsv = TColorConvert::RGBToHSV(r, g, b);
    int delta = w.Target - ((240 - w.Source) % 360 + 360) % 360;
    if (delta > 180) delta -= 360;
    if (delta <= -180) delta += 360;
    if (w.KeepLightness && (caught || (e > 0 && e < w.Soft)))
        return oklch::NewColour(colour, w, caught, caught ? 1.0 : 1 - e / w.Soft);
    double hue;
    if (caught) {
        if (!w.Shift) {
            const TRGBBytes out = TColorConvert::HSVToRGB(w.Target, mirrored.S, mirrored.V);
            return MakeColor(out.R, out.G, out.B);
        }
        hue = hsv.H + delta;
    } else if (e > 0 && e < w.Soft) {
        const double weight = 1 - e / w.Soft;
        if (w.Shift) {
            hue = hsv.H + weight * delta;
        } else {
            double d = w.Target - hsv.H;
            if (d > 180) d -= 360;
            if (d <= -180) d += 360;
            hue = hsv.H + weight * d;
        }
    } else {
        return colour;
    }
    if (hue < 0) hue += 360;
    else if (hue >= 360) hue -= 360;
    const TRGBBytes out = TColorConvert::HSVToRGB(hue, mirrored.S, mirrored.V);
    return MakeColor(out.R, out.G, out.B);
}

// after is what the rules give for before, pixel by pixel.
void ExpectTheRulesPicture(const TBitmap& after, const TBitmap& before, const THueWindow& w, const TProtectedColors& list)
{
    TBitmap expected;
    expected.Assign(before);
    for (int32_t y = 0; y < before.Height(); ++y)
        for (int32_t x = 0; x < before.Width(); ++x) expected.SetPixel(x, y, ReferencePixel(before.Pixel(x, y), w, list));
    ExpectSamePixels(after, expected, Describe(w));
}

// Every hue a pixel can have (the colours with a 0 component), some random colours, runs and a
// few protected colours, under windows that put each option at its edges.
std::vector<TColor> ManyColours()
{
    std::vector<TColor> colours;
    for (int a = 0; a < 256; a += 3)
        for (int b = 0; b < 256; ++b) {
            colours.push_back(MakeColor(0, static_cast<uint8_t>(a), static_cast<uint8_t>(b)));
            colours.push_back(MakeColor(static_cast<uint8_t>(b), 0, static_cast<uint8_t>(a)));
            colours.push_back(MakeColor(static_cast<uint8_t>(a), static_cast<uint8_t>(b), 0));
        }
    std::mt19937 random(3);
    for (int i = 0; i < 3000; ++i) {
        const TColor c = static_cast<TColor>(random() & 0xFFFFFF);
        for (int n = 0; n < 1 + i % 4; ++n) colours.push_back(c);
    }
    return colours;
}

const std::vector<THueWindow>& OptionWindows()
{
    static const std::vector<THueWindow> windows = {
        Window(0, 18, 120, true, 0, false),    Window(360, 36, 200, true, 0, false),
        Window(240, 0, 120, false, 30, false), Window(10, 8, 120, true, 90, false),
        Window(350, 20, 360, true, 45, false), Window(120, 5, 0, false, 1, false),
        Window(240, 18, 300, false, 0, true),  Window(60, 36, 0, true, 60, true),
        Window(0, 0, 180, true, 90, true),     Window(200, 12, 75, false, 17, true),
        Lightness(Window(240, 18, 240, false, 0, false)), Lightness(Window(0, 36, 60, true, 45, false)),
        Lightness(Window(240, 10, 300, false, 30, true)), Lightness(Window(120, 36, 0, true, 90, true)),
    };
    return windows;
}

TEST(HueOptionsTest, MatchTheRulesStepByStep)
{
    const std::vector<TColor> colours = ManyColours();
    const TProtectedColors list(ListOf({"clRed", ColorToText(colours[500]), ColorToText(colours[40000])}));
    TBitmap before;
    const int32_t width = 251;
    Make24(before, width, static_cast<int32_t>((colours.size() + width - 1) / width), colours);
    for (const THueWindow& w : OptionWindows()) {
        TBitmap after;
        ReplaceHue(before, after, list, w);
        ExpectTheRulesPicture(after, before, w, list);
    }
}

// Pixels of one hue and one chroma (largest less smallest component) at many values: each such
// family has its new hue worked out once in a run, whether caught or in the band, and every
// pixel still ends as the rules say.
TEST(HueOptionsTest, PixelsOfOneHueAndChromaShareTheirNewHue)
{
    struct Case {
        THueWindow window;
        std::vector<RGB> families; // each at values + 0, 1, 2, ...
        int64_t workedOut;
    };
    const std::vector<Case> cases = {
        // In the band below and above the window, caught, and far away.
        {Window(240, 10, 120, false, 30, false), {{40, 0, 10}, {40, 0, 0}, {40, 10, 0}, {0, 40, 0}}, 3},
        // Shifted: caught, and in the band across 0/360 on either side.
        {Window(0, 10, 200, true, 20, true), {{0, 0, 40}, {10, 0, 40}, {0, 10, 40}}, 3},
        // Two chromas of one hue are two families.
        {Window(240, 10, 300, false, 45, false), {{40, 0, 20}, {50, 0, 25}}, 2},
    };
    const TProtectedColors none;
    for (const Case& c : cases) {
        const int32_t width = 200;
        std::vector<TColor> colours;
        for (const RGB& family : c.families)
            for (int j = 0; j < width; ++j) colours.push_back(ColorOf({family.r + j, family.g + j, family.b + j}));
        TBitmap before, after;
        Make24(before, width, static_cast<int32_t>(c.families.size()), colours);
        const int64_t already = MovedHuesWorkedOutForTesting();
        ReplaceHue(before, after, none, c.window);
        EXPECT_EQ(MovedHuesWorkedOutForTesting() - already, c.workedOut) << Describe(c.window);
        ExpectTheRulesPicture(after, before, c.window, none);
    }
}

// Every (largest, smallest) pair, in the band and caught with a shift: the levels of the new
// colour for every value and saturation.
TEST(HueOptionsTest, EveryValueAndSaturationMatchesTheRules)
{
    std::vector<TColor> colours;
    for (int mx = 1; mx < 256; ++mx)
        for (int mn = 0; mn < mx; ++mn) {
            const int d = mx - mn;
            colours.push_back(ColorOf({mx, mn + d / 4, mn})); // hue about 15
            colours.push_back(ColorOf({mx, mn, mn + d / 3})); // hue about 340
            colours.push_back(ColorOf({mx, mn, mn}));         // hue 0
        }
    TBitmap before;
    const int32_t width = 255;
    Make24(before, width, static_cast<int32_t>(colours.size() / width), colours);
    const TProtectedColors none;
    for (const THueWindow& w : {Window(240, 10, 77, false, 40, false), Window(240, 5, 131, false, 30, true),
                                Window(240, 2, 30, false, 1, false), Lightness(Window(240, 10, 200, false, 40, false)),
                                Lightness(Window(240, 5, 60, false, 30, true))}) {
        TBitmap after;
        ReplaceHue(before, after, none, w);
        ExpectTheRulesPicture(after, before, w, none);
    }
}

// Every one of the 2^24 colours against the rules step by step, under windows whose soft bands
// and shifts together reach every hue. Takes a while; run it after touching the conversions:
// --gtest_also_run_disabled_tests --gtest_filter='*EveryColour*'
TEST(HueOptionsTest, DISABLED_EveryColourMatchesTheRules)
{
    TBitmap before;
    before.SetPixelFormat(TPixelFormat::pf24bit);
    before.SetSize(4096, 4096);
    for (int32_t y = 0; y < 4096; ++y) {
        uint8_t* row = before.ScanLine(y);
        for (int32_t x = 0; x < 4096; ++x) {
            const uint32_t c = static_cast<uint32_t>(y) * 4096 + static_cast<uint32_t>(x);
            row[3 * x] = static_cast<uint8_t>(c);
            row[3 * x + 1] = static_cast<uint8_t>(c >> 8);
            row[3 * x + 2] = static_cast<uint8_t>(c >> 16);
        }
    }
    const TProtectedColors none;
    for (const THueWindow& w : {Window(240, 36, 77, true, 90, false), Window(60, 36, 300, true, 90, false),
                                Window(240, 36, 131, true, 90, true), Window(60, 36, 0, true, 90, true),
                                Window(150, 36, 359, false, 89, false), Window(330, 36, 1, true, 90, true),
                                Lightness(Window(240, 36, 60, true, 90, false)), Lightness(Window(60, 36, 240, true, 90, true))}) {
        TBitmap after;
        ReplaceHue(before, after, none, w, nullptr, 2);
        int wrong = 0;
        for (int32_t y = 0; y < 4096; ++y) {
            const uint8_t* in = before.ConstScanLine(y);
            const uint8_t* out = after.ConstScanLine(y);
            for (int32_t x = 0; x < 4096; ++x) {
                const TColor expected = ReferencePixel(MakeColor(in[3 * x + 2], in[3 * x + 1], in[3 * x]), w, none);
                const TColor actual = MakeColor(out[3 * x + 2], out[3 * x + 1], out[3 * x]);
                if (actual != expected && ++wrong <= 5)
                    ADD_FAILURE() << Describe(w) << ": " << Text(MakeColor(in[3 * x + 2], in[3 * x + 1], in[3 * x]))
                                  << " became " << Text(actual) << ", expected " << Text(expected);
            }
        }
        EXPECT_EQ(wrong, 0) << Describe(w);
    }
}

// Counting gives the same picture and counts what the pictures show; every other path (rows as
// they arrive, in place, bands on several threads, colours of a palette) gives the same pixels.
TEST(HueOptionsTest, EveryPathGivesTheSamePixelsAndCounts)
{
    std::vector<TColor> colours = ManyColours();
    std::mt19937 random(9);
    while (colours.size() < 700u * 600u) colours.push_back(colours[random() % 100000]);
    const int32_t width = 700, height = 600; // 420000 pixels: two bands on two threads
    TBitmap before, alpha;
    Make24(before, width, height, colours);
    std::vector<uint8_t> alphaBytes;
    for (int i = 0; i < 997; ++i) alphaBytes.push_back(i % 3 == 0 ? 255 : static_cast<uint8_t>(i % 7 == 0 ? 254 : 0));
    MakeAlpha(alpha, width, height, alphaBytes);
    const TStringList lines = ListOf({"clRed", ColorToText(colours[77]), ColorToText(colours[30001])});
    const TProtectedColors list(lines);

    std::vector<THueWindow> windows = OptionWindows();
    for (const THueWindow& w : OptionWindows()) {
        THueWindow visible = w;
        visible.VisibleOnly = true;
        windows.push_back(visible);
    }
    windows.push_back(Window(240, 18, 120, false, 0, false, true));
    for (const THueWindow& w : windows) {
        const std::string name = Describe(w);
        TBitmap plain;
        ReplaceHue(before, plain, list, w, nullptr, 1, &alpha);

        TBitmap counted, unprotected;
        THueCounts counts;
        ReplaceHue(before, counted, list, w, &counts, 1, &alpha);
        ReplaceHue(before, unprotected, TProtectedColors(), w, nullptr, 1, &alpha);
        ExpectSamePixels(counted, plain, name + " counted");
        int64_t altered = 0, kept = 0;
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const bool hidden = w.VisibleOnly && alpha.ConstScanLine(y)[x] == 255;
                if (hidden) {
                    EXPECT_EQ(plain.Pixel(x, y), before.Pixel(x, y)) << name;
                }
                altered += plain.Pixel(x, y) != before.Pixel(x, y);
                kept += plain.Pixel(x, y) != unprotected.Pixel(x, y);
            }
        EXPECT_EQ(counts.Altered, altered) << name;
        EXPECT_EQ(counts.Kept, kept) << name;
        EXPECT_GT(altered, 0) << name;

        TBitmap threaded;
        THueCounts threadedCounts;
        ReplaceHue(before, threaded, list, w, &threadedCounts, 3, &alpha);
        ExpectSamePixels(threaded, plain, name + " threads");
        EXPECT_EQ(threadedCounts.Altered, counts.Altered) << name;
        EXPECT_EQ(threadedCounts.Kept, counts.Kept) << name;

        TBitmap rows;
        rows.Assign(before);
        THueRowReplacer replacer(list, w);
        for (int32_t y = 0; y < height; ++y) replacer.Row(rows.ScanLine(y), width, alpha.ConstScanLine(y));
        ExpectSamePixels(rows, plain, name + " rows");

        // The colours of a palette: one per colour, as the pixels of that colour become (the
        // alpha is the pixels' business, so these go without VisibleOnly).
        THueWindow opaque = w;
        opaque.VisibleOnly = false;
        TBitmap all;
        ReplaceHue(before, all, list, opaque);
        const std::vector<TColor> some(colours.begin(), colours.begin() + 5000);
        const std::vector<TColor> changed = RecolourColours(some, list, opaque);
        for (size_t i = 0; i < some.size(); ++i)
            ASSERT_EQ(Text(changed[i]), Text(all.Pixel(static_cast<int32_t>(i % width), static_cast<int32_t>(i / width))))
                << name << " colour " << i;
    }
}

// The window [360, 360] without wrap catches nothing whatever the options, as the plain check:
// no pixel changes or counts on any path (the shift once read its table out of bounds here).
TEST(HueOptionsTest, TheWindowAtThreeSixtyCatchesNothing)
{
    const std::vector<TColor> colours = ManyColours();
    const int32_t width = 251;
    TBitmap before;
    Make24(before, width, static_cast<int32_t>((colours.size() + width - 1) / width), colours);
    const TProtectedColors list(ListOf({"clBlue"}));
    for (const THueWindow& w : {Window(360, 0, 120, false, 0, true), Window(360, 0, 120, false, 0, false, true),
                                Window(360, 0, 300, false, 0, true, true), Window(360, 0, 120, false, 0, false)}) {
        const std::string name = Describe(w);
        TBitmap after;
        THueCounts counts;
        ReplaceHue(before, after, list, w, &counts);
        ExpectSamePixels(after, before, name + " counted");
        EXPECT_EQ(counts.Altered, 0) << name;
        EXPECT_EQ(counts.Kept, 0) << name;
        ReplaceHue(before, after, TProtectedColors(), w);
        ExpectSamePixels(after, before, name);
        TBitmap rows;
        rows.Assign(before);
        THueRowReplacer replacer(list, w);
        for (int32_t y = 0; y < rows.Height(); ++y) replacer.Row(rows.ScanLine(y), width);
        ExpectSamePixels(rows, before, name + " rows");
        EXPECT_EQ(RecolourColours({clBlue, MakeColor(0, 0, 200)}, TProtectedColors(), w),
                  (std::vector<TColor>{clBlue, MakeColor(0, 0, 200)}))
            << name;
    }
}

// The row replacer without an alpha row: every pixel counts as visible.
TEST(HueOptionsTest, RowsWithoutAlphaAreOpaque)
{
    uint8_t row[6] = {0, 0, 255, 0, 0, 255}; // two red pixels, blue first
    const TProtectedColors none; // the replacer refers to it
    THueRowReplacer replacer(none, Window(240, 0, 120, false, 0, false, true));
    const uint8_t hidden[2] = {255, 0};
    replacer.Row(row, 1, nullptr);
    replacer.Row(row + 3, 1, hidden);
    EXPECT_EQ(row[1], 255) << "opaque without an alpha row";
    EXPECT_EQ(row[2], 0);
    EXPECT_EQ(row[5], 255) << "alpha 0 stays";
}

// A palette picture keeps its palette: its entries are recoloured as pixels of their colour,
// and with VisibleOnly an entry that only pixels of alpha 0 use stays.
TEST(HueOptionsTest, PalettePicturesRecolourTheirEntries)
{
    // Entries: 0 red, 1 (200, 100, 50), 2 blue, 3 red again (only transparent pixels use it),
    // 4 red unused. Pixels of row 0: 0 1 2 3, row 1: 3 0 1 3.
    TBitmap before;
    before.SetPixelFormat(TPixelFormat::pf8bit);
    before.SetSize(4, 2);
    TBitmapImage& image = before.MutableImage();
    const TColor entries[] = {clRed, MakeColor(200, 100, 50), clBlue, clRed, clRed};
    image.ColorTable.assign(256, TRGBQuad{});
    for (size_t i = 0; i < 5; ++i) {
        image.ColorTable[i].rgbRed = RedOf(entries[i]);
        image.ColorTable[i].rgbGreen = GreenOf(entries[i]);
        image.ColorTable[i].rgbBlue = BlueOf(entries[i]);
    }
    const uint8_t indices[2][4] = {{0, 1, 2, 3}, {3, 0, 1, 3}};
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 4; ++x) before.ScanLine(y)[x] = indices[y][x];
    TBitmap alpha;
    MakeAlpha(alpha, 4, 2, {0, 0, 0, 255, 255, 0, 0, 255}); // index 3: alpha 0 everywhere
    ASSERT_TRUE(IsPalettePicture(before));

    // Window [230, 250] with F = 50, target 300: red (hue 0) is caught and becomes magenta;
    // (200, 100, 50) lies in the band and becomes (200, 50, 160) (see HandWorkedPixels).
    const TColor magenta = MakeColor(255, 0, 255);
    const TColor banded = MakeColor(200, 50, 160);
    struct {
        const char* name;
        bool visibleOnly;
        TColor entry3, entry4;
    } cases[] = {
        {"every pixel", false, magenta, magenta},
        {"visible only", true, clRed, clRed},
    };
    for (const auto& c : cases) {
        const THueWindow w = Window(240, 10, 300, false, 50, false, c.visibleOnly);
        TBitmap after;
        RecolourPicture(before, after, TProtectedColors(), w, true, 1, &alpha);
        ASSERT_EQ(after.PixelFormat(), TPixelFormat::pf8bit) << c.name;
        const std::vector<TRGBQuad>& table = after.Image()->ColorTable;
        const auto colourOf = [&](size_t i) { return MakeColor(table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue); };
        EXPECT_EQ(Text(colourOf(0)), Text(magenta)) << c.name;
        EXPECT_EQ(Text(colourOf(1)), Text(banded)) << c.name;
        EXPECT_EQ(Text(colourOf(2)), Text(clBlue)) << c.name;
        EXPECT_EQ(Text(colourOf(3)), Text(c.entry3)) << c.name;
        EXPECT_EQ(Text(colourOf(4)), Text(c.entry4)) << c.name;
        for (int32_t y = 0; y < 2; ++y)
            for (int32_t x = 0; x < 4; ++x) EXPECT_EQ(after.ConstScanLine(y)[x], indices[y][x]);

        // Pixel for pixel the 24-bit result, where each index has one alpha.
        TBitmap full;
        ReplaceHue(before, full, TProtectedColors(), w, nullptr, 1, &alpha);
        ExpectSamePixels(after, full, c.name);
    }

    // One index shared by a visible and a transparent pixel: the entry is recoloured (the
    // visible pixel needs it), so only the transparent pixel's colour differs from the 24-bit
    // result, which leaves that pixel alone.
    TBitmap mixed;
    MakeAlpha(mixed, 4, 2, {0, 0, 0, 255, 255, 255, 0, 255}); // (1, 1) of index 0 is transparent
    const THueWindow w = Window(240, 10, 300, false, 50, false, true);
    TBitmap after, full;
    RecolourPicture(before, after, TProtectedColors(), w, true, 1, &mixed);
    ReplaceHue(before, full, TProtectedColors(), w, nullptr, 1, &mixed);
    EXPECT_EQ(Text(after.Pixel(1, 1)), Text(magenta));
    EXPECT_EQ(Text(full.Pixel(1, 1)), Text(clRed));
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 4; ++x)
            if (mixed.ConstScanLine(y)[x] != 255) {
                EXPECT_EQ(after.Pixel(x, y), full.Pixel(x, y)) << x << "," << y;
            }

    const std::vector<bool> visible = VisibleIndices(before, &mixed, 6);
    EXPECT_EQ(visible, (std::vector<bool>{true, true, true, false, false, false}));
    EXPECT_EQ(VisibleIndices(before, nullptr, 6), (std::vector<bool>{true, true, true, true, false, false}));
}

// ---------------------------------------------------------------- KeepLightness

// Worked out by hand from the four steps (intermediate values to six places; L lightness, C
// chroma, h hue in degrees). The red team colour (200, 40, 40): L 0.542211, C 0.195589, h 26.770.
// Target hues h_T of HSV(H, 1, 1): H 0: 29.234, 60: 109.769, 120: 142.495, 180: -165.231,
// 240: -95.948. No expected byte sits near a rounding tie.
TEST(HueOptionsTest, KeepLightnessHandWorkedPixels)
{
    struct {
        const char* name;
        THueWindow w;
        RGB in;
        RGB out;
        bool leavesGamut; // full chroma at the new hue lies outside sRGB: bisected
    } cases[] = {
        // To blue: (L, C, -95.948) is inside sRGB: linear (0.031896, 0.127438, 0.737205), bytes
        // (50, 100, 223), L 0.542409. Keeping S and V instead gives (40, 40, 200), L 0.417859.
        {"red to blue", Lightness(Window(240, 0, 240, false, 0, false)), {200, 40, 40}, {50, 100, 223}, false},
        {"red to blue keeping S and V", Window(240, 0, 240, false, 0, false), {200, 40, 40}, {40, 40, 200}, false},
        // To yellow: at C 0.195589 blue goes below 0; the bisection ends at C 0.118194:
        // (116, 116, 0), L 0.541072 (clipping instead would give (122, 117, 0)). Keeping S and V:
        // (200, 200, 40), L 0.807131.
        {"red to yellow", Lightness(Window(240, 0, 60, false, 0, false)), {200, 40, 40}, {116, 116, 0}, true},
        {"red to yellow keeping S and V", Window(240, 0, 60, false, 0, false), {200, 40, 40}, {200, 200, 40}, false},
        // To cyan: bisected to C 0.092554, (0, 128, 128) (clipped: (0, 141, 146)).
        {"red to cyan", Lightness(Window(240, 0, 180, false, 0, false)), {200, 40, 40}, {0, 128, 128}, true},
        // A shade of the same red: L 0.333074, C 0.113081 -> (23, 49, 111), L 0.333043.
        {"dark red to blue", Lightness(Window(240, 18, 240, false, 0, false)), {100, 20, 20}, {23, 49, 111}, false},
        // A light tint: L 0.724552, C 0.159553; too much chroma for blue that light: C 0.142245,
        // (120, 163, 255) (clipped: (114, 162, 255)).
        {"pink to blue", Lightness(Window(240, 18, 240, false, 0, false)), {250, 120, 120}, {120, 163, 255}, true},
        // Shift, window centre hue 0 (h_S 29.234) to target 240: turn -125.182. (200, 60, 40):
        // h 31.209 -> -93.972 at L 0.559874, C 0.180036: (66, 106, 220). (200, 40, 40):
        // h 26.770 -> -98.411: (38, 102, 223).
        {"shift", Lightness(Window(240, 18, 240, false, 0, true)), {200, 60, 40}, {66, 106, 220}, false},
        {"shift of the red itself", Lightness(Window(240, 18, 240, false, 0, true)), {200, 40, 40}, {38, 102, 223}, false},
        // Soft F = 30 beside [240, 240], target 120: (240, 60, 0) lies e = 15 outside, w = 0.5.
        // h 34.587, arc to 142.495 is 107.909, new hue 88.541; L 0.626802, C 0.222121 bisected
        // to 0.128098: (168, 131, 0) (clipped: (190, 121, 0)).
        {"soft band", Lightness(Window(240, 0, 120, false, 30, false)), {240, 60, 0}, {168, 131, 0}, true},
        // Soft with shift: window [230, 250], F = 50, target 60, centre 0; (200, 100, 50) has
        // m 220, e 10, w 0.8; turn 109.769 - 29.234 = 80.535, h 45.083 + 64.428 = 109.511;
        // L 0.613838, C 0.142265 bisected to 0.133586: (139, 138, 0).
        {"soft band with shift", Lightness(Window(240, 10, 60, true, 50, true)), {200, 100, 50}, {139, 138, 0}, true},
        // Wrap: (34, 0, 255) has m 352, its copy -8 caught by [-8, 28]. L 0.459149, C 0.308095
        // at 142.495 bisected to 0.156237: (0, 108, 0).
        {"wrap", Lightness(Window(10, 18, 120, true, 0, false)), {34, 0, 255}, {0, 108, 0}, true},
        // Outside the window and band: as it was.
        {"outside", Lightness(Window(240, 0, 120, false, 30, false)), {0, 0, 255}, {0, 0, 255}, false},
        // Greys have no hue: never caught, never moved.
        {"grey", Lightness(Window(0, 36, 120, true, 90, true)), {128, 128, 128}, {128, 128, 128}, false},
        {"white", Lightness(Window(240, 36, 120, true, 90, true)), {255, 255, 255}, {255, 255, 255}, false},
        {"black", Lightness(Window(240, 36, 120, true, 90, false)), {0, 0, 0}, {0, 0, 0}, false},
        // The fault case of the window [360, 360] with it.
        {"[360, 360]", Lightness(Window(360, 0, 120, false, 0, true, true)), {0, 0, 255}, {0, 0, 255}, false},
    };
    for (const auto& c : cases) {
        const int64_t already = LightnessColoursWorkedOutForTesting();
        EXPECT_EQ(Text(RecolourOne(c.in, c.w)), Text(ColorOf(c.out))) << c.name;
        const bool moved = c.w.KeepLightness && Text(ColorOf(c.in)) != Text(ColorOf(c.out));
        EXPECT_EQ(LightnessColoursWorkedOutForTesting() - already, moved ? 1 : 0) << c.name;
        if (!moved) continue;
        // Lightness kept to the bytes' precision; a caught pixel shows the target's hue, less
        // the bytes' rounding.
        const oklch::Lab before = oklch::FromColour(ColorOf(c.in)), after = oklch::FromColour(ColorOf(c.out));
        EXPECT_NEAR(after.L, before.L, 0.005) << c.name;
        if (!c.w.Shift && c.w.Soft == 0) {
            EXPECT_NEAR(std::atan2(after.b, after.a), oklch::HueOfFull(c.w.Target), 0.5 * oklch::kPi / 180) << c.name;
        }
        // Whether the chroma had to be bisected: clipping the full chroma would give other bytes.
        const double chroma = std::hypot(before.a, before.b), hue = std::atan2(after.b, after.a);
        const std::array<double, 3> full = oklch::ToLinearRgb({before.L, chroma * std::cos(hue), chroma * std::sin(hue)});
        EXPECT_EQ(oklch::Inside(full), !c.leavesGamut) << c.name;
    }
    // The red example: to blue and yellow without it lightness falls to 0.418 and rises to 0.807.
    EXPECT_NEAR(oklch::FromColour(ColorOf({40, 40, 200})).L, 0.417859, 1e-6);
    EXPECT_NEAR(oklch::FromColour(ColorOf({200, 200, 40})).L, 0.807131, 1e-6);
    EXPECT_FALSE(THueWindow{}.KeepLightness);
    EXPECT_FALSE(Lightness(THueWindow{}).Plain());
}

// Protected colours stay with KeepLightness, and the counts say what changed.
TEST(HueOptionsTest, KeepLightnessCountsAndProtects)
{
    TBitmap before, after;
    Make24(before, 4, 1, {MakeColor(200, 40, 40), clRed, MakeColor(100, 20, 20), clBlue});
    THueCounts counts;
    ReplaceHue(before, after, TProtectedColors(ListOf({"clRed"})), Lightness(Window(240, 18, 240, false, 0, false)),
               &counts);
    EXPECT_EQ(Text(after.Pixel(0, 0)), Text(MakeColor(50, 100, 223)));
    EXPECT_EQ(Text(after.Pixel(1, 0)), Text(clRed));
    EXPECT_EQ(Text(after.Pixel(2, 0)), Text(MakeColor(23, 49, 111)));
    EXPECT_EQ(Text(after.Pixel(3, 0)), Text(clBlue));
    EXPECT_EQ(counts.Altered, 2);
    EXPECT_EQ(counts.Kept, 1);
}

// A palette picture keeps its indices and gets its entries in OKLCH, pixel for pixel the 24-bit
// result.
TEST(HueOptionsTest, KeepLightnessRecoloursPaletteEntries)
{
    TBitmap before;
    before.SetPixelFormat(TPixelFormat::pf4bit);
    before.SetSize(4, 2);
    TBitmapImage& image = before.MutableImage();
    const TColor entries[] = {MakeColor(200, 40, 40), MakeColor(100, 20, 20), MakeColor(128, 128, 128), clBlue,
                              MakeColor(250, 120, 120)};
    image.ColorTable.assign(16, TRGBQuad{});
    for (size_t i = 0; i < 5; ++i) {
        image.ColorTable[i].rgbRed = RedOf(entries[i]);
        image.ColorTable[i].rgbGreen = GreenOf(entries[i]);
        image.ColorTable[i].rgbBlue = BlueOf(entries[i]);
    }
    for (int32_t x = 0; x < 4; ++x) {
        PutPackedIndex(before.ScanLine(0), 4, x, static_cast<uint8_t>(x));
        PutPackedIndex(before.ScanLine(1), 4, x, static_cast<uint8_t>(4 - x));
    }
    ASSERT_TRUE(IsPalettePicture(before));
    const THueWindow w = Lightness(Window(240, 18, 240, false, 0, false));
    TBitmap after, full;
    RecolourPicture(before, after, TProtectedColors(), w);
    ASSERT_EQ(after.PixelFormat(), TPixelFormat::pf4bit);
    const std::vector<TRGBQuad>& table = after.Image()->ColorTable;
    const auto entry = [&](size_t i) { return Text(MakeColor(table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue)); };
    EXPECT_EQ(entry(0), Text(MakeColor(50, 100, 223)));
    EXPECT_EQ(entry(1), Text(MakeColor(23, 49, 111)));
    EXPECT_EQ(entry(2), Text(MakeColor(128, 128, 128)));
    EXPECT_EQ(entry(3), Text(clBlue));
    EXPECT_EQ(entry(4), Text(MakeColor(120, 163, 255)));
    for (int32_t x = 0; x < 4; ++x) {
        EXPECT_EQ(GetPackedIndex(after.ConstScanLine(0), 4, x), x);
        EXPECT_EQ(GetPackedIndex(after.ConstScanLine(1), 4, x), 4 - x);
    }
    ReplaceHue(before, full, TProtectedColors(), w);
    ExpectSamePixels(after, full, "palette");
}

// A picture of many colours in an order that defeats the row's small cache: each colour is worked
// out once (the table by colour grows as it fills), and past the table's bound (2^18 colours) it
// starts afresh; either way every pixel is as the steps say.
TEST(HueOptionsTest, KeepLightnessWorksOutEachColourOnce)
{
    std::mt19937 random(5);
    struct Case {
        int distinct;
        THueWindow w;
        bool bounded; // so many colours move that the table starts afresh
    } cases[] = {
        {20000, Lightness(Window(240, 36, 120, false, 0, false)), false},
        {450000, Lightness(Window(240, 36, 300, true, 90, true)), true},
    };
    for (const Case& c : cases) {
        std::vector<TColor> colours;
        for (int i = 0; i < c.distinct; ++i) colours.push_back(static_cast<TColor>(random() & 0xFFFFFF));
        std::sort(colours.begin(), colours.end());
        colours.erase(std::unique(colours.begin(), colours.end()), colours.end());
        // Each colour twice: once in each half of the picture.
        std::vector<TColor> pixels = colours;
        std::shuffle(pixels.begin(), pixels.end(), random);
        std::shuffle(colours.begin(), colours.end(), random);
        pixels.insert(pixels.end(), colours.begin(), colours.end());
        const int32_t width = 1000;
        TBitmap before, after;
        Make24(before, width, static_cast<int32_t>((pixels.size() + width - 1) / width), pixels);
        const int64_t reached = std::count_if(colours.begin(), colours.end(), [&](TColor x) { return Reached(x, c.w); });
        const int64_t already = LightnessColoursWorkedOutForTesting();
        ReplaceHue(before, after, TProtectedColors(), c.w);
        const int64_t workedOut = LightnessColoursWorkedOutForTesting() - already;
        if (c.bounded) {
            EXPECT_GT(reached, int64_t{1} << 18) << Describe(c.w);
            EXPECT_GT(workedOut, reached) << Describe(c.w);
        } else {
            EXPECT_GT(reached, 2000) << Describe(c.w); // a fifth of the hues
            EXPECT_EQ(workedOut, reached) << Describe(c.w);
        }
        ExpectTheRulesPicture(after, before, c.w, TProtectedColors());
    }
}

} // namespace
} // namespace tintabrel
