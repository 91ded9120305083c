// SPDX-License-Identifier: MIT
// Merges started with options, read back: ranges of inputs copied from a
// keyframe with their audio in step, a chapter per input, the first
// recording's time on the output, the timecode carried or left out, what a
// container cannot honour reported, and every bad option refused before
// anything is made.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace fs = std::filesystem;

namespace {

// Starts a merge with options, waits for it and gives its result (its
// text in *raw when asked).
nlohmann::json merge_with(const std::vector<std::string> &inputs, const std::string &out, const std::string &options,
                          std::string *raw = nullptr)
{
    int id = videomerge_start_with(path_list(inputs).c_str(), out.c_str(), options.c_str());
    EXPECT_GE(id, 0) << videomerge_check_with(path_list(inputs).c_str(), options.c_str());
    if (id < 0)
        return {};
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
    const char *text = videomerge_result(id);
    if (raw)
        *raw = text;
    nlohmann::json r = parse_answer(text);
    videomerge_free(id);
    return r;
}

struct chapter_read {
    double start_s, end_s;
    std::string title;
};

struct timecode_read {
    std::string video_tag;  // the video stream's timecode tag
    bool track = false;     // a timecode track (tmcd) is there
    std::string track_tag;
    double track_s = 0;     // its duration
};

struct file_read {
    bool ok = false;
    double duration_s = 0;
    std::vector<chapter_read> chapters;
    timecode_read timecode;
};

file_read read_file(const std::string &path)
{
    file_read r;
    AVFormatContext *ic = open_analysed(path);
    if (!ic)
        return r;
    r.duration_s = ic->duration == AV_NOPTS_VALUE ? 0 : ic->duration / 1e6;
    for (unsigned i = 0; i < ic->nb_chapters; i++) {
        const AVChapter *c = ic->chapters[i];
        r.chapters.push_back({c->start * av_q2d(c->time_base), c->end * av_q2d(c->time_base),
                              tag(c->metadata, "title")});
    }
    for (unsigned i = 0; i < ic->nb_streams; i++) {
        const AVStream *st = ic->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && r.timecode.video_tag.empty())
            r.timecode.video_tag = tag(st->metadata, "timecode");
        if (st->codecpar->codec_tag == MKTAG('t', 'm', 'c', 'd')) {
            r.timecode.track = true;
            r.timecode.track_tag = tag(st->metadata, "timecode");
            r.timecode.track_s = st->duration == AV_NOPTS_VALUE ? 0 : st->duration * av_q2d(st->time_base);
        }
    }
    avformat_close_input(&ic);
    r.ok = true;
    return r;
}

int64_t modified_s(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int64_t)st.st_mtime : -1;
}

// ---- Bad options: refused at start, nothing made, the check says why ----

struct bad_case {
    const char *name;
    const char *options;
    const char *error;  // the check's text, whole
};
VM_PRINTS_AS_NAME(bad_case)

class BadOption : public testing::TestWithParam<bad_case> {};

TEST_P(BadOption, IsRefusedWithItsReason)
{
    const bad_case &c = GetParam();
    // av.mp4 lasts 2 s, av_short.mp4 1.2 s.
    std::string list = path_list({fixture("av.mp4"), fixture("av_short.mp4")});
    std::string out = scratch(std::string("bad_option_") + c.name + ".mkv");
    fs::remove(out);
    EXPECT_EQ(videomerge_start_with(list.c_str(), out.c_str(), c.options), -1);
    EXPECT_FALSE(file_exists(out));
    for (const std::string &t : temporary_files_in(fs::path(out).parent_path().string()))
        EXPECT_EQ(t.find("bad_option_"), std::string::npos) << t;  // other tests' jobs share the directory
    auto answer = parse_answer(videomerge_check_with(list.c_str(), c.options));
    EXPECT_EQ(answer["ok"], false);
    std::string expected = c.error;
    size_t at = expected.find("AV_SHORT");  // the second path, as given
    if (at != std::string::npos)
        expected.replace(at, 8, fixture("av_short.mp4"));
    EXPECT_EQ(answer["error"], expected);
}

