#include "app/cli/Inputs.h"

#include "base/Exceptions.h"
#include "png/VRQPNGReadStream.h"

#include <cstdlib>
#include <cstring>
#include <utility>
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

void TInput::CheckDeclaredSize(TPictureKind kind)
{
    // Width and height as the header's bytes give them, before any reader refuses them.
    const auto [width, height] = Peek([kind](TStream& stream) -> std::pair<int64_t, int64_t> {
        uint8_t head[26] = {};
        const int64_t got = stream.Read(head, sizeof head);
        const auto be32 = [&](int at) {
            return int64_t{head[at]} << 24 | int64_t{head[at + 1]} << 16 | int64_t{head[at + 2]} << 8 | head[at + 3];
        };
        const auto le32 = [&](int at) {
            return static_cast<int64_t>(static_cast<int32_t>(uint32_t{head[at]} | uint32_t{head[at + 1]} << 8 |
                                                             uint32_t{head[at + 2]} << 16 | uint32_t{head[at + 3]} << 24));
        };
        if (kind == TPictureKind::Png && got >= 24 && std::memcmp(head + 12, "IHDR", 4) == 0) return {be32(16), be32(20)};
        // The 40-byte and later headers; the 12-byte core header's 16-bit sizes cannot exceed the limit.
        if (kind == TPictureKind::Bmp && got >= 26 && le32(14) >= 40) return {le32(18), std::abs(le32(22))};
        return {0, 0};
    });
    const int64_t limit = MaxPicturePixels();
    if (width <= 0 || height <= 0 || (width <= limit && height <= limit && width * height <= limit)) return;
    const std::string detail = "the picture declares " + std::to_string(width) + " x " + std::to_string(height) +
                               " = " + std::to_string(width * height) + " pixels, more than the limit of " +
                               std::to_string(limit) + " pixels (--max-pixels)";
    if (kind == TPictureKind::Png) throw EInvalidGraphic(pngmsg::ErrorSize, detail);
    throw EInvalidGraphic(msg::InvalidBitmap, detail);
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
