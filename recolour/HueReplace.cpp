#include "recolour/HueReplace.h"

#include "image/Graphics.h"
#include "base/ColorConvert.h"
#include "base/OkLab.h"
#include "base/StringList.h"
#include "base/TaskPool.h"

#include <algorithm>
#include <mutex>
#include <memory>
#include <atomic>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tintabrel {

// ---------------------------------------------------------------- TProtectedColors

TProtectedColors::TProtectedColors(const TStringList& list)
{
    for (const std::string& line : list) {
        const TColor c = PixelColorOfLine(line);
        if (c >= 0) colors_.push_back(static_cast<uint32_t>(c));
    }
    std::sort(colors_.begin(), colors_.end());
    colors_.erase(std::unique(colors_.begin(), colors_.end()), colors_.end());
    for (const uint32_t c : colors_) {
        const uint32_t h = (c ^ (c >> 12)) & 4095u;
        filter_[h >> 6] |= uint64_t{1} << (h & 63);
    }
}

bool TProtectedColors::ContainsSlow(uint32_t color) const
{
    return std::binary_search(colors_.begin(), colors_.end(), color);
}

TColor TProtectedColors::PixelColorOfLine(std::string_view line)
{
    // Find the one colour the line could name, then accept it only if its colour string is the
    // line: this keeps the rule identical to comparing every pixel's colour string as text.
    int64_t candidate = -1;
    TColor named;
    if (line.size() == 9 && line[0] == '$') {
        uint32_t v = 0;
        bool hex = true;
        for (size_t i = 1; i < 9 && hex; ++i) {
            const char ch = line[i];
            int digit = -1;
            if (ch >= '0' && ch <= '9') digit = ch - '0';
            else if (ch >= 'A' && ch <= 'F') digit = ch - 'A' + 10;
            else if (ch >= 'a' && ch <= 'f') digit = ch - 'a' + 10;
            hex = digit >= 0;
            v = v * 16 + static_cast<uint32_t>(digit);
        }
        if (hex) candidate = v;
    } else if (NameToColor(line, named)) {
        candidate = static_cast<uint32_t>(named);
    }
    if (candidate < 0 || candidate > 0xFFFFFF) return -1;
    const TColor color = static_cast<TColor>(candidate);
    return TStringList::SameTextAscii(ColorToText(color), line) ? color : -1;
}

// ---------------------------------------------------------------- ReplaceHue