INSTANTIATE_TEST_SUITE_P(
    Options, BadOption,
    testing::Values(
        bad_case{"NotJson", "{\"chapters\":", "options are not valid JSON"},
        bad_case{"TrailingText", "{} x", "options are not valid JSON"},
        bad_case{"NotAnObject", "[1]", "options must be a JSON object"},
        bad_case{"UnknownKey", "{\"chapter\":\"inputs\"}", "unknown option \"chapter\""},
        bad_case{"KeyTwice", "{\"chapters\":\"none\",\"chapters\":\"keep\"}", "option \"chapters\" given twice"},
        bad_case{"ChaptersValue", "{\"chapters\":\"all\"}",
                 "option \"chapters\" must be \"keep\", \"inputs\" or \"none\""},
        bad_case{"ChaptersType", "{\"chapters\":1}", "option \"chapters\" must be \"keep\", \"inputs\" or \"none\""},
        bad_case{"FileTimeValue", "{\"file_time\":\"first\"}", "option \"file_time\" must be \"now\" or \"first_input\""},
        bad_case{"TimecodeValue", "{\"timecode\":true}", "option \"timecode\" must be \"continue\" or \"none\""},
        bad_case{"TrimNotAList", "{\"trim\":{\"file\":1}}",
                 "option \"trim\" must be a list of {\"file\":N,\"from_ms\":N,\"to_ms\":N}"},
        bad_case{"TrimUnknownKey", "{\"trim\":[{\"file\":1,\"form_ms\":5}]}", "unknown key \"form_ms\" in a trim"},
        bad_case{"TrimWithoutFile", "{\"trim\":[{\"from_ms\":5}]}", "a trim needs \"file\""},
        bad_case{"FileZero", "{\"trim\":[{\"file\":0,\"to_ms\":5}]}", "a trim's \"file\" must be a whole number from 1"},
        bad_case{"FileOutOfList", "{\"trim\":[{\"file\":3,\"to_ms\":500}]}",
                 "trim of file 3: no such file in the list (2 files)"},
        bad_case{"NegativeTime", "{\"trim\":[{\"file\":1,\"from_ms\":-1}]}",
                 "a trim's \"from_ms\" must be a whole number of milliseconds from 0 to 10000000000000"},
        bad_case{"FractionOfAMillisecond", "{\"trim\":[{\"file\":1,\"to_ms\":1.5}]}",
                 "a trim's \"to_ms\" must be a whole number of milliseconds from 0 to 10000000000000"},
        bad_case{"TooFar", "{\"trim\":[{\"file\":1,\"to_ms\":-9223372036854775808}]}",
                 "a trim's \"to_ms\" must be a whole number of milliseconds from 0 to 10000000000000"},
        bad_case{"NotUtf8", "{\"\xff\xfe\":1}", "options are not valid JSON"},
        bad_case{"KeyWithNul", "{\"chapters\\u0000x\":\"none\"}", "unknown option \"chapters\\u0000x\""},
        bad_case{"EndsBeforeItStarts", "{\"trim\":[{\"file\":2,\"from_ms\":800,\"to_ms\":300}]}",
                 "trim of file 2 ends before it starts (800 to 300 ms)"},
        bad_case{"Empty", "{\"trim\":[{\"file\":2,\"from_ms\":300,\"to_ms\":300}]}",
                 "trim of file 2 ends before it starts (300 to 300 ms)"},
        bad_case{"Overlapping", "{\"trim\":[{\"file\":1,\"from_ms\":900},{\"file\":1,\"from_ms\":100,\"to_ms\":1000}]}",
                 "trims of file 1 overlap"},
        bad_case{"StartsAfterTheEnd", "{\"trim\":[{\"file\":2,\"from_ms\":1200}]}",
                 "trim of file 2 (AV_SHORT) starts at or after its end (1.200 s)"},
        bad_case{"EndsAfterTheEnd", "{\"trim\":[{\"file\":2,\"from_ms\":100,\"to_ms\":5000}]}",
                 "trim of file 2 (AV_SHORT) ends after the file does (1.200 s)"}));

