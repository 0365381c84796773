#include "base/StringList.h"

#include "base/Streams.h"

#include <algorithm>

namespace tintabrel {

namespace {

inline char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

} // namespace

void TStringList::SetText(std::string_view text)
{
    std::vector<std::string> lines;
    const size_t end = std::min(text.find('\0'), text.size());
    size_t start = 0;
    size_t i = 0;
    while (i < end) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.emplace_back(text.substr(start, i - start));
        ++i;
        // CR LF is one break; LF CR is not (the CR starts the next break).
        if (c == '\r' && i < end && text[i] == '\n') ++i;
        start = i;
    }
    if (start < end) lines.emplace_back(text.substr(start, end - start));
    lines_ = std::move(lines);
}

void TStringList::LoadFromStream(TStream& stream)
{
    // An exact read, so that a file that fails part-way is reported and not taken as shorter.
    const int64_t remaining = std::max<int64_t>(stream.Size() - stream.Position(), 0);
    std::string bytes(static_cast<size_t>(remaining), '\0');
    stream.ReadBuffer(bytes.data(), remaining);
    SetText(bytes);
}

void TStringList::LoadFromFile(const std::string& path)
{
    TFileStream stream(path, TFileMode::fmOpenRead);
    if (stream.CanSeek()) {
        LoadFromStream(stream);
        return;
    }
    // A pipe or FIFO tells its size only at its end: read it to memory first, within a bound no
    // list of lines comes near.
    constexpr int64_t Limit = int64_t{64} << 20;
    TMemoryStream bytes;
    if (!bytes.LoadFromStream(stream, Limit)) throw EReadError("more than 64 MiB to read from " + path);
    LoadFromStream(bytes);
}

bool TStringList::SameTextAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

int TStringList::IndexOf(std::string_view text) const
{
    for (size_t i = 0; i < lines_.size(); ++i)
        if (SameTextAscii(lines_[i], text)) return static_cast<int>(i);
    return -1;
}

} // namespace tintabrel