namespace {

std::atomic<int64_t> movedHuesWorkedOut{0};

// The new colour of each (largest, smallest) component pair for one target hue, 0 while not yet
// known. It is the same for every picture and every thread, so one table per target serves a
// whole run, filled as pairs turn up by whichever thread meets them first (all write the same
// value): a batch of sprites converts each pair once, not once per file.
std::atomic<uint32_t>* SharedResults(int target)
{
    static std::mutex mutex;
    static std::array<std::unique_ptr<std::atomic<uint32_t>[]>, 361> tables;
    std::lock_guard lock(mutex);
    std::unique_ptr<std::atomic<uint32_t>[]>& table = tables[static_cast<size_t>(target)];
    if (!table) table.reset(new std::atomic<uint32_t>[65536]());
    return table.get();
}

// TColorConvert's steps inlined for the options' pixels: the same long double operations in
// the same order, so the results are the same to the bit, without the calls (to the rounding
// above all) that take most of its time.
namespace quick {

// 2^(digits - 1): the smallest power of two whose neighbours in long double are whole numbers
// one apart.
constexpr long double WholeStep()
{
    long double w = 1.0L;
    for (int i = 1; i < std::numeric_limits<long double>::digits; ++i) w *= 2.0L;
    return w;
}

// Nearest integer with halves to the even neighbour, as lrintl in the default rounding mode, of
// 0 <= x < 2^52. Added to WholeStep(), x keeps no fraction, so the sum is rounded just so; the
// integer then goes out through a double, exactly. This avoids the change of the x87 rounding
// mode that a truncating conversion of a long double costs.
inline long RoundEven(long double x)
{
    constexpr long double kWhole = WholeStep();
    const long double rounded = (x + kWhole) - kWhole;
    return static_cast<long>(static_cast<double>(rounded));
}

// RGBToHSV's H of a colour that is not grey (d = mx - mn > 0), and with mirrored its H with red
// and blue exchanged. The two take the same pair of components for their difference (the tie
// of two largest ones only swaps equal values), so one division serves both: a quotient's sign
// does not change its digits.
inline double Hue(int r, int g, int b, int mx, int d, double* mirrored = nullptr)
{
    int num, k;
    if (mx == g) num = b - r, k = 2;
    else if (mx == b) num = r - g, k = 4;
    else if (b > g) num = g - b, k = 6;
    else num = g - b, k = 0;
    const long double quotient = static_cast<long double>(num < 0 ? -num : num) / static_cast<long double>(d);
    const auto hue = [&](int n, int constant) {
        return static_cast<double>(((n < 0 ? -quotient : quotient) + static_cast<long double>(constant)) * 60.0L);
    };
    if (mirrored) {
        int mirroredNum, mirroredK;
        if (mx == g) mirroredNum = r - b, mirroredK = 2;
        else if (mx == r) mirroredNum = b - g, mirroredK = 4;
        else if (r > g) mirroredNum = g - r, mirroredK = 6;
        else mirroredNum = g - r, mirroredK = 0;
        *mirrored = hue(mirroredNum, mirroredK);
    }
    return hue(num, k);
}

// RGBToHSV's S of a colour that is not grey.
inline double Saturation(int mx, int d)
{
    return static_cast<double>(static_cast<long double>(d) / static_cast<long double>(mx));
}

// HSVToRGB's level m = Round(V * 255) for V = RGBToHSV's V of a colour whose largest component is mx.
inline long Level(int mx)
{
    static const std::array<long, 256> levels = [] {
        std::array<long, 256> l{};
        for (int i = 0; i < 256; ++i) {
            const double v = static_cast<double>(static_cast<long double>(i) / 255.0L);
            l[static_cast<size_t>(i)] = std::lrintl(static_cast<long double>(v) * 255.0L);
        }
        return l;
    }();
    return levels[static_cast<size_t>(mx)];
}

// HSVToRGB's sector position hue / 60 of a hue in [0, 360].
inline double Sector(double hue)
{
    if (hue >= 360.0) hue = 0.0;
    // HSVToRGB divides in long double and stores the quotient as a double. For a double
    // dividend that is the double quotient itself: the digits of x / 60 repeat with a period
    // of 4 bits beyond the last ones kept, so the long double quotient never lands on a halfway
    // point between two doubles.
    return hue / 60.0;
}

// The level of a sector that HSVToRGB(hue, s, v) computes besides m and m (1 - s): m (1 - s part)
// rounded to the nearest whole number, halves to the even one, with m = Level(mx) of that v and
// part f in the odd sectors and 1 - f in the even ones (f the fraction of h = Sector(hue)).
[[gnu::noinline]] inline long ThirdLevel(double h, double s, long m)
{
    const int i = static_cast<int>(h);
    const long double lf = h - i; // exact in either precision
    const long double part = i & 1 ? lf : 1.0L - lf;
    return RoundEven(static_cast<long double>(m) * (1.0L - static_cast<long double>(s) * part));
}

// HSVToRGB(hue, s, v) of a colour that is not grey, given h = Sector(hue), the colour's largest
// component mx and smallest mn (its s and v), as bytes blue | green << 8 | red << 16.
inline uint32_t ToRGB(double h, int mx, int mn)
{
    const int i = static_cast<int>(h);
    const double f = h - i;
    // m is mx, and m (1 - s) is mn: s is (mx - mn) / mx to far less than half a level. So the
    // third level m (1 - s part) is mx - (mx - mn) part, which doubles give to better than
    // 1e-12, as the long doubles of HSVToRGB do: both round to the same whole number unless it
    // lies within that of a half. Near a half it is worked out as HSVToRGB does.
    static constexpr double constant[2] = {1.0, 0.0};
    static constexpr double sign[2] = {-1.0, 1.0};
    const double part = constant[i & 1] + sign[i & 1] * f; // f or 1 - f, no branch
    const double third = (mx - (mx - mn) * part) + 0.5;
    long x = static_cast<long>(third);
    const double fraction = third - static_cast<double>(x);
    if (fraction < 1e-7 || fraction > 1.0 - 1e-7) [[unlikely]]
        x = ThirdLevel(h, Saturation(mx, mx - mn), Level(mx));
    const uint32_t levels = static_cast<uint32_t>(mx) | static_cast<uint32_t>(mn) << 8 |
                            (static_cast<uint32_t>(x) & 0xFF) << 16;
    // Without a branch on the sector either: the pixels of a soft band straddle sectors at
    // random. Per sector, where red, green and blue take their level from (mx 0, mn 8, the
    // third 16); 6 and 7 as HSVToRGB would take them, though a hue below 360 never gets there.
    struct TSector {
        uint8_t R, G, B;
    };
    static constexpr TSector sectors[8] = {{0, 16, 8}, {16, 0, 8}, {8, 0, 16}, {8, 16, 0},
                                           {16, 8, 0}, {0, 8, 16}, {16, 8, 0}, {0, 8, 16}};
    const TSector& sector = sectors[static_cast<unsigned>(i) & 7u];
    return (levels >> sector.B & 0xFF) | (levels >> sector.G & 0xFF) << 8 | (levels >> sector.R & 0xFF) << 16;
}

} // namespace quick

// The window with its options: which pixels it catches, which lie in its soft band, and where
// those pixels' hues move.
class TWindowOptions {
public:
    explicit TWindowOptions(const THueWindow& window)
        : Shift(window.Shift), VisibleOnly(window.VisibleOnly), lo_(window.Source - window.Tolerance),
          hi_(window.Source + window.Tolerance), soft_(window.Soft), target_(window.Target)
    {
        // Where each copy m + c of the mirrored hue (c = 0; with Wrap also -360 and 360) meets
        // the window or its band, as ranges of m itself; those that miss 0 <= m < 360 are left
        // out. The band reaches at most 90 past a window at most 72 wide, so the ranges of two
        // copies never meet: a pixel lies in at most one, and that copy is its nearest.
        for (const int copy : {0, -360, 360}) {
            if (copy != 0 && !window.Wrap) break;
            const TReach reach{lo_ - soft_ - copy, hi_ + soft_ - copy, lo_ - copy, hi_ - copy, copy};
            if (reach.Hi >= 0 && reach.Lo < 360 && reachCount_ < 2) reaches_[reachCount_++] = reach;
        }
        // The copy 0 meets 0..360 unless the window is [360, 360] without a band (no mirrored hue
        // reaches 360); of the other two at most one does (the band would have to be wider than
        // 360 less the window for both). None: a range no num lies in, 0 <= num < 360 d lying
        // below 361 d (a zeroed range would hold num = 0, mirrored hue 0).
        test_.Open = soft_ > 0 ? 1 : 0;
        test_.Lo1 = reachCount_ > 0 ? reaches_[0].Lo : 361;
        test_.Width1 = reachCount_ > 0 ? reaches_[0].Hi - reaches_[0].Lo : 0;
        test_.Two = reachCount_ > 1;
        test_.Lo2 = test_.Two ? reaches_[1].Lo : 0;
        test_.Width2 = test_.Two ? reaches_[1].Hi - reaches_[1].Lo : 0;
        // The rows of the moved hues' table: for each range and d, the v from the first to the
        // last whose num = 60 v the range holds (see Place). The rounding of the first towards 0
        // matters only below 0, where 0 is taken anyway.
        // Only a band or a shift moves hues: without them no table is needed.
        for (int k = 0; k < reachCount_ && (soft_ > 0 || Shift); ++k)
            for (int d = 1; d < 256; ++d) {
                const int first = std::max(0, (reaches_[k].Lo * d + test_.Open + 59) / 60);
                const int last = std::min(6 * d, (reaches_[k].Hi * d - test_.Open) / 60);
                const size_t kk = static_cast<size_t>(k), dd = static_cast<size_t>(d);
                indexBase_[kk][dd] = static_cast<int64_t>(tableSize_) - first;
                rowStart_[kk][dd] = static_cast<uint32_t>(tableSize_);
                rowLength_[kk][dd] = static_cast<uint32_t>(std::max(0, last - first + 1));
                tableSize_ += rowLength_[kk][dd];
            }
        // The centre's ordinary hue, and the turn from it to the target in (-180, 180].
        const int centre = ((240 - window.Source) % 360 + 360) % 360;
        delta_ = window.Target - centre;
        if (delta_ > 180) delta_ -= 360;
        else if (delta_ <= -180) delta_ += 360;
    }

