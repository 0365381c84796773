#include "recolour/SwapTexture.h"

#include "image/Graphics.h"
#include "image/PixelFormats.h"
#include "recolour/ColourMap.h"
#include "recolour/ColourSet.h"
#include "recolour/PaletteRecolour.h"

#include <algorithm>
#include <numeric>

namespace tintabrel {

using namespace colourset;

namespace {

// A picture's pixels as keys of colour and transparency, row by row: the colour from a 24-bit
// copy, the transparency from its alpha plane when saving would write it (0: opaque).
class TPairReader {
public:
    explicit TPairReader(const TPictureData& picture)
        : alpha_(AlphaPlaneFits(picture.Image, picture.Alpha) ? &picture.Alpha : nullptr)
    {
        full_.Assign(picture.Image);
        full_.SetPixelFormat(TPixelFormat::pf24bit);
    }
    void Row(int32_t y)
    {
        row_ = full_.ConstScanLine(y);
        transparency_ = alpha_ ? alpha_->ConstScanLine(y) : nullptr;
    }
    uint32_t At(int32_t x) const
    {
        return PairKey(KeyOfBytes(row_ + 3 * static_cast<size_t>(x)), transparency_ ? transparency_[x] : 0u);
    }

private:
    TBitmap full_;
    const TBitmap* alpha_;
    const uint8_t* row_ = nullptr;
    const uint8_t* transparency_ = nullptr;
};

std::string ColourText(uint32_t pair)
{
    return HexOfColour(static_cast<TColor>(pair & 0xFFFFFFu)) + " (alpha " + std::to_string(255 - (pair >> 24)) + ")";
}

std::string PixelText(int64_t pixel, int32_t width)
{
    return "(" + std::to_string(pixel % width) + ", " + std::to_string(pixel / width) + ")";
}

} // namespace

TSwapTexture BuildSwapTexture(const TPictureData& picture, const std::vector<const TPictureData*>& results,
                              const std::vector<std::string>& names)
{
    const int32_t width = picture.Image.Width(), height = picture.Image.Height();
    const auto nameOf = [&](size_t k) {
        return k < names.size() ? names[k] : "change " + std::to_string(k + 1);
    };
    for (size_t k = 0; k < results.size(); ++k)
        if (results[k]->Image.Width() != width || results[k]->Image.Height() != height)
            throw EColourMap("the result of " + nameOf(k) + " is " + std::to_string(results[k]->Image.Width()) + " x " +
                             std::to_string(results[k]->Image.Height()) + " pixels, the picture " +
                             std::to_string(width) + " x " + std::to_string(height));

    TSwapTexture texture;
    texture.Width = std::max(width, 0);
    texture.Height = std::max(height, 0);
    const size_t pixels = static_cast<size_t>(texture.Width) * static_cast<size_t>(texture.Height);
    texture.Index.resize(pixels);

    // The columns, first met first; in a palette picture, each with the lowest index showing it.
    TOrderedSet colours(MaxSwapColumns);
    const bool byIndex = picture.PaletteBits != 0 && IsPalettePicture(picture.Image);
    const int bits = FactsOf(picture.Image.PixelFormat()).Bits;
    std::vector<uint8_t> lowestIndex;
    {
        TPairReader reader(picture);
        size_t p = 0;
        for (int32_t y = 0; y < height; ++y) {
            reader.Row(y);
            const uint8_t* indices = byIndex ? picture.Image.ConstScanLine(y) : nullptr;
            for (int32_t x = 0; x < width; ++x, ++p) {
                const int32_t column = colours.Add(reader.At(x));
                if (column < 0)
                    throw EColourMap("the picture has more than " + std::to_string(MaxSwapColumns) +
                                     " colours: an index picture of 16-bit grey cannot address them all");
                texture.Index[p] = static_cast<uint16_t>(column);
                if (!byIndex) continue;
                const uint8_t index = GetPackedIndex(indices, bits, x);
                if (static_cast<size_t>(column) == lowestIndex.size()) lowestIndex.push_back(index);
                else lowestIndex[static_cast<size_t>(column)] = std::min(lowestIndex[static_cast<size_t>(column)], index);
            }
        }
    }
    const size_t columns = colours.Order().size();
    std::vector<uint32_t> row0 = colours.Order();
    if (byIndex) {
        std::vector<uint16_t> order(columns);
        std::iota(order.begin(), order.end(), uint16_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](uint16_t a, uint16_t b) { return lowestIndex[a] < lowestIndex[b]; });
        std::vector<uint16_t> placeOf(columns);
        for (size_t c = 0; c < columns; ++c) {
            placeOf[order[c]] = static_cast<uint16_t>(c);
            row0[c] = colours.Order()[order[c]];
        }
        for (uint16_t& column : texture.Index) column = placeOf[column];
    }

    // Every further row from its result; a second pixel of a column must agree with the first.
    const size_t rows = results.size() + 1;
    if (columns > 0 && static_cast<int64_t>(columns) * static_cast<int64_t>(rows) > MaxPicturePixels())
        throw EColourMap("the swap texture would be " + std::to_string(columns) + " x " + std::to_string(rows) +
                         " pixels, more than the " + std::to_string(MaxPicturePixels()) + " a picture may have");
    std::vector<std::vector<uint32_t>> lut(rows);
    lut[0] = row0;
    for (size_t k = 0; k < results.size(); ++k) {
        std::vector<uint32_t>& values = lut[k + 1];
        values.assign(columns, 0);
        std::vector<int64_t> first(columns, -1);
        TPairReader reader(*results[k]);
        size_t p = 0;
        for (int32_t y = 0; y < height; ++y) {
            reader.Row(y);
            for (int32_t x = 0; x < width; ++x, ++p) {
                const uint16_t column = texture.Index[p];
                const uint32_t value = reader.At(x);
                if (first[column] < 0) {
                    first[column] = static_cast<int64_t>(p);
                    values[column] = value;
                } else if (values[column] != value) {
                    throw EColourMap(nameOf(k) + " does not depend on the colour alone: pixels " +
                                     PixelText(first[column], width) + " and " +
                                     PixelText(static_cast<int64_t>(p), width) + " are both " +
                                     ColourText(row0[column]) + " but become " + ColourText(values[column]) +
                                     " and " + ColourText(value) + "; a swap texture holds one colour for each");
                }
            }
        }
    }

    TBitmap& image = texture.Lut.Image;
    TBitmap& alpha = texture.Lut.Alpha;
    image.SetPixelFormat(TPixelFormat::pf24bit);
    alpha.SetPixelFormat(TPixelFormat::pf8bit);
    if (columns == 0) return texture;
    image.SetSize(static_cast<int32_t>(columns), static_cast<int32_t>(rows));
    alpha.SetSize(static_cast<int32_t>(columns), static_cast<int32_t>(rows));
    for (size_t r = 0; r < rows; ++r) {
        uint8_t* out = image.ScanLine(static_cast<int32_t>(r));
        uint8_t* transparency = alpha.ScanLine(static_cast<int32_t>(r));
        for (size_t c = 0; c < columns; ++c) {
            const uint32_t value = lut[r][c];
            out[3 * c] = static_cast<uint8_t>(value >> 16);
            out[3 * c + 1] = static_cast<uint8_t>(value >> 8);
            out[3 * c + 2] = static_cast<uint8_t>(value);
            transparency[c] = static_cast<uint8_t>(value >> 24);
        }
    }
    return texture;
}

} // namespace tintabrel
