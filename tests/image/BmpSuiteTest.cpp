// The public BMP test suite: every good file decodes to its reference rendering (read with
// libpng), the run-length files with deltas and early ends match the rendering that leaves
// skipped pixels black, and no file of any folder upsets the reader.
#include "image/Graphics.h"

#include "base/Exceptions.h"
#include "base/Streams.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

struct TReference {
    int width = 0;
    int height = 0;
    std::vector<TColor> pixels; // top row first
};

// A reference rendering decoded by libpng into plain colours.
TReference ReadReferencePng(const std::string& path)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) throw std::runtime_error("cannot read " + path);
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) throw std::runtime_error("cannot decode " + path);
    TReference ref;
    ref.width = static_cast<int>(image.width);
    ref.height = static_cast<int>(image.height);
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) ref.pixels.push_back(MakeColor(rgb[i], rgb[i + 1], rgb[i + 2]));
    return ref;
}

std::string Suite(const std::string& relative) { return test::DataPath("bmpsuite/" + relative); }

std::vector<TColor> PixelsOf(const TBitmap& bmp)
{
    std::vector<TColor> out;
    out.reserve(static_cast<size_t>(bmp.Width()) * static_cast<size_t>(bmp.Height()));
    for (int y = 0; y < bmp.Height(); ++y)
        for (int x = 0; x < bmp.Width(); ++x) out.push_back(bmp.Pixel(x, y));
    return out;
}

struct SuiteCase {
    const char* file;
    const char* reference; // under html/
    // 5- and 6-bit channels are widened by repeating their bits; the references round
    // v * 255 / max instead, which differs by at most 1.
    int tolerance = 0;
};

bool Near(TColor a, TColor b, int tolerance)
{
    for (int shift = 0; shift < 24; shift += 8)
        if (std::abs(((a >> shift) & 0xFF) - ((b >> shift) & 0xFF)) > tolerance) return false;
    return true;
}

// Good files, and the questionable ones whose rendering this reader promises: skipped pixels
// of run-length pictures are black.
const SuiteCase Cases[] = {
    {"g/pal1.bmp", "pal1.png"},
    {"g/pal1wb.bmp", "pal1.png"},
    {"g/pal1bg.bmp", "pal1bg.png"},
    {"g/pal4.bmp", "pal4.png"},
    {"g/pal4rle.bmp", "pal4.png"},
    {"g/pal4gs.bmp", "pal4gs.png"},
    {"g/pal8.bmp", "pal8.png"},
    {"g/pal8-0.bmp", "pal8.png"},
    {"g/pal8os2.bmp", "pal8.png"},
    {"g/pal8rle.bmp", "pal8.png"},
    {"g/pal8topdown.bmp", "pal8.png"},
    {"g/pal8v4.bmp", "pal8.png"},
    {"g/pal8v5.bmp", "pal8.png"},
    {"g/pal8gs.bmp", "pal8gs.png"},
    {"g/pal8nonsquare.bmp", "pal8nonsquare-e.png"},
    {"g/pal8w124.bmp", "pal8w124.png"},
    {"g/pal8w125.bmp", "pal8w125.png"},
    {"g/pal8w126.bmp", "pal8w126.png"},
    {"g/rgb16.bmp", "rgb16.png", 1},
    {"g/rgb16bfdef.bmp", "rgb16.png", 1},
    {"g/rgb16-565.bmp", "rgb16-565.png", 1},
    {"g/rgb16-565pal.bmp", "rgb16-565.png", 1},
    {"g/rgb24.bmp", "rgb24.png"},
    {"g/rgb24pal.bmp", "rgb24.png"},
    {"g/rgb32.bmp", "rgb24.png"},
    {"g/rgb32bf.bmp", "rgb24.png"},
    {"g/rgb32bfdef.bmp", "rgb24.png"},
    {"q/pal1p1.bmp", "pal1p1.png"},
    {"q/rgb32h52.bmp", "rgb24.png"},
    {"q/pal4rletrns.bmp", "pal4rletrns-b.png"},
    {"q/pal4rlecut.bmp", "pal4rlecut-b.png"},
    {"q/pal8rletrns.bmp", "pal8rletrns-b.png"},
    {"q/pal8rlecut.bmp", "pal8rlecut-b.png"},
};

