// The picture pipeline: a picture read row by row is changed and written while it is read, and
// gives what changing it once it is whole gives; pictures that cannot go row by row go the other
// way; a file failing part-way leaves nothing behind; several outputs of one input each start
// from the picture as read.
#include "app/PicturePipeline.h"
#include "app/PictureFormats.h"

#include "app/PictureChange.h"
#include "app/PictureFiles.h"
#include "base/Exceptions.h"
#include "base/ScopeGuard.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

std::string Suite(const std::string& name) { return test::DataPath("pngsuite/" + name); }

std::vector<uint8_t> Pixels(const TBitmap& image)
{
    std::vector<uint8_t> bytes;
    for (int32_t y = 0; y < image.Height(); ++y) {
        const uint8_t* row = image.ConstScanLine(y);
        bytes.insert(bytes.end(), row, row + image.Width() * 3);
    }
    return bytes;
}

void Decode(TMemoryStream& bytes, TPictureData& data)
{
    bytes.SetPosition(0);
    LoadPicture(bytes, PngFormat(), data);
    data.Image.SetPixelFormat(TPixelFormat::pf24bit);
}

// Runs one output of the file on two threads and reads what it wrote into memory; whether it went
// row by row.
bool RunToMemory(const std::string& file, const TPipelineOutput& output, TMemoryStream& out)
{
    test::TempDir dir;
    TPictureSource in(file);
    TPipelineOutput o = output;
    o.Path = dir.File("out.png");
    o.Kind = PngFormat();
    TLoadOptions load;
    load.Threads = 2;
    const std::vector<TPipelineResult> results = RunPicturePipeline(in, load, {o});
    if (results[0].Error) std::rethrow_exception(results[0].Error);
    out.LoadFromFile(o.Path);
    return results[0].WhileRead;
}

TEST(PicturePipeline, RowByRowGivesWhatTheWholePictureGives)
{
    SetLeastPixelsRowByRowForTesting(1);
    const TScopeGuard restore([] { SetLeastPixelsRowByRowForTesting(int64_t{1} << 20); });
    const TProtectedColors none;
    const std::vector<THueWindow> windows = {{120, 36, 300}, {300, 30, 10}};
    struct TCase {
        const char* File;
        bool RowByRow;
    };
    const TCase cases[] = {
        {"basn2c08.png", true},  {"basn6a08.png", true},  {"basn2c16.png", true}, {"basn6a16.png", true},
        {"basn3p08.png", false}, // palette: its entries are recoloured, not its rows
        {"basi2c08.png", false}, // interlaced: a row is not final once stored
        {"tbrn2c08.png", false}, // a transparent colour becomes alpha after the read
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.File);
        TPipelineOutput rows;
        rows.RowChange = TRowChange{&none, windows};
        rows.Change = [&](TPictureData& d) {
            for (const THueWindow& w : windows) ApplyChangeInPlace(d, none, w, true);
        };
        TPipelineOutput whole = rows;
        whole.RowChange.reset();
        TMemoryStream a, b;
        EXPECT_EQ(RunToMemory(Suite(c.File), rows, a), c.RowByRow);
        EXPECT_FALSE(RunToMemory(Suite(c.File), whole, b));
        TPictureData one, two;
        Decode(a, one);
        Decode(b, two);
        EXPECT_EQ(Pixels(one.Image), Pixels(two.Image));
        EXPECT_EQ(one.HasAlpha(), two.HasAlpha());
        TPictureData in;
        LoadPicture(Suite(c.File), PngFormat(), in);
        in.Image.SetPixelFormat(TPixelFormat::pf24bit);
        EXPECT_NE(Pixels(one.Image), Pixels(in.Image)); // the windows catch something
    }
}

