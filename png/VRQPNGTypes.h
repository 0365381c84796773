// What the PNG reader and writer share: the codec's exception, the caller's records and the
// row events.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Colors.h"
#include "base/Exceptions.h"
#include "image/PictureInfo.h"

namespace tintabrel {

class EVRQPNG : public EInvalidGraphic {
public:
    using EInvalidGraphic::EInvalidGraphic;
};

// Last-modification time, UTC: year in host byte order, then month, day, hour, minute, second.
#pragma pack(push, 1)
struct TVRQPNGTime {
    uint16_t Year = 0;
    uint8_t Month = 0;
    uint8_t Day = 0;
    uint8_t Hour = 0;
    uint8_t Minute = 0;
    uint8_t Second = 0;
};
#pragma pack(pop)
static_assert(sizeof(TVRQPNGTime) == 7);

// The gIFg data as it stands in the file: disposal method, user-input flag, delay (big-endian).
struct TVRQPNGGifControl {
    uint8_t Bytes[4] = {0, 0, 0, 0};
};

// Everything a PNG file says beside its pixel rows, in one record: the reader fills it, the
// picture keeps it, the writer takes it. The header as it stands, the side values the picture
// takes (gamma, background, resolution ...), the three records of time, chromaticity and GIF
// control, and the chunks kept as they stand.
struct TPngInfo : TPictureInfo {
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t ColorType = -1;     // the header's colour type (its low three bits); -1 without a header
    int32_t BitDepth = 0;       // the header's bit depth
    int32_t Interlace = 0;      // 0 none, 1 Adam7
    bool Alpha = false;         // an alpha channel, or transparency decoded into the alpha plane
    TColor TransparentColor = -1; // -1, a colour, or $01000000 + index
    int32_t PaletteSize = 0;    // the entries of PLTE (0 without one)
    TVRQPNGTime TimeStamp;
    TVRQPNGGifControl GifControl;
    // An animated PNG's acTL before the image data: its frames and plays (0 frames: a still PNG).
    // The reader decodes the default image all the same, as any reader that knows no animation.
    uint32_t AnimationFrames = 0;
    uint32_t AnimationPlays = 0;
};

// A picture's info onto the record a write takes: as it stands when a file gave it (its texts ride
// in the kept chunks then, not in Comment); otherwise the writer's default gamma, with the
// picture's resolution where one is known. None: the defaults alone.
void TakePictureInfo(TPngInfo& target, const TPictureInfo* info);

// The current UTC date and time.
TVRQPNGTime CurrentUTCTime();
// The UTC date and time of a count of seconds since 1970-01-01 00:00:00 UTC (as
// SOURCE_DATE_EPOCH gives it); negative counts give 1970, counts past the year 9999 its end.
TVRQPNGTime UTCTimeOfEpochSeconds(int64_t seconds);

// The gamma the picture class writes unless told otherwise.
inline constexpr double DefaultGamma = 0.45455;

// Which time a written file carries in tIME: the clock's at the moment of writing, a fixed
// one (reproducible builds), or none.
enum class TPngTimeSource { Now, Fixed, None };

// What a PNG write adds beside the chunks the pixels need (IHDR, PLTE, tRNS, IDAT, IEND).
struct TPngChunkSettings {
    TPngTimeSource Time = TPngTimeSource::Now;
    TVRQPNGTime FixedTime;                // the time of TPngTimeSource::Fixed
    std::function<TVRQPNGTime()> Clock;   // the time of TPngTimeSource::Now; empty: CurrentUTCTime
    // Only the chunks the pixels need: no time, texts, private chunk, gamma or the like.
    bool Strip = false;
    // What the picture's file said beside its pixels (gamma, profile, resolution, texts ...),
    // written again (see TakePictureInfo); none: the writer's defaults. Not owned.
    const TPictureInfo* Info = nullptr;
};

// An image in one of PNG's pixel layouts, rows unfiltered and packed as in the file.
struct TPngRaster {
    int32_t Width = 0;
    int32_t Height = 0;
    uint8_t ColourType = 2;            // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA
    uint8_t BitDepth = 8;              // 1, 2, 4 or 8
    std::vector<uint8_t> Palette;      // PLTE: red, green, blue of each entry
    std::vector<uint8_t> Transparency; // tRNS as written: alpha per index, or the transparent sample(s)
    std::vector<uint8_t> Rows;         // Height rows of RowBytes() bytes

