#include "gif/GifFile.h"

#include "base/ScopeGuard.h"
#include "base/Streams.h"
#include "image/Graphics.h"
#include "image/PixelFormats.h"

#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tintabrel {

namespace {

// The most pixels LZW can give for one byte of a file: a 12-bit code stands for at most about
// 4096 pixels, so a byte for at most 2731. A frame declaring more pixels than the rest of the file
// could give is refused before anything is sized for it (a tiny file declaring a huge frame).
constexpr int64_t MaxPixelsPerByte = 4096;

// Without a known size the file is read into memory first; no GIF within the limits needs more
// than 12 bits a pixel, and this much room for its tables and blocks.
constexpr int64_t BlockRoom = int64_t{64} << 20;

constexpr int GceLength = 4;
constexpr int AppIdLength = 11;

std::string Num(int64_t v) { return std::to_string(v); }
std::string Size2(int64_t w, int64_t h) { return Num(w) + " x " + Num(h); }
std::string Rectangle(int64_t x, int64_t y, int64_t w, int64_t h)
{
    std::string text = "(";
    text += Num(x) + ", " + Num(y) + ", " + Size2(w, h) + ")";
    return text;
}

[[noreturn]] void Refuse(const std::string& what) { throw EGifError("GIF: " + what); }

// giflib's error codes as the reader explains them.
std::string ReadErrorText(int code)
{
    switch (code) {
    case D_GIF_ERR_READ_FAILED: return "the file ends early";
    case D_GIF_ERR_NOT_GIF_FILE: return "not a GIF file (it does not start with GIF87a or GIF89a)";
    case D_GIF_ERR_NO_SCRN_DSCR: return "the file ends inside the logical screen descriptor or the global colour table";
    case D_GIF_ERR_NO_IMAG_DSCR: return "no frame descriptor";
    case D_GIF_ERR_NO_COLOR_MAP: return "no colour table";
    case D_GIF_ERR_WRONG_RECORD: return "an unknown block (neither a frame, an extension nor the trailer)";
    case D_GIF_ERR_DATA_TOO_BIG: return "more pixel data than the frame holds";
    case D_GIF_ERR_NOT_ENOUGH_MEM: return "out of memory";
    case D_GIF_ERR_IMAGE_DEFECT: return "damaged pixel data (a bad LZW code)";
    case D_GIF_ERR_EOF_TOO_SOON: return "the pixel data ends before the frame is complete";
    default: {
        const char* text = GifErrorString(code);
        return text ? text : "error " + Num(code);
    }
    }
}

// ---- reading ---------------------------------------------------------------------------------

struct TGifInput {
    TStream* Stream = nullptr;
    std::exception_ptr Failure; // what the stream raised, given back once giflib has returned
    // The signature, read and checked before giflib starts (giflib accepts any "GIF" version).
    uint8_t Signature[6] = {};
    int SignatureLeft = 0;
};

int ReadInput(GifFileType* gif, GifByteType* buffer, int count)
{
    auto* input = static_cast<TGifInput*>(gif->UserData);
    if (count <= 0 || input->Failure) return 0;
    // An exception must not cross giflib's frames: it is kept and raised once giflib returns.
    try {
        int done = 0;
        for (; done < count && input->SignatureLeft > 0; --input->SignatureLeft)
            buffer[done++] = input->Signature[sizeof input->Signature - static_cast<size_t>(input->SignatureLeft)];
        while (done < count) {
            const int64_t got = input->Stream->Read(buffer + done, count - done);
            if (got <= 0) break;
            done += static_cast<int>(got);
        }
        return done;
    } catch (...) {
        input->Failure = std::current_exception();
        return 0;
    }
}

struct TDecoderClose {
    void operator()(GifFileType* gif) const
    {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using TDecoder = std::unique_ptr<GifFileType, TDecoderClose>;

// A palette bitmap of the given size with the table's entries, its rows zeroed and about to be
// overwritten (not painted first). The size was checked against the picture limit.
void MakeIndexBitmap(TBitmap& bitmap, int32_t width, int32_t height, int tableBits, const GifColorType* colours)
{
    const TPixelFormat format = tableBits <= 1 ? TPixelFormat::pf1bit
                              : tableBits <= 4 ? TPixelFormat::pf4bit
                                               : TPixelFormat::pf8bit;
    TPalette palette;
    for (int i = 0; i < (1 << tableBits); ++i) palette.Add(colours[i].Red, colours[i].Green, colours[i].Blue);
    bitmap.Clear();
    bitmap.SetPixelFormat(format);
    bitmap.SetPalette(palette);
    TBitmapImage& image = bitmap.MutableImage();
    // A 1-bit store without pixels keeps black and white whatever its palette says; with pixels
    // about to exist the table follows the palette.
    image.ColorTable.clear();
    for (int i = 0; i < palette.Count(); ++i) image.ColorTable.push_back(TRGBQuad{palette[i].peBlue, palette[i].peGreen, palette[i].peRed, 0});
    image.Header.biWidth = width;
    image.Header.biHeight = height;
    image.AllocatePixels();
    image.Header.biSizeImage = static_cast<uint32_t>(image.ImageBytes());
}

// The alpha plane of the reader's palette pictures: 8 bits, grey palette, 0 opaque.
void MakeAlphaPlane(TBitmap& alpha, int32_t width, int32_t height)
{
    TPalette grey;
    for (int i = 0; i < 256; ++i) grey.Add(static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i));
    alpha.Clear();
    alpha.SetPixelFormat(TPixelFormat::pf8bit);
    alpha.SetPalette(grey);
    TBitmapImage& image = alpha.MutableImage();
    image.Header.biWidth = width;
    image.Header.biHeight = height;
    image.AllocatePixels();
    image.Header.biSizeImage = static_cast<uint32_t>(image.ImageBytes());
}

// The rows of a frame in the order its data gives them: interlaced frames come in four passes.
std::vector<int32_t> RowOrder(int32_t height, bool interlaced)
{
    std::vector<int32_t> order;
    order.reserve(static_cast<size_t>(height));
    if (!interlaced) {
        for (int32_t y = 0; y < height; ++y) order.push_back(y);
        return order;
    }
    constexpr int32_t starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int32_t y = starts[pass]; y < height; y += steps[pass]) order.push_back(y);
    return order;
}

struct TPendingControl {
    bool Present = false;
    uint8_t Disposal = 0;
    bool UserInput = false;
    uint16_t Delay = 0;
    int32_t Transparent = -1;
};

class TGifReader {
public:
    // end: the stream's size, where the file ends at the latest.
    TGifReader(TStream& stream, const TAnimationLimits& limits, int64_t end) : stream_(stream), limits_(limits), end_(end) {}
    // Only the outline: each frame's rectangle (its size here) and timing, its pixel data skipped
    // as it stands (not decoded), every check but those of the pixels made.
    TGifReader(TStream& stream, const TAnimationLimits& limits, int64_t end, std::vector<std::pair<int32_t, int32_t>>& sizes)
        : stream_(stream), limits_(limits), end_(end), sizes_(&sizes)
    {
    }

