// BMP reading: any bytes load or fail with one of the reader's errors; a loaded picture can be
// converted, saved and read back with the same colours.
#include "fuzz/FuzzCommon.h"
#include "base/Exceptions.h"
#include "base/Streams.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tintabrel;
    fuzz::LimitPictures();
    TMemoryStream in(data, size);
    TBitmap bmp;
    try {
        bmp.LoadFromStream(in);
    } catch (const Exception&) {
        return 0;
    }
    TMemoryStream saved;
    bmp.SaveToStream(saved);
    TBitmap again;
    saved.SetPosition(0);
    again.LoadFromStream(saved);
    if (again.Width() != bmp.Width() || again.Height() != bmp.Height()) std::abort();
    bmp.SetPixelFormat(TPixelFormat::pf24bit);
    again.SetPixelFormat(TPixelFormat::pf24bit);
    const size_t rowBytes = static_cast<size_t>(bmp.Width()) * 3;
    for (int32_t y = 0; y < bmp.Height(); ++y)
        if (std::memcmp(bmp.ConstScanLine(y), again.ConstScanLine(y), rowBytes) != 0) std::abort();
    return 0;
}
