// Animations through the tool. A GIF of twelve frames made by giflib's own writer (local tables,
// a transparency index, interlaced and partial frames, every disposal, a loop count) and an APNG
// built chunk by chunk (blend and dispose ops, a partial frame, a default image of its own or
// not) recoloured by every path: hue-window options, chains, variants, recipes, regions, dry
// runs, pipes, -j and --optimize. Each frame must come out exactly as the change makes it of that
// frame decoded alone, and everything else the file says must stay (giflib reads the GIF back;
// the APNG's chunks are walked). GIF <-> APNG keep their timing; an output of one picture gets the
// first frame and says so; info lists the frames; sprite sheets are written and read back; hostile
// files are refused with their cause within a small address space.
#include "tests/Sanitizers.h"
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"
#include "tests/gif/GifTestSupport.h"
#include "tests/image/PicturePixels.h"
#include "tests/png/ApngTestSupport.h"
#include "tests/png/PngWriteTestSupport.h"

#include "app/ApngPicture.h"
#include "app/PictureChange.h"
#include "base/Colors.h"
#include "base/StringList.h"
#include "image/Animation.h"
#include "image/PixelFormats.h"
#include "png/Apng.h"
#include "recolour/ColourMap.h"
#include "recolour/HueReplace.h"

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// ---- GIF files made by giflib's writer -----------------------------------------------------

TGifFrameShape GifFrame(int left, int top, int width, int height, int localBits, int seed, int disposal, int delay,
                       int transparent, bool interlace)
{
    TGifFrameShape f;
    f.Left = left, f.Top = top, f.Width = width, f.Height = height, f.LocalBits = localBits;
    f.Disposal = disposal, f.Delay = delay, f.Transparent = transparent, f.Interlace = interlace;
    const int bits = localBits ? localBits : 4;
    uint32_t state = static_cast<uint32_t>(seed) * 2654435761u + 1;
    for (int i = 0; i < width * height; ++i) {
        state = state * 1664525u + 1013904223u;
        f.Indices.push_back(static_cast<uint8_t>((state >> 24) & ((1u << bits) - 1)));
    }
    return f;
}

// Twelve frames on a 24 x 20 screen with a 16-entry global table: local tables of 2, 8, 16, 32
// and 256 entries, transparency indices, interlaced frames (one a single row), partial frames,
// disposal 0 to 3, a frame without a control block, plays 3.
TGifShape TwelveFrames()
{
    TGifShape shape;
    shape.Width = 24, shape.Height = 20, shape.GlobalBits = 4, shape.Loop = 3;
    shape.Frames = {GifFrame(0, 0, 24, 20, 0, 1, 1, 10, -1, false), GifFrame(3, 2, 10, 8, 3, 2, 2, 12, 5, true),
                   GifFrame(5, 5, 7, 9, 0, 3, 3, 7, 0, false),     GifFrame(0, 0, 24, 20, 8, 4, 0, 20, -1, true),
                   GifFrame(20, 17, 4, 3, 1, 5, 2, 5, 1, false),   GifFrame(1, 1, 9, 13, 0, 6, 1, 9, 15, true),
                   GifFrame(2, 0, 3, 1, 5, 7, 3, 0, -1, true),     GifFrame(6, 4, 11, 5, 0, 8, 0, 0, -1, false),
                   GifFrame(0, 10, 24, 10, 4, 9, 2, 8, 7, false),  GifFrame(12, 0, 12, 20, 0, 10, 1, 65535, 2, false),
                   GifFrame(4, 3, 6, 6, 2, 11, 3, 3, 3, true),     GifFrame(0, 0, 24, 20, 0, 12, 2, 10, 9, false)};
    shape.Frames[7].Control = false;
    return shape;
}

// Six frames of the global table alone, one transparency index for all, disposal 1 to 3, a
// loop count, none interlaced: what a palette APNG holds as it stands, so that GIF -> APNG -> GIF
// gives it back (APNG frames have no interlacing of their own).
TGifShape GlobalTableFrames()
{
    TGifShape shape;
    shape.Width = 12, shape.Height = 10, shape.GlobalBits = 4, shape.Loop = 5;
    shape.Frames = {GifFrame(0, 0, 12, 10, 0, 21, 1, 10, 4, false), GifFrame(2, 1, 6, 5, 0, 22, 2, 4, 4, false),
                   GifFrame(0, 0, 12, 3, 0, 23, 3, 25, 4, false),  GifFrame(7, 6, 5, 4, 0, 24, 1, 0, 4, false),
                   GifFrame(1, 2, 3, 3, 0, 25, 2, 65535, 4, false), GifFrame(0, 0, 12, 10, 0, 26, 1, 7, 4, false)};
    return shape;
}

// What giflib reads of a GIF: everything but the entries of the colour tables.
struct TGifFrameFile {
    int Left, Top, Width, Height;
    bool Interlace;
    int LocalEntries; // 0: none
    bool Control;
    int Disposal, Delay, Transparent;
    Bytes Raster;
    friend bool operator==(const TGifFrameFile&, const TGifFrameFile&) = default;
};
struct TGifFile {
    int Width = 0, Height = 0, GlobalEntries = 0, Loop = -1;
    std::vector<TGifFrameFile> Frames;
    friend bool operator==(const TGifFile&, const TGifFile&) = default;
};

void PrintTo(const TGifFile& file, std::ostream* out)
{
    *out << file.Width << " x " << file.Height << ", global " << file.GlobalEntries << ", loop " << file.Loop;
    for (const TGifFrameFile& f : file.Frames)
        *out << "\n  (" << f.Left << ", " << f.Top << ", " << f.Width << " x " << f.Height << ") interlace " << f.Interlace
             << " local " << f.LocalEntries << " control " << f.Control << " disposal " << f.Disposal << " delay " << f.Delay
             << " transparent " << f.Transparent << " raster of " << f.Raster.size();
}

TGifFile ReadGifFile(const Bytes& bytes)
{
    struct TSource {
        const Bytes* Data;
        size_t Pos;
    } source{&bytes, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&source, [](GifFileType* g, GifByteType* buf, int n) {
        auto* s = static_cast<TSource*>(g->UserData);
        const size_t count = std::min<size_t>(static_cast<size_t>(n), s->Data->size() - s->Pos);
        std::memcpy(buf, s->Data->data() + s->Pos, count);
        s->Pos += count;
        return static_cast<int>(count);
    }, &error);
    TGifFile file;
    if (!gif) {
        ADD_FAILURE() << "giflib cannot open the file";
        return file;
    }
    EXPECT_EQ(DGifSlurp(gif), GIF_OK);
    file.Width = gif->SWidth, file.Height = gif->SHeight;
    file.GlobalEntries = gif->SColorMap ? gif->SColorMap->ColorCount : 0;
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage& image = gif->SavedImages[i];
        // giflib gives the blocks before a frame to that frame: the loop block is the first's.
        for (int k = 0; k < image.ExtensionBlockCount; ++k) {
            const ExtensionBlock& block = image.ExtensionBlocks[k];
            if (block.Function == CONTINUE_EXT_FUNC_CODE && block.ByteCount == 3 && block.Bytes[0] == 1)
                file.Loop = block.Bytes[1] | block.Bytes[2] << 8;
        }
        const GifImageDesc& d = image.ImageDesc;
        GraphicsControlBlock gcb{};
        const bool control = DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK;
        file.Frames.push_back({d.Left, d.Top, d.Width, d.Height, d.Interlace, d.ColorMap ? d.ColorMap->ColorCount : 0,
                               control, control ? gcb.DisposalMode : 0, control ? gcb.DelayTime : 0,
                               control ? gcb.TransparentColor : -1,
                               Bytes(image.RasterBits, image.RasterBits + d.Width * d.Height)});
    }
    DGifCloseFile(gif, &error);
    return file;
}

// ---- APNG files built chunk by chunk -------------------------------------------------------

// Straight RGBA samples of many hues, some pixels half or fully transparent.
std::function<uint8_t(int, int, int)> Sample(int base)
{
    return [base](int x, int y, int c) {
        if (c == 3) return static_cast<uint8_t>((x + y + base) % 5 == 0 ? 0 : (x * y + base) % 3 == 0 ? 128 : 255);
        const int v = (x * 71 + y * 43 + base * 17 + c * 97) % 256;
        return static_cast<uint8_t>(c == base % 3 ? 255 - v / 4 : v);
    };
}