    std::shared_ptr<TAnimation> Read();
    // Outline only: whether the bytes ended before the trailer (the frames listed are those whole in them).
    bool Cut() const { return cut_; }
    // Outline only: whether a frame listed has a transparency index its table holds (as a load gives it alpha).
    bool Transparent() const { return transparent_; }

private:
    [[noreturn]] void Fail(const std::string& where, int code);
    std::string After() const
    {
        return animation_->Frames.empty() ? "before the first frame" : "after frame " + Num(static_cast<int64_t>(animation_->Frames.size()));
    }
    void ReadExtension();
    void ReadFrame();
    int64_t BytesLeft();

    TStream& stream_;
    const TAnimationLimits& limits_;
    int64_t end_ = 0;
    TGifInput input_;
    TDecoder gif_;
    std::shared_ptr<TAnimation> animation_;
    std::vector<std::pair<int32_t, int32_t>>* sizes_ = nullptr;
    TPendingControl control_;
    int64_t totalPixels_ = 0;
    bool cut_ = false;
    bool transparent_ = false;
    bool frameBeyondBytes_ = false; // the last refusal: a frame larger than the bytes left could hold
};

void TGifReader::Fail(const std::string& where, int code)
{
    if (input_.Failure) std::rethrow_exception(input_.Failure);
    Refuse(where + ": " + ReadErrorText(code));
}

int64_t TGifReader::BytesLeft() { return std::max<int64_t>(end_ - stream_.Position(), 0); }

std::shared_ptr<TAnimation> TGifReader::Read()
{
    input_.Stream = &stream_;
    int64_t got = 0;
    while (got < static_cast<int64_t>(sizeof input_.Signature)) {
        const int64_t n = stream_.Read(input_.Signature + got, static_cast<int64_t>(sizeof input_.Signature) - got);
        if (n <= 0) break;
        got += n;
    }
    if (got < static_cast<int64_t>(sizeof input_.Signature)) Fail("the header", D_GIF_ERR_READ_FAILED);
    if (!HasGifSignature(input_.Signature, sizeof input_.Signature)) Fail("the header", D_GIF_ERR_NOT_GIF_FILE);
    input_.SignatureLeft = sizeof input_.Signature;
    int error = 0;
    gif_.reset(DGifOpen(&input_, ReadInput, &error));
    if (!gif_) Fail("the header", error);

    animation_ = std::make_shared<TAnimation>();
    GifFileType& gif = *gif_;
    animation_->Width = gif.SWidth;
    animation_->Height = gif.SHeight;
    if (gif.SWidth <= 0 || gif.SHeight <= 0) Refuse("the logical screen is " + Size2(gif.SWidth, gif.SHeight));
    if (int64_t{gif.SWidth} * gif.SHeight > limits_.FramePixels())
        Refuse("the logical screen is " + Size2(gif.SWidth, gif.SHeight) + " pixels, more than the " +
               Num(limits_.FramePixels()) + " a picture may have");

    TGifFacts facts;
    facts.GlobalTable = gif.SColorMap != nullptr;
    if (gif.SColorMap) {
        facts.GlobalTableBits = gif.SColorMap->BitsPerPixel;
        for (int i = 0; i < gif.SColorMap->ColorCount; ++i) {
            const GifColorType& c = gif.SColorMap->Colors[i];
            facts.GlobalColours.push_back(TRGBQuad{c.Blue, c.Green, c.Red, 0});
        }
    }
    facts.BackgroundIndex = gif.SBackGroundColor;
    facts.AspectByte = gif.AspectByte;
    facts.ColourResolution = gif.SColorResolution;
    animation_->Gif = std::move(facts);
    animation_->Plays = 1; // without a loop block an animation plays once

    for (;;) {
        const size_t frames = animation_->Frames.size();
        try {
            GifRecordType type = UNDEFINED_RECORD_TYPE;
            if (DGifGetRecordType(gif_.get(), &type) == GIF_ERROR) Fail("the block " + After(), gif.Error);
            if (type == TERMINATE_RECORD_TYPE) break;
            if (type == IMAGE_DESC_RECORD_TYPE)
                ReadFrame();
            else if (type == EXTENSION_RECORD_TYPE)
                ReadExtension();
            else
                Fail("the block " + After(), D_GIF_ERR_WRONG_RECORD);
        } catch (const EGifError&) {
            // An outline of bytes that end here lists the frames whole in them; a frame larger than
            // the bytes left could hold is no more than a frame they cut.
            if (!sizes_ || input_.Failure || (BytesLeft() > 0 && !frameBeyondBytes_)) throw;
            animation_->Frames.resize(frames);
            sizes_->resize(frames);
            cut_ = true;
            break;
        }
    }
    if (animation_->Frames.empty() && !cut_) Refuse("the file holds no frame");
    return std::move(animation_);
}

void TGifReader::ReadExtension()
{
    const std::string where = "the extension block " + After();
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif_.get(), &code, &block) == GIF_ERROR) Fail(where, gif_->Error);
    auto next = [&] {
        if (DGifGetExtensionNext(gif_.get(), &block) == GIF_ERROR) Fail(where, gif_->Error);
    };
    TGifFacts& facts = *animation_->Gif;
    switch (code) {
    case GRAPHICS_EXT_FUNC_CODE: {
        if (!block || block[0] != GceLength)
            Refuse("the graphic control block " + After() + " holds " + Num(block ? block[0] : 0) + " bytes, not " + Num(GceLength));
        control_.Present = true;
        control_.Disposal = static_cast<uint8_t>((block[1] >> 2) & 0x07);
        control_.UserInput = (block[1] & 0x02) != 0;
        control_.Delay = static_cast<uint16_t>(block[2] | (block[3] << 8));
        control_.Transparent = (block[1] & 0x01) ? block[4] : -1;
        break;
    }
    case COMMENT_EXT_FUNC_CODE: {
        std::string comment;
        for (; block; next()) comment.append(reinterpret_cast<const char*>(block + 1), block[0]);
        facts.Comments.push_back(std::move(comment));
        return;
    }
    case APPLICATION_EXT_FUNC_CODE: {
        if (!block || block[0] != AppIdLength)
            Refuse("the application block " + After() + " has an identifier of " + Num(block ? block[0] : 0) +
                   " bytes, not " + Num(AppIdLength));
        const bool loop = std::memcmp(block + 1, "NETSCAPE2.0", AppIdLength) == 0 ||
                          std::memcmp(block + 1, "ANIMEXTS1.0", AppIdLength) == 0;
        next();
        if (loop && block && block[0] >= 1 && block[1] == 1) {
            if (block[0] < 3) Refuse("the loop block " + After() + " is cut short (" + Num(block[0]) + " bytes, 3 expected)");
            facts.Loops = true;
            animation_->Plays = static_cast<uint32_t>(block[2] | (block[3] << 8));
        }
        break;
    }
    case PLAINTEXT_EXT_FUNC_CODE:
        // Drawn text (never shown by today's viewers) takes the control block that preceded it.
        control_ = {};
        break;
    default: break;
    }
    while (block) next();
}

