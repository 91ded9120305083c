// SPDX-License-Identifier: MIT
// The timestamp rules driven packet by packet with made-up packets.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "merge/audio_joins.h"
#include "merge/timeline.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
#include <libavutil/avutil.h>
}

namespace {

const int64_t NONE = AV_NOPTS_VALUE;

// One step of a scenario: start a file, feed a packet, or end a file.
struct step {
    enum kind { FILE, PACKET, END } what;
    int stream = 0;
    int64_t pts = NONE, dts = NONE, duration = 0;
    AVRational in_tb{1, 25};
    int64_t want_pts = NONE, want_dts = NONE;  // after the rebase
    int64_t start_us = 0;                      // FILE
    int64_t wrap_us = 0;                       // FILE
    bool jumps = false;                        // FILE: follow timestamp jumps
    const char *format = nullptr;              // FILE: the demuxer
    std::vector<int64_t> first_us = {};        // FILE: per stream, or empty
    std::vector<int64_t> dts_lead_us = {};     // FILE: per stream, or empty
    bool more = true;                          // END: another file follows
    bool kept = true;                          // PACKET: not left out
};

step file(int64_t start_us) { step s{step::FILE}; s.start_us = start_us; return s; }
// A file whose first packets were read ahead: the earliest pts per stream.
step file_first(int64_t start_us, std::vector<int64_t> first_us)
{
    step s = file(start_us);
    s.first_us = std::move(first_us);
    return s;
}
// A file whose first packets were read ahead: per stream, the most their
// decode times run ahead of their pts.
step file_lead(int64_t start_us, std::vector<int64_t> dts_lead_us)
{
    step s = file(start_us);
    s.dts_lead_us = std::move(dts_lead_us);
    return s;
}
// An MPEG-TS file: timestamps wrap, and jumps are followed.
step ts_file(int64_t start_us)
{
    step s = file(start_us);
    s.wrap_us = (int64_t(1) << 33) * 100 / 9;
    s.jumps = true;
    s.format = "mpegts";
    return s;
}
step end(bool more = true) { step s{step::END}; s.more = more; return s; }
step pkt(int stream, int64_t pts, int64_t dts, int64_t dur, AVRational in_tb, int64_t want_pts,
         int64_t want_dts)
{
    step s{step::PACKET};
    s.stream = stream;
    s.pts = pts;
    s.dts = dts;
    s.duration = dur;
    s.in_tb = in_tb;
    s.want_pts = want_pts;
    s.want_dts = want_dts;
    return s;
}

// A later file's leading audio packet that is left out.
step left_out(int stream, int64_t pts, int64_t dur, AVRational in_tb)
{
    step s = pkt(stream, pts, pts, dur, in_tb, NONE, NONE);
    s.kept = false;
    return s;
}

// How the audio streams are heard: not counted (the timestamp rules alone),
// or as AAC at 48 kHz, in an output that does or does not trim padding.
enum heard_as { NOT_COUNTED, AAC, AAC_TRIMMED };

struct scenario {
    const char *name;
    std::vector<AVRational> out_tbs;
    std::vector<step> steps;
    int64_t want_base_ms;       // after the last step
    int64_t want_processed_ms;  // after the last step
    std::vector<int> kinds = {};  // timeline_kind per stream; TIMELINE_OTHER when left out
    heard_as audio = NOT_COUNTED;
};
VM_PRINTS_AS_NAME(scenario)

const AVRational TB25{1, 25}, V{1, 12800}, A{1, 48000}, MS{1, 1000}, TS{1, 90000}, Q600{1, 600};
const int VID = TIMELINE_VIDEO, AUD = TIMELINE_AUDIO, OTH = TIMELINE_OTHER;

class Timeline : public testing::TestWithParam<scenario> {};

TEST_P(Timeline, RebasesEachPacket)
{
    const scenario &sc = GetParam();
    timeline tl{};
    ASSERT_EQ(timeline_begin_merge(&tl, (int)sc.out_tbs.size()), 0);
    for (size_t i = 0; i < sc.out_tbs.size(); i++) {
        tl.streams[i].out_tb = sc.out_tbs[i];
        tl.streams[i].kind = i < sc.kinds.size() ? sc.kinds[i] : TIMELINE_OTHER;
        if (sc.audio != NOT_COUNTED && tl.streams[i].kind == TIMELINE_AUDIO) {
            AVCodecParameters *par = avcodec_parameters_alloc();
            par->codec_type = AVMEDIA_TYPE_AUDIO;
            par->codec_id = AV_CODEC_ID_AAC;
            par->sample_rate = 48000;
            par->frame_size = 1024;
            audio_clock_init(&tl.streams[i].audio, par, sc.audio == AAC_TRIMMED);
            avcodec_parameters_free(&par);
        }
    }
    AVPacket *p = av_packet_alloc();
    int n = 0;
    for (const step &s : sc.steps) {
        if (s.what == step::FILE) {
            timeline_file f;
            f.start_us = s.start_us;
            f.wrap_us = s.wrap_us;
            f.follows_jumps = s.jumps;
            f.format = s.format;
            f.first_us = s.first_us.empty() ? nullptr : s.first_us.data();
            f.dts_lead_us = s.dts_lead_us.empty() ? nullptr : s.dts_lead_us.data();
            timeline_begin_file(&tl, f);
        } else if (s.what == step::END) {
            timeline_end_file(&tl, s.more);
        } else {
            n++;
            p->stream_index = s.stream;
            p->pts = s.pts;
            p->dts = s.dts;
            p->duration = s.duration;
            p->pos = 1234;
            bool kept = timeline_rebase(&tl, p, s.in_tb);
            EXPECT_EQ(kept, s.kept) << "packet " << n;
            if (!kept)
                continue;
            EXPECT_EQ(p->pts, s.want_pts) << "pts of packet " << n;
            EXPECT_EQ(p->dts, s.want_dts) << "dts of packet " << n;
            EXPECT_EQ(p->pos, -1);
            av_packet_free_side_data(p);
        }
    }
    EXPECT_EQ(tl.base_ms, sc.want_base_ms);
    EXPECT_EQ(tl.processed_ms, sc.want_processed_ms);
    av_packet_free(&p);
    timeline_free(&tl);
}

std::vector<step> hundred_frames_twice()
{
    std::vector<step> s;
    for (int f = 0; f < 2; f++) {
        s.push_back(file(0));
        for (int i = 0; i < 100; i++)
            s.push_back(pkt(0, i, i, 1, TB25, 100 * f + i, 100 * f + i));
        s.push_back(end(f == 0));
    }
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Timeline,
    testing::Values(
        scenario{"SecondFileFollowsTheFirst", {TB25}, hundred_frames_twice(), 8000, 7960},
        // Times no recording has (hostile Ogg granule positions near the
        // ends of int64) are unknown times: nothing overflows, and the
        // packets with real times land where they belong.
        scenario{"TimesNearTheEndsOfInt64AreUnknown", {A},
                 {[] {
                      step f = file(INT64_MAX - 5);
                      f.jumps = true;
                      f.format = "ogg";
                      return f;
                  }(),
                  pkt(0, INT64_MAX - 10, INT64_MAX - 10, INT64_MAX, A, NONE, NONE),
                  pkt(0, 0, 0, 1024, A, 0, 0), pkt(0, INT64_MIN + 1, NONE, 1024, A, NONE, NONE),
                  pkt(0, 1024, 1024, 1024, A, 1024, 1024), end(), file(INT64_MIN + 1),
                  pkt(0, 0, 0, 1024, A, 2048, 2048), end(false)},
                 64, 43, {AUD}},
        // The file's start time moves every stream; 900/25 s is 36 s.
        scenario{"FileStartMovedToZero",
                 {TB25},
                 {file(36000000), pkt(0, 900, 900, 1, TB25, 0, 0), pkt(0, 901, 901, 1, TB25, 1, 1)},
                 0, 40},
        // AAC starts 1024 samples before the video; the file's start time is
        // the audio's, so video keeps its 1024-sample lead of 273 ticks of
        // 1/12800 in both files, and both streams of file 2 share one offset.
        scenario{"StreamsShareTheFileShift",
                 {V, A},
                 {file(-21333), pkt(1, -1024, -1024, 1024, A, 0, 0),
                  pkt(0, 0, -512, 512, V, 273, -239), pkt(1, 0, 0, 1024, A, 1024, 1024),
                  pkt(0, 512, 0, 512, V, 785, 273), end(),
                  file(-21333), pkt(1, -1024, -1024, 1024, A, 4864, 4864),
                  pkt(0, 0, -512, 512, V, 1570, 1058)},
                 // File 1 lasts as long as its video: 1297 ticks, 101328 us,
                 // which is 4864 ticks of 1/48000 for the audio.
                 101, 122},
        scenario{"UnknownStaysUnknown",
                 {TB25},
                 {file(0), pkt(0, NONE, NONE, 1, TB25, NONE, NONE), end(false)},
                 40, 0},
        // Matroska gives B-frame video's first packets a pts only; once a dts
        // was handed on, the next one follows it by a duration, capped at pts.
        scenario{"PtsOnlyFollowsLastDts",
                 {TB25},
                 {file(0), pkt(0, 0, NONE, 1, TB25, 0, NONE), pkt(0, 3, 0, 1, TB25, 3, 0),
                  pkt(0, 5, NONE, 1, TB25, 5, 1), pkt(0, 2, NONE, 3, TB25, 2, 2)},
                 0, 200},
        // A packet reaching back before the join is moved just after the
        // last dts of its stream; its pts is raised to its dts.
        scenario{"ReachingBackIsPushedForward",
                 {TB25},
                 {file(0), pkt(0, 0, 0, 1, TB25, 0, 0), pkt(0, 1, 1, 1, TB25, 1, 1), end(),
                  file(0), pkt(0, -2, -2, 1, TB25, 2, 2), pkt(0, 0, 0, 1, TB25, 3, 3),
                  pkt(0, 1, 1, 1, TB25, 4, 4)},
                 80, 160},
        // A negative duration counts as 0: the end is the pts itself.
        scenario{"NegativeDurationEndsAtPts",
                 {TB25},
                 {file(0), pkt(0, 10, 10, -5, TB25, 10, 10), end(),
                  file(0), pkt(0, 0, 0, 1, TB25, 11, 11)},
                 400, 440},
        // The file's length is its longest stream: audio 1.0 s beats video
        // 0.8 s, and both streams of the next file start at 1.0 s.
        scenario{"FoldTakesTheLongestStream",
                 {TB25, A},
                 {file(0), pkt(0, 0, 0, 20, TB25, 0, 0), pkt(1, 0, 0, 48000, A, 0, 0), end(),
                  file(0), pkt(0, 0, 0, 1, TB25, 25, 25), pkt(1, 0, 0, 1024, A, 48000, 48000),
                  end(false)},
                 1040, 1000},
        // Output time bases other than the input's: packets are converted.
        scenario{"ConvertsToTheOutputTimeBase",
                 {MS},
                 {file(0), pkt(0, 1, 1, 1, TB25, 40, 40), pkt(0, 2, 2, 1, TB25, 80, 80), end(false)},
                 120, 80},
        // Streams from index 8 on take the same shift and offset as the rest.
        scenario{"NinthStreamMovesWithTheFile",
                 {TB25, TB25, TB25, TB25, TB25, TB25, TB25, TB25, TB25},
                 {file(400000), pkt(8, 10, 10, 1, TB25, 0, 0), end(),
                  file(400000), pkt(8, 10, 10, 1, TB25, 1, 1)},
                 40, 0},
        // A subtitle running 2 s past the video's 0.8 s does not stretch
        // the file: the next file starts at 0.8 s (a hole in the video
        // otherwise).
        scenario{"SubtitleDoesNotStretchTheFile",
                 {TB25, TB25},
                 {file(0), pkt(0, 0, 0, 20, TB25, 0, 0), pkt(1, 0, 0, 50, TB25, 0, 0), end(),
                  file(0), pkt(0, 0, 0, 1, TB25, 20, 20), pkt(1, 0, 0, 1, TB25, 20, 20), end(false)},
                 840, 800, {VID, OTH}},
        // A file of subtitles only keeps the rule of the longest stream.
        scenario{"OnlyOtherStreamsCountThemselves",
                 {TB25, TB25},
                 {file(0), pkt(0, 0, 0, 20, TB25, 0, 0), pkt(1, 0, 0, 50, TB25, 0, 0), end(),
                  file(0), pkt(0, 0, 0, 1, TB25, 50, 50), end(false)},
                 2040, 2000, {OTH, OTH}},
        // Segments of one recording: the second starts (10.2 s on their
        // own clock) where the first's audio ended, before its video did,
        // so it keeps that clock: audio and video each continue where they
        // were (joined end to end, they would land at 1.4 s and 1.6 s).
        scenario{"ConsecutiveSegmentsKeepTheirClock",
                 {TB25, A},
                 {ts_file(9000000), pkt(1, 432000, 432000, 57600, A, 0, 0),
                  pkt(0, 250, 250, 1, TB25, 25, 25), pkt(0, 259, 259, 1, TB25, 34, 34), end(),
                  ts_file(10200000), pkt(1, 489600, 489600, 1024, A, 57600, 57600),
                  pkt(0, 260, 260, 1, TB25, 35, 35), end(false)},
                 1440, 1400, {VID, AUD}},
        // A file of another format never continues one: its clock is
        // another recording's.
        scenario{"OtherFormatDoesNotContinue",
                 {TB25, A},
                 {file(9000000), pkt(1, 432000, 432000, 57600, A, 0, 0),
                  pkt(0, 250, 250, 1, TB25, 25, 25), pkt(0, 259, 259, 1, TB25, 34, 34), end(),
                  ts_file(10200000), pkt(1, 489600, 489600, 1024, A, 67200, 67200),
                  pkt(0, 260, 260, 1, TB25, 40, 40), end(false)},
                 1640, 1600, {VID, AUD}},
        // The same across MPEG-TS's 33-bit wrap: the second segment's clock
        // restarted near zero.
        scenario{"ConsecutiveAcrossTheWrap",
                 {TS},
                 {ts_file(95443000000), pkt(0, 8589870000, 8589870000, 3600, TS, 0, 0),
                  pkt(0, 8589930000, 8589930000, 3600, TS, 60000, 60000), end(),
                  // 992 ticks before the wrap, 3600 after it.
                  ts_file(40000), pkt(0, 3600, 3600, 3600, TS, 68192, 68192), end(false)},
                 798, 758, {VID}},
        // A file joined with itself does not continue itself, even when
        // it is short.
        scenario{"ShortFileDoesNotContinueItself",
                 {TB25},
                 {ts_file(1400000), pkt(0, 35, 35, 1, TB25, 0, 0), end(),
                  ts_file(1400000), pkt(0, 35, 35, 1, TB25, 1, 1), end(false)},
                 80, 40, {VID}},
        // AAC priming: the second file's first packet lies wholly before its
        // start. Heard, it would put the file a frame late: it is left out,
        // and the next packet lands where the first file's audio ended.
        scenario{"LaterPrimingIsLeftOut",
                 {A},
                 {file(21333), pkt(0, 0, 0, 1024, A, -1024, -1024), pkt(0, 1024, 1024, 1024, A, 0, 0),
                  pkt(0, 2048, 2048, 1024, A, 1024, 1024), end(),
                  file_first(21333, {0}), left_out(0, 0, 1024, A),
                  pkt(0, 1024, 1024, 1024, A, 2048, 2048), pkt(0, 2048, 2048, 1024, A, 3072, 3072), end(false)},
                 85, 64, {AUD}, AAC},
        // Where the output can say so (Matroska), priming is kept for the
        // decoder and dropped whole by players: a packet of no length at
        // the end of its place, after the packet before it.
        scenario{"PrimingSilencedWhereTheOutputTrims",
                 {A},
                 {file(0), pkt(0, -1024, -1024, 1024, A, -1024, -1024), pkt(0, 0, 0, 1024, A, 0, 0),
                  pkt(0, 1024, 1024, 1024, A, 1024, 1024), end(),
                  file(0), pkt(0, -1024, -1024, 1024, A, 2047, 2047), pkt(0, 0, 0, 1024, A, 2048, 2048),
                  pkt(0, 1024, 1024, 1024, A, 3072, 3072), end(false)},
                 85, 64, {AUD}, AAC_TRIMMED},
        // The first file's last AAC packet states 896 samples but decodes
        // to 1024: its video ends at 40 ms (1920 samples), its audio is
        // heard to 2048. The next file's audio moves those 128 samples
        // later, to where it is heard; the next file still starts where
        // the video ended.
        scenario{"AudioMovesToWhereItIsHeard",
                 {TB25, A},
                 {file(0), pkt(0, 0, 0, 1, TB25, 0, 0), pkt(1, 0, 0, 1024, A, 0, 0),
                  pkt(1, 1024, 1024, 896, A, 1024, 1024), end(),
                  file(0), pkt(0, 0, 0, 1, TB25, 1, 1), pkt(1, 0, 0, 1024, A, 2048, 2048),
                  pkt(1, 1024, 1024, 1024, A, 3072, 3072), end(false)},
                 80, 40, {VID, AUD}, AAC},
        // Two recordings joined with cat: the timestamps restart in the
        // middle. Both streams follow the jump with one correction, placed
        // after the first part, and stay in sync.
        scenario{"JumpBackIsFollowed",
                 {TB25, TB25},
                 {ts_file(1000000), pkt(0, 25, 25, 1, TB25, 0, 0), pkt(1, 25, 25, 1, TB25, 0, 0),
                  pkt(0, 26, 26, 1, TB25, 1, 1), pkt(1, 26, 26, 1, TB25, 1, 1),
                  pkt(0, 25, 25, 1, TB25, 2, 2), pkt(1, 25, 25, 1, TB25, 2, 2),
                  pkt(0, 26, 26, 1, TB25, 3, 3), end(false)},
                 160, 120, {VID, AUD}},
        // A far jump forward is followed the same way: no long gap.
        scenario{"JumpForwardIsFollowed",
                 {TB25},
                 {ts_file(0), pkt(0, 0, 0, 1, TB25, 0, 0), pkt(0, 1, 1, 1, TB25, 1, 1),
                  pkt(0, 90000, 90000, 1, TB25, 2, 2), pkt(0, 90001, 90001, 1, TB25, 3, 3), end(false)},
                 160, 120, {VID}},
        // A gap of a few seconds is a gap in the recording, kept.
        scenario{"ShortGapInTsIsKept",
                 {TB25},
                 {ts_file(0), pkt(0, 0, 0, 1, TB25, 0, 0), pkt(0, 1, 1, 1, TB25, 1, 1),
                  pkt(0, 101, 101, 1, TB25, 101, 101), end(false)},
                 4080, 4040, {VID}},
        // Packets shown before they are decoded (pts < dts, the packets of
        // an iPhone HEVC track) take the middle of pts, dts and just after
        // the stream's last dts as both times; the others are kept.
        scenario{"PtsBeforeDtsIsRepaired",
                 {Q600},
                 {file(0), pkt(0, 0, 0, 20, Q600, 0, 0), pkt(0, 80, 20, 20, Q600, 80, 20),
                  pkt(0, 40, 40, 20, Q600, 40, 40), pkt(0, 20, 60, 20, Q600, 41, 41),
                  pkt(0, 60, 80, 20, Q600, 60, 60), pkt(0, 120, 100, 20, Q600, 120, 100)},
                 0, 200, {VID}},
        // With no dts before it, the first packet of the merge takes its pts;
        // at a join the next file's first packet stays after the last dts.
        scenario{"FirstPacketPtsBeforeDts",
                 {Q600},
                 {file(0), pkt(0, 0, 20, 20, Q600, 0, 0), pkt(0, 40, 40, 20, Q600, 40, 40), end(),
                  file(0), pkt(0, 0, 20, 20, Q600, 60, 60), pkt(0, 10, 50, 20, Q600, 70, 70),
                  pkt(0, 40, 60, 20, Q600, 100, 100)},
                 100, 167, {VID}},
        // Where the first packets are shown before they are decoded (the
        // iPhone track's 40/600 s lead, in microseconds rounded up), the
        // stream's decode times move earlier for the whole file and every
        // pts is kept; the other stream is left alone. A packet that runs
        // further ahead later in the file is still repaired.
        scenario{"LeadingDtsMovedEarlier",
                 {Q600, A},
                 {file_lead(0, {66667, 0}), pkt(0, 0, 0, 20, Q600, 0, -40), pkt(1, 0, 0, 1024, A, 0, 0),
                  pkt(0, 80, 20, 20, Q600, 80, -20), pkt(0, 40, 40, 20, Q600, 40, 0),
                  pkt(0, 20, 60, 20, Q600, 20, 20), pkt(0, 60, 80, 20, Q600, 60, 40), end(),
                  file_lead(0, {66667, 0}), pkt(0, 0, 0, 20, Q600, 100, 60), pkt(1, 0, 0, 1024, A, 8000, 8000),
                  pkt(0, 80, 20, 20, Q600, 180, 80), pkt(0, 20, 60, 20, Q600, 120, 120),
                  pkt(0, 100, 160, 20, Q600, 200, 200), end(false)},
                 367, 334, {VID, AUD}},
        // Outside formats that may jump, a gap stays a gap.
        scenario{"GapKeptWhereJumpsAreNotFollowed",
                 {TB25},
                 {file(0), pkt(0, 0, 0, 1, TB25, 0, 0), pkt(0, 100, 100, 1, TB25, 100, 100), end(false)},
                 4040, 4000, {VID}}),
    [](const testing::TestParamInfo<scenario> &i) { return std::string(i.param.name); });

}  // namespace
