// SPDX-License-Identifier: MIT
// videomerge_check: the verdicts, the reasons and the errors.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

namespace {

// A list of fixture names; "!name" is a path in the fixture directory that
// does not exist.
std::string fixtures(const std::vector<std::string> &names)
{
    std::vector<std::string> paths;
    for (const auto &n : names)
        paths.push_back(fixture(n[0] == '!' ? n.substr(1) : n));
    return path_list(paths);
}

struct check_case {
    const char *name;
    std::vector<std::string> files;
    std::string expect;  // the whole answer
};
VM_PRINTS_AS_NAME(check_case)

class Check : public testing::TestWithParam<check_case> {};

// The answer as it has always been, with only keys added at its end: the
// difference list to a refusal, the estimated size to a verdict of
// compatible. An error answer gets nothing added.
TEST_P(Check, AnswersWithTheExactText)
{
    const check_case &c = GetParam();
    std::string got = videomerge_check(fixtures(c.files).c_str());
    parse_answer(got.c_str());
    std::string head = c.expect.substr(0, c.expect.size() - 1);
    ASSERT_EQ(got.substr(0, head.size()), head);
    std::string tail = got.substr(head.size());
    if (c.expect.find("\"compatible\":false") != std::string::npos)
        EXPECT_EQ(tail.rfind(",\"mismatches\":[{", 0), 0u) << tail;
    else if (c.expect.find("\"compatible\":true") != std::string::npos)
        EXPECT_EQ(tail.rfind(",\"estimated_size_bytes\":", 0), 0u) << tail;
    else
        EXPECT_EQ(tail, "}");
}

std::string incompatible(const std::string &reason)
{
    return "{\"ok\":true,\"compatible\":false,\"reason\":\"" + reason + "\"}";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Check,
    testing::Values(
        check_case{"SameFileTwice", {"av.mp4", "av.mp4"},
                   "{\"ok\":true,\"compatible\":true,\"files\":2,\"total_duration_ms\":4000}"},
        check_case{"AcrossMp4MkvMov", {"av.mp4", "av.mkv", "av.mov", "av_short.mkv"},
                   "{\"ok\":true,\"compatible\":true,\"files\":4,\"total_duration_ms\":7242}"},
        check_case{"Resolution", {"av.mp4", "big.mp4"},
                   incompatible("resolution mismatch: file 2 (320x240 vs 160x120)")},
        check_case{"Codec", {"av.mp4", "av.mp4", "mpeg4.mp4"}, incompatible("codec mismatch: file 3 stream 0")},
        check_case{"Channels", {"av.mp4", "mono.mp4"}, incompatible("audio format mismatch: file 2")},
        check_case{"StreamCount", {"av.mp4", "video.mp4"},
                   incompatible("stream count mismatch: file 2 has 1 streams (expected 2)")},
        // One content, two packagings: a copy could not be decoded after
        // the join.
        check_case{"H264StartCodes", {"av.mp4", "av.ts"}, incompatible("stream format mismatch: file 2 stream 0")},
        check_case{"H264LengthPrefixed", {"av.ts", "av.mkv"},
                   incompatible("stream format mismatch: file 2 stream 0")},
        check_case{"AacAdts", {"audio.m4a", "audio.aac"}, incompatible("stream format mismatch: file 2 stream 0")},
        check_case{"SameStartCodes", {"av.ts", "av.ts"},
                   "{\"ok\":true,\"compatible\":true,\"files\":2,\"total_duration_ms\":4042}"},
        // Every stream counts, not only the first few.
        check_case{"TenAndNineStreams", {"s10.mka", "s9.mka"},
                   incompatible("stream count mismatch: file 2 has 9 streams (expected 10)")},
        check_case{"TenAndThreeStreams", {"s10.mka", "s3.mka"},
                   incompatible("stream count mismatch: file 2 has 3 streams (expected 10)")},
        // One codec, another decoder setup: the later file would be decoded
        // with the first one's (16 against 24 bits per sample here).
        check_case{"SampleFormatsDiffer", {"flac16.mka", "flac32.mka"},
                   incompatible("codec setup mismatch: file 2 stream 0")},
        check_case{"VorbisQualities", {"vorbis_q1.webm", "vorbis_q8.webm"},
                   incompatible("codec setup mismatch: file 2 stream 0")},
        check_case{"AacLcAndMain", {"audio.m4a", "aac_main.m4a"},
                   incompatible("codec setup mismatch: file 2 stream 0")},
        check_case{"AdtsLcAndMain", {"audio.aac", "aac_main.aac"},
                   incompatible("codec setup mismatch: file 2 stream 0")},
        check_case{"Mpeg4QuarterPel", {"mpeg4.mkv", "mpeg4_qpel.mkv"},
                   incompatible("codec setup mismatch: file 2 stream 0")},
        check_case{"AssStyles", {"subs_a.mkv", "subs_big.mkv"},
                   incompatible("codec setup mismatch: file 2 stream 0")},
        check_case{"OpusChannelMapping", {"opus.webm", "opus_family1.webm"},
                   incompatible("codec setup mismatch: file 2 stream 0")},
        // The same setup with values of its own file (sample count, MD5,
        // title) joins.
        check_case{"SameSetupFlac", {"flac16.mka", "flac16_other.mka"},
                   "{\"ok\":true,\"compatible\":true,\"files\":2,\"total_duration_ms\":800}"},
        check_case{"SameSetupVorbis", {"vorbis_q1.webm", "vorbis_q1_other.webm"},
                   "{\"ok\":true,\"compatible\":true,\"files\":2,\"total_duration_ms\":1606}"},
        check_case{"SameSetupOpus", {"opus.webm", "opus_other.webm"},
                   "{\"ok\":true,\"compatible\":true,\"files\":2,\"total_duration_ms\":1416}"},
        check_case{"SameSetupAss", {"subs_a.mkv", "subs_a_retitled.mkv"},
                   "{\"ok\":true,\"compatible\":true,\"files\":2,\"total_duration_ms\":1600}"},
        // The first difference decides; a file that cannot be read after
        // it ends the list of differences, not the verdict.
        check_case{"DifferenceBeforeMissing", {"av.mp4", "big.mp4", "!gone.mp4"},
                   incompatible("resolution mismatch: file 2 (320x240 vs 160x120)")},
        // Inputs are read side by side, but the first problem in list
        // order decides, whichever thread meets it first.
        check_case{"MissingBeforeDifference", {"av.mp4", "!gone.mp4", "big.mp4"},
                   "{\"ok\":false,\"error\":\"open " + fixture("gone.mp4") +
                       ": No such file or directory\"}"},
        check_case{"DifferenceLateInALongList",
                   {"av.mp4", "av.mkv", "av.mov", "av.mp4", "av.mkv", "av.mov", "mono.mp4", "!gone.mp4", "big.mp4"},
                   incompatible("audio format mismatch: file 7")},
        check_case{"MissingThirdFile", {"av.mp4", "av.mp4", "!gone.mp4"},
                   "{\"ok\":false,\"error\":\"open " + fixture("gone.mp4") +
                       ": No such file or directory\"}"},
        check_case{"NotMedia", {"av.mp4", ".stamp"},
                   "{\"ok\":false,\"error\":\"open " + fixture(".stamp") +
                       ": Invalid data found when processing input\"}"},
        // A turned picture cannot join an upright one; two turned ones can.
        check_case{"Rotated", {"av.mp4", "rot90.mp4"}, incompatible("rotation mismatch: file 2 stream 0")},
        check_case{"BothRotated", {"rot90.mp4", "rot90.mp4"},
                   "{\"ok\":true,\"compatible\":true,\"files\":2,\"total_duration_ms\":4000}"},
        // The same two languages in the other order: the tracks are swapped,
        // and each output track would change language at the join.
        check_case{"SwappedLanguages", {"tagged.mkv", "tagged.mkv", "swapped.mkv"},
                   incompatible("stream order mismatch: file 3")},
        // Languages that merely differ, or are missing in one file, join.
        check_case{"OtherLanguages", {"tagged.mkv", "otherlang.mkv"},
                   "{\"ok\":true,\"compatible\":true,\"files\":2,\"total_duration_ms\":4042}"},
        check_case{"LanguagesInOneFile", {"two_audio.mp4", "swapped.mkv"},
                   "{\"ok\":true,\"compatible\":true,\"files\":2,\"total_duration_ms\":4021}"},
        check_case{"TooManyStreams", {"s65.mka", "s65.mka"},
                   "{\"ok\":false,\"error\":\"too many streams in " + fixture("s65.mka") + " (max 64)\"}"}),
    [](const testing::TestParamInfo<check_case> &i) { return std::string(i.param.name); });

std::string lines(int n, const std::string &path)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += path + "\n";
    return s;
}

