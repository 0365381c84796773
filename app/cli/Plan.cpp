#include "app/cli/Plan.h"

#include "app/PictureFormats.h"
#include "app/PictureSource.h"
#include "app/cli/Messages.h"
#include "app/cli/RecipeRun.h"
#include "base/Exceptions.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tintabrel::cli {

// As the picture source tells it: by the first bytes, by the name where they tell nothing.
TPictureKind InputKind(const std::string& path)
{
    const TPictureKind byName = KindOfExtension(ExtractExtension(path), false);
    // A FIFO or a pipe would lose the bytes looked at here: only regular files are looked into.
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return byName;
    std::ifstream file(path, std::ios::binary);
    char head[HeadBytes] = {};
    file.read(head, sizeof head);
    const TPictureKind byBytes = KindOfFirstBytes(reinterpret_cast<const uint8_t*>(head), static_cast<size_t>(file.gcount()));
    return byBytes ? byBytes : byName;
}

const char* KindName(TPictureKind kind) { return kind ? kind->Name : "unknown"; }

void MakeFolders(const std::string& dir)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw std::runtime_error("cannot create the folder " + dir + ": " + SystemCause(ec.value()));
}

namespace {

struct TFileId {
    dev_t Device;
    ino_t Inode;
    friend bool operator==(const TFileId&, const TFileId&) = default;
};

std::optional<TFileId> IdOf(const std::string& path)
{
    struct stat st{};
    if ((IsStandardStream(path) ? ::fstat(STDIN_FILENO, &st) : ::stat(path.c_str(), &st)) != 0) return std::nullopt;
    return TFileId{st.st_dev, st.st_ino};
}

std::string Canonical(const std::string& path)
{
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) p = fs::absolute(path, ec).lexically_normal();
    return p.string();
}

// The same file reached by two spellings must count as one output: the real path of its folder
// (found once per folder, not once per file) and its name, and for a name that is a symbolic
// link the real path of the file it leads to.
class TNormalPaths {
public:
    std::string Of(const std::string& path)
    {
        struct stat st{};
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return Canonical(path);
        const fs::path p(path);
        const std::string folder = p.parent_path().string();
        auto it = folders_.find(folder);
        if (it == folders_.end()) it = folders_.emplace(folder, Canonical(folder.empty() ? "." : folder)).first;
        return (fs::path(it->second) / p.filename()).string();
    }

private:
    std::map<std::string, std::string> folders_;
};

std::string ReplaceExtension(const std::string& name, TPictureKind kind)
{
    const std::string ext = ExtractExtension(name);
    const std::string stem = name.substr(0, name.size() - ext.size());
    return stem + kind->Extensions.front();
}

// Checks the format asked for against the output's name; "-" (standard output) takes --format or,
// without it, the input's format.
TPictureKind OutputKindOf(const std::string& output, TPictureKind format)
{
    if (IsStandardStream(output)) return format;
    const TPictureKind byName = KindOfExtension(ExtractExtension(output), false);
    if (byName != nullptr && format != nullptr && byName != format)
        throw TUsageError("--format " + std::string(KindName(format)) + " contradicts the name " + output);
    const TPictureKind kind = byName != nullptr ? byName : format;
    if (kind == nullptr)
        throw TUsageError("cannot tell the format of " + output + ": name it " + JoinedFormats(FormatExtension, true, ", ", " or ") + ", or give --format");
    return kind;
}

