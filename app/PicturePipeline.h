// One picture's way from its input to its outputs, for every load-change-save of the tool: the
// decoder stores rows and a row gate opens them, the change runs (row by row, or on the whole
// picture), and the encoder pulls the rows through the gate. When a PNG that is read row by row
// (RGB or RGBA, not interlaced, no transparent colour) goes to one PNG output with a change that
// is only hue windows, the gate opens row by row: each row is changed as soon as it is stored and
// compressed on another thread while later rows are still being read. Everything else goes the
// same way with the gate opening at the end, once the picture is whole and changed.
#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/PictureFiles.h"
#include "app/PictureSource.h"
#include "recolour/HueReplace.h"

namespace tintabrel {

// A change that is no more than hue windows applied in turn, each with the protected colours
// looked up in that step's picture: it can be made one row at a time.
struct TRowChange {
    const TProtectedColors* Protected = nullptr; // outlives the run
    std::vector<THueWindow> Windows;             // none: the picture as read
};

struct TPipelineOutput {
    TPictureKind Kind = nullptr; // none: the input's
    // Where the picture is written: a file (through a temporary file in its folder; an existing
    // one replaced only with Overwrite), or else nowhere (Take alone).
    std::string Path;
    bool Overwrite = true;
    TPNGSaveOptions Png;
    // The change, made on the output's own picture once it is whole (none: the picture as read).
    std::function<void(TPictureData&)> Change;
    // The same change told as hue windows, when it is no more than that: a picture read row by
    // row is then changed row by row instead, with the same pixels.
    std::optional<TRowChange> RowChange;
    // Given the changed picture, after it was written.
    std::function<void(TPictureData&)> Take;
};

struct TPipelineResult {
    std::exception_ptr Error; // none: the output was made
    bool WhileRead = false;   // changed and written row by row while the input was being read
    int64_t Bytes = 0;        // written to the file or stream (0 when it went to Take alone)
};

// Reads the picture of the source once (checked and admitted by the caller) and makes every
// output of it: each from its own copy, the last taking the picture over. A failure of the input
// (it cannot be read, or holds no picture) is thrown; a failure of one output is its result.
std::vector<TPipelineResult> RunPicturePipeline(TPictureSource& source, const TLoadOptions& load,
                                                const std::vector<TPipelineOutput>& outputs);

// The stages after the read, for a picture already held (the window's): every output made of its
// own copy of picture, as RunPicturePipeline makes them.
std::vector<TPipelineResult> RunPicturePipeline(const TPictureData& picture, const std::vector<TPipelineOutput>& outputs);

// How many pictures went through the pipeline in this process (for tests that must see a path
// taken).
uint64_t PipelineRunsForTesting();

// For tests and the fuzzer: the fewest pixels a picture goes row by row with (a million by default).
void SetLeastPixelsRowByRowForTesting(int64_t pixels);

} // namespace tintabrel