    const bool Shift;
    const bool VisibleOnly;

    enum TPlace { Caught, InBand };

    // The ranges of Place in a form for a quick test of many pixels, taken into locals by the
    // row loop (stores into the row would make the compiler read members again).
    struct TReachTest {
        int Lo1, Width1, Lo2, Width2, Open;
        bool Two; // a second range (a wrapped window or band across 0/360)
        // The range (0 or 1) whose window or band holds the pixel of mirrored hue num / d, or -1
        // (see Place): Lo d + Open <= num <= (Lo + Width) d - Open, as one unsigned comparison per
        // range.
        int Range(int num, int d) const
        {
            if (static_cast<unsigned>(num - Lo1 * d - Open) <= static_cast<unsigned>(Width1 * d - 2 * Open)) return 0;
            if (Two && static_cast<unsigned>(num - Lo2 * d - Open) <= static_cast<unsigned>(Width2 * d - 2 * Open))
                return 1;
            return -1;
        }
    };
    TReachTest ReachTest() const { return test_; }

    // Where the pixel of mirrored hue num / d lies: the window's bounds belong to it, the
    // band's outer ones do not. In integers, exactly as the plain check compares (see
    // TRecolourer::InWindow). For the band, copy is the copy of the hue that lies there.
    // Given the range k that TReachTest::Range finds, which is the first to hold the pixel.
    TPlace Place(int num, int d, int k, int& copy) const
    {
        const TReach& reach = reaches_[k];
        if (num >= reach.WindowLo * d && num <= reach.WindowHi * d) return Caught;
        copy = reach.Copy;
        return InBand;
    }

    // The moved hue of a pixel depends only on its mirrored hue num / d with num = 60 v (see
    // MovedHue), so a table of MovedHueTableSize entries can hold it for each (v, d) that a
    // range reaches: range k's pixel at MovedHueIndex(k, v, d).
    size_t MovedHueIndex(int k, int v, int d) const
    {
        return static_cast<size_t>(indexBase_[k][static_cast<size_t>(d)] + v);
    }
    size_t MovedHueTableSize() const { return tableSize_; }
    // The entries of range k and d: from MovedHueRowStart on, MovedHueRowLength of them.
    size_t MovedHueRowStart(int k, int d) const { return rowStart_[static_cast<size_t>(k)][static_cast<size_t>(d)]; }
    size_t MovedHueRowLength(int k, int d) const
    {
        return rowLength_[static_cast<size_t>(k)][static_cast<size_t>(d)];
    }

    // Sector of the new hue of a pixel that is caught or in the soft band (copy from Place),
    // in the order of steps and the precision that the options prescribe. The pixel's colour
    // is quick::ToRGB of it with the pixel's largest and smallest component.
    // (The conversions are TColorConvert's, inlined: RGBToHSV(r, g, b) for H, the mirrored hue
    // as RGBToHSV(b, g, r) gives it, and HSVToRGB.)
    // Both hues, and with them the result, depend only on v = num / 60 and d (num the mirrored
    // numerator): v tells which component is the largest (ranges [0, d), [d, 3d], (3d, 5d] and
    // (5d, 6d) for blue with red <= green, green, red, and blue with red > green; ties take the
    // first of green, red, blue) and the differences the conversion divides.
    double MovedHue(int b, int g, int r, int mx, int mn, bool caught, int copy) const
    {
        if (caught && !Shift) return quick::Sector(target_);
        const int d = mx - mn;
        double mirrored = 0;
        const double hueBefore = quick::Hue(r, g, b, mx, d, caught ? nullptr : &mirrored);
        double turn;
        if (caught) {
            turn = delta_;
        } else {
            const double w = WeightAt(mirrored, copy);
            if (Shift) {
                turn = w * delta_;
            } else {
                double arc = target_ - hueBefore;
                if (arc > 180) arc -= 360;
                else if (arc <= -180) arc += 360;
                turn = w * arc;
            }
        }
        double hue = hueBefore + turn;
        if (hue < 0) hue += 360;
        else if (hue >= 360) hue -= 360;
        return quick::Sector(hue);
    }

    // The weight w of a pixel in the soft band (copy from Place).
    double Weight(int b, int g, int r, int mx, int mn, int copy) const
    {
        double mirrored = 0;
        quick::Hue(r, g, b, mx, mx - mn, &mirrored);
        return WeightAt(mirrored, copy);
    }

private:
    // The weight of a band pixel whose copy of the mirrored hue lies e outside the window.
    double WeightAt(double mirrored, int copy) const
    {
        const double place = mirrored + copy;
        const double e = place < lo_ ? lo_ - place : place - hi_;
        return 1.0 - e / soft_;
    }

