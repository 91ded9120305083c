// SPDX-License-Identifier: MIT
// Joins of what recorders make: segments of one recording, an MPEG-TS whose
// timestamps restart, audio with an encoder delay, FLAC's numbered frames.
// Each output is read back: as long as its parts together, audio packets
// spaced by their durations, decode times increasing, decoding cleanly.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

struct join_case {
    const char *name;
    std::vector<std::string> inputs;  // fixture names
    const char *out_ext;
    // Fixtures whose lengths add up to the output's: the segments' cat, or
    // the recordings inside a file with a restart (none: not checked).
    std::vector<std::string> parts;
};
VM_PRINTS_AS_NAME(join_case)

// Lengths agree within a video frame (and the rounding of millisecond time
// bases).
const double ONE_FRAME_S = 0.042;

// From the earliest packet to the furthest end: what plays, priming and
// encoder delay included (a start time may leave those out).
double span_s(const media_read &m)
{
    double first = INFINITY, end = -INFINITY;
    for (const auto &p : m.packets)
        if (!std::isnan(p.pts_s)) {
            first = std::min(first, p.pts_s);
            end = std::max(end, p.pts_s + std::max(p.duration_s, 0.0));
        }
    return end - first;
}

class Join : public testing::TestWithParam<join_case> {};

TEST_P(Join, PlaysLikeItsPartsInOrder)
{
    const join_case &c = GetParam();
    std::vector<std::string> paths;
    for (const auto &f : c.inputs)
        paths.push_back(fixture(f));
    std::string out = scratch(std::string("join_") + c.name + "." + c.out_ext);
    int id = videomerge_start(path_list(paths).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE) << videomerge_result(id);
    nlohmann::json result = parse_answer(videomerge_result(id));
    videomerge_free(id);

    double want = 0;
    for (const auto &f : c.parts) {
        media_read part = read_media(fixture(f));
        ASSERT_TRUE(part.ok) << f;
        want += span_s(part);
    }
    media_read o = read_media(out);
    ASSERT_TRUE(o.ok);
    if (!c.parts.empty()) {
        EXPECT_NEAR(span_s(o), want, ONE_FRAME_S);
    }
    // What was written, measured: for segments of one recording less than
    // the sum of what each declares (duration_ms).
    EXPECT_NEAR(result["output_duration_ms"].get<double>() / 1000.0, span_s(o), ONE_FRAME_S) << result.dump();

    for (int s = 0; s < (int)o.kinds.size(); s++) {
        auto got = o.of_stream(s);
        double last_dts = -INFINITY, heard_end = NAN, heard_dur = 0;
        for (size_t i = 0; i < got.size(); i++) {
            if (!std::isnan(got[i].dts_s)) {
                ASSERT_GT(got[i].dts_s, last_dts) << "dts of stream " << s << " packet " << i;
                last_dts = got[i].dts_s;
            }
            // A priming frame that players are told to drop whole is not
            // heard.
            if (o.kinds[s] != "audio" || got[i].discard >= 1024)
                continue;
            // Each audio packet follows the one heard before it: never
            // squeezed against it, and no hole of a packet or more.
            if (!std::isnan(heard_end)) {
                double step = got[i].pts_s - heard_end;
                EXPECT_GE(step, -heard_dur / 2) << "audio packet " << i << " at " << got[i].pts_s << " s";
                EXPECT_LT(step, heard_dur) << "audio packet " << i << " at " << got[i].pts_s << " s";
            }
            heard_dur = got[i].duration_s;
            heard_end = got[i].pts_s + got[i].duration_s - got[i].discard / 48000.0;
        }
    }
    EXPECT_EQ(decode_errors(out), "");
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, Join,
    testing::Values(
        // Segments of one recording play like their cat: no hole, no overlap.
        join_case{"SegmentsToTs", {"seg0.ts", "seg1.ts"}, "ts", {"segcat.ts"}},
        join_case{"SegmentsToMkv", {"seg0.ts", "seg1.ts"}, "mkv", {"segcat.ts"}},
        join_case{"SegmentsToMp4", {"seg0.ts", "seg1.ts"}, "mp4", {"segcat.ts"}},
        // Opus in MPEG-TS: several packets in one PES, the first alone
        // with a time; the others are timed from their durations.
        join_case{"OpusSegmentsToMkv", {"opus_seg0.ts", "opus_seg1.ts"}, "mkv", {"opus_segcat.ts"}},
        // Timestamps restart in the middle of each input: every part is
        // kept, in order, with no long gap.
        join_case{"RestartToTs", {"restart.ts", "restart.ts"}, "ts", {"av.ts", "av_short.ts", "av.ts", "av_short.ts"}},
        join_case{"RestartToMkv", {"restart.ts", "restart.ts"}, "mkv", {"av.ts", "av_short.ts", "av.ts", "av_short.ts"}},
        join_case{"RestartToMp4", {"restart.ts", "restart.ts"}, "mp4", {"av.ts", "av_short.ts", "av.ts", "av_short.ts"}},
        // MP3's encoder delay: the second file's first frames are not
        // squeezed against the first file's last.
        join_case{"Mp3DelayToMp4", {"delay.mp3", "delay.mp3"}, "mp4", {"delay.mp3", "delay.mp3"}},
        join_case{"Mp3DelayToMkv", {"delay.mp3", "delay.mp3"}, "mkv", {"delay.mp3", "delay.mp3"}},
        // The second file's hidden pre-roll frames cannot be hidden after
        // a join: they, and the frames referring to them, are left out.
        join_case{"PreRollToMp4", {"preroll.mp4", "preroll.mp4"}, "mp4", {}},
        join_case{"PreRollToMkv", {"preroll.mp4", "preroll.mp4"}, "mkv", {}},
        // FLAC frames carry their number: in a .flac output they count on
        // across the join.
        join_case{"FlacToFlac", {"numbered.flac", "numbered.flac"}, "flac", {"numbered.flac", "numbered.flac"}},
        join_case{"FlacToMkv", {"numbered.flac", "numbered.flac"}, "mkv", {"numbered.flac", "numbered.flac"}}),
    [](const testing::TestParamInfo<join_case> &i) { return std::string(i.param.name); });

