// What a PNG save stamps and leaves out (time, stripping) on every way a picture is written:
// the picture writer, the raster writer of 2-bit palette pictures, and --optimize.
#include "app/PictureFiles.h"
#include "app/PictureFormats.h"

#include "base/Streams.h"
#include "tests/TestData.h"
#include "tests/png/PngWriteTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tintabrel {
namespace {

void Load(const std::string& name, TPictureData& data)
{
    LoadPicture(test::DataPath("pngsuite/" + name), PngFormat(), data);
}

std::vector<uint8_t> Save(const TPictureData& data, const TPNGSaveOptions& options)
{
    TMemoryStream memory;
    WritePicturePng(memory, data, options);
    return memory.Bytes();
}

TVRQPNGTime Time(uint16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute, uint8_t second)
{
    TVRQPNGTime t;
    t.Year = year;
    t.Month = month;
    t.Day = day;
    t.Hour = hour;
    t.Minute = minute;
    t.Second = second;
    return t;
}

// The tIME data of a time as it stands in the file.
std::vector<uint8_t> TimeBytes(const TVRQPNGTime& t)
{
    return {static_cast<uint8_t>(t.Year >> 8), static_cast<uint8_t>(t.Year), t.Month, t.Day, t.Hour, t.Minute, t.Second};
}

// Every way WritePicturePng writes: which file and which options lead there.
struct TWay {
    const char* Name;
    const char* File;
    bool Optimize;
};
const TWay Ways[] = {
    {"picture writer, RGB", "basn2c08.png", false},
    {"picture writer, RGBA", "basn6a08.png", false},
    {"picture writer, palette with tRNS", "tbbn3p08.png", false},
    {"raster writer, 2-bit palette", "basn3p02.png", false},
    {"optimizer, RGB", "basn2c08.png", true},
    {"optimizer, 2-bit palette", "basn3p02.png", true},
};

TEST(PngSaveTime, EverySaveAsksTheClockAndStampsItsOwnTime)
{
    const TVRQPNGTime first = Time(2001, 2, 3, 4, 5, 6), second = Time(2031, 12, 30, 22, 58, 59);
    for (const TWay& way : Ways) {
        SCOPED_TRACE(way.Name);
        TPictureData data;
        Load(way.File, data);
        TPNGSaveOptions options;
        options.Optimize = way.Optimize;
        int calls = 0;
        TVRQPNGTime now = first;
        options.Clock = [&] {
            ++calls;
            return now;
        };
        const std::vector<test::Chunk> a = test::ParseChunks(Save(data, options));
        now = second;
        const std::vector<test::Chunk> b = test::ParseChunks(Save(data, options));
        EXPECT_EQ(calls, 2); // once per save: the plain candidate shares the optimized one's time
        ASSERT_NE(test::FindChunk(a, "tIME"), nullptr);
        ASSERT_NE(test::FindChunk(b, "tIME"), nullptr);
        EXPECT_EQ(test::FindChunk(a, "tIME")->Data, TimeBytes(first));
        EXPECT_EQ(test::FindChunk(b, "tIME")->Data, TimeBytes(second));
    }
}

TEST(PngSaveTime, FixedTimeOrNoneOnEveryWay)
{
    const TVRQPNGTime fixed = Time(1999, 12, 31, 23, 59, 60);
    for (const TWay& way : Ways) {
        SCOPED_TRACE(way.Name);
        TPictureData data;
        Load(way.File, data);
        TPNGSaveOptions options;
        options.Optimize = way.Optimize;
        bool clockAsked = false;
        options.Clock = [&] {
            clockAsked = true;
            return Time(2020, 1, 1, 0, 0, 0);
        };

        options.Time = TPngTimeSource::Fixed;
        options.FixedTime = fixed;
        const std::vector<uint8_t> stamped = Save(data, options);
        const std::vector<test::Chunk> chunks = test::ParseChunks(stamped);
        ASSERT_NE(test::FindChunk(chunks, "tIME"), nullptr);
        EXPECT_EQ(test::FindChunk(chunks, "tIME")->Data, TimeBytes(fixed));
        EXPECT_EQ(Save(data, options), stamped) << "a fixed time gives the same bytes every time";

        options.Time = TPngTimeSource::None;
        const std::vector<test::Chunk> bare = test::ParseChunks(Save(data, options));
        EXPECT_EQ(test::FindChunk(bare, "tIME"), nullptr);
        EXPECT_NE(test::FindChunk(bare, "tEXt"), nullptr) << "only the time is left out";
        EXPECT_FALSE(clockAsked);
    }
}

TEST(PngSaveTime, EpochSecondsAsUtcDates)
{
    const struct {
        int64_t Seconds;
        TVRQPNGTime Expected;
    } cases[] = {
        {0, Time(1970, 1, 1, 0, 0, 0)},
        {-5, Time(1970, 1, 1, 0, 0, 0)},
        {951868799, Time(2000, 2, 29, 23, 59, 59)},
        {1700000000, Time(2023, 11, 14, 22, 13, 20)},
        {4107542400, Time(2100, 3, 1, 0, 0, 0)},
        {253402300799, Time(9999, 12, 31, 23, 59, 59)},
        {int64_t{1} << 60, Time(9999, 12, 31, 23, 59, 59)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Seconds);
        EXPECT_EQ(TimeBytes(UTCTimeOfEpochSeconds(c.Seconds)), TimeBytes(c.Expected));
    }
}

TEST(PngSaveStrip, OnlyThePixelsChunksOnEveryWayAndThePixelsStay)
{
    for (const TWay& way : Ways) {
        SCOPED_TRACE(way.Name);
        TPictureData data;
        Load(way.File, data);
        TPNGSaveOptions options;
        options.Optimize = way.Optimize;
        const std::vector<uint8_t> full = Save(data, options);
        options.Strip = true;
        const std::vector<uint8_t> stripped = Save(data, options);
        EXPECT_LT(stripped.size(), full.size());
        for (const test::Chunk& c : test::ParseChunks(stripped))
            EXPECT_TRUE(c.Type == "IHDR" || c.Type == "PLTE" || c.Type == "tRNS" || c.Type == "IDAT" || c.Type == "IEND")
                << c.Type;
        // The same chunks the pixels need as without stripping.
        std::vector<std::string> needed;
        for (const test::Chunk& c : test::ParseChunks(full))
            if (c.Type == "IHDR" || c.Type == "PLTE" || c.Type == "tRNS" || c.Type == "IDAT" || c.Type == "IEND")
                needed.push_back(c.Type);
        EXPECT_EQ(test::ChunkTypes(test::ParseChunks(stripped)), needed);

        TMemoryStream memory(stripped);
        TPictureData again;
        LoadPicture(memory, PngFormat(), again);
        ASSERT_EQ(again.Image.Width(), data.Image.Width());
        ASSERT_EQ(again.HasAlpha(), data.HasAlpha());
        for (int32_t y = 0; y < data.Image.Height(); ++y)
            for (int32_t x = 0; x < data.Image.Width(); ++x) {
                ASSERT_EQ(again.Image.Pixel(x, y), data.Image.Pixel(x, y));
                if (data.HasAlpha()) {
                    ASSERT_EQ(again.Alpha.ConstScanLine(y)[x], data.Alpha.ConstScanLine(y)[x]);
                }
            }
    }
}

} // namespace
} // namespace tintabrel
