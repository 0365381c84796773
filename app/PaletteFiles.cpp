#include "app/PaletteFiles.h"

#include "app/PictureFormats.h"
#include "app/PictureSource.h"
#include "app/SafeFile.h"
#include "image/Graphics.h"

#include <cstdio>
#include <string_view>

namespace tintabrel {

namespace {

// No text palette comes near this; a larger input (an endless pipe, a wrong file) is refused
// before it is held.
constexpr int64_t MaxPaletteTextBytes = int64_t{64} << 20;

std::string Lower(std::string text)
{
    for (char& c : text) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    return text;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

// A line as a message quotes it: at most 40 bytes, control characters as '?'.
std::string Quoted(std::string_view line)
{
    std::string text;
    for (size_t i = 0; i < line.size() && i < 40; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        text += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    if (line.size() > 40) text += "...";
    return "\"" + text + "\"";
}

// A decimal number of digits alone; none for anything else (a sign, a fraction, an empty text).
std::optional<int64_t> Decimal(std::string_view text)
{
    if (text.empty() || text.size() > 12) return std::nullopt;
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The text's lines, numbered from 1, without their line ends (LF or CR LF) and without a UTF-8
// byte-order mark before the first.
class TLines {
public:
    explicit TLines(const std::string& text) : text_(text)
    {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    }
    bool Next(std::string_view& line)
    {
        if (pos_ >= text_.size()) return false;
        const size_t end = text_.find('\n', pos_);
        const size_t stop = end == std::string::npos ? text_.size() : end;
        line = std::string_view(text_).substr(pos_, stop - pos_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos_ = end == std::string::npos ? text_.size() : end + 1;
        ++number_;
        return true;
    }
    int64_t Number() const { return number_; }

private:
    const std::string& text_;
    size_t pos_ = 0;
    int64_t number_ = 0;
};

class TPaletteReader {
public:
    explicit TPaletteReader(const std::string& name) : name_(name) {}

    [[noreturn]] void Fail(const std::string& what) const { throw EPaletteFile(name_ + ": " + what); }
    [[noreturn]] void FailAt(int64_t line, const std::string& what) const
    {
        throw EPaletteFile(name_ + ": line " + std::to_string(line) + ": " + what);
    }

    void Add(TColourPalette& palette, TColor colour, int64_t line) const
    {
        if (palette.Colours.size() >= MaxPaletteEntries)
            FailAt(line, "more than " + std::to_string(MaxPaletteEntries) + " colours");
        palette.Colours.push_back(colour);
    }

    // "R G B" and what follows them (trimmed) from a line's start, or the message of what is
    // wrong.
    bool Rgb(std::string_view text, TColor& colour, std::string_view& rest, std::string& problem) const
    {
        static const char* const channels[] = {"red", "green", "blue"};
        const std::string_view whole = text;
        int64_t values[3];
        for (int i = 0; i < 3; ++i) {
            text = Trim(text);
            size_t end = 0;
            while (end < text.size() && !IsSpace(text[end])) ++end;
            const std::string_view token = text.substr(0, end);
            if (token.empty()) {
                problem = "expected three values 0 to 255 (red, green, blue), found " + Quoted(whole);
                return false;
            }
            const std::optional<int64_t> value = Decimal(token);
            if (!value) {
                problem = std::string("the ") + channels[i] + " value " + Quoted(token) + " is not a whole number 0 to 255";
                return false;
            }
            if (*value > 255) {
                problem = std::string("the ") + channels[i] + " value " + std::to_string(*value) + " is above 255";
                return false;
            }
            values[i] = *value;
            text.remove_prefix(end);
        }
        // The name is separated from the blue value by white space.
        if (!text.empty() && !IsSpace(text.front())) {
            problem = "the blue value runs into " + Quoted(text);
            return false;
        }
        colour = MakeColor(static_cast<uint8_t>(values[0]), static_cast<uint8_t>(values[1]), static_cast<uint8_t>(values[2]));
        rest = Trim(text);
        return true;
    }

    std::string ReadText(TStream& stream) const
    {
        std::string text;
        char buffer[65536];
        for (;;) {
            const int64_t n = stream.Read(buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
            if (static_cast<int64_t>(text.size()) > MaxPaletteTextBytes)
                Fail("more than " + std::to_string(MaxPaletteTextBytes) + " bytes, more than any palette file needs");
        }
        return text;
    }

    TColourPalette Gpl(const std::string& text) const
    {
        TColourPalette palette;
        TLines lines(text);
        std::string_view line;
        if (!lines.Next(line) || Trim(line) != "GIMP Palette")
            FailAt(1, "a GIMP palette starts with \"GIMP Palette\", found " + Quoted(line));
        while (lines.Next(line)) {
            const std::string_view t = Trim(line);
            if (t.empty() || t.front() == '#') continue;
            if (t.substr(0, 5) == "Name:") {
                palette.Name = std::string(Trim(t.substr(5)));
                continue;
            }
            if (t.substr(0, 8) == "Columns:") {
                const std::optional<int64_t> columns = Decimal(Trim(t.substr(8)));
                if (!columns || *columns > 256)
                    FailAt(lines.Number(), "Columns: takes a number 0 to 256, found " + Quoted(Trim(t.substr(8))));
                palette.Columns = static_cast<int32_t>(*columns);
                continue;
            }
            TColor colour;
            std::string_view name;
            std::string problem;
            if (!Rgb(t, colour, name, problem))
                FailAt(lines.Number(), problem + " (a colour line is \"R G B\" with an optional name)");
            Add(palette, colour, lines.Number());
            palette.Names.emplace_back(name);
        }
        return palette;
    }

    TColourPalette Pal(const std::string& text) const
    {
        TColourPalette palette;
        TLines lines(text);
        std::string_view line;
        const char* const header = "the file ends before its header (JASC-PAL, 0100, the number of colours)";
        if (!lines.Next(line)) Fail(header);
        if (Trim(line) != "JASC-PAL") FailAt(1, "a JASC palette starts with \"JASC-PAL\", found " + Quoted(line));
        if (!lines.Next(line)) Fail(header);
        if (Trim(line) != "0100") FailAt(2, "expected the version \"0100\", found " + Quoted(line));
        if (!lines.Next(line)) Fail(header);
        const std::optional<int64_t> count = Decimal(Trim(line));
        if (!count) FailAt(3, "expected the number of colours, found " + Quoted(line));
        if (static_cast<uint64_t>(*count) > MaxPaletteEntries)
            FailAt(3, "the number of colours " + std::to_string(*count) + " is above " + std::to_string(MaxPaletteEntries));
        while (lines.Next(line)) {
            const std::string_view t = Trim(line);
            if (t.empty()) continue;
            if (static_cast<int64_t>(palette.Colours.size()) == *count)
                FailAt(lines.Number(), "a colour beyond the " + std::to_string(*count) + " that line 3 counts: " + Quoted(t));
            TColor colour;
            std::string_view rest;
            std::string problem;
            if (!Rgb(t, colour, rest, problem)) FailAt(lines.Number(), problem + " (a colour line is \"R G B\")");
            if (!rest.empty()) FailAt(lines.Number(), "more than three values (a colour line is \"R G B\"): " + Quoted(t));
            Add(palette, colour, lines.Number());
        }
        if (static_cast<int64_t>(palette.Colours.size()) != *count)
            Fail("line 3 counts " + std::to_string(*count) + " colours, but the file holds " +
                 std::to_string(palette.Colours.size()));
        return palette;
    }

    TColourPalette Hex(const std::string& text) const
    {
        TColourPalette palette;
        TLines lines(text);
        std::string_view line;
        while (lines.Next(line)) {
            std::string_view t = Trim(line);
            if (t.empty()) continue;
            const std::string_view digits = t.front() == '#' ? t.substr(1) : t;
            uint32_t value = 0;
            bool ok = digits.size() == 6;
            for (size_t i = 0; ok && i < digits.size(); ++i) {
                const char c = digits[i];
                const int digit = c >= '0' && c <= '9' ? c - '0'
                                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                         : -1;
                ok = digit >= 0;
                value = value * 16 + static_cast<uint32_t>(digit);
            }
            if (!ok)
                FailAt(lines.Number(), "expected a colour as RRGGBB (six hexadecimal digits, # optional), found " + Quoted(t));
            Add(palette, MakeColor(static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)),
                lines.Number());
        }
        return palette;
    }

    TColourPalette Act(TStream& stream) const
    {
        uint8_t bytes[773];
        int64_t size = 0;
        for (int64_t n; size < static_cast<int64_t>(sizeof bytes) &&
                        (n = stream.Read(bytes + size, static_cast<int64_t>(sizeof bytes) - size)) > 0;)
            size += n;
        if (size != 768 && size != 772)
            Fail("an .act file is 768 bytes (256 colours), or 772 with a colour count and a transparent index; this one is " +
                 (size > 772 ? std::string("longer") : std::to_string(size) + " bytes"));
        TColourPalette palette;
        int32_t count = 256;
        if (size == 772) {
            count = bytes[768] << 8 | bytes[769];
            const int32_t transparent = bytes[770] << 8 | bytes[771];
            if (count == 0 || count > 256)
                Fail("its colour count (bytes 769 and 770) is " + std::to_string(count) + ", not 1 to 256");
            if (transparent != 0xFFFF) {
                if (transparent >= count)
                    Fail("its transparent index " + std::to_string(transparent) + " is beyond its " +
                         std::to_string(count) + " colours (65535 says none)");
                palette.TransparentIndex = transparent;
            }
        }
        for (int32_t i = 0; i < count; ++i) palette.Colours.push_back(MakeColor(bytes[3 * i], bytes[3 * i + 1], bytes[3 * i + 2]));
        return palette;
    }

    // A strip from a stream of any kind: held whole first, as a picture input (a pipe cannot seek).
    TColourPalette Png(TStream& stream) const
    {
        TMemoryStream memory;
        try {
            ReadWholeInput(stream, memory);
        } catch (const Exception& e) {
            Fail(Reason(e));
        }
        TPictureSource source(memory, name_);
        return Png(source);
    }

    TColourPalette Png(TPictureSource& source) const
    {
        // What the header declares is refused before the rest is read: a wrong file or an endless
        // pipe is never held whole.
        int64_t declared = 0;
        try {
            source.RequireKind(PngFormat());
            const TPictureHeader& header = source.Header();
            if (header.Width > 0 && header.Height > 0) declared = header.Width * header.Height;
        } catch (const Exception& e) {
            Fail(Reason(e));
        }
        if (static_cast<uint64_t>(declared) > MaxPaletteEntries) Fail(TooManyPixels(declared));
        TPictureData data;
        try {
            source.Check({});
            source.ReadRest();
            source.Load(data, {});
        } catch (const Exception& e) {
            Fail(Reason(e));
        }
        const int64_t pixels = int64_t{data.Image.Width()} * data.Image.Height();
        if (static_cast<uint64_t>(pixels) > MaxPaletteEntries) Fail(TooManyPixels(pixels));
        TBitmap full;
        full.Assign(data.Image);
        full.SetPixelFormat(TPixelFormat::pf24bit);
        TColourPalette palette;
        palette.Colours.reserve(static_cast<size_t>(pixels));
        const int32_t width = full.Width(), height = full.Height();
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* row = full.ConstScanLine(y);
            for (int32_t x = 0; x < width; ++x)
                palette.Colours.push_back(MakeColor(row[3 * x + 2], row[3 * x + 1], row[3 * x]));
        }
        return palette;
    }

private:
    static std::string Reason(const Exception& e)
    {
        return e.Detail().empty() ? e.Message() : e.Detail() + " (" + e.Message() + ")";
    }
    static std::string TooManyPixels(int64_t pixels)
    {
        return std::to_string(pixels) + " pixels, more than the " + std::to_string(MaxPaletteEntries) +
               " colours a palette may have";
    }

    const std::string& name_;
};

// A name on one line: line ends become spaces.
std::string OneLine(const std::string& text)
{
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}

// What the format cannot hold, as the message of the refusal; empty when it holds the palette.
std::string Misfit(TPaletteFormat format, const TColourPalette& palette)
{
    if (format == TPaletteFormat::Act && palette.Colours.size() > 256)
        return "an .act file holds at most 256 colours; this palette has " + std::to_string(palette.Colours.size());
    if (format == TPaletteFormat::Act && palette.Colours.empty())
        return "an .act file cannot hold an empty palette";
    if (format == TPaletteFormat::Png && palette.Colours.empty())
        return "a PNG strip cannot hold an empty palette";
    if (format == TPaletteFormat::Png && palette.Colours.size() > static_cast<size_t>(MaxPicturePixels()))
        return "a PNG strip of " + std::to_string(palette.Colours.size()) + " pixels would pass the picture size limit";
    return {};
}

void WriteText(TStream& stream, const std::string& text)
{
    stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

std::string Rgb(TColor c, const char* format)
{
    char text[32];
    std::snprintf(text, sizeof text, format, RedOf(c), GreenOf(c), BlueOf(c));
    return text;
}

} // namespace

const std::vector<TPaletteFormatInfo>& PaletteFormats()
{
    static const std::vector<TPaletteFormatInfo> formats = {
        {TPaletteFormat::Gpl, ".gpl", "GIMP palette"},
        {TPaletteFormat::Pal, ".pal", "JASC palette"},
        {TPaletteFormat::Hex, ".hex", "hex colour list"},
        {TPaletteFormat::Act, ".act", "Photoshop colour table"},
        {TPaletteFormat::Png, ".png", "PNG strip"},
    };
    return formats;
}

std::optional<TPaletteFormat> PaletteFormatOfPath(const std::string& path)
{
    const std::string extension = Lower(ExtractExtension(path));
    for (const TPaletteFormatInfo& info : PaletteFormats())
        if (extension == info.Extension) return info.Format;
    return std::nullopt;
}

TPaletteFormat RequirePaletteFormat(const std::string& path)
{
    if (const std::optional<TPaletteFormat> format = PaletteFormatOfPath(path)) return *format;
    std::string known;
    for (const TPaletteFormatInfo& info : PaletteFormats()) known += (known.empty() ? "" : ", ") + std::string(info.Extension);
    throw EPaletteFile(path + ": not a palette file name: the extension says the format, one of " + known);
}

TColourPalette ReadPalette(TStream& stream, TPaletteFormat format, const std::string& name)
{
    const TPaletteReader reader(name);
    switch (format) {
    case TPaletteFormat::Gpl: return reader.Gpl(reader.ReadText(stream));
    case TPaletteFormat::Pal: return reader.Pal(reader.ReadText(stream));
    case TPaletteFormat::Hex: return reader.Hex(reader.ReadText(stream));
    case TPaletteFormat::Act: return reader.Act(stream);
    case TPaletteFormat::Png: return reader.Png(stream);
    }
    reader.Fail("unknown palette format");
}

TColourPalette ReadPaletteFile(const std::string& path)
{
    const TPaletteFormat format = RequirePaletteFormat(path);
    if (format == TPaletteFormat::Png) {
        // Through the picture source: a pipe is read only as far as the strip it declares needs.
        TPictureSource source(path);
        return TPaletteReader(path).Png(source);
    }
    TFileStream file(path, TFileMode::fmOpenRead);
    return ReadPalette(file, format, path);
}

void WritePalette(TStream& stream, TPaletteFormat format, const TColourPalette& palette, const TPNGSaveOptions& png)
{
    if (const std::string misfit = Misfit(format, palette); !misfit.empty()) throw EPaletteFile(misfit);
    const std::vector<TColor>& colours = palette.Colours;
    std::string text;
    switch (format) {
    case TPaletteFormat::Gpl: {
        text = "GIMP Palette\n";
        if (!palette.Name.empty()) text += "Name: " + OneLine(palette.Name) + "\n";
        if (palette.Columns > 0) text += "Columns: " + std::to_string(palette.Columns) + "\n";
        text += "#\n";
        for (size_t i = 0; i < colours.size(); ++i) {
            text += Rgb(colours[i], "%3d %3d %3d");
            if (i < palette.Names.size() && !palette.Names[i].empty()) {
                text += '\t';
                text += OneLine(palette.Names[i]);
            }
            text += '\n';
        }
        break;
    }
    case TPaletteFormat::Pal:
        text = "JASC-PAL\r\n0100\r\n" + std::to_string(colours.size()) + "\r\n";
        for (const TColor c : colours) text += Rgb(c, "%d %d %d\r\n");
        break;
    case TPaletteFormat::Hex:
        for (const TColor c : colours) text += Rgb(c, "%02x%02x%02x\n");
        break;
    case TPaletteFormat::Act: {
        // The 4 bytes after the table say how many entries count, and which is transparent.
        std::string bytes(772, '\0');
        for (size_t i = 0; i < colours.size(); ++i) {
            bytes[3 * i] = static_cast<char>(RedOf(colours[i]));
            bytes[3 * i + 1] = static_cast<char>(GreenOf(colours[i]));
            bytes[3 * i + 2] = static_cast<char>(BlueOf(colours[i]));
        }
        const uint32_t transparent = palette.TransparentIndex && *palette.TransparentIndex >= 0 &&
                                             static_cast<size_t>(*palette.TransparentIndex) < colours.size()
                                         ? static_cast<uint32_t>(*palette.TransparentIndex)
                                         : 0xFFFFu;
        bytes[768] = static_cast<char>(colours.size() >> 8);
        bytes[769] = static_cast<char>(colours.size() & 0xFF);
        bytes[770] = static_cast<char>(transparent >> 8);
        bytes[771] = static_cast<char>(transparent & 0xFF);
        WriteText(stream, bytes);
        return;
    }
    case TPaletteFormat::Png: {
        TPictureData strip;
        strip.Image.SetPixelFormat(TPixelFormat::pf24bit);
        strip.Image.SetSize(static_cast<int32_t>(colours.size()), 1);
        uint8_t* row = strip.Image.ScanLine(0);
        for (size_t i = 0; i < colours.size(); ++i) {
            row[3 * i] = BlueOf(colours[i]);
            row[3 * i + 1] = GreenOf(colours[i]);
            row[3 * i + 2] = RedOf(colours[i]);
        }
        SavePicture(stream, PngFormat(), strip, png);
        return;
    }
    }
    WriteText(stream, text);
}

int64_t WritePaletteFile(const std::string& path, const TColourPalette& palette, const TPNGSaveOptions& png,
                         bool replaceExisting)
{
    const TPaletteFormat format = RequirePaletteFormat(path);
    if (const std::string misfit = Misfit(format, palette); !misfit.empty()) throw EPaletteFile(path + ": " + misfit);
    TSafeFileWriter writer(path, replaceExisting);
    WritePalette(writer.Stream(), format, palette, png);
    const int64_t bytes = writer.Stream().Position();
    writer.Commit(replaceExisting);
    return bytes;
}

} // namespace tintabrel