// A 10 x 8 canvas, plays 2: a full first frame (the default image, unless hidden, then a picture
// of its own before it), a partial one of dispose background and blend over with a delay of
// 7/30 s, one of dispose previous and blend source with a 0 denominator, a small one over.
Bytes OpsApng(bool hiddenDefault)
{
    TApngBuilder b;
    b.Header(10, 8).AcTL(4, 2);
    if (hiddenDefault) b.Idat(ZRows(10, 8, 4, Sample(40)));
    b.FcTL({10, 8, 0, 0, 1, 10, 0, 0});
    if (hiddenDefault) b.FdAT(ZRows(10, 8, 4, Sample(1)));
    else b.Idat(ZRows(10, 8, 4, Sample(1)));
    b.FcTL({4, 3, 6, 5, 7, 30, 1, 1}).FdAT(ZRows(4, 3, 4, Sample(2)));
    b.FcTL({5, 5, 0, 0, 3, 0, 2, 0}).FdAT(ZRows(5, 5, 4, Sample(3)));
    b.FcTL({2, 2, 3, 3, 3, 100, 0, 1}).FdAT(ZRows(2, 2, 4, Sample(4)));
    return b.End().Bytes();
}

// ---- pictures ------------------------------------------------------------------------------

TPictureData Read(const std::string& path)
{
    TPictureData data;
    ReadPicture(path, data);
    return data;
}

// The samples of a grey PNG as libpng reads them, 16-bit ones whole.
std::vector<uint32_t> GreySamples(const std::vector<uint8_t>& file)
{
    TPngMemorySource source{file.data(), file.size()};
    std::string error;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, ErrorCallback, WarningCallback);
    png_infop info = png_create_info_struct(png);
    std::vector<uint32_t> samples;
    std::vector<uint8_t> row;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        ADD_FAILURE() << "libpng: " << error;
        return {};
    }
    png_set_read_fn(png, &source, TPngMemorySource::Read);
    png_read_info(png, info);
    const uint32_t width = png_get_image_width(png, info), height = png_get_image_height(png, info);
    const int depth = png_get_bit_depth(png, info);
    if (png_get_color_type(png, info) != PNG_COLOR_TYPE_GRAY || depth < 8) png_error(png, "not 8- or 16-bit grey");
    row.resize(png_get_rowbytes(png, info));
    for (uint32_t y = 0; y < height; ++y) {
        png_read_row(png, row.data(), nullptr);
        for (uint32_t x = 0; x < width; ++x)
            samples.push_back(depth == 16 ? uint32_t{row[2 * x]} << 8 | row[2 * x + 1] : row[x]);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return samples;
}

// A frame's own picture, as a still picture of its own.
TPictureData Alone(const TPictureData& frame)
{
    TPictureData alone;
    alone.Assign(frame);
    alone.Animation.reset();
    return alone;
}

Bytes FileBytes(const std::string& path)
{
    const auto bytes = ReadFileBytes(path);
    return Bytes(bytes.begin(), bytes.end());
}

int Count(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The source position of an ordinary hue, as hF gives it.
int SourceOfHue(int hue) { return ((240 - hue) % 360 + 360) % 360; }

THueWindow Window(int source, int tolerance, int target)
{
    THueWindow w;
    w.Source = source, w.Tolerance = tolerance, w.Target = target;
    return w;
}

// The options of a run and the windows they stand for.
struct TOptionsCase {
    const char* Name;
    std::vector<std::string> Args;
    THueWindow Change;
};

std::vector<TOptionsCase> HueOptionCases()
{
    const std::vector<std::string> base = {"--source", "120", "--tolerance", "36", "--target", "300"};
    const auto with = [&](std::vector<std::string> more, const std::function<void(THueWindow&)>& set) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        THueWindow w = Window(120, 36, 300);
        set(w);
        return std::pair{args, w};
    };
    std::vector<TOptionsCase> cases;
    const auto add = [&](const char* name, std::pair<std::vector<std::string>, THueWindow> c) {
        cases.push_back({name, c.first, c.second});
    };
    add("plain", with({}, [](THueWindow&) {}));
    add("wrap, soft edge", with({"--wrap", "--soft", "30"}, [](THueWindow& w) { w.Wrap = true, w.Soft = 30; }));
    add("shift, visible only", with({"--shift", "--visible-only"}, [](THueWindow& w) { w.Shift = true, w.VisibleOnly = true; }));
    add("keep lightness", with({"--keep-lightness"}, [](THueWindow& w) { w.KeepLightness = true; }));
    return cases;
}

class CliAnimation : public ::testing::Test {
protected:
    void SetUp() override
    {
        gif_ = dir_.File("walk.gif");
        WriteBytes(gif_, BuildGif(TwelveFrames()));
        palGif_ = dir_.File("pal.gif");
        WriteBytes(palGif_, BuildGif(GlobalTableFrames()));
        apng_ = dir_.File("ops.png");
        WriteBytes(apng_, OpsApng(false));
        hidden_ = dir_.File("hidden.png");
        WriteBytes(hidden_, OpsApng(true));
    }

    static void WriteBytes(const std::string& path, const Bytes& bytes)
    {
        WriteFileBytes(path, std::vector<unsigned char>(bytes.begin(), bytes.end()));
    }

    // The input's frames (and a default image of its own), each changed alone by the windows in turn.
    static std::vector<TPictureData> ChangedAlone(const std::string& input, const std::vector<THueWindow>& windows,
                                                  THueCounts* counts = nullptr, const TStringList& list = {})
    {
        const TPictureData in = Read(input);
        std::vector<TPictureData> out;
        std::vector<const TPictureData*> pictures;
        for (const TFrame& f : in.Animation->Frames) pictures.push_back(&f.Picture);
        if (in.Animation->HiddenDefault) pictures.push_back(&*in.Animation->HiddenDefault);
        for (const TPictureData* p : pictures) {
            TPictureData alone = Alone(*p);
            for (const THueWindow& w : windows) {
                THueCounts each;
                ApplyChangeInPlace(alone, TProtectedColors(list), w, false, counts ? &each : nullptr);
                if (counts && p != (in.Animation->HiddenDefault ? &*in.Animation->HiddenDefault : nullptr)) {
                    counts->Altered += each.Altered;
                    counts->Kept += each.Kept;
                }
            }
            out.push_back(std::move(alone));
        }
        return out;
    }

    // The output's frames (and default image of its own) are the expected pictures; some differ
    // from the input's, so the change did run.
    static void ExpectFrames(const std::string& input, const std::string& output, const std::vector<TPictureData>& expected)
    {
        const TPictureData in = Read(input), out = Read(output);
        ASSERT_TRUE(out.Animated()) << output;
        std::vector<const TPictureData*> pictures;
        for (const TFrame& f : out.Animation->Frames) pictures.push_back(&f.Picture);
        if (out.Animation->HiddenDefault) pictures.push_back(&*out.Animation->HiddenDefault);
        ASSERT_EQ(pictures.size(), expected.size());
        size_t changed = 0;
        for (size_t i = 0; i < pictures.size(); ++i) {
            EXPECT_EQ(Pixels(*pictures[i]), Pixels(expected[i])) << output << ", picture " << i;
            const TPictureData& before = i < in.Animation->Frames.size() ? in.Animation->Frames[i].Picture : *in.Animation->HiddenDefault;
            changed += Pixels(before) != Pixels(*pictures[i]);
        }
        EXPECT_GT(changed, 0u) << output << ": no frame changed";
    }

    TempDir dir_;
    std::string gif_, palGif_, apng_, hidden_;
};

// ---- recolouring -------------------------------------------------------------------------------