TEST(Options, NoneOrEmptyMergeAsWithout)
{
    std::vector<std::string> in = {fixture("av.mp4"), fixture("av_short.mp4")};
    std::string plain = scratch("options_plain.mp4");
    auto r = merge_to_end(in, plain);
    ASSERT_EQ(r["state"], 3);
    for (const char *opts : {"{}", " { } "}) {
        std::string with = scratch("options_empty.mp4");
        auto w = merge_with(in, with, opts);
        ASSERT_EQ(w["state"], 3);
        EXPECT_FALSE(w.contains("options_not_applied"));
        EXPECT_EQ(w["duration_ms"], r["duration_ms"]);
        std::ifstream a(plain, std::ios::binary), b(with, std::ios::binary);
        std::string bytes_a((std::istreambuf_iterator<char>(a)), {}), bytes_b((std::istreambuf_iterator<char>(b)), {});
        EXPECT_TRUE(bytes_a == bytes_b) << opts;
    }
    // A null options text is the same call as videomerge_start.
    std::string list = path_list(in);
    EXPECT_EQ(std::string(videomerge_check_with(list.c_str(), nullptr)), std::string(videomerge_check(list.c_str())));
}

// ---- Ranges ----

// Where each piece of a trimmed merge comes from: an input fixture and a
// range in milliseconds (to -1: the end).
struct piece {
    const char *fixture;
    int64_t from_ms, to_ms;
};

struct trim_case {
    const char *name;
    std::vector<piece> pieces;  // one range per input
    const char *out_ext;
    double frame_s;  // the longest frame of the audio (or video, alone)
};
VM_PRINTS_AS_NAME(trim_case)

std::string trim_options(const std::vector<piece> &pieces)
{
    nlohmann::json trims = nlohmann::json::array();
    for (size_t i = 0; i < pieces.size(); i++) {
        nlohmann::json t = {{"file", i + 1}, {"from_ms", pieces[i].from_ms}};
        if (pieces[i].to_ms >= 0)
            t["to_ms"] = pieces[i].to_ms;
        trims.push_back(t);
    }
    return nlohmann::json{{"trim", trims}}.dump();
}

// The input's packets of one stream that a range copies, as the library
// promises: video from the keyframe at or before the start up to the
// first packet decoded at or after the end; audio from the packet that
// holds the video's start (the range's start without video) until that
// video's last frames are shown (B-frames are shown up to their reorder
// delay after they are decoded).
struct expected_piece {
    double start_s;  // where the copy starts, input clock from the file's start
    double end_s;    // the furthest end of what it holds
    std::vector<packet_info> video, audio;
};

