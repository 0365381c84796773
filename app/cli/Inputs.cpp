#include "app/cli/Inputs.h"

#include "base/Exceptions.h"
#include "app/PictureFormats.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <unistd.h>

namespace tintabrel::cli {


// An estimate, on the high side: the picture as read (up to 32 bits), the 8-bit alpha, the 24-bit
// result and the writer's 24-bit copy.
int64_t WorkingBytes(int64_t pixels) { return pixels * 16; }

TInput::TInput(const std::string& path)
{
    if (IsStandardStream(path)) {
        const int fd = ::dup(STDIN_FILENO);
        if (fd < 0) throw EFileOpenError("standard input", errno);
        file_ = std::make_unique<TFileStream>(fd, "standard input");
    } else {
        file_ = std::make_unique<TFileStream>(path, TFileMode::fmOpenRead);
    }
    if (!file_->CanSeek()) {
        memory_ = std::make_unique<TMemoryStream>();
        ReadWholeInput(*file_, *memory_);
        file_.reset();
    }
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

int64_t TInput::DeclaredPixels(TPictureKind kind)
{
    const auto [width, height] = DeclaredSize(kind);
    const int64_t limit = MaxPicturePixels();
    return width > 0 && height > 0 && width <= limit && height <= limit ? width * height : 0;
}

void TInput::CheckDeclaredSize(TPictureKind kind)
{
    const auto [width, height] = DeclaredSize(kind);
    const int64_t limit = MaxPicturePixels();
    if (width <= 0 || height <= 0 || (width <= limit && height <= limit && width * height <= limit)) return;
    throw EInvalidGraphic(FormatOf(kind).SizeRefusal,
                          "the picture declares " + std::to_string(width) + " x " + std::to_string(height) + " = " +
                              std::to_string(width * height) + " pixels, more than the limit of " +
                              std::to_string(limit) + " pixels (--max-pixels)");
}

int64_t TInput::MemoryBytes() const { return memory_ ? memory_->Size() : 0; }

void TInput::Load(TPictureKind kind, TPictureData& data, TVRQPNGFileFacts* pngFacts, TLoadOptions options)
{
    TStream& stream = Stream();
    stream.SetPosition(0);
    // A BMP cut short is refused here rather than written out with black rows.
    options.Truncated = TTruncatedPixels::Refuse;
    LoadPicture(stream, kind, data, pngFacts, options);
    // The reader takes a file that ends before its image data as an empty picture; written out,
    // it would replace a sprite by nothing without a word.
    if (data.Image.Empty() || data.Image.Width() == 0 || data.Image.Height() == 0)
        throw EInvalidGraphic("no picture in the file (it is empty or ends before its image data)");
}

} // namespace tintabrel::cli
