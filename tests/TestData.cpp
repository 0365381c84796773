#include "tests/TestData.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace tintabrel::test {

std::string DataPath(const std::string& relative)
{
#ifdef TINTABREL_TEST_DATA
    return std::string(TINTABREL_TEST_DATA) + "/" + relative;
#else
    return "tests/data/" + relative;
#endif
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<unsigned char> ReadFileBytes(const std::string& path)
{
    const std::string bytes = ReadFile(path);
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

void WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes)
{
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tintabrel-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

} // namespace tintabrel::test
