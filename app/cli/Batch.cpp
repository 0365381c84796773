// recolour and convert: the planned inputs run in parallel, each read once and made into every
// output it feeds, each failure reported for its own file.
#include "app/cli/CliTool.h"
#include "app/cli/Plan.h"
#include "app/cli/RecipeRun.h"
#include "app/cli/Report.h"
#include "app/cli/SwapTextureRun.h"

#include "app/PictureChange.h"
#include "app/PictureFormats.h"
#include "app/PicturePipeline.h"
#include "png/PngOptimize.h"

#include "app/MemoryBudget.h"
#include "app/PictureSource.h"
#include "app/cli/Messages.h"
#include "app/cli/Signals.h"
#include "app/SafeFile.h"
#include "base/Exceptions.h"
#include "base/StringList.h"
#include "base/TaskPool.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <atomic>
#include <cstdio>
#include <functional>
#include <new>
#include <optional>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tintabrel::cli {

namespace {

// Output k of the input as the picture pipeline makes it; out is the output with its kind settled.
using TMake = std::function<TPipelineOutput(const TInputPlan& plan, size_t k, const TOutputPlan& out)>;

// An output written with --preserve and the times of its input, set once it has its name.
struct TKeptTimes {
    std::string Output;
    timespec Access, Modified;
};

struct TRun {
    TPNGSaveOptions Png; // how the outputs are written (its Threads: those one file may use)
    bool Preserve = false;
    std::mutex TimesMutex;
    std::vector<TKeptTimes> Times;
    TMemoryBudget Budget{TMemoryBudget::FromAvailableMemory()};
    TSourceLimits Limits; // --max-pixels
    // The pixels the outputs make beyond the input's own (a sprite sheet), for the budget.
    std::function<int64_t(const TPictureHeader&)> MorePixels;
    // Before the interruption, which outlives it: the interruption's own thread may be
    // committing its files when the run ends.
    std::optional<TDeferredCommits> Commits;
    TInterruption Interruption;
};

std::string ErrorText(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        return OutOfMemoryText();
    } catch (const std::exception& e) {
        return FailureText(e);
    }
}

