#include "app/PictureFiles.h"
#include "base/TaskPool.h"

#include "base/Exceptions.h"
#include "png/PngOptimize.h"
#include "png/SFunc.h"
#include "recolour/PaletteRecolour.h"
#include "png/VRQPNG.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <cerrno>
#include <stdexcept>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tintabrel {

std::string ExtractExtension(const std::string& path)
{
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos) return {};
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && dot < slash) return {};
    return path.substr(dot);
}

TPictureKind KindOfExtension(const std::string& extension, bool exactCase)
{
    std::string ext = extension;
    if (!exactCase)
        for (char& c : ext) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    if (ext == ".png") return TPictureKind::Png;
    if (ext == ".bmp") return TPictureKind::Bmp;
    return TPictureKind::Unknown;
}

namespace {

// An 8-bit picture of the given size, all opaque, with the grey palette the reader gives its
// alpha planes.
void MakeOpaqueAlpha(TBitmap& alpha, int32_t width, int32_t height)
{
    TRGBQuad grey[256];
    const int32_t count = MakeGreyPalette(grey, 8);
    alpha.Clear();
    alpha.SetPixelFormat(TPixelFormat::pf8bit);
    alpha.SetPalette(CreatePaletteFromQuads(grey, count));
    alpha.SetSize(width, height);
    for (int32_t y = 0; y < height; ++y) std::fill_n(alpha.ScanLine(y), width, uint8_t{0});
}

// A single transparent palette index or colour becomes alpha 0 on the pixels that have it, so
// that it survives recolouring (which may change that colour) and saving.
void AlphaFromTransparentColor(const TBitmap& image, TColor transparent, TBitmap& alpha)
{
    const int32_t w = image.Width(), h = image.Height();
    MakeOpaqueAlpha(alpha, w, h);
    const bool byIndex = (static_cast<uint32_t>(transparent) & 0xFF000000u) == 0x01000000u;
    const TPixelFormatFacts& format = FactsOf(image.PixelFormat());
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* out = alpha.ScanLine(y);
        if (byIndex && format.Indexed) {
            const uint8_t* row = image.ConstScanLine(y);
            const int index = transparent & 0xFF;
            for (int32_t x = 0; x < w; ++x)
                if (GetPackedIndex(row, format.Bits, x) == index) out[x] = 255;
        } else if (!byIndex) {
            const TColor colour = transparent & 0xFFFFFF;
            for (int32_t x = 0; x < w; ++x)
                if (image.Pixel(x, y) == colour) out[x] = 255;
        }
    }
}

} // namespace

void ReadWholeInput(TStream& source, TMemoryStream& memory)
{
    // 16-bit RGBA stored without compression is the largest a picture's data gets; the rest
    // leaves room for the chunks or headers around it.
    const int64_t limit = MaxPicturePixels() * 8 + (int64_t{16} << 20);
    if (!memory.LoadFromStream(source, limit))
        throw EReadError("more than " + std::to_string(limit) + " bytes, more than any picture of at most " +
                         std::to_string(MaxPicturePixels()) + " pixels needs");
}

void LoadPicture(const std::string& path, TPictureKind kind, TPictureData& data, TVRQPNGFileFacts* pngFacts,
                 const TLoadOptions& options)
{
    TFileStream file(path, TFileMode::fmOpenRead);
    if (file.CanSeek()) {
        LoadPicture(file, kind, data, pngFacts, options);
        return;
    }
    TMemoryStream memory;
    ReadWholeInput(file, memory);
    LoadPicture(memory, kind, data, pngFacts, options);
}