int lines(const std::string &text)
{
    return (int)std::count(text.begin(), text.end(), '\n');
}

// Joins `in` with itself into `out` and expects the job done.
void merge_with_itself(const std::string &in, const std::string &out)
{
    int id = videomerge_start(path_list({in, in}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE) << videomerge_result(id);
    videomerge_free(id);
}

// A broadcast capture whose first E-AC-3 packet is a frame followed by a
// piece of the next one (the MP4 muxer refuses it): the piece is left out,
// every frame is kept (the video's damaged frames too) but for audio frames
// left out to fit the join, no audio frame overlaps the one before (FFmpeg
// 9.0 reads that first frame with no duration and the next one's time), and
// the output decodes with no more errors than its inputs.
class BroadcastPieces : public testing::TestWithParam<std::string> {};

TEST_P(BroadcastPieces, KeepsEveryWholeFrame)
{
    std::string in = fixture("dvbt2_cut.ts");
    std::string out = scratch("join_pieces." + GetParam());
    ASSERT_NO_FATAL_FAILURE(merge_with_itself(in, out));

    media_read i = read_media(in), o = read_media(out);
    ASSERT_TRUE(i.ok);
    ASSERT_TRUE(o.ok);
    ASSERT_EQ(o.kinds, i.kinds);
    for (int s = 0; s < (int)i.kinds.size(); s++) {
        auto in_packets = i.of_stream(s), out_packets = o.of_stream(s);
        if (i.kinds[s] == "audio") {
            EXPECT_LE(out_packets.size(), 2 * in_packets.size()) << "stream " << s;
            EXPECT_GE(out_packets.size() + 4, 2 * in_packets.size()) << "stream " << s;
            for (size_t k = 1; k < out_packets.size(); k++)
                EXPECT_GE(out_packets[k].pts_s - out_packets[k - 1].pts_s, 0.016)
                    << "stream " << s << " packet " << k << " at " << out_packets[k].pts_s << " s";
            continue;
        }
        // The first file's video comes through whole (its damaged frames
        // too); the second may lose the leading frames that refer to frames
        // before its start.
        EXPECT_GE(out_packets.size(), in_packets.size() + 1);
        EXPECT_LE(out_packets.size(), 2 * in_packets.size());
    }
    EXPECT_LE(lines(decode_errors(out)), 2 * lines(decode_errors(in)));
}

INSTANTIATE_TEST_SUITE_P(Containers, BroadcastPieces, testing::Values("mp4", "mkv", "ts"),
                         [](const testing::TestParamInfo<std::string> &i) { return i.param; });

// The positions of the packets in display order.
std::vector<size_t> display_order(const std::vector<packet_info> &p)
{
    std::vector<size_t> order(p.size());
    for (size_t i = 0; i < p.size(); i++)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return p[a].pts_s < p[b].pts_s; });
    return order;
}

