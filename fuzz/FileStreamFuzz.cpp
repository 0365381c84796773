// The path users take: the bytes as a real file and as a pipe, read through the file stream
// classes. A file loads through its stream in place (the readers' buffered path, not the memory
// one); a pipe, which cannot seek, is read whole first and must give the same outcome; readers
// handed the pipe itself fail with the read error instead of looping; the string list reads it too.
#include "fuzz/FuzzCommon.h"
#include "app/PictureFiles.h"
#include "app/PictureFormats.h"
#include "base/Exceptions.h"
#include "base/StringList.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using namespace tintabrel;

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// A pipe holding the bytes with its writing end closed; -1 when they do not fit its buffer.
int FilledPipe(const uint8_t* data, size_t size)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
    ::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(std::max<size_t>(size, 4096)));
    const bool fits = static_cast<size_t>(::fcntl(ends[1], F_GETPIPE_SZ)) >= size;
    if (fits && size > 0 && ::write(ends[1], data, size) != static_cast<ssize_t>(size)) std::abort();
    ::close(ends[1]);
    if (fits) return ends[0];
    ::close(ends[0]);
    return -1;
}

// The outcome of a load: the picture's size and pixels, or the failure's message.
std::string Outcome(const std::function<void(TPictureData&)>& load)
{
    try {
        TPictureData data;
        load(data);
        std::string pixels = std::to_string(data.Image.Width()) + "x" + std::to_string(data.Image.Height());
        if (data.Image.Width() > 0 && data.Image.Height() > 0) {
            TBitmap rgb;
            rgb.Assign(data.Image);
            rgb.SetPixelFormat(TPixelFormat::pf24bit);
            for (int32_t y = 0; y < rgb.Height(); ++y)
                pixels.append(reinterpret_cast<const char*>(rgb.ConstScanLine(y)), static_cast<size_t>(rgb.Width()) * 3);
        }
        return pixels;
    } catch (const Exception& e) {
        return std::string("error: ") + e.what();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::LimitPictures();
    const TPictureKind kind = size > 0 && data[0] == 0x89 ? PngFormat() : BmpFormat();

    const int file = ::memfd_create("fuzz", MFD_CLOEXEC);
    if (file < 0) std::abort();
    if (size > 0 && ::write(file, data, size) != static_cast<ssize_t>(size)) std::abort();
    const std::string fromFile = Outcome([&](TPictureData& d) { LoadPicture(FdPath(file), kind, d); });
    ::close(file);

    const int pipe = FilledPipe(data, size);
    if (pipe < 0) return 0;
    const std::string fromPipe = Outcome([&](TPictureData& d) { LoadPicture(FdPath(pipe), kind, d); });
    ::close(pipe);
    if (fromPipe != fromFile) std::abort();

    // Handed a stream that cannot seek, a reader that needs the size refuses it; one that reads
    // it whole (an animation's) gives what the file gives. The list reads it whole.
    const int raw = FilledPipe(data, size);
    {
        TFileStream stream(raw, "pipe");
        bool refused = false;
        const std::string fromStream = Outcome([&](TPictureData& d) {
            try {
                LoadPicture(stream, kind, d);
            } catch (const EReadError&) {
                refused = true;
            }
        });
        if (!refused && fromStream != fromFile) std::abort();
    }
    const int listPipe = FilledPipe(data, size);
    TStringList fromListPipe, fromBytes;
    fromListPipe.LoadFromFile(FdPath(listPipe));
    ::close(listPipe);
    TMemoryStream bytes(data, size);
    fromBytes.LoadFromStream(bytes);
    if (fromListPipe.Count() != fromBytes.Count()) std::abort();
    return 0;
}
