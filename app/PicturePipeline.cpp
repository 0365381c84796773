#include "app/PicturePipeline.h"

#include <atomic>

#include "base/Exceptions.h"
#include "base/RowGate.h"
#include "base/ScopeGuard.h"
#include "base/TaskPool.h"
#include "app/PictureFormats.h"

namespace tintabrel {

namespace {

// Below this, a picture is quicker changed and compressed after the read than handed over row by row.
std::atomic<int64_t> leastPixelsRowByRow{int64_t{1} << 20};

// The bytes written.
int64_t Write(const TPipelineOutput& out, TPictureKind kind, const TPictureData& picture, const TPNGSaveOptions& png)
{
    if (out.Path.empty()) return 0;
    return SavePicture(out.Path, kind, picture, png, out.Overwrite);
}

// Whether the output can follow the read row by row: a file written by a format whose writer
// takes rows as they arrive, a change of hue windows only, neither optimised nor interlaced, a
// second thread to compress on; and an input whose reader tells its rows as stored and whose
// header says they are final once stored, large enough to gain by it. What the output carries
// beside its rows must be known before the first row: a significant-bits claim is checked on the
// whole result, so such a file goes the whole way.
bool RowByRow(TPictureKind kind, const TPictureHeader& header, const TLoadOptions& load, const TPipelineOutput& out,
              TPictureKind outKind)
{
    if (!kind->Has(fmtRowsAsRead) || !outKind->Has(fmtRowsGated) || load.Threads < 2 || !out.RowChange ||
        out.Png.Optimize || out.Png.Interlace || out.Path.empty())
        return false;
    if (header.Info.SignificantBits != 0 && !out.Png.Strip) return false;
    return header.RowsFinalAsStored && header.Pixels() >= leastPixelsRowByRow.load();
}

// Follows the decoder: each stored row is changed on the reading thread and opened to the encoder,
// which writes the output on a thread of its own from bitmaps sharing the decoder's pixels.
class TRowFlow final : public TRowSink {
public:
    TRowFlow(const TPipelineOutput& out, TPictureKind kind, const TPictureInfo& info) : out_(out), kind_(kind)
    {
        // Known from the header walk before the first row: the chunks before and after the rows.
        picture_.Info = info;
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
                bytes_ = Write(out_, kind_, picture_, png);
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
    TPictureKind kind_;
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

std::atomic<uint64_t> pipelineRuns{0};

// Each output from its own copy of the picture, the last taking it over: changed, written, given.
// progress: the writes are the second half of the file's way.
void MakeOutputs(TPictureData& data, TPictureKind inputKind, const std::vector<TPipelineOutput>& outputs,
                 const std::function<void(double)>& progress, std::vector<TPipelineResult>& results)
{
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
            if (!out.Path.empty()) {
                const TPictureKind kind = out.Kind ? out.Kind : inputKind;
                results[k].Bytes = Write(out, kind, picture, png);
            }
            if (out.Take) out.Take(picture);
        } catch (...) {
            results[k].Error = std::current_exception();
        }
    }
}

} // namespace

std::vector<TPipelineResult> RunPicturePipeline(TPictureSource& source, const TLoadOptions& givenLoad,
                                                const std::vector<TPipelineOutput>& outputs)
{
    ++pipelineRuns;
    std::vector<TPipelineResult> results(outputs.size());
    const TPictureKind kind = source.RequireKind();
    source.ReadRest();
    const TPictureHeader& header = source.Header();
    const auto kindOf = [kind](const TPipelineOutput& out) { return out.Kind ? out.Kind : kind; };
    // How far the file is, told through the outputs' progress: the read the first half, the
    // writes the second (row by row, the read all of it, the write following).
    const std::function<void(double)> progress = outputs.empty() ? nullptr : outputs.front().Png.Progress;
    TLoadOptions load = givenLoad;
    const bool rowByRow = outputs.size() == 1 && RowByRow(kind, header, load, outputs[0], kindOf(outputs[0]));
    if (progress && !load.Progress)
        load.Progress = [progress, share = rowByRow ? 1.0 : 0.5](double done) { progress(share * done); };
    TPictureData data;
    if (rowByRow) {
        TRowFlow flow(outputs[0], kindOf(outputs[0]), header.Info);
        TLoadOptions followed = load;
        followed.Rows = &flow;
        source.Load(data, followed); // a failure ends the flow unfinished: nothing is kept
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
        source.Load(data, load);
    }

    MakeOutputs(data, kind, outputs, progress, results);
    return results;
}

std::vector<TPipelineResult> RunPicturePipeline(const TPictureData& picture, const std::vector<TPipelineOutput>& outputs)
{
    ++pipelineRuns;
    std::vector<TPipelineResult> results(outputs.size());
    TPictureData data;
    data.Assign(picture);
    const std::function<void(double)> progress = outputs.empty() ? nullptr : outputs.front().Png.Progress;
    MakeOutputs(data, nullptr, outputs, progress, results);
    return results;
}

uint64_t PipelineRunsForTesting() { return pipelineRuns.load(); }

void SetLeastPixelsRowByRowForTesting(int64_t pixels) { leastPixelsRowByRow = pixels; }

} // namespace tintabrel