void LoadPicture(TStream& stream, TPictureKind kind, TPictureData& data, TVRQPNGFileFacts* pngFacts,
                 const TLoadOptions& options)
{
    TBitmap image, alpha;
    int32_t paletteBits = 0;
    std::vector<uint8_t> indexAlpha;
    if (kind == TPictureKind::Png) {
        TVRQPNG png;
        png.Threads = static_cast<int32_t>(options.Threads);
        png.OnImageStart = options.OnImageStart;
        png.OnRowsStored = options.OnRowsStored;
        png.LoadFromStream(stream);
        image.Assign(png.ActiveBitmap());
        if (png.UseAlpha && !png.ActiveAlphaBitmap().Empty())
            alpha.Assign(png.ActiveAlphaBitmap());
        else if (png.TransparentColor != -1 && !image.Empty())
            AlphaFromTransparentColor(image, png.TransparentColor, alpha);
        if (pngFacts) *pngFacts = png.FileFacts;
        // Grey files become palette pictures too, with a palette of their own making.
        if (IsPalettePicture(image) && !png.Grayscale) {
            paletteBits = png.BitsPerPixel;
            indexAlpha = png.IndexAlpha;
        }
    } else if (kind == TPictureKind::Bmp) {
        image.TruncatedPixels = options.Truncated;
        image.LoadFromStream(stream);
        if (IsPalettePicture(image)) paletteBits = image.Image()->Header.biBitCount;
    } else {
        throw std::invalid_argument("LoadPicture: unknown picture kind");
    }
    data.Image.Assign(image);
    data.Alpha.Assign(alpha);
    data.PaletteBits = paletteBits;
    data.IndexAlpha = std::move(indexAlpha);
}

namespace {

void TakeEncoding(TVRQPNG& png, const TPNGSaveOptions& options)
{
    png.FilterMode = static_cast<uint8_t>(options.FilterMode);
    png.CompressionLevel = options.CompressionLevel;
    png.Interlace = options.Interlace;
    png.Threads = static_cast<int32_t>(options.Threads);
    png.UseCurrentTime = options.Time == TPngTimeSource::Now;
    png.Clock = options.Clock;
    png.TimeStamp = options.Time == TPngTimeSource::Fixed ? options.FixedTime : TVRQPNGTime{};
    png.Strip = options.Strip;
}

} // namespace

void WritePngAsRowsArrive(TStream& stream, const TBitmap& image, const TBitmap* alpha, const TPNGSaveOptions& options,
                          const TRowGate& rows)
{
    if (image.PixelFormat() != TPixelFormat::pf24bit || options.Optimize)
        throw std::invalid_argument("WritePngAsRowsArrive: a 24-bit picture, not optimised");
    // As WritePicturePng writes such a picture, but from the bitmaps where they lie: sharing their
    // pixels would make the decoder still storing rows copy them away.
    TVRQPNG png;
    TakeEncoding(png, options);
    png.LinkedBitmap = const_cast<TBitmap*>(&image);
    if (alpha && !alpha->Empty() && alpha->Width() == image.Width() && alpha->Height() == image.Height() &&
        alpha->PixelFormat() == TPixelFormat::pf8bit) {
        png.LinkedAlphaBitmap = const_cast<TBitmap*>(alpha);
        png.UseAlpha = true;
    }
    png.SourceRows = &rows;
    png.SaveToStream(stream);
}

void WritePicturePng(TStream& stream, const TPictureData& data, const TPNGSaveOptions& options)
{
    const TBitmap& image = data.Image;
    const TBitmap& alpha = data.Alpha;
    const bool withAlpha = !alpha.Empty() && alpha.Width() == image.Width() && alpha.Height() == image.Height();
    const TBitmap none;
    if (options.Optimize && image.Width() > 0 && image.Height() > 0) {
        TPngOptimizeOptions optimize;
        optimize.Threads = options.Threads;
        optimize.KeepPalette = data.PaletteBits != 0;
        optimize.TrueColour = options.TrueColourOnly;
        optimize.IndexAlpha = data.IndexAlpha;
        optimize.Chunks = options;
        // The plain save competes, unless it would write a palette where only RGB or RGBA may go.
        if (!options.TrueColourOnly || !IsPalettePicture(image))
            optimize.PlainSave = [&](TStream& plainStream) {
                TPNGSaveOptions plain = options;
                plain.Optimize = false;
                WritePicturePng(plainStream, data, plain);
            };
        WriteOptimizedPng(stream, image, withAlpha ? alpha : none, optimize);
        return;
    }

    std::optional<std::vector<uint8_t>> indexAlpha;
    if (IsPalettePicture(image)) {
        const std::optional<TPalette> palette = image.Palette();
        const int32_t count = palette ? palette->Count() : 0;
        indexAlpha = IndexAlphaOf(image, withAlpha ? alpha : none, data.IndexAlpha, count);
        // The writer has no 2-bit rows; a 2-bit file keeps its depth through the raster writer.
        TPngRaster raster;
        if (indexAlpha && data.PaletteBits == 2 && !options.Interlace &&
            KeptPaletteRaster(image, withAlpha ? alpha : none, data.IndexAlpha, 2, raster) && raster.BitDepth == 2) {
            WritePngRaster(stream, raster,
                           ZlibCompress(FilterRaster(raster, FilterRuleOfMode(options.FilterMode)), options.CompressionLevel),
                           options);
            return;
        }
    }

    TVRQPNG png;
    TakeEncoding(png, options);
    if (indexAlpha) {
        // Alpha per index: a palette with tRNS holds it exactly.
        png.Assign(image);
        png.IndexAlpha = std::move(*indexAlpha);
    } else if (withAlpha && IsPalettePicture(image)) {
        // Pixels of one index that differ in alpha: written as 24-bit, nothing is lost.
        TBitmap full;
        full.Assign(image);
        full.SetPixelFormat(TPixelFormat::pf24bit);
        png.Assign(full);
    } else {
        png.Assign(image);
    }
    if (withAlpha && !indexAlpha) {
        png.AlphaBitmap->Assign(alpha);
        png.AlphaBitmap->SetPixelFormat(TPixelFormat::pf8bit);
        png.UseAlpha = true;
    }
    png.SaveToStream(stream);
}

