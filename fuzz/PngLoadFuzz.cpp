// PNG reading: any bytes load or fail with one of the reader's messages, with and without an
// alpha target and on the high-colour path.
#include "fuzz/FuzzCommon.h"
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "png/VRQPNGReadStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tintabrel;
    fuzz::LimitPictures();
    for (int variant = 0; variant < 2; ++variant) {
        TMemoryStream in(data, size);
        TBitmap bmp, alpha;
        TVRQPNGTime time;
        TVRQPNGChromaticity chroma;
        TVRQPNGGifControl gif;
        TVRQPNGReadStream reader;
        if (variant == 1) {
            reader.AlphaTarget = &alpha;
            reader.HighColorOutput = true;
            reader.TimeStore = &time;
            reader.ChromaStore = &chroma;
            reader.GifStore = &gif;
            reader.RowKey = "key";
            reader.OnDecodeRow = [](TVRQPNGReadStream&, uint8_t* row, int32_t length, int32_t, const std::string&) {
                for (int32_t i = 0; i < length; ++i) row[i] ^= 0x5A;
            };
        }
        try {
            reader.ReadFromStream(&bmp, in, 0);
        } catch (const EVRQPNG&) {
        } catch (const EReadError&) {
        }
    }
    return 0;
}