expected_piece expect_piece(const media_read &in, const piece &p)
{
    expected_piece e;
    double from = p.from_ms / 1000.0, to = p.to_ms < 0 ? 1e9 : p.to_ms / 1000.0;
    double start = from;
    int v = -1, a = -1;
    for (size_t s = 0; s < in.kinds.size(); s++) {
        if (in.kinds[s] == "video" && v < 0)
            v = (int)s;
        if (in.kinds[s] == "audio" && a < 0)
            a = (int)s;
    }
    double zero = in.start_us / 1e6;
    double reorder = 0;
    if (v >= 0) {
        auto video = in.of_stream(v);
        // Decode times that run ahead of the pts (broken files) count as
        // moved back by the most they run ahead, as the merge moves them.
        double lead = 0;
        for (const packet_info &k : video)
            if (!std::isnan(k.dts_s))
                lead = std::max(lead, k.dts_s - k.pts_s);
        for (const packet_info &k : video) {
            if (k.key && k.pts_s - zero <= from + 1e-6)
                start = k.pts_s - zero;
            if (!std::isnan(k.dts_s))
                reorder = std::max(reorder, k.pts_s - k.dts_s + lead);
        }
        for (const packet_info &k : video) {
            // Matroska's first packets have no dts.
            double decoded = std::isnan(k.dts_s) ? k.pts_s : k.dts_s - lead;
            if (k.pts_s - zero >= start - 1e-6 && decoded - zero < to - 1e-6)
                e.video.push_back(k);
        }
    }
    e.start_s = start;
    double audio_end = p.to_ms < 0 ? 1e9 : to + reorder;
    if (a >= 0)
        for (const packet_info &k : in.of_stream(a))
            if (k.pts_s - zero + k.duration_s > start + 1e-6 && k.pts_s - zero < audio_end - 1e-6)
                e.audio.push_back(k);
    // The piece lasts to the furthest end of what it holds.
    e.end_s = start;
    for (const auto *list : {&e.video, &e.audio})
        for (const packet_info &k : *list)
            e.end_s = std::max(e.end_s, k.pts_s - zero + k.duration_s);
    return e;
}

class Trim : public testing::TestWithParam<trim_case> {};

// Every piece holds exactly the packets its range promises, decodable from
// its first frame, and its audio keeps its place against its video: both
// streams of a piece are moved by one shift.
TEST_P(Trim, CopiesTheRangesInStep)
{
    const trim_case &c = GetParam();
    std::vector<std::string> paths;
    std::vector<expected_piece> want;
    int64_t asked_ms = 0;
    for (const piece &p : c.pieces) {
        paths.push_back(fixture(p.fixture));
        media_read in = read_media(paths.back());
        ASSERT_TRUE(in.ok);
        want.push_back(expect_piece(in, p));
        asked_ms += (p.to_ms < 0 ? (int64_t)std::llround(in.length_s() * 1000) : p.to_ms) - p.from_ms;
    }
    std::string options = trim_options(c.pieces);
    auto check = parse_answer(videomerge_check_with(path_list(paths).c_str(), options.c_str()));
    ASSERT_EQ(check["compatible"], true) << check.dump();
    EXPECT_NEAR(check["total_duration_ms"].get<double>(), (double)asked_ms, 50.0);

    std::string out = scratch(std::string("trim_") + c.name + "." + c.out_ext);
    auto r = merge_with(paths, out, options);
    ASSERT_EQ(r["state"], 3) << r.dump();
    EXPECT_EQ(r["duration_ms"], check["total_duration_ms"]);
    EXPECT_EQ(decode_errors(out), "");

    media_read got = read_media(out);
    ASSERT_TRUE(got.ok);
    int v = -1, a = -1;
    for (size_t s = 0; s < got.kinds.size(); s++) {
        if (got.kinds[s] == "video" && v < 0)
            v = (int)s;
        if (got.kinds[s] == "audio" && a < 0)
            a = (int)s;
    }
    std::vector<packet_info> video = v >= 0 ? got.of_stream(v) : std::vector<packet_info>{};
    std::vector<packet_info> audio = a >= 0 ? got.of_stream(a) : std::vector<packet_info>{};
    size_t vi = 0, ai = 0;
    double length_s = 0;
    for (size_t k = 0; k < want.size(); k++) {
        const expected_piece &e = want[k];
        SCOPED_TRACE("piece " + std::to_string(k + 1));
        ASSERT_LE(vi + e.video.size(), video.size());
        ASSERT_LE(ai + e.audio.size(), audio.size());
        double shift_v = NAN, shift_a = NAN;
        for (size_t i = 0; i < e.video.size(); i++, vi++) {
            EXPECT_EQ(video[vi].crc, e.video[i].crc) << "video packet " << i;
            shift_v = video[vi].pts_s - e.video[i].pts_s;
        }
        if (!e.video.empty()) {
            EXPECT_TRUE(video[vi - e.video.size()].key) << "a piece starts with a keyframe";
        }
        for (size_t i = 0; i < e.audio.size(); i++, ai++) {
            EXPECT_EQ(audio[ai].crc, e.audio[i].crc) << "audio packet " << i;
            shift_a = audio[ai].pts_s - e.audio[i].pts_s;
        }
        // Audio fitted to a join is heard within half a frame of its video
        // (AAC at 48 kHz).
        if (!e.video.empty() && !e.audio.empty()) {
            EXPECT_NEAR(shift_a, shift_v, 0.002 + 512 / 48000.0) << "audio and video of a piece moved by one shift";
        }
        length_s += e.end_s - e.start_s;
    }
    EXPECT_EQ(vi, video.size()) << "no video beyond the ranges";
    EXPECT_EQ(ai, audio.size()) << "no audio beyond the ranges";
    // What was asked, from each piece's keyframe to its last pictures:
    // within a frame a piece.
    EXPECT_NEAR(got.length_s(), length_s, want.size() * c.frame_s + 0.004);
}