// The input's status before anything is written (its size for -v, its times for --preserve).
std::optional<struct stat> InputStatus(const std::string& path)
{
    struct stat st{};
    if (IsStandardStream(path) || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return st;
}

// One input: opened once (read whole when it cannot seek), its kind settled, admitted when the
// picture it declares fits the memory budget, loaded once, and made into each of its outputs.
// Returns false when the run was interrupted before the input started.
bool RunInput(const TInputPlan& plan, TRun& run, TReporter& reporter, const TMake& make, TInputResult& result,
              const std::function<void(size_t, const std::string&)>& failed)
{
    const auto fail = [&](size_t k, const std::string& error) {
        if (result.Error.empty()) result.Error = error;
        result.Failed.push_back(plan.Outputs[k].Path);
        if (failed) failed(k, error);
    };
    if (!plan.SameAs.empty()) {
        reporter.Note(plan.Input, "the same file as " + plan.SameAs + ", which replaces it once");
        return true;
    }
    std::vector<size_t> todo;
    for (size_t k = 0; k < plan.Outputs.size(); ++k) {
        const TOutputPlan& out = plan.Outputs[k];
        if (out.UpToDate) {
            result.UpToDate.push_back(out.Path);
            reporter.Note(plan.Input, out.Path + " is up to date");
        } else if (!plan.Refusal.empty()) {
            fail(k, plan.Refusal);
        } else if (!out.Refusal.empty()) {
            reporter.Message(plan.Input, out.Refusal);
            fail(k, out.Refusal);
        } else {
            todo.push_back(k);
        }
    }
    if (!plan.Refusal.empty()) {
        // A folder the walk could not read has no outputs, and fails all the same.
        result.Error = plan.Refusal;
        if (plan.Outputs.empty() && failed) failed(0, plan.Refusal);
        reporter.Message(plan.Input, plan.Refusal);
        return true;
    }
    if (todo.empty()) return true;
    const std::optional<struct stat> status = InputStatus(plan.Input);

    try {
        TPictureSource input(plan.Input);
        const TPictureKind kind = input.RequireKind(plan.Kind);
        std::vector<TOutputPlan> outputs; // todo's, with their kinds settled
        for (const size_t k : todo) {
            outputs.push_back(plan.Outputs[k]);
            // A name that does not tell the format, and standard output without --format, keep the input's.
            if (outputs.back().Kind == nullptr) outputs.back().Kind = kind;
        }
        input.Check(run.Limits);
        const int64_t more = run.MorePixels ? run.MorePixels(input.Header()) : 0;
        const auto ticket = run.Budget.Admit(input.NeedBytes(run.Png) + (more > 0 ? WorkingBytes(more, run.Png) : 0));
        // A file that waited for the budget while the run was being stopped does not start.
        if (run.Interruption.Requested()) return false;
        input.ReadRest();
        // A pipe's bytes are those read into memory.
        result.BytesIn = input.MemoryBytes() > 0 ? input.MemoryBytes() : status ? status->st_size : 0;

        std::vector<TPipelineOutput> made;
        for (size_t n = 0; n < outputs.size(); ++n) made.push_back(make(plan, todo[n], outputs[n]));
        TLoadOptions load;
        load.Threads = run.Png.Threads;
        // A BMP cut short is refused rather than written out with black rows.
        load.Truncated = TTruncatedPixels::Refuse;
        load.Animation = run.Limits.ForFrames();
        const std::vector<TPipelineResult> results = RunPicturePipeline(input, load, made);
        for (size_t n = 0; n < outputs.size(); ++n) {
            if (results[n].Error) {
                const std::string error = ErrorText(results[n].Error);
                reporter.Message(plan.Input, error);
                fail(todo[n], error);
            } else if (!outputs[n].Path.empty()) {
                result.Written.push_back(outputs[n].Path);
                if (run.Preserve && status && !IsStandardStream(outputs[n].Path)) {
                    std::lock_guard lock(run.TimesMutex);
                    run.Times.push_back({outputs[n].Path, status->st_atim, status->st_mtim});
                }
                // Counted as written: a batch's outputs take their names only at its common sync.
                result.BytesOut += results[n].Bytes;
                const TChangeOutcome& outcome = results[n].Outcome;
                if (outcome.Palette != TChangeOutcome::TPalette::Kept)
                    result.Palettes.emplace_back(outputs[n].Path, outcome.Key());
                reporter.Note(plan.Input, outputs[n].Path +
                                              (results[n].WhileRead ? ": read, changed and written in one pass"
                                                                    : ": loaded, changed and saved") +
                                              (outcome.Text().empty() ? std::string() : "; " + outcome.Text()));
            }
        }
    } catch (...) {
        // The input itself failed: every output still to make fails with it.
        const std::string error = ErrorText(std::current_exception());
        reporter.Message(plan.Input, error);
        for (const size_t k : todo)
            if (std::find(result.Failed.begin(), result.Failed.end(), plan.Outputs[k].Path) == result.Failed.end())
                fail(k, error);
    }
    return true;
}

// A job holds up to three files at once (its input, its output's temporary file and the output's
// folder at the commit), and the finished outputs of the batch wait open for their sync: under a
// low limit on open files, fewer jobs write every file where more would fail for want of one.
unsigned JobsForDescriptors(unsigned jobs, TReporter& reporter, bool verbose)
{
    const int left = TDeferredCommits::DescriptorsLeft();
    if (left < 0) return jobs;
    constexpr int PerJob = 3, Spare = 4;
    const unsigned room = static_cast<unsigned>(std::max(1, (left - Spare) / PerJob));
    if (room >= jobs) return jobs;
    if (verbose)
        reporter.Message("tintabrel-cli", "fewer jobs than asked (" + std::to_string(room) + " of " +
                                              std::to_string(jobs) + "): few files may be open at once");
    return room;
}

// Runs every input of the plan, on up to jobs threads. The outputs of a batch are made durable
// together before they take their names (TDeferredCommits); after a first signal, no input
// starts any more and what is finished is committed at once. Returns the exit status.
int RunInputs(const std::vector<TInputPlan>& plans, const TRunOptions& options, const TPNGSaveOptions& png,
              bool preserve, TReporter& reporter, const TMake& make,
              const std::function<void(size_t input, size_t output, const std::string& error)>& failedOutput = {},
              const TAnimationOptions& animation = {})
{
    std::atomic<bool> failed{false};
    TRun run;
    run.Png = png;
    run.Limits.MaxPixels = options.MaxPixels;
    if (animation.SheetColumns > 0)
        run.MorePixels = [&animation, limits = run.Limits](const TPictureHeader& header) {
            return SheetPixels(header, animation, limits);
        };
    run.Preserve = preserve;
    std::set<std::string> notCommitted; // outputs whose commit failed
    {
        if (options.Verbose)
            SetThreadFallbackNotice([&reporter](const std::string& reason) {
                reporter.Message("tintabrel-cli", "fewer threads than asked: " + reason);
            });
        size_t outputs = 0;
        for (const TInputPlan& plan : plans) outputs += plan.Outputs.size();
        if (outputs > 1) run.Commits.emplace();
        const auto commitNow = [&] {
            for (const TDeferredCommits::TFailure& failure : run.Commits->Flush()) {
                failed = true;
                {
                    std::lock_guard lock(run.TimesMutex);
                    notCommitted.insert(failure.Target);
                }
                const auto plan = std::find_if(plans.begin(), plans.end(), [&](const TInputPlan& p) {
                    return std::any_of(p.Outputs.begin(), p.Outputs.end(),
                                       [&](const TOutputPlan& o) { return o.Path == failure.Target; });
                });
                reporter.Message(plan != plans.end() ? plan->Input : failure.Target, ErrorText(failure.Error));
            }
        };
        RunTasks(
            plans.size(), JobsForDescriptors(std::max(1u, options.Jobs), reporter, options.Verbose),
            [&](size_t k) {
                TInputResult result;
                result.Input = plans[k].Input;
                const bool ran = RunInput(plans[k], run, reporter, make, result,
                                          [&](size_t output, const std::string& error) {
                                              if (failedOutput) failedOutput(k, output, error);
                                          });
                if (!result.Error.empty() || !ran) failed = true;
                if (run.Commits && run.Interruption.Requested()) commitNow();
                reporter.InputDone(k, std::move(result));
            },
            [&] { return run.Interruption.Requested(); });
        if (run.Commits) commitNow();
        // The times are set once the outputs have their names (a batch's take them at its sync);
        // an output whose commit failed left the old file in place, which keeps its own.
        for (const TKeptTimes& kept : run.Times) {
            if (notCommitted.count(kept.Output)) continue;
            const timespec times[2] = {kept.Access, kept.Modified};
            if (::utimensat(AT_FDCWD, kept.Output.c_str(), times, 0) != 0)
                reporter.Message(kept.Output, "cannot keep the input's modification time: " + SystemCause(errno));
        }
        reporter.Summary();
        SetThreadFallbackNotice({});
    }
    return failed ? ExitFailed : ExitDone;
}

// The name an output's messages start with.
std::string OutputName(const std::string& path) { return IsStandardStream(path) ? "standard output" : path; }

// Output out of input as the pipeline makes it: what the output holds of an animation (a sheet
// laid out or read, or the first frame alone, said on standard error where frames are lost, once
// the output is made),
// change (none: the picture as read), then the file, or standard output (whole in memory first,
// so that a failed encoding sends nothing down the pipe). rowChange: the same change as hue
// windows, when it is only that. outcome: where change tells what it did to the picture's palette.
TPipelineOutput OutputOf(const std::string& input, const TOutputPlan& out, const TPNGSaveOptions& png,
                         TReporter& reporter, std::function<void(TPictureData&)> change,
                         std::optional<TRowChange> rowChange, std::shared_ptr<TChangeOutcome> outcome = nullptr,
                         const TAnimationOptions& animation = {}, const TSourceLimits& limits = {})
{
    TPipelineOutput made;
    made.Outcome = std::move(outcome);
    made.Kind = out.Kind;
    made.Overwrite = out.Overwrite;
    made.Png = png;
    // A sheet laid out or read is another picture than the rows read.
    if (!animation.Reshapes()) made.RowChange = std::move(rowChange);
    // What is said of the output (frames left out, delays rounded) is said once it is made: an
    // output that fails says only why.
    auto notes = std::make_shared<std::vector<std::string>>();
    const auto tell = [&reporter, notes, name = OutputName(out.Path)] {
        for (const std::string& note : *notes) reporter.Message(name, note);
    };
    made.Change = [&reporter, input, out, change = std::move(change), animation, limits, outcome = made.Outcome,
                   notes](TPictureData& data) {
        *notes = ShapeForOutput(data, out.Kind, animation, limits);
        if (change) change(data);
        // A region whose colours outgrew a palette made a picture or frame truecolour, which GIF
        // cannot hold: the refusal names that cause, not only the truecolour it left.
        if (out.Kind == GifFormat() && outcome && outcome->Palette == TChangeOutcome::TPalette::TrueColour)
            throw EConvertError("GIF: the region's colours need " + std::to_string(outcome->EntriesWanted) +
                                " palette entries in one picture or frame, more than the 256 a GIF table holds");
        if (!out.Kind->Has(fmtAlpha) && data.HasAlpha())
            reporter.Message(input, "warning: " + out.Path + " is " + out.Kind->Name +
                                        ", which holds no transparency; it is dropped");
    };
    if (!IsStandardStream(out.Path)) {
        made.Path = out.Path;
        made.Take = [tell](TPictureData&) { tell(); };
        return made;
    }
    made.Take = [kind = out.Kind, png, tell](TPictureData& data) {
        TMemoryStream bytes;
        SavePicture(bytes, kind, data, png);
        const int fd = ::dup(STDOUT_FILENO);
        if (fd < 0) throw EFileWriteError("standard output", errno);
        TFileStream stream(fd, "standard output");
        stream.WriteBuffer(bytes.Memory(), bytes.Size());
        tell();
    };
    return made;
}

// The PNG settings of a run: the file's threads, and the time stamp: none with --no-time or
// --strip, SOURCE_DATE_EPOCH's when it is set (reproducible builds), else the current time.
TPNGSaveOptions PngSettings(const TOutputOptions& out, unsigned threads, bool trueColourOnly)
{
    TPNGSaveOptions png = out.Png;
    png.Threads = threads;
    // A batch of sprites spends most of its time compressing: libdeflate does it at once.
    png.WholeImageDeflate = true;
    png.TrueColourOnly = trueColourOnly;
    png.Strip = out.Strip;
    if (out.NoTime || out.Strip) {
        png.Time = TPngTimeSource::None;
    } else if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
        char* end = nullptr;
        errno = 0;
        const long long seconds = std::strtoll(epoch, &end, 10);
        if (*end || errno || seconds < 0)
            throw TUsageError(std::string("SOURCE_DATE_EPOCH '") + epoch + "' is not a number of seconds since 1970");
        png.Time = TPngTimeSource::Fixed;
        png.FixedTime = UTCTimeOfEpochSeconds(seconds);
    }
    return png;
}

