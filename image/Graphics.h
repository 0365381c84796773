// The graphic base class and the bitmap image, the one raster type of the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/Palette.h"
#include "image/PixelFormats.h"
#include "base/Colors.h"

namespace tintabrel {

class TCanvas;
class TStream;
class TBitmap;

struct TRect {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Right = 0;
    int32_t Bottom = 0;
    int32_t Width() const { return Right - Left; }
    int32_t Height() const { return Bottom - Top; }
    friend bool operator==(const TRect&, const TRect&) = default;
};

enum class TProgressStage { psStarting, psRunning, psEnding };

class TGraphic;
using TNotifyEvent = std::function<void(TGraphic& sender)>;
using TProgressEvent = std::function<void(const TGraphic& sender, TProgressStage stage, uint8_t percentDone,
                                          bool redrawNow, const TRect& r, const std::string& msg)>;

class TGraphic {
public:
    virtual ~TGraphic() = default;

    TNotifyEvent OnChange;
    // Progress of reading and writing; not part of the picture, so a save of a const picture may use it.
    mutable TProgressEvent OnProgress;
    bool Modified = false;
    bool PaletteModified = false;

    virtual std::string ClassName() const = 0;

    // Copies this graphic into dest; the base fails with EConvertError.
    virtual void AssignTo(TGraphic& dest) const;
    // Copies source into this graphic (nothing: become empty).
    virtual void Assign(const TGraphic* source) = 0;
    // Sets Modified and raises OnChange.
    virtual void Changed();

    virtual void Draw(TCanvas& canvas, const TRect& rect) const = 0;
    virtual bool Empty() const = 0;
    virtual int32_t Width() const = 0;
    virtual int32_t Height() const = 0;
    virtual std::optional<TPalette> Palette() const = 0;
    virtual bool Transparent() const { return transparent_; }
    virtual void SetWidth(int32_t value) = 0;
    virtual void SetHeight(int32_t value) = 0;
    virtual void SetPalette(const std::optional<TPalette>& palette) = 0;
    virtual void SetTransparent(bool value);

    // Open the file (reading with other writers kept out; writing by creating or truncating it)
    // and read or write through the stream operations.
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;
    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void SaveToStream(TStream& stream) const = 0;

protected:
    bool transparent_ = false;
};

// What reading does with an uncompressed BMP whose file ends before its pixel data: the bytes
// missing read as 0 (black in most pictures), or the file is refused before the picture is made.
enum class TTruncatedPixels { ReadAsZero, Refuse };

enum class TTransparentMode { tmAuto, tmFixed };
enum class TStorageKind { skIndependent, skDevice };

// Compression values of the bitmap header.
inline constexpr uint32_t BI_RGB = 0;
inline constexpr uint32_t BI_RLE8 = 1;
inline constexpr uint32_t BI_RLE4 = 2;
inline constexpr uint32_t BI_BITFIELDS = 3;

struct TBitmapInfoHeader {
    uint32_t biSize = 40;
    int32_t biWidth = 0;
    int32_t biHeight = 0; // positive: bottom row first; negative: top row first
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biCompression = BI_RGB;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;
};

// The information header of a BMP stream, checked as loading checks it, without reading the
// colour table or the pixels: the size a file declares, cheaply. Errors as TBitmap::LoadFromStream.
TBitmapInfoHeader ReadBmpHeader(TStream& stream);
// A BMP stream's headers and colour table checked as loading checks them, and where its pixel
// data stands: what the file declares, and how much of the data it holds, without the pixels.
struct TBmpLayout {
    TBitmapInfoHeader Fields;
    int32_t TableEntries = 0;      // colour-table entries read (0 for a picture without one)
    int64_t PixelBytesPresent = 0; // from the pixel data's start to the end of the file
};
TBmpLayout ReadBmpLayout(TStream& stream);
// A run-length BMP stream's header, with its colour table checked as loading checks it, without
// decoding the pixels (which cannot fail): what a load would make of it costs no more than the
// headers. Nothing (the stream's position undefined) for other BMPs, whose load costs about
// their file's size. Errors as TBitmap::LoadFromStream.
std::optional<TBitmapInfoHeader> ReadRunLengthBmpHeader(TStream& stream);

// Largest picture the program holds: 2^28 pixels (16384 x 16384). Readers refuse larger
// declared sizes before allocating anything; the limit can be lowered (fuzzing does).
int64_t MaxPicturePixels();
void SetMaxPicturePixels(int64_t pixels);
// Row stride in bytes of a bitmap row: ((width * bits + 31) div 32) * 4, or -1 when the
// picture would exceed the limit above or 32-bit arithmetic.
int64_t CheckedRowStride(int64_t width, int64_t bits, int64_t height);

// The pixel store, shared by every bitmap assigned from one another until one changes it.
class TBitmapImage {
public:
    bool HasHeader = false;      // a header is remembered (even without pixels)
    bool DeviceForm = false;     // the primary form is the device form (32 bits per pixel)
    TBitmapInfoHeader Header;
    uint32_t Masks[3] = {0, 0, 0}; // red, green, blue of bit-field pictures
    std::vector<TRGBQuad> ColorTable;
    std::optional<TPalette> Palette;
    std::vector<uint8_t> SavedFileBytes; // a run-length BMP as read, until the picture changes
    bool CoreHeader = false;

