#include "png/VRQPNG.h"

#include "image/Canvas.h"
#include "base/Exceptions.h"
#include "base/ScopeGuard.h"
#include "image/Picture.h"
#include "png/VRQPNGReadStream.h"
#include "png/VRQPNGWriteStream.h"

namespace tintabrel {

namespace {

// Puts the picture's progress listener on the bitmap being read or written, and the bitmap's
// own listener back when the operation succeeds (a failure leaves the picture's in place).
class TProgressRelay {
public:
    TProgressRelay(const TGraphic& picture, const TBitmap& bitmap) : bitmap_(bitmap)
    {
        if (!picture.OnProgress) return;
        saved_ = bitmap.OnProgress;
        bitmap.OnProgress = picture.OnProgress;
        relayed_ = true;
    }
    // Touches the bitmap only when it relayed: another thread may be reading the bitmap.
    void Restore()
    {
        if (relayed_) bitmap_.OnProgress = std::move(saved_);
    }

private:
    const TBitmap& bitmap_;
    TProgressEvent saved_;
    bool relayed_ = false;
};

// Registration with the picture holder for the program's lifetime.
struct TRegistration {
    TRegistration()
    {
        TPicture::RegisterFileFormat("PNG", "PNG Format", "TVRQPNG", [] { return std::make_unique<TVRQPNG>(); });
    }
    ~TRegistration() { TPicture::UnregisterGraphicClass("TVRQPNG"); }
} g_registration;

} // namespace

TVRQPNG::TVRQPNG() : AlphaBitmap(std::make_unique<TBitmap>()), Bitmap(std::make_unique<TBitmap>())
{
    Gamma = DefaultGamma;
    TimeStamp = CurrentUTCTime();
}

TVRQPNG::~TVRQPNG() = default;

// ---------------------------------------------------------------- assignment

void TVRQPNG::AssignTo(TGraphic& dest) const { dest.Assign(&ActiveBitmap()); }

void TVRQPNG::Assign(const TGraphic* source)
{
    if (source == nullptr) throw EConvertError(msg::CannotAssign("nil", ClassName()));
    if (source == this) return;
    LinkedBitmap = nullptr;
    if (auto* picture = dynamic_cast<const TVRQPNG*>(source)) {
        Bitmap->Assign(*picture->Bitmap);
        AlphaBitmap->Assign(*picture->AlphaBitmap);
        LinkedBitmap = picture->LinkedBitmap;
        LinkedAlphaBitmap = picture->LinkedAlphaBitmap;
        CompressionLevel = picture->CompressionLevel;
        FilterMode = picture->FilterMode;
        IDATSize = picture->IDATSize;
        Interlace = picture->Interlace;
        Threads = picture->Threads;
        Grayscale = picture->Grayscale;
        // Everything the file says, but the GIF control, which stays the picture's own.
        const TVRQPNGGifControl gif = GifControl;
        Info = picture->Info;
        GifControl = gif;
        IndexAlpha = picture->IndexAlpha;
        UseCurrentTime = picture->UseCurrentTime;
        Clock = picture->Clock;
        Strip = picture->Strip;
    } else {
        Bitmap->Assign(source);
    }
    SyncFromBitmap(*Bitmap);
}

void TVRQPNG::SyncFromBitmap(TBitmap& bitmap)
{
    PaletteModified = true;
    if (Transparent() != bitmap.Transparent()) {
        updating_ = true;
        const TScopeGuard updated([this] { updating_ = false; });
        SetTransparent(bitmap.Transparent());
    } else {
        Changed();
    }
}

// ---------------------------------------------------------------- graphic operations

void TVRQPNG::Draw(TCanvas& canvas, const TRect& rect) const { canvas.StretchDraw(rect, ActiveBitmap()); }

bool TVRQPNG::Empty() const { return ActiveBitmap().Empty(); }

int32_t TVRQPNG::Width() const { return ActiveBitmap().Width(); }

int32_t TVRQPNG::Height() const { return ActiveBitmap().Height(); }

std::optional<TPalette> TVRQPNG::Palette() const { return ActiveBitmap().Palette(); }

void TVRQPNG::SetPalette(const std::optional<TPalette>& palette)
{
    ActiveBitmap().SetPalette(palette);
    Changed();
}

void TVRQPNG::SetWidth(int32_t value)
{
    if (!ActiveBitmap().Empty()) ActiveBitmap().SetWidth(value);
    if (!ActiveAlphaBitmap().Empty()) ActiveAlphaBitmap().SetWidth(value);
    Changed();
}

void TVRQPNG::SetHeight(int32_t value)
{
    if (!ActiveBitmap().Empty()) ActiveBitmap().SetHeight(value);
    if (!ActiveAlphaBitmap().Empty()) ActiveAlphaBitmap().SetHeight(value);
    Changed();
}

void TVRQPNG::SetTransparent(bool value)
{
    if (!updating_ && ActiveBitmap().Transparent() != value) ActiveBitmap().SetTransparent(value);
    TGraphic::SetTransparent(value);
}

// ---------------------------------------------------------------- files and streams

// What goes to the encoder on every save: the record, with the picture's three records by reference.
void TVRQPNG::GiveInfo(TVRQPNGWriteStream& writer) const
{
    writer.Grayscale = Grayscale;
    writer.Info = Info;
    writer.IndexAlpha = IndexAlpha;
    writer.TimeStamp = &TimeStamp;
    writer.Chromaticity = &Chromaticity;
    writer.GifControl = &GifControl;
}

// What comes back from the decoder on every load: the record, and what the picture derives from it.
void TVRQPNG::TakeResults(const TVRQPNGReadStream& reader)
{
    Info = reader.Info;
    UseAlpha = reader.HasAlpha;
    TransparentColor = reader.TransparentColor;
    IndexAlpha.clear();
    if (reader.ColorKind == 3) {
        const size_t count = TransparencyLength(reader.AlphaTable.data(), reader.AlphaTable.size());
        IndexAlpha.assign(reader.AlphaTable.begin(), reader.AlphaTable.begin() + static_cast<long>(count));
    }
    BitsPerPixel = reader.BitDepth;
    Grayscale = reader.IsGray;
}

void TVRQPNG::SaveToStream(TStream& stream) const
{
    TVRQPNGWriteStream writer;
    writer.CompressionLevel = CompressionLevel;
    writer.FilterMode = FilterMode;
    writer.SetIDATSize(IDATSize);
    writer.Interlace = Interlace ? 1 : 0;
    writer.Parallel.Threads = Threads;
    writer.WholeImageDeflate = WholeImageDeflate;
    writer.SourceRows = SourceRows;
    GiveInfo(writer);
    writer.UseCurrentTime = UseCurrentTime;
    writer.Clock = Clock;
    writer.Strip = Strip;
    writer.OnEncodeRow = OnEncodeRow;
    writer.RowKey = RowKey;
    if (UseAlpha) writer.AlphaBitmap = &ActiveAlphaBitmap();

    TProgressRelay relay(*this, ActiveBitmap());
    writer.WriteToStream(ActiveBitmap(), stream);
    relay.Restore();
}

void TVRQPNG::LoadFromStream(TStream& stream)
{
    TVRQPNGReadStream reader;
    reader.OnDecodeRow = OnDecodeRow;
    reader.OnKeyRequest = OnKeyRequest;
    reader.RowKey = RowKey;
    reader.SkipHeaderAllowed = SkipHeaderAllowed;
    reader.HighColorOutput = HighColorOutput;
    reader.TimeStore = &TimeStamp;
    reader.ChromaStore = &Chromaticity;
    reader.GifStore = &GifControl;
    reader.Threads = Threads;
    reader.KeepChunks = KeepChunks;
    AlphaBitmap->Clear();
    reader.AlphaTarget = &ActiveAlphaBitmap();
    reader.RowSink = RowSink;
    reader.KeepImageData = KeepImageData;

    TProgressRelay relay(*this, ActiveBitmap());
    reader.ReadFromStream(&ActiveBitmap(), stream, 0);
    relay.Restore();

    TakeResults(reader);
    ImageData = std::move(reader.ImageData);
    Interlace = reader.Interlace != 0;
    SyncFromBitmap(ActiveBitmap());
}

void TVRQPNG::WriteData(TStream& stream) const
{
    if (Bitmap->Empty()) return;
    TVRQPNGWriteStream writer;
    GiveInfo(writer);
    if (UseAlpha) writer.AlphaBitmap = AlphaBitmap.get();
    writer.WriteToStream(*Bitmap, stream);
}

void TVRQPNG::ReadData(TStream& stream)
{
    {
        TVRQPNGReadStream reader;
        reader.TimeStore = &TimeStamp;
        reader.ChromaStore = &Chromaticity;
        reader.GifStore = &GifControl;
        LinkedAlphaBitmap = nullptr;
        LinkedBitmap = nullptr;
        AlphaBitmap->Clear();
        reader.AlphaTarget = AlphaBitmap.get();
        reader.ReadFromStream(Bitmap.get(), stream, 0);

        TakeResults(reader); // the interlace setting stays as it was
        SyncFromBitmap(*Bitmap);
    }
    Changed();
}

} // namespace tintabrel
