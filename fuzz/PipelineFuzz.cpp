// The whole way of a file through the tool: load, one change, save as PNG into memory, on one
// thread, on two (the image data inflated ahead, the change and the compression shared), and
// recoloured and compressed while it is read (rows handed over a row gate to an encoding
// thread). The thresholds are lowered so that small inputs take the threaded paths, which
// otherwise start only for pictures of a megabyte. Every way must give the same file, or fail
// with the same message.
#include "fuzz/FuzzCommon.h"
#include "app/PictureChange.h"
#include "app/PictureFiles.h"
#include "app/PictureFormats.h"
#include "app/PicturePipeline.h"
#include "base/Exceptions.h"
#include "base/RowGate.h"
#include "base/ScopeGuard.h"
#include "base/TaskPool.h"
#include "png/VRQPNGReadStream.h"
#include "png/VRQPNGTypes.h"
#include "recolour/HueReplace.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

namespace {

// The reader's fixed text without the cause after it: a damaged stream may be noticed at another
// place when its rows are unfiltered while later data is still being inflated.
std::string FixedText(const std::string& message)
{
    const std::string fixed = tintabrel::pngmsg::ReadError;
    return message.rfind(fixed, 0) == 0 ? fixed : message;
}

using namespace tintabrel;

// The file written, as what it holds: its chunks with the time of writing (tIME) left out and
// the image data inflated. How the deflate stream is cut depends on the threads compressing it
// (segments on several); that is compared by the tool's tests, not here, so that the fuzzer
// looks for differences in what the files hold.
std::string Written(TMemoryStream& out)
{
    const uint8_t* d = out.Memory();
    const size_t size = static_cast<size_t>(out.Size());
    std::string text = "png";
    std::string idat;
    for (size_t at = 8; at + 12 <= size;) {
        const size_t length = (size_t{d[at]} << 24) | (size_t{d[at + 1]} << 16) | (size_t{d[at + 2]} << 8) | d[at + 3];
        if (at + 12 + length > size) std::abort(); // the writer made a broken chunk
        const std::string type(reinterpret_cast<const char*>(d + at + 4), 4);
        if (type == "IDAT") idat.append(reinterpret_cast<const char*>(d + at + 8), length);
        else if (type != "tIME") text += " " + type + std::string(reinterpret_cast<const char*>(d + at + 8), length);
        at += 12 + length;
    }
    z_stream z{};
    if (inflateInit(&z) != Z_OK) std::abort();
    z.next_in = reinterpret_cast<Bytef*>(idat.data());
    z.avail_in = static_cast<uInt>(idat.size());
    std::string raw;
    int status = Z_OK;
    while (status == Z_OK) {
        char buffer[65536];
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        status = inflate(&z, Z_NO_FLUSH);
        raw.append(buffer, sizeof buffer - z.avail_out);
    }
    inflateEnd(&z);
    if (status != Z_STREAM_END) std::abort(); // the writer made a broken stream
    return text + " IDAT " + raw;
}

// Load, change, save, each on up to threads threads.
std::string Plain(const uint8_t* data, size_t size, TPictureKind kind, const THueWindow& window, unsigned threads)
{
    try {
        TMemoryStream in(data, size);
        TPictureData picture;
        TLoadOptions load;
        load.Threads = threads;
        LoadPicture(in, kind, picture, load);
        if (picture.Image.Empty() || picture.Image.Width() == 0 || picture.Image.Height() == 0) return "empty";
        const TProtectedColors none;
        ApplyChangeInPlace(picture, none, window, false, nullptr, threads);
        TPNGSaveOptions save;
        save.Threads = threads;
        TMemoryStream out;
        SavePicture(out, PngFormat(), picture, save);
        return Written(out);
    } catch (const Exception& e) {
        return std::string("error ") + FixedText(e.what());
    }
}

// What the tool recolours while reading: RGB (with or without alpha), not interlaced, no
// transparent colour.
bool RecolourableAsRead(const uint8_t* data, size_t size)
{
    TMemoryStream in(data, size);
    TVRQPNGReadStream reader;
    reader.StopAtImageData = true;
    try {
        reader.ReadFromStream(nullptr, in, 0);
    } catch (const std::exception&) {
        return false;
    }
    return reader.ColorKind == 2 && reader.Interlace == 0 && reader.TransparentColor == -1 && !reader.SampleAlpha &&
           reader.Width > 0 && reader.Height > 0;
}

// The picture pipeline row by row: each stored row is recoloured and opened to an encoding thread
// that compresses it meanwhile.
std::string AsRead(const uint8_t* data, size_t size, const THueWindow& window)
{
    const TProtectedColors none;
    // The row-by-row way writes a file: one folder for the process's runs.
    static const std::string folder = [] {
        char name[] = "/tmp/pipelinefuzz-XXXXXX";
        if (!::mkdtemp(name)) std::abort();
        return std::string(name);
    }();
    const std::string path = folder + "/out.png";
    const TScopeGuard removed([&path] { std::remove(path.c_str()); });
    TPipelineOutput output;
    output.Path = path;
    output.Kind = PngFormat();
    output.Png.Threads = 2;
    output.RowChange = TRowChange{&none, {window}};
    TLoadOptions load;
    load.Threads = 2;
    std::vector<TPipelineResult> results;
    try {
        TMemoryStream in(data, size);
        TPictureSource source(in, "input");
        results = RunPicturePipeline(source, load, {output});
    } catch (const Exception& e) {
        const std::string text = FixedText(e.what());
        // Either text of a file without a picture: the plain way sees the empty picture itself.
        return text.rfind("no picture in the file", 0) == 0 ? "empty" : "error " + text;
    }
    if (results[0].Error) {
        try {
            std::rethrow_exception(results[0].Error);
        } catch (const Exception& e) {
            return std::string("error ") + FixedText(e.what());
        }
    }
    if (!results[0].WhileRead) return "not as read";
    TMemoryStream out;
    out.LoadFromFile(path);
    return Written(out);
}

[[noreturn]] void Differ(const char* what, const std::string& a, const std::string& b)
{
    std::fprintf(stderr, "%s differ:\n  one thread: %.200s\n  other:      %.200s\n", what, a.c_str(), b.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool once = [] {
        fuzz::LimitPictures();
        SetSmallThresholdsForTesting(true);
        SetLeastPixelsRowByRowForTesting(1);
        return true;
    }();
    (void)once;
    const TPictureKind kind = KindOfFirstBytes(data, size);
    if (kind == nullptr) return 0;
    // The change comes from the input's size, so that the file itself stays a file.
    THueWindow window;
    window.Source = static_cast<int>(size * 7 % 361);
    window.Tolerance = static_cast<int>(size % 37);
    window.Target = static_cast<int>(size * 13 % 361);

    const std::string single = Plain(data, size, kind, window, 1);
    const std::string threaded = Plain(data, size, kind, window, 2);
    if (single != threaded) Differ("one and two threads", single, threaded);
    if (kind == PngFormat() && RecolourableAsRead(data, size)) {
        const std::string asRead = AsRead(data, size, window);
        if (asRead != "not as read" && asRead != single) Differ("plain and as read", single, asRead);
    }
    return 0;
}
