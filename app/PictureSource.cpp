#include "app/PictureSource.h"

#include "app/SafeFile.h"
#include "base/Exceptions.h"

#include <algorithm>
#include <vector>
#include <cerrno>
#include <unistd.h>

namespace tintabrel {

namespace {

// Of a pipe, this much is read before anything else: enough for every format's header (a PNG's
// chunks before its image data usually), little enough to cost nothing.
constexpr int64_t PipeHeadBytes = 64 << 10;
// A pipe is read in steps of this size, each step looking whether the picture is whole.
constexpr int64_t PipeStepBytes = 1 << 20;

// Appends up to count bytes of source to memory; false when the source ended first.
bool Append(TStream& source, TMemoryStream& memory, int64_t count)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(count, int64_t{1} << 20)));
    memory.SetPosition(memory.Size());
    while (count > 0) {
        const int64_t n = source.Read(buffer.data(), std::min<int64_t>(count, static_cast<int64_t>(buffer.size())));
        if (n <= 0) return false;
        memory.WriteBuffer(buffer.data(), n);
        count -= n;
    }
    return true;
}

std::string SizeText(int64_t width, int64_t height)
{
    return std::to_string(width) + " x " + std::to_string(height) + " = " + std::to_string(width * height) + " pixels";
}

} // namespace

// An estimate, on the high side: the picture as read (up to 32 bits), the 8-bit alpha, the 24-bit
// result and the writer's 24-bit copy, 16 bytes a pixel. The optimizer's trials run side by side
// on the file's threads, each with encodings of its own (measured: 48 bytes a pixel on 8 threads);
// compressing in segments holds a few segments per thread.
int64_t WorkingBytes(int64_t pixels, const TPNGSaveOptions& png)
{
    const int64_t threads = std::max(1u, png.Threads);
    int64_t bytes = pixels * 16;
    if (png.Optimize) {
        // The optimizer's layouts of the picture, the finalists' filtered rows, the optimized and
        // the plain file in memory (up to 24 bytes a pixel, measured on photos), and each more
        // trial thread's filtered and compressed rows; each thread's compressors take about 16 MB.
        bytes += pixels * (24 + 8 * (threads - 1)) + threads * (int64_t{16} << 20);
    }
    if (threads > 1 && pixels > (int64_t{1} << 20)) bytes += threads * (int64_t{24} << 20);
    return bytes;
}

std::string NotAPictureText()
{
    return "not a " + JoinedFormats(FormatName, false, ", ", " or ") + " file (neither by its name nor by its first bytes)";
}

TPictureSource::TPictureSource(const std::string& path) : name_(path)
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
    if (!file_->CanSeek()) ReadHead();
}

TPictureSource::TPictureSource(TStream& stream, std::string name) : name_(std::move(name)), given_(&stream) {}

TPictureSource::~TPictureSource() = default;

void TPictureSource::ReadHead()
{
    // Only the start for now: the rest is read once the size its header declares is admitted by
    // the budget, and no further than that size can need.
    memory_ = std::make_unique<TMemoryStream>();
    pipeOpen_ = Append(*file_, *memory_, PipeHeadBytes);
    if (!pipeOpen_) file_.reset(); // all of it is here
    memory_->SetPosition(0);
}

TStream& TPictureSource::Stream()
{
    if (memory_) return *memory_;
    if (given_) return *given_;
    return *file_;
}

TPictureKind TPictureSource::Kind(TPictureKind byName)
{
    if (kindSettled_) return kind_;
    TStream& stream = Stream();
    stream.SetPosition(0);
    uint8_t head[HeadBytes] = {};
    const int64_t got = stream.Read(head, sizeof head);
    stream.SetPosition(0);
    kind_ = KindOfFirstBytes(head, static_cast<size_t>(std::max<int64_t>(got, 0)));
    if (!kind_) kind_ = byName;
    kindSettled_ = true;
    return kind_;
}

TPictureKind TPictureSource::RequireKind(TPictureKind byName)
{
    const TPictureKind kind = Kind(byName);
    if (!kind) throw EInvalidGraphic(NotAPictureText());
    return kind;
}

const TPictureHeader& TPictureSource::Header()
{
    const bool whole = !pipeOpen_;
    if (header_ && (headerWhole_ || !whole)) return *header_;
    const TPictureKind kind = RequireKind();
    TStream& stream = Stream();
    stream.SetPosition(0);
    const TScopeGuard rewind([&stream] { stream.SetPosition(0); });
    TPictureHeader header;
    try {
        kind->ReadHeader(stream, header);
    } catch (const Exception&) {
        // Of a pipe's start, a header cut short may look broken: the whole input says.
        if (whole) throw;
        header = TPictureHeader{};
    }
    header_ = std::move(header);
    headerWhole_ = whole;
    return *header_;
}

