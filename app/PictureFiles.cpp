#include "app/PictureFiles.h"

#include "base/Exceptions.h"
#include "png/SFunc.h"
#include "png/VRQPNG.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <cstdio>
#include <cstdlib>
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

void LoadPicture(const std::string& path, TPictureKind kind, TPictureData& data, TTruncatedPixels truncated)
{
    TBitmap image, alpha;
    if (kind == TPictureKind::Png) {
        TVRQPNG png;
        png.LoadFromFile(path);
        image.Assign(png.ActiveBitmap());
        if (png.UseAlpha && !png.ActiveAlphaBitmap().Empty())
            alpha.Assign(png.ActiveAlphaBitmap());
        else if (png.TransparentColor != -1 && !image.Empty())
            AlphaFromTransparentColor(image, png.TransparentColor, alpha);
    } else if (kind == TPictureKind::Bmp) {
        image.TruncatedPixels = truncated;
        image.LoadFromFile(path);
    } else {
        throw std::invalid_argument("LoadPicture: unknown picture kind");
    }
    data.Image.Assign(image);
    data.Alpha.Assign(alpha);
}

void SavePicture(const std::string& path, TPictureKind kind, const TBitmap& image, const TBitmap& alpha,
                 const TPNGSaveOptions& options, bool replaceExisting)
{
    if (kind == TPictureKind::Unknown) throw std::invalid_argument("SavePicture: unknown picture kind");
    TSafeFileWriter writer(path);
    if (kind == TPictureKind::Bmp) {
        image.SaveToStream(writer.Stream());
    } else {
        TVRQPNG png;
        png.FilterMode = static_cast<uint8_t>(options.FilterMode);
        png.CompressionLevel = options.CompressionLevel;
        png.Interlace = options.Interlace;
        const bool withAlpha = !alpha.Empty() && alpha.Width() == image.Width() && alpha.Height() == image.Height();
        if (withAlpha && FactsOf(image.PixelFormat()).Indexed) {
            // A palette image carries no alpha plane; written as 24-bit, nothing is lost.
            TBitmap full;
            full.Assign(image);
            full.SetPixelFormat(TPixelFormat::pf24bit);
            png.Assign(full);
        } else {
            png.Assign(image);
        }
        if (withAlpha) {
            png.AlphaBitmap->Assign(alpha);
            png.AlphaBitmap->SetPixelFormat(TPixelFormat::pf8bit);
            png.UseAlpha = true;
        }
        png.SaveToStream(writer.Stream());
    }
    writer.Commit(replaceExisting);
}

TSafeFileWriter::TSafeFileWriter(const std::string& target) : target_(target)
{
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = folder + "." + name + ".tmp-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw EFCreateError(msg::FileCreate(target));
    ::close(fd);
    temp_ = pattern;
    // The finished file gets the permissions a newly created file would have, or the old file's.
    struct stat st{};
    mode_t mode;
    if (::stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::chmod(temp_.c_str(), mode);
    try {
        file_ = std::make_unique<TFileStream>(temp_, TFileMode::fmCreate);
    } catch (const EFCreateError&) {
        ::unlink(temp_.c_str());
        throw EFCreateError(msg::FileCreate(target));
    }
}

TSafeFileWriter::~TSafeFileWriter()
{
    file_.reset();
    if (!committed_) ::unlink(temp_.c_str());
}

void TSafeFileWriter::Commit(bool replaceExisting)
{
    file_->Sync();
    file_.reset();
    if (replaceExisting) {
        if (std::rename(temp_.c_str(), target_.c_str()) != 0) throw EWriteError(msg::WriteError);
    } else if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) throw EFCreateError(msg::FileCreate(target_));
        // File systems without the no-replace rename: a hard link fails the same way on an existing name.
        if (::link(temp_.c_str(), target_.c_str()) != 0) {
            if (errno == EEXIST) throw EFCreateError(msg::FileCreate(target_));
            throw EWriteError(msg::WriteError);
        }
        ::unlink(temp_.c_str());
    }
    committed_ = true;
}

} // namespace tintabrel