void TGifReader::ReadFrame()
{
    frameBeyondBytes_ = false;
    const int64_t number = static_cast<int64_t>(animation_->Frames.size()) + 1;
    const std::string where = "frame " + Num(number);
    if (number > limits_.Frames())
        Refuse("the file holds more than " + Num(limits_.Frames()) + " frames, more than an animation may have");
    if (DGifGetImageDesc(gif_.get()) == GIF_ERROR) {
        // giflib says nothing when the file ends before the frame's LZW code size, and says a read
        // failed for a code size beyond 8 bits: what is left of the file tells the two apart.
        const int code = gif_->Error;
        if (!input_.Failure && (code == 0 || code == D_GIF_ERR_READ_FAILED)) {
            if (BytesLeft() > 0) Refuse(where + ": damaged pixel data (an LZW code size beyond 8 bits)");
            Fail(where, D_GIF_ERR_READ_FAILED);
        }
        Fail(where, code);
    }

    const GifFileType& gif = *gif_;
    const GifImageDesc& desc = gif.Image;
    const int32_t left = desc.Left, top = desc.Top, width = desc.Width, height = desc.Height;
    const std::string rect = Rectangle(left, top, width, height);
    if (width <= 0 || height <= 0) Refuse(where + " is empty " + rect);
    if (left >= gif.SWidth || top >= gif.SHeight)
        Refuse(where + "'s rectangle " + rect + " lies outside the " + Size2(gif.SWidth, gif.SHeight) + " screen");
    const int64_t pixels = int64_t{width} * height;
    if (pixels > limits_.FramePixels())
        Refuse(where + " declares " + Size2(width, height) + " pixels, more than the " + Num(limits_.FramePixels()) +
               " a frame may have");
    if (totalPixels_ + pixels > limits_.TotalPixels())
        Refuse("the frames up to " + where + " hold " + Num(totalPixels_ + pixels) + " pixels, more than the " +
               Num(limits_.TotalPixels()) + " an animation may have");
    const int64_t bytesLeft = BytesLeft();
    frameBeyondBytes_ = pixels > bytesLeft * MaxPixelsPerByte;
    if (frameBeyondBytes_)
        Refuse(where + " declares " + Size2(width, height) + " pixels, more than the " + Num(bytesLeft) +
               " bytes left in the file can hold");
    totalPixels_ += pixels;

    const ColorMapObject* table = desc.ColorMap ? desc.ColorMap : gif.SColorMap;
    if (!table) Refuse(where + " has no colour table (neither a local nor a global one)");
    const int tableBits = table->BitsPerPixel;
    const int entries = table->ColorCount;

    // The part of the rectangle on the screen is kept.
    const int32_t keptWidth = std::min(width, gif.SWidth - left);
    const int32_t keptHeight = std::min(height, gif.SHeight - top);

    TFrame frame;
    frame.X = left;
    frame.Y = top;
    frame.DelayNum = control_.Delay;
    frame.DelayDen = 100;
    frame.Blend = TFrameBlend::Over;
    frame.Dispose = control_.Disposal == 2   ? TFrameDispose::Background
                    : control_.Disposal == 3 ? TFrameDispose::Previous
                                             : TFrameDispose::None;
    TGifFrameFacts facts;
    facts.Disposal = control_.Disposal;
    facts.UserInput = control_.UserInput;
    facts.Interlaced = desc.Interlace;
    facts.LocalTable = desc.ColorMap != nullptr;
    facts.LocalTableBits = desc.ColorMap ? desc.ColorMap->BitsPerPixel : 0;
    facts.TransparentIndex = control_.Transparent;
    control_ = {};
    if (sizes_) {
        int codeSize = 0;
        GifByteType* block = nullptr;
        if (DGifGetCode(gif_.get(), &codeSize, &block) == GIF_ERROR) Fail(where, gif_->Error);
        while (block)
            if (DGifGetCodeNext(gif_.get(), &block) == GIF_ERROR) Fail(where, gif_->Error);
        sizes_->emplace_back(keptWidth, keptHeight);
        transparent_ = transparent_ || (facts.TransparentIndex >= 0 && facts.TransparentIndex < entries);
        frame.Gif = facts;
        animation_->Frames.push_back(std::move(frame));
        return;
    }

    TPictureData& picture = frame.Picture;
    MakeIndexBitmap(picture.Image, keptWidth, keptHeight, tableBits, table->Colors);
    picture.PaletteBits = tableBits;
    const bool transparent = facts.TransparentIndex >= 0 && facts.TransparentIndex < entries;
    if (transparent) {
        MakeAlphaPlane(picture.Alpha, keptWidth, keptHeight);
        picture.IndexAlpha.assign(static_cast<size_t>(facts.TransparentIndex) + 1, 255);
        picture.IndexAlpha.back() = 0;
    }

    const int bits = FactsOf(picture.Image.PixelFormat()).Bits;
    const TBitmap::TRows rows = picture.Image.Rows();
    const TBitmap::TRows alphaRows = transparent ? picture.Alpha.Rows() : TBitmap::TRows{};
    std::vector<GifPixelType> line(static_cast<size_t>(width));
    for (const int32_t y : RowOrder(height, desc.Interlace)) {
        if (DGifGetLine(gif_.get(), line.data(), width) == GIF_ERROR) Fail(where, gif_->Error);
        if (y >= keptHeight) continue;
        uint8_t* row = rows.At(y);
        uint8_t* alpha = transparent ? alphaRows.At(y) : nullptr;
        for (int32_t x = 0; x < keptWidth; ++x) {
            const GifPixelType index = line[static_cast<size_t>(x)];
            if (index >= entries)
                Refuse(where + " uses colour index " + Num(index) + " at (" + Num(x) + ", " + Num(y) + "), beyond its table of " +
                       Num(entries) + " entries");
            PutPackedIndex(row, bits, x, index);
            if (alpha && index == facts.TransparentIndex) alpha[x] = 255;
        }
    }
    frame.Gif = facts;
    animation_->Frames.push_back(std::move(frame));
}

