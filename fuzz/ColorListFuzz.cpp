// The protected list: any file splits into lines; the swatch grid on the shipped moto.bmp is
// either drawn or stops with the conversion error; the engine accepts any list.
#include "fuzz/FuzzCommon.h"
#include "base/Exceptions.h"
#include "recolour/ColorList.h"
#include "recolour/HueReplace.h"
#include "base/StringList.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tintabrel;
    fuzz::LimitPictures();
    TStringList list;
    list.SetText(std::string_view(reinterpret_cast<const char*>(data), size));
    TBitmap grid;
    try {
        ShowList(list, TINTABREL_SOURCE_DIR "/data/moto.bmp", grid);
    } catch (const EConvertError&) {
    }
    TBitmap before;
    before.SetPixelFormat(TPixelFormat::pf24bit);
    before.SetSize(16, 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) before.SetPixel(x, y, MakeColor(static_cast<uint8_t>(x * 16), static_cast<uint8_t>(y * 16), 77));
    TBitmap after;
    ReplaceHue(before, after, list, THueWindow{200, 36, 90});
    return 0;
}
