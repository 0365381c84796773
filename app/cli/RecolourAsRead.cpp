#include "app/cli/RecolourAsRead.h"

#include <exception>
#include <thread>
#include <vector>

#include "base/TaskPool.h"
#include "app/cli/RecipeRun.h"
#include "base/RowGate.h"
#include "base/ScopeGuard.h"
#include "png/VRQPNGReadStream.h"

namespace tintabrel::cli {

namespace {

constexpr int64_t LeastPixels = int64_t{1} << 20;

} // namespace

bool CanRecolourAsRead(TInput& input, const TChain& chain, const TPNGSaveOptions& png, unsigned threads)
{
    if (threads < 2 || png.Optimize || png.Interlace) return false;
    for (const TChange& change : chain)
        if (change.Pick) return false;
    return input.Peek([](TStream& stream) {
        TVRQPNGReadStream reader;
        reader.StopAtImageData = true;
        try {
            reader.ReadFromStream(nullptr, stream, 0);
        } catch (const std::exception&) {
            return false;
        }
        return reader.ColorKind == 2 && reader.Interlace == 0 && reader.TransparentColor == -1 && !reader.SampleAlpha &&
               int64_t{reader.Width} * reader.Height >= LeastPixels;
    });
}

void RecolourAsRead(TInput& input, const std::string& output, bool overwrite, const TChain& chain,
                    const TProtectedColors& protectedColors, const TPNGSaveOptions& png, unsigned threads)
{
    std::vector<THueRowReplacer> changes;
    for (const TChange& change : chain) changes.emplace_back(protectedColors, change.Window);

    TRowGate gate;
    std::unique_ptr<TSafeFileWriter> out;
    // The encoder's own bitmaps, sharing the decoder's pixels: the decoder's bitmaps go when the
    // load returns, while the encoder may still be compressing.
    TBitmap image, alpha;
    bool withAlpha = false;
    TThreadGroup encoder;
    std::exception_ptr encodeError;
    const TScopeGuard stop([&] {
        gate.End(false);
        encoder.Join();
    });

    TBitmap::TRows rows, alphaRows;
    int32_t width = 0;
    int32_t recoloured = 0;
    TLoadOptions options;
    options.Threads = threads;
    options.OnImageStart = [&](TBitmap& decoded, TBitmap* decodedAlpha) {
        if (decoded.PixelFormat() != TPixelFormat::pf24bit || decoded.Height() <= 0) return;
        try {
            out = std::make_unique<TSafeFileWriter>(output);
        } catch (const std::exception&) {
            return; // left to the plain save, which says why in its own words
        }
        // Row addresses first: taken after the pixels are shared, they would copy them away.
        rows = decoded.Rows();
        width = decoded.Width();
        withAlpha = decodedAlpha && !decodedAlpha->Empty();
        if (withAlpha) alphaRows = decodedAlpha->Rows();
        image.Assign(decoded);
        if (withAlpha) alpha.Assign(*decodedAlpha);
        const bool started = encoder.Start([&] {
            try {
                WritePngAsRowsArrive(out->Stream(), image, withAlpha ? &alpha : nullptr, png, gate);
            } catch (...) {
                encodeError = std::current_exception();
            }
        });
        if (!started) out.reset(); // no thread for the encoder: the plain way
    };
    options.OnRowsStored = [&](int32_t stored) {
        if (encoder.Size() == 0) return;
        for (; recoloured < stored; ++recoloured)
            for (THueRowReplacer& change : changes)
                change.Row(rows.At(recoloured), width, withAlpha ? alphaRows.At(recoloured) : nullptr);
        gate.Open(stored);
    };

    TPictureData data;
    input.Load(TPictureKind::Png, data, nullptr, options);
    if (encoder.Size() == 0) {
        // The decoder gave something else than expected: the plain way.
        out.reset();
        ApplyChain(data, chain, protectedColors, false, nullptr, threads);
        SavePicture(output, TPictureKind::Png, data, png, overwrite);
        return;
    }
    gate.End(true);
    encoder.Join();
    if (encodeError) std::rethrow_exception(encodeError);
    out->Commit(overwrite);
}

} // namespace tintabrel::cli