    // A copy's reach in m: the band's bounds Lo, Hi (the window's when there is no band) and
    // the window's.
    struct TReach {
        int Lo, Hi, WindowLo, WindowHi, Copy;
    };

    const int lo_;
    const int hi_;
    const int soft_;
    const double target_;
    TReach reaches_[2] = {};
    int reachCount_ = 0;
    TReachTest test_{};
    int delta_ = 0;
    std::array<std::array<int64_t, 256>, 2> indexBase_{};
    std::array<std::array<uint32_t, 256>, 2> rowStart_{};
    std::array<std::array<uint32_t, 256>, 2> rowLength_{};
    size_t tableSize_ = 0;
};

std::atomic<int64_t> lightnessColoursWorkedOut{0};

// The new colours of KeepLightness (see THueWindow), worked out in OKLCH.
class TLightnessChange {
public:
    explicit TLightnessChange(const THueWindow& window)
        : shift_(window.Shift), target_(OkHueOfFullColour(window.Target)), cosTarget_(std::cos(target_)),
          sinTarget_(std::sin(target_))
    {
        const int centre = ((240 - window.Source) % 360 + 360) % 360;
        turn_ = target_ - OkHueOfFullColour(centre);
        shiftArc_ = ShorterArc(turn_);
    }

    // The new colour, bytes blue | green << 8 | red << 16, of a caught pixel (weight 1) or of
    // one in the soft band with its weight.
    uint32_t NewColour(int r, int g, int b, bool caught, double weight) const
    {
        const TOkLab lab = OkLabOfBytes(static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b));
        const double chroma = std::sqrt(lab.A * lab.A + lab.B * lab.B);
        double cosHue = cosTarget_, sinHue = sinTarget_;
        if (!caught || shift_) {
            const double h = std::atan2(lab.B, lab.A);
            double hue;
            if (caught) hue = h + turn_;
            else hue = h + weight * (shift_ ? shiftArc_ : ShorterArc(target_ - h));
            cosHue = std::cos(hue);
            sinHue = std::sin(hue);
        }
        const auto at = [&](double c) { return OkLabToLinear({lab.L, c * cosHue, c * sinHue}); };
        TLinearRGB out = at(chroma);
        if (!InGamut(out)) {
            // Less chroma at the same lightness and hue, by halves: the last in the gamut.
            double low = 0, high = chroma;
            out = at(0);
            for (int i = 0; i < 30; ++i) {
                const double mid = (low + high) / 2;
                const TLinearRGB atMid = at(mid);
                if (InGamut(atMid)) {
                    low = mid;
                    out = atMid;
                } else {
                    high = mid;
                }
            }
        }
        return uint32_t{ByteOfLinear(out.B)} | uint32_t{ByteOfLinear(out.G)} << 8 | uint32_t{ByteOfLinear(out.R)} << 16;
    }

private:
    // The OKLCH hue of HSV(hue, 1, 1), its components the exact fractions HSVToRGB would round.
    static double OkHueOfFullColour(int hue)
    {
        hue %= 360;
        const int sector = hue / 60;
        const double rising = (hue - 60 * sector) / 60.0;      // f
        const double falling = (60 * (sector + 1) - hue) / 60.0; // 1 - f
        static constexpr int kRising = 0, kFalling = 1, kZero = 2, kOne = 3;
        // Where red, green and blue take their level in each sector, as HSVToRGB's table.
        static constexpr int levels[6][3] = {{kOne, kRising, kZero}, {kFalling, kOne, kZero}, {kZero, kOne, kRising},
                                             {kZero, kFalling, kOne}, {kRising, kZero, kOne}, {kOne, kZero, kFalling}};
        const double value[4] = {rising, falling, 0.0, 1.0};
        const int* const l = levels[sector];
        const TOkLab lab = LinearToOkLab({SrgbToLinear(value[l[0]]), SrgbToLinear(value[l[1]]), SrgbToLinear(value[l[2]])});
        return std::atan2(lab.B, lab.A);
    }

    // An angle difference brought into (-pi, pi].
    static double ShorterArc(double a)
    {
        constexpr double pi = std::numbers::pi;
        if (a > pi) return a - 2 * pi;
        if (a <= -pi) return a + 2 * pi;
        return a;
    }

    static bool InGamut(const TLinearRGB& c)
    {
        return c.R >= 0 && c.R <= 1 && c.G >= 0 && c.G <= 1 && c.B >= 0 && c.B <= 1;
    }

    const bool shift_;
    const double target_; // h_T
    const double cosTarget_;
    const double sinTarget_;
    double turn_ = 0;     // h_T - h_S
    double shiftArc_ = 0; // the same, brought into (-pi, pi]
};

// Decides the new colour of each pixel from its bytes and writes it into the row.
class TRecolourer {
public:
    TRecolourer(const TProtectedColors& protectedColors, const THueWindow& window)
        : protected_(protectedColors), lo_(window.Source - window.Tolerance), hi_(window.Source + window.Tolerance),
          target_(window.Target), results_(SharedResults(window.Target)), options_(window),
          targetOnly_(window.Soft == 0 && !window.Shift && !window.KeepLightness),
          lightness_(window.KeepLightness ? std::make_unique<TLightnessChange>(window) : nullptr)
    {
    }

    // Pixels given a new colour and pixels the list kept, by the rows run with counting.
    int64_t Altered = 0;
    int64_t Kept = 0;

