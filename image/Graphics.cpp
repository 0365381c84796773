#include "image/Graphics.h"

#include <stdexcept>

#include "image/Canvas.h"
#include "base/Exceptions.h"
#include "image/PixelCodec.h"
#include "base/Streams.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace tintabrel {

namespace {

// A large pixel block is filled right after it is made (a decoder, the recolouring): with huge
// pages the kernel takes one fault per 2 MiB instead of one per 4 KiB, about a sixth of the
// time of reading a 4096 x 4096 PNG. Only the aligned interior is advised; the rest stays as is.
void AdviseHugePages(void* block, size_t bytes)
{
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t Huge = uintptr_t{1} << 21;
    if (bytes < 4 * Huge) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(block);
    const uintptr_t lo = (start + Huge - 1) & ~(Huge - 1);
    const uintptr_t hi = (start + bytes) & ~(Huge - 1);
    if (hi > lo) ::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE); // advice only: failure is harmless
#else
    (void)block;
    (void)bytes;
#endif
}

std::atomic<int64_t> g_maxPixels{int64_t{1} << 28};

TRGBQuad QuadOf(const TPaletteEntry& e) { return {e.peBlue, e.peGreen, e.peRed, 0}; }

std::vector<TRGBQuad> TableOf(const TPalette& p, size_t limit)
{
    std::vector<TRGBQuad> table;
    for (int i = 0; i < p.Count() && table.size() < limit; ++i) table.push_back(QuadOf(p[i]));
    return table;
}

std::vector<TRGBQuad> DefaultTable(int bits)
{
    if (bits == 1) return {{0, 0, 0, 0}, {255, 255, 255, 0}};
    return TableOf(bits == 4 ? StandardPalette16() : HalftonePalette(), size_t{1} << bits);
}

} // namespace

int64_t MaxPicturePixels() { return g_maxPixels.load(); }
void SetMaxPicturePixels(int64_t pixels) { g_maxPixels.store(pixels); }

int64_t CheckedRowStride(int64_t width, int64_t bits, int64_t height)
{
    if (width < 0 || height < 0 || bits <= 0 || bits > 64) return -1;
    if (width > MaxPicturePixels() || height > MaxPicturePixels()) return -1;
    if (width * height > MaxPicturePixels()) return -1;
    const int64_t stride = RowStride(width, bits);
    if (stride > INT32_MAX || stride * height > INT32_MAX) return -1;
    return stride;
}

// ---------------------------------------------------------------- TGraphic

void TGraphic::AssignTo(TGraphic& dest) const
{
    throw EConvertError(msg::CannotAssign(ClassName(), dest.ClassName()));
}

void TGraphic::Changed()
{
    Modified = true;
    if (OnChange) OnChange(*this);
}

void TGraphic::SetTransparent(bool value)
{
    if (value != transparent_) {
        transparent_ = value;
        Changed();
    }
}

void TGraphic::LoadFromFile(const std::string& path)
{
    TFileStream stream(path, TFileMode::fmOpenRead);
    LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& path) const
{
    TFileStream stream(path, TFileMode::fmCreate);
    SaveToStream(stream);
}

// ---------------------------------------------------------------- TBitmapImage

void TBitmapImage::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

void TBitmapImage::AllocatePixels()
{
    const int64_t stride = CheckedRowStride(Header.biWidth, Header.biBitCount, AbsHeight());
    if (stride < 0) throw EOutOfResources(msg::OutOfResources);
    const size_t bytes = static_cast<size_t>(stride) * static_cast<size_t>(AbsHeight());
    // calloc: large blocks come zeroed from the system without being touched.
    uint8_t* p = static_cast<uint8_t*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
    if (!p) throw EOutOfResources(msg::OutOfResources);
    AdviseHugePages(p, bytes);
    pixels_.reset(p);
    stride_ = static_cast<int32_t>(stride);
}

void TBitmapImage::FreePixels()
{
    pixels_.reset();
    stride_ = 0;
}