// ---- writing ---------------------------------------------------------------------------------

struct TGifOutput {
    TStream* Stream = nullptr;
    std::exception_ptr Failure;
    bool Stopped = false;
};

int WriteOutput(GifFileType* gif, const GifByteType* buffer, int count)
{
    auto* output = static_cast<TGifOutput*>(gif->UserData);
    if (count <= 0 || output->Failure || output->Stopped) return 0;
    try {
        output->Stream->WriteBuffer(buffer, count);
        return count;
    } catch (...) {
        output->Failure = std::current_exception();
        return 0;
    }
}

struct TEncoderClose {
    void operator()(GifFileType* gif) const
    {
        int error = 0;
        EGifCloseFile(gif, &error);
    }
};
using TEncoder = std::unique_ptr<GifFileType, TEncoderClose>;

struct TMapFree {
    void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};
using TColourMap = std::unique_ptr<ColorMapObject, TMapFree>;

[[noreturn]] void Unwritable(const std::string& what) { throw EConvertError("GIF: " + what); }

// A colour table as written: 2^Bits entries.
struct TTable {
    int Bits = 0;
    std::vector<GifColorType> Colours;
    friend bool operator==(const TTable& a, const TTable& b)
    {
        if (a.Bits != b.Bits || a.Colours.size() != b.Colours.size()) return false;
        for (size_t i = 0; i < a.Colours.size(); ++i)
            if (a.Colours[i].Red != b.Colours[i].Red || a.Colours[i].Green != b.Colours[i].Green ||
                a.Colours[i].Blue != b.Colours[i].Blue)
                return false;
        return true;
    }
};