struct list_case {
    const char *name;
    const char *list;  // null for a null pointer
    const char *expect;
};
VM_PRINTS_AS_NAME(list_case)

class CheckList : public testing::TestWithParam<list_case> {};

TEST_P(CheckList, RefusesBadLists)
{
    const list_case &c = GetParam();
    EXPECT_STREQ(videomerge_check(c.list), c.expect);
}

const std::string kLong = "a.mp4\n" + std::string(1200, 'x') + "\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckList,
    testing::Values(
        list_case{"Null", nullptr, "{\"ok\":false,\"error\":\"empty input\"}"},
        list_case{"Empty", "", "{\"ok\":false,\"error\":\"empty input\"}"},
        list_case{"OnePath", "a.mp4\n", "{\"ok\":false,\"error\":\"need at least 2 files (got 1)\"}"},
        list_case{"OnlyBlankLines", "\n \r\n\n", "{\"ok\":false,\"error\":\"need at least 2 files (got 0)\"}"},
        list_case{"OverLongLine", kLong.c_str(), "{\"ok\":false,\"error\":\"need at least 2 files (got 0)\"}"}),
    [](const testing::TestParamInfo<list_case> &i) { return std::string(i.param.name); });

// Every difference of the list as data, file by file, each kind of
// difference under its name; the reason stays the first one's text.
struct mismatches_case {
    const char *name;
    std::vector<std::string> files;
    const char *mismatches;  // JSON; a value "*" stands for any other than the expected
};
VM_PRINTS_AS_NAME(mismatches_case)