std::shared_ptr<TBitmapImage> TBitmapImage::Clone() const
{
    auto copy = std::make_shared<TBitmapImage>();
    copy->HasHeader = HasHeader;
    copy->DeviceForm = DeviceForm;
    copy->Header = Header;
    std::memcpy(copy->Masks, Masks, sizeof Masks);
    copy->ColorTable = ColorTable;
    copy->Palette = Palette;
    copy->SavedFileBytes = SavedFileBytes;
    copy->CoreHeader = CoreHeader;
    if (HasForm()) {
        copy->AllocatePixels();
        std::memcpy(copy->Pixels(), Pixels(), ImageBytes());
    }
    return copy;
}

TColor StorePixel(const TBitmapImage& image, int32_t x, int32_t y)
{
    const int bits = image.Header.biBitCount;
    if (IsIndexedBits(bits)) {
        // One pixel needs one table entry, not the whole decoder's table.
        const size_t index = GetPackedIndex(image.Row(y), bits, x);
        if (index >= image.ColorTable.size()) return clBlack;
        const TRGBQuad& q = image.ColorTable[index];
        return MakeColor(q.rgbRed, q.rgbGreen, q.rgbBlue);
    }
    if (bits == 24 || (bits == 32 && image.Header.biCompression == BI_RGB)) {
        const uint8_t* p = image.Row(y) + static_cast<size_t>(x) * static_cast<size_t>(bits / 8);
        return MakeColor(p[2], p[1], p[0]);
    }
    return TRowDecoder(image).Pixel(x, y);
}

// ---------------------------------------------------------------- re-creating a store

