// SPDX-License-Identifier: MIT
// The path-list splitter, the JSON escaper and locale-independent numbers.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "text.h"

namespace {

struct split_case {
    const char *name;
    std::string list;
    int expect;                        // count or a negative code
    std::vector<std::string> paths;    // the paths stored, when expect >= 0
};
VM_PRINTS_AS_NAME(split_case)

std::string lines(int count, const std::string &prefix = "f")
{
    std::string s;
    for (int i = 1; i <= count; i++)
        s += prefix + std::to_string(i) + "\n";
    return s;
}

class SplitPaths : public testing::TestWithParam<split_case> {};

TEST_P(SplitPaths, StoresTrimmedNonEmptyLines)
{
    const split_case &c = GetParam();
    vm_path_list paths;
    int n = split_paths(c.list.c_str(), paths);
    ASSERT_EQ(n, c.expect);
    ASSERT_EQ(paths.size(), (size_t)std::max(n, 0));
    for (size_t i = 0; i < c.paths.size(); i++)
        EXPECT_EQ(paths[i], c.paths[i]) << "path " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitPaths,
    testing::Values(
        split_case{"Empty", "", 0, {}},
        split_case{"OnlyBlanks", "\n\r\n  \r \n\n", 0, {}},
        split_case{"TrimsCrAndSpaces", "a\r\n\r\nb \n", 2, {"a", "b"}},
        split_case{"LastLineWithoutFeed", "a\nb", 2, {"a", "b"}},
        split_case{"KeepsLeadingSpacesAndTabs", " a\t\n\tb\t \n", 2, {" a\t", "\tb\t"}},
        split_case{"Windows", "C:\\v\\a.mp4\r\nC:\\v\\b.mp4\r\n", 2, {"C:\\v\\a.mp4", "C:\\v\\b.mp4"}},
        split_case{"LineOf1199", std::string(1199, 'x') + "\nb", 2, {std::string(1199, 'x'), "b"}},
        split_case{"LineOf1200", "a\n" + std::string(1200, 'x') + "\nb", VM_SPLIT_TOO_LONG, {}},
        split_case{"LongLineTrimmedToFit", std::string(1199, 'x') + "   \r\n", 1, {std::string(1199, 'x')}},
        split_case{"ThirtyThreeAndBlanks", lines(33) + "\n \r\n", 33, {"f1", "f2"}},
        // A long line anywhere refuses the list, never drops a path.
        split_case{"LongLineAfterMany", lines(5000) + std::string(1200, 'x'), VM_SPLIT_TOO_LONG, {}}),
    [](const testing::TestParamInfo<split_case> &i) { return std::string(i.param.name); });

// A list has no length limit: 100 000 lines, every path in its place.
TEST(SplitPathsFull, EveryPathOfALongListInItsPlace)
{
    vm_path_list paths;
    ASSERT_EQ(split_paths(lines(100000).c_str(), paths), 100000);
    for (int i = 0; i < 100000; i++)
        ASSERT_EQ(paths[i], "f" + std::to_string(i + 1));
}

struct escape_case {
    const char *name;
    std::string src;
    size_t cap;
    std::string expect;
};
VM_PRINTS_AS_NAME(escape_case)

class JsonEscape : public testing::TestWithParam<escape_case> {};

TEST_P(JsonEscape, Escapes)
{
    const escape_case &c = GetParam();
    std::vector<char> dst(c.cap + 8, '#');
    json_escape(c.src.c_str(), dst.data(), c.cap);
    std::string got(dst.data());
    EXPECT_EQ(got, c.expect);
    EXPECT_LT(got.size(), c.cap);
    // Every result stands as a JSON string.
    parse_answer(("\"" + got + "\"").c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonEscape,
    testing::Values(
        escape_case{"WindowsPath", "C:\\Users\\a b\\x.mp4", 256, "C:\\\\Users\\\\a b\\\\x.mp4"},
        escape_case{"Quotes", "say \"hi\"", 256, "say \\\"hi\\\""},
        escape_case{"EscapesControlBytes", "a\tb\nc\rd\x01\x1f" "e\x0b", 256,
                    "a\\tb\\nc\\rd\\u0001\\u001fe\\u000b"},
        escape_case{"CutsBeforeAnEscape", "abcd\x01", 9, "abcd"},
        escape_case{"KeepsHighBytesAndDel", "caf\xc3\xa9\x7f", 256, "caf\xc3\xa9\x7f"},
        escape_case{"CutsPlainAt254", std::string(300, 'a'), 256, std::string(254, 'a')},
        escape_case{"CutsQuotesInPairs", std::string(300, '"'), 256, [] {
                        std::string s;
                        for (int i = 0; i < 127; i++)
                            s += "\\\"";
                        return s;
                    }()},
        escape_case{"NeverSplitsAPair", "ab\"", 4, "ab"},
        // 252 ASCII bytes, then a 3-byte sequence that fits only in part:
        // the whole sequence goes, so the text stays valid UTF-8.
        escape_case{"BacksOffUtf8", std::string(252, 'a') + "\xe2\x82\xac" "z", 256, std::string(252, 'a')},
        escape_case{"KeepsWholeUtf8AtEdge", std::string(251, 'a') + "\xe2\x82\xac" "z", 256,
                    std::string(251, 'a') + "\xe2\x82\xac"},
        escape_case{"FourByteUtf8", "\xf0\x9f\x8e\xac\xf0\x9f\x8e\xac", 7, "\xf0\x9f\x8e\xac"},
        // Bytes that are not UTF-8 (a Latin-1 name, a cut or overlong
        // sequence, a surrogate) become U+FFFD, one for each byte.
        escape_case{"Latin1Byte", "caf\xe9.mp4", 256, "caf\xef\xbf\xbd.mp4"},
        escape_case{"StrayBytes", "\xff\xfe" "a\x80", 256, "\xef\xbf\xbd\xef\xbf\xbd" "a\xef\xbf\xbd"},
        escape_case{"CutSequence", "\xe2\x82" "z", 256, "\xef\xbf\xbd\xef\xbf\xbd" "z"},
        escape_case{"Overlong", "\xc0\xaf", 256, "\xef\xbf\xbd\xef\xbf\xbd"},
        escape_case{"Surrogate", "\xed\xa0\x80", 256, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        escape_case{"ReplacementNotCut", std::string(252, 'a') + "\xff", 256, std::string(252, 'a')}),
    [](const testing::TestParamInfo<escape_case> &i) { return std::string(i.param.name); });

TEST(FormatText, CutsBeforeAnIncompleteUtf8Sequence)
{
    char buf[8];
    EXPECT_EQ(format_text(buf, sizeof buf, "ab%s", "cd\xc3\xa9\xc3\xa9"), 6u);
    EXPECT_STREQ(buf, "abcd\xc3\xa9");
    EXPECT_EQ(format_text(buf, sizeof buf, "%d", 42), 2u);
    EXPECT_STREQ(buf, "42");
}

TEST(FormatFixed, RoundsLikePrintf)
{
    char out[32];
    format_fixed(50.0 / 3.0, 3, out);
    EXPECT_STREQ(out, "16.667");
    format_fixed(0.0, 3, out);
    EXPECT_STREQ(out, "0.000");
    format_fixed(100.0, 1, out);
    EXPECT_STREQ(out, "100.0");
    format_fixed(2.25, 1, out);  // exactly halfway in binary: to even, as printf
    EXPECT_STREQ(out, "2.2");
}

}  // namespace
