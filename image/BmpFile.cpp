// BMP reading and writing of TBitmap.
#include "image/Graphics.h"

#include "image/Exceptions.h"
#include "image/Streams.h"

namespace tintabrel {

void TBitmap::LoadFromStream(TStream&) { throw EInvalidGraphic(msg::InvalidBitmap); }

void TBitmap::SaveToStream(TStream&) const {}

} // namespace tintabrel