// One line, once per run: a hue window (palette steps have none) cut by the wrap catches only one side of its hue (blue sits at
// position 0), which is seldom what was meant.
void HintAtTheWrap(const TRecipe& recipe)
{
    std::vector<const TChain*> chains{&recipe.Chain};
    for (const TVariant& variant : recipe.Variants) chains.push_back(&variant.Chain);
    for (const TChain* chain : chains)
        for (const TChange& change : *chain) {
            const THueWindow& w = change.Window;
            if (change.Palette || change.Pick || w.Wrap || (w.Source - w.Tolerance >= 0 && w.Source + w.Tolerance <= 360)) continue;
            std::fprintf(stderr,
                         "hint: the window of source %d tolerance %d is cut at 0/360 and catches only one side of "
                         "its hue; --wrap (or +wrap on the change) catches both\n",
                         w.Source, w.Tolerance);
            return;
        }
}

// --optimize has nothing to choose in some formats (BMP): said once, so that nobody waits for smaller files.
void NoteOptimizeOnBmp(const std::vector<TInputPlan>& plans, const TOutputOptions& out, bool quiet)
{
    if (!out.Png.Optimize || quiet) return;
    for (const TInputPlan& plan : plans)
        for (const TOutputPlan& o : plan.Outputs)
            if (o.Kind && !o.Kind->Has(fmtOptimizes)) {
                std::fprintf(stderr, "note: --optimize makes PNG files smaller; %s outputs are written as they are\n",
                             o.Kind->Name);
                return;
            }
}