namespace {

// A store for the target header, without pixels yet: masks for bit fields (the old store's when
// it has the same layout), a colour table for an indexed target (the new palette's, else the
// old table, else the default one; always black and white for a 1-bit picture made from a
// device form), and the new palette.
std::shared_ptr<TBitmapImage> NewStoreFor(const TBitmapImage& old, const TBitmapInfoHeader& target, bool device,
                                          const std::optional<TPalette>& newPalette)
{
    auto fresh = std::make_shared<TBitmapImage>();
    fresh->HasHeader = true;
    fresh->DeviceForm = device;
    fresh->Header = target;
    fresh->Header.biSize = 40;
    fresh->Header.biPlanes = 1;
    if (device || fresh->Header.biBitCount == 0) {
        fresh->Header.biBitCount = 32;
        fresh->Header.biCompression = BI_RGB;
    }
    const TBitmapInfoHeader& h = fresh->Header;
    const int bits = h.biBitCount;
    if (h.biCompression == BI_BITFIELDS) {
        if (old.HasHeader && old.Header.biBitCount == bits && old.Header.biCompression == BI_BITFIELDS && old.Masks[0] != 0)
            std::memcpy(fresh->Masks, old.Masks, sizeof old.Masks);
        uint32_t m[3];
        EffectiveMasks(*fresh, m);
        std::memcpy(fresh->Masks, m, sizeof m);
    }
    if (bits <= 8) {
        const size_t limit = size_t{1} << bits;
        const bool oldIndependent = old.HasForm() && !old.DeviceForm;
        if (bits == 1 && !oldIndependent)
            fresh->ColorTable = DefaultTable(1);
        else if (newPalette && newPalette->Count() > 0)
            fresh->ColorTable = TableOf(*newPalette, limit);
        else if (old.HasHeader && old.Header.biBitCount <= 8 && !old.ColorTable.empty())
            fresh->ColorTable.assign(old.ColorTable.begin(), old.ColorTable.begin() + static_cast<long>(std::min(limit, old.ColorTable.size())));
        else
            fresh->ColorTable = DefaultTable(bits);
    }
    fresh->Palette = newPalette;
    fresh->CoreHeader = old.CoreHeader;
    return fresh;
}

void FillStore(TRowEncoder& encoder, int32_t width, int32_t height, TColor colour)
{
    std::vector<TColor> line(static_cast<size_t>(width), colour);
    for (int32_t r = 0; r < height; ++r) encoder.Encode(r, 0, width, line.data());
}

// Same bits, compression, masks and (indexed) table: the rows' bytes are copied; a narrower
// packed picture copies whole rows only.
bool SameLayout(const TBitmapImage& old, const TBitmapImage& fresh)
{
    const int bits = fresh.Header.biBitCount;
    return old.Header.biBitCount == bits && old.Header.biCompression == fresh.Header.biCompression &&
           std::memcmp(old.Masks, fresh.Masks, sizeof old.Masks) == 0 && (bits > 8 || old.ColorTable == fresh.ColorTable);
}

void CopyRows(const TBitmapImage& old, TBitmapImage& fresh, int32_t cw, int32_t ch)
{
    const int bits = fresh.Header.biBitCount;
    const size_t bytes = bits >= 8 ? static_cast<size_t>(cw) * static_cast<size_t>(bits / 8) : static_cast<size_t>(fresh.Stride());
    for (int32_t r = 0; r < ch; ++r)
        std::memcpy(fresh.Row(r), old.Row(r), std::min<size_t>(bytes, static_cast<size_t>(old.Stride())));
}

// Indexed to indexed: each old entry is matched once, then the indices move.
void RemapIndices(const TBitmapImage& old, TBitmapImage& fresh, TRowEncoder& encoder, int32_t cw, int32_t ch)
{
    std::array<uint8_t, 256> remap{};
    for (int i = 0; i < 256; ++i) {
        TColor c = clBlack;
        if (static_cast<size_t>(i) < old.ColorTable.size()) {
            const TRGBQuad& q = old.ColorTable[static_cast<size_t>(i)];
            c = MakeColor(q.rgbRed, q.rgbGreen, q.rgbBlue);
        }
        remap[static_cast<size_t>(i)] = encoder.Match(c);
    }
    const int bits = fresh.Header.biBitCount;
    const int oldBits = old.Header.biBitCount;
    for (int32_t r = 0; r < ch; ++r) {
        const uint8_t* src = old.Row(r);
        uint8_t* dst = fresh.Row(r);
        for (int32_t x = 0; x < cw; ++x) PutPackedIndex(dst, bits, x, remap[GetPackedIndex(src, oldBits, x)]);
    }
}

// Indexed to 24-bit, the common conversion before recolouring: the table's bytes per index.
void ExpandIndicesTo24(const TBitmapImage& old, TBitmapImage& fresh, int32_t cw, int32_t ch)
{
    uint8_t bgr[256][3] = {};
    for (size_t i = 0; i < old.ColorTable.size() && i < 256; ++i) {
        bgr[i][0] = old.ColorTable[i].rgbBlue;
        bgr[i][1] = old.ColorTable[i].rgbGreen;
        bgr[i][2] = old.ColorTable[i].rgbRed;
    }
    const int oldBits = old.Header.biBitCount;
    for (int32_t r = 0; r < ch; ++r) {
        const uint8_t* src = old.Row(r);
        uint8_t* dst = fresh.Row(r);
        if (oldBits == 8) {
            for (int32_t x = 0; x < cw; ++x, dst += 3) std::memcpy(dst, bgr[src[x]], 3);
        } else {
            for (int32_t x = 0; x < cw; ++x, dst += 3) std::memcpy(dst, bgr[GetPackedIndex(src, oldBits, x)], 3);
        }
    }
}

// Any other pair of layouts: through colour values, a row at a time.
void ConvertThroughColours(const TBitmapImage& old, TRowEncoder& encoder, int32_t cw, int32_t ch)
{
    TRowDecoder decoder(old);
    std::vector<TColor> line(static_cast<size_t>(cw));
    for (int32_t r = 0; r < ch; ++r) {
        decoder.Decode(r, 0, cw, line.data());
        encoder.Encode(r, 0, cw, line.data());
    }
}

// The old pixels of the top-left cw x ch corner into the new store, by the fastest of the four
// ways that keeps every colour the target can hold.
void CopyPixels(const TBitmapImage& old, TBitmapImage& fresh, TRowEncoder& encoder, int32_t cw, int32_t ch)
{
    const int bits = fresh.Header.biBitCount;
    const bool oldIndexed = old.HasHeader && !old.DeviceForm && IsIndexedBits(old.Header.biBitCount);
    if (SameLayout(old, fresh) && (bits >= 8 || cw == fresh.Header.biWidth))
        CopyRows(old, fresh, cw, ch);
    else if (bits <= 8 && old.Header.biBitCount <= 8 && old.HasHeader && !old.DeviceForm)
        RemapIndices(old, fresh, encoder, cw, ch);
    else if (bits == 24 && oldIndexed)
        ExpandIndicesTo24(old, fresh, cw, ch);
    else
        ConvertThroughColours(old, encoder, cw, ch);
}

} // namespace