// Decode times increase strictly and no packet is shown before it is
// decoded: what a player needs to decode a stream in order.
void expect_decode_order(const std::vector<packet_info> &packets, const std::string &what)
{
    double last_dts = -INFINITY;
    for (size_t k = 0; k < packets.size(); k++) {
        if (std::isnan(packets[k].dts_s))
            continue;
        EXPECT_GT(packets[k].dts_s, last_dts) << what << " packet " << k;
        EXPECT_GE(packets[k].pts_s, packets[k].dts_s) << what << " packet " << k;
        last_dts = packets[k].dts_s;
    }
}

// An iPhone recording whose first frames FFmpeg reads as shown before they
// are decoded (its negative composition offsets): the video's decode times
// move earlier instead, so every frame is decoded before it is shown and
// the frames are shown in the order they were recorded in. Its edit list
// hides the last frame shown, second in decode order.
class ShownBeforeDecoded : public testing::TestWithParam<std::string> {};

TEST_P(ShownBeforeDecoded, KeepsTheDisplayOrder)
{
    std::string in = fixture("iphone14pro_dolbyvision.mov");
    std::string out = scratch("join_iphone." + GetParam());
    ASSERT_NO_FATAL_FAILURE(merge_with_itself(in, out));

    media_read i = read_media(in), o = read_media(out);
    ASSERT_TRUE(i.ok);
    ASSERT_TRUE(o.ok);
    ASSERT_EQ(i.kinds[0], "video");
    auto in_video = i.of_stream(0), out_video = o.of_stream(0);
    // Every frame of both copies; the frame the edit list hides at the end
    // is referred to by the frames after it in decode order.
    ASSERT_EQ(out_video.size(), 2 * in_video.size());
    std::vector<packet_info> first_file(out_video.begin(), out_video.begin() + in_video.size());
    EXPECT_EQ(display_order(first_file), display_order(in_video));
    expect_decode_order(out_video, "video");
    EXPECT_EQ(decode_errors(out), "");
}

INSTANTIATE_TEST_SUITE_P(Containers, ShownBeforeDecoded, testing::Values("mp4", "mov", "mkv"),
                         [](const testing::TestParamInfo<std::string> &i) { return i.param; });

// An E-AC-3 stream whose codec the header does not name (its stream type
// leaves it to probing) keeps every frame at the join: the check's
// analysis, reused on a header read alone, lost the second segment's first
// frame (a 32 ms hole).
TEST(Join, SegmentsWhoseAudioCodecIsProbedKeepEveryFrame)
{
    std::vector<std::string> paths = {fixture("eac3_hls_seg0_cut.ts"), fixture("eac3_hls_seg1_cut.ts")};
    size_t audio_in = 0;
    for (const auto &p : paths) {
        media_read in = read_media(p);
        ASSERT_TRUE(in.ok) << p;
        ASSERT_EQ(in.kinds[0], "audio");
        audio_in += in.of_stream(0).size();
    }
    for (const char *ext : {"ts", "mkv"}) {
        std::string out = scratch(std::string("join_probed_audio.") + ext);
        auto r = merge_to_end(paths, out);
        ASSERT_EQ(r["state"], 3) << r.dump();
        media_read o = read_media(out);
        ASSERT_TRUE(o.ok);
        EXPECT_EQ(o.of_stream(0).size(), audio_in) << ext;
    }
}

