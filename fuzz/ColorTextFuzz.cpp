// Colour strings: any text either converts or fails with EConvertError; a converted value's
// colour string converts back to the same value.
#include "base/Exceptions.h"
#include "base/Colors.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tintabrel;
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const TColor c = TextToColor(text);
        if (TextToColor(ColorToText(c)) != c) std::abort();
    } catch (const EConvertError&) {
    }
    try {
        (void)ParseInteger(text);
    } catch (const EConvertError&) {
    }
    return 0;
}
