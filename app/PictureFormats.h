// The picture formats, one entry each: its names and extensions, a test of its first bytes, a
// header step that tells what a file declares without decoding its pixels, loading, saving, and
// what the format can hold. Everything that depends on the kind of a file asks this table, so
// adding a format is adding an entry (and its codec).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/PictureFiles.h"

namespace tintabrel {

// One frame of an animation as its file declares it.
struct TFrameHeader {
    int64_t X = 0, Y = 0, Width = 0, Height = 0;
    uint16_t DelayNum = 0, DelayDen = 100;
};

// What a file declares before its pixels are decoded: enough to refuse it, to budget for it, to
// choose how to read it and to describe it. Read from as much of the file as is at hand (a pipe's
// start, or all of it), so a field may be unknown (0).
struct TPictureHeader {
    int64_t Width = 0;  // the picture; an animation's canvas
    int64_t Height = 0;
    TPixelFormat Format = TPixelFormat::pfDevice; // of the picture as it loads
    int32_t PaletteSize = 0;                        // the file's palette or colour table (0: none)
    bool Alpha = false;                             // any transparency
    // Frames of an animation (empty for a still picture, or when the header step cannot list them
    // without decoding: then Frames tells how many, when known).
    std::vector<TFrameHeader> FrameList;
    int64_t Frames = 1;
    // The start of a file that does not say how many frames it has (a GIF, cut short or the start
    // of a pipe): more frames than those listed may follow.
    bool FramesToCome = false;
    uint32_t Plays = 0; // an animation's plays, 0: for ever
    // The bytes the picture's data takes in the file, and the least it could take for the pixels
    // declared (-1: unknown): a file far short of it is refused before anything is sized.
    int64_t DataPresent = -1;
    int64_t DataNeeded = -1;
    // Uncompressed data: a file short of it is cut (read as zeros, or refused), not hollow.
    bool Uncompressed = false;
    // The rows are final as the decoder stores them (RGB or RGBA, no transparent colour to turn
    // into alpha, not interlaced): a change can follow the read row by row.
    bool RowsFinalAsStored = false;
    // The whole file was walked and holds a picture the load would not refuse on its structure:
    // what is described here is what the load gives (info needs no load).
    bool Complete = false;
    // Why the file holds no picture, where the header walk can tell (empty otherwise).
    std::string Problem;
    // What the file says beside its pixels, and for PNG the header and side values as they stand.
    TPictureInfo Info;
    std::optional<TPngInfo> Png;

    // The pixels of the picture and of all its frames' rectangles.
    int64_t Pixels() const { return Width * Height; }
    int64_t AllPixels() const;
    int64_t LargestFramePixels() const;
};

enum TFormatFlags : uint32_t {
    fmtSaves = 1,     // can be written (otherwise load-only)
    fmtAlpha = 2,     // a save keeps transparency
    fmtPalette = 4,   // a save keeps a palette picture's palette
    fmtAnimation = 8, // holds animations (a save keeps every frame)
    fmtRowsAsRead = 16, // the load tells a row sink as rows are stored (TLoadOptions::Rows)
    fmtRowsGated = 32,  // a save can take rows still arriving through a row gate (TPNGSaveOptions::Rows)
    fmtOptimizes = 64,  // --optimize searches for a smaller file
};

struct TPictureFormat {
    const char* Name;                     // "PNG": messages, info
    const char* Key;                      // "png": --format, recipes
    std::vector<std::string> Extensions;  // ".png" first (given to outputs); matched in any letter case
    // Whether a file's first bytes are this format's.
    bool (*HasSignature)(const uint8_t* bytes, size_t count);
    // What the file declares, read from the stream's position (a file cut short gives what it
    // holds, unknown fields 0); a header the reader refuses raises the reader's error.
    void (*ReadHeader)(TStream& stream, TPictureHeader& header);
    // The bytes from the file's start that hold the whole picture, when all of them are among
    // these bytes; -1 when more are needed or it cannot be told. What follows is not needed.
    int64_t (*PictureBytes)(const uint8_t* bytes, size_t count);
    void (*Load)(TStream& stream, TPictureData& data, const TLoadOptions& options);
    void (*Save)(TStream& stream, const TPictureData& data, const TPNGSaveOptions& options); // none: load-only
    uint32_t Flags;
    // The reader's own text for a picture over the size limit (a refusal's message, its cause beside).
    const char* SizeRefusal;

    bool Has(TFormatFlags flag) const { return (Flags & flag) != 0; }
};

// The bytes of a file's start that the signature tests need.
inline constexpr size_t HeadBytes = 32;

// Every format: the built-in ones, then those registered.
const std::vector<const TPictureFormat*>& PictureFormats();
// Adds a format (for tests, or a further codec); its entry lives as long as the program.
TPictureKind RegisterPictureFormat(const TPictureFormat& format);
// The PNG entry's loading of a picture, as the PNG reader gives it (the frames of an animation
// read each of theirs with it).
void LoadPng(TStream& stream, TPictureData& data, const TLoadOptions& options);
// The format whose signature the bytes start with; none when no format's does.
TPictureKind KindOfFirstBytes(const uint8_t* bytes, size_t count);
// The format of a --format name ("png"); none for another name.
TPictureKind FormatOfKey(const std::string& key);
// The formats named in a text: name of each (savingOnly: those that can save), the last two
// joined by last and the others by separator ("PNG, BMP or GIF", ".png or .bmp", "png|bmp").
std::string JoinedFormats(std::string (*name)(const TPictureFormat&), bool savingOnly, const std::string& separator,
                          const std::string& last);
std::string FormatKey(const TPictureFormat& format);
std::string FormatName(const TPictureFormat& format);
std::string FormatExtension(const TPictureFormat& format);

// The built-in formats, for code and tests that name one.
TPictureKind PngFormat();
TPictureKind BmpFormat();
TPictureKind GifFormat();

} // namespace tintabrel
