// The rows of a PNG image as the reader and the writer both see them: the five row filters,
// the Paeth predictor, filtering and unfiltering of one row, and the Adam7 passes with their sizes.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace tintabrel {

// The row filters, one enum for every part that names them: the first five are the filter-type
// byte that starts every row of the image data; the rest choose one of those for each row (the
// codec's adaptive rule, the smallest sum of absolute differences, the least order-0 entropy).
enum class TPngFilter : uint8_t { None = 0, Sub = 1, Up = 2, Average = 3, Paeth = 4, Adaptive, MinimumSum, Entropy };

// The picture writer's FilterMode numbering (0 adaptive, 1 none, 2..5 sub..paeth) both ways; a
// rule the writer has not (minimum sum, entropy) is written by its adaptive rule, a number it does
// not know is none.
int32_t FilterModeOf(TPngFilter filter);
TPngFilter FilterOfMode(int32_t filterMode);

// The neighbour that predicts a byte: left a, up b or up-left c, whichever is closest to
// a + b - c (on a tie a, then b).
inline int PaethPredictor(int a, int b, int c)
{
    // The distances to a, b and c without forming a + b - c.
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// Undoes the filter given by filter on the n bytes of row (pixels of bpp bytes, at least 1),
// in place, against up, the unfiltered row above; up is null for the first row of a pass,
// which has zeros above it. False for a filter byte above 4.
bool UnfilterRow(uint8_t filter, uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp);

// Writes the n bytes of row filtered with filter into out, against up (the row above, zeros
// for the first row of a pass). The filter-type byte is the caller's.
void FilterRow(TPngFilter filter, const uint8_t* row, const uint8_t* up, int32_t n, int32_t bpp, uint8_t* out);

// Where the pixels of an interlace pass lie in the picture: first column and row, then steps.
struct TPassGeometry {
    int32_t X0, Y0, DX, DY;
};

// The seven Adam7 passes in order, and the one pass of a picture without interlace.
inline constexpr TPassGeometry Adam7Passes[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                                 {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
inline constexpr TPassGeometry PlainPass = {0, 0, 1, 1};

// Pixels of a pass along one side of size pixels: from start, every step.
constexpr int32_t PassCells(int32_t size, int32_t start, int32_t step)
{
    return size > start ? (size - start + step - 1) / step : 0;
}

// The columns and rows of a pass in a picture of width x height; a pass without either is
// not written at all.
struct TPassSize {
    int32_t Width, Height;
    constexpr bool Empty() const { return Width == 0 || Height == 0; }
};
constexpr TPassSize PassSize(const TPassGeometry& pass, int32_t width, int32_t height)
{
    return {PassCells(width, pass.X0, pass.DX), PassCells(height, pass.Y0, pass.DY)};
}

} // namespace tintabrel
