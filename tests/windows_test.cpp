// SPDX-License-Identifier: MIT
// Paths as hosts on Windows pass them: a drive letter and backslashes, in
// every answer that carries a path.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

namespace {

std::string backslashed(std::string p)
{
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

TEST(WindowsPaths, DriveLetterAndBackslashes)
{
    std::string a = backslashed(fixture("av.mp4")), b = backslashed(fixture("av_short.mp4"));
    ASSERT_EQ(a.substr(1, 2), ":\\");
    EXPECT_EQ(parse_answer(videomerge_probe(a.c_str()))["ok"], true);
    std::string list = a + "\r\n" + b + "\r\n";
    EXPECT_EQ(parse_answer(videomerge_check(list.c_str()))["compatible"], true);

    std::string out = backslashed(scratch("windows_paths.mkv"));
    int id = videomerge_start(list.c_str(), out.c_str());
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
    std::string text = videomerge_result(id);
    EXPECT_NE(text.find(":\\\\"), std::string::npos) << text;  // backslashes escaped
    auto r = parse_answer(text.c_str());
    EXPECT_EQ(r["out_path"], out);
    EXPECT_GT(r["out_size_bytes"].get<long long>(), 0);
    videomerge_free(id);
    EXPECT_TRUE(file_exists(out));
}

// Windows takes ".." off a path before it looks at the directories, so a
// missing directory before it does not matter there, unlike elsewhere: the
// output is written where the system puts it.
TEST(WindowsPaths, DotDotAfterAMissingDirectory)
{
    std::string list = path_list({fixture("av.mp4"), fixture("av_short.mp4")});
    std::string out = backslashed(scratch("missing_dir")) + "\\..\\windows_dotdot.mkv";
    int id = videomerge_start(list.c_str(), out.c_str());
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE) << videomerge_result(id);
    videomerge_free(id);
    EXPECT_TRUE(file_exists(scratch("windows_dotdot.mkv")));
}

TEST(WindowsPaths, ErrorTextsCarryThePathEscaped)
{
    std::string missing = backslashed(scratch("gone \"quoted\".mp4"));
    std::string list = backslashed(fixture("av.mp4")) + "\n" + missing + "\n";
    auto c = parse_answer(videomerge_check(list.c_str()));
    EXPECT_EQ(c["ok"], false);
    EXPECT_EQ(c["error"].get<std::string>().rfind("open " + missing + ": ", 0), 0u) << c.dump();
}

}  // namespace
