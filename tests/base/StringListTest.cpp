#include "base/StringList.h"

#include "tests/TestData.h"
#include "base/Exceptions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tintabrel {
namespace {

using Lines = std::vector<std::string>;

struct SplitCase {
    const char* name;
    std::string text;
    Lines lines;
};

const std::vector<SplitCase>& SplitCases()
{
    using namespace std::string_literals;
    static const std::vector<SplitCase> cases = {
        {"empty", "", {}},
        {"one line without break", "clRed", {"clRed"}},
        {"break at the end adds no line", "clRed\r\n", {"clRed"}},
        {"CR LF", "a\r\nb", {"a", "b"}},
        {"lone CR and lone LF", "a\rb\nc", {"a", "b", "c"}},
        {"LF CR is two breaks", "a\n\rb", {"a", "", "b"}},
        {"LF CR at the end", "a\n\r", {"a", ""}},
        {"CR at the end", "a\r", {"a"}},
        {"only a break", "\n", {""}},
        {"empty lines kept", "\r\n\r\nx\n\n", {"", "", "x", ""}},
        {"CR CR LF", "a\r\r\nb", {"a", "", "b"}},
        {"no trimming", " clRed \t\r\n\tx", {" clRed \t", "\tx"}},
        {"NUL ends the text", "ab\0cd\nef"s, {"ab"}},
        {"NUL right after a break", "ab\n\0cd"s, {"ab"}},
        {"bytes kept", "\x82\xa0\xff\r\n\x80", {"\x82\xa0\xff", "\x80"}},
        {"duplicates are entries", "clRed\nclRed", {"clRed", "clRed"}},
    };
    return cases;
}

TEST(StringListTest, SplitsTextIntoLines)
{
    for (const SplitCase& c : SplitCases()) {
        TStringList list;
        list.Add("old");
        list.SetText(c.text);
        EXPECT_EQ(list.Lines(), c.lines) << c.name;
    }
}

TEST(StringListTest, LoadFromFileSplitsTheSameWay)
{
    test::TempDir dir;
    for (const SplitCase& c : SplitCases()) {
        const std::string path = dir.File("ColorList.dat");
        test::WriteFileBytes(path, std::vector<unsigned char>(c.text.begin(), c.text.end()));
        TStringList list;
        list.LoadFromFile(path);
        EXPECT_EQ(list.Lines(), c.lines) << c.name;
    }
}

TEST(StringListTest, FileThatCannotBeOpenedLeavesTheListAlone)
{
    test::TempDir dir;
    const std::string missing = dir.File("ColorList.dat");
    const std::string folder = dir.Path().string();
    for (const std::string& path : {missing, folder}) {
        TStringList list;
        list.Add("clRed");
        try {
            list.LoadFromFile(path);
            ADD_FAILURE() << "no error for " << path;
        } catch (const EFOpenError& e) {
            EXPECT_EQ(std::string(e.what()), "ファイル " + path + " は開けません");
        }
        EXPECT_EQ(list.Lines(), Lines{"clRed"});
    }
}

TEST(StringListTest, IndexOfIgnoresAsciiLetterCaseOnly)
{
    TStringList list;
    list.SetText("clRed\n$00abcdef\nCLRED\n\n x\n\xe4");
    struct {
        const char* text;
        int index;
    } cases[] = {
        {"clRed", 0},     {"CLRED", 0}, {"clred", 0}, {"$00ABCDEF", 1}, {"", 3},     {" x", 4}, {" X", 4},
        {"x", -1},        {"clRe", -1}, {"clRed ", -1}, {"$00ABCDEF0", -1},
        {"\xc4", -1}, // letters beyond ASCII are not folded
        {"\xe4", 5},
    };
    for (const auto& c : cases) EXPECT_EQ(list.IndexOf(c.text), c.index) << c.text;
    EXPECT_EQ(TStringList().IndexOf(""), -1);
}

} // namespace
} // namespace tintabrel
