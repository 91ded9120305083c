// SPDX-License-Identifier: MIT
// videomerge_probe on real media and on paths that are not media.
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support.h"

extern "C" {
#include <libavformat/avformat.h>
}
#include "videomerge.h"

namespace {

struct exact_case {
    const char *name;
    const char *path;  // null for a null pointer; "@x" for fixture x
    const char *expect;
};
VM_PRINTS_AS_NAME(exact_case)

class ProbeFailure : public testing::TestWithParam<exact_case> {};

TEST_P(ProbeFailure, AnswersWithTheExactText)
{
    const exact_case &c = GetParam();
    std::string path;
    if (c.path && c.path[0] == '@')
        path = fixture(c.path + 1);
    else if (c.path)
        path = c.path;
    const char *got = videomerge_probe(c.path ? path.c_str() : nullptr);
    EXPECT_STREQ(got, c.expect);
    parse_answer(got);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProbeFailure,
    testing::Values(
        exact_case{"Null", nullptr, "{\"ok\":false,\"error\":\"empty path\"}"},
        exact_case{"Empty", "", "{\"ok\":false,\"error\":\"empty path\"}"},
        // FFmpeg's text only, never the path.
        exact_case{"Missing", "@no such file.mp4",
                   "{\"ok\":false,\"error\":\"open: No such file or directory\"}"},
        exact_case{"NotMedia", "@.stamp",
                   "{\"ok\":false,\"error\":\"open: Invalid data found when processing input\"}"}),
    [](const testing::TestParamInfo<exact_case> &i) { return std::string(i.param.name); });

// A format FFmpeg could read but the library does not take. A minimal
// FFmpeg has no demuxer for it at all, and finds no media there.
TEST(Probe, RefusesFormatsNotOnTheList)
{
    std::string expect = av_find_input_format("nut") ? "open: format not supported"
                                                     : "open: Invalid data found when processing input";
    EXPECT_EQ(std::string(videomerge_probe(fixture("av.nut").c_str())),
              "{\"ok\":false,\"error\":\"" + expect + "\"}");
}

TEST(Probe, DescribesVideoAndAudio)
{
    const char *text = videomerge_probe(fixture("av.mp4").c_str());
    EXPECT_EQ(std::string(text),
                 "{\"ok\":true,\"duration_ms\":2000,\"format\":\"mov,mp4,m4a,3gp,3g2,mj2\",\"streams\":["
                 "{\"index\":0,\"type\":\"video\",\"codec\":\"h264\",\"width\":160,\"height\":120,"
                 "\"fps\":25.000,\"channels\":0,\"sample_rate\":0,\"bitrate\":"
                 + std::to_string(parse_answer(text)["streams"][0]["bitrate"].get<long long>()) +
                 "},{\"index\":1,\"type\":\"audio\",\"codec\":\"aac\",\"width\":0,\"height\":0,"
                 "\"fps\":0.000,\"channels\":2,\"sample_rate\":48000,\"bitrate\":"
                 + std::to_string(parse_answer(text)["streams"][1]["bitrate"].get<long long>()) +
                 "}]}");
}

struct field_case {
    const char *name;
    const char *file;
    const char *fragment;  // must appear in the answer as it stands
};
VM_PRINTS_AS_NAME(field_case)

class ProbeField : public testing::TestWithParam<field_case> {};

TEST_P(ProbeField, PrintsIt)
{
    const field_case &c = GetParam();
    std::string text = videomerge_probe(fixture(c.file).c_str());
    parse_answer(text.c_str());
    EXPECT_NE(text.find(c.fragment), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProbeField,
    testing::Values(
        field_case{"FractionalFps", "fps50_3.mp4", "\"fps\":16.667"},
        field_case{"AudioOnlyHasNoPicture", "audio.m4a", "\"type\":\"audio\",\"codec\":\"aac\",\"width\":0,\"height\":0"},
        field_case{"UnknownDurationIsZero", "raw.h264", "{\"ok\":true,\"duration_ms\":0,\"format\":\"h264\""},
        field_case{"Matroska", "av.mkv", "\"format\":\"matroska,webm\""},
        field_case{"MpegTs", "av.ts", "\"format\":\"mpegts\""},
        field_case{"TenStreams", "s10.mka", "{\"index\":9,\"type\":\"audio\",\"codec\":\"pcm_s16le\""}),
    [](const testing::TestParamInfo<field_case> &i) { return std::string(i.param.name); });

TEST(Probe, NextCallReusesTheBuffer)
{
    const char *first = videomerge_probe(fixture("av.mp4").c_str());
    std::string copy = first;
    const char *second = videomerge_probe(fixture("audio.m4a").c_str());
    EXPECT_EQ(first, second);
    EXPECT_NE(copy, std::string(first));
    EXPECT_EQ(parse_answer(first)["streams"].size(), 1u);
}

}  // namespace
