// Helpers shared by the tests: fixture paths and temporary folders.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tintabrel::test {

// Path of a file under tests/data.
std::string DataPath(const std::string& relative);
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

} // namespace tintabrel::test