int BitsFor(int entries)
{
    int bits = 1;
    while ((1 << bits) < entries) ++bits;
    return bits;
}

TTable TableOf(const std::vector<TRGBQuad>& quads, int bits)
{
    TTable table;
    table.Bits = std::max(bits, BitsFor(static_cast<int>(quads.size())));
    table.Colours.assign(size_t{1} << table.Bits, GifColorType{0, 0, 0});
    for (size_t i = 0; i < quads.size(); ++i) table.Colours[i] = GifColorType{quads[i].rgbRed, quads[i].rgbGreen, quads[i].rgbBlue};
    return table;
}

TColourMap MapOf(const TTable& table)
{
    TColourMap map(GifMakeMapObject(1 << table.Bits, table.Colours.data()));
    if (!map) throw EOutOfResources(msg::OutOfResources);
    return map;
}

// One frame as it will be written, everything checked.
struct TFramePlan {
    const TBitmap* Image = nullptr;
    int32_t X = 0, Y = 0;
    TTable Table;
    bool UsedGlobal = true; // may be written with the global table
    bool Local = true;
    int Transparent = -1;
    bool ClearPixels = false; // some pixel is transparent
    // The index each index is written as: itself, but the fully transparent indices in use all
    // the transparency index (their colours are never shown).
    std::array<uint8_t, 256> Written{};
    uint8_t Disposal = 0;
    bool UserInput = false;
    bool Interlaced = false;
    uint16_t Delay = 0;
};

