// Colour values and their text form (colour strings).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tintabrel {

// $00BBGGRR for a plain colour; high byte $80 names a desktop interface colour by its low byte.
using TColor = int32_t;

inline constexpr TColor clBlack = 0x00000000;
inline constexpr TColor clMaroon = 0x00000080;
inline constexpr TColor clGreen = 0x00008000;
inline constexpr TColor clRed = 0x000000FF;
inline constexpr TColor clLime = 0x0000FF00;
inline constexpr TColor clBlue = 0x00FF0000;
inline constexpr TColor clWhite = 0x00FFFFFF;
inline constexpr TColor clBtnFace = static_cast<TColor>(0x8000000F);
inline constexpr TColor clWindowText = static_cast<TColor>(0x80000008);
inline constexpr TColor clNone = 0x1FFFFFFF;
inline constexpr TColor clDefault = 0x20000000;

struct TIdentMapEntry {
    int32_t Value;
    const char* Name;
};

inline constexpr int ColorNameCount = 49;
extern const TIdentMapEntry ColorNames[ColorNameCount];

constexpr TColor MakeColor(uint8_t r, uint8_t g, uint8_t b)
{
    return static_cast<TColor>(r + 256 * g + 65536 * b);
}
constexpr uint8_t RedOf(TColor c) { return static_cast<uint8_t>(c & 0xFF); }
constexpr uint8_t GreenOf(TColor c) { return static_cast<uint8_t>((c >> 8) & 0xFF); }
constexpr uint8_t BlueOf(TColor c) { return static_cast<uint8_t>((c >> 16) & 0xFF); }

// The desktop's current colour for a system colour index (0..30). The window installs the
// toolkit's palette; without one, the classic desktop defaults answer.
using TSysColorProvider = TColor (*)(int index);
void SetSysColorProvider(TSysColorProvider provider);
TColor DefaultSysColor(int index);
TColor GetSysColor(int index);

// A value with bit 31 set becomes the plain colour of its system colour; any other is returned as is.
TColor ResolveColor(TColor color);

bool ColorToName(TColor value, std::string& name);
bool NameToColor(std::string_view name, TColor& value);
std::string ColorToText(TColor color);
TColor TextToColor(std::string_view text); // EConvertError for text that is neither a name nor an integer
int32_t ParseInteger(std::string_view text); // EConvertError msg::NotInteger(text)

} // namespace tintabrel
