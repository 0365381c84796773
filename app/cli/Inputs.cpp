#include "app/cli/Inputs.h"
#include "app/PicturePipeline.h"

#include "base/Exceptions.h"
#include "app/PictureFormats.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <unistd.h>

namespace tintabrel::cli {


// An estimate, on the high side: the picture as read (up to 32 bits), the 8-bit alpha, the 24-bit
// result and the writer's 24-bit copy, 16 bytes a pixel. The optimizer's trials run side by side
// on the file's threads, each with encodings of its own (measured: 48 bytes a pixel on 8 threads);
// compressing in segments holds a few segments per thread.
int64_t WorkingBytes(int64_t pixels, const TPNGSaveOptions& png)
{
    const int64_t threads = std::max(1u, png.Threads);
    int64_t bytes = pixels * 16;
    // Below a million pixels the writer compresses its filtered rows whole: they and the stream
    // are held at once, up to 8 bytes a pixel each.
    if (pixels < (int64_t{1} << 20)) bytes += pixels * 16;
    if (png.Optimize) {
        // The optimizer's layouts of the picture, the finalists' filtered rows, the optimized and
        // the plain file in memory (up to 24 bytes a pixel, measured on photos), and each more
        // trial thread's filtered and compressed rows; each thread's compressors take about 16 MB.
        bytes += pixels * (24 + 8 * (threads - 1)) + threads * (int64_t{16} << 20);
    }
    if (threads > 1 && pixels > (int64_t{1} << 20)) bytes += threads * (int64_t{24} << 20);
    return bytes;
}

TInput::TInput(const std::string& path)
{
    if (IsStandardStream(path)) {
        const int fd = ::dup(STDIN_FILENO);
        if (fd < 0) throw EFileOpenError("standard input", errno);
        file_ = std::make_unique<TFileStream>(fd, "standard input");
    } else {
        // Finished outputs waiting for the batch's sync hold descriptors (synced and closed, they
        // make room for this input), and so do the other jobs for a while.
        for (int attempt = 0; !file_;) {
            try {
                file_ = std::make_unique<TFileStream>(path, TFileMode::fmOpenRead);
            } catch (const EFileOpenError& e) {
                if (!TDeferredCommits::MakeRoomForDescriptor(e.Code(), attempt)) throw;
            }
        }
    }
    if (!file_->CanSeek()) {
        // Only the start for now: the rest is read once the size its header declares is admitted
        // by the budget, and no further than that size can need.
        uint8_t head[HeadBytes];
        int64_t got = 0;
        while (got < static_cast<int64_t>(sizeof head)) {
            const int64_t n = file_->Read(head + got, static_cast<int64_t>(sizeof head) - got);
            if (n <= 0) break;
            got += n;
        }
        memory_ = std::make_unique<TMemoryStream>();
        memory_->WriteBuffer(head, got);
        memory_->SetPosition(0);
    }
}

int64_t TInput::PipeLimit(TPictureKind kind)
{
    const auto [width, height] = kind == TPictureKind::Unknown ? std::pair<int64_t, int64_t>{0, 0} : DeclaredSize(kind);
    // A start that declares no picture is read only as far as a reader needs to say what is wrong.
    if (width <= 0 || height <= 0 || width > MaxPicturePixels() || height > MaxPicturePixels()) return int64_t{1} << 20;
    // 16-bit RGBA stored without compression is the most a picture's data takes; the rest leaves
    // room for the chunks or headers around it.
    return std::min(width * height, MaxPicturePixels()) * 8 + height * 8 + (int64_t{16} << 20);
}

void TInput::ReadRest(TPictureKind kind)
{
    if (!memory_ || !file_) return;
    const int64_t limit = PipeLimit(kind);
    TMemoryStream rest;
    const int64_t head = memory_->Size();
    const bool whole = rest.LoadFromStream(*file_, limit - head);
    file_.reset();
    if (!whole)
        throw EReadError(msg::ReadError, "the input goes on past " + std::to_string(limit) +
                                             " bytes, more than the picture its header declares can need");
    memory_->SetPosition(head);
    memory_->WriteBuffer(rest.Memory(), rest.Size());
    memory_->SetPosition(0);
}

TStream& TInput::Stream()
{
    if (memory_) return *memory_;
    return *file_;
}

TPictureKind TInput::Kind(TPictureKind byName)
{
    if (byName != TPictureKind::Unknown) return byName;
    return Peek([](TStream& stream) {
        uint8_t head[HeadBytes] = {};
        const int64_t got = stream.Read(head, sizeof head);
        return KindOfFirstBytes(head, static_cast<size_t>(std::max<int64_t>(got, 0)));
    });
}

std::pair<int64_t, int64_t> TInput::DeclaredSize(TPictureKind kind)
{
    return Peek([kind](TStream& stream) {
        uint8_t head[HeadBytes] = {};
        const int64_t got = stream.Read(head, sizeof head);
        return FormatOf(kind).DeclaredSize(head, static_cast<size_t>(std::max<int64_t>(got, 0)));
    });
}

int64_t TInput::CheckDeclaredSize(TPictureKind kind)
{
    const auto [width, height] = DeclaredSize(kind);
    const int64_t limit = MaxPicturePixels();
    if (width <= 0 || height <= 0) return 0;
    if (width <= limit && height <= limit && width * height <= limit) return width * height;
    throw EInvalidGraphic(FormatOf(kind).SizeRefusal,
                          "the picture declares " + std::to_string(width) + " x " + std::to_string(height) + " = " +
                              std::to_string(width * height) + " pixels, more than the limit of " +
                              std::to_string(limit) + " pixels (--max-pixels)");
}

int64_t TInput::MemoryBytes(TPictureKind kind)
{
    if (!memory_) return 0;
    return file_ ? PipeLimit(kind) : memory_->Size();
}

TStream& TInput::Whole(TPictureKind kind)
{
    ReadRest(kind);
    TStream& stream = Stream();
    stream.SetPosition(0);
    return stream;
}

void TInput::Load(TPictureKind kind, TPictureData& data, TVRQPNGFileFacts* pngFacts, TLoadOptions options)
{
    TStream& stream = Whole(kind);
    // A BMP cut short is refused here rather than written out with black rows.
    options.Truncated = TTruncatedPixels::Refuse;
    LoadWholePicture(stream, kind, data, pngFacts, options);
}

} // namespace tintabrel::cli