// --out-dir, and the folders below it that a walked tree needs. A folder that cannot be made
// (a path longer than the system allows, say) fails the outputs that go there and no others;
// --in-place makes none.
void MakeOutputFolders(std::vector<TInputPlan>& plans, const TOutputOptions& out)
{
    if (out.InPlace) return;
    if (!out.OutputDir.empty()) MakeFolders(out.OutputDir);
    std::map<std::string, std::string> made; // folder -> why it cannot be made ("" when it is there)
    for (TInputPlan& plan : plans)
        for (TOutputPlan& o : plan.Outputs)
            if (!o.Path.empty() && !IsStandardStream(o.Path) && o.Refusal.empty() && !o.UpToDate && plan.Refusal.empty()) {
                const std::string folder = std::filesystem::path(o.Path).parent_path().string();
                if (folder.empty()) continue;
                auto it = made.find(folder);
                if (it == made.end()) {
                    std::string why;
                    try {
                        MakeFolders(folder);
                    } catch (const std::exception& e) {
                        why = e.what();
                    }
                    it = made.emplace(folder, why).first;
                }
                o.Refusal = it->second;
            }
}

// Removes the temporary files that a run ended at once (killed, or the machine stopped) left in
// the folders this run writes to; -v names each.
void RemoveLeftTemporaries(const std::vector<TInputPlan>& plans, TReporter& reporter)
{
    std::set<std::string> folders;
    for (const TInputPlan& plan : plans)
        for (const TOutputPlan& o : plan.Outputs)
            if (!o.Path.empty() && !IsStandardStream(o.Path) && o.Refusal.empty() && !o.UpToDate && plan.Refusal.empty())
                folders.insert(std::filesystem::path(o.Path).parent_path().string());
    for (const std::string& folder : folders)
        for (const std::string& removed : RemoveStaleTemporaries(folder.empty() ? "." : folder))
            reporter.Note(removed, "removed, a temporary file left by a run that did not finish");
}

