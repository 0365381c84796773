// Animations (GIF, APNG) through the tool: what an output of an animation holds (every frame
// where its format holds animations, the first frame alone where it holds one picture or
// --first-frame asks for it), sprite sheets laid out from an animation's frames (--sheet) and
// read back into one (--frames, --delay), and an animation's frames as info lists them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/PictureFormats.h"
#include "app/PictureSource.h"
#include "image/PictureData.h"

namespace tintabrel::cli {

struct TOutputOptions;

// --frames W,H[,COUNT]: a sheet's cells of W x H pixels, row by row from the top left; COUNT
// the first COUNT cells (0: every cell up to the last one that is not wholly transparent, the
// cells after it being the padding of the last row).
struct TSheetCells {
    int32_t Width = 0;
    int32_t Height = 0;
    int64_t Count = 0;
};

struct TAnimationOptions {
    bool FirstFrame = false;           // --first-frame: the first frame alone, to any format
    int32_t SheetColumns = 0;          // --sheet COLUMNS (0: no sheet)
    std::optional<TSheetCells> Frames; // --frames W,H[,COUNT]
    int32_t DelayMs = 100;             // --delay MS, for the frames read from a sheet
    bool DelayGiven = false;

    // Whether the outputs are other pictures than the input's (a sheet, or frames read from one).
    bool Reshapes() const { return SheetColumns > 0 || Frames.has_value(); }
};

// "W,H" or "W,H,COUNT", each a whole number from 1; std::invalid_argument says what is wrong.
TSheetCells ParseSheetCells(const std::string& text);

// The options that make no sense with the rest of the command line (TUsageError): --delay
// without --frames; --sheet or --frames replacing their input (--in-place). A sheet whose
// output's name tells no format (--out-dir keeps the input's name) is a PNG file (--format png).
void SettleAnimationOptions(TOutputOptions& out);

// The pixels that the outputs make beyond the input's own (a sprite sheet: every frame on a
// canvas of its own), for the memory budget before the load; 0 when the header does not tell.
// A sheet over the pixel limit is refused here already (std::runtime_error with the sizes).
int64_t SheetPixels(const TPictureHeader& header, const TAnimationOptions& options, const TSourceLimits& limits);

// The picture becomes the still picture of the first frame of its animation: that frame's own
// picture (palette, indices and alpha as it stands) when it covers the canvas, else the frame
// drawn on the cleared canvas (24-bit with alpha). What the file said beside its pixels stays.
// Nothing for a still picture.
void KeepFirstFrame(TPictureData& picture);

// The frames (a still picture: itself) side by side, each on the full canvas as a viewer shows
// it, columns to a row (fewer when there are fewer frames), row by row; cells after the last
// frame are fully transparent. The picture becomes that sheet (24-bit, alpha where a pixel is not
// opaque). std::runtime_error when the sheet would be larger than the pixel limit.
void MakeSheet(TPictureData& picture, int32_t columns, const TSourceLimits& limits);

// The still picture becomes an animation of its cells (see TSheetCells), each frame the cell as
// it stands (a palette sheet gives palette frames of its palette), shown for delayMs, drawn on
// a cleared canvas, the animation playing for ever. std::runtime_error for an animation, a sheet
// that is not a whole number of cells, more cells than COUNT asks or the frame limit allows.
void ReadSheet(TPictureData& picture, const TSheetCells& cells, int32_t delayMs, const TSourceLimits& limits);

// What the output of kind is made of, and what is said of it on standard error (none when
// nothing is lost): the sheet laid out or read, then the first frame alone where --first-frame
// asks or the format holds no animation ("an animation of N frames; BMP holds one picture: its
// first frame is written"), and for GIF the delays it rounds to hundredths of a second.
std::vector<std::string> ShapeForOutput(TPictureData& picture, TPictureKind kind, const TAnimationOptions& options,
                                        const TSourceLimits& limits);

// A frame as info lists it: its rectangle and delay (den 0 taken as 100, as the formats mean it).
struct TFrameListing {
    int64_t X = 0, Y = 0, Width = 0, Height = 0;
    uint16_t DelayNum = 0, DelayDen = 100;
    // The delay in milliseconds, to the nearest thousandth.
    double DelayMs() const;
};
// The frames of a loaded animation (their rectangles as they stand), or those its header lists.
std::vector<TFrameListing> FrameListing(const TPictureHeader& header, const TPictureData* loaded);

} // namespace tintabrel::cli