int64_t TPictureSource::Check(const TSourceLimits& limits, TTruncatedPixels truncated)
{
    const TPictureHeader& h = Header();
    const TPictureKind kind = RequireKind();
    const int64_t limit = limits.Pixels();
    const auto refuse = [&](const std::string& cause) {
        throw EInvalidGraphic(kind->SizeRefusal, cause);
    };
    if (h.Width > 0 && h.Height > 0 && (h.Width > limit || h.Height > limit || h.Pixels() > limit))
        refuse("the picture declares " + SizeText(h.Width, h.Height) + ", more than the limit of " +
               std::to_string(limit) + " pixels (--max-pixels)");
    for (size_t i = 0; i < h.FrameList.size(); ++i) {
        const TFrameHeader& f = h.FrameList[i];
        if (f.Width > limit || f.Height > limit || f.Width * f.Height > limit)
            refuse("frame " + std::to_string(i + 1) + " declares " + SizeText(f.Width, f.Height) +
                   ", more than the limit of " + std::to_string(limit) + " pixels (--max-pixels)");
    }
    if (h.Frames > limits.Animation.Frames())
        refuse("the animation declares " + std::to_string(h.Frames) + " frames, more than the limit of " +
               std::to_string(limits.Animation.Frames()));
    if (h.Frames > 1 && h.AllPixels() > limits.Animation.TotalPixels())
        refuse("the animation's " + std::to_string(h.Frames) + " frames declare " + std::to_string(h.AllPixels()) +
               " pixels in all, more than the limit of " + std::to_string(limits.Animation.TotalPixels()));
    // A file that could not hold half of the rows it declares is a hostile one, not a cut one:
    // refused before anything is sized for it (a cut file with most rows still loads).
    if (truncated == TTruncatedPixels::ReadAsZero && h.Uncompressed && h.DataNeeded > 0 && h.DataPresent >= 0 &&
        h.DataPresent < h.DataNeeded / 2)
        throw EInvalidGraphic("ファイル " + name_ + " は画像の大きさ(" + std::to_string(h.Width) + "x" +
                                  std::to_string(h.Height) + ")に対して画素のデータが足りないため読み込めません",
                              "the file holds " + std::to_string(h.DataPresent) + " of the " +
                                  std::to_string(h.DataNeeded) + " bytes of pixel data its " +
                                  SizeText(h.Width, h.Height) + " need, less than half");
    return h.AllPixels();
}

int64_t TPictureSource::PipeLimit()
{
    const TPictureHeader& h = Header();
    const int64_t width = h.Width, height = h.Height;
    // A start that declares no picture is read only as far as a reader needs to say what is wrong.
    if (width <= 0 || height <= 0 || width > MaxPicturePixels() || height > MaxPicturePixels()) return int64_t{1} << 20;
    // 16-bit RGBA stored without compression is the most a picture's data takes; the rest leaves
    // room for the chunks or headers around it. Every frame of an animation counts: those its
    // start does not list yet as large as the canvas, and when it cannot tell how many come, as
    // many as an animation may hold.
    const int64_t most = MaxPicturePixels() * 64;
    const int64_t canvas = std::min(width * height, most);
    int64_t pixels = std::min(std::max(h.AllPixels(), canvas), most);
    const int64_t frames = std::min(h.Frames, TAnimationLimits{}.Frames());
    if (frames > static_cast<int64_t>(h.FrameList.size()))
        pixels = std::max(pixels, canvas > most / frames ? most : canvas * frames);
    if (h.FramesToCome) pixels = std::max(pixels, std::min(TAnimationLimits{}.TotalPixels(), most));
    return pixels * 8 + height * 8 + (int64_t{16} << 20);
}

int64_t TPictureSource::MemoryBytes()
{
    if (!memory_) return 0;
    return pipeOpen_ ? PipeLimit() : memory_->Size();
}

int64_t TPictureSource::NeedBytes(const TPNGSaveOptions& png)
{
    const TPictureHeader& h = Header();
    return WorkingBytes(std::max(h.AllPixels(), h.Pixels()), png) + MemoryBytes();
}

void TPictureSource::CheckMemory(int64_t budget, const TPNGSaveOptions& png, int64_t heldBytesPerPixel)
{
    const TPictureHeader& h = Header();
    const int64_t pixels = std::max(h.AllPixels(), h.Pixels());
    const int64_t need = NeedBytes(png) + pixels * heldBytesPerPixel;
    if (pixels > 0 && need > budget)
        throw EOutOfResources("画像が大きすぎます(" + std::to_string(h.Width) + "x" + std::to_string(h.Height) +
                                  ")。このコンピュータのメモリでは読み込めません",
                              "the picture of " + SizeText(h.Width, h.Height) + " needs about " +
                                  std::to_string(need >> 20) + " MiB, more than the " + std::to_string(budget >> 20) +
                                  " MiB this program may use");
}

void TPictureSource::ReadRest()
{
    if (!pipeOpen_) return;
    const int64_t limit = PipeLimit();
    const TPictureKind kind = Kind();
    // Step by step, so that a whole picture followed by more data stops the reading there: what
    // follows a picture is not needed, from a pipe as from a file.
    for (;;) {
        if (kind && kind->PictureBytes &&
            kind->PictureBytes(memory_->Memory(), static_cast<size_t>(memory_->Size())) >= 0)
            break;
        if (memory_->Size() >= limit) {
            uint8_t probe = 0;
            if (file_->Read(&probe, 1) <= 0) break;
            throw EReadError(msg::ReadError, "the input goes on past " + std::to_string(limit) +
                                                 " bytes, more than the picture its header declares can need");
        }
        if (!Append(*file_, *memory_, std::min(PipeStepBytes, limit - memory_->Size()))) break;
    }
    file_.reset();
    memory_->SetPosition(0);
    pipeOpen_ = false;
}

TStream& TPictureSource::Whole()
{
    ReadRest();
    TStream& stream = Stream();
    stream.SetPosition(0);
    return stream;
}

void TPictureSource::Load(TPictureData& data, const TLoadOptions& options)
{
    TStream& stream = Whole();
    const TPictureKind kind = RequireKind();
    kind->Load(stream, data, options);
    if (data.Image.Empty() || data.Image.Width() == 0 || data.Image.Height() == 0) {
        const std::string& problem = Header().Problem;
        throw EInvalidGraphic(problem.empty() ? std::string(NoPictureInFile) : problem);
    }
}

} // namespace tintabrel