// ---------------------------------------------------------------- TBitmap

TBitmap::TBitmap() : image_(std::make_shared<TBitmapImage>()) {}

TBitmap::~TBitmap() = default;

void TBitmap::Assign(const TGraphic* source)
{
    if (source == nullptr) {
        image_ = std::make_shared<TBitmapImage>();
    } else if (auto* bitmap = dynamic_cast<const TBitmap*>(source)) {
        if (bitmap != this) {
            image_ = bitmap->image_;
            transparent_ = bitmap->transparent_;
            transparentColor_ = bitmap->transparentColor_;
            transparentMode_ = bitmap->transparentMode_;
        }
    } else {
        source->AssignTo(*this);
        return; // the source assigned its bitmap into this one, which notified already
    }
    PaletteModified = Palette().has_value();
    Changed();
}

bool TBitmap::Empty() const { return !image_->HasForm() && image_->SavedFileBytes.empty(); }

int32_t TBitmap::Width() const { return image_->HasHeader ? image_->Header.biWidth : 0; }

int32_t TBitmap::Height() const { return image_->HasHeader ? image_->AbsHeight() : 0; }

std::optional<TPalette> TBitmap::Palette() const
{
    const TBitmapImage& img = *image_;
    if (img.Palette) return img.Palette;
    if (img.HasHeader && !img.DeviceForm && img.Header.biBitCount <= 8 && !img.ColorTable.empty()) {
        TPalette p;
        for (const TRGBQuad& q : img.ColorTable) p.Add(q.rgbRed, q.rgbGreen, q.rgbBlue);
        return p;
    }
    return std::nullopt;
}

TPixelFormat TBitmap::PixelFormat() const
{
    const TBitmapImage& img = *image_;
    if (!img.HasHeader || img.DeviceForm) return TPixelFormat::pfDevice;
    const TBitmapInfoHeader& h = img.Header;
    switch (h.biBitCount) {
    case 1: return TPixelFormat::pf1bit;
    case 4: return TPixelFormat::pf4bit;
    case 8: return TPixelFormat::pf8bit;
    case 16: {
        if (h.biCompression == BI_RGB) return TPixelFormat::pf15bit;
        uint32_t m[3];
        EffectiveMasks(img, m);
        return (h.biCompression == BI_BITFIELDS && m[1] == 0x07E0) ? TPixelFormat::pf16bit : TPixelFormat::pfCustom;
    }
    case 24: return TPixelFormat::pf24bit;
    case 32: return h.biCompression == BI_RGB ? TPixelFormat::pf32bit : TPixelFormat::pfCustom;
    default: return TPixelFormat::pfCustom;
    }
}

void TBitmap::Unshare()
{
    if (image_.use_count() > 1) image_ = image_->Clone();
}

void TBitmap::Changing()
{
    Unshare();
    TBitmapImage& img = *image_;
    if (!img.SavedFileBytes.empty()) {
        img.SavedFileBytes.clear();
        img.SavedFileBytes.shrink_to_fit();
    }
    // Written only when they change: a decoder takes every row through here while another
    // thread may already be reading the picture.
    if (img.Header.biClrUsed != 0) img.Header.biClrUsed = 0;
    if (img.Header.biClrImportant != 0) img.Header.biClrImportant = 0;
}

TBitmapImage& TBitmap::MutableImage()
{
    Unshare();
    return *image_;
}

void TBitmap::SetImage(std::shared_ptr<TBitmapImage> image)
{
    image_ = image ? std::move(image) : std::make_shared<TBitmapImage>();
    PaletteModified = Palette().has_value();
    Changed();
}

