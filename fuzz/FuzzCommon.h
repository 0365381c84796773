// Shared set-up of the fuzz targets: small picture limit so that hostile sizes are refused
// quickly instead of allocating gigabytes.
#pragma once

#include "image/Graphics.h"

#include <cstddef>
#include <cstdint>

namespace tintabrel::fuzz {

inline void LimitPictures()
{
    static const bool once = [] {
        SetMaxPicturePixels(int64_t{1} << 22);
        return true;
    }();
    (void)once;
}

} // namespace tintabrel::fuzz
