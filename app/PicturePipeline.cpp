#include "app/PicturePipeline.h"

#include <atomic>

#include "base/Exceptions.h"
#include "base/RowGate.h"
#include "base/ScopeGuard.h"
#include "base/TaskPool.h"
#include "png/VRQPNGReadStream.h"

namespace tintabrel {

namespace {

// Below this, a picture is quicker changed and compressed after the read than handed over row by row.
std::atomic<int64_t> leastPixelsRowByRow{int64_t{1} << 20};

// The bytes written.
int64_t Write(const TPipelineOutput& out, const TPictureData& picture, const TPNGSaveOptions& png)
{
    if (!out.Path.empty()) return SavePicture(out.Path, out.Kind, picture, png, out.Overwrite);
    if (!out.Stream) return 0;
    const int64_t start = out.Stream->Position();
    SavePicture(*out.Stream, out.Kind, picture, png);
    return out.Stream->Position() - start;
}

// Whether the output can follow the read row by row: a PNG written somewhere, a change of hue
// windows only, neither optimised nor interlaced, a second thread to compress on; and a file whose
// header (read ahead, the stream rewound) says its rows are final once stored: RGB or RGBA, not
// interlaced, no transparent colour; large enough to gain by it.
bool RowByRow(TStream& input, TPictureKind kind, const TLoadOptions& load, const TPipelineOutput& out)
{
    if (kind != TPictureKind::Png || out.Kind != TPictureKind::Png || load.Threads < 2 || !out.RowChange ||
        out.Png.Optimize || out.Png.Interlace || (out.Path.empty() && !out.Stream))
        return false;
    const int64_t start = input.Position();
    const TScopeGuard rewind([&] { input.SetPosition(start); });
    TVRQPNGReadStream reader;
    reader.StopAtImageData = true;
    try {
        reader.ReadFromStream(nullptr, input, 0);
    } catch (const std::exception&) {
        return false; // the load says why
    }
    return reader.ColorKind == 2 && reader.Interlace == 0 && reader.TransparentColor == -1 && !reader.SampleAlpha &&
           int64_t{reader.Width} * reader.Height >= leastPixelsRowByRow.load();
}

// Follows the decoder: each stored row is changed on the reading thread and opened to the encoder,
// which writes the output on a thread of its own from bitmaps sharing the decoder's pixels.
class TRowFlow final : public TRowSink {
public:
    explicit TRowFlow(const TPipelineOutput& out) : out_(out)
    {
        for (const THueWindow& window : out.RowChange->Windows) changes_.emplace_back(*out.RowChange->Protected, window);
    }
    ~TRowFlow() override { End(false); }

    void Begin(TBitmap& image, TBitmap* alpha) override
    {
        if (image.PixelFormat() != TPixelFormat::pf24bit || image.Height() <= 0) return; // left to the end
        // Row addresses first: taken after the pixels are shared, they would copy them away.
        rows_ = image.Rows();
        width_ = image.Width();
        withAlpha_ = alpha && AlphaPlaneFits(image, *alpha);
        if (withAlpha_) alphaRows_ = alpha->Rows();
        picture_.Image.Assign(image);
        if (withAlpha_) picture_.Alpha.Assign(*alpha);
        started_ = encoder_.Start([this] {
            try {
                TPNGSaveOptions png = out_.Png;
                png.Rows = &gate_;
                png.Progress = nullptr; // the read tells how far the file is: the write follows it
                bytes_ = Write(out_, picture_, png);
            } catch (...) {
                error_ = std::current_exception();
            }
        });
    }

    void Stored(int32_t rows) override
    {
        if (!started_) return;
        for (; changed_ < rows; ++changed_)
            for (THueRowReplacer& change : changes_)
                change.Row(rows_.At(changed_), width_, withAlpha_ ? alphaRows_.At(changed_) : nullptr);
        gate_.Open(rows);
    }