// Picture bytes would garble a terminal (and could drive it): -o - wants a pipe or a file.
void RefuseTerminalOutput(const std::string& output)
{
    if (IsStandardStream(output) && ::isatty(STDOUT_FILENO))
        throw TUsageError("standard output is a terminal: -o - writes the picture's bytes there; "
                          "send them into a pipe or a file");
}

} // namespace

int RunRecolour(const TRecolourOptions& options)
{
    const TAnimationOptions& animation = options.Output.Animation;
    TSourceLimits limits;
    limits.MaxPixels = options.Run.MaxPixels;
    if (options.Json && !options.DryRun && options.Output.OutputFile == "-")
        throw TUsageError("--json and -o - would both write to standard output");
    if (!options.DryRun) RefuseTerminalOutput(options.Output.OutputFile);
    std::vector<TInputPlan> plans = PlanRecolour(options);

    // Built once and only read by the workers.
    const TProtectedColors protectedColors(ProtectedList(options));
    if (!options.Run.Quiet) HintAtTheWrap(options.Recipe);
    NoteOptimizeOnBmp(plans, options.Output, options.Run.Quiet);
    if (!options.DryRun) MakeOutputFolders(plans, options.Output);

    // The cores the batch leaves idle go to each file: all of them for one file, none for a batch
    // of at least as many files as jobs.
    TReporter reporter(plans.size(), options.Run, options.Json && !options.DryRun,
                       plans.size() == 1 ? plans[0].Input : std::string());
    if (!options.DryRun) RemoveLeftTemporaries(plans, reporter);
    TPNGSaveOptions png = PngSettings(options.Output, ThreadsPerFile(options.Run.Jobs, plans.size()), options.TrueColour);
    reporter.ShowProgressOf(png);
    std::optional<TDryRunReport> dryRun;
    if (options.DryRun)
        dryRun.emplace(plans, options.Json, [&reporter](const std::string& text) { reporter.Out(text); });
    TDryRunReport* report = dryRun ? &*dryRun : nullptr;
    // --emit-lut: the texture each input's two parts share.
    std::vector<std::shared_ptr<TSwapTextureWork>> textures(plans.size());
    return RunInputs(
        plans, options.Run, png, options.Output.Preserve && !options.DryRun, reporter,
        [&](const TInputPlan& plan, size_t k, const TOutputPlan& out) {
            if (!out.Texture.empty()) {
                std::shared_ptr<TSwapTextureWork>& work = textures[static_cast<size_t>(&plan - plans.data())];
                if (!work) work = std::make_shared<TSwapTextureWork>();
                return SwapTextureOutput(out, options.Recipe, protectedColors, options.TrueColour, png, work);
            }
            const TChain& chain = ChainOf(options.Recipe, out.Variant);
            if (report) {
                // Nothing written: the change is counted and reported.
                TPipelineOutput made;
                made.Kind = out.Kind;
                made.Take = [&, k, out](TPictureData& data) {
                    report->Run(plan, k, [&](TDryRunReport::TResult& result) {
                        // What the output would hold: every frame, or the first alone.
                        ShapeForOutput(data, out.Kind, animation, limits);
                        ApplyChain(data, chain, protectedColors, options.TrueColour, &result.Changes, png.Threads);
                        result.Width = data.Image.Width();
                        result.Height = data.Image.Height();
                        result.Frames = data.Animation ? static_cast<int64_t>(data.Animation->Frames.size()) : 0;
                    });
                };
                return made;
            }
            auto outcome = std::make_shared<TChangeOutcome>();
            return OutputOf(
                plan.Input, out, png, reporter,
                [&, outcome](TPictureData& data) {
                    *outcome = ApplyChain(data, chain, protectedColors, options.TrueColour, nullptr, png.Threads);
                },
                RowChangeOf(chain, protectedColors), outcome, animation, limits);
        },
        // An input that fails to load still ends its place in the dry run's report.
        [&](size_t input, size_t output, const std::string& error) {
            if (report) report->Failed(plans[input], output, error);
        });
}