void TBitmap::Recreate(const TBitmapInfoHeader& target, bool device, const std::optional<TPalette>& newPalette,
                       FillKind fill)
{
    const TBitmapImage& old = *image_;
    std::shared_ptr<TBitmapImage> fresh = NewStoreFor(old, target, device, newPalette);
    const TBitmapInfoHeader& h = fresh->Header;
    const int32_t w = h.biWidth;
    const int32_t ht = fresh->AbsHeight();
    if (w > 0 && ht > 0) {
        fresh->AllocatePixels();
        fresh->Header.biSizeImage = static_cast<uint32_t>(fresh->ImageBytes());
        TRowEncoder encoder(*fresh);
        const bool oldHasPixels = old.HasForm() && old.Header.biWidth > 0 && old.AbsHeight() > 0;
        const int32_t cw = oldHasPixels ? std::min(w, old.Header.biWidth) : 0;
        const int32_t ch = oldHasPixels ? std::min(ht, old.AbsHeight()) : 0;
        if (cw < w || ch < ht) {
            TColor colour = clWhite;
            if (fill == FillKind::Brush && canvas_ && canvas_->Brush.Style == TBrushStyle::bsSolid)
                colour = ResolveColor(canvas_->Brush.Color) & 0xFFFFFF;
            FillStore(encoder, w, ht, colour);
        }
        if (cw > 0 && ch > 0) CopyPixels(old, *fresh, encoder, cw, ch);
    }
    image_ = std::move(fresh);
}

void TBitmap::SetWidth(int32_t value)
{
    if (value < 0) value = 0;
    if (value == Width()) return;
    SetSize(value, Height());
}

void TBitmap::SetHeight(int32_t value)
{
    if (value < 0) value = 0;
    if (value == Height()) return;
    SetSize(Width(), value);
}

void TBitmap::SetSize(int32_t width, int32_t height)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width == Width() && height == Height()) return;
    const TBitmapImage& old = *image_;
    TBitmapInfoHeader target = old.Header;
    const bool device = !old.HasHeader || old.DeviceForm;
    if (!old.HasHeader) target = TBitmapInfoHeader{};
    const bool keepOrder = height == Height() && old.Header.biHeight < 0;
    target.biWidth = width;
    // A new height is stored as a positive number: the rows are then bottom row first.
    target.biHeight = keepOrder ? -height : height;
    target.biClrUsed = 0;
    target.biClrImportant = 0;
    if (CheckedRowStride(width, target.biBitCount == 0 ? 32 : target.biBitCount, height) < 0)
        throw EOutOfResources(msg::OutOfResources);
    Recreate(target, device, old.Palette, FillKind::Brush);
    Changed();
}

void TBitmap::SetPalette(const std::optional<TPalette>& palette)
{
    if (!palette && image_.use_count() == 1) {
        image_->Palette.reset();
    } else {
        // Recreate replaces the store, so what is needed of the old one is taken first.
        const bool hadHeader = image_->HasHeader;
        Recreate(image_->Header, image_->DeviceForm || !hadHeader, palette, FillKind::White);
        if (!hadHeader) image_->HasHeader = false;
    }
    PaletteModified = true;
    Changed();
}

void TBitmap::SetTransparent(bool value) { TGraphic::SetTransparent(value); }

void TBitmap::SetPixelFormat(TPixelFormat format)
{
    const TPixelFormat current = PixelFormat();
    if (format == current) return;
    if (format == TPixelFormat::pfCustom) throw EInvalidGraphic(msg::InvalidPixelFormat);
    if (format == TPixelFormat::pfDevice) {
        SetStorageKind(TStorageKind::skDevice);
        return;
    }
    TBitmapInfoHeader target;
    target.biWidth = Width();
    target.biHeight = Height();
    target.biBitCount = static_cast<uint16_t>(FactsOf(format).Bits);
    target.biCompression = FactsOf(format).BitFields ? BI_BITFIELDS : BI_RGB;
    // A converted picture is a new picture: its resolution is 0, not the source's.
    std::optional<TPalette> palette;
    switch (format) {
    case TPixelFormat::pf4bit: palette = StandardPalette16(); break;
    case TPixelFormat::pf8bit: palette = HalftonePalette(); break;
    default: palette = Palette(); break;
    }
    Recreate(target, false, palette, FillKind::Brush);
    if (format == TPixelFormat::pf16bit) {
        image_->Masks[0] = 0xF800;
        image_->Masks[1] = 0x07E0;
        image_->Masks[2] = 0x001F;
    }
    PaletteModified = palette.has_value();
    Changed();
}

