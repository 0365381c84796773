#include "recolour/ColorList.h"

#include "image/Canvas.h"
#include "image/Graphics.h"
#include "base/Colors.h"
#include "base/StringList.h"

namespace tintabrel {

void DrawSwatchGrid(TBitmap& grid, const TStringList& list)
{
    grid.SetWidth(SwatchGridWidth);
    grid.SetHeight(SwatchSize);

    // First height: ten lines to a row, empty lines counted. It disagrees with the nine swatches
    // per row drawn below; kept on purpose, the grid has always been sized this way.
    int c = 0;
    int r = 0;
    for (int i = 0; i < list.Count(); ++i) {
        if (++c == 10) {
            c = 0;
            ++r;
            grid.SetHeight((r + 1) * SwatchSize);
        }
    }

    TCanvas& canvas = grid.Canvas();
    canvas.Pen.Color = clBtnFace;
    canvas.Brush.Color = clBtnFace;
    canvas.Rectangle(0, 0, grid.Width(), grid.Height());

    c = 0;
    r = 0;
    for (const std::string& line : list) {
        if (line.empty()) continue;
        canvas.Brush.Color = TextToColor(line);
        canvas.Rectangle(SwatchSize * c, SwatchSize * r, SwatchSize * c + SwatchSize, SwatchSize * r + SwatchSize);
        if (++c == SwatchesPerRow) {
            c = 0;
            ++r;
            // A row added here is background like the rest of the grid, not the last swatch's colour.
            canvas.Brush.Color = clBtnFace;
            grid.SetHeight((r + 1) * SwatchSize);
        }
    }
}

void ShowList(const TStringList& list, const std::string& motoPath, TBitmap& target)
{
    TBitmap grid;
    grid.LoadFromFile(motoPath);
    DrawSwatchGrid(grid, list);
    target.Assign(&grid);
}

} // namespace tintabrel