    template <bool Counting>
    void Row(uint8_t* row, int32_t width)
    {
        // Sprites have few colours, so decisions are kept in a small cache by colour. Photos
        // have too many for it to hit; when a row mostly misses, the next rows go without it.
        if (skipCacheRows_ > 0) {
            --skipCacheRows_;
            Row<false, Counting>(row, width);
        } else if (Row<true, Counting>(row, width)) {
            skipCacheRows_ = 64;
        }
    }

    // The same for a window with options (THueWindow beyond the sliders). alpha: the row's
    // transparency bytes, read only for VisibleOnly (none: opaque).
    template <bool Counting>
    void RowWithOptions(uint8_t* row, const uint8_t* alpha, int32_t width)
    {
        if (options_.VisibleOnly && alpha) OptionRow<true, Counting>(row, alpha, width);
        else OptionRow<false, Counting>(row, nullptr, width);
    }

private:
    static constexpr uint32_t kWrite = 1u << 24;
    static constexpr uint32_t kAltered = 1u << 25;
    static constexpr uint32_t kKept = 1u << 26;

    // New bytes blue | green << 8 | red << 16 with bit 24 set, or 0 when the pixel stays.
    uint32_t Decide(int b, int g, int r)
    {
        const int mx = std::max({b, g, r});
        const int mn = std::min({b, g, r});
        if (!InWindow(b, g, r, mx, mn)) return 0;
        if (IsProtected(b, g, r)) return 0;
        return Recoloured(mx, mn);
    }

    // The same decision for counting: the result has bit 25 set when the pixel changes, and is
    // only kKept (bit 26, nothing written) when the list keeps a pixel that would change. A pixel
    // whose new colour is its own stays and counts in neither.
    uint32_t DecideCounting(int b, int g, int r)
    {
        const int mx = std::max({b, g, r});
        const int mn = std::min({b, g, r});
        if (!InWindow(b, g, r, mx, mn)) return 0;
        const uint32_t result = Recoloured(mx, mn);
        if (result == (kWrite | uint32_t(b) | uint32_t(g) << 8 | uint32_t(r) << 16)) return 0;
        return IsProtected(b, g, r) ? kKept : result | kAltered;
    }

    // Non-grey, and the mirrored hue inside the window. The mirrored hue is the hue of the pixel
    // with red and blue exchanged; it is num / d exactly, with num and d integers. Comparing num
    // with bound * d in integers decides every window test exactly as comparing the
    // floating-point hue with the integer bounds: a hue that is not a whole number lies at least
    // 1/255 from one, far beyond the rounding error of the conversion, and a whole-number hue is
    // computed exactly.
    bool InWindow(int b, int g, int r, int mx, int mn) const
    {
        const int d = mx - mn;
        if (d == 0) return false; // grey: no hue
        int num;
        // The order of the tests decides ties of the largest component, as the conversion does.
        if (mx == g) num = 60 * (r - b + 2 * d);
        else if (mx == r) num = 60 * (b - g + 4 * d);
        else if (r > g) num = 60 * (g - r + 6 * d);
        else num = 60 * (g - r);
        return num >= lo_ * d && num <= hi_ * d;
    }

    bool IsProtected(int b, int g, int r) const
    {
        return !protected_.Empty() && protected_.Contains(MakeColor(static_cast<uint8_t>(r), static_cast<uint8_t>(g),
                                                                    static_cast<uint8_t>(b)));
    }

    // The new colour depends only on the largest and smallest component (saturation and value)
    // once the target hue is fixed, so each pair is converted once per run.
    uint32_t Recoloured(int mx, int mn)
    {
        std::atomic<uint32_t>& slot = results_[static_cast<size_t>(mx) << 8 | static_cast<size_t>(mn)];
        uint32_t result = slot.load(std::memory_order_relaxed);
        if (result == 0) {
            const THSV hsv = TColorConvert::RGBToHSV(mx, mn, mn);
            const TRGBBytes out = TColorConvert::HSVToRGB(target_, hsv.S, hsv.V);
            result = kWrite | uint32_t{out.B} | uint32_t{out.G} << 8 | uint32_t{out.R} << 16;
            slot.store(result, std::memory_order_relaxed);
        }
        return result;
    }

    // The decision with options, counting or not, in the encoding of Decide and DecideCounting.
    // Most pixels lie far from the window and its band: they are told apart here, inline, and
    // the rest is decided out of line.
    template <bool Counting>
    [[gnu::always_inline]] uint32_t DecideWithOptions(int b, int g, int r, const TWindowOptions::TReachTest& test)
    {
        const int mx = std::max({b, g, r});
        const int mn = std::min({b, g, r});
        const int d = mx - mn;
        if (d == 0) return 0; // grey: no hue
        const int num = MirroredNumerator(b, g, r, mx, d);
        const int k = test.Range(num, d);
        if (k < 0) return 0;
        return DecideNearWindow<Counting>(b, g, r, mx, mn, num, k);
    }

    // A pixel in range k of the window or its band.
    template <bool Counting>
    [[gnu::noinline]] uint32_t DecideNearWindow(int b, int g, int r, int mx, int mn, int num, int k)
    {
        if constexpr (!Counting) {
            if (IsProtected(b, g, r)) return 0;
        }
        // Without a band or a shift every pixel here is caught and takes the target.
        const uint32_t result = targetOnly_ ? Recoloured(mx, mn)
                                : lightness_ ? KeptLightness(b, g, r, mx, mn, num, k)
                                             : kWrite | quick::ToRGB(MovedHue(b, g, r, mx, mn, num, k), mx, mn);
        if constexpr (Counting) {
            if (result == (kWrite | uint32_t(b) | uint32_t(g) << 8 | uint32_t(r) << 16)) return 0;
            return IsProtected(b, g, r) ? kKept : result | kAltered;
        }
        return result;
    }

