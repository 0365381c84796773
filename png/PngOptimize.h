// PNG files in any of PNG's own pixel layouts (palette at 1, 2, 4 or 8 bits with per-index
// alpha, grey, grey and alpha, RGB, RGBA), and the smallest file that decodes to exactly the
// pixels and alpha of a picture (--optimize): every suitable layout, each row-filter rule, the
// strongest compression, the trials spread over a few threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "png/PngRows.h"
#include "png/VRQPNGTypes.h"

namespace tintabrel {

class TBitmap;
class TStream;

// Every row as deflate takes it: filter type byte, then the filtered bytes.
std::vector<uint8_t> FilterRaster(const TPngRaster& raster, TPngFilter rule);

// A zlib stream of data: by zlib at level 0..9 (other values: zlib's default), as the writer
// compresses, or with zlib's strategy for filtered data; or by libdeflate at level 1..12.
std::vector<uint8_t> ZlibCompress(const std::vector<uint8_t>& data, int level, bool filtered = false);
std::vector<uint8_t> LibdeflateCompress(const std::vector<uint8_t>& data, int level);

// Writes a whole PNG file of the raster (not interlaced) with zlibData as its image data,
// through the picture writer with the chunks it writes for a picture of default settings
// (time, "Software" text, vpNG, gamma) as chunks says.
void WritePngRaster(TStream& stream, const TPngRaster& raster, const std::vector<uint8_t>& zlibData,
                    const TPngChunkSettings& chunks = {});

// The alpha of every palette index of a palette picture, count entries: what the pixels of
// the index have in alpha (byte = 255 - alpha; empty: opaque), known[i] for indices no pixel
// uses (255 beyond it). None when two pixels of one index differ in alpha.
std::optional<std::vector<uint8_t>> IndexAlphaOf(const TBitmap& image, const TBitmap& alpha,
                                                 const std::vector<uint8_t>& known, int32_t count);

// A palette picture (1, 4 or 8 bits) as a palette raster with its palette kept: the entries
// the writer writes, in their order, and the same indices; tRNS from IndexAlphaOf with
// trailing opaque entries left out. bitDepth 0 takes the smallest depth that holds the
// palette, otherwise bitDepth when it holds it. False when the alpha is not per index.
// trimUnused: entries after the last one a pixel uses are left out, and entries no pixel uses
// count as opaque (their alpha only lengthened tRNS): order and indices stay.
bool KeptPaletteRaster(const TBitmap& image, const TBitmap& alpha, const std::vector<uint8_t>& indexAlpha,
                       int32_t bitDepth, TPngRaster& raster, bool trimUnused = false);

struct TPngOptimizeOptions {
    unsigned Threads = 1;            // trials at once
    bool KeepPalette = true;         // a palette picture keeps its palette, entry order and indices
    bool TrueColour = false;         // only RGB or RGBA layouts (a palette is not kept)
    std::vector<uint8_t> IndexAlpha; // alpha of palette indices no pixel uses (see IndexAlphaOf); the
                                     // optimized layouts count such indices opaque
    TPngChunkSettings Chunks;        // time stamp and stripping of the file written
    // The image data of the PNG file the picture was read from (a zlib stream), or none: one more
    // candidate, taken only for a layout whose rows it decodes to exactly (checked by inflating
    // and unfiltering it), so that a file whose layout is kept never grows.
    const std::vector<uint8_t>* SourceImageData = nullptr;
    // Writes the file a plain save with the same options would write: one more candidate, so
    // that the optimized file is never the larger. Empty: none.
    std::function<void(TStream& stream)> PlainSave;
    // Told how far the work has come, 0 to 1, from any of its threads (one at a time), each
    // call further than the last.
    std::function<void(double done)> Progress;
};

// Threads for one file (its --optimize trials, its compression in segments) when jobs threads
// work on files files at once: a single file gets them all, a batch of as many files as threads
// gets one each.
unsigned ThreadsPerFile(unsigned jobs, size_t files);

// Whether a zlib stream decodes to exactly the raster's filtered rows, unfiltered, with its
// checksum right and nothing after it.
bool DecodesToRaster(const std::vector<uint8_t>& zlibData, const TPngRaster& raster);

// Writes the smallest encoding found of the picture (alpha: byte = 255 - alpha, empty:
// opaque) that decodes to exactly its pixels and alpha, RGB under transparent pixels included.
void WriteOptimizedPng(TStream& stream, const TBitmap& image, const TBitmap& alpha,
                       const TPngOptimizeOptions& options);

} // namespace tintabrel
