#include "app/cli/Inputs.h"

#include "base/Exceptions.h"
#include "png/VRQPNGReadStream.h"

#include <cstring>
#include <unistd.h>

namespace tintabrel::cli {

TPictureKind KindOfFirstBytes(const uint8_t* bytes, size_t count)
{
    if (count >= 8 && std::memcmp(bytes, "\x89PNG\r\n\x1a\n", 8) == 0) return TPictureKind::Png;
    if (count >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return TPictureKind::Bmp;
    return TPictureKind::Unknown;
}

// An estimate, on the high side: the picture as read (up to 32 bits), the 8-bit alpha, the 24-bit
// result and the writer's 24-bit copy.
int64_t WorkingBytes(int64_t pixels) { return pixels * 16; }

TInput::TInput(const std::string& path)
{
    if (IsStandardStream(path)) {
        const int fd = ::dup(STDIN_FILENO);
        if (fd < 0) throw EFOpenError(msg::FileOpen("standard input"));
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
        uint8_t head[8] = {};
        const int64_t got = stream.Read(head, sizeof head);
        return KindOfFirstBytes(head, static_cast<size_t>(got));
    });
}

int64_t TInput::DeclaredPixels(TPictureKind kind)
{
    return Peek([kind](TStream& stream) -> int64_t {
        try {
            if (kind == TPictureKind::Png) {
                TVRQPNGReadStream reader;
                reader.StopAfterHeader = true;
                reader.ReadFromStream(nullptr, stream, 0);
                if (reader.Width > 0 && reader.Height > 0) return int64_t{reader.Width} * reader.Height;
            } else if (kind == TPictureKind::Bmp) {
                const TBitmapInfoHeader header = ReadBmpHeader(stream);
                return int64_t{header.biWidth} * (header.biHeight < 0 ? -int64_t{header.biHeight} : header.biHeight);
            }
        } catch (const Exception&) {
            // refused by the reader: loading reports it
        }
        return 0;
    });
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