INSTANTIATE_TEST_SUITE_P(
    Options, Trim,
    testing::Values(
        // H.264 with B-frames (keyframes each second) and AAC.
        trim_case{"BFramesMp4", {{"av.mp4", 1200, 1800}, {"av.mp4", 400, 1500}}, "mp4", 0.04},
        trim_case{"BFramesMkv", {{"av.mkv", 1200, 1800}, {"av_short.mkv", 300, -1}}, "mkv", 0.04},
        trim_case{"BFramesTs", {{"av.ts", 1000, 1600}, {"av.ts", 0, 700}}, "ts", 0.04},
        // Audio starts 21 ms before the first keyframe: a range from 1 ms
        // keeps it.
        trim_case{"AudioBeforeTheFirstKeyframe", {{"av.ts", 1, 600}, {"av.ts", 0, 500}}, "ts", 0.04},
        // Decode times that run ahead of the pts: a frame shown before the
        // end, decoded (by its raw time) at it, is still in. (The file's
        // last frame is cut short: the ranges end before it.)
        trim_case{"DecodeTimesAhead", {{"eac3_hls_seg1_cut.ts", 0, 120}, {"eac3_hls_seg1_cut.ts", 0, 120}}, "ts",
                  0.04},
        trim_case{"Aac", {{"audio.m4a", 200, 700}, {"audio.m4a", 300, 900}}, "m4a", 0.0214},
        trim_case{"Mp3", {{"delay.mp3", 250, 750}, {"delay.mp3", 100, 600}}, "mp3", 0.027}));

// A file whose start is cut off is still continued by the next segment of
// its recording: the join between them is the same as without the cut.
TEST(Options, RangeFromASegmentIsContinuedByTheNext)
{
    std::vector<std::string> in = {fixture("seg0.ts"), fixture("seg1.ts")};
    std::string whole = scratch("trim_continued_whole.ts"), cut = scratch("trim_continued_cut.ts");
    ASSERT_EQ(merge_with(in, whole, "{}")["state"], 3);
    ASSERT_EQ(merge_with(in, cut, R"({"trim":[{"file":1,"from_ms":100}]})")["state"], 3);
    // The second segment's packets, each against the first segment's last
    // packet of its stream, are placed alike in both.
    media_read second = read_media(fixture("seg1.ts")), a = read_media(whole), b = read_media(cut);
    ASSERT_TRUE(second.ok && a.ok && b.ok);
    for (size_t st = 0; st < second.kinds.size(); st++) {
        size_t n = second.of_stream((int)st).size();
        auto pa = a.of_stream((int)st), pb = b.of_stream((int)st);
        ASSERT_GT(pa.size(), n);
        ASSERT_GT(pb.size(), n);
        for (size_t i = 0; i < n; i++) {
            const packet_info &x = pa[pa.size() - n + i], &y = pb[pb.size() - n + i];
            EXPECT_EQ(x.crc, y.crc);
            EXPECT_NEAR(x.pts_s - pa[pa.size() - n - 1].pts_s, y.pts_s - pb[pb.size() - n - 1].pts_s, 0.0011)
                << second.kinds[st] << " packet " << i;
        }
    }
}