    bool Started() const { return started_; }
    int64_t Bytes() const { return bytes_; } // after End
    // The read ended, finished or not; waits for the encoder. Its failure, if any.
    std::exception_ptr End(bool finished)
    {
        gate_.End(finished);
        encoder_.Join();
        return error_;
    }

private:
    const TPipelineOutput& out_;
    std::vector<THueRowReplacer> changes_;
    TBitmap::TRows rows_, alphaRows_;
    int32_t width_ = 0;
    int32_t changed_ = 0;
    bool withAlpha_ = false;
    TPictureData picture_; // the encoder's bitmaps: the decoder's may go while it still compresses
    TRowGate gate_;
    bool started_ = false;
    std::exception_ptr error_;
    int64_t bytes_ = 0;
    TThreadGroup encoder_; // last: joined before what it uses goes
};

} // namespace

void LoadWholePicture(TStream& input, TPictureKind kind, TPictureData& data, TVRQPNGFileFacts* pngFacts,
                      const TLoadOptions& load)
{
    LoadPicture(input, kind, data, pngFacts, load);
    if (data.Image.Empty() || data.Image.Width() == 0 || data.Image.Height() == 0) throw EInvalidGraphic(NoPictureInFile);
}

std::vector<TPipelineResult> RunPicturePipeline(TStream& input, TPictureKind kind, const TLoadOptions& givenLoad,
                                                const std::vector<TPipelineOutput>& outputs)
{
    std::vector<TPipelineResult> results(outputs.size());
    // How far the file is, told through the outputs' progress: the read the first half, the
    // writes the second (row by row, the read all of it, the write following).
    const std::function<void(double)> progress = outputs.empty() ? nullptr : outputs.front().Png.Progress;
    TLoadOptions load = givenLoad;
    // An optimized PNG may reuse the input's image data.
    for (const TPipelineOutput& out : outputs) load.KeepImageData = load.KeepImageData || out.Png.Optimize;
    const bool rowByRow = outputs.size() == 1 && RowByRow(input, kind, load, outputs[0]);
    if (progress && !load.Progress)
        load.Progress = [progress, share = rowByRow ? 1.0 : 0.5](double done) { progress(share * done); };
    TPictureData data;
    if (rowByRow) {
        TRowFlow flow(outputs[0]);
        TLoadOptions followed = load;
        followed.Rows = &flow;
        LoadWholePicture(input, kind, data, nullptr, followed); // a failure ends the flow unfinished: nothing is kept
        if (flow.Started()) {
            results[0].Error = flow.End(true);
            results[0].WhileRead = !results[0].Error;
            results[0].Bytes = flow.Bytes();
            if (!results[0].Error && outputs[0].Take) {
                try {
                    outputs[0].Take(data);
                } catch (...) {
                    results[0].Error = std::current_exception();
                }
            }
            return results;
        }
        // The decoder made something else of it than its header promised: the gate opens at the end.
    } else {
        LoadWholePicture(input, kind, data, nullptr, load);
    }

    for (size_t k = 0; k < outputs.size(); ++k) {
        const TPipelineOutput& out = outputs[k];
        TPictureData copy;
        TPictureData& picture = k + 1 == outputs.size() ? data : copy;
        if (&picture == &copy) copy.Assign(data);
        try {
            if (out.Change) out.Change(picture);
            TPNGSaveOptions png = out.Png;
            if (progress)
                png.Progress = [progress, k, n = static_cast<double>(outputs.size())](double done) {
                    progress(0.5 + 0.5 * (static_cast<double>(k) + done) / n);
                };
            results[k].Bytes = Write(out, picture, png);
            if (out.Take) out.Take(picture);
        } catch (...) {
            results[k].Error = std::current_exception();
        }
    }
    return results;
}

void SetLeastPixelsRowByRowForTesting(int64_t pixels) { leastPixelsRowByRow = pixels; }

} // namespace tintabrel
