// Where a decoder tells how far a picture's rows are stored, for work that follows the read row by
// row (changing and encoding a row while later ones are still being read).
#pragma once

#include <cstdint>

namespace tintabrel {

class TBitmap;

class TRowSink {
public:
    virtual ~TRowSink() = default;
    // On the reading thread, once the picture (and its alpha plane, or none) is sized and before any
    // row is stored. The rows will be stored in order and not touched again.
    virtual void Begin(TBitmap& image, TBitmap* alpha) = 0;
    // Rows [0, rows) are stored: their colour and alpha are final.
    virtual void Stored(int32_t rows) = 0;
};

} // namespace tintabrel