    // TWindowOptions::MovedHue of a pixel in range k of the window with mirrored numerator
    // 60 v, worked out once for every pixel of the same v and d (in photos those come again and
    // again: a hue and a chroma at many values).
    double MovedHue(int b, int g, int r, int mx, int mn, int num, int k)
    {
        // The table is not cleared as a whole: a row is, when a pixel first needs it (a small
        // picture needs a few).
        const int d = mx - mn;
        if (!movedHues_) movedHues_.reset(new double[options_.MovedHueTableSize()]);
        const size_t row = static_cast<size_t>(k) * 256 + static_cast<size_t>(d);
        if (!(rowsCleared_[row >> 6] >> (row & 63) & 1u)) [[unlikely]] {
            double* const start = movedHues_.get() + options_.MovedHueRowStart(k, d);
            std::fill(start, start + options_.MovedHueRowLength(k, d), kUnknownHue);
            rowsCleared_[row >> 6] |= uint64_t{1} << (row & 63);
        }
        double& slot = movedHues_[options_.MovedHueIndex(k, num / 60, d)];
        if (std::isnan(slot)) [[unlikely]]
            slot = WorkOutMovedHue(b, g, r, mx, mn, num, k);
        return slot;
    }

    [[gnu::noinline]] double WorkOutMovedHue(int b, int g, int r, int mx, int mn, int num, int k) const
    {
        int copy = 0;
        const bool caught = options_.Place(num, mx - mn, k, copy) == TWindowOptions::Caught;
        movedHuesWorkedOut.fetch_add(1, std::memory_order_relaxed);
        return options_.MovedHue(b, g, r, mx, mn, caught, copy);
    }

    // The KeepLightness colour of a pixel in range k of the window, kWrite set, through a table
    // by colour: its new colour depends on all three components, and a photo holds too many
    // colours for the row's small cache. An open-addressed table that starts small (a sprite
    // has few colours) and doubles when half full, up to a bound; full there, it starts afresh.
    uint32_t KeptLightness(int b, int g, int r, int mx, int mn, int num, int k)
    {
        const uint32_t key = (uint32_t(b) | uint32_t(g) << 8 | uint32_t(r) << 16) | kKnown;
        if (lightCache_.empty()) lightCache_.resize(size_t{1} << kLightFirstBits);
        size_t i = LightSlot(key);
        for (; lightCache_[i].Key != 0; i = (i + 1) & (lightCache_.size() - 1))
            if (lightCache_[i].Key == key) return lightCache_[i].Result;
        const uint32_t result = kWrite | WorkOutLightness(b, g, r, mx, mn, num, k);
        if (++lightFilled_ * 2 > lightCache_.size()) {
            GrowLightCache();
            for (i = LightSlot(key); lightCache_[i].Key != 0; i = (i + 1) & (lightCache_.size() - 1)) {
            }
            ++lightFilled_;
        }
        lightCache_[i] = {key, result};
        return result;
    }

    size_t LightSlot(uint32_t key) const { return (key * 2654435761u) >> (32 - lightBits_); }

    [[gnu::noinline]] uint32_t WorkOutLightness(int b, int g, int r, int mx, int mn, int num, int k) const
    {
        int copy = 0;
        const bool caught = options_.Place(num, mx - mn, k, copy) == TWindowOptions::Caught;
        lightnessColoursWorkedOut.fetch_add(1, std::memory_order_relaxed);
        return lightness_->NewColour(r, g, b, caught, caught ? 1.0 : options_.Weight(b, g, r, mx, mn, copy));
    }

    // Twice the size with the same entries, or at the bound the same size empty.
    void GrowLightCache()
    {
        std::vector<TSlot> old(size_t{1} << (lightBits_ < kLightLastBits ? ++lightBits_ : lightBits_));
        old.swap(lightCache_);
        lightFilled_ = 0;
        if (lightCache_.size() == old.size()) return;
        for (const TSlot& s : old)
            if (s.Key != 0) {
                size_t i = LightSlot(s.Key);
                while (lightCache_[i].Key != 0) i = (i + 1) & (lightCache_.size() - 1);
                lightCache_[i] = s;
                ++lightFilled_;
            }
    }

    // The mirrored hue of a non-grey pixel is MirroredNumerator / d exactly (see InWindow).
    // Selected without branches: in a photo which component is the largest changes at random.
    static int MirroredNumerator(int b, int g, int r, int mx, int d)
    {
        const int blue = r > g ? g - r + 6 * d : g - r;
        const int red = b - g + 4 * d;
        const int green = r - b + 2 * d;
        int v = mx == r ? red : blue;
        v = mx == g ? green : v;
        return 60 * v;
    }

    // RowWithOptions, with or without the alpha row to read.
    template <bool WithAlpha, bool Counting>
    void OptionRow(uint8_t* row, const uint8_t* alpha, int32_t width)
    {
        if (skipCacheRows_ > 0) {
            --skipCacheRows_;
            OptionRow<false, WithAlpha, Counting>(row, alpha, width);
        } else if (OptionRow<true, WithAlpha, Counting>(row, alpha, width)) {
            skipCacheRows_ = 64;
        }
    }