TEST(Options, RangesOfOneFileJoinInTimeOrder)
{
    std::vector<std::string> in = {fixture("av.mp4"), fixture("av_short.mp4")};
    // Given out of order; copied as the file has them.
    std::string options =
        R"({"trim":[{"file":1,"from_ms":1000,"to_ms":1500},{"file":1,"to_ms":500},{"file":2,"to_ms":600}]})";
    auto check = parse_answer(videomerge_check_with(path_list(in).c_str(), options.c_str()));
    EXPECT_EQ(check["files"], 2);
    EXPECT_EQ(check["total_duration_ms"], 1600);
    std::string out = scratch("trim_two_ranges.mkv");
    int id = videomerge_start_with(path_list(in).c_str(), out.c_str(), options.c_str());
    ASSERT_GE(id, 0);
    auto progress = parse_answer(videomerge_progress(id));
    EXPECT_EQ(progress["total_files"], 3);
    EXPECT_EQ(progress["total_ms"], 1600);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
    auto r = parse_answer(videomerge_result(id));
    videomerge_free(id);
    EXPECT_EQ(r["files_merged"], 3);
    EXPECT_EQ(decode_errors(out), "");
    // 0-0.5 s (keyframe 0), 1.0-1.5 s (keyframe 1.0), 0-0.6 s, each with
    // the B-frames' reorder delay (0.16 s) past its end.
    EXPECT_NEAR(read_media(out).length_s(), 1.6 + 3 * 0.16, 3 * 0.04);
}

// ---- Chapters ----

struct chapters_case {
    const char *name;
    std::vector<std::string> inputs;
    const char *out_ext;
    std::vector<std::string> titles;
};
VM_PRINTS_AS_NAME(chapters_case)

class ChapterPerInput : public testing::TestWithParam<chapters_case> {};