void SavePicture(const std::string& path, TPictureKind kind, const TPictureData& data, const TPNGSaveOptions& options,
                 bool replaceExisting)
{
    if (kind == TPictureKind::Unknown) throw std::invalid_argument("SavePicture: unknown picture kind");
    TSafeFileWriter writer(path);
    SavePicture(writer.Stream(), kind, data, options);
    writer.Commit(replaceExisting);
}

void SavePicture(TStream& stream, TPictureKind kind, const TPictureData& data, const TPNGSaveOptions& options)
{
    if (kind == TPictureKind::Unknown) throw std::invalid_argument("SavePicture: unknown picture kind");
    if (kind == TPictureKind::Bmp) data.Image.SaveToStream(stream);
    else WritePicturePng(stream, data, options);
}

void SavePicture(const std::string& path, TPictureKind kind, const TBitmap& image, const TBitmap& alpha,
                 const TPNGSaveOptions& options, bool replaceExisting)
{
    TPictureData data;
    data.Image.Assign(image);
    data.Alpha.Assign(alpha);
    SavePicture(path, kind, data, options, replaceExisting);
}

namespace {

// The temporary files in progress, so that a program ending at once can remove them all.
struct TTemporaryFiles {
    std::mutex Mutex;
    std::multiset<std::string> Names;
    bool Abandoned = false;
};

TTemporaryFiles& Temporaries()
{
    static TTemporaryFiles files;
    return files;
}

void Forget(const std::string& temp)
{
    TTemporaryFiles& files = Temporaries();
    std::lock_guard lock(files.Mutex);
    const auto it = files.Names.find(temp);
    if (it != files.Names.end()) files.Names.erase(it);
}

std::atomic<TDeferredCommits*> g_deferred{nullptr};

// At most this many bytes of the target's name go into the temporary name, cut at a character
// boundary: with ".", ".tmp-" and six letters it stays far below any name limit.
constexpr size_t NameBytesKept = 32;

// Syncs of a deferred batch waiting at the same time.
constexpr size_t SyncThreads = 16;

std::string TemporaryName(const std::string& folder, const std::string& name)
{
    size_t keep = std::min(name.size(), NameBytesKept);
    while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // Seeded once per thread: a random device made per name cost more than the rest of a sprite's
    // name and file creation (a clash is harmless anyway: the file is created exclusively).
    thread_local std::mt19937 random{std::random_device{}()};
    std::string suffix;
    for (int k = 0; k < 6; ++k) suffix += letters[random() % (sizeof letters - 1)];
    return folder + "." + name.substr(0, keep) + ".tmp-" + suffix;
}

// Gives the finished temporary file the target's name.
void Publish(const std::string& temp, const std::string& target, bool replaceExisting)
{
    if (replaceExisting) {
        if (std::rename(temp.c_str(), target.c_str()) != 0) throw EFileWriteError(target, errno);
    } else if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) throw EFileCreateError(target, EEXIST);
        // File systems without the no-replace rename: a hard link fails the same way on an existing name.
        if (::link(temp.c_str(), target.c_str()) != 0) {
            if (errno == EEXIST) throw EFileCreateError(target, EEXIST);
            throw EFileWriteError(target, errno);
        }
        ::unlink(temp.c_str());
    }
}

} // namespace