    bool HasForm() const { return pixels_ != nullptr; }
    int32_t AbsHeight() const { return Header.biHeight < 0 ? -Header.biHeight : Header.biHeight; }
    int32_t Stride() const { return stride_; }
    uint8_t* Pixels() { return pixels_.get(); }
    const uint8_t* Pixels() const { return pixels_.get(); }
    // Start of the row r counted from the top.
    uint8_t* Row(int32_t r) { return pixels_.get() + static_cast<size_t>(StoredRow(r)) * static_cast<size_t>(stride_); }
    const uint8_t* Row(int32_t r) const { return pixels_.get() + static_cast<size_t>(StoredRow(r)) * static_cast<size_t>(stride_); }
    int32_t StoredRow(int32_t r) const { return Header.biHeight > 0 ? Header.biHeight - 1 - r : r; }
    size_t ImageBytes() const { return static_cast<size_t>(stride_) * static_cast<size_t>(AbsHeight()); }

    // Allocates zeroed pixel rows for the header (EOutOfResources when too large).
    void AllocatePixels();
    void FreePixels();
    std::shared_ptr<TBitmapImage> Clone() const;

private:
    struct FreeDeleter {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, FreeDeleter> pixels_;
    int32_t stride_ = 0;
};

class TBitmap : public TGraphic {
public:
    TBitmap();
    ~TBitmap() override;
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;

    std::string ClassName() const override { return "TBitmap"; }

    void Assign(const TGraphic* source) override;
    void Assign(const TGraphic& source) { Assign(&source); }
    void Clear() { Assign(nullptr); }

    void Draw(TCanvas& canvas, const TRect& rect) const override;
    bool Empty() const override;
    int32_t Width() const override;
    int32_t Height() const override;
    std::optional<TPalette> Palette() const override;
    void SetWidth(int32_t value) override;
    void SetHeight(int32_t value) override;
    void SetSize(int32_t width, int32_t height);
    void SetPalette(const std::optional<TPalette>& palette) override;
    void SetTransparent(bool value) override;

    TPixelFormat PixelFormat() const;
    void SetPixelFormat(TPixelFormat format);
    void SetStorageKind(TStorageKind kind);

    TColor TransparentColor() const;
    void SetTransparentColor(TColor color);
    TTransparentMode TransparentMode() const { return transparentMode_; }
    // The colour left out when drawing transparently: the fixed colour, else white for a
    // 1-bit picture and the bottom-left pixel otherwise.
    TColor TransparentColorInUse() const;

    // Address of a row (0 = top); the picture is treated as changing. EInvalidGraphicOperation
    // msg::ScanLineOutOfRange for a row outside the picture.
    uint8_t* ScanLine(int32_t row);
    // Read-only row access for code that only reads; the picture is not changed.
    const uint8_t* ConstScanLine(int32_t row) const;
    int32_t RowStride() const;

    // Where the rows lie: one block with a fixed step between rows (negative for a bottom-up
    // store). Taken once, as by ScanLine (the picture is treated as changing); the addresses stay
    // good while the picture keeps its size and format. For work on rows from other threads, or
    // while another picture shares the pixels (a row request would copy them away).
    struct TRows {
        uint8_t* First = nullptr;
        ptrdiff_t Step = 0;
        uint8_t* At(int32_t y) const { return First + Step * y; }
    };
    TRows Rows();

    // $00BBGGRR of pixel (x, y); $FFFFFFFF outside the picture.
    TColor Pixel(int32_t x, int32_t y) const;
    // Nearest colour the format can hold; outside the picture nothing changes.
    void SetPixel(int32_t x, int32_t y, TColor color);

    TCanvas& Canvas();
    bool HasCanvas() const { return canvas_ != nullptr; }

    // BMP files.
    TTruncatedPixels TruncatedPixels = TTruncatedPixels::ReadAsZero; // a reading option, not copied by Assign
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;

    // The pixel store, for readers and writers in this program and for tests.
    const std::shared_ptr<TBitmapImage>& Image() const { return image_; }
    // Replaces the store (a reader's finished picture); palette modified follows it; changed.
    void SetImage(std::shared_ptr<TBitmapImage> image);
    // Makes the store private, drops saved file bytes and the colour counts (a change begins).
    void Changing();
    // The store, private to this bitmap; for code that edits header fields directly.
    TBitmapImage& MutableImage();

private:
    enum class FillKind { Brush, White };
    void Unshare();
    void Recreate(const TBitmapInfoHeader& target, bool device, const std::optional<TPalette>& newPalette,
                  FillKind fill);
    friend class TCanvas;

    std::shared_ptr<TBitmapImage> image_;
    std::unique_ptr<TCanvas> canvas_;
    TColor transparentColor_ = clDefault;
    TTransparentMode transparentMode_ = TTransparentMode::tmAuto;
};

// Colour of a pixel of a store in its own layout (no range test).
TColor StorePixel(const TBitmapImage& image, int32_t x, int32_t y);

// Whether alpha is an alpha plane for image: 8 bits a pixel and the picture's size. Anything
// else is ignored by every reader of the plane (the picture counts as opaque).
bool AlphaPlaneFits(const TBitmap& image, const TBitmap& alpha);
// For work that takes an optional alpha plane (none, or an empty one, is fine): throws
// std::invalid_argument when it is given and does not fit.
void RequireFittingAlpha(const TBitmap& image, const TBitmap* alpha);

} // namespace tintabrel
