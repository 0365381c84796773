// Hue replacement: gives every pixel whose hue lies in the chosen window the target hue, keeping
// its saturation and value, except the pixels whose colour is on the protected colour list.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/Colors.h"

namespace tintabrel {

class TBitmap;
class TStringList;

// The pixel colours that a protected colour list protects: a line protects exactly the colours
// whose colour string (ColorToText) equals it with letter case ignored. So "clRed" protects
// (255, 0, 0) and "$000000FF" protects nothing, since red's colour string is the name.
class TProtectedColors {
public:
    TProtectedColors() = default;
    explicit TProtectedColors(const TStringList& list);

    bool Empty() const { return colors_.empty(); }
    // color is a plain colour $00BBGGRR.
    bool Contains(TColor color) const
    {
        const uint32_t c = static_cast<uint32_t>(color);
        const uint32_t h = (c ^ (c >> 12)) & 4095u;
        if (!(filter_[h >> 6] >> (h & 63) & 1u)) return false;
        return ContainsSlow(c);
    }

    // The plain colour whose colour string the line is (letter case ignored), or -1 when no
    // pixel can have that colour string.
    static TColor PixelColorOfLine(std::string_view line);

private:
    bool ContainsSlow(uint32_t color) const;
    std::vector<uint32_t> colors_; // sorted, unique
    std::array<uint64_t, 64> filter_{};
};

// Settings of one run, as the three sliders give them.
struct THueWindow {
    int Source = 0;     // centre of the window on the mirrored hue scale (240 - hue) mod 360, 0..360
    int Tolerance = 18; // half width of the window, 0..36
    int Target = 0;     // new hue in degrees, 0..360
    // Beyond the sliders; all off by default, which is exactly the plain check above.
    bool Wrap = false;          // the window continues across 0/360 of the mirrored scale
    int Soft = 0;               // 0..90 degrees outside the window that move part of the way (0: none)
    bool Shift = false;         // caught pixels turn by target - centre hue instead of taking the target
    bool VisibleOnly = false;   // pixels of alpha 0 keep their colour and are not counted
    bool KeepLightness = false; // moved pixels keep their OKLab lightness: new colours from OKLCH
    bool Plain() const { return !Wrap && Soft == 0 && !Shift && !VisibleOnly && !KeepLightness; }
};
// What the options do, exactly (m the mirrored hue as the window check computes it, H the
// ordinary hue of the same pixel, p Source, t Tolerance; grey pixels are never touched and
// protected colours never change):
// - Wrap: a pixel is caught when any of m - 360, m, m + 360 lies in [p - t, p + t].
// - Soft F: a pixel not caught whose mirrored hue (with Wrap, its nearest copy) lies e degrees
//   outside the window, 0 < e < F, moves by the weight w = 1 - e / F along the shorter arc from
//   H to the target: H + w * d, d = Target - H brought into (-180, 180]. All in doubles.
// - Shift: caught pixels take H + delta, soft-band pixels H + w * delta, where
//   delta = Target - C brought into (-180, 180] and C = (240 - p) mod 360 the window's centre.
// - VisibleOnly: pixels whose alpha is 0 stay and are not counted.
// Without KeepLightness a new hue is brought into [0, 360) and converted with the pixel's
// saturation and value as the plain check converts the target hue.
// - KeepLightness: which pixels are caught, protected or in the band stays as above; only their
//   new colour is worked out otherwise, in double precision, in OKLCH (base/OkLab.h):
//   1. The pixel's bytes through the sRGB transfer function to OKLab (L, a, b); its chroma
//      sqrt(a^2 + b^2), h = atan2(b, a).
//   2. Its new hue: h_T, the OKLCH hue of HSV(Target, 1, 1) with the components as exact
//      fractions (not bytes). With Shift h + (h_T - h_S), h_S the same of the centre's hue C.
//      A soft-band pixel: h + w * a, a the shorter arc from h to its full new hue (h_T - h, or
//      h_T - h_S with Shift) brought into (-pi, pi].
//   3. (L, chroma, new hue) to OKLab and linear sRGB. A channel outside [0, 1]: the chroma is
//      bisected (low 0, high the chroma, 30 halvings, mid = (low + high) / 2, low moved when mid
//      is in the gamut) and the last low in the gamut taken, L and the hue kept.
//   4. Each channel clipped to [0, 1], encoded, times 255, rounded halves to even.

// What one run changes, counted on request (a dry run shows it before files are written).
struct THueCounts {
    int64_t Altered = 0; // pixels given a colour other than their own
    int64_t Kept = 0;    // pixels that the run would give another colour but the list protects
};

// after becomes a copy of before (sharing its store until it changes), converted to 24 bits per
// pixel; then every pixel that is not grey, whose mirrored hue h satisfies
// Source - Tolerance <= h <= Source + Tolerance (both inclusive, no wrap round 0 or 360) and
// whose colour is not protected takes the hue Target with its saturation and value unchanged.
// before is never changed. Settings outside the ranges above raise std::invalid_argument, and
// so does passing one bitmap as both before and after. With counts, the run also counts what it
// does (a little slower; the result is the same). A large picture is recoloured in bands of rows
// on up to threads threads, with the same result. The options of the window other than the
// sliders (see THueWindow) take a path of their own; with all of them off the run is the plain
// check. alpha, for VisibleOnly: the picture's transparency, 8 bits per pixel, byte v meaning
// alpha 255 - v (none or empty: opaque); one of another size or format raises
// std::invalid_argument.
void ReplaceHue(const TBitmap& before, TBitmap& after, const TProtectedColors& protectedColors,
                const THueWindow& window, THueCounts* counts = nullptr, unsigned threads = 1,
                const TBitmap* alpha = nullptr);
void ReplaceHue(const TBitmap& before, TBitmap& after, const TStringList& protectedList, const THueWindow& window);
// The same on the picture itself, which ends as ReplaceHue's after picture would: no copy of a
// picture whose before is not needed any more.
void ReplaceHueInPlace(TBitmap& picture, const TProtectedColors& protectedColors, const THueWindow& window,
                       THueCounts* counts = nullptr, unsigned threads = 1, const TBitmap* alpha = nullptr);

// Recolours the rows of a 24-bit picture one at a time, as they arrive (a decoder still storing
// the later ones): each row ends exactly as ReplaceHue would leave it. Window checks as ReplaceHue.
class THueRowReplacer {
public:
    // protectedColors is referred to, not copied: it must outlive the replacer.
    THueRowReplacer(const TProtectedColors& protectedColors, const THueWindow& window);
    ~THueRowReplacer();
    THueRowReplacer(THueRowReplacer&&) noexcept;
    THueRowReplacer& operator=(THueRowReplacer&&) = delete;

    // row: width pixels of 3 bytes, blue first. alpha: the row's transparency as ReplaceHue's
    // alpha holds it (width bytes), or none for opaque; only VisibleOnly reads it.
    void Row(uint8_t* row, int32_t width, const uint8_t* alpha = nullptr);

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

// For tests: how many new hues of pixels that a window with a soft band or a shift moves have
// been worked out so far, on all threads. Pixels of one hue and one chroma (largest less smallest
// component) share theirs within a band of rows (a whole picture on one thread).
int64_t MovedHuesWorkedOutForTesting();
// For tests: how many colours KeepLightness has worked out in OKLCH so far, on all threads. A band
// of rows works out each colour once while its table by colour has room (2^18 colours; full, it
// starts afresh).
int64_t LightnessColoursWorkedOutForTesting();

// The source position a click on a pixel of this colour picks, as the window's colour picker
// sets its source slider: 235 - trunc(hue), brought into 0..359. None for a grey colour, which
// has no hue.
std::optional<int> PickedSourcePosition(TColor color);

} // namespace tintabrel