    int32_t Channels() const { return ColourType == 2 ? 3 : ColourType == 4 ? 2 : ColourType == 6 ? 4 : 1; }
    int32_t PixelBits() const { return Channels() * BitDepth; }
    size_t RowBytes() const { return (static_cast<size_t>(Width) * static_cast<size_t>(PixelBits()) + 7) / 8; }
};

class TVRQPNGReadStream;
class TVRQPNGWriteStream;

// Called with a raw row (changeable in place), its byte count without the filter byte, the
// number of rows handed out before it over all passes, and the key text.
using TVRQPNGDecodeRowEvent =
    std::function<void(TVRQPNGReadStream& sender, uint8_t* row, int32_t length, int32_t rowNumber, const std::string& key)>;
using TVRQPNGEncodeRowEvent =
    std::function<void(TVRQPNGWriteStream& sender, uint8_t* row, int32_t length, int32_t rowNumber, const std::string& key)>;
// May supply or change the key handed to the row event.
using TVRQPNGKeyRequestEvent = std::function<void(TVRQPNGReadStream& sender, std::string& key)>;

// How many alpha values of a palette a tRNS chunk holds: up to the last entry that is not
// opaque, as the entries it leaves out read as opaque. The one rule of reader, writer and
// optimizer for a palette's transparency.
inline size_t TransparencyLength(const uint8_t* alpha, size_t count)
{
    while (count > 0 && alpha[count - 1] == 255) --count;
    return count;
}

// Every PNG file starts with these 8 bytes.
inline constexpr uint8_t PngSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// A chunk type as the reader and the writer compare it: the four letters as one big-endian number.
constexpr uint32_t ChunkType(const char (&name)[5])
{
    return (static_cast<uint32_t>(static_cast<uint8_t>(name[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(name[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(name[2])) << 8) | static_cast<uint32_t>(static_cast<uint8_t>(name[3]));
}

namespace chunk {
inline constexpr uint32_t IHDR = ChunkType("IHDR");
inline constexpr uint32_t PLTE = ChunkType("PLTE");
inline constexpr uint32_t tRNS = ChunkType("tRNS");
inline constexpr uint32_t bKGD = ChunkType("bKGD");
inline constexpr uint32_t gAMA = ChunkType("gAMA");
inline constexpr uint32_t cHRM = ChunkType("cHRM");
inline constexpr uint32_t pHYs = ChunkType("pHYs");
inline constexpr uint32_t sBIT = ChunkType("sBIT");
inline constexpr uint32_t tIME = ChunkType("tIME");
inline constexpr uint32_t tEXt = ChunkType("tEXt");
inline constexpr uint32_t gIFg = ChunkType("gIFg");
inline constexpr uint32_t sRGB = ChunkType("sRGB");
inline constexpr uint32_t iCCP = ChunkType("iCCP");
inline constexpr uint32_t zTXt = ChunkType("zTXt");
inline constexpr uint32_t iTXt = ChunkType("iTXt");
inline constexpr uint32_t acTL = ChunkType("acTL");
inline constexpr uint32_t fcTL = ChunkType("fcTL");
inline constexpr uint32_t fdAT = ChunkType("fdAT");
inline constexpr uint32_t vpNG = ChunkType("vpNG");
inline constexpr uint32_t IDAT = ChunkType("IDAT");
inline constexpr uint32_t IEND = ChunkType("IEND");
} // namespace chunk

// The codec's fixed texts.
namespace pngmsg {
inline constexpr const char* NotPNG = "PNG LoadStream: Not PNG Format";
inline constexpr const char* TwoIHDR = "Read Header(PNG): appear two IHDR";
inline constexpr const char* ErrorColorType = "Read Header(PNG): Error ColorType";
inline constexpr const char* NoCompression = "Read Header(PNG): not support Compression";
inline constexpr const char* NoFilter = "Read Header(PNG): not supprt Filter";
inline constexpr const char* NoInterlace = "Read Header(PNG): not interlace type";
inline constexpr const char* GreyBitdepth = "Read Header(PNG): Error Bitdepth";
inline constexpr const char* ColourBitDepth = "Read Header(PNG): Error BitDepth";
inline constexpr const char* NoAlphaChannel = "Read Header(PNG): not Use AlphaChannel";
inline constexpr const char* ErrorSize = "Read Header(PNG): Error Size";
inline constexpr const char* ErrorZLIB = "PNG LoadStream: Error ZLIB";
inline constexpr const char* ReadError = "Read Image (PNG): Read Error";
inline constexpr const char* IDATSize = "Write PNG Param: Err IDAT Size(min:256  max:100000)";
inline constexpr const char* WriteError = "Write Image (PNG): Write Error";
} // namespace pngmsg

} // namespace tintabrel
