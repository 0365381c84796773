// Where the picture of one input comes from: a file read where it lies, or standard input ("-"),
// a pipe or a FIFO, which cannot seek and are read to their end into memory first, so that they
// are then handled exactly as files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "app/PictureFiles.h"
#include "base/ScopeGuard.h"

namespace tintabrel::cli {

// "-" stands for standard input as an input and for standard output as an output.
inline bool IsStandardStream(const std::string& path) { return path == "-"; }

// How much memory working on a picture of this many pixels takes at most, beside the input bytes
// held in memory: the picture as read, its alpha, the result and the encoder's copies.
// png: how the file's outputs are written (the optimizer's trials and the threads take more).
int64_t WorkingBytes(int64_t pixels, const TPNGSaveOptions& png);

class TInput {
public:
    // Opens the input once (EFOpenError as for any file). Of one that cannot seek only the start is
    // read here; the rest when it is loaded (ReadRest).
    explicit TInput(const std::string& path);
    TInput(const TInput&) = delete;
    TInput& operator=(const TInput&) = delete;

    // The kind: byName when it tells, else by the first bytes.
    TPictureKind Kind(TPictureKind byName);
    // Width and height as the file's header declares them (0, 0 when it does not tell).
    std::pair<int64_t, int64_t> DeclaredSize(TPictureKind kind);
    // Width x height as the header declares it (0 when it does not tell); a picture of more
    // pixels than the limit (MaxPicturePixels) is refused with the reader's message and, as its
    // detail, the declared size and the limit.
    int64_t CheckDeclaredSize(TPictureKind kind);
    // The bytes of the input held in memory (0 for a file read where it lies); for an input that
    // cannot seek and is not read yet, the most it will be allowed to hold.
    int64_t MemoryBytes(TPictureKind kind);
    // Reads the rest of an input that cannot seek, as far as the picture its header declares can
    // need (EReadError past that); nothing for a file.
    void ReadRest(TPictureKind kind);
    // The whole input from its start, for the picture pipeline (the rest of one that cannot seek
    // read first, as by ReadRest).
    TStream& Whole(TPictureKind kind);
    // Loads the picture; a file that holds none (empty, or ending before its image data) is an
    // EInvalidGraphic. pngFacts and options as for LoadPicture (a BMP cut short is refused).
    void Load(TPictureKind kind, TPictureData& data, TVRQPNGFileFacts* pngFacts = nullptr, TLoadOptions options = {});
    // Runs look(stream) on the input's bytes from their start and rewinds them afterwards (also
    // when look throws), so that a look ahead leaves the input as it was.
    template <class Look>
    auto Peek(Look look)
    {
        TStream& stream = Stream();
        stream.SetPosition(0);
        const TScopeGuard rewind([&stream] { stream.SetPosition(0); });
        return look(stream);
    }

private:
    TStream& Stream();
    int64_t PipeLimit(TPictureKind kind);

    std::unique_ptr<TFileStream> file_;
    std::unique_ptr<TMemoryStream> memory_;
};

} // namespace tintabrel::cli