    // Returns whether the cache mostly missed.
    template <bool UseCache, bool WithAlpha, bool Counting>
    bool OptionRow(uint8_t* row, const uint8_t* alpha, int32_t width)
    {
        const TWindowOptions::TReachTest test = options_.ReachTest();
        uint32_t lastKey = 0xFFFFFFFFu;
        uint32_t lastResult = 0;
        size_t lookups = 0;
        size_t misses = 0;
        for (int32_t x = 0; x < width; ++x) {
            if constexpr (WithAlpha) {
                if (alpha[x] == 255) continue; // alpha 0: neither changed nor counted
            }
            uint8_t* pixel = row + static_cast<size_t>(x) * 3;
            const uint32_t key = uint32_t{pixel[0]} | uint32_t{pixel[1]} << 8 | uint32_t{pixel[2]} << 16;
            if (key != lastKey) {
                lastKey = key;
                if constexpr (UseCache) {
                    ++lookups;
                    TSlot& slot = cache_[(key * 2654435761u) >> (32 - kCacheBits)];
                    if (slot.Key != (key | kKnown)) {
                        ++misses;
                        slot.Key = key | kKnown;
                        slot.Result = DecideWithOptions<Counting>(pixel[0], pixel[1], pixel[2], test);
                    }
                    lastResult = slot.Result;
                } else {
                    lastResult = DecideWithOptions<Counting>(pixel[0], pixel[1], pixel[2], test);
                }
            }
            if constexpr (Counting) {
                Altered += lastResult >> 25 & 1;
                Kept += lastResult >> 26 & 1;
                if (!(lastResult & kWrite)) continue;
            } else if (lastResult == 0) {
                continue;
            }
            pixel[0] = static_cast<uint8_t>(lastResult);
            pixel[1] = static_cast<uint8_t>(lastResult >> 8);
            pixel[2] = static_cast<uint8_t>(lastResult >> 16);
        }
        return misses * 2 > lookups;
    }

    // Returns whether the cache mostly missed.
    template <bool UseCache, bool Counting>
    bool Row(uint8_t* row, int32_t width)
    {
        // Runs of one colour are common, so the previous pixel's decision is reused first.
        uint32_t lastKey = 0xFFFFFFFFu;
        uint32_t lastResult = 0;
        size_t lookups = 0;
        size_t misses = 0;
        const size_t end = static_cast<size_t>(width) * 3;
        for (size_t i = 0; i < end; i += 3) {
            const uint32_t key = uint32_t{row[i]} | uint32_t{row[i + 1]} << 8 | uint32_t{row[i + 2]} << 16;
            if (key != lastKey) {
                lastKey = key;
                if constexpr (UseCache) {
                    ++lookups;
                    TSlot& slot = cache_[(key * 2654435761u) >> (32 - kCacheBits)];
                    if (slot.Key != (key | kKnown)) {
                        ++misses;
                        slot.Key = key | kKnown;
                        slot.Result = Decision<Counting>(row[i], row[i + 1], row[i + 2]);
                    }
                    lastResult = slot.Result;
                } else {
                    lastResult = Decision<Counting>(row[i], row[i + 1], row[i + 2]);
                }
            }
            if constexpr (Counting) {
                Altered += lastResult >> 25 & 1;
                Kept += lastResult >> 26 & 1;
                if (!(lastResult & kWrite)) continue;
            } else if (lastResult == 0) {
                continue;
            }
            row[i] = static_cast<uint8_t>(lastResult);
            row[i + 1] = static_cast<uint8_t>(lastResult >> 8);
            row[i + 2] = static_cast<uint8_t>(lastResult >> 16);
        }
        return misses * 2 > lookups;
    }

    template <bool Counting>
    uint32_t Decision(int b, int g, int r)
    {
        if constexpr (Counting) return DecideCounting(b, g, r);
        else return Decide(b, g, r);
    }

    const TProtectedColors& protected_;
    const int lo_;
    const int hi_;
    const double target_;
    std::atomic<uint32_t>* results_; // by largest << 8 | smallest component (SharedResults)
    static constexpr int kCacheBits = 12;
    static constexpr uint32_t kKnown = 1u << 24; // in a slot's key
    struct TSlot {
        uint32_t Key = 0; // colour | kKnown once filled
        uint32_t Result = 0;
    };
    std::vector<TSlot> cache_ = std::vector<TSlot>(size_t{1} << kCacheBits);
    int skipCacheRows_ = 0;
    const TWindowOptions options_;
    const bool targetOnly_;
    static constexpr double kUnknownHue = std::numeric_limits<double>::quiet_NaN();
    std::unique_ptr<double[]> movedHues_; // by TWindowOptions::MovedHueIndex, filled as needed
    std::array<uint64_t, 8> rowsCleared_{}; // bit k * 256 + d: that row's entries are set
    std::unique_ptr<const TLightnessChange> lightness_; // with KeepLightness
    static constexpr int kLightFirstBits = 10;
    static constexpr int kLightLastBits = 19; // 4 MiB
    int lightBits_ = kLightFirstBits;
    size_t lightFilled_ = 0;
    std::vector<TSlot> lightCache_; // by colour, allocated at the first pixel that needs it
};

void CheckWindow(const THueWindow& window)
{
    if (window.Source < 0 || window.Source > 360 || window.Tolerance < 0 || window.Tolerance > 36 ||
        window.Target < 0 || window.Target > 360 || window.Soft < 0 || window.Soft > 90)
        throw std::invalid_argument("hue window out of range");
}

// Rows of at least this many pixels in all are worth a second thread.
constexpr int64_t BandMinimumPixels = int64_t{1} << 18;

// Runs band(recolourer, first row, end row) over contiguous bands of rows on up to threads
// threads, each band with a recolourer of its own (their caches are not shared).
template <class Band>
void ForRowBands(int32_t height, int32_t width, unsigned threads, const TProtectedColors& protectedColors,
                 const THueWindow& window, THueCounts* counts, Band band)
{
    const size_t rows = static_cast<size_t>(height);
    const int64_t pixels = static_cast<int64_t>(height) * width;
    const size_t bands = std::clamp<size_t>(std::min<int64_t>(threads, pixels / BandMinimumPixels), 1, rows);
    std::vector<TRecolourer> recolourers;
    recolourers.reserve(bands);
    for (size_t k = 0; k < bands; ++k) recolourers.emplace_back(protectedColors, window);
    const auto run = [&](size_t k) {
        band(recolourers[k], static_cast<int32_t>(rows * k / bands), static_cast<int32_t>(rows * (k + 1) / bands));
    };
    RunTasks(bands, threads, run);
    if (counts) {
        *counts = {};
        for (const TRecolourer& r : recolourers) {
            counts->Altered += r.Altered;
            counts->Kept += r.Kept;
        }
    }
}