// The frame's table and transparency index from its picture. The alpha of each index is what
// its pixels have (they must agree), else what IndexAlpha says for it; GIF holds one index of
// alpha 0 and nothing between 0 and 255. Pixels of several fully transparent indices (a region's
// change copies a transparent entry whose colour it caught) are written as the one transparency
// index: the file's own when it is among them, else the first.
void PlanPicture(const TPictureData& picture, const TGifFrameFacts* facts, const std::string& what, TFramePlan& plan)
{
    const TBitmap& image = picture.Image;
    const TPixelFormatFacts& format = FactsOf(image.PixelFormat());
    if (!format.Indexed || image.Image()->ColorTable.empty())
        Unwritable(what + " is not a palette picture (" + Num(format.Depth) +
                   " bits a pixel); GIF holds palette pictures of at most 256 colours, and colours are not reduced here");
    const int32_t w = image.Width(), h = image.Height();
    if (w <= 0 || h <= 0) Unwritable(what + " is empty");
    plan.Image = &image;

    std::array<int, 256> alphaOf;
    alphaOf.fill(-1); // not used by a pixel
    const bool plane = AlphaPlaneFits(image, picture.Alpha);
    int maxIndex = 0;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = image.ConstScanLine(y);
        const uint8_t* a = plane ? picture.Alpha.ConstScanLine(y) : nullptr;
        for (int32_t x = 0; x < w; ++x) {
            const uint8_t index = GetPackedIndex(row, format.Bits, x);
            maxIndex = std::max<int>(maxIndex, index);
            const int alpha = a ? 255 - a[x] : 255;
            int& known = alphaOf[index];
            if (known < 0)
                known = alpha;
            else if (known != alpha)
                Unwritable(what + " has pixels of palette index " + Num(index) +
                           " that differ in transparency; GIF gives each index one");
        }
    }

    const std::vector<TRGBQuad>& quads = image.Image()->ColorTable;
    // A frame that came from a GIF keeps its table's size; any other takes the smallest that holds it.
    const int wanted = facts && picture.PaletteBits >= 1 && picture.PaletteBits <= 8 ? picture.PaletteBits : 0;
    plan.Table = TableOf(quads, std::max(wanted, BitsFor(maxIndex + 1)));
    const int entries = 1 << plan.Table.Bits;

    int usedClear = -1, spareClear = -1;
    std::vector<int> clearInUse;
    for (int i = 0; i < entries; ++i) {
        const bool used = alphaOf[static_cast<size_t>(i)] >= 0;
        const int alpha = used ? alphaOf[static_cast<size_t>(i)]
                               : static_cast<size_t>(i) < picture.IndexAlpha.size() ? picture.IndexAlpha[static_cast<size_t>(i)]
                                                                                     : 255;
        if (used && alpha != 0 && alpha != 255)
            Unwritable(what + " has pixels of alpha " + Num(alpha) + " (palette index " + Num(i) +
                       "); GIF holds only fully transparent and opaque pixels");
        if (alpha != 0) continue;
        if (used) {
            clearInUse.push_back(i);
            if (usedClear < 0 || (facts && i == facts->TransparentIndex)) usedClear = i;
        } else if (spareClear < 0 || (facts && i == facts->TransparentIndex)) {
            spareClear = i;
        }
    }
    plan.Transparent = usedClear >= 0 ? usedClear : spareClear;
    plan.ClearPixels = usedClear >= 0;
    for (int i = 0; i < 256; ++i) plan.Written[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    for (const int i : clearInUse) plan.Written[static_cast<size_t>(i)] = static_cast<uint8_t>(usedClear);
    // An index beyond the table marks nothing; kept as the file had it.
    if (plan.Transparent < 0 && facts && facts->TransparentIndex >= entries && facts->TransparentIndex <= 255)
        plan.Transparent = facts->TransparentIndex;
}

uint16_t Hundredths(const TFrame& frame)
{
    const double den = frame.DelayDen == 0 ? 100.0 : frame.DelayDen;
    return static_cast<uint16_t>(std::min(std::nearbyint(frame.DelayNum * 100.0 / den), 65535.0));
}

uint8_t DisposalOf(const TFrame& frame)
{
    // The file's own value when it still says the same (it tells 0 from 1, and keeps 4..7).
    if (frame.Gif) {
        const uint8_t raw = frame.Gif->Disposal;
        const TFrameDispose meant = raw == 2 ? TFrameDispose::Background : raw == 3 ? TFrameDispose::Previous : TFrameDispose::None;
        if (meant == frame.Dispose) return raw;
    }
    switch (frame.Dispose) {
    case TFrameDispose::Background: return 2;
    case TFrameDispose::Previous: return 3;
    default: return 1;
    }
}

// An extension of the given blocks, each cut into sub-blocks of at most 255 bytes.
int PutExtension(GifFileType* gif, int code, const std::vector<std::string>& blocks)
{
    if (EGifPutExtensionLeader(gif, code) == GIF_ERROR) return GIF_ERROR;
    for (const std::string& block : blocks)
        for (size_t at = 0; at < block.size(); at += 255) {
            const size_t n = std::min<size_t>(255, block.size() - at);
            if (EGifPutExtensionBlock(gif, static_cast<int>(n), block.data() + at) == GIF_ERROR) return GIF_ERROR;
        }
    return EGifPutExtensionTrailer(gif);
}

class TGifWriter {
public:
    TGifWriter(TStream& stream, const TPictureData& data) : stream_(stream), data_(data) {}
    void Write();

private:
    void Plan();
    void Check(int result);

    TStream& stream_;
    const TPictureData& data_;
    TGifOutput output_;
    TEncoder gif_;
    int32_t width_ = 0, height_ = 0;
    std::vector<TFramePlan> frames_;
    std::optional<TTable> global_;
};

