// How a picture file is loaded and saved, shared by the window and the command-line tool:
// the file kind by extension, transparency kept as an alpha picture beside the colour picture,
// and saving that never destroys an existing file when writing fails.
#pragma once

#include <memory>
#include <string>

#include "image/Graphics.h"
#include "base/Streams.h"

namespace tintabrel {

enum class TPictureKind { Unknown, Png, Bmp };

// The part of the path from its last "." to the end when that "." comes after the last "/";
// otherwise empty. Letter case stays as written.
std::string ExtractExtension(const std::string& path);
// ".png" and ".bmp"; with exactCase only those spellings, otherwise any letter case.
TPictureKind KindOfExtension(const std::string& extension, bool exactCase);

// A picture as the program holds it: the colour image and, beside it, its transparency as an
// 8-bit picture of the same size whose byte v means alpha 255 - v (empty: fully opaque).
struct TPictureData {
    TBitmap Image;
    TBitmap Alpha;
    bool HasAlpha() const { return !Alpha.Empty(); }
};

struct TPNGSaveOptions {
    int32_t FilterMode = 1;        // 0 adaptive, 1 None, 2 Sub, 3 Up, 4 Average, 5 Paeth
    int32_t CompressionLevel = -1; // 0..9, other values: zlib's default
    bool Interlace = false;
};

// Loads a PNG or BMP file. A PNG's alpha channel, per-index alpha, or single transparent index
// or colour becomes the alpha picture; a BMP has none. On failure the data is left as it was.
// truncated: what an uncompressed BMP that ends before its pixel data gives (the window reads
// it with the missing bytes 0; the command-line tool refuses it). A cut PNG always fails.
void LoadPicture(const std::string& path, TPictureKind kind, TPictureData& data,
                 TTruncatedPixels truncated = TTruncatedPixels::ReadAsZero);

// Writes the picture as PNG (with its alpha when it has one; an indexed picture with
// transparency is written as 24-bit with alpha so nothing is lost) or as BMP (no alpha).
// The bytes go to a temporary file in the target's folder that replaces the target only when
// complete: a failure leaves an existing target untouched. Messages name the target. Without
// replaceExisting, a file that appears at the target meanwhile is kept and the save fails with
// the create message.
void SavePicture(const std::string& path, TPictureKind kind, const TBitmap& image, const TBitmap& alpha,
                 const TPNGSaveOptions& options = {}, bool replaceExisting = true);

// Writes through a temporary file in the target's folder and renames it over the target.
// EFCreateError msg::FileCreate(target) when the temporary file cannot be made.
class TSafeFileWriter {
public:
    explicit TSafeFileWriter(const std::string& target);
    ~TSafeFileWriter(); // removes the temporary file unless committed
    TSafeFileWriter(const TSafeFileWriter&) = delete;
    TSafeFileWriter& operator=(const TSafeFileWriter&) = delete;

    TStream& Stream() { return *file_; }
    // Flushes to the disk and renames over the target; EWriteError on failure. Without
    // replaceExisting an existing target is kept: EFCreateError naming the target.
    void Commit(bool replaceExisting = true);

private:
    std::string target_;
    std::string temp_;
    std::unique_ptr<TFileStream> file_;
    bool committed_ = false;
};

} // namespace tintabrel