TEST(BmpSuite, FilesMatchTheirReferenceRendering)
{
    for (const SuiteCase& c : Cases) {
        SCOPED_TRACE(c.file);
        TBitmap bmp;
        ASSERT_NO_THROW(bmp.LoadFromFile(Suite(c.file)));
        const TReference ref = ReadReferencePng(Suite(std::string("html/") + c.reference));
        ASSERT_EQ(bmp.Width(), ref.width);
        ASSERT_EQ(bmp.Height(), ref.height);
        const std::vector<TColor> got = PixelsOf(bmp);
        const auto mismatch = std::mismatch(got.begin(), got.end(), ref.pixels.begin(),
                                            [&](TColor a, TColor b) { return Near(a, b, c.tolerance); });
        if (mismatch.first != got.end()) {
            const auto at = mismatch.first - got.begin();
            ADD_FAILURE() << "pixel (" << at % ref.width << ", " << at / ref.width << "): " << std::hex << *mismatch.first
                          << " instead of " << *mismatch.second;
        }
    }
}

// The same picture under two versions of the information header reads the same.
TEST(BmpSuite, HeaderVersionsOfOnePictureReadTheSame)
{
    const struct {
        const char* file;
        const char* sameAs;
    } pairs[] = {{"q/rgb32h52.bmp", "g/rgb32bf.bmp"}, {"q/rgba32h56.bmp", "q/rgba32-2.bmp"}};
    for (const auto& p : pairs) {
        SCOPED_TRACE(p.file);
        TBitmap bmp, same;
        ASSERT_NO_THROW(bmp.LoadFromFile(Suite(p.file)));
        same.LoadFromFile(Suite(p.sameAs));
        EXPECT_EQ(bmp.Width(), same.Width());
        EXPECT_EQ(PixelsOf(bmp), PixelsOf(same));
    }
}

// What the reader makes of the files it refuses; the rest must load.
struct Refusal {
    const char* file;
    bool readError; // else invalid bitmap
};
const Refusal Refused[] = {
    {"b/badbitcount.bmp", false},   {"b/badheadersize.bmp", false},
    {"b/badpalettesize.bmp", true}, {"b/badplanes.bmp", false},      {"b/badwidth.bmp", false},
    {"b/reallybig.bmp", false},     {"x/ba-bm.bmp", false},          {"q/pal1huffmsb.bmp", false},
    {"q/pal2.bmp", false},          {"q/pal2color.bmp", false},      {"q/pal8os2v2.bmp", false},
    {"q/pal8os2v2-16.bmp", false},  {"q/pal8os2v2-sz.bmp", false},   {"q/rgb24jpeg.bmp", false},
    {"q/rgb24png.bmp", false},      {"q/rgb24rle24.bmp", false},     {"q/rgba32abf.bmp", false},
    {"q/rgba64.bmp", false},
};

TEST(BmpSuite, EveryFileLoadsOrFailsCleanlyAndLoadedOnesRoundTrip)
{
    int files = 0;
    int runLengthFiles = 0;
    for (const char* folder : {"g", "q", "b", "x"}) {
        for (const auto& entry : std::filesystem::directory_iterator(Suite(folder))) {
            const std::string name = std::string(folder) + "/" + entry.path().filename().string();
            SCOPED_TRACE(name);
            ++files;
            const auto refusal = std::find_if(std::begin(Refused), std::end(Refused), [&](const Refusal& r) { return name == r.file; });
            TBitmap bmp;
            try {
                bmp.LoadFromFile(entry.path().string());
            } catch (const EReadError& e) {
                EXPECT_TRUE(refusal != std::end(Refused) && refusal->readError) << e.what();
                continue;
            } catch (const EInvalidGraphic& e) {
                EXPECT_TRUE(refusal != std::end(Refused) && !refusal->readError) << e.what();
                continue;
            }
            EXPECT_TRUE(refusal == std::end(Refused)) << "loaded";
            EXPECT_GT(bmp.Width(), 0);

            TMemoryStream saved;
            bmp.SaveToStream(saved);
            // Run-length pictures (held in device form) are written back byte for byte.
            if (bmp.Image()->DeviceForm) {
                ++runLengthFiles;
                EXPECT_EQ(saved.Bytes(), test::ReadFileBytes(entry.path().string()));
            }
            saved.SetPosition(0);
            TBitmap again;
            again.LoadFromStream(saved);
            EXPECT_EQ(PixelsOf(again), PixelsOf(bmp));
        }
    }
    EXPECT_GT(files, 0) << "suite folder missing";
    EXPECT_GT(runLengthFiles, 0);
}

} // namespace
} // namespace tintabrel
