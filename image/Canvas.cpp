#include "image/Canvas.h"

#include "image/PixelCodec.h"

#include <algorithm>
#include <vector>

namespace tintabrel {

void TCanvas::FillRect(const TRect& rect)
{
    const int32_t x0 = std::max(rect.Left, 0), x1 = std::min(rect.Right, bitmap_.Width());
    const int32_t y0 = std::max(rect.Top, 0), y1 = std::min(rect.Bottom, bitmap_.Height());
    if (x0 >= x1 || y0 >= y1 || Brush.Style == TBrushStyle::bsClear) return;
    bitmap_.Changing();
    TRowEncoder encoder(bitmap_.MutableImage());
    std::vector<TColor> line(static_cast<size_t>(x1 - x0), ResolveColor(Brush.Color) & 0xFFFFFF);
    for (int32_t y = y0; y < y1; ++y) encoder.Encode(y, x0, x1 - x0, line.data());
}

void TCanvas::Rectangle(int32_t left, int32_t top, int32_t right, int32_t bottom)
{
    bitmap_.Changing();
    if (right <= left || bottom <= top || bitmap_.Empty()) {
        bitmap_.Changed();
        return;
    }
    FillRect({left + 1, top + 1, right - 1, bottom - 1});
    const TColor pen = ResolveColor(Pen.Color) & 0xFFFFFF;
    TRowEncoder encoder(bitmap_.MutableImage());
    auto put = [&](int32_t x, int32_t y) {
        if (x >= 0 && y >= 0 && x < bitmap_.Width() && y < bitmap_.Height()) encoder.SetPixel(x, y, pen);
    };
    for (int32_t x = left; x < right; ++x) {
        put(x, top);
        put(x, bottom - 1);
    }
    for (int32_t y = top; y < bottom; ++y) {
        put(left, y);
        put(right - 1, y);
    }
    bitmap_.Changed();
}

void TCanvas::SetPixels(int32_t x, int32_t y, TColor color)
{
    bitmap_.SetPixel(x, y, color);
    bitmap_.Changed();
}

void TCanvas::StretchDraw(const TRect& rect, const TGraphic& graphic)
{
    graphic.Draw(*this, rect);
}

void TCanvas::StretchDraw(const TRect& rect, const TBitmap& source)
{
    StretchDrawBitmap(bitmap_, rect, source);
    bitmap_.Changed();
}

void TCanvas::Draw(int32_t x, int32_t y, const TGraphic& graphic)
{
    graphic.Draw(*this, {x, y, x + graphic.Width(), y + graphic.Height()});
}

void StretchDrawBitmap(TBitmap& target, const TRect& rect, const TBitmap& source)
{
    const int32_t sw = source.Width(), sh = source.Height();
    const int32_t rw = rect.Width(), rh = rect.Height();
    if (sw <= 0 || sh <= 0 || rw <= 0 || rh <= 0 || !source.Image()->HasForm() || target.Empty()) return;
    const int32_t x0 = std::max(rect.Left, 0), x1 = std::min(rect.Right, target.Width());
    const int32_t y0 = std::max(rect.Top, 0), y1 = std::min(rect.Bottom, target.Height());
    if (x0 >= x1 || y0 >= y1) return;

    const bool transparent = source.Transparent();
    const TColor skip = transparent ? (source.TransparentColorInUse() & 0xFFFFFF) : -1;
    // Keep the source alive even when target and source share one store.
    std::shared_ptr<TBitmapImage> keep = source.Image();
    TRowDecoder decoder(*keep);
    std::vector<TColor> srcLine(static_cast<size_t>(sw));
    std::vector<int32_t> columns(static_cast<size_t>(x1 - x0));
    for (int32_t x = x0; x < x1; ++x)
        columns[static_cast<size_t>(x - x0)] = static_cast<int32_t>(static_cast<int64_t>(x - rect.Left) * sw / rw);

    target.Changing();
    TRowEncoder encoder(target.MutableImage());
    std::vector<TColor> out(static_cast<size_t>(x1 - x0));
    int32_t lastSy = -1;
    for (int32_t y = y0; y < y1; ++y) {
        const int32_t sy = static_cast<int32_t>(static_cast<int64_t>(y - rect.Top) * sh / rh);
        if (sy != lastSy) {
            decoder.Decode(sy, 0, sw, srcLine.data());
            lastSy = sy;
        }
        if (!transparent) {
            for (size_t i = 0; i < columns.size(); ++i) out[i] = srcLine[static_cast<size_t>(columns[i])];
            encoder.Encode(y, x0, x1 - x0, out.data());
        } else {
            for (size_t i = 0; i < columns.size(); ++i) {
                const TColor c = srcLine[static_cast<size_t>(columns[i])];
                if (c != skip) encoder.SetPixel(x0 + static_cast<int32_t>(i), y, c);
            }
        }
    }
}

} // namespace tintabrel