int RunConvert(const TConvertOptions& given)
{
    TConvertOptions options = given;
    SettleAnimationOptions(options.Out);
    const TAnimationOptions& animation = options.Out.Animation;
    TSourceLimits limits;
    limits.MaxPixels = options.Run.MaxPixels;
    if (options.Json && options.Out.OutputFile == "-")
        throw TUsageError("--json and - would both write to standard output");
    RefuseTerminalOutput(options.Out.OutputFile);
    std::vector<TInputPlan> plans = PlanConvert(options);
    NoteOptimizeOnBmp(plans, options.Out, options.Run.Quiet);
    MakeOutputFolders(plans, options.Out);
    const TProtectedColors none;
    TReporter reporter(plans.size(), options.Run, options.Json, plans.size() == 1 ? plans[0].Input : std::string());
    RemoveLeftTemporaries(plans, reporter);
    TPNGSaveOptions png = PngSettings(options.Out, ThreadsPerFile(options.Run.Jobs, plans.size()), false);
    reporter.ShowProgressOf(png);
    return RunInputs(
        plans, options.Run, png, options.Out.Preserve, reporter,
        [&](const TInputPlan& plan, size_t, const TOutputPlan& out) {
            return OutputOf(plan.Input, out, png, reporter, {}, TRowChange{&none, {}}, nullptr, animation, limits);
        },
        {}, animation);
}

} // namespace tintabrel::cli
