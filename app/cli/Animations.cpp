#include "app/cli/Animations.h"

#include "app/cli/CliTool.h"
#include "image/Animation.h"
#include "image/PixelFormats.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <unordered_map>

namespace tintabrel::cli {

namespace {

std::string Num(int64_t value) { return std::to_string(value); }
std::string Size(int64_t width, int64_t height) { return Num(width) + " x " + Num(height); }

// A whole number from 1, as the option's part named.
int64_t Positive(const std::string& text, const char* what)
{
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || text[0] == '+' || text[0] == '-' || ptr != end || ec != std::errc() || value < 1)
        throw std::invalid_argument(std::string(what) + " '" + text + "' is not a whole number from 1");
    return value;
}

// The sheet's cells in columns x rows for frames of a canvas, columns to a row.
struct TSheetShape {
    int64_t Columns = 0, Rows = 0, Width = 0, Height = 0;
    int64_t Pixels() const { return Width * Height; }
};

TSheetShape ShapeOf(int64_t frames, int64_t canvasWidth, int64_t canvasHeight, int32_t columns)
{
    TSheetShape s;
    s.Columns = std::max<int64_t>(1, std::min<int64_t>(columns, frames));
    s.Rows = (frames + s.Columns - 1) / s.Columns;
    s.Width = s.Columns * canvasWidth;
    s.Height = s.Rows * canvasHeight;
    return s;
}

// Refuses a sheet over the limit before anything is sized for it.
void CheckSheet(const TSheetShape& s, int64_t frames, int64_t canvasWidth, int64_t canvasHeight, int32_t columns,
                const TSourceLimits& limits)
{
    const int64_t limit = limits.Pixels();
    // Each factor is within the limit, so the products cannot overflow.
    if (s.Width > limit || s.Height > limit || s.Pixels() > limit || CheckedRowStride(s.Width, 32, s.Height) < 0)
        throw std::runtime_error("--sheet " + Num(columns) + ": " + Num(frames) + " frames of " +
                                 Size(canvasWidth, canvasHeight) + " make a sheet of " + Size(s.Width, s.Height) +
                                 " pixels, more than the limit of " + Num(limit) + " pixels (--max-pixels)");
}

// A picture of width x height in 24-bit colour with an 8-bit alpha plane, all fully transparent.
void MakeClear(TPictureData& picture, int32_t width, int32_t height)
{
    picture.Image.SetPixelFormat(TPixelFormat::pf24bit);
    picture.Image.SetSize(width, height);
    picture.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    picture.Alpha.SetSize(width, height);
    for (int32_t y = 0; y < height; ++y) {
        std::memset(picture.Image.ScanLine(y), 0, static_cast<size_t>(width) * 3);
        std::memset(picture.Alpha.ScanLine(y), 255, static_cast<size_t>(width));
    }
}

// Copies a picture (24-bit, with or without alpha) onto the sheet at x, y.
void Put(TPictureData& sheet, const TPictureData& cell, int32_t x, int32_t y)
{
    TBitmap rgb;
    rgb.Assign(cell.Image);
    if (rgb.PixelFormat() != TPixelFormat::pf24bit) rgb.SetPixelFormat(TPixelFormat::pf24bit);
    const bool alpha = AlphaPlaneFits(cell.Image, cell.Alpha);
    const int32_t w = rgb.Width();
    for (int32_t row = 0; row < rgb.Height(); ++row) {
        std::memcpy(sheet.Image.ScanLine(y + row) + static_cast<size_t>(x) * 3, rgb.ConstScanLine(row), static_cast<size_t>(w) * 3);
        uint8_t* a = sheet.Alpha.ScanLine(y + row) + x;
        if (alpha) std::memcpy(a, cell.Alpha.ConstScanLine(row), static_cast<size_t>(w));
        else std::memset(a, 0, static_cast<size_t>(w));
    }
}

// Whether every pixel of the sheet's cell is fully transparent.
bool WhollyClear(const TPictureData& sheet, int32_t x, int32_t y, int32_t width, int32_t height)
{
    if (!AlphaPlaneFits(sheet.Image, sheet.Alpha)) return false;
    for (int32_t row = 0; row < height; ++row) {
        const uint8_t* a = sheet.Alpha.ConstScanLine(y + row) + x;
        if (std::any_of(a, a + width, [](uint8_t v) { return v != 255; })) return false;
    }
    return true;
}

// The cell of a palette picture's store: the same format, palette and table, its indices.
void CropIndexed(const TBitmap& sheet, int32_t x, int32_t y, int32_t width, int32_t height, TBitmap& cell)
{
    const TBitmapImage& from = *sheet.Image();
    const int bits = FactsOf(sheet.PixelFormat()).Bits;
    cell.Clear();
    cell.SetPixelFormat(sheet.PixelFormat());
    cell.SetPalette(sheet.Palette());
    TBitmapImage& image = cell.MutableImage();
    // A store without pixels keeps its format's default table; with pixels about to exist the
    // sheet's own goes with them.
    image.ColorTable = from.ColorTable;
    image.Header.biWidth = width;
    image.Header.biHeight = height;
    image.Header.biXPelsPerMeter = from.Header.biXPelsPerMeter;
    image.Header.biYPelsPerMeter = from.Header.biYPelsPerMeter;
    image.AllocatePixels();
    image.Header.biSizeImage = static_cast<uint32_t>(image.ImageBytes());
    for (int32_t row = 0; row < height; ++row) {
        const uint8_t* in = sheet.ConstScanLine(y + row);
        uint8_t* out = image.Row(row);
        if (bits == 8) {
            std::memcpy(out, in + x, static_cast<size_t>(width));
            continue;
        }
        for (int32_t column = 0; column < width; ++column) PutPackedIndex(out, bits, column, GetPackedIndex(in, bits, x + column));
    }
}

// The cell of a 24-bit picture or of an 8-bit plane.
void CropBytes(const TBitmap& sheet, int32_t bytesPerPixel, int32_t x, int32_t y, int32_t width, int32_t height, TBitmap& cell)
{
    cell.Clear();
    cell.SetPixelFormat(bytesPerPixel == 3 ? TPixelFormat::pf24bit : TPixelFormat::pf8bit);
    cell.SetSize(width, height);
    for (int32_t row = 0; row < height; ++row)
        std::memcpy(cell.ScanLine(row), sheet.ConstScanLine(y + row) + static_cast<size_t>(x) * bytesPerPixel,
                    static_cast<size_t>(width) * bytesPerPixel);
}

// A palette picture's store of width x height: the format for the entries, the palette's colours
// as its table, the pixels allocated (index 0).
void MakeIndexed(TBitmap& bitmap, int32_t width, int32_t height, const TPalette& palette)
{
    const int entries = palette.Count();
    bitmap.Clear();
    bitmap.SetPixelFormat(entries <= 2 ? TPixelFormat::pf1bit : entries <= 16 ? TPixelFormat::pf4bit : TPixelFormat::pf8bit);
    bitmap.SetPalette(palette);
    TBitmapImage& image = bitmap.MutableImage();
    // A 1-bit store without pixels keeps black and white whatever its palette says; with pixels
    // about to exist the table follows the palette.
    image.ColorTable.clear();
    for (int i = 0; i < entries; ++i)
        image.ColorTable.push_back(TRGBQuad{palette[i].peBlue, palette[i].peGreen, palette[i].peRed, 0});
    image.Header.biWidth = width;
    image.Header.biHeight = height;
    image.AllocatePixels();
    image.Header.biSizeImage = static_cast<uint32_t>(image.ImageBytes());
}

// The sheet (24-bit with its alpha plane) as a palette picture when its colours fit 256 entries,
// a fully transparent pixel counting as one whatever colour it holds (black then): that entry
// first, the others in the order they first appear, each with its alpha. A GIF or a palette PNG
// then holds the sheet as it stands, and frames read back from it are palette pictures again.
// Nothing changes when more entries would be needed.
void ToPalette(TPictureData& sheet)
{
    const int32_t w = sheet.Image.Width(), h = sheet.Image.Height();
    const bool alpha = AlphaPlaneFits(sheet.Image, sheet.Alpha);
    const auto key = [&](int32_t x, int32_t y) {
        const uint8_t a = alpha ? static_cast<uint8_t>(255 - sheet.Alpha.ConstScanLine(y)[x]) : 255;
        if (a == 0) return uint32_t{0};
        const uint8_t* c = sheet.Image.ConstScanLine(y) + 3 * x;
        return uint32_t{a} << 24 | uint32_t{c[2]} << 16 | uint32_t{c[1]} << 8 | c[0];
    };
    std::vector<uint32_t> entries;
    std::unordered_map<uint32_t, uint8_t> index;
    bool clear = false;
    for (int32_t y = 0; y < h && !clear && alpha; ++y) {
        const uint8_t* a = sheet.Alpha.ConstScanLine(y);
        clear = std::any_of(a, a + w, [](uint8_t v) { return v == 255; });
    }
    if (clear) {
        index.emplace(0, 0);
        entries.push_back(0);
    }
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t k = key(x, y);
            if (index.count(k)) continue;
            if (entries.size() == 256) return;
            index.emplace(k, static_cast<uint8_t>(entries.size()));
            entries.push_back(k);
        }
    TPalette palette;
    std::vector<uint8_t> indexAlpha;
    for (const uint32_t k : entries) {
        palette.Add(static_cast<uint8_t>(k >> 16), static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k));
        indexAlpha.push_back(static_cast<uint8_t>(k >> 24));
    }
    while (!indexAlpha.empty() && indexAlpha.back() == 255) indexAlpha.pop_back();
    TBitmap image;
    MakeIndexed(image, w, h, palette);
    const int bits = FactsOf(image.PixelFormat()).Bits;
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = image.MutableImage().Row(y);
        for (int32_t x = 0; x < w; ++x) PutPackedIndex(row, bits, x, index.at(key(x, y)));
    }
    sheet.Image.Assign(image);
    sheet.PaletteBits = bits;
    sheet.IndexAlpha = std::move(indexAlpha);
}