// A file cut inside its image data fails row by row as when read whole, and its output file
// (written alongside) is gone.
TEST(PicturePipeline, AFileCutShortLeavesNoOutput)
{
    SetLeastPixelsRowByRowForTesting(1);
    const TScopeGuard restore([] { SetLeastPixelsRowByRowForTesting(int64_t{1} << 20); });
    test::TempDir dir;
    std::vector<unsigned char> bytes = test::ReadFileBytes(Suite("basn2c08.png"));
    bytes.resize(bytes.size() * 2 / 3);
    test::WriteFileBytes(dir.File("cut.png"), bytes);
    const TProtectedColors none;
    std::string messages[2];
    for (int k = 0; k < 2; ++k) {
        TPipelineOutput out;
        out.Path = dir.File("out.png");
        if (k == 0) out.RowChange = TRowChange{&none, {{120, 36, 300}}};
        TPictureSource in(dir.File("cut.png"));
        TLoadOptions load;
        load.Threads = 2;
        try {
            RunPicturePipeline(in, load, {out});
            ADD_FAILURE() << "a cut file was made";
        } catch (const std::exception& e) {
            messages[k] = e.what();
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "only cut.png";
    }
    EXPECT_EQ(messages[0], messages[1]);
}

// Each output starts from the picture as read: one output's change does not reach the next.
TEST(PicturePipeline, OutputsOfOneInputStartFromThePictureAsRead)
{
    const TProtectedColors none;
    std::vector<TPipelineOutput> outputs(3);
    std::vector<TPictureData> taken(3);
    const THueWindow windows[] = {{120, 36, 300}, {300, 30, 10}, {0, 0, 0}};
    for (int k = 0; k < 3; ++k) {
        if (k < 2) outputs[k].Change = [&, k](TPictureData& d) { ApplyChangeInPlace(d, none, windows[k], true); };
        outputs[k].Take = [&, k](TPictureData& d) { taken[k].Assign(d); };
    }
    TPictureSource in(Suite("basn6a08.png"));
    const std::vector<TPipelineResult> results = RunPicturePipeline(in, {}, outputs);
    TPictureData read;
    LoadPicture(Suite("basn6a08.png"), PngFormat(), read);
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_FALSE(results[k].Error);
        TPictureData expected;
        expected.Assign(read);
        if (k < 2) ApplyChangeInPlace(expected, none, windows[k], true);
        EXPECT_EQ(Pixels(taken[k].Image), Pixels(expected.Image));
    }
    EXPECT_NE(Pixels(taken[0].Image), Pixels(taken[1].Image));
}

// A file's progress is told through its output's: rising from the read to the write, reaching 1,
// row by row as when the picture is read whole, and for several outputs.
TEST(PicturePipeline, ProgressRisesToTheEnd)
{
    SetLeastPixelsRowByRowForTesting(1);
    const TScopeGuard restore([] { SetLeastPixelsRowByRowForTesting(int64_t{1} << 20); });
    const TProtectedColors none;
    struct TCase {
        const char* Name;
        bool RowChange;
        int Outputs;
        bool Optimize;
    };
    for (const TCase& c : {TCase{"row by row", true, 1, false}, TCase{"whole", false, 1, false},
                           TCase{"two outputs", true, 2, false}, TCase{"optimized", false, 1, true}}) {
        SCOPED_TRACE(c.Name);
        std::vector<double> told;
        std::mutex mutex;
        test::TempDir dir;
        std::vector<TPipelineOutput> outputs(static_cast<size_t>(c.Outputs));
        for (int k = 0; k < c.Outputs; ++k) {
            outputs[k].Path = dir.File("out" + std::to_string(k) + ".png");
            outputs[k].Png.Optimize = c.Optimize;
            if (c.RowChange) outputs[k].RowChange = TRowChange{&none, {}};
            outputs[k].Png.Progress = [&](double done) {
                std::lock_guard lock(mutex);
                told.push_back(done);
            };
        }
        TPictureSource in(Suite("basn6a08.png"));
        TLoadOptions load;
        load.Threads = 2;
        const std::vector<TPipelineResult> results = RunPicturePipeline(in, load, outputs);
        EXPECT_EQ(results[0].WhileRead, c.RowChange && c.Outputs == 1);
        ASSERT_GE(told.size(), 3u);
        EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
        EXPECT_LT(told.front(), 0.5);
        EXPECT_DOUBLE_EQ(told.back(), 1.0);
    }
}

} // namespace
} // namespace tintabrel