void TGifWriter::Plan()
{
    const TAnimation* animation = data_.Animation.get();
    if (!animation) {
        width_ = data_.Image.Width();
        height_ = data_.Image.Height();
        TFramePlan plan;
        PlanPicture(data_, nullptr, "the picture", plan);
        frames_.push_back(std::move(plan));
    } else {
        width_ = animation->Width;
        height_ = animation->Height;
        if (animation->Frames.empty()) Unwritable("the animation has no frame");
        for (size_t i = 0; i < animation->Frames.size(); ++i) {
            const TFrame& frame = animation->Frames[i];
            const std::string what = "frame " + Num(static_cast<int64_t>(i) + 1);
            const TGifFrameFacts* facts = frame.Gif ? &*frame.Gif : nullptr;
            TFramePlan plan;
            PlanPicture(frame.Picture, facts, what, plan);
            plan.X = frame.X;
            plan.Y = frame.Y;
            const int32_t w = frame.Picture.Image.Width(), h = frame.Picture.Image.Height();
            if (frame.X < 0 || frame.Y < 0 || int64_t{frame.X} + w > width_ || int64_t{frame.Y} + h > height_)
                Unwritable(what + "'s rectangle " + Rectangle(frame.X, frame.Y, w, h) + " does not lie within the " +
                           Size2(width_, height_) + " canvas");
            plan.UsedGlobal = !facts || !facts->LocalTable;
            plan.Disposal = DisposalOf(frame);
            plan.UserInput = facts && facts->UserInput;
            plan.Interlaced = facts && facts->Interlaced;
            plan.Delay = Hundredths(frame);
            // GIF draws every frame over the canvas: a frame that would put its transparent pixels
            // in place of what an earlier frame drew cannot be said.
            if (frame.Blend == TFrameBlend::Source && plan.ClearPixels && i > 0)
                Unwritable(what + " replaces what lies under it, its transparent pixels included (blend source); "
                                  "GIF only draws a frame over the canvas");
            frames_.push_back(std::move(plan));
        }
    }
    if (width_ <= 0 || height_ <= 0 || width_ > 65535 || height_ > 65535)
        Unwritable("a canvas of " + Size2(width_, height_) + " pixels does not fit a GIF (1 to 65535 a side)");

    // The global table: that of the first frame which used it, so that a change made alike to all
    // of them changes it once; else the file's own, kept as it was.
    for (const TFramePlan& plan : frames_)
        if (plan.UsedGlobal) {
            global_ = plan.Table;
            break;
        }
    if (!global_ && animation && animation->Gif && animation->Gif->GlobalTable)
        global_ = TableOf(animation->Gif->GlobalColours, animation->Gif->GlobalTableBits);
    for (TFramePlan& plan : frames_) plan.Local = !(plan.UsedGlobal && global_ && plan.Table == *global_);
}

void TGifWriter::Check(int result)
{
    if (result != GIF_ERROR) return;
    if (output_.Failure) std::rethrow_exception(output_.Failure);
    const char* text = GifErrorString(gif_->Error);
    throw EWriteError(msg::WriteError, std::string("GIF: ") + (text ? text : "giflib failed"));
}

