// The swatch grid that shows the protected colour list.
#pragma once

#include <string>

namespace tintabrel {

class TBitmap;
class TStringList;

inline constexpr int SwatchSize = 25;       // cell edge in pixels
inline constexpr int SwatchesPerRow = 9;
inline constexpr int SwatchGridWidth = SwatchSize * SwatchesPerRow;

// Draws the grid of list onto grid, whose pixel format and palette it keeps: width 225, one
// 25 x 25 cell per non-empty line, nine to a row, each a 23 x 23 square of the line's colour in
// a clBtnFace frame, the rest clBtnFace. The height follows the list as the window has always
// sized it: first 25 x (lines div 10 + 1) counting every line, then, once nine or more swatches
// are drawn, 25 x (swatches div 9 + 1). A line that is not a colour string stops the drawing
// with TextToColor's EConvertError msg::NotInteger; grid is then half drawn.
void DrawSwatchGrid(TBitmap& grid, const TStringList& list);

// Loads motoPath (BMP) into a bitmap of its own, draws the grid on it and only then assigns
// it to target; any failure (EFOpenError for a missing file, the BMP reader's error, a bad line)
// leaves target as it was.
void ShowList(const TStringList& list, const std::string& motoPath, TBitmap& target);

} // namespace tintabrel
