#include "app/window/LoadGuard.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <sys/resource.h>

#include "base/Exceptions.h"
#include "base/Streams.h"
#include "image/Graphics.h"
#include "png/VRQPNGReadStream.h"

namespace tintabrel {

namespace {

int64_t ReadNumber(const char* path)
{
    std::ifstream in(path);
    int64_t value = -1;
    if (!(in >> value)) return -1;
    return value;
}

int64_t MemAvailable()
{
    std::ifstream in("/proc/meminfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        int64_t kib = 0;
        if (fields >> key >> kib && key == "MemAvailable:") return kib * 1024;
    }
    return int64_t{1} << 32;
}

struct TDeclared {
    int64_t Width = 0;
    int64_t Height = 0;
    int Bits = 0;
    bool RunLength = false;
    int64_t PixelBytesPresent = 0; // BMP: bytes from the pixel data's start to the end of the file
};

// The picture a file declares; all zero when a reader would refuse the header anyway.
TDeclared Declared(const std::string& path, TPictureKind kind)
{
    TDeclared d;
    TFileStream file(path, TFileMode::fmOpenRead);
    if (!file.CanSeek()) return d;
    const int64_t size = file.Size();
    try {
        if (kind == TPictureKind::Png) {
            TVRQPNGReadStream reader;
            reader.StopAfterHeader = true;
            reader.ReadFromStream(nullptr, file, 0);
            d.Width = std::max<int64_t>(0, reader.Width);
            d.Height = std::max<int64_t>(0, reader.Height);
        } else if (kind == TPictureKind::Bmp) {
            uint8_t start[18] = {};
            if (file.Read(start, 18) != 18) return d;
            file.SetPosition(0);
            const TBitmapInfoHeader info = ReadBmpHeader(file);
            d.Width = info.biWidth;
            d.Height = info.biHeight < 0 ? -int64_t{info.biHeight} : info.biHeight;
            d.Bits = info.biBitCount;
            d.RunLength = info.biCompression == BI_RLE8 || info.biCompression == BI_RLE4;
            // The pixel data follows the headers, the masks and the colour table, as the reader
            // takes it (the file header's offset is not used).
            const int64_t headerSize = int64_t{start[14]} | int64_t{start[15]} << 8 | int64_t{start[16]} << 16 |
                                       int64_t{start[17]} << 24;
            const int64_t masks = info.biCompression == BI_BITFIELDS && headerSize == 40 ? 12 : 0;
            int64_t entries = info.biClrUsed;
            if (entries == 0 && d.Bits <= 8) entries = int64_t{1} << d.Bits;
            const int64_t table = entries * (headerSize == 12 ? 3 : 4);
            d.PixelBytesPresent = std::max<int64_t>(0, size - 14 - headerSize - masks - table);
        }
    } catch (const Exception&) {
        return {}; // the reader refuses it with its own message
    }
    return d;
}

std::string SizeText(const TDeclared& d) { return std::to_string(d.Width) + "x" + std::to_string(d.Height); }

} // namespace

int64_t WindowMemoryBudget()
{
    int64_t available = MemAvailable();
    const int64_t limit = ReadNumber("/sys/fs/cgroup/memory.max");
    const int64_t current = ReadNumber("/sys/fs/cgroup/memory.current");
    if (limit > 0 && current >= 0) available = std::min(available, std::max<int64_t>(limit - current, 0));
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit r{};
        if (::getrlimit(resource, &r) == 0 && r.rlim_cur != RLIM_INFINITY)
            available = std::min(available, static_cast<int64_t>(r.rlim_cur));
    }
    return available / 4 * 3;
}

int64_t CheckBeforeLoading(const std::string& path, TPictureKind kind, int64_t budget)
{
    const TDeclared d = Declared(path, kind);
    if (d.Width <= 0 || d.Height <= 0) return 0;
    const int64_t pixels = d.Width * d.Height;
    if (kind == TPictureKind::Bmp) {
        // Uncompressed rows: the bytes the file holds against the rows' bytes. Run-length data:
        // one two-byte run stands for at most 255 pixels.
        const int64_t stride = ((d.Width * d.Bits + 31) / 32) * 4;
        const bool hollow = d.RunLength ? d.PixelBytesPresent / 2 * 255 < pixels / 2
                                        : d.PixelBytesPresent < stride * d.Height / 2;
        if (hollow)
            throw Exception("ファイル " + path + " は画像の大きさ(" + SizeText(d) +
                            ")に対して画素のデータが足りないため読み込めません");
    }
    if (pixels > budget / WindowBytesPerPixel)
        throw Exception("画像が大きすぎます(" + SizeText(d) + ")。このコンピュータのメモリでは読み込めません");
    return pixels;
}

} // namespace tintabrel