// Kept out of line, so that the counting rows do not change how the compiler lays out the
// plain ones.
[[gnu::noinline]] void RecolourCounting(const TBitmap::TRows& rows, int32_t height, int32_t width, unsigned threads,
                                        const TProtectedColors& protectedColors, const THueWindow& window,
                                        THueCounts& counts)
{
    ForRowBands(height, width, threads, protectedColors, window, &counts, [&](TRecolourer& r, int32_t from, int32_t to) {
        for (int32_t y = from; y < to; ++y) r.Row<true>(rows.At(y), width);
    });
}

// A window with options: the rows with their alpha rows (when the window reads them), counted
// or not. Out of line for the same reason.
[[gnu::noinline]] void RecolourWithOptions(const TBitmap::TRows& rows, int32_t height, int32_t width,
                                           unsigned threads, const TProtectedColors& protectedColors,
                                           const THueWindow& window, THueCounts* counts, const TBitmap* alpha)
{
    const bool readAlpha = window.VisibleOnly && alpha && !alpha->Empty();
    ForRowBands(height, width, threads, protectedColors, window, counts, [&](TRecolourer& r, int32_t from, int32_t to) {
        for (int32_t y = from; y < to; ++y) {
            const uint8_t* alphaRow = readAlpha ? alpha->ConstScanLine(y) : nullptr;
            if (counts) r.RowWithOptions<true>(rows.At(y), alphaRow, width);
            else r.RowWithOptions<false>(rows.At(y), alphaRow, width);
        }
    });
}

} // namespace

void ReplaceHue(const TBitmap& before, TBitmap& after, const TProtectedColors& protectedColors,
                const THueWindow& window, THueCounts* counts, unsigned threads, const TBitmap* alpha)
{
    CheckWindow(window);
    if (&before == &after) throw std::invalid_argument("the before and after pictures must differ");
    if (alpha == &after) throw std::invalid_argument("the alpha and after pictures must differ");
    RequireFittingAlpha(before, alpha);
    after.Assign(&before);
    ReplaceHueInPlace(after, protectedColors, window, counts, threads, alpha);
}

void ReplaceHueInPlace(TBitmap& picture, const TProtectedColors& protectedColors, const THueWindow& window,
                       THueCounts* counts, unsigned threads, const TBitmap* alpha)
{
    CheckWindow(window);
    if (alpha == &picture) throw std::invalid_argument("the alpha and the picture must differ");
    RequireFittingAlpha(picture, alpha);
    TBitmap& after = picture;
    after.SetPixelFormat(TPixelFormat::pf24bit);
    const int32_t width = after.Width();
    const int32_t height = after.Height();
    if (width <= 0 || height <= 0) return;

    // A protected pixel ends with its before colour, which is exactly its colour after the
    // conversion to 24 bits; so leaving it alone equals restoring it, protection matters only
    // for pixels that would change, and one pass over the after picture decides everything.
    // Rows are taken here, on this thread: the first one gives after its own pixels.
    const TBitmap::TRows rows = after.Rows();
    if (!window.Plain()) {
        RecolourWithOptions(rows, height, width, threads, protectedColors, window, counts, alpha);
        return;
    }
    if (counts) {
        RecolourCounting(rows, height, width, threads, protectedColors, window, *counts);
        return;
    }
    ForRowBands(height, width, threads, protectedColors, window, nullptr, [&](TRecolourer& r, int32_t from, int32_t to) {
        for (int32_t y = from; y < to; ++y) r.Row<false>(rows.At(y), width);
    });
}

void ReplaceHue(const TBitmap& before, TBitmap& after, const TStringList& protectedList, const THueWindow& window)
{
    ReplaceHue(before, after, TProtectedColors(protectedList), window);
}

struct THueRowReplacer::TImpl {
    TRecolourer Recolourer;
    bool Plain;
};

THueRowReplacer::THueRowReplacer(const TProtectedColors& protectedColors, const THueWindow& window)
{
    CheckWindow(window);
    impl_ = std::make_unique<TImpl>(TImpl{TRecolourer(protectedColors, window), window.Plain()});
}

THueRowReplacer::~THueRowReplacer() = default;
THueRowReplacer::THueRowReplacer(THueRowReplacer&&) noexcept = default;

void THueRowReplacer::Row(uint8_t* row, int32_t width, const uint8_t* alpha)
{
    if (width <= 0) return;
    if (impl_->Plain) impl_->Recolourer.Row<false>(row, width);
    else impl_->Recolourer.RowWithOptions<false>(row, alpha, width);
}

int64_t MovedHuesWorkedOutForTesting() { return movedHuesWorkedOut.load(); }

int64_t LightnessColoursWorkedOutForTesting() { return lightnessColoursWorkedOut.load(); }

// ---------------------------------------------------------------- PickedSourcePosition

std::optional<int> PickedSourcePosition(TColor color)
{
    const THSV hsv = TColorConvert::RGBToHSV(RedOf(color), GreenOf(color), BlueOf(color));
    if (hsv.S == 0.0) return std::nullopt;
    // 235, not 240: the picked hue lands 4 to 5 above the window's centre, and hues from 236 to
    // 240 land near 359 while their mirrored hue is near 0. The window has always picked so.
    int p = 235 - static_cast<int>(std::trunc(hsv.H));
    if (p > 360) p -= 360;
    if (p < 0) p += 360;
    return p;
}

} // namespace tintabrel