// One recording cut into two files inside an audio PES, at a transport
// packet's boundary and inside one: read one by one, the first file ends in
// a piece of the PES and the second drops the rest of it, so the frames
// across the cut were lost (6 of 63). The join keeps what the files' cat
// keeps: every audio packet, with its payload and its time, and decodes
// cleanly.
struct cut_case {
    const char *name;
    const char *first, *second;
    const char *out_ext;
};
VM_PRINTS_AS_NAME(cut_case)

class CutInsidePes : public testing::TestWithParam<cut_case> {};

TEST_P(CutInsidePes, KeepsWhatTheCatKeeps)
{
    const cut_case &c = GetParam();
    std::string out = scratch(std::string("join_cut_") + c.name + "." + c.out_ext);
    auto r = merge_to_end({fixture(c.first), fixture(c.second)}, out);
    ASSERT_EQ(r["state"], 3) << r.dump();

    media_read whole = read_media(fixture("pes_whole.ts")), o = read_media(out);
    ASSERT_TRUE(whole.ok);
    ASSERT_TRUE(o.ok);
    ASSERT_EQ(o.kinds, whole.kinds);
    for (int s = 0; s < (int)whole.kinds.size(); s++) {
        auto want = whole.of_stream(s), got = o.of_stream(s);
        ASSERT_EQ(got.size(), want.size()) << whole.kinds[s];
        if (whole.kinds[s] != "audio")
            continue;
        for (size_t k = 0; k < want.size(); k++) {
            EXPECT_EQ(got[k].crc, want[k].crc) << "audio packet " << k;
            EXPECT_NEAR(got[k].pts_s - got[0].pts_s, want[k].pts_s - want[0].pts_s, 0.0011) << "audio packet " << k;
        }
    }
    EXPECT_EQ(decode_errors(out), "");
}

INSTANTIATE_TEST_SUITE_P(Cuts, CutInsidePes,
                         testing::Values(cut_case{"at_packet_ts", "pes_at_0.ts", "pes_at_1.ts", "ts"},
                                         cut_case{"inside_packet_ts", "pes_inside_0.ts", "pes_inside_1.ts", "ts"},
                                         cut_case{"inside_packet_mkv", "pes_inside_0.ts", "pes_inside_1.ts", "mkv"}),
                         [](const testing::TestParamInfo<cut_case> &i) { return std::string(i.param.name); });

// Files of one recording with bytes missing between them (100 bytes of the
// PES the cut falls in): the timestamps follow on, but the bytes do not, so
// nothing is filled in: no frame made of the two files' pieces.
TEST(CutInsidePes, BytesMissingAtTheCutFillNothing)
{
    std::string out = scratch("join_cut_gap.ts");
    auto r = merge_to_end({fixture("pes_at_0.ts"), fixture("pes_inside_1.ts")}, out);
    ASSERT_EQ(r["state"], 3) << r.dump();
    media_read whole = read_media(fixture("pes_whole.ts")), o = read_media(out);
    ASSERT_TRUE(whole.ok);
    ASSERT_TRUE(o.ok);
    ASSERT_EQ(whole.kinds[1], "audio");
    std::vector<uint32_t> recorded;
    for (const auto &p : whole.of_stream(1))
        recorded.push_back(p.crc);
    auto audio = o.of_stream(1);
    EXPECT_LT(audio.size(), recorded.size());
    for (size_t k = 0; k < audio.size(); k++)
        EXPECT_NE(std::find(recorded.begin(), recorded.end(), audio[k].crc), recorded.end()) << "audio packet " << k;
    EXPECT_EQ(decode_errors(out), "");
}

