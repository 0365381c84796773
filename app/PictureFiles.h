// How a picture file is loaded and saved, shared by the window and the command-line tool:
// the file kind by extension, transparency kept as an alpha picture beside the colour picture,
// and saving that never destroys an existing file when writing fails.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/RowGate.h"
#include "image/Graphics.h"
#include "image/Animation.h"
#include "image/PictureData.h"
#include "image/RowSink.h"
#include "base/Streams.h"
#include "png/PngRows.h"
#include "png/VRQPNGTypes.h"
#include "app/SafeFile.h"

namespace tintabrel {

// A picture format: an entry of the format table (app/PictureFormats.h); none (nullptr) where
// the kind is not known.
struct TPictureFormat;
using TPictureKind = const TPictureFormat*;

// The part of the path from its last "." to the end when that "." comes after the last "/";
// otherwise empty. Letter case stays as written.
std::string ExtractExtension(const std::string& path);
// The format whose extension this is (".png"); with exactCase only the spellings of the table,
// otherwise any letter case. None for another extension.
TPictureKind KindOfExtension(const std::string& extension, bool exactCase);

// Beside the encoding: the time stamp (TPngChunkSettings::Time, FixedTime, Clock; the current
// time by default) and Strip (only the chunks the pixels need), for every way of writing.
struct TPNGSaveOptions : TPngChunkSettings {
    TPngFilter Filter = TPngFilter::None; // none, a fixed filter, or the adaptive rule
    int32_t CompressionLevel = -1; // 0..9, other values: zlib's default
    bool Interlace = false;
    // The image data of a picture not compressed in segments is compressed at once by libdeflate
    // instead of by zlib's stream: as small, in a fraction of the time (the tool's choice; the
    // window writes with zlib). The level is the same number (default 6).
    bool WholeImageDeflate = false;
    // The smallest encoding found instead (WriteOptimizedPng; the three settings above do not
    // apply); TrueColourOnly keeps it to RGB or RGBA.
    bool Optimize = false;
    bool TrueColourOnly = false;
    // The threads this one file may use: the trials of Optimize, or the compression of a large
    // picture in segments.
    unsigned Threads = 1;
    // Told how far a PNG save has come, 0 to 1 (with Optimize, see TPngOptimizeOptions::Progress).
    std::function<void(double done)> Progress;
    // Rows another thread is still storing (and changing): the encoder reads each row once the
    // gate has opened it, from the picture's bitmaps where they lie, and a file is kept only when
    // the gate ends finished. Only for a 24-bit picture written without Optimize. None: every
    // row is there.
    const TRowGate* Rows = nullptr;
};

struct TLoadOptions {
    // What an animation's reader accepts (frames, pixels per frame, all frames' pixels).
    TAnimationLimits Animation;
    // What an uncompressed BMP that ends before its pixel data gives (the window reads it with the
    // missing bytes 0; the command-line tool refuses it). A cut PNG always fails.
    TTruncatedPixels Truncated = TTruncatedPixels::ReadAsZero;
    // The threads this one file may use: a large PNG's image data is inflated ahead on a second.
    unsigned Threads = 1;
    // Told how far a PNG's rows are stored, for work on rows while later ones are still being read
    // (the picture pipeline).
    TRowSink* Rows = nullptr;
    // Told how far a PNG's read has come, 0 to 1.
    std::function<void(double done)> Progress;
    // A PNG's image data is kept as the file holds it (TPictureData::SourceImageData), for an
    // optimized save that may reuse it.
    bool KeepImageData = false;
};

// Loads a picture file of the given kind (see app/PictureSource.h for the way the tool and the
// window open, recognise and check a file first). A PNG's alpha channel, per-index alpha, or
// single transparent index or colour becomes the alpha picture; a BMP has none. What the file
// says beside its pixels goes to data.Info. On failure the data is left as it was. A file that
// cannot seek (a FIFO, /dev/stdin, a pipe) is read to its end first, as by ReadWholeInput.
void LoadPicture(const std::string& path, TPictureKind kind, TPictureData& data, const TLoadOptions& options = {});
void LoadPicture(TStream& stream, TPictureKind kind, TPictureData& data, const TLoadOptions& options = {});

// Reads what is left of an input that cannot seek into memory, so that it then loads exactly as
// a file does. More bytes than a picture within the size limit can need raise EReadError.
void ReadWholeInput(TStream& source, TMemoryStream& memory);

// Writes the picture as PNG (with its alpha when it has one) or as BMP (no alpha). A palette
// picture stays one: in PNG with its alpha per index in tRNS (and at 2 bits when it came from
// a 2-bit file), or as 24-bit with alpha when its pixels of one index differ in alpha.
// The bytes go to a temporary file in the target's folder that replaces the target only when
// complete: a failure leaves an existing target untouched. Messages name the target. Without
// replaceExisting, a file that appears at the target meanwhile is kept and the save fails with
// the create message.
// Returns the bytes written (the file's size).
int64_t SavePicture(const std::string& path, TPictureKind kind, const TPictureData& data,
                    const TPNGSaveOptions& options = {}, bool replaceExisting = true);
void SavePicture(const std::string& path, TPictureKind kind, const TBitmap& image, const TBitmap& alpha,
                 const TPNGSaveOptions& options = {}, bool replaceExisting = true);
// The same picture bytes written to a stream (standard output, memory).
void SavePicture(TStream& stream, TPictureKind kind, const TPictureData& data, const TPNGSaveOptions& options = {});
// A picture's progress event as a fraction 0 to 1 for progress.
TProgressEvent PercentRelay(const std::function<void(double)>& progress);

// The PNG part of SavePicture, onto any stream.
void WritePicturePng(TStream& stream, const TPictureData& data, const TPNGSaveOptions& options);

} // namespace tintabrel