// One chapter per input where the input starts, titled from its title tag
// or its name; the inputs' own chapters are left out.
TEST_P(ChapterPerInput, StartsWhereItsInputDoes)
{
    const chapters_case &c = GetParam();
    std::vector<std::string> paths;
    std::vector<double> starts = {0};
    for (const auto &f : c.inputs) {
        paths.push_back(fixture(f));
        media_read in = read_media(paths.back());
        starts.push_back(starts.back() + in.length_s());
    }
    std::string out = scratch(std::string("chapters_inputs_") + c.name + "." + c.out_ext);
    auto r = merge_with(paths, out, R"({"chapters":"inputs"})");
    ASSERT_EQ(r["state"], 3);
    EXPECT_FALSE(r.contains("options_not_applied"));
    file_read got = read_file(out);
    ASSERT_EQ(got.chapters.size(), c.inputs.size());
    for (size_t i = 0; i < c.inputs.size(); i++) {
        EXPECT_EQ(got.chapters[i].title, c.titles[i]);
        // Priming and frame rounding move a join by a frame at most.
        EXPECT_NEAR(got.chapters[i].start_s, starts[i], 0.05) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, ChapterPerInput,
    testing::Values(chapters_case{"Mp4", {"av.mp4", "titled.mp4", "av.mp4"}, "mp4", {"av", "Part Two", "av"}},
                    chapters_case{"Audiobook", {"audio.m4a", "audio.m4a"}, "m4b", {"audio", "audio"}},
                    chapters_case{"Mkv", {"av.mkv", "av_short.mkv"}, "mkv", {"av", "av_short"}},
                    chapters_case{"Mp3", {"tagged.mp3", "tagged.mp3", "delay.mp3"}, "mp3",
                                  {"Holiday", "Holiday", "delay"}}));

TEST(Options, ChaptersNoneLeavesThemOut)
{
    std::string out = scratch("chapters_none.mkv");
    auto r = merge_with({fixture("tagged.mkv"), fixture("tagged.mkv")}, out, R"({"chapters":"none"})");
    ASSERT_EQ(r["state"], 3);
    file_read got = read_file(out);
    EXPECT_TRUE(got.chapters.empty());
}

// A trimmed input's own chapters move with its range: those before the
// range's start begin at it, those after its end are gone.
TEST(Options, ChaptersFollowTheRanges)
{
    // tagged.mkv: "Arrival" 0-0.8 s, "Beach" from 0.8 s; keyframes at 0.021
    // and 1.021 s; 2 s long.
    std::string out = scratch("chapters_trimmed.mkv");
    auto r = merge_with({fixture("tagged.mkv"), fixture("tagged.mkv")}, out,
                        R"({"trim":[{"file":1,"from_ms":1100},{"file":2,"to_ms":500}]})");
    ASSERT_EQ(r["state"], 3);
    file_read got = read_file(out);
    ASSERT_EQ(got.chapters.size(), 2u);
    EXPECT_EQ(got.chapters[0].title, "Beach");
    EXPECT_NEAR(got.chapters[0].start_s, 0.0, 0.003);
    EXPECT_EQ(got.chapters[1].title, "Arrival");
    EXPECT_NEAR(got.chapters[1].start_s, 2.0 - 1.021, 0.05);
}

// ---- What a container cannot honour ----

struct not_applied_case {
    const char *name;
    std::string input;
    const char *out_ext;
    const char *options;
    std::vector<std::string> not_applied;  // empty: the key is absent
};
VM_PRINTS_AS_NAME(not_applied_case)

class NotApplied : public testing::TestWithParam<not_applied_case> {};

TEST_P(NotApplied, IsReportedAndTheJobDone)
{
    const not_applied_case &c = GetParam();
    std::string out = scratch(std::string("not_applied_") + c.name + "." + c.out_ext);
    std::string text;
    auto r = merge_with({fixture(c.input), fixture(c.input)}, out, c.options, &text);
    ASSERT_EQ(r["state"], 3);
    if (c.not_applied.empty()) {
        EXPECT_FALSE(r.contains("options_not_applied")) << text;
        return;
    }
    EXPECT_EQ(r["options_not_applied"], nlohmann::json(c.not_applied)) << text;
    // Appended: every key before it keeps its place; only the joins come
    // after it.
    size_t at = text.rfind(",\"options_not_applied\":" + r["options_not_applied"].dump());
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.rfind(",\"joins\":["), at + 23 + r["options_not_applied"].dump().size()) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Options, NotApplied,
    testing::Values(
        not_applied_case{"ChaptersIntoTs", "av.mp4", "ts", R"({"chapters":"inputs"})", {"chapters"}},
        not_applied_case{"KeptChaptersIntoTs", "tagged.mkv", "ts", R"({"chapters":"keep"})", {}},
        not_applied_case{"TimecodeIntoMkv", "timecode.mp4", "mkv", R"({"timecode":"continue"})", {"timecode"}},
        not_applied_case{"NoTimecodeToContinue", "av.mp4", "mp4", R"({"timecode":"continue"})", {"timecode"}},
        not_applied_case{"Both", "timecode.mp4", "ts", R"({"timecode":"continue","chapters":"inputs"})",
                         {"chapters", "timecode"}},
        not_applied_case{"DefaultTimecodeIntoMkv", "timecode.mp4", "mkv", "{}", {}}));

// ---- The timecode ----

