// Helpers shared by the tests: fixture paths, temporary folders, whole files, and bytes in
// memory read by libpng.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace tintabrel::test {

// Path of a file under tests/data.
std::string DataPath(const std::string& relative);
// The whole file; std::runtime_error when it cannot be read or written.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
std::vector<unsigned char> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes);

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Bytes in memory for libpng: png_set_read_fn(png, &source, TPngMemorySource::Read). Reading
// past the end is a libpng error. (Inline, so that tests without libpng need not link it.)
struct TPngMemorySource {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    size_t Pos = 0;

    static void Read(png_structp png, png_bytep out, png_size_t length)
    {
        auto* source = static_cast<TPngMemorySource*>(png_get_io_ptr(png));
        if (length > source->Size - source->Pos) png_error(png, "read past the end of the data");
        std::memcpy(out, source->Data + source->Pos, length);
        source->Pos += length;
    }
};

} // namespace tintabrel::test