// A finished temporary file waiting for its name; dropped unnamed, it is removed.
struct TSafeFileWriter::TPending {
    std::string Target;
    std::string Temp;
    std::unique_ptr<TFileStream> File;
    bool ReplaceExisting = true;
    bool Published = false;

    ~TPending()
    {
        if (Published) return;
        File.reset();
        ::unlink(Temp.c_str());
        Forget(Temp);
    }
};

TSafeFileWriter::TSafeFileWriter(const std::string& target) : target_(target)
{
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    int fd = -1;
    {
        // Created and recorded in one step, so that AbandonAll misses none.
        TTemporaryFiles& files = Temporaries();
        std::lock_guard lock(files.Mutex);
        if (files.Abandoned) throw EFileCreateError(target, EINTR);
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            temp_ = TemporaryName(folder, name);
            fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) throw EFileCreateError(target, errno);
        files.Names.insert(temp_);
    }
    // The finished file keeps the old file's permissions; a new one has those of any new file.
    struct stat st{};
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)::fchmod(fd, st.st_mode & 07777);
    file_ = std::make_unique<TFileStream>(fd, target);
    // A large file is on its way to the disk while it is written, not all at the commit's sync.
    file_->StartWritebackEvery(int64_t{8} << 20);
}

TSafeFileWriter::~TSafeFileWriter()
{
    file_.reset();
    if (!committed_) {
        ::unlink(temp_.c_str());
        Forget(temp_);
    }
}

void TSafeFileWriter::Commit(bool replaceExisting)
{
    TDeferredCommits* deferred = g_deferred.load();
    if (deferred) {
        // The data starts on its way to the disk now; Flush waits for it.
        file_->StartWriteback();
    } else {
        file_->Sync();
    }
    auto pending = std::make_unique<TPending>();
    pending->Target = target_;
    pending->Temp = temp_;
    pending->File = std::move(file_);
    pending->ReplaceExisting = replaceExisting;
    committed_ = true; // from here the pending commit owns the temporary file
    if (deferred) deferred->Add(std::move(pending));
    else Finish(*pending);
}

void TSafeFileWriter::Finish(TPending& pending)
{
    pending.File.reset();
    Publish(pending.Temp, pending.Target, pending.ReplaceExisting);
    pending.Published = true;
    Forget(pending.Temp);
}

void TSafeFileWriter::AbandonAll()
{
    TTemporaryFiles& files = Temporaries();
    std::lock_guard lock(files.Mutex);
    files.Abandoned = true;
    for (const std::string& name : files.Names) ::unlink(name.c_str());
    files.Names.clear();
}

TDeferredCommits::TDeferredCommits(size_t flushEvery) : flushEvery_(std::max<size_t>(1, flushEvery))
{
    TDeferredCommits* none = nullptr;
    if (!g_deferred.compare_exchange_strong(none, this)) throw std::logic_error("TDeferredCommits: one at a time");
}

TDeferredCommits::~TDeferredCommits() { g_deferred = nullptr; }

void TDeferredCommits::Add(std::unique_ptr<TSafeFileWriter::TPending> pending)
{
    bool full;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(pending));
        full = pending_.size() >= flushEvery_;
    }
    if (full) {
        std::vector<TFailure> failures = Flush();
        std::lock_guard lock(mutex_);
        failures_.insert(failures_.end(), failures.begin(), failures.end());
    }
}

std::vector<TDeferredCommits::TFailure> TDeferredCommits::Flush()
{
    std::vector<std::unique_ptr<TSafeFileWriter::TPending>> batch;
    std::vector<TFailure> failures;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
        failures.swap(failures_);
    }
    // Every file's data first, then the names. The syncs wait side by side: waiting mostly for
    // the disk, they cost no processor, and the file system's journal commits them together.
    std::vector<std::exception_ptr> errors(batch.size());
    RunTasks(batch.size(), SyncThreads, [&](size_t k) {
        try {
            batch[k]->File->Sync();
        } catch (...) {
            errors[k] = std::current_exception();
        }
    });
    for (size_t k = 0; k < batch.size(); ++k) {
        if (!errors[k]) continue;
        failures.push_back({batch[k]->Target, errors[k]});
        batch[k].reset();
    }
    for (auto& pending : batch) {
        if (!pending) continue;
        try {
            TSafeFileWriter::Finish(*pending);
        } catch (...) {
            failures.push_back({pending->Target, std::current_exception()});
        }
    }
    return failures;
}

} // namespace tintabrel
