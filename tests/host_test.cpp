// SPDX-License-Identifier: MIT
// The library as a host meets it: its version, ids it never handed out,
// and a comma-decimal locale.
#include <climits>
#include <clocale>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

extern "C" {
#include <libavformat/version.h>
}

namespace {

TEST(Host, VersionNamesTheLibavformatBuiltAgainst)
{
    std::string want = "1.0.0 (libavformat " + std::to_string(LIBAVFORMAT_VERSION_MAJOR) + "." +
                       std::to_string(LIBAVFORMAT_VERSION_MINOR) + "." +
                       std::to_string(LIBAVFORMAT_VERSION_MICRO) + ")";
    const char *v = videomerge_version();
    EXPECT_EQ(std::string(v), want);
    EXPECT_EQ(videomerge_version(), v);
}

class BadId : public testing::TestWithParam<int> {};

TEST_P(BadId, IsRejectedByEveryFunction)
{
    int id = GetParam();
    EXPECT_EQ(videomerge_status(id), -1);
    EXPECT_STREQ(videomerge_progress(id), "{\"error\":\"bad id\"}");
    EXPECT_STREQ(videomerge_result(id), "{\"error\":\"bad id\"}");
    videomerge_cancel(id);
    videomerge_free(id);
    EXPECT_EQ(videomerge_status(id), -1);
}

// 0 and 3 are in range but no job was started in this process.
INSTANTIATE_TEST_SUITE_P(Ids, BadId, testing::Values(-1, 4, INT_MIN, INT_MAX, 0, 3));

// A host running under a locale whose decimal separator is a comma still
// gets valid JSON with a dot.
TEST(Host, NumbersUseADotUnderACommaLocale)
{
    const char *names[] = {"de_DE.UTF-8", "de-DE", "German_Germany.1252"};
    bool set = false;
    for (const char *name : names)
        set = set || std::setlocale(LC_ALL, name) != nullptr;
    ASSERT_TRUE(set) << "no German locale here (Debian: locales-all)";
    ASSERT_EQ(std::string(std::localeconv()->decimal_point), ",") << "the locale did not take effect";
    std::string text = videomerge_probe(fixture("fps50_3.mp4").c_str());
    std::setlocale(LC_ALL, "C");
    EXPECT_NE(text.find("\"fps\":16.667"), std::string::npos) << text;
    parse_answer(text.c_str());
}

}  // namespace
