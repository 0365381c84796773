// A PNG that loads can be saved and loaded again, with the same colours (and the same alpha
// where the saved file carries alpha).
#include "fuzz/FuzzCommon.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "png/VRQPNG.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tintabrel;
    fuzz::LimitPictures();
    TVRQPNG first;
    try {
        TMemoryStream in(data, size);
        first.LoadFromStream(in);
    } catch (const EInvalidGraphic&) {
        return 0;
    } catch (const EReadError&) {
        return 0;
    }
    if (first.Empty()) return 0;
    TMemoryStream saved;
    first.FilterMode = static_cast<uint8_t>(size % 6);
    first.Interlace = (size & 8) != 0;
    first.SaveToStream(saved);
    saved.SetPosition(0);
    TVRQPNG second;
    second.LoadFromStream(saved); // must not fail
    const TBitmap& a = first.ActiveBitmap();
    const TBitmap& b = second.ActiveBitmap();
    if (a.Width() != b.Width() || a.Height() != b.Height()) std::abort();
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x) {
            if (a.Pixel(x, y) != b.Pixel(x, y)) std::abort();
            if (first.UseAlpha && second.UseAlpha &&
                first.ActiveAlphaBitmap().Pixel(x, y) != second.ActiveAlphaBitmap().Pixel(x, y))
                std::abort();
        }
    return 0;
}