// Recordings joined with themselves read back in decode order, every
// frame of both copies kept: a Matroska file whose B-frame video's first
// packets have no decode time and no duration (its track declares 1 ms a
// frame), which the MP4 and MPEG-TS muxers refused.
struct itself_case {
    const char *name;
    const char *fixture;
    const char *out_ext;
};
VM_PRINTS_AS_NAME(itself_case)

class WithItself : public testing::TestWithParam<itself_case> {};

TEST_P(WithItself, ReadsBackInDecodeOrder)
{
    const itself_case &c = GetParam();
    std::string in = fixture(c.fixture);
    std::string out = scratch(std::string("itself_") + c.name + "." + c.out_ext);
    ASSERT_NO_FATAL_FAILURE(merge_with_itself(in, out));

    media_read i = read_media(in), o = read_media(out);
    ASSERT_TRUE(i.ok);
    ASSERT_TRUE(o.ok);
    for (int s = 0; s < (int)o.kinds.size(); s++) {
        if (o.kinds[s] != "video" && o.kinds[s] != "audio")
            continue;
        ASSERT_LT(s, (int)i.kinds.size());
        EXPECT_EQ(o.kinds[s], i.kinds[s]);
        EXPECT_EQ(o.of_stream(s).size(), 2 * i.of_stream(s).size()) << o.kinds[s];
        expect_decode_order(o.of_stream(s), o.kinds[s]);
    }
    EXPECT_EQ(decode_errors(out), "");
}

INSTANTIATE_TEST_SUITE_P(Recordings, WithItself,
                         testing::Values(itself_case{"mkv_no_dts_mp4", "mkv_ass_subtitles.mkv", "mp4"},
                                         itself_case{"mkv_no_dts_mov", "mkv_ass_subtitles.mkv", "mov"},
                                         itself_case{"mkv_no_dts_ts", "mkv_ass_subtitles.mkv", "ts"}),
                         [](const testing::TestParamInfo<itself_case> &i) { return std::string(i.param.name); });

// An MP3 output states one encoder delay for players to skip, its first
// packet's: neither a later input's (joined mid-stream) nor a last packet
// that only discards its padding sets it, and a range that starts inside a
// file has none.
struct mp3_delay_case {
    const char *name;
    std::vector<std::string> inputs;
    const char *options;
    const char *start_like;  // the fixture whose start the output has; null: none stated
};
VM_PRINTS_AS_NAME(mp3_delay_case)

class Mp3Delay : public testing::TestWithParam<mp3_delay_case> {};

double start_s(const std::string &path)
{
    AVFormatContext *ic = open_analysed(path);
    if (!ic)
        return NAN;
    double t = ic->start_time != AV_NOPTS_VALUE ? ic->start_time / 1e6 : NAN;
    avformat_close_input(&ic);
    return t;
}

TEST_P(Mp3Delay, IsTheFirstPacketsOwn)
{
    const mp3_delay_case &c = GetParam();
    std::vector<std::string> paths;
    for (const auto &f : c.inputs)
        paths.push_back(fixture(f));
    std::string out = scratch(std::string("mp3_delay_") + c.name + ".mp3");
    int id = videomerge_start_with(path_list(paths).c_str(), out.c_str(), c.options);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
    videomerge_free(id);
    // No delay stated: the decoder's own 529 samples (48 kHz) are skipped.
    double expected = c.start_like ? start_s(fixture(c.start_like)) : 529.0 / 48000;
    EXPECT_NEAR(start_s(out), expected, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(
    Joins, Mp3Delay,
    testing::Values(mp3_delay_case{"Stated", {"delay.mp3", "delay.mp3"}, "{}", "delay.mp3"},
                    mp3_delay_case{"FirstStatesNone", {"untagged_delay.mp3", "delay.mp3"}, "{}", nullptr},
                    mp3_delay_case{"RangeFirst", {"delay.mp3", "delay.mp3"},
                                   R"({"trim":[{"file":1,"from_ms":300}]})", nullptr}));

}  // namespace