void TBitmap::SetStorageKind(TStorageKind kind)
{
    const bool device = kind == TStorageKind::skDevice;
    const TBitmapImage& old = *image_;
    if (old.HasHeader && old.DeviceForm == device) return;
    if (!old.HasHeader && device) return;
    TBitmapInfoHeader target = old.HasHeader ? old.Header : TBitmapInfoHeader{};
    if (!old.HasHeader || old.DeviceForm) {
        target.biBitCount = 32;
        target.biCompression = BI_RGB;
    }
    if (device) {
        target.biBitCount = 32;
        target.biCompression = BI_RGB;
        if (target.biHeight < 0) target.biHeight = -target.biHeight;
    }
    Recreate(target, device, old.Palette, FillKind::White);
    Changed();
}

TColor TBitmap::TransparentColor() const { return transparentColor_; }

void TBitmap::SetTransparentColor(TColor color)
{
    Unshare();
    const bool changed = color != transparentColor_;
    transparentColor_ = color;
    transparentMode_ = color == clDefault ? TTransparentMode::tmAuto : TTransparentMode::tmFixed;
    if (changed) Changed();
}

TColor TBitmap::TransparentColorInUse() const
{
    if (transparentMode_ == TTransparentMode::tmFixed) {
        const TColor c = transparentColor_;
        if ((static_cast<uint32_t>(c) & 0xFF000000u) == 0x01000000u) {
            const size_t index = static_cast<size_t>(c & 0xFF);
            const auto& table = image_->ColorTable;
            if (index < table.size()) return MakeColor(table[index].rgbRed, table[index].rgbGreen, table[index].rgbBlue);
            return clBlack;
        }
        return ResolveColor(c) & 0xFFFFFF;
    }
    if (PixelFormat() == TPixelFormat::pf1bit) return clWhite;
    return Pixel(0, Height() - 1);
}

int32_t TBitmap::RowStride() const { return image_->Stride(); }

uint8_t* TBitmap::ScanLine(int32_t row)
{
    Changing();
    if (row < 0 || row >= Height() || !image_->HasForm()) throw EInvalidGraphicOperation(msg::ScanLineOutOfRange);
    return image_->Row(row);
}

TBitmap::TRows TBitmap::Rows()
{
    TRows rows;
    if (Height() <= 0) return rows;
    rows.First = ScanLine(0);
    rows.Step = Height() > 1 ? ScanLine(1) - rows.First : 0;
    return rows;
}

const uint8_t* TBitmap::ConstScanLine(int32_t row) const
{
    if (row < 0 || row >= Height() || !image_->HasForm()) throw EInvalidGraphicOperation(msg::ScanLineOutOfRange);
    return image_->Row(row);
}

TColor TBitmap::Pixel(int32_t x, int32_t y) const
{
    if (x < 0 || y < 0 || x >= Width() || y >= Height() || !image_->HasForm()) return static_cast<TColor>(0xFFFFFFFF);
    return StorePixel(*image_, x, y);
}

void TBitmap::SetPixel(int32_t x, int32_t y, TColor color)
{
    if (x < 0 || y < 0 || x >= Width() || y >= Height() || !image_->HasForm()) return;
    color = ResolveColor(color);
    Changing();
    TRowEncoder(*image_).SetPixel(x, y, color);
}

TCanvas& TBitmap::Canvas()
{
    if (!canvas_) canvas_ = std::make_unique<TCanvas>(*this);
    return *canvas_;
}

void TBitmap::Draw(TCanvas& canvas, const TRect& rect) const { canvas.StretchDraw(rect, *this); }

bool AlphaPlaneFits(const TBitmap& image, const TBitmap& alpha)
{
    return !alpha.Empty() && alpha.PixelFormat() == TPixelFormat::pf8bit && alpha.Width() == image.Width() &&
           alpha.Height() == image.Height();
}

void RequireFittingAlpha(const TBitmap& image, const TBitmap* alpha)
{
    if (alpha && !alpha->Empty() && !AlphaPlaneFits(image, *alpha))
        throw std::invalid_argument("the alpha picture must have 8 bits per pixel and the picture's size");
}

} // namespace tintabrel
