// The drawing surface bound to a bitmap, and scaled drawing of pictures.
#pragma once

#include "image/Graphics.h"

namespace tintabrel {

enum class TBrushStyle { bsSolid, bsClear };

struct TPen {
    TColor Color = clBlack;
    int Width = 1;
};

struct TBrush {
    TColor Color = clWhite;
    TBrushStyle Style = TBrushStyle::bsSolid;
};

class TCanvas {
public:
    explicit TCanvas(TBitmap& bitmap) : bitmap_(bitmap) {}
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    TPen Pen;
    TBrush Brush;

    TBitmap& Bitmap() { return bitmap_; }

    // Fills left..right-1 x top..bottom-1 with the brush and frames it with a one-pixel pen line.
    void Rectangle(int32_t left, int32_t top, int32_t right, int32_t bottom);
    void FillRect(const TRect& rect);
    TColor Pixels(int32_t x, int32_t y) const { return bitmap_.Pixel(x, y); }
    void SetPixels(int32_t x, int32_t y, TColor color);
    // Draws the graphic scaled into the rectangle (nearest neighbour; transparent pixels left out).
    void StretchDraw(const TRect& rect, const TGraphic& graphic);
    void StretchDraw(const TRect& rect, const TBitmap& source);
    void Draw(int32_t x, int32_t y, const TGraphic& graphic);

private:
    TBitmap& bitmap_;
};

// Draws source scaled into rect of target: every target pixel takes the colour of one source
// pixel (repeated or dropped, never blended); with Transparent set on the source, pixels of
// its transparent colour in use are left out.
void StretchDrawBitmap(TBitmap& target, const TRect& rect, const TBitmap& source);

} // namespace tintabrel
