// One way in for every picture, for the tool and the window alike: a source opens a file or a
// pipe, recognises its format by its first bytes (its name only where they tell nothing), reads
// what the header declares, checks it against the limits and the memory budget, and loads it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/PictureFormats.h"
#include "base/ScopeGuard.h"

namespace tintabrel {

// "-" stands for standard input as an input and for standard output as an output.
inline bool IsStandardStream(const std::string& path) { return path == "-"; }

// What a picture may be at most.
struct TSourceLimits {
    int64_t MaxPixels = 0;      // a picture's, and each frame's (0: the program's own limit)
    TAnimationLimits Animation; // frames, all frames' pixels
    int64_t Pixels() const { return MaxPixels > 0 ? MaxPixels : MaxPicturePixels(); }
    // What an animation's reader is given: these limits, a frame held to the pixel limit too.
    TAnimationLimits ForFrames() const
    {
        TAnimationLimits frames = Animation;
        if (MaxPixels > 0 && (frames.MaxFramePixels == 0 || frames.MaxFramePixels > MaxPixels)) frames.MaxFramePixels = MaxPixels;
        return frames;
    }
};

// How much memory working on a picture of this many pixels takes at most, beside its input's
// bytes held in memory: the picture as read, its alpha, the result and the encoder's copies.
// png: how the outputs are written (the optimizer's trials and the threads take more).
int64_t WorkingBytes(int64_t pixels, const TPNGSaveOptions& png);

// The text a file of no known format is refused with ("not a PNG or BMP file ...").
std::string NotAPictureText();

class TPictureSource {
public:
    // Opens the input once (EFOpenError as for any file); "-" is standard input. Of one that
    // cannot seek only the start is read here; the rest once it is wanted (ReadRest).
    explicit TPictureSource(const std::string& path);
    // A stream the caller owns (seekable or not), named for messages.
    TPictureSource(TStream& stream, std::string name);
    ~TPictureSource();
    TPictureSource(const TPictureSource&) = delete;
    TPictureSource& operator=(const TPictureSource&) = delete;

    const std::string& Name() const { return name_; }
    // The format: the one whose signature the first bytes carry; otherwise byName (whose reader
    // then says what is wrong); none when neither tells. Settled by the first call.
    TPictureKind Kind(TPictureKind byName = nullptr);
    // Kind, refusing a file of no known format with NotAPictureText().
    TPictureKind RequireKind(TPictureKind byName = nullptr);
    // What the file declares, from the bytes at hand (of a pipe not yet read, its start: then
    // a header its reader refuses gives an empty header, the refusal left to the whole input).
    const TPictureHeader& Header();
    // Refuses a picture (or a frame) of more pixels than the limits, or an animation of too many
    // frames or pixels in all, with the sizes declared and the limit named; and, for a picture
    // that reads missing rows as zeros, a file whose data could not hold half of them. Returns
    // the pixels of the picture with all its frames (0 when the header does not tell).
    int64_t Check(const TSourceLimits& limits, TTruncatedPixels truncated = TTruncatedPixels::Refuse);
    // The bytes of the input held in memory (0 for a file read where it lies); for a pipe not
    // read yet, the most it will be allowed to hold.
    int64_t MemoryBytes();
    // What working on the picture takes, with its bytes in memory (see WorkingBytes).
    int64_t NeedBytes(const TPNGSaveOptions& png);
    // Refuses a picture whose work (NeedBytes, and heldBytesPerPixel more a pixel that its holder
    // keeps, such as the window's panes) would not fit the budget.
    void CheckMemory(int64_t budget, const TPNGSaveOptions& png, int64_t heldBytesPerPixel = 0);
    // Reads the rest of an input that cannot seek, as far as the picture its header declares can
    // need; past that, the input must hold a whole picture before it (EReadError otherwise).
    void ReadRest();
    // The whole input from its start, read first where needed.
    TStream& Whole();
    // Loads the picture; a file that holds none (empty, or ending before its image data) is an
    // EInvalidGraphic with NoPictureInFile.
    void Load(TPictureData& data, const TLoadOptions& options);

private:
    void ReadHead();
    int64_t PipeLimit();
    TStream& Stream();

    std::string name_;
    std::unique_ptr<TFileStream> file_;
    TStream* given_ = nullptr;
    std::unique_ptr<TMemoryStream> memory_;
    bool pipeOpen_ = false; // a pipe whose rest is not read yet
    bool kindSettled_ = false;
    TPictureKind kind_ = nullptr;
    std::optional<TPictureHeader> header_;
    bool headerWhole_ = false; // the header was read from the whole input
};

// What a file without a picture (empty, or ending before its image data) is refused with: written
// out, it would replace a sprite by nothing without a word.
inline constexpr const char* NoPictureInFile = "no picture in the file (it is empty or ends before its image data)";

} // namespace tintabrel
