// PNG decoding: this program's reader beside libpng on the same files, a 2048x2048 RGBA sprite
// sheet and a 4096x4096 RGB photo-like picture, each written by libpng with filter None and with
// its default adaptive filtering; and the floor under both, a bare inflate of the file's image
// data into one buffer (no checksum, as the reader skips it too).

#include <benchmark/benchmark.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <zlib.h>

#include "bench/BenchPictures.h"
#include "base/Streams.h"
#include "png/VRQPNGReadStream.h"

namespace {

using namespace tintabrel;
using namespace tintabrel::bench;


// The four encoded files, made once.
const Bytes& File(int which)
{
    static const std::vector<Bytes> files = [] {
        std::vector<Bytes> f;
        const TRawImage sprites = SpriteSheet();
        f.push_back(EncodeWithLibpng(sprites, true));
        f.push_back(EncodeWithLibpng(sprites, false));
        const TRawImage photo = PhotoLike();
        f.push_back(EncodeWithLibpng(photo, true));
        f.push_back(EncodeWithLibpng(photo, false));
        return f;
    }();
    return files[static_cast<size_t>(which)];
}

const char* const Names[] = {"sprites2048_rgba_none", "sprites2048_rgba_adaptive", "photo4096_rgb_none", "photo4096_rgb_adaptive"};

struct TMemorySource {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t length)
{
    auto* source = static_cast<TMemorySource*>(png_get_io_ptr(png));
    if (source->pos + length > source->size) png_error(png, "end of data");
    std::memcpy(out, source->data + source->pos, length);
    source->pos += length;
}

void BM_PngRead_Tintabrel(benchmark::State& state)
{
    const int which = static_cast<int>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    state.SetLabel(std::string(Names[which]) + (threads > 1 ? " inflating ahead" : ""));
    TMemoryStream stream(File(which));
    for (auto _ : state) {
        stream.SetPosition(0);
        TBitmap bitmap;
        TBitmap alpha;
        TVRQPNGReadStream reader;
        reader.Threads = threads;
        reader.AlphaTarget = &alpha;
        reader.ReadFromStream(&bitmap, stream, 0);
        benchmark::DoNotOptimize(bitmap.ConstScanLine(0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(File(which).size()));
}

void BM_PngRead_Libpng(benchmark::State& state)
{
    const int which = static_cast<int>(state.range(0));
    state.SetLabel(Names[which]);
    const Bytes& file = File(which);
    for (auto _ : state) {
        TMemorySource source{file.data(), file.size(), 0};
        png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        Bytes pixels;
        std::vector<png_bytep> rows;
        if (setjmp(png_jmpbuf(png))) {
            png_destroy_read_struct(&png, &info, nullptr);
            state.SkipWithError("libpng failed");
            break;
        }
        png_set_read_fn(png, &source, ReadFromMemory);
        png_read_info(png, info);
        png_read_update_info(png, info);
        const size_t rowBytes = png_get_rowbytes(png, info);
        const png_uint_32 height = png_get_image_height(png, info);
        pixels.resize(rowBytes * height);
        rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y) rows[y] = pixels.data() + y * rowBytes;
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        png_destroy_read_struct(&png, &info, nullptr);
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}

// The IDAT data of a file, joined.
Bytes ImageData(const Bytes& file)
{
    Bytes data;
    for (size_t pos = 8; pos + 12 <= file.size();) {
        const size_t length = (size_t{file[pos]} << 24) | (size_t{file[pos + 1]} << 16) | (size_t{file[pos + 2]} << 8) | file[pos + 3];
        if (std::memcmp(&file[pos + 4], "IDAT", 4) == 0)
            data.insert(data.end(), file.begin() + static_cast<long>(pos + 8), file.begin() + static_cast<long>(pos + 8 + length));
        pos += 12 + length;
    }
    return data;
}

void BM_PngRead_BareInflate(benchmark::State& state)
{
    const int which = static_cast<int>(state.range(0));
    state.SetLabel(Names[which]);
    const Bytes data = ImageData(File(which));
    // Filtered rows of 8-bit RGB or RGBA (from the header): the pixels and a filter byte per row.
    const Bytes& file = File(which);
    const size_t width = (size_t{file[16]} << 24) | (size_t{file[17]} << 16) | (size_t{file[18]} << 8) | file[19];
    const size_t height = (size_t{file[20]} << 24) | (size_t{file[21]} << 16) | (size_t{file[22]} << 8) | file[23];
    Bytes out((width * (file[25] == 6 ? 4 : 3) + 1) * height);
    for (auto _ : state) {
        z_stream z{};
        inflateInit(&z);
        inflateValidate(&z, 0);
        z.next_in = const_cast<Bytef*>(data.data());
        z.avail_in = static_cast<uInt>(data.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const int r = inflate(&z, Z_FINISH);
        inflateEnd(&z);
        if (r != Z_STREAM_END) {
            state.SkipWithError("inflate failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(File(which).size()));
}

// Wall time throughout: the reader may use a second thread (second argument: threads allowed).
BENCHMARK(BM_PngRead_BareInflate)->DenseRange(0, 3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngRead_Tintabrel)->ArgsProduct({{0, 1, 2, 3}, {1, 2}})->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngRead_Libpng)->DenseRange(0, 3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
