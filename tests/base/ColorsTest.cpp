#include "base/Colors.h"

#include "base/Exceptions.h"

#include <gtest/gtest.h>

namespace tintabrel {
namespace {

TEST(ColorToText, NamesFirstThenUpperCaseHex)
{
    const struct {
        TColor value;
        const char* text;
    } cases[] = {
        {0x000000FF, "clRed"},
        {static_cast<TColor>(0x8000000F), "clBtnFace"},
        {0, "clBlack"},
        {0x00ABCDEF, "$00ABCDEF"},
        {MakeColor(1, 2, 3), "$00030201"},
        {clNone, "clNone"},
        {-1, "$FFFFFFFF"},
        {0x00F0CAA6, "clSkyBlue"},
    };
    for (const auto& c : cases) EXPECT_EQ(ColorToText(c.value), c.text) << std::hex << c.value;
}

TEST(ColorToText, EveryPlainNameReadsBack)
{
    for (int row = 0; row < ColorNameCount; ++row) {
        const TIdentMapEntry& e = ColorNames[row];
        EXPECT_EQ(ColorToText(e.Value), e.Name);
        EXPECT_EQ(TextToColor(e.Name), e.Value);
    }
}

TEST(TextToColor, AcceptsNamesAnyCaseAndIntegerText)
{
    for (const char* text : {"clred", "CLRED", "$FF", "$000000ff", "0xff", "255", "  $FF", "xFF", "0XfF", "+255"})
        EXPECT_EQ(TextToColor(text), 0x000000FF) << text;
    EXPECT_EQ(TextToColor("clbtnface"), static_cast<TColor>(0x8000000F));
    EXPECT_EQ(TextToColor("$00030201"), MakeColor(1, 2, 3));
}

TEST(ParseInteger, Values)
{
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"$FFFFFFFF", -1},
        {"-1", -1},
        {"$000000000FF", 255},
        {"-2147483648", INT32_MIN},
        {"2147483647", INT32_MAX},
        {"0", 0},
        {"-0", 0},
        {"$7fffffff", INT32_MAX},
        {" 12", 12},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseInteger(c.text), c.value) << c.text;
}

TEST(ParseInteger, RejectsWithTheWholeTextInTheMessage)
{
    for (const char* text : {"", " ", "  ", "$FF ", "-$10", "0x", "$", "$100000000", "2147483648", "-2147483649", "1.5",
                             "cl Red", "\t1", "1 ", "+", "-", "12a", "$G", "0x-1", "99999999999"}) {
        try {
            ParseInteger(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + text + "' は整数ではありません");
        }
    }
    EXPECT_THROW(TextToColor("cl Red"), EConvertError);
}

TEST(ResolveColor, SystemColoursBecomePlainOthersStay)
{
    EXPECT_EQ(ResolveColor(clRed), clRed);
    EXPECT_EQ(ResolveColor(clNone), clNone);
    EXPECT_EQ(ResolveColor(clDefault), clDefault);
    EXPECT_EQ(ResolveColor(clBtnFace), MakeColor(240, 240, 240));
    SetSysColorProvider([](int index) { return index == 15 ? MakeColor(1, 2, 3) : clBlack; });
    EXPECT_EQ(ResolveColor(clBtnFace), MakeColor(1, 2, 3));
    SetSysColorProvider(nullptr);
    EXPECT_EQ(ResolveColor(clBtnFace), MakeColor(240, 240, 240));
}

TEST(ColorParts, PackAndUnpack)
{
    const TColor c = MakeColor(0x12, 0x34, 0x56);
    EXPECT_EQ(c, 0x00563412);
    EXPECT_EQ(RedOf(c), 0x12);
    EXPECT_EQ(GreenOf(c), 0x34);
    EXPECT_EQ(BlueOf(c), 0x56);
}

} // namespace
} // namespace tintabrel
