// Palette files, read and written: GIMP .gpl, JASC .pal, .hex (one RRGGBB a line, as palette sites
// export them), Photoshop .act, and a PNG strip (every pixel an entry, rows top to bottom). The
// format goes by the extension, in any letter case. A file that is not what its format says is
// refused with the file, the line and what is wrong; no entry is ever dropped in silence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/PictureFiles.h"
#include "base/Colors.h"
#include "base/Exceptions.h"

namespace tintabrel {

// A palette file that cannot be read or written as its format says; the message names the file
// (and the line) and says what is wrong, in English.
class EPaletteFile : public Exception {
public:
    using Exception::Exception;
};

enum class TPaletteFormat { Gpl, Pal, Hex, Act, Png };

struct TPaletteFormatInfo {
    TPaletteFormat Format;
    const char* Extension; // lower case, with the dot
    const char* Name;      // for messages and usage texts
};

// Every format, in the order above.
const std::vector<TPaletteFormatInfo>& PaletteFormats();
// The format of a path's extension (any letter case); none for another extension.
std::optional<TPaletteFormat> PaletteFormatOfPath(const std::string& path);
// The same, EPaletteFile naming the extensions known when there is none.
TPaletteFormat RequirePaletteFormat(const std::string& path);

struct TColourPalette {
    std::vector<TColor> Colours;    // $00BBGGRR, in the file's order
    std::vector<std::string> Names; // .gpl: each entry's name (may be empty); empty: none at all
    std::string Name;               // .gpl: its Name: line
    int32_t Columns = 0;            // .gpl: its Columns: line (0: none)
    std::optional<int32_t> TransparentIndex; // .act: the transparent entry, when it names one
};

// An entry count no file of any format needs to pass; more is refused as a bad file.
inline constexpr size_t MaxPaletteEntries = size_t{1} << 24;

// Reads a palette file of the format of its extension. EPaletteFile for a bad file or an unknown
// extension; the file's own open and read failures (EFOpenError ...) as they come.
TColourPalette ReadPaletteFile(const std::string& path);
// The same from a stream, with name for the messages (a PNG strip through the picture reader).
TColourPalette ReadPalette(TStream& stream, TPaletteFormat format, const std::string& name);

// Writes the palette in the format, onto a stream; png: how a PNG strip is written. EPaletteFile
// for what the format cannot hold: more than 256 entries in .act, an empty PNG strip.
void WritePalette(TStream& stream, TPaletteFormat format, const TColourPalette& palette,
                  const TPNGSaveOptions& png = {});
// The same to a file of the format of its extension, through a temporary file that replaces the
// target only when complete (as SavePicture). Returns the bytes written. Nothing is created when
// the palette does not fit the format.
int64_t WritePaletteFile(const std::string& path, const TColourPalette& palette, const TPNGSaveOptions& png = {},
                         bool replaceExisting = true);

} // namespace tintabrel