class Mismatches : public testing::TestWithParam<mismatches_case> {};

TEST_P(Mismatches, ListsEveryDifference)
{
    const mismatches_case &c = GetParam();
    auto got = parse_answer(videomerge_check(fixtures(c.files).c_str()));
    ASSERT_EQ(got["compatible"], false) << got.dump();
    auto want = nlohmann::json::parse(c.mismatches);
    ASSERT_EQ(got["mismatches"].size(), want.size()) << got.dump();
    for (size_t i = 0; i < want.size(); i++) {
        auto &w = want[i], &g = got["mismatches"][i];
        EXPECT_EQ(g["file"], w["file"]) << i;
        EXPECT_EQ(g["stream"], w["stream"]) << i;
        EXPECT_EQ(g["what"], w["what"]) << i;
        if (w["expected"] != "*") {
            EXPECT_EQ(g["expected"], w["expected"]) << i;
        }
        if (w["found"] == "*") {
            EXPECT_NE(g["found"], g["expected"]) << i;
        } else {
            EXPECT_EQ(g["found"], w["found"]) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mismatches,
    testing::Values(
        mismatches_case{"EveryKindInOneList",
                        {"av.mp4", "big.mp4", "mono.mp4", "rot90.mp4", "av.ts", "video.mp4", "audio_first.mp4",
                         "mpeg4.mp4", "av_44k.mp4", "av.mkv"},
                        R"([{"file":2,"stream":0,"what":"size","expected":"160x120","found":"320x240"},
                            {"file":3,"stream":1,"what":"channels","expected":"2","found":"1"},
                            {"file":4,"stream":0,"what":"rotation","expected":"0","found":"90"},
                            {"file":5,"stream":0,"what":"packaging","expected":"length_prefixed","found":"start_codes"},
                            {"file":5,"stream":1,"what":"packaging","expected":"aac_config","found":"aac_adts"},
                            {"file":6,"stream":null,"what":"stream_count","expected":"2","found":"1"},
                            {"file":7,"stream":0,"what":"kind","expected":"video","found":"audio"},
                            {"file":7,"stream":1,"what":"kind","expected":"audio","found":"video"},
                            {"file":8,"stream":0,"what":"codec","expected":"h264","found":"mpeg4"},
                            {"file":9,"stream":1,"what":"sample_rate","expected":"48000","found":"44100"}])"},
        mismatches_case{"CodecSetup", {"flac16.mka", "flac32.mka"},
                        R"([{"file":2,"stream":0,"what":"codec_setup","expected":"*","found":"*"}])"},
        mismatches_case{"AacObjectType", {"audio.m4a", "aac_main.m4a"},
                        R"([{"file":2,"stream":0,"what":"codec_setup","expected":"aac_object_type 2",
                             "found":"aac_object_type 1"}])"},
        mismatches_case{"StreamOrder", {"tagged.mkv", "tagged.mkv", "swapped.mkv"},
                        R"([{"file":3,"stream":null,"what":"stream_order","expected":"eng,fra","found":"fra,eng"}])"}),
    [](const testing::TestParamInfo<mismatches_case> &i) { return std::string(i.param.name); });