TEST_F(CliAnimation, GifFramesChangeEachAsAloneAndTheFileKeepsEverythingElse)
{
    const TGifFile before = ReadGifFile(FileBytes(gif_));
    ASSERT_EQ(before.Frames.size(), 12u);
    ASSERT_EQ(before.Loop, 3);
    for (const TOptionsCase& c : HueOptionCases()) {
        SCOPED_TRACE(c.Name);
        const std::string out = dir_.File(std::string("out-") + std::to_string(&c - &HueOptionCases()[0]) + c.Name[0] + ".gif");
        std::vector<std::string> args = {"recolour"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        args.insert(args.end(), {"-q", "-o", out, gif_});
        const TCliRun run = RunCli(args);
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(run.Err, "");
        // Frame count, rectangles, interlacing, tables and their sizes, control blocks (disposal,
        // delay, transparency index), the loop count and every index: as giflib reads them.
        EXPECT_EQ(ReadGifFile(FileBytes(out)), before);
        ExpectFrames(gif_, out, ChangedAlone(gif_, {c.Change}));
    }
}

TEST_F(CliAnimation, ApngFramesChangeEachAsAloneAndTheFileKeepsEverythingElse)
{
    for (const std::string& input : {apng_, hidden_}) {
        const Bytes in = FileBytes(input);
        const TApngLayout before = ReadApngLayout(in.data(), in.size(), {});
        for (const TOptionsCase& c : HueOptionCases()) {
            SCOPED_TRACE(input + ", " + c.Name);
            const std::string out = dir_.File("out.png");
            std::vector<std::string> args = {"recolour", "--overwrite"};
            args.insert(args.end(), c.Args.begin(), c.Args.end());
            args.insert(args.end(), {"-q", "-o", out, input});
            const TCliRun run = RunCli(args);
            ASSERT_EQ(run.Status, 0) << run.Err;
            const Bytes written = FileBytes(out);
            const TApngLayout after = ReadApngLayout(written.data(), written.size(), {});
            EXPECT_TRUE(after.Animated);
            EXPECT_EQ(after.Plays, 2u);
            EXPECT_EQ(after.DefaultIsFirstFrame, before.DefaultIsFirstFrame);
            ASSERT_EQ(after.Frames.size(), 4u);
            for (size_t i = 0; i < 4; ++i) EXPECT_EQ(after.Frames[i].Control, before.Frames[i].Control) << "frame " << i;
            ExpectFrames(input, out, ChangedAlone(input, {c.Change}));
        }
    }
}

TEST_F(CliAnimation, ChainsVariantsRecipesPicksAndRegions)
{
    // A chain and a variant on the command line.
    TCliRun run = RunCli({"recolour", "--source", "120", "--tolerance", "30", "--target", "200", "--map", "h200:20:40+shift",
                          "--variant", "gold=h0:36:50/h90:30:250", "-q", "--out-dir", dir_.File("chain"), gif_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    THueWindow second = Window(SourceOfHue(200), 20, 40);
    second.Shift = true;
    ExpectFrames(gif_, dir_.File("chain/walk.gif"), ChangedAlone(gif_, {Window(120, 30, 200), second}));
    ExpectFrames(gif_, dir_.File("chain/walk_gold.gif"),
                 ChangedAlone(gif_, {Window(SourceOfHue(0), 36, 50), Window(SourceOfHue(90), 30, 250)}));

    // The same from a recipe file, onto an APNG.
    const std::string recipe = dir_.File("r.json");
    WriteFile(recipe, R"({"source": 120, "tolerance": 30, "target": 200, "map": ["h200:20:40+shift"], "keep-lightness": true})");
    run = RunCli({"recolour", "--recipe", recipe, "-q", "-o", dir_.File("recipe.png"), apng_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    THueWindow first = Window(120, 30, 200);
    first.KeepLightness = true;
    second.KeepLightness = true;
    ExpectFrames(apng_, dir_.File("recipe.png"), ChangedAlone(apng_, {first, second}));

    // A pick takes the source from the first frame as a still format shows it.
    const TPictureData in = Read(gif_);
    const std::optional<int> picked = PickedSourcePosition(ComposeFrame(*in.Animation, 0).Image.Pixel(5, 7));
    ASSERT_TRUE(picked);
    run = RunCli({"recolour", "--pick", "5,7", "--tolerance", "36", "--target", "77", "-q", "-o", dir_.File("pick.gif"), gif_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    ExpectFrames(gif_, dir_.File("pick.gif"), ChangedAlone(gif_, {Window(*picked, 36, 77)}));
    // Also where the still picture is an APNG's default image of its own, not the first frame.
    const TPictureData ops = Read(hidden_);
    const std::optional<int> fromFrame = PickedSourcePosition(ComposeFrame(*ops.Animation, 0).Image.Pixel(1, 1));
    ASSERT_TRUE(fromFrame);
    ASSERT_NE(fromFrame, PickedSourcePosition(ops.Image.Pixel(1, 1)));
    run = RunCli({"recolour", "--pick", "1,1", "--tolerance", "20", "--target", "77", "-q", "-o", dir_.File("pick.png"), hidden_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    ExpectFrames(hidden_, dir_.File("pick.png"), ChangedAlone(hidden_, {Window(*fromFrame, 20, 77)}));

    // A region lies on the canvas: a frame's pixel inside it changes as the frame's change makes
    // it, one outside keeps its colour.
    const TRegionRect region{3, 2, 12, 9};
    run = RunCli({"recolour", "--source", "120", "--tolerance", "36", "--target", "300", "--region", region.Text(), "-q", "-o",
                  dir_.File("region.png"), gif_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const std::vector<TPictureData> whole = ChangedAlone(gif_, {Window(120, 36, 300)});
    const TPictureData got = Read(dir_.File("region.png"));
    ASSERT_TRUE(got.Animated());
    size_t inside = 0, outside = 0;
    for (size_t i = 0; i < 12; ++i) {
        const TFrame& f = in.Animation->Frames[i];
        const std::vector<int64_t> a = VisiblePixels(got.Animation->Frames[i].Picture), changed = VisiblePixels(whole[i]),
                                   kept = VisiblePixels(f.Picture);
        const int32_t w = f.Picture.Image.Width();
        for (size_t k = 0; k < a.size(); ++k) {
            const int32_t x = f.X + static_cast<int32_t>(k) % w, y = f.Y + static_cast<int32_t>(k) / w;
            const bool in = x >= region.X && x < region.X + region.Width && y >= region.Y && y < region.Y + region.Height;
            (in ? inside : outside) += changed[k] != kept[k];
            EXPECT_EQ(a[k], in ? changed[k] : kept[k]) << "frame " << i << " at " << x << "," << y;
        }
    }
    EXPECT_GT(inside, 0u);
    EXPECT_GT(outside, 0u);
}

// --emit-lut on an animation: the lut holds the colours of every frame as a viewer shows it, the
// index picture is an animated PNG of each frame's columns with the animation's timing, and
// lut[k][index of frame f] is frame f of variant k as shown, pixel for pixel.
// A region whose colours outgrow a table of 256 entries (every entry used inside and outside it)
// leaves that picture or frame truecolour: a GIF output is refused with that cause, not as a
// truecolour input would be; a PNG output takes it.
TEST_F(CliAnimation, ARegionOutgrowingAGifTableIsRefusedWithItsCause)
{
    TGifFrameShape full = GifFrame(0, 0, 32, 16, 0, 51, 1, 10, -1, false);
    for (int i = 0; i < 32 * 16; ++i) full.Indices[static_cast<size_t>(i)] = static_cast<uint8_t>(i % 16 + i / 32 * 16);
    TGifShape still;
    still.Width = 32, still.Height = 16, still.GlobalBits = 8;
    still.Frames = {full};
    TGifShape animation = still;
    animation.Loop = 0;
    animation.Frames.push_back(GifFrame(4, 4, 3, 3, 0, 52, 1, 10, -1, false));
    for (const auto& [name, shape] : {std::pair{"still.gif", still}, {"animation.gif", animation}}) {
        SCOPED_TRACE(name);
        WriteBytes(dir_.File(name), BuildGif(shape));
        const std::vector<std::string> change = {"recolour", "--source", "120", "--tolerance", "36", "--target", "300",
                                                 "--region", "0,0,16,16", "-o"};
        std::vector<std::string> args = change;
        args.insert(args.end(), {dir_.File(std::string("out-") + name), dir_.File(name)});
        TCliRun run = RunCli(args);
        EXPECT_EQ(run.Status, 1);
        EXPECT_TRUE(Contains(run.Err, "GIF: the region's colours need ")) << run.Err;
        EXPECT_TRUE(Contains(run.Err, "palette entries in one picture or frame, more than the 256 a GIF table holds")) << run.Err;
        EXPECT_FALSE(fs::exists(dir_.File(std::string("out-") + name)));
        args = change;
        args.insert(args.end(), {dir_.File(std::string("out-") + name + ".png"), dir_.File(name)});
        run = RunCli(args);
        EXPECT_EQ(run.Status, 0) << run.Err;
    }
}

// A region's change that catches the colour of a frame's transparency index copies that entry
// for the pixels inside: GIF has one transparency index a frame, and both are written as it.
TEST_F(CliAnimation, ARegionCatchingTheTransparentColourStillMakesAGif)
{
    TGifShape shape;
    shape.Width = 8, shape.Height = 6, shape.GlobalBits = 2, shape.Loop = 0;
    shape.Frames = {GifFrame(0, 0, 8, 6, 0, 61, 1, 10, 0, false), GifFrame(2, 1, 4, 4, 0, 62, 1, 10, 0, false)};
    for (TGifFrameShape& f : shape.Frames)
        for (size_t i = 0; i < f.Indices.size(); ++i) f.Indices[i] = static_cast<uint8_t>(i % 3 == 0 ? 0 : f.Indices[i] & 3);
    WriteBytes(dir_.File("clear.gif"), BuildGif(shape));
    // Entry 0, the transparency index, is blue.
    const std::vector<std::string> change = {"recolour", "--from-hue", "240", "--wrap", "--tolerance", "20", "--target", "120",
                                             "--region", "0,0,4,6", "-o"};
    for (const char* name : {"clear-out.gif", "clear-out.png"}) {
        std::vector<std::string> args = change;
        args.insert(args.end(), {dir_.File(name), dir_.File("clear.gif")});
        const TCliRun run = RunCli(args);
        ASSERT_EQ(run.Status, 0) << name << ": " << run.Err;
    }
    const TPictureData gif = Read(dir_.File("clear-out.gif")), png = Read(dir_.File("clear-out.png"));
    ASSERT_TRUE(gif.Animated() && png.Animated());
    ASSERT_EQ(gif.Animation->Frames.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(VisiblePixels(gif.Animation->Frames[i].Picture), VisiblePixels(png.Animation->Frames[i].Picture)) << i;
        EXPECT_EQ(gif.Animation->Frames[i].Gif->TransparentIndex, 0) << i;
    }
    EXPECT_NE(VisiblePixels(gif.Animation->Frames[0].Picture), VisiblePixels(Read(dir_.File("clear.gif")).Animation->Frames[0].Picture));
}

TEST_F(CliAnimation, SwapTextureCoversEveryFrame)
{
    for (const std::string& input : {gif_, apng_}) {
        const std::string out = dir_.File(input == gif_ ? "lut-gif" : "lut-apng");
        const TCliRun run = RunCli({"recolour", "--variant", "a=h0:36:120", "--variant", "b=120:30:300/h200:30:20",
                                    "--emit-lut", "-q", "--out-dir", out, input});
        ASSERT_EQ(run.Status, 0) << run.Err;
        const std::string stem = std::filesystem::path(input).stem().string();
        const std::string ext = std::filesystem::path(input).extension().string();
        const TPictureData in = Read(input), lut = Read(out + "/" + stem + "_lut.png"),
                           index = Read(out + "/" + stem + "_index.png");
        // Each frame of the index whole, as libpng reads it (more than 256 colours: 16-bit).
        const std::vector<uint8_t> indexFile = ReadFileBytes(out + "/" + stem + "_index.png");
        const TApngLayout layout = ReadApngLayout(indexFile.data(), indexFile.size(), {});
        ASSERT_TRUE(index.Animated()) << input;
        const TAnimation& frames = *in.Animation;
        ASSERT_EQ(index.Animation->Frames.size(), frames.Frames.size());
        EXPECT_EQ(index.Animation->Plays, frames.Plays);
        for (size_t f = 0; f < frames.Frames.size(); ++f) {
            EXPECT_EQ(index.Animation->Frames[f].DelayNum, frames.Frames[f].DelayNum);
            EXPECT_EQ(index.Animation->Frames[f].DelayDen % 100, frames.Frames[f].DelayDen % 100);
        }
        ASSERT_EQ(lut.Image.Height(), 3);
        std::vector<TPictureData> variants;
        for (const std::string& name : {input, out + "/" + stem + "_a" + ext, out + "/" + stem + "_b" + ext})
            variants.push_back(Read(name));
        for (size_t k = 0; k < variants.size(); ++k) {
            int differ = 0;
            for (size_t f = 0; f < frames.Frames.size(); ++f) {
                const TPictureData shown = ComposeFrame(*variants[k].Animation, f);
                const std::vector<uint32_t> columns = GreySamples(ApngFramePng(indexFile.data(), layout, f));
                ASSERT_EQ(columns.size(), static_cast<size_t>(frames.Width) * static_cast<size_t>(frames.Height));
                const TPictureData before = ComposeFrame(frames, f);
                for (int32_t y = 0; y < shown.Image.Height(); ++y)
                    for (int32_t x = 0; x < shown.Image.Width(); ++x) {
                        const int32_t column = static_cast<int32_t>(columns[static_cast<size_t>(y) * frames.Width + x]);
                        ASSERT_LT(column, lut.Image.Width());
                        const int alpha = AlphaAt(shown, x, y);
                        ASSERT_EQ(AlphaAt(lut, column, static_cast<int32_t>(k)), alpha) << input << " " << k << " " << f;
                        if (alpha > 0) {
                            ASSERT_EQ(lut.Image.Pixel(column, static_cast<int32_t>(k)), shown.Image.Pixel(x, y))
                                << input << " variant " << k << " frame " << f << " at " << x << "," << y;
                        }
                        differ += shown.Image.Pixel(x, y) != before.Image.Pixel(x, y);
                    }
            }
            if (k > 0) {
                EXPECT_GT(differ, 0) << input << " variant " << k;
            }
        }
    }
}

// The palette command on an animation lists the colours of every frame, not only the first's,
// and counts the pixels of all frames.
TEST_F(CliAnimation, PaletteCommandTakesEveryFrame)
{
    for (const std::string& input : {gif_, apng_}) {
        const TCliRun run = RunCli({"palette", "--json", input});
        ASSERT_EQ(run.Status, 0) << run.Err;
        std::map<std::string, int64_t> listed;
        const nlohmann::json report = nlohmann::json::parse(run.Out);
        for (const auto& c : report["colours"])
            listed[c["colour"].get<std::string>()] += c["pixels"].get<int64_t>();
        const TPictureData in = Read(input);
        std::map<std::string, int64_t> expected;
        for (const TFrame& f : in.Animation->Frames)
            for (int32_t y = 0; y < f.Picture.Image.Height(); ++y)
                for (int32_t x = 0; x < f.Picture.Image.Width(); ++x)
                    ++expected[HexOfColour(f.Picture.Image.Pixel(x, y))];
        for (auto& [colour, pixels] : listed)
            if (pixels == 0) expected.try_emplace(colour, 0); // unused palette entries
        EXPECT_EQ(listed, expected) << input;
        const TPictureData first = Alone(in.Animation->Frames[0].Picture);
        EXPECT_GT(listed.size(), PictureColours(first).size()) << input << ": later frames add colours";
    }
}

TEST_F(CliAnimation, DryRunsCountEveryFrame)
{
    // Protected colours among the tables' entries.
    const auto table = Colours(4, 0);
    TStringList list;
    std::string lines;
    for (int i : {1, 3, 5}) {
        const std::string colour = ColorToText(MakeColor(table[i].Red, table[i].Green, table[i].Blue));
        list.Add(colour);
        lines += colour + "\r\n";
    }
    WriteFile(dir_.File("list.dat"), lines);
    for (const std::string& input : {gif_, hidden_}) {
        SCOPED_TRACE(input);
        THueCounts counts;
        ChangedAlone(input, {Window(120, 36, 300)}, &counts, list);
        ASSERT_GT(counts.Altered, 0);
        const std::vector<std::string> args = {"recolour", "--dry-run", "--source", "120", "--tolerance", "36", "--target",
                                               "300", "--list", dir_.File("list.dat"), input};
        TCliRun run = RunCli(args);
        ASSERT_EQ(run.Status, 0) << run.Err;
        const int frames = input == gif_ ? 12 : 4;
        const std::string size = input == gif_ ? "24 x 20" : "10 x 8";
        EXPECT_TRUE(Contains(run.Out, input + ": " + size + ", " + std::to_string(frames) + " frames\n")) << run.Out;
        EXPECT_TRUE(Contains(run.Out, ": " + std::to_string(counts.Altered) + " pixels altered, " + std::to_string(counts.Kept) +
                                          " protected pixels left alone"))
            << run.Out;
        std::vector<std::string> json = args;
        json.insert(json.begin() + 1, "--json");
        run = RunCli(json);
        ASSERT_EQ(run.Status, 0) << run.Err;
        const nlohmann::json j = nlohmann::json::parse(run.Out);
        EXPECT_EQ(j["frames"], frames);
        EXPECT_EQ(j["outputs"][0]["changes"][0]["altered"], counts.Altered);
        EXPECT_EQ(j["outputs"][0]["changes"][0]["protected"], counts.Kept);
    }
    // An output of one picture counts what it would hold: the first frame.
    // (The first frame covers the canvas: what a still format shows of it is its own picture.)
    TPictureData first = Alone(Read(gif_).Animation->Frames[0].Picture);
    THueCounts one;
    ApplyChangeInPlace(first, TProtectedColors(), Window(120, 36, 300), false, &one);
    const TCliRun run = RunCli({"recolour", "--dry-run", "--json", "--source", "120", "--tolerance", "36", "--target", "300",
                                "-o", dir_.File("still.bmp"), gif_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const nlohmann::json j = nlohmann::json::parse(run.Out);
    EXPECT_FALSE(j.contains("frames")) << run.Out;
    EXPECT_EQ(j["outputs"][0]["changes"][0]["altered"], one.Altered);
}

// ---- between formats ---------------------------------------------------------------------------

// GIF's hundredths become fractions of 100, its disposal the APNG's dispose op, every frame is
// drawn over, and its loop count is the number of plays; a palette GIF comes back as it was.
TEST_F(CliAnimation, GifToApngAndBackKeepTheirTiming)
{
    TCliRun run = RunCli({"convert", gif_, dir_.File("walk.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const Bytes apng = FileBytes(dir_.File("walk.png"));
    const TApngLayout layout = ReadApngLayout(apng.data(), apng.size(), {});
    ASSERT_TRUE(layout.Animated);
    EXPECT_EQ(layout.Plays, 3u);
    const TGifShape shape = TwelveFrames();
    ASSERT_EQ(layout.Frames.size(), 12u);
    const TPictureData in = Read(gif_), out = Read(dir_.File("walk.png"));
    for (size_t i = 0; i < 12; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        const TGifFrameShape& f = shape.Frames[i];
        const TApngFrameControl& c = layout.Frames[i].Control;
        EXPECT_EQ(c.X, uint32_t(f.Left));
        EXPECT_EQ(c.Y, uint32_t(f.Top));
        EXPECT_EQ(c.Width, uint32_t(f.Width));
        EXPECT_EQ(c.Height, uint32_t(f.Height));
        EXPECT_EQ(c.DelayNum, f.Delay);
        EXPECT_EQ(c.DelayDen, 100);
        EXPECT_EQ(c.DisposeOp, f.Disposal == 2 ? 1 : f.Disposal == 3 ? 2 : 0);
        EXPECT_EQ(c.BlendOp, 1);
        EXPECT_EQ(VisiblePixels(out.Animation->Frames[i].Picture), VisiblePixels(in.Animation->Frames[i].Picture));
    }

    // A GIF of one table: its animated PNG keeps the palette, and the GIF made of that is the first.
    run = RunCli({"convert", palGif_, dir_.File("pal.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(FileBytes(dir_.File("pal.png")).at(25), 3) << "not a palette PNG";
    run = RunCli({"convert", dir_.File("pal.png"), dir_.File("back.gif")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    EXPECT_EQ(ReadGifFile(FileBytes(dir_.File("back.gif"))), ReadGifFile(FileBytes(palGif_)));
    EXPECT_EQ(Pixels(Read(dir_.File("back.gif"))), Pixels(Read(palGif_)));

    // Its first frame partial, the default image made for plain readers is of the table too
    // (its transparency index around the frame): still a palette file, still the same GIF.
    TGifShape partial = GlobalTableFrames();
    partial.Frames[0] = GifFrame(2, 1, 7, 6, 0, 21, 1, 10, 4, false);
    WriteBytes(dir_.File("partial.gif"), BuildGif(partial));
    run = RunCli({"convert", dir_.File("partial.gif"), dir_.File("partial.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(FileBytes(dir_.File("partial.png")).at(25), 3) << "not a palette PNG";
    run = RunCli({"convert", dir_.File("partial.png"), dir_.File("partial-back.gif")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(ReadGifFile(FileBytes(dir_.File("partial-back.gif"))), ReadGifFile(FileBytes(dir_.File("partial.gif"))));
    const TPictureData partialPng = Read(dir_.File("partial.png"));
    ASSERT_TRUE(partialPng.Animation && partialPng.Animation->HiddenDefault);
    EXPECT_EQ(VisiblePixels(*partialPng.Animation->HiddenDefault), VisiblePixels(ComposeFrame(*Read(dir_.File("partial.gif")).Animation, 0)));

    // Fractions GIF cannot count are rounded to hundredths, and standard error says so.
    TPictureData fractions;
    fractions.Assign(Read(dir_.File("pal.png")));
    fractions.Animation->Frames[1].DelayNum = 7, fractions.Animation->Frames[1].DelayDen = 30;
    fractions.Animation->Frames[2].DelayNum = 1, fractions.Animation->Frames[2].DelayDen = 3;
    fractions.Animation->Plays = 0;
    SavePicture(dir_.File("fractions.png"), PngFormat(), fractions);
    run = RunCli({"convert", dir_.File("fractions.png"), dir_.File("fractions.gif")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, dir_.File("fractions.gif") + ": GIF counts delays in hundredths of a second: the delays of 2 frames "
                                                      "are rounded to them (7/30 s to 23/100 s)\n");
    const TGifFile rounded = ReadGifFile(FileBytes(dir_.File("fractions.gif")));
    ASSERT_EQ(rounded.Frames.size(), 6u);
    EXPECT_EQ(rounded.Frames[1].Delay, 23);
    EXPECT_EQ(rounded.Frames[2].Delay, 33);
    EXPECT_EQ(rounded.Loop, 0);

    // Longer delays and more plays than GIF's 16 bits hold are cut to the most it holds, and
    // standard error says so (a delay of 655.35 s is the most, not a rounding).
    TPictureData beyond;
    beyond.Assign(Read(dir_.File("pal.png")));
    beyond.Animation->Frames[1].DelayNum = 1000, beyond.Animation->Frames[1].DelayDen = 1;
    beyond.Animation->Frames[3].DelayNum = 700, beyond.Animation->Frames[3].DelayDen = 1;
    beyond.Animation->Plays = 70000;
    SavePicture(dir_.File("beyond.png"), PngFormat(), beyond);
    run = RunCli({"convert", dir_.File("beyond.png"), dir_.File("beyond.gif")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, dir_.File("beyond.gif") + ": GIF holds delays of at most 65535/100 s: the delays of 2 frames are cut "
                                                 "to it (1000/1 s)\n" +
                           dir_.File("beyond.gif") + ": GIF counts at most 65535 plays: the animation's 70000 plays become 65535\n");
    const TGifFile cut = ReadGifFile(FileBytes(dir_.File("beyond.gif")));
    ASSERT_EQ(cut.Frames.size(), 6u);
    EXPECT_EQ(cut.Frames[1].Delay, 65535);
    EXPECT_EQ(cut.Frames[3].Delay, 65535);
    EXPECT_EQ(cut.Frames[4].Delay, 65535); // 655.35 s as it was: nothing said of it
    EXPECT_EQ(cut.Loop, 65535);

    // A truecolour frame cannot become a GIF frame: refused, nothing written, and nothing said of
    // the delays the GIF would have rounded (7/30 s among them).
    run = RunCli({"convert", apng_, dir_.File("ops.gif")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Contains(run.Err, "GIF holds palette pictures of at most 256 colours")) << run.Err;
    EXPECT_FALSE(Contains(run.Err, "GIF counts delays")) << run.Err;
    EXPECT_FALSE(fs::exists(dir_.File("ops.gif")));
}

// A format of one picture gets the first frame as a viewer shows it, and standard error says so
// once per output; --first-frame asks for it in any format, silently.
TEST_F(CliAnimation, TheFirstFrameWhereTheOutputHoldsOnePicture)
{
    const TPictureData in = Read(gif_);
    const TPictureData firstFrame = ComposeFrame(*in.Animation, 0);
    TCliRun run = RunCli({"convert", gif_, dir_.File("still.bmp")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, dir_.File("still.bmp") + ": an animation of 12 frames; BMP holds one picture: its first frame is written\n");
    TPictureData bmp = Read(dir_.File("still.bmp"));
    EXPECT_FALSE(bmp.Animated());
    EXPECT_EQ(bmp.PaletteBits, 4); // the first frame's own palette picture
    EXPECT_EQ(Pixels(bmp), Pixels(firstFrame));

    // Recoloured, with a variant: the first frame of each, said once for each output.
    run = RunCli({"recolour", "--source", "120", "--tolerance", "36", "--target", "300", "--variant", "v=h0:30:90", "-q",
                  "--format", "bmp", "--out-dir", dir_.File("bmps"), gif_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(Count(run.Err, "BMP holds one picture: its first frame is written"), 2) << run.Err;
    EXPECT_EQ(Count(run.Err, dir_.File("bmps/walk.bmp") + ": an animation of 12 frames"), 1) << run.Err;
    EXPECT_EQ(Pixels(Read(dir_.File("bmps/walk.bmp"))), Pixels(ChangedAlone(gif_, {Window(120, 36, 300)})[0]));

    // A GIF of one frame loses nothing in a format of one picture: nothing said.
    TGifShape one;
    one.Width = 5, one.Height = 4, one.GlobalBits = 4;
    one.Frames = {GifFrame(0, 0, 5, 4, 0, 31, 0, 0, -1, false)};
    WriteBytes(dir_.File("one.gif"), BuildGif(one));
    run = RunCli({"convert", dir_.File("one.gif"), dir_.File("one.bmp")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    EXPECT_EQ(Pixels(Read(dir_.File("one.bmp"))), Pixels(Read(dir_.File("one.gif"))));

    // --first-frame: a still PNG or a GIF of one frame, nothing said.
    for (const char* name : {"first.png", "first.gif"}) {
        run = RunCli({"convert", "--first-frame", gif_, dir_.File(name)});
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(run.Err, "");
        const TPictureData still = Read(dir_.File(name));
        EXPECT_EQ(Pixels(still), Pixels(firstFrame)) << name;
        EXPECT_EQ(still.Animated() ? still.Animation->Frames.size() : 1u, 1u) << name;
    }
    EXPECT_FALSE(Read(dir_.File("first.png")).Animated());
    EXPECT_EQ(FileBytes(dir_.File("first.png")).at(25), 3) << "the frame's palette is kept";

    // An APNG whose default image is a picture of its own: the first frame is still the first frame.
    const TPictureData ops = Read(hidden_);
    ASSERT_TRUE(ops.Animation->HiddenDefault);
    ASSERT_NE(Pixels(ops), Pixels(ComposeFrame(*ops.Animation, 0)));
    run = RunCli({"recolour", "--first-frame", "--source", "120", "--tolerance", "36", "--target", "300", "-o",
                  dir_.File("ops-first.png"), hidden_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    TPictureData changed = Read(hidden_);
    changed.Animation->Frames[0].Picture.Assign(ChangedAlone(hidden_, {Window(120, 36, 300)})[0]);
    const TPictureData got = Read(dir_.File("ops-first.png"));
    EXPECT_FALSE(got.Animated());
    EXPECT_EQ(Pixels(got), Pixels(ComposeFrame(*changed.Animation, 0)));
}

// ---- info ----------------------------------------------------------------------------------

TEST_F(CliAnimation, InfoListsFramesPlaysAndDelays)
{
    const std::vector<std::string> stillKeys = {"file",       "version",         "format",    "file_size",   "width",
                                                "height",     "pixel_format",    "palette_size", "alpha",    "color_type",
                                                "color_type_name", "bit_depth",  "interlace", "transparent_color",
                                                "background", "gamma",           "resolution", "comment"};
    TCliRun run = RunCli({"info", "--json", gif_, apng_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const auto lines = [](const std::string& out) {
        std::vector<nlohmann::ordered_json> all;
        for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
            all.push_back(nlohmann::ordered_json::parse(out.substr(at, end - at)));
        return all;
    };
    const auto objects = lines(run.Out);
    ASSERT_EQ(objects.size(), 2u);
    const nlohmann::ordered_json& gif = objects[0];
    std::vector<std::string> keys;
    for (const auto& [key, value] : gif.items()) keys.push_back(key);
    std::vector<std::string> animationKeys = stillKeys;
    animationKeys.insert(animationKeys.end(), {"frames", "plays", "frame_list"});
    EXPECT_EQ(keys, animationKeys);
    EXPECT_EQ(gif["format"], "GIF");
    EXPECT_EQ(gif["frames"], 12);
    EXPECT_EQ(gif["plays"], 3);
    EXPECT_EQ(gif["palette_size"], 16);
    EXPECT_EQ(gif["alpha"], true);
    ASSERT_EQ(gif["frame_list"].size(), 12u);
    EXPECT_EQ(gif["frame_list"][1], nlohmann::ordered_json::parse(
                                        R"({"x":3,"y":2,"width":10,"height":8,"delay_num":12,"delay_den":100,"delay_ms":120})"));
    EXPECT_EQ(gif["frame_list"][9]["delay_ms"], 655350);
    const nlohmann::ordered_json& apng = objects[1];
    EXPECT_EQ(apng["format"], "PNG");
    EXPECT_EQ(apng["frames"], 4);
    EXPECT_EQ(apng["plays"], 2);
    EXPECT_EQ(apng["frame_list"][1], nlohmann::ordered_json::parse(
                                         R"({"x":6,"y":5,"width":4,"height":3,"delay_num":7,"delay_den":30,"delay_ms":233.333})"));
    EXPECT_EQ(apng["frame_list"][2]["delay_den"], 100); // 0 in the file, which means 100
    EXPECT_EQ(apng["frame_list"][2]["delay_ms"], 30);

    // A still picture has the keys it always had, no more.
    run = RunCli({"convert", "--first-frame", apng_, dir_.File("still.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    run = RunCli({"info", "--json", dir_.File("still.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    keys.clear();
    const auto still = lines(run.Out);
    ASSERT_EQ(still.size(), 1u);
    for (const auto& [key, value] : still[0].items()) keys.push_back(key);
    EXPECT_EQ(keys, stillKeys);

    run = RunCli({"info", apng_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Out, "\nframes: 4\nplays: 2\nframe 1: 10 x 8 at 0,0, delay 1/10 s (100 ms)\n"
                                  "frame 2: 4 x 3 at 6,5, delay 7/30 s (233.333 ms)\n"))
        << run.Out;
    run = RunCli({"info", palGif_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Out, "\nframes: 6\nplays: 5\n")) << run.Out;
    WriteBytes(dir_.File("forever.gif"), BuildGif([] {
                   TGifShape shape = GlobalTableFrames();
                   shape.Loop = 0;
                   return shape;
               }()));
    run = RunCli({"info", dir_.File("forever.gif")});
    EXPECT_TRUE(Contains(run.Out, "\nplays: for ever\n")) << run.Out;

    // A GIF's comment extensions are its comment, as a PNG's Comment texts are.
    Bytes commented = FileBytes(gif_);
    const size_t table = (commented[10] & 0x80) ? 3u << ((commented[10] & 7) + 1) : 0;
    const std::string note = "drawn by hand";
    Bytes extension = {0x21, 0xFE, static_cast<uint8_t>(note.size())};
    extension.insert(extension.end(), note.begin(), note.end());
    extension.push_back(0);
    commented.insert(commented.begin() + static_cast<std::ptrdiff_t>(13 + table), extension.begin(), extension.end());
    WriteBytes(dir_.File("commented.gif"), commented);
    run = RunCli({"info", "--json", dir_.File("commented.gif")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(nlohmann::ordered_json::parse(run.Out)["comment"], note);
    run = RunCli({"info", dir_.File("commented.gif")});
    EXPECT_TRUE(Contains(run.Out, "\ncomment: drawn by hand\nframes: 12\n")) << run.Out;
    EXPECT_TRUE(objects[0]["comment"].is_null()); // none in the fixture
}

// ---- pipes, jobs, --optimize -------------------------------------------------------------------

// A pipe's start holds only the first frames of a long animation: a GIF's start tells its screen
// and the frames whole in it (more may come), an APNG's how many frames come. Neither is taken
// for all the input may hold: a GIF and an APNG of more than 16 MiB come through a pipe whole.
TEST_F(CliAnimation, LongAnimationsComeThroughAPipe)
{
    TGifShape gif;
    gif.Width = 256, gif.Height = 256, gif.GlobalBits = 4, gif.Loop = 0;
    const TGifFrameShape noise = GifFrame(0, 0, 256, 256, 8, 41, 1, 4, -1, false);
    gif.Frames.assign(200, noise);
    const Bytes gifBytes = BuildGif(gif);
    ASSERT_GT(gifBytes.size(), size_t{17} << 20);

    uint32_t state = 7;
    const Bytes data = ZRows(256, 256, 4, [&state](int, int, int) { return uint8_t((state = state * 1664525u + 1013904223u) >> 24); });
    TApngBuilder apng;
    apng.Header(256, 256).AcTL(70, 0).FcTL({256, 256}).Idat(data);
    for (int i = 1; i < 70; ++i) apng.FcTL({256, 256}).FdAT(data);
    const Bytes apngBytes = apng.End().Bytes();
    ASSERT_GT(apngBytes.size(), size_t{17} << 20);

    for (const auto& [bytes, frames] : {std::pair{&gifBytes, 200}, {&apngBytes, 70}}) {
        SCOPED_TRACE(frames);
        const TCliRun run = RunCliPiped({"info", "--json", "-"}, std::string(bytes->begin(), bytes->end()));
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(nlohmann::json::parse(run.Out).at("frames"), frames);
    }
}

TEST_F(CliAnimation, PipesJobsAndOptimizeGiveTheSameFrames)
{
    const std::vector<std::string> change = {"--source", "120", "--tolerance", "36", "--target", "300"};
    const auto recolour = [&](std::vector<std::string> more) {
        std::vector<std::string> args = {"recolour", "-q", "--no-time"};
        args.insert(args.end(), change.begin(), change.end());
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    // Standard input to standard output, in the input's format or as --format says.
    for (const auto& [input, format, file] : {std::tuple{gif_, "gif", "piped.gif"}, {apng_, "png", "piped.png"},
                                              {gif_, "png", "gif-as.png"}}) {
        SCOPED_TRACE(file);
        TCliRun run = RunCli(recolour({"-o", dir_.File(file), input}));
        ASSERT_EQ(run.Status, 0) << run.Err;
        const std::string bytes = ReadFile(input);
        run = RunCliPiped(recolour({"--format", format, "-o", "-", "-"}), bytes);
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(run.Out, ReadFile(dir_.File(file)));
    }

    // A batch on one thread and on four: the same bytes.
    fs::create_directories(dir_.File("in"));
    for (int i = 0; i < 4; ++i) {
        fs::copy_file(i % 2 ? gif_ : apng_, dir_.File("in/" + std::to_string(i) + (i % 2 ? ".gif" : ".png")));
    }
    for (const char* jobs : {"1", "4"}) {
        const TCliRun run = RunCli(recolour({"-j", jobs, "-r", "--out-dir", dir_.File(std::string("j") + jobs), dir_.File("in")}));
        ASSERT_EQ(run.Status, 0) << run.Err;
    }
    for (const char* name : {"0.png", "1.gif", "2.png", "3.gif"})
        EXPECT_EQ(ReadFile(dir_.File(std::string("j1/") + name)), ReadFile(dir_.File(std::string("j4/") + name))) << name;
    ExpectFrames(gif_, dir_.File("j4/1.gif"), ChangedAlone(gif_, {Window(120, 36, 300)}));

    // --optimize on an animated PNG: the same frames, never more bytes than the plain save.
    for (const std::string& input : {apng_, hidden_, gif_}) {
        SCOPED_TRACE(input);
        TCliRun run = RunCli(recolour({"--overwrite", "-o", dir_.File("plain.png"), input}));
        ASSERT_EQ(run.Status, 0) << run.Err;
        run = RunCli(recolour({"--overwrite", "--optimize", "-o", dir_.File("small.png"), input}));
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_LE(fs::file_size(dir_.File("small.png")), fs::file_size(dir_.File("plain.png")));
        const TPictureData plain = Read(dir_.File("plain.png")), small = Read(dir_.File("small.png"));
        ASSERT_TRUE(small.Animated());
        ASSERT_EQ(small.Animation->Frames.size(), plain.Animation->Frames.size());
        for (size_t i = 0; i < plain.Animation->Frames.size(); ++i)
            EXPECT_EQ(VisiblePixels(small.Animation->Frames[i].Picture), VisiblePixels(plain.Animation->Frames[i].Picture)) << i;
    }
}

// ---- sprite sheets ------------------------------------------------------------------------------

// The cell (column, row) of a sheet of cells of width x height.
TPictureData Cell(const TPictureData& sheet, int column, int row, int width, int height)
{
    TPictureData cell;
    cell.Image.SetPixelFormat(TPixelFormat::pf24bit);
    cell.Image.SetSize(width, height);
    cell.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    cell.Alpha.SetSize(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const TColor c = sheet.Image.Pixel(column * width + x, row * height + y);
            uint8_t* p = cell.Image.ScanLine(y) + 3 * x;
            p[0] = BlueOf(c), p[1] = GreenOf(c), p[2] = RedOf(c);
            cell.Alpha.ScanLine(y)[x] = static_cast<uint8_t>(255 - AlphaAt(sheet, column * width + x, row * height + y));
        }
    return cell;
}

TEST_F(CliAnimation, SheetsWrittenAndReadBack)
{
    // Twelve frames, five to a row: 3 rows of 24 x 20 cells, the last three cells empty.
    TCliRun run = RunCli({"convert", "--sheet", "5", gif_, dir_.File("sheet.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    const TPictureData in = Read(gif_), sheet = Read(dir_.File("sheet.png"));
    EXPECT_FALSE(sheet.Animated());
    ASSERT_EQ(sheet.Image.Width(), 120);
    ASSERT_EQ(sheet.Image.Height(), 60);
    for (int i = 0; i < 15; ++i) {
        const TPictureData cell = Cell(sheet, i % 5, i / 5, 24, 20);
        if (i < 12)
            EXPECT_EQ(VisiblePixels(cell), VisiblePixels(ComposeFrame(*in.Animation, static_cast<size_t>(i)))) << "frame " << i;
        else
            EXPECT_EQ(VisiblePixels(cell), std::vector<int64_t>(480, 0)) << "cell " << i;
    }

    // Read back: the empty cells at the end are the last row's padding; each frame is its cell.
    run = RunCli({"convert", "--frames", "24,20", "--delay", "70", dir_.File("sheet.png"), dir_.File("again.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const Bytes again = FileBytes(dir_.File("again.png"));
    const TApngLayout layout = ReadApngLayout(again.data(), again.size(), {});
    EXPECT_EQ(layout.Plays, 0u);
    ASSERT_EQ(layout.Frames.size(), 12u);
    const TPictureData back = Read(dir_.File("again.png"));
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(layout.Frames[i].Control, (TApngFrameControl{24, 20, 0, 0, 7, 100, 1, 1})) << i;
        EXPECT_EQ(VisiblePixels(ComposeFrame(*back.Animation, i)), VisiblePixels(ComposeFrame(*in.Animation, i))) << i;
    }
    // And laid out again, the same sheet.
    run = RunCli({"convert", "--sheet", "5", dir_.File("again.png"), dir_.File("sheet2.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(VisiblePixels(Read(dir_.File("sheet2.png"))), VisiblePixels(sheet));
    // COUNT takes the cells asked for, empty ones too; milliseconds GIF cannot count stay exact in APNG.
    run = RunCli({"convert", "--frames", "24,20,15", "--delay", "45", dir_.File("sheet.png"), dir_.File("fifteen.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const Bytes fifteen = FileBytes(dir_.File("fifteen.png"));
    const TApngLayout all = ReadApngLayout(fifteen.data(), fifteen.size(), {});
    ASSERT_EQ(all.Frames.size(), 15u);
    EXPECT_EQ(all.Frames[14].Control.DelayNum, 45);
    EXPECT_EQ(all.Frames[14].Control.DelayDen, 1000);

    // A GIF of one table: its sheet is a palette picture, and the GIF read from it shows the same.
    run = RunCli({"convert", "--sheet", "4", "--out-dir", dir_.File("sheets"), palGif_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const std::string palSheet = dir_.File("sheets/pal.png"); // a sheet is a PNG file
    EXPECT_EQ(FileBytes(palSheet).at(25), 3) << "not a palette PNG";
    run = RunCli({"convert", "--frames", "12,10", palSheet, dir_.File("pal-again.gif")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const TPictureData pal = Read(palGif_), palBack = Read(dir_.File("pal-again.gif"));
    ASSERT_EQ(palBack.Animation->Frames.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(VisiblePixels(ComposeFrame(*palBack.Animation, i)), VisiblePixels(ComposeFrame(*pal.Animation, i))) << i;
        EXPECT_EQ(palBack.Animation->Frames[i].DelayNum, 10) << "the default delay, 100 ms";
    }
    const TGifFile palFile = ReadGifFile(FileBytes(dir_.File("pal-again.gif")));
    EXPECT_EQ(palFile.Loop, 0);
    for (const TGifFrameFile& f : palFile.Frames) EXPECT_EQ(f.Disposal, 2);

    // The output's name tells the sheet's format where it tells one (BMP drops the transparency).
    run = RunCli({"convert", "--sheet", "4", palGif_, dir_.File("pal-sheet.bmp")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "holds no transparency")) << run.Err;
    EXPECT_EQ(Read(dir_.File("pal-sheet.bmp")).Image.Width(), 48);
    run = RunCli({"convert", "--sheet", "4", palGif_, dir_.File("pal-sheet.data")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(FileBytes(dir_.File("pal-sheet.data")).at(1), 'P');

    // A sheet over the pixel limit is refused before the picture is read, nothing written.
    run = RunCli({"convert", "--sheet", "1", "--max-pixels", "1000", gif_, dir_.File("tall.png")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Contains(run.Err, "--sheet 1: 12 frames of 24 x 20 make a sheet of 24 x 240 pixels, more than the limit of "
                                  "1000 pixels (--max-pixels)"))
        << run.Err;
    EXPECT_FALSE(fs::exists(dir_.File("tall.png")));

    // Sheets that cannot be read as asked.
    const struct {
        std::vector<std::string> Args;
        const char* Says;
    } refused[] = {
        {{"--frames", "25,20", dir_.File("sheet.png")}, "--frames 25,20: the 120 x 60 sheet is not a whole number of 25 x 20 frames"},
        {{"--frames", "240,20", dir_.File("sheet.png")}, "is not a whole number of 240 x 20 frames"},
        {{"--frames", "24,20,16", dir_.File("sheet.png")}, "the 120 x 60 sheet holds 15 frames of 24 x 20, fewer than 16"},
        {{"--frames", "24,20", gif_}, "reads a still sprite sheet; this is an animation of 12 frames already"},
        {{"--frames", "1,1", "--max-pixels", "100000", dir_.File("big.png")}, "70000 frames, more than the limit of 65536"},
    };
    TBitmap big;
    MakeImage(big, 350, 200, [](int x, int y) { return TRgb{uint8_t(x), uint8_t(y), 9}; });
    WritePicture(dir_.File("big.png"), big);
    for (const auto& c : refused) {
        std::vector<std::string> args = {"convert"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        args.push_back(dir_.File("refused.gif"));
        run = RunCli(args);
        EXPECT_EQ(run.Status, 1) << c.Says;
        EXPECT_TRUE(Contains(run.Err, c.Says)) << run.Err;
        EXPECT_FALSE(fs::exists(dir_.File("refused.gif")));
    }
}

TEST_F(CliAnimation, CommandLinesThatMakeNoSense)
{
    const struct {
        std::vector<std::string> Args;
        const char* Says;
    } cases[] = {
        {{"convert", "--delay", "50", gif_, dir_.File("o.gif")}, "--delay goes with --frames"},
        {{"convert", "--sheet", "4", "--in-place", gif_}, "--sheet makes a new picture of its input"},
        {{"convert", "--frames", "2,2", "--in-place", gif_}, "--frames makes a new picture of its input"},
        {{"convert", "--sheet", "4", "--frames", "2,2", gif_, dir_.File("o.png")}, "excludes"},
        {{"convert", "--first-frame", "--sheet", "4", gif_, dir_.File("o.png")}, "excludes"},
        {{"convert", "--sheet", "0", gif_, dir_.File("o.png")}, "--sheet: 0 is outside 1-65535"},
        {{"convert", "--frames", "0,2", gif_, dir_.File("o.png")}, "--frames: the width '0' is not a whole number from 1"},
        {{"convert", "--frames", "2", gif_, dir_.File("o.png")}, "--frames: '2' is not W,H or W,H,COUNT"},
        {{"convert", "--frames", "2,x", gif_, dir_.File("o.png")}, "the height 'x' is not a whole number from 1"},
        {{"convert", "--frames", "20000,20000", gif_, dir_.File("o.png")}, "a frame of 20000 x 20000 pixels is larger"},
        {{"convert", "--delay", "65536", "--frames", "2,2", gif_, dir_.File("o.png")}, "--delay: 65536 is outside 0-65535"},
        {{"recolour", "--sheet", "2", "--source", "1", "--target", "2", "-o", dir_.File("o.png"), gif_}, "unknown option --sheet"},
    };
    for (const auto& c : cases) {
        const TCliRun run = RunCli(c.Args);
        EXPECT_EQ(run.Status, 2) << c.Says << ": " << run.Err;
        EXPECT_TRUE(Contains(run.Err, c.Says)) << run.Err;
        EXPECT_FALSE(fs::exists(dir_.File("o.png")));
        EXPECT_FALSE(fs::exists(dir_.File("o.gif")));
    }
    // The options are the table's: usage, manual page and completions know them.
    const TCliRun help = RunCli({"convert", "--help"});
    for (const char* option : {"--first-frame", "--sheet COLUMNS", "--frames W,H[,COUNT]", "--delay MS"})
        EXPECT_TRUE(Contains(help.Out, option)) << option;
}

// ---- hostile files -------------------------------------------------------------------------------

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void Le16(Bytes& b, int v)
{
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

// A GIF header with a two-entry global table.
Bytes GifHeader(int width, int height)
{
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    Le16(b, width);
    Le16(b, height);
    b.insert(b.end(), {0xF0, 0, 0, 0, 0, 0, 255, 255, 255});
    return b;
}

// A frame descriptor and its pixel data (LZW code size, sub-blocks, end).
Bytes GifImage(int left, int top, int width, int height, const Bytes& data)
{
    Bytes b = {0x2C};
    Le16(b, left);
    Le16(b, top);
    Le16(b, width);
    Le16(b, height);
    b.push_back(0);
    return b + data;
}

// Code size 2: clear, index 0, end.
const Bytes OnePixel = {0x02, 0x02, 0x44, 0x01, 0x00};
const Bytes GifEnd = {0x3B};

// Sub-blocks of 255 bytes of data, count of them: enough bytes to hold what a frame declares as
// far as a header walk can tell (they are never decoded).
Bytes Filler(size_t blocks)
{
    Bytes b = {0x08};
    for (size_t i = 0; i < blocks; ++i) {
        b.push_back(255);
        b.insert(b.end(), 255, 0);
    }
    b.push_back(0);
    return b;
}

// Each hostile file through convert and info: refused with its cause, nothing written, within a
// small address space (so that nothing was sized for what the file only declares).
TEST_F(CliAnimation, HostileFilesAreRefusedWithTheirCause)
{
    const Bytes g22 = ZRows(2, 2, 4, Sample(5));
    const auto apng = [](const std::function<void(TApngBuilder&)>& build) {
        TApngBuilder b;
        build(b);
        return b.Bytes();
    };
    Bytes manyFrames = GifHeader(4, 4);
    for (int i = 0; i < 65537; ++i) manyFrames = std::move(manyFrames) + GifImage(0, 0, 1, 1, OnePixel);
    manyFrames = std::move(manyFrames) + GifEnd;
    // Five frames of 16000 x 16000: each within the picture limit and backed by enough bytes to
    // pass for its pixel data, but together more pixels than an animation may have.
    Bytes hugeFrames = GifHeader(16000, 16000);
    for (int i = 0; i < 5; ++i) hugeFrames = std::move(hugeFrames) + GifImage(0, 0, 16000, 16000, Filler(250));
    hugeFrames = std::move(hugeFrames) + GifEnd;

    const struct {
        const char* Name;
        Bytes File;
        const char* Says;
        std::vector<std::string> Options = {};
    } cases[] = {
        {"GIF: more frames than an animation may have", manyFrames, "GIF: the file holds more than 65536 frames"},
        {"GIF: frames over the total", hugeFrames,
         "GIF: the frames up to frame 5 hold 1280000000 pixels, more than the 1073741824 an animation may have"},
        {"GIF: a frame outside the screen", GifHeader(4, 4) + GifImage(4, 0, 1, 1, OnePixel) + GifEnd,
         "GIF: frame 1's rectangle (4, 0, 1 x 1) lies outside the 4 x 4 screen"},
        {"GIF: an LZW bomb", GifHeader(16000, 16000) + GifImage(0, 0, 16000, 16000, OnePixel) + GifEnd,
         "GIF: frame 1 declares 16000 x 16000 pixels, more than the 5 bytes left in the file can hold"},
        {"GIF: a huge screen", GifHeader(65535, 65535) + GifImage(0, 0, 1, 1, OnePixel) + GifEnd,
         "GIF: the logical screen is 65535 x 65535 pixels, more than the 268435456 a picture may have"},
        {"GIF: frames over --max-pixels", BuildGif(TwelveFrames()),
         "the picture declares 24 x 20 = 480 pixels, more than the limit of 400 pixels (--max-pixels)", {"--max-pixels", "400"}},
        {"APNG: frames declared beyond the limit", apng([&](TApngBuilder& b) { b.Header(2, 2).AcTL(100000).FcTL({2, 2}).Idat(g22).End(); }),
         "the animation declares 100000 frames, more than the limit of 65536"},
        {"APNG: fewer frames than declared",
         apng([&](TApngBuilder& b) { b.Header(2, 2).AcTL(3).FcTL({2, 2}).Idat(g22).FcTL({2, 2}).FdAT(g22).End(); }),
         "not a valid animated PNG: the acTL chunk declares 3 frames but the file holds 2"},
        {"APNG: sequence numbers out of order",
         apng([&](TApngBuilder& b) { b.Header(2, 2).AcTL(2).FcTL({2, 2}).Idat(g22).FcTL({2, 2}, 2).FdAT(g22, 1).End(); }),
         "not a valid animated PNG: the fcTL chunk at byte 130 has sequence number 2 where 1 comes next"},
        {"APNG: a rectangle outside the canvas",
         apng([&](TApngBuilder& b) { b.Header(4, 4).AcTL(2).FcTL({4, 4}).Idat(ZRows(4, 4, 4, Sample(6))).FcTL({2, 2, 3, 0}).FdAT(g22).End(); }),
         "not a valid animated PNG: frame 2's rectangle of 2 x 2 at 3,0 lies outside the 4 x 4 canvas"},
        {"APNG: tiny data, huge frame",
         apng([&](TApngBuilder& b) { b.Header(16000, 16000).AcTL(1).FcTL({16000, 16000}).Idat(g22).End(); }),
         "not a valid animated PNG: the default image declares 16000 x 16000 pixels but holds only 27 bytes"},
        {"APNG: over --max-pixels",
         apng([&](TApngBuilder& b) {
             b.Header(30, 30).AcTL(2).FcTL({30, 30}).Idat(ZRows(30, 30, 4, Sample(7))).FcTL({2, 2}).FdAT(g22).End();
         }),
         "the picture declares 30 x 30 = 900 pixels, more than the limit of 800 pixels (--max-pixels)", {"--max-pixels", "800"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string input = dir_.File("hostile");
        WriteBytes(input, c.File);
        for (const char* command : {"convert", "info"}) {
            std::string line = std::string("'") + TINTABREL_CLI + "' " + command;
            for (const std::string& option : c.Options) line += " " + option;
            line += " '" + input + "'";
            if (std::string(command) == "convert") line += " '" + dir_.File("out.png") + "'";
            line += " >/dev/null 2>'" + dir_.File("err.txt") + "'";
#if !defined(TINTABREL_SANITIZED)
            // The sanitizers' own shadow memory would not fit; elsewhere 600 MB is far less than
            // any of these files declares.
            line = "ulimit -v 600000; " + line;
#endif
            const int status = std::system(("bash -c \"" + line + "\"").c_str());
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << command << ": " << status;
            const std::string err = ReadFile(dir_.File("err.txt"));
            EXPECT_TRUE(Contains(err, input + ": " + c.Says)) << command << ": " << err;
            EXPECT_EQ(Count(err, "\n"), 1) << command << ": one line: " << err;
            EXPECT_FALSE(fs::exists(dir_.File("out.png")));
        }
    }
}

} // namespace
} // namespace tintabrel::test