uint16_t Hundredths(const TFrame& frame)
{
    const double den = frame.DelayDen == 0 ? 100.0 : frame.DelayDen;
    return static_cast<uint16_t>(std::min(std::nearbyint(frame.DelayNum * 100.0 / den), 65535.0));
}

// More than GIF's 65535 hundredths, once rounded to them.
bool TooLongForGif(const TFrame& frame)
{
    const uint64_t den = frame.DelayDen == 0 ? 100 : frame.DelayDen;
    return uint64_t{frame.DelayNum} * 200 > uint64_t{131071} * den;
}

bool WholeHundredths(const TFrame& frame)
{
    const uint32_t den = frame.DelayDen == 0 ? 100 : frame.DelayDen;
    return uint64_t{frame.DelayNum} * 100 % den == 0 && uint64_t{frame.DelayNum} * 100 / den <= 65535;
}

} // namespace

TSheetCells ParseSheetCells(const std::string& text)
{
    std::vector<std::string> parts;
    for (size_t at = 0;;) {
        const size_t comma = text.find(',', at);
        parts.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    if (parts.size() != 2 && parts.size() != 3)
        throw std::invalid_argument("'" + text + "' is not W,H or W,H,COUNT (a frame's width and height, and how many)");
    TSheetCells cells;
    const int64_t limit = MaxPicturePixels();
    const int64_t width = Positive(parts[0], "the width"), height = Positive(parts[1], "the height");
    if (width > limit || height > limit || width * height > limit)
        throw std::invalid_argument("a frame of " + Size(width, height) + " pixels is larger than a picture may be");
    cells.Width = static_cast<int32_t>(width);
    cells.Height = static_cast<int32_t>(height);
    if (parts.size() == 3) cells.Count = Positive(parts[2], "the count");
    return cells;
}

void SettleAnimationOptions(TOutputOptions& out)
{
    const TAnimationOptions& a = out.Animation;
    if (a.DelayGiven && !a.Frames) throw TUsageError("--delay goes with --frames: it is the delay of the frames read from a sheet");
    if (a.Reshapes() && out.InPlace)
        throw TUsageError(std::string(a.Frames ? "--frames" : "--sheet") +
                          " makes a new picture of its input: give OUTPUT, -o or --out-dir, not --in-place");
    // A sheet is a still picture: named by no output that tells a format (--out-dir, standard
    // output, an extension of no format), a PNG file.
    const bool named = !out.OutputFile.empty() && !IsStandardStream(out.OutputFile) &&
                       KindOfExtension(ExtractExtension(out.OutputFile), false) != nullptr;
    if (a.SheetColumns > 0 && out.Format == nullptr && !named) out.Format = PngFormat();
}

int64_t SheetPixels(const TPictureHeader& header, const TAnimationOptions& options, const TSourceLimits& limits)
{
    if (options.SheetColumns <= 0 || header.Width <= 0 || header.Height <= 0) return 0;
    const int64_t frames = std::max<int64_t>(1, header.Frames);
    const TSheetShape shape = ShapeOf(frames, header.Width, header.Height, options.SheetColumns);
    CheckSheet(shape, frames, header.Width, header.Height, options.SheetColumns, limits);
    return shape.Pixels();
}

void KeepFirstFrame(TPictureData& picture)
{
    if (!picture.Animation || picture.Animation->Frames.empty()) {
        picture.Animation.reset();
        return;
    }
    const TAnimation& animation = *picture.Animation;
    const TFrame& first = animation.Frames[0];
    TPictureData still;
    // Drawn on the cleared canvas, a frame that covers it is its own picture exactly.
    if (first.X == 0 && first.Y == 0 && first.Picture.Image.Width() == animation.Width &&
        first.Picture.Image.Height() == animation.Height)
        still.Assign(first.Picture);
    else
        still = ComposeFrame(animation, 0);
    still.Info = picture.Info;
    still.Animation.reset();
    picture = std::move(still);
}

void MakeSheet(TPictureData& picture, int32_t columns, const TSourceLimits& limits)
{
    const TAnimation* animation = picture.Animation.get();
    const int64_t frames = animation ? static_cast<int64_t>(animation->Frames.size()) : 1;
    const int32_t w = animation ? animation->Width : picture.Image.Width();
    const int32_t h = animation ? animation->Height : picture.Image.Height();
    const TSheetShape shape = ShapeOf(frames, w, h, columns);
    CheckSheet(shape, frames, w, h, columns, limits);
    TPictureData sheet;
    MakeClear(sheet, static_cast<int32_t>(shape.Width), static_cast<int32_t>(shape.Height));
    const auto place = [&](size_t i, const TPictureData& canvas) {
        const int64_t column = static_cast<int64_t>(i) % shape.Columns, row = static_cast<int64_t>(i) / shape.Columns;
        Put(sheet, canvas, static_cast<int32_t>(column * w), static_cast<int32_t>(row * h));
    };
    if (animation && !animation->Frames.empty())
        ComposeFrames(*animation, [&](size_t i, TPictureData& canvas) { place(i, canvas); });
    else
        place(0, picture);
    // An opaque sheet needs no alpha plane.
    bool clear = false;
    for (int32_t y = 0; y < sheet.Alpha.Height() && !clear; ++y) {
        const uint8_t* a = sheet.Alpha.ConstScanLine(y);
        clear = std::any_of(a, a + sheet.Alpha.Width(), [](uint8_t v) { return v != 0; });
    }
    if (!clear) sheet.Alpha.Clear();
    ToPalette(sheet);
    sheet.Info = picture.Info;
    sheet.Info.SignificantBits = 0; // a claim about the input's samples, not the sheet's
    picture = std::move(sheet);
}

void ReadSheet(TPictureData& picture, const TSheetCells& cells, int32_t delayMs, const TSourceLimits& limits)
{
    std::string option = "--frames " + Num(cells.Width) + "," + Num(cells.Height);
    if (cells.Count > 0) option.append(",").append(Num(cells.Count));
    if (picture.Animation)
        throw std::runtime_error(option + " reads a still sprite sheet; this is an animation of " +
                                 Num(static_cast<int64_t>(picture.Animation->Frames.size())) + " frames already");
    const int32_t width = picture.Image.Width(), height = picture.Image.Height();
    if (cells.Width > width || cells.Height > height || width % cells.Width != 0 || height % cells.Height != 0)
        throw std::runtime_error(option + ": the " + Size(width, height) + " sheet is not a whole number of " +
                                 Size(cells.Width, cells.Height) + " frames");
    const int64_t columns = width / cells.Width, rows = height / cells.Height, all = columns * rows;
    if (cells.Count > all)
        throw std::runtime_error(option + ": the " + Size(width, height) + " sheet holds " + Num(all) + " frames of " +
                                 Size(cells.Width, cells.Height) + ", fewer than " + Num(cells.Count));
    const auto cellX = [&](int64_t i) { return static_cast<int32_t>(i % columns * cells.Width); };
    const auto cellY = [&](int64_t i) { return static_cast<int32_t>(i / columns * cells.Height); };
    int64_t count = cells.Count;
    if (count == 0) {
        count = all;
        while (count > 1 && WhollyClear(picture, cellX(count - 1), cellY(count - 1), cells.Width, cells.Height)) --count;
    }
    if (count > limits.Animation.Frames())
        throw std::runtime_error(option + ": " + Num(count) + " frames, more than the limit of " +
                                 Num(limits.Animation.Frames()) + " an animation may have");

    const bool indexed = picture.PaletteBits != 0 && FactsOf(picture.Image.PixelFormat()).Indexed;
    TBitmap rgb;
    if (!indexed) {
        rgb.Assign(picture.Image);
        if (rgb.PixelFormat() != TPixelFormat::pf24bit) rgb.SetPixelFormat(TPixelFormat::pf24bit);
    }
    const bool alpha = AlphaPlaneFits(picture.Image, picture.Alpha);
    // Whole hundredths are GIF's unit too; other delays are kept in thousandths.
    const bool hundredths = delayMs % 10 == 0;
    auto animation = std::make_shared<TAnimation>();
    animation->Width = cells.Width;
    animation->Height = cells.Height;
    animation->Plays = 0;
    animation->Frames.resize(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        TFrame& frame = animation->Frames[static_cast<size_t>(i)];
        TPictureData& cell = frame.Picture;
        const int32_t x = cellX(i), y = cellY(i);
        if (indexed) {
            CropIndexed(picture.Image, x, y, cells.Width, cells.Height, cell.Image);
            cell.PaletteBits = picture.PaletteBits;
            cell.IndexAlpha = picture.IndexAlpha;
        } else {
            CropBytes(rgb, 3, x, y, cells.Width, cells.Height, cell.Image);
        }
        if (alpha) CropBytes(picture.Alpha, 1, x, y, cells.Width, cells.Height, cell.Alpha);
        frame.DelayNum = static_cast<uint16_t>(hundredths ? delayMs / 10 : delayMs);
        frame.DelayDen = hundredths ? 100 : 1000;
        // Each frame on a cleared canvas, as it stands in its cell (GIF draws only over).
        frame.Dispose = TFrameDispose::Background;
        frame.Blend = TFrameBlend::Over;
    }
    animation->Frames[0].Picture.Info = picture.Info;
    TPictureData result;
    result.Assign(animation->Frames[0].Picture);
    result.Info = picture.Info;
    result.Animation = std::move(animation);
    picture = std::move(result);
}

std::vector<std::string> ShapeForOutput(TPictureData& picture, TPictureKind kind, const TAnimationOptions& options,
                                        const TSourceLimits& limits)
{
    std::vector<std::string> notes;
    if (options.SheetColumns > 0) MakeSheet(picture, options.SheetColumns, limits);
    if (options.Frames) ReadSheet(picture, *options.Frames, options.DelayMs, limits);
    if (!picture.Animation) return notes;
    if (options.FirstFrame) {
        KeepFirstFrame(picture);
        return notes;
    }
    const size_t frames = picture.Animation->Frames.size();
    if (!kind->Has(fmtAnimation)) {
        // A file of one frame (a GIF of one picture) loses no frame: nothing to say.
        if (frames > 1)
            notes.push_back("an animation of " + Num(static_cast<int64_t>(frames)) + " frames; " + kind->Name +
                            " holds one picture: its first frame is written");
        KeepFirstFrame(picture);
        return notes;
    }
    if (kind == GifFormat()) {
        const TAnimation& animation = *picture.Animation;
        const auto fraction = [](const TFrame& f) { return Num(f.DelayNum) + "/" + Num(f.DelayDen == 0 ? 100 : f.DelayDen) + " s"; };
        size_t rounded = 0, cut = 0;
        const TFrame* example = nullptr;
        const TFrame* longest = nullptr;
        for (const TFrame& frame : animation.Frames) {
            if (TooLongForGif(frame)) {
                if (!cut++) longest = &frame;
            } else if (!WholeHundredths(frame) && !rounded++) {
                example = &frame;
            }
        }
        if (rounded > 0)
            notes.push_back("GIF counts delays in hundredths of a second: the delays of " + Num(static_cast<int64_t>(rounded)) +
                            (rounded == 1 ? " frame are" : " frames are") + " rounded to them (" + fraction(*example) +
                            " to " + Num(Hundredths(*example)) + "/100 s)");
        // Longer delays and more plays than GIF's 16 bits hold are cut to the most it holds.
        if (cut > 0)
            notes.push_back("GIF holds delays of at most 65535/100 s: the delays of " + Num(static_cast<int64_t>(cut)) +
                            (cut == 1 ? " frame are" : " frames are") + " cut to it (" + fraction(*longest) + ")");
        if (animation.Plays > 65535)
            notes.push_back("GIF counts at most 65535 plays: the animation's " + Num(animation.Plays) + " plays become 65535");
    }
    return notes;
}

double TFrameListing::DelayMs() const
{
    const double den = DelayDen == 0 ? 100.0 : DelayDen;
    return std::nearbyint(DelayNum * 1000000.0 / den) / 1000.0;
}

std::vector<TFrameListing> FrameListing(const TPictureHeader& header, const TPictureData* loaded)
{
    std::vector<TFrameListing> list;
    if (loaded && loaded->Animation) {
        for (const TFrame& f : loaded->Animation->Frames)
            list.push_back({f.X, f.Y, f.Picture.Image.Width(), f.Picture.Image.Height(), f.DelayNum,
                            static_cast<uint16_t>(f.DelayDen == 0 ? 100 : f.DelayDen)});
        return list;
    }
    for (const TFrameHeader& f : header.FrameList)
        list.push_back({f.X, f.Y, f.Width, f.Height, f.DelayNum, static_cast<uint16_t>(f.DelayDen == 0 ? 100 : f.DelayDen)});
    return list;
}

} // namespace tintabrel::cli