struct timecode_case {
    const char *name;
    const char *input;
    const char *out_ext;
    const char *options;
    const char *timecode;  // null: no timecode track
    double length_s;       // of three inputs
};
VM_PRINTS_AS_NAME(timecode_case)

class Timecode : public testing::TestWithParam<timecode_case> {};

// One timecode track from the first input's timecode, spanning the output.
TEST_P(Timecode, ContinuesFromTheFirstInput)
{
    const timecode_case &c = GetParam();
    std::string out = scratch(std::string("timecode_") + c.name + "." + c.out_ext);
    auto r = merge_with({fixture(c.input), fixture(c.input), fixture(c.input)}, out, c.options);
    ASSERT_EQ(r["state"], 3);
    EXPECT_FALSE(r.contains("options_not_applied"));
    file_read got = read_file(out);
    ASSERT_TRUE(got.ok);
    EXPECT_EQ(got.timecode.track, c.timecode != nullptr);
    if (!c.timecode) {
        EXPECT_EQ(got.timecode.video_tag, "");
        return;
    }
    EXPECT_EQ(got.timecode.track_tag, c.timecode);
    EXPECT_NEAR(got.timecode.track_s, c.length_s, 0.05);
}

INSTANTIATE_TEST_SUITE_P(
    Options, Timecode,
    testing::Values(
        timecode_case{"Mp4", "timecode.mp4", "mp4", R"({"timecode":"continue"})", "01:02:03:04", 6.0},
        timecode_case{"Mov", "timecode.mov", "mov", R"({"timecode":"continue"})", "01:02:03:04", 6.0},
        timecode_case{"ByDefault", "timecode.mov", "mp4", "{}", "01:02:03:04", 6.0},
        // A GoPro clip: telemetry, and the timecode in a track of its own.
        timecode_case{"GoProMp4", "gopro_karma_cut.mp4", "mp4", R"({"timecode":"continue"})", "19:26:48:04", 1.52},
        timecode_case{"GoProMov", "gopro_karma_cut.mp4", "mov", "{}", "19:26:48:04", 1.52},
        // The copy starts at the keyframe 8 frames in: so does the timecode.
        // Each file lasts as long as its video (0.5005 s; its audio runs
        // on by less than a frame).
        timecode_case{"GoProRange", "gopro_karma_cut.mp4", "mp4", R"({"trim":[{"file":1,"from_ms":300}]})",
                      "19:26:48:12", 1.235},
        timecode_case{"None", "timecode.mp4", "mp4", R"({"timecode":"none"})", nullptr, 0}));

// ---- The output's time ----

TEST(Options, FileTimeFromTheRecordingsTag)
{
    std::string out = scratch("file_time_tag.mp4");
    auto r = merge_with({fixture("dated.mp4"), fixture("av.mp4")}, out, R"({"file_time":"first_input"})");
    ASSERT_EQ(r["state"], 3);
    EXPECT_EQ(modified_s(out), 1619864430);  // 2021-05-01T10:20:30Z
}

TEST(Options, FileTimeFromTheFirstInputsOwnTime)
{
    // No creation_time tag: the file's modification time.
    std::string first = scratch("file_time_untagged.mkv");
    copy_over(fixture("av_short.mkv"), first);
    fs::last_write_time(first, fs::last_write_time(first) - std::chrono::hours(24 * 400));
    std::string out = scratch("file_time_own.mkv");
    auto r = merge_with({first, fixture("av_short.mkv")}, out, R"({"file_time":"first_input"})");
    ASSERT_EQ(r["state"], 3);
    EXPECT_EQ(modified_s(out), modified_s(first));
    // By default, when it was written.
    std::string now = scratch("file_time_now.mkv");
    r = merge_with({first, fixture("av_short.mkv")}, now, "{}");
    ASSERT_EQ(r["state"], 3);
    EXPECT_GT(modified_s(now), modified_s(first) + 3600 * 24 * 300);
}

}  // namespace