void TGifWriter::Write()
{
    Plan();
    output_.Stream = &stream_;
    int error = 0;
    gif_.reset(EGifOpen(&output_, WriteOutput, &error));
    if (!gif_) throw EOutOfResources(msg::OutOfResources);
    // On a failure nothing more reaches the stream (closing would write the trailer).
    TScopeGuard stop([this] { output_.Stopped = true; });
    EGifSetGifVersion(gif_.get(), true);

    const TAnimation* animation = data_.Animation.get();
    const TGifFacts* facts = animation && animation->Gif ? &*animation->Gif : nullptr;
    gif_->AspectByte = facts ? static_cast<GifByteType>(facts->AspectByte) : 0;
    const int resolution = facts ? std::clamp(facts->ColourResolution, 1, 8) : 8;
    const int background = facts ? std::clamp(facts->BackgroundIndex, 0, 255) : 0;
    {
        const TColourMap map = global_ ? MapOf(*global_) : nullptr;
        Check(EGifPutScreenDesc(gif_.get(), width_, height_, resolution, background, map.get()));
    }

    // Without a loop block an animation plays once.
    if (animation && ((facts && facts->Loops) || animation->Plays != 1)) {
        const uint16_t count = static_cast<uint16_t>(std::min<uint32_t>(animation->Plays, 65535));
        const std::string loop = {'\x01', static_cast<char>(count & 0xFF), static_cast<char>(count >> 8)};
        Check(PutExtension(gif_.get(), APPLICATION_EXT_FUNC_CODE, {"NETSCAPE2.0", loop}));
    }
    if (facts)
        for (const std::string& comment : facts->Comments) Check(PutExtension(gif_.get(), COMMENT_EXT_FUNC_CODE, {comment}));

    std::vector<GifPixelType> line;
    for (const TFramePlan& plan : frames_) {
        if (plan.Delay != 0 || plan.Disposal != 0 || plan.UserInput || plan.Transparent >= 0) {
            const uint8_t control[GceLength] = {
                static_cast<uint8_t>((plan.Disposal & 0x07) << 2 | (plan.UserInput ? 0x02 : 0) | (plan.Transparent >= 0 ? 0x01 : 0)),
                static_cast<uint8_t>(plan.Delay & 0xFF), static_cast<uint8_t>(plan.Delay >> 8),
                static_cast<uint8_t>(plan.Transparent >= 0 ? plan.Transparent : 0)};
            Check(EGifPutExtension(gif_.get(), GRAPHICS_EXT_FUNC_CODE, GceLength, control));
        }
        const TBitmap& image = *plan.Image;
        const int32_t w = image.Width(), h = image.Height();
        const TColourMap map = plan.Local ? MapOf(plan.Table) : nullptr;
        // giflib drops (without freeing) its copy of the last local table when a frame has none.
        if (!map && gif_->Image.ColorMap) {
            GifFreeMapObject(gif_->Image.ColorMap);
            gif_->Image.ColorMap = nullptr;
        }
        Check(EGifPutImageDesc(gif_.get(), plan.X, plan.Y, w, h, plan.Interlaced, map.get()));
        const int bits = FactsOf(image.PixelFormat()).Bits;
        line.resize(static_cast<size_t>(w));
        for (const int32_t y : RowOrder(h, plan.Interlaced)) {
            const uint8_t* row = image.ConstScanLine(y);
            for (int32_t x = 0; x < w; ++x) line[static_cast<size_t>(x)] = plan.Written[GetPackedIndex(row, bits, x)];
            Check(EGifPutLine(gif_.get(), line.data(), w));
        }
    }
    stop.Dismiss();
    // Closing writes the trailer.
    EGifCloseFile(gif_.release(), &error);
    if (output_.Failure) std::rethrow_exception(output_.Failure);
}

} // namespace

bool HasGifSignature(const uint8_t* bytes, size_t count)
{
    return count >= 6 && (std::memcmp(bytes, "GIF87a", 6) == 0 || std::memcmp(bytes, "GIF89a", 6) == 0);
}

std::pair<int64_t, int64_t> GifDeclaredSize(const uint8_t* head, size_t count)
{
    if (count < 10 || !HasGifSignature(head, count)) return {0, 0};
    return {head[6] | (head[7] << 8), head[8] | (head[9] << 8)};
}

TGifOutline ReadGifOutline(TStream& stream, const TAnimationLimits& limits)
{
    TGifOutline outline;
    std::vector<std::pair<int32_t, int32_t>> sizes;
    TGifReader reader(stream, limits, stream.Size(), sizes);
    const std::shared_ptr<TAnimation> animation = reader.Read();
    outline.Width = animation->Width;
    outline.Height = animation->Height;
    outline.Plays = animation->Plays;
    outline.Cut = reader.Cut();
    if (animation->Gif) {
        outline.Comments = animation->Gif->Comments;
        outline.GlobalTableSize = static_cast<int32_t>(animation->Gif->GlobalColours.size());
    }
    outline.Alpha = reader.Transparent();
    for (size_t i = 0; i < animation->Frames.size(); ++i) {
        const TFrame& f = animation->Frames[i];
        outline.Frames.push_back({f.X, f.Y, sizes[i].first, sizes[i].second, f.DelayNum});
    }
    return outline;
}

void LoadGif(TStream& stream, TPictureData& data, const TAnimationLimits& limits)
{
    std::shared_ptr<TAnimation> animation;
    int64_t size = -1;
    try {
        size = stream.Size();
    } catch (const EStreamError&) {
    }
    if (size < 0) {
        // A stream of unknown size (a pipe) is read whole first, so that frames can be weighed
        // against what is left of it.
        TMemoryStream memory;
        const int64_t limit = limits.TotalPixels() * 2 + BlockRoom;
        if (!memory.LoadFromStream(stream, limit))
            throw EReadError("GIF: more than " + Num(limit) + " bytes, more than any GIF within the limits needs");
        animation = TGifReader(memory, limits, memory.Size()).Read();
    } else {
        animation = TGifReader(stream, limits, size).Read();
    }
    TPictureData still = ComposeFrame(*animation, 0);
    data.Image.Assign(still.Image);
    data.Alpha.Assign(still.Alpha);
    data.PaletteBits = 0;
    data.IndexAlpha.clear();
    data.Animation = std::move(animation);
}

void SaveGif(TStream& stream, const TPictureData& data) { TGifWriter(stream, data).Write(); }

} // namespace tintabrel
