#include "base/Colors.h"

#include "base/Exceptions.h"

#include <atomic>

namespace tintabrel {

const TIdentMapEntry ColorNames[ColorNameCount] = {
    {0x00000000, "clBlack"},
    {0x00000080, "clMaroon"},
    {0x00008000, "clGreen"},
    {0x00008080, "clOlive"},
    {0x00800000, "clNavy"},
    {0x00800080, "clPurple"},
    {0x00808000, "clTeal"},
    {0x00808080, "clGray"},
    {0x00C0C0C0, "clSilver"},
    {0x000000FF, "clRed"},
    {0x0000FF00, "clLime"},
    {0x0000FFFF, "clYellow"},
    {0x00FF0000, "clBlue"},
    {0x00FF00FF, "clFuchsia"},
    {0x00FFFF00, "clAqua"},
    {0x00FFFFFF, "clWhite"},
    {0x00C0DCC0, "clMoneyGreen"},
    {0x00F0CAA6, "clSkyBlue"},
    {0x00F0FBFF, "clCream"},
    {0x00A4A0A0, "clMedGray"},
    {static_cast<int32_t>(0x8000000A), "clActiveBorder"},
    {static_cast<int32_t>(0x80000002), "clActiveCaption"},
    {static_cast<int32_t>(0x8000000C), "clAppWorkSpace"},
    {static_cast<int32_t>(0x80000001), "clBackground"},
    {static_cast<int32_t>(0x8000000F), "clBtnFace"},
    {static_cast<int32_t>(0x80000014), "clBtnHighlight"},
    {static_cast<int32_t>(0x80000010), "clBtnShadow"},
    {static_cast<int32_t>(0x80000012), "clBtnText"},
    {static_cast<int32_t>(0x80000009), "clCaptionText"},
    {0x20000000, "clDefault"},
    {static_cast<int32_t>(0x8000001B), "clGradientActiveCaption"},
    {static_cast<int32_t>(0x8000001C), "clGradientInactiveCaption"},
    {static_cast<int32_t>(0x80000011), "clGrayText"},
    {static_cast<int32_t>(0x8000000D), "clHighlight"},
    {static_cast<int32_t>(0x8000000E), "clHighlightText"},
    {static_cast<int32_t>(0x8000000B), "clInactiveBorder"},
    {static_cast<int32_t>(0x80000003), "clInactiveCaption"},
    {static_cast<int32_t>(0x80000013), "clInactiveCaptionText"},
    {static_cast<int32_t>(0x80000018), "clInfoBk"},
    {static_cast<int32_t>(0x80000017), "clInfoText"},
    {static_cast<int32_t>(0x80000004), "clMenu"},
    {static_cast<int32_t>(0x80000007), "clMenuText"},
    {0x1FFFFFFF, "clNone"},
    {static_cast<int32_t>(0x80000000), "clScrollBar"},
    {static_cast<int32_t>(0x80000015), "cl3DDkShadow"},
    {static_cast<int32_t>(0x80000016), "cl3DLight"},
    {static_cast<int32_t>(0x80000005), "clWindow"},
    {static_cast<int32_t>(0x80000006), "clWindowFrame"},
    {static_cast<int32_t>(0x80000008), "clWindowText"},
};

namespace {

// Classic desktop defaults, indexed as the desktop numbers its interface colours.
constexpr TColor kClassicSysColors[31] = {
    MakeColor(200, 200, 200), // 0 scroll bar
    MakeColor(0, 0, 0),       // 1 background
    MakeColor(153, 180, 209), // 2 active caption
    MakeColor(191, 205, 219), // 3 inactive caption
    MakeColor(240, 240, 240), // 4 menu
    MakeColor(255, 255, 255), // 5 window
    MakeColor(100, 100, 100), // 6 window frame
    MakeColor(0, 0, 0),       // 7 menu text
    MakeColor(0, 0, 0),       // 8 window text
    MakeColor(0, 0, 0),       // 9 caption text
    MakeColor(180, 180, 180), // 10 active border
    MakeColor(244, 247, 252), // 11 inactive border
    MakeColor(171, 171, 171), // 12 application workspace
    MakeColor(0, 120, 215),   // 13 highlight
    MakeColor(255, 255, 255), // 14 highlight text
    MakeColor(240, 240, 240), // 15 button face
    MakeColor(160, 160, 160), // 16 button shadow
    MakeColor(109, 109, 109), // 17 grey text
    MakeColor(0, 0, 0),       // 18 button text
    MakeColor(0, 0, 0),       // 19 inactive caption text
    MakeColor(255, 255, 255), // 20 button highlight
    MakeColor(105, 105, 105), // 21 3-D dark shadow
    MakeColor(227, 227, 227), // 22 3-D light
    MakeColor(0, 0, 0),       // 23 info text
    MakeColor(255, 255, 225), // 24 info background
    MakeColor(0, 0, 0),       // 25 (unused)
    MakeColor(0, 102, 204),   // 26 hot light
    MakeColor(185, 209, 234), // 27 gradient active caption
    MakeColor(215, 228, 242), // 28 gradient inactive caption
    MakeColor(240, 240, 240), // 29 menu highlight
    MakeColor(240, 240, 240), // 30 menu bar
};

std::atomic<TSysColorProvider> g_provider{nullptr};

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

[[noreturn]] void NotAnInteger(std::string_view text)
{
    throw EConvertError(msg::NotInteger(std::string(text)));
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

} // namespace

void SetSysColorProvider(TSysColorProvider provider) { g_provider.store(provider); }

TColor DefaultSysColor(int index)
{
    if (index < 0 || index >= 31) return clBlack;
    return kClassicSysColors[index];
}

TColor GetSysColor(int index)
{
    TSysColorProvider provider = g_provider.load();
    return provider ? provider(index) : DefaultSysColor(index);
}

TColor ResolveColor(TColor color)
{
    if (color < 0) return GetSysColor(color & 0xFF);
    return color;
}

bool ColorToName(TColor value, std::string& name)
{
    for (const TIdentMapEntry& e : ColorNames) {
        if (e.Value == value) {
            name = e.Name;
            return true;
        }
    }
    return false;
}

bool NameToColor(std::string_view name, TColor& value)
{
    for (const TIdentMapEntry& e : ColorNames) {
        std::string_view n(e.Name);
        if (n.size() != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < n.size() && same; ++i) same = UpperAscii(n[i]) == UpperAscii(name[i]);
        if (same) {
            value = e.Value;
            return true;
        }
    }
    return false;
}

std::string ColorToText(TColor color)
{
    std::string name;
    if (ColorToName(color, name)) return name;
    static const char digits[] = "0123456789ABCDEF";
    std::string text(9, '$');
    uint32_t v = static_cast<uint32_t>(color);
    for (int i = 8; i >= 1; --i) {
        text[i] = digits[v & 0xF];
        v >>= 4;
    }
    return text;
}

TColor TextToColor(std::string_view text)
{
    TColor value;
    if (NameToColor(text, value)) return value;
    return ParseInteger(text);
}

int32_t ParseInteger(std::string_view text)
{
    size_t i = 0;
    const size_t n = text.size();
    if (n == 0) NotAnInteger(text);
    while (i < n && text[i] == ' ') ++i;

    bool negative = false;
    bool hex = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    } else if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }

    if (i >= n) NotAnInteger(text);
    if (hex) {
        uint32_t value = 0;
        for (; i < n; ++i) {
            int d = HexDigit(text[i]);
            if (d < 0 || value > 0x0FFFFFFFu) NotAnInteger(text);
            value = value * 16 + static_cast<uint32_t>(d);
        }
        return static_cast<int32_t>(value);
    }
    uint32_t value = 0;
    for (; i < n; ++i) {
        char c = text[i];
        if (c < '0' || c > '9' || value > 214748364u) NotAnInteger(text);
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (negative) {
        if (value > 2147483648u) NotAnInteger(text);
        return static_cast<int32_t>(0u - value);
    }
    if (value > 2147483647u) NotAnInteger(text);
    return static_cast<int32_t>(value);
}

} // namespace tintabrel