std::optional<timespec> ModifiedTime(const std::string& path)
{
    struct stat st{};
    if (path.empty() || IsStandardStream(path) || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st.st_mtim;
}

bool Newer(const timespec& a, const timespec& b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// As make and cp -u count it: an output of the same time as its source is up to date.
bool NotOlder(const timespec& a, const timespec& b) { return !Newer(b, a); }

bool IsPictureName(const fs::path& path)
{
    return KindOfExtension(ExtractExtension(path.filename().string()), false) != nullptr;
}

void FillInputKind(TInputPlan& plan)
{
    if (!plan.Refusal.empty() || IsStandardStream(plan.Input)) return; // told by its first bytes once read
    struct stat st{};
    const bool exists = ::stat(plan.Input.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        plan.Refusal = "a folder, not a picture file";
        return;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A FIFO, a pipe, a device: its bytes can be read only once, when it is processed.
        plan.Kind = KindOfExtension(ExtractExtension(plan.Input), false);
        return;
    }
    plan.Kind = InputKind(plan.Input);
    if (plan.Kind != nullptr) return;
    if (::access(plan.Input.c_str(), R_OK) != 0) plan.Refusal = FailureText(EFileOpenError(plan.Input, errno));
    else plan.Refusal = NotAPictureText();
}

// Refuses the outputs that would replace an input (but with --in-place its own), a folder, or an
// existing file without overwrite, or a palette file the chains read; refuses (usage) two outputs
// that would be written to one file.
// With --in-place, an input that is an earlier one under another name is replaced once, through
// that one, and a file of several hard links is refused unless breakLinks. With update, marks the
// outputs not older than everything they are made from.
void CheckOutputs(std::vector<TInputPlan>& plans, bool overwrite, bool inPlace, bool breakLinks, bool update,
                  const std::vector<std::string>& madeFrom, const std::vector<std::string>& palettes)
{
    std::vector<TFileId> inputs;
    for (const TInputPlan& plan : plans)
        if (auto id = IdOf(plan.Input)) inputs.push_back(*id);

    TNormalPaths normal;
    std::map<std::string, const TInputPlan*> outputs;
    for (TInputPlan& plan : plans)
        for (const TOutputPlan& out : plan.Outputs) {
            if (out.Path.empty() || IsStandardStream(out.Path)) continue;
            const std::string path = normal.Of(out.Path);
            auto [it, added] = outputs.emplace(path, &plan);
            if (added) continue;
            const std::optional<TFileId> id = IdOf(plan.Input);
            if (inPlace && id && id == IdOf(it->second->Input)) {
                plan.SameAs = it->second->Input;
                break;
            }
            // Reached through a link, the file written is the one it leads to.
            struct stat st{};
            const bool link = ::lstat(out.Path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
            throw TUsageError(it->second->Input + " and " + plan.Input + " would both be written to " +
                              (link ? path : out.Path));
        }
    for (TInputPlan& plan : plans)
        if (!plan.SameAs.empty()) plan.Outputs.clear();

    std::optional<timespec> newestSource;
    for (const std::string& path : madeFrom)
        if (auto t = ModifiedTime(path); t && (!newestSource || Newer(*t, *newestSource))) newestSource = t;
    std::vector<TFileId> paletteIds;
    for (const std::string& path : palettes)
        if (auto id = IdOf(path)) paletteIds.push_back(*id);

    for (TInputPlan& plan : plans) {
        const std::optional<timespec> inputTime = ModifiedTime(plan.Input);
        const std::optional<TFileId> inputId = inPlace ? IdOf(plan.Input) : std::nullopt;
        for (TOutputPlan& out : plan.Outputs) {
            out.Overwrite = overwrite || inPlace;
            if (!out.Refusal.empty() || out.Path.empty() || IsStandardStream(out.Path)) continue;
            struct stat st{};
            if (::stat(out.Path.c_str(), &st) != 0) continue;
            const TFileId id{st.st_dev, st.st_ino};
            const bool ownInput = inputId == std::optional<TFileId>(id);
            if (S_ISDIR(st.st_mode)) {
                out.Refusal = "the output " + out.Path + " is a folder";
            } else if (std::find(paletteIds.begin(), paletteIds.end(), id) != paletteIds.end()) {
                // A palette strip among the inputs of --in-place -r, say: written over, its FROM would
                // become its TO.
                out.Refusal = "the output " + out.Path +
                              " is a palette file of the changes; palette files are never overwritten";
            } else if (ownInput && S_ISREG(st.st_mode) && st.st_nlink > 1 && !breakLinks) {
                out.Refusal = "the file has " + std::to_string(st.st_nlink) +
                              " hard links: replacing it would leave the old pixels under the other names; "
                              "nothing changed (--break-hard-links replaces it under this name alone)";
            } else if (update && !ownInput && inputTime && NotOlder(st.st_mtim, *inputTime) &&
                       (!newestSource || NotOlder(st.st_mtim, *newestSource))) {
                out.UpToDate = true;
            } else if (ownInput) {
                continue;
            } else if (std::find(inputs.begin(), inputs.end(), id) != inputs.end()) {
                out.Refusal = "the output " + out.Path + " is an input file; inputs are never overwritten";
            } else if (!overwrite && !update) {
                out.Refusal = "the output " + out.Path + " exists (--overwrite replaces it)";
            } else if (update) {
                out.Overwrite = true; // older than what it is made from: made again
            }
        }
    }
}

} // namespace

namespace {

// The picture files below root, and the folders below it that cannot be read (refused with the
// cause, as find reports them), each folder listed once; links to folders are not followed.
void Walk(const std::string& root, std::vector<TFound>& found)
{
    std::vector<TFound> entries;
    std::vector<fs::path> folders{root};
    while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        std::error_code ec;
        fs::directory_iterator it(folder, ec);
        for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
            const fs::directory_entry& entry = *it;
            std::error_code typeError;
            if (entry.is_directory(typeError) && !entry.is_symlink(typeError)) {
                folders.push_back(entry.path());
            } else if (IsPictureName(entry.path()) && entry.is_regular_file(typeError)) {
                entries.push_back({entry.path().string(), entry.path().lexically_relative(root).string(), ""});
            }
        }
        if (ec) entries.push_back({folder.string(), "", "cannot read the folder: " + SystemCause(ec.value()), true});
    }
    std::sort(entries.begin(), entries.end(), [](const TFound& a, const TFound& b) { return a.Path < b.Path; });
    found.insert(found.end(), std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
}

} // namespace

std::vector<TFound> FindInputs(const std::vector<std::string>& inputs, bool recursive)
{
    std::vector<TFound> found;
    for (const std::string& input : inputs) {
        std::error_code ec;
        if (IsStandardStream(input) || !fs::is_directory(input, ec)) {
            found.push_back({input, fs::path(input).filename().string(), ""});
            continue;
        }
        if (!recursive) {
            found.push_back({input, "", "a folder, not a picture file (-r walks it)"});
            continue;
        }
        Walk(input, found);
    }
    return found;
}

namespace {

// --emit-lut: <stem>_lut.png and <stem>_index.png beside the plain output (where it would go when
// only variants are written).
void AddSwapTextureOutputs(TInputPlan& plan, const TOutputPlan& first)
{
    if (first.Path.empty() || IsStandardStream(first.Path)) return;
    const std::string stem = first.Path.substr(0, first.Path.size() - ExtractExtension(first.Path).size());
    for (const char* part : {"lut", "index"}) {
        TOutputPlan texture;
        texture.Path = stem + "_" + part + ".png";
        texture.Kind = PngFormat();
        texture.Texture = part;
        plan.Outputs.push_back(texture);
    }
}

// The inputs (folders walked with recursive) and where their outputs go: recipe null, one output
// per input; else the plain output when the recipe has a chain and one per variant.
std::vector<TInputPlan> PlanOutputs(const std::vector<std::string>& inputs, bool recursive, const TOutputOptions& out,
                                    const TRecipe* recipe, bool dryRun, const std::vector<std::string>& madeFrom)
{
    std::vector<TInputPlan> plans;
    if (!out.OutputFile.empty() && inputs.size() != 1)
        throw TUsageError("-o takes exactly one input; use --out-dir for several");
    if (!out.OutputDir.empty()) {
        std::error_code ec;
        if (fs::exists(out.OutputDir, ec) && !fs::is_directory(out.OutputDir, ec))
            throw TUsageError("--out-dir " + out.OutputDir + " is not a folder");
    }
    const std::vector<TFound> found = FindInputs(inputs, recursive);
    if (!out.OutputFile.empty() &&
        std::count_if(found.begin(), found.end(), [](const TFound& f) { return !f.Folder; }) != 1)
        throw TUsageError("-o takes exactly one input; use --out-dir for several");

    for (const TFound& input : found) {
        TInputPlan plan;
        plan.Input = input.Path;
        plan.Refusal = input.Refusal;
        if (input.Folder) {
            plans.push_back(std::move(plan)); // a folder the walk could not read: nothing to write
            continue;
        }
        TOutputPlan first;
        if (!out.OutputFile.empty()) {
            first.Path = out.OutputFile;
            first.Kind = OutputKindOf(out.OutputFile, out.Format);
        } else if (out.InPlace) {
            if (IsStandardStream(input.Path)) throw TUsageError("standard input (-) cannot be replaced: use -o OUTPUT");
            first.Path = input.Path;
            first.Kind = KindOfExtension(ExtractExtension(input.Path), false);
            if (out.Format != nullptr && first.Kind != nullptr && out.Format != first.Kind)
                throw TUsageError("--in-place keeps each input's format: --format " + std::string(KindName(out.Format)) +
                                  " contradicts " + input.Path);
        } else if (!out.OutputDir.empty()) {
            if (IsStandardStream(input.Path))
                throw TUsageError("standard input (-) has no name for --out-dir: use -o OUTPUT");
            if (input.Below.empty() && input.Refusal.empty()) throw TUsageError(input.Path + " is not a file name");
            const std::string below = input.Below.empty() ? fs::path(input.Path).filename().string() : input.Below;
            if (out.Format != nullptr) {
                first.Path = (fs::path(out.OutputDir) / ReplaceExtension(below, out.Format)).string();
                first.Kind = out.Format;
            } else {
                first.Path = (fs::path(out.OutputDir) / below).string();
                first.Kind = KindOfExtension(ExtractExtension(below), false);
            }
        } else {
            first.Kind = out.Format; // a dry run without an output: nothing is written
        }
        // The plain output when the recipe has a chain, then one output per variant.
        if (!recipe || !recipe->Chain.empty()) plan.Outputs.push_back(first);
        for (const TVariant& variant : recipe ? recipe->Variants : std::vector<TVariant>{}) {
            TOutputPlan v = first;
            if (!v.Path.empty()) v.Path = VariantOutput(first.Path, variant.Name);
            v.Variant = variant.Name;
            plan.Outputs.push_back(v);
        }
        if (recipe && recipe->EmitLut && !dryRun) AddSwapTextureOutputs(plan, first);
        FillInputKind(plan);
        for (TOutputPlan& o : plan.Outputs)
            if (o.Kind == nullptr && !IsStandardStream(o.Path)) o.Kind = plan.Kind;
        plans.push_back(std::move(plan));
    }
    // A dry run writes nothing: existing outputs do not matter to it, but one that is an input does.
    // The palette files the chains read: an output is never one of them.
    std::vector<std::string> palettes;
    const auto addPalettes = [&](const TChain& chain) {
        for (const TChange& change : chain)
            if (change.Palette)
                for (const std::string& path : {change.Palette->From, change.Palette->To})
                    if (!path.empty()) palettes.push_back(path);
    };
    if (recipe) {
        addPalettes(recipe->Chain);
        for (const TVariant& variant : recipe->Variants) addPalettes(variant.Chain);
    }
    if (dryRun) CheckOutputs(plans, true, out.InPlace, out.BreakHardLinks, false, {}, palettes);
    else CheckOutputs(plans, out.Overwrite, out.InPlace, out.BreakHardLinks, out.Update, madeFrom, palettes);
    return plans;
}

} // namespace

std::vector<TInputPlan> PlanRecolour(const TRecolourOptions& options)
{
    return PlanOutputs(options.Inputs, options.Recursive, options.Output, &options.Recipe, options.DryRun,
                       options.MadeFrom);
}

std::vector<TInputPlan> PlanConvert(const TConvertOptions& options)
{
    return PlanOutputs(options.Inputs, options.Recursive, options.Out, nullptr, false, {});
}

} // namespace tintabrel::cli