// A list has no length limit: a thousand inputs are all read and counted.
TEST(Check, AThousandFilesAreChecked)
{
    auto j = parse_answer(videomerge_check(lines(1000, fixture("tiny.mp4")).c_str()));
    EXPECT_EQ(j["compatible"], true) << j.dump();
    EXPECT_EQ(j["files"], 1000);
    auto one = parse_answer(videomerge_probe(fixture("tiny.mp4").c_str()));
    EXPECT_EQ(j["total_duration_ms"], 1000 * one["duration_ms"].get<long long>());
}

// A missing file with a 300-byte path: the 256-byte error text holds
// "open " and the first 250 bytes of the path, and nothing of FFmpeg's text.
TEST(Check, LongMissingPathIsCut)
{
    std::string dir = scratch("");
    std::string path = dir + std::string(300 - dir.size(), 'p');
    auto j = parse_answer(videomerge_check((path + "\n" + path).c_str()));
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["error"], "open " + path.substr(0, 250));
}

// Paths are not media names: quotes, backslashes, control bytes and UTF-8
// all come back as valid JSON. The UTF-8 path is long enough to be cut in
// the error text, which must not split a character.
TEST(Check, AwkwardPathsGiveValidJson)
{
    std::string euro = "\xe2\x82\xac";
    std::string utf8;
    for (int i = 0; i < 100; i++)
        utf8 += euro;
    for (std::string name : {std::string("q\"uote\\back\\slash.mp4"), std::string("ctl\x01\x1f.mp4"),
                             "p" + utf8 + ".mp4", "pp" + utf8 + ".mp4", "ppp" + utf8 + ".mp4"}) {
        std::string missing = scratch(name);
        auto j = parse_answer(videomerge_check((fixture("av.mp4") + "\n" + missing).c_str()));
        EXPECT_EQ(j["ok"], false) << name;
        std::string err = j["error"];
        EXPECT_EQ(err.rfind("open " + scratch(""), 0), 0u) << err;
    }
}

}  // namespace
