// What the window checks before it loads a file: a file whose declared picture it could not hold
// in memory, or whose bytes could not hold most of the picture it declares, is refused before
// anything is sized for the picture (a tiny hostile file must not freeze the window or fill the
// memory).
#pragma once

#include <cstdint>
#include <string>

#include "app/PictureFiles.h"

namespace tintabrel {

// Bytes the window holds per pixel of a loaded picture: the before and after pictures, the
// panes' screen copies, the mask and the preview.
inline constexpr int64_t WindowBytesPerPixel = 24;

// Three quarters of the memory this process may still use (as the command-line tool budgets).
int64_t WindowMemoryBudget();

// Raises an Exception with a Japanese message when the file must not be loaded: its picture
// needs more than budget bytes (WindowBytesPerPixel each), or it is a BMP whose pixel data
// could not cover at least half of its declared pixels (a file cut by a few rows still loads,
// the missing bytes read as 0). Files the readers refuse anyway are left to them.
// Returns the pixels the file declares (0 when unknown).
int64_t CheckBeforeLoading(const std::string& path, TPictureKind kind, int64_t budget);

} // namespace tintabrel
