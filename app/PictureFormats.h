// The picture formats, one entry each: name, extension, signature, the size a header declares,
// loading and saving. Everything that depends on the kind of a file asks this table, so adding a
// format is adding an entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "app/PictureFiles.h"

namespace tintabrel {

struct TPictureFormat {
    TPictureKind Kind;
    const char* Name;      // "PNG"
    const char* Extension; // ".png": what names are matched against (any letter case) and given
    // Whether a file's first bytes are this format's.
    bool (*HasSignature)(const uint8_t* bytes, size_t count);
    // Width and height as the header's bytes give them, read from the file's start (0, 0 when the
    // header does not tell); no reader's limits applied, so that a refusal can name them.
    std::pair<int64_t, int64_t> (*DeclaredSize)(const uint8_t* head, size_t count);
    // What the reader says of a picture over the size limit.
    const char* SizeRefusal;
    void (*Load)(TStream& stream, TPictureData& data, TVRQPNGFileFacts* pngFacts, const TLoadOptions& options);
    void (*Save)(TStream& stream, const TPictureData& data, const TPNGSaveOptions& options);
    bool HoldsAlpha; // a save keeps the transparency
};

// The bytes of a file's start that DeclaredSize and HasSignature need.
inline constexpr size_t HeadBytes = 32;

const std::vector<TPictureFormat>& PictureFormats();
// The PNG entry's loading of a picture, as the PNG reader gives it (the frames of an animation
// read each of theirs with it).
void LoadPng(TStream& stream, TPictureData& data, TVRQPNGFileFacts* pngFacts, const TLoadOptions& options);
// std::invalid_argument for Unknown.
const TPictureFormat& FormatOf(TPictureKind kind);
// The format whose signature the bytes start with; Unknown when none.
TPictureKind KindOfFirstBytes(const uint8_t* bytes, size_t count);

} // namespace tintabrel
