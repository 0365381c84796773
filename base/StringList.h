// An ordered list of text lines, as the protected colour list is kept.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tintabrel {

class TStream;

class TStringList {
public:
    TStringList() = default;

    int Count() const { return static_cast<int>(lines_.size()); }
    const std::string& Strings(int index) const { return lines_.at(static_cast<size_t>(index)); }
    const std::string& operator[](int index) const { return Strings(index); }
    const std::vector<std::string>& Lines() const { return lines_; }
    auto begin() const { return lines_.begin(); }
    auto end() const { return lines_.end(); }

    void Add(std::string line) { lines_.push_back(std::move(line)); }
    void Clear() { lines_.clear(); }

    // Replaces the lines by those of text. A line ends at CR, LF or CR LF; LF CR is two breaks.
    // A NUL byte ends the text. Bytes are kept as they are: no trimming, no code-page conversion.
    // A last line without a break counts; a break at the very end adds no empty line.
    void SetText(std::string_view text);

    // Reads the rest of the stream and splits it as SetText does; EReadError on a short read.
    void LoadFromStream(TStream& stream);
    // EFOpenError msg::FileOpen(path) when the file cannot be opened; the lines are
    // replaced only once the whole file has been read.
    void LoadFromFile(const std::string& path);

    // Index of the first line equal to text with ASCII letter case ignored, or -1.
    int IndexOf(std::string_view text) const;

    // Equality of two texts with the letters a-z and A-Z folded and nothing else.
    static bool SameTextAscii(std::string_view a, std::string_view b);

private:
    std::vector<std::string> lines_;
};

} // namespace tintabrel
