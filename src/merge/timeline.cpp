// SPDX-License-Identifier: MIT
#include "merge/timeline.h"

#include "merge/saturating.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace {

const AVRational MS_TB = {1, 1000};
const AVRational US_TB = {1, 1000000};
const int64_t NOPTS = AV_NOPTS_VALUE;

// How far a file's start may lie from the previous file's stream ends and
// still continue it: streams of a recording are cut at slightly different
// times (audio runs ahead of B-frame video in MPEG-TS by up to a second).
const int64_t CONTINUE_TOLERANCE_US = 1000000;
// A decode time further ahead of the one before than this (and than ten
// packets) is a jump; one that goes back by more than a packet is one too.
// Shorter gaps forward are kept: a capture that lost its video signal for a
// few seconds while audio ran on must not pull video ahead of its audio.
const int64_t JUMP_FORWARD_US = 10000000;
// A stream reaching a jump takes the correction of the latest part when its
// packet lies this close to that part's start.
const int64_t JUMP_MATCH_US = 2000000;

// Times more than about 36,000 years either way are no recording's (a
// hostile Ogg granule position near INT64_MAX): such a time is taken as
// unknown. Real ones can be large (a live stream's decode times counted
// from 1970), so the sums below saturate rather than wrap (undefined in C++).
const int64_t TIME_LIMIT_US = int64_t(1) << 60;

int64_t add(int64_t a, int64_t b)
{
    return saturating_add(a, b);
}

int64_t subtract(int64_t a, int64_t b)
{
    return saturating_subtract(a, b);
}

int64_t us(int64_t t, AVRational tb)
{
    return av_rescale_q(t, tb, US_TB);
}

// t_us itself, or AV_NOPTS_VALUE when unknown or out of range.
int64_t within_limit(int64_t t_us)
{
    return t_us < -TIME_LIMIT_US || t_us > TIME_LIMIT_US ? NOPTS : t_us;
}

// Whether a time in time base tb is known and within range.
bool in_range(int64_t t, AVRational tb)
{
    return t != NOPTS && within_limit(us(t, tb)) != NOPTS;
}

// Gives a dts to a packet that has only a pts (Matroska and other
// pts-only containers do this for the first frames of B-frame video): one
// duration after the stream's last dts, never past its own pts. Without
// this the muxer guesses a dts that may go backwards at a join.
void fill_missing_dts(AVPacket *pkt, const timeline_stream &st)
{
    if (pkt->dts != NOPTS || pkt->pts == NOPTS || st.last_dts == NOPTS)
        return;
    int64_t step = std::max<int64_t>(pkt->duration, 1);
    pkt->dts = std::min(add(st.last_dts, step), pkt->pts);
}

// A file's first packets may reach back before the join when nothing
// placed them after it: keep the decode times of a stream strictly
// increasing.
void keep_dts_increasing(AVPacket *pkt, const timeline_stream &st)
{
    if (pkt->dts == NOPTS || st.last_dts == NOPTS || pkt->dts > st.last_dts)
        return;
    pkt->dts = add(st.last_dts, 1);
    if (pkt->pts != NOPTS && pkt->pts < pkt->dts)
        pkt->pts = pkt->dts;
}

// A packet to be shown before it is decoded (pts < dts: broken input, such
// as an iPhone HEVC track whose composition offsets do not fit its decode
// times) is refused by the muxers. Where a file's first packets show this,
// the stream's decode times are moved earlier for the whole file (see
// timeline_rebase); this catches what is left. As the ffmpeg tool does, both times
// become the middle one of pts, dts and just after the stream's last dts:
// the packet keeps its place as far as it can, and the decode times still
// increase. Every other packet is left alone.
void repair_pts_before_dts(AVPacket *pkt, const timeline_stream &st)
{
    if (pkt->pts == NOPTS || pkt->dts == NOPTS || pkt->pts >= pkt->dts)
        return;
    int64_t t = pkt->pts;
    if (st.last_dts != NOPTS)
        t = std::min(std::max(add(st.last_dts, 1), pkt->pts), pkt->dts);
    pkt->pts = pkt->dts = t;
}

// The streams whose ends make a file's length: audio and video, or every
// stream when the output has neither.
bool counts(const timeline *tl, const timeline_stream &st)
{
    if (st.kind != TIMELINE_OTHER)
        return true;
    for (int k = 0; k < tl->n; k++)
        if (tl->streams[k].kind != TIMELINE_OTHER)
            return false;
    return true;
}

void follow(timeline_stream &st, int part, int64_t zero_us, int64_t base_us)
{
    st.part = part;
    st.zero_us = zero_us;
    st.base_us = base_us;
    st.offset = av_rescale_q(base_us, US_TB, st.out_tb);
    st.in_end_us = NOPTS;
}

// The furthest end of the counted streams on the output timeline so far in
// this file, or `otherwise` when none has one.
int64_t furthest_end(const timeline *tl, int64_t otherwise)
{
    int64_t e = NOPTS;
    for (int k = 0; k < tl->n; k++) {
        const timeline_stream &st = tl->streams[k];
        if (counts(tl, st) && st.end_us != NOPTS)
            e = e == NOPTS ? st.end_us : std::max(e, st.end_us);
    }
    return e == NOPTS ? otherwise : e;
}

// d reduced into [-wrap/2, wrap/2) when timestamps wrap.
int64_t unwrap(int64_t d, int64_t wrap_us)
{
    if (wrap_us <= 0)
        return d;
    d %= wrap_us;
    if (d >= wrap_us / 2)
        d -= wrap_us;
    if (d < -wrap_us / 2)
        d += wrap_us;
    return d;
}

// Whether a file starting at start_us (its own clock) continues the latest
// part of the file before: its start lies among that part's stream ends,
// within the tolerance, and well after the part's own start (a file joined
// with itself does not continue itself). On success *at_us is where the
// start lands on the output timeline.
bool continues_previous(const timeline *tl, int64_t start_us, int64_t *at_us)
{
    int64_t lo = NOPTS, hi = NOPTS;
    for (int k = 0; k < tl->n; k++) {
        const timeline_stream &st = tl->streams[k];
        if (!counts(tl, st) || st.part != tl->part || st.in_end_us == NOPTS)
            continue;
        lo = lo == NOPTS ? st.in_end_us : std::min(lo, st.in_end_us);
        hi = hi == NOPTS ? st.in_end_us : std::max(hi, st.in_end_us);
    }
    if (lo == NOPTS)
        return false;
    int64_t start = add(hi, unwrap(subtract(start_us, hi), tl->wrap_us));  // on the part's clock
    int64_t zero = tl->part_zero_us;
    if (start < subtract(lo, CONTINUE_TOLERANCE_US) || start > add(hi, CONTINUE_TOLERANCE_US) ||
        subtract(start, zero) <= subtract(hi, zero) / 2)
        return false;
    *at_us = add(tl->part_base_us, subtract(start, zero));
    return true;
}

// How much later than the join a file must land so that no video stream's
// first packet comes before that stream's end in the file before (end_us
// still holds the file before's). Audio is placed by what is heard
// (audio_joins.h); other streams do not make a file's length.
int64_t priming_room(const timeline *tl, const timeline_file &f, int64_t start_us)
{
    int64_t room = 0;
    for (int k = 0; f.first_us && k < tl->n; k++) {
        const timeline_stream &st = tl->streams[k];
        int64_t first = within_limit(f.first_us[k]);
        if (!counts(tl, st) || st.kind == TIMELINE_AUDIO || first == NOPTS || st.end_us == NOPTS)
            continue;
        int64_t lands = add(tl->base_us, subtract(first, start_us));
        room = std::max(room, subtract(st.end_us, lands));
    }
    return room;
}

// Where the current file ends, for the next one to follow: the end of its
// video, where it has video, unless audio runs on past it by more than its
// last frame (a padded last frame is not a longer recording); otherwise the
// furthest end of the counted streams. `otherwise` when nothing has an end.
int64_t file_end(const timeline *tl, int64_t otherwise)
{
    int64_t video = NOPTS;
    for (int k = 0; k < tl->n; k++) {
        const timeline_stream &st = tl->streams[k];
        if (st.kind == TIMELINE_VIDEO && st.end_us != NOPTS)
            video = video == NOPTS ? st.end_us : std::max(video, st.end_us);
    }
    if (video == NOPTS)
        return furthest_end(tl, otherwise);
    int64_t e = video;
    for (int k = 0; k < tl->n; k++) {
        const timeline_stream &st = tl->streams[k];
        if (st.kind != TIMELINE_AUDIO || st.end_us == NOPTS)
            continue;
        int64_t end = subtract(st.end_us, st.moved_us);  // where the file's own audio ends
        if (subtract(end, st.audio.frame_us) > video)
            e = std::max(e, end);
    }
    return e;
}

// Decides on an audio packet of the current file before it is rebased
// (audio_joins.h). Files that continue the one before keep their
// timestamps, as cat would; the first file keeps its packets as they are
// (the container states its priming, or plays it before the file's start).
// A later file's packet kept and heard first may move the stream's offset
// for the rest of the file.
audio_fit place_audio(timeline *tl, timeline_stream &st, const AVPacket *pkt, AVRational in_tb, audio_lengths len)
{
    if (st.audio.placed)
        return AUDIO_KEEP;
    if (tl->continues || pkt->pts == NOPTS) {
        st.audio.placed = true;
        return AUDIO_KEEP;
    }
    if (tl->files < 2) {
        // A leading packet that holds nothing of the recording by what it
        // states is left out at the output's start too (see audio_joins.h).
        if (len.content == 0)
            return AUDIO_LEAVE_OUT;
        st.audio.placed = true;
        return AUDIO_KEEP;
    }
    int64_t pts_us = us(pkt->pts, in_tb);
    int64_t place = add(st.base_us, subtract(pts_us, st.zero_us));
    bool priming = add(pts_us, us(std::max<int64_t>(pkt->duration, 0), in_tb)) <= st.zero_us;
    int64_t shift = 0;
    audio_fit fit = audio_clock_place(&st.audio, place, priming, len, &shift);
    if (shift != 0) {
        st.moved_us = shift;
        st.base_us = add(st.base_us, shift);
        st.offset = av_rescale_q(st.base_us, US_TB, st.out_tb);
    }
    return fit;
}

// A stream of a file that may jump has reached a decode time t_us (input
// clock): follows it onto a new part when it jumped.
void follow_jump(timeline *tl, timeline_stream &st, int64_t t_us, int64_t dur_us)
{
    if (st.in_last_us == NOPTS) {  // the stream's first packet in this file
        if (st.part < tl->part)
            follow(st, tl->part, tl->part_zero_us, tl->part_base_us);
        st.in_last_us = st.in_first_us = t_us;
        return;
    }
    int64_t step = std::max<int64_t>(dur_us, 1000);
    bool jumped = t_us < subtract(st.in_last_us, step) ||
                  t_us > add(st.in_last_us, std::max(JUMP_FORWARD_US, std::min(step, INT64_MAX / 10) * 10));
    st.in_last_us = t_us;
    if (!jumped)
        return;
    int64_t from_part = subtract(t_us, tl->part_zero_us);
    if (st.part < tl->part && from_part >= -JUMP_MATCH_US && from_part <= JUMP_MATCH_US) {
        follow(st, tl->part, tl->part_zero_us, tl->part_base_us);
        return;
    }
    if (st.kind == TIMELINE_OTHER)  // sparse streams never start a part
        return;
    // The new part is taken to start where this stream stood against the
    // file's start (audio may lead video), so that the part lands like a
    // file at a join.
    int64_t lead = std::clamp(subtract(tl->file_start_us, st.in_first_us), -JUMP_MATCH_US / 2, JUMP_MATCH_US / 2);
    tl->part++;
    tl->part_zero_us = add(t_us, lead);
    tl->part_base_us = furthest_end(tl, st.base_us);
    follow(st, tl->part, tl->part_zero_us, tl->part_base_us);
}

}  // namespace

int timeline_begin_merge(timeline *tl, int n)
{
    *tl = timeline{};
    tl->n = n;
    tl->written_first_us = tl->written_end_us = NOPTS;
    tl->streams = static_cast<timeline_stream *>(av_calloc(n > 0 ? n : 1, sizeof(timeline_stream)));
    if (!tl->streams)
        return -1;
    for (int i = 0; i < n; i++) {
        timeline_stream &st = tl->streams[i];
        st.out_tb = AVRational{1, 1};
        st.kind = TIMELINE_OTHER;
        st.end_us = NOPTS;
        st.in_last_us = st.in_first_us = st.in_end_us = NOPTS;
        st.last_dts = NOPTS;
        st.first_place_us = NOPTS;
        st.audio = audio_clock{};
    }
    return 0;
}

void timeline_free(timeline *tl)
{
    av_freep(&tl->streams);
}

void timeline_begin_file(timeline *tl, const timeline_file &f)
{
    int64_t start = within_limit(f.start_us) == NOPTS ? 0 : f.start_us;
    int64_t at = tl->base_us;
    bool same_format = f.format && tl->format && strcmp(f.format, tl->format) == 0;
    tl->continues =
        tl->files > 0 && same_format && !f.cut_start && !tl->cut_end && continues_previous(tl, start, &at);
    tl->cut_end = f.cut_end;
    if (tl->files > 0 && !tl->continues)
        at = add(at, priming_room(tl, f, start));
    tl->files++;
    tl->follows_jumps = f.follows_jumps;
    tl->wrap_us = f.wrap_us;
    tl->format = f.format;
    tl->file_start_us = start;
    tl->file_base_us = at;
    tl->part = 0;
    tl->part_zero_us = start;
    tl->part_base_us = at;
    for (int k = 0; k < tl->n; k++) {
        timeline_stream &st = tl->streams[k];
        follow(st, 0, start, at);
        st.end_us = NOPTS;
        st.in_last_us = st.in_first_us = NOPTS;
        st.moved_us = 0;
        int64_t first = f.first_us ? within_limit(f.first_us[k]) : NOPTS;
        st.first_place_us = first == NOPTS ? NOPTS : add(at, subtract(first, start));
        audio_clock_begin_file(&st.audio);
        st.dts_lead_us = f.dts_lead_us ? std::clamp<int64_t>(f.dts_lead_us[k], 0, TIME_LIMIT_US) : 0;
    }
}

void timeline_begin_file(timeline *tl, int64_t start_us)
{
    timeline_file f;
    f.start_us = start_us;
    timeline_begin_file(tl, f);
}

bool timeline_rebase(timeline *tl, AVPacket *pkt, AVRational in_tb)
{
    timeline_stream &st = tl->streams[pkt->stream_index];
    if (pkt->pts != NOPTS && !in_range(pkt->pts, in_tb))
        pkt->pts = NOPTS;
    if (pkt->dts != NOPTS && !in_range(pkt->dts, in_tb))
        pkt->dts = NOPTS;
    if (pkt->duration < 0 || (pkt->duration > 0 && !in_range(pkt->duration, in_tb)))
        pkt->duration = 0;
    bool heard = st.audio.sample_rate > 0;
    audio_lengths len = heard ? audio_clock_lengths(st.audio, pkt, in_tb) : audio_lengths{0, 0};

    // Decode times that run ahead of the pts (an MP4 whose negative
    // composition offsets the demuxer did not fully allow for) move earlier
    // by the most they run ahead, so every packet is decoded before it is
    // shown and the display order stays as recorded. Rounded down from the
    // microseconds rounded up, the shift is never short of the lead.
    if (st.dts_lead_us > 0 && pkt->dts != NOPTS)
        pkt->dts = subtract(pkt->dts, av_rescale_q_rnd(st.dts_lead_us, US_TB, in_tb, AV_ROUND_DOWN));

    if (tl->follows_jumps && (pkt->dts != NOPTS || pkt->pts != NOPTS))
        follow_jump(tl, st, us(pkt->dts != NOPTS ? pkt->dts : pkt->pts, in_tb), us(pkt->duration, in_tb));
    audio_fit fit = heard ? place_audio(tl, st, pkt, in_tb, len) : AUDIO_KEEP;
    if (fit == AUDIO_LEAVE_OUT)
        return false;
    // Audio is placed and counted on the input's clock, in microseconds:
    // an output time base of milliseconds (Matroska) must not move where a
    // file is heard to end.
    int64_t in_place_us = heard && pkt->pts != NOPTS ? add(st.base_us, subtract(us(pkt->pts, in_tb), st.zero_us)) : NOPTS;
    if (pkt->pts != NOPTS) {
        int64_t in_end = us(add(pkt->pts, std::max<int64_t>(pkt->duration, 0)), in_tb);
        st.in_end_us = st.in_end_us == NOPTS ? in_end : std::max(st.in_end_us, in_end);
    }

    int64_t shift = av_rescale_q(st.zero_us, US_TB, in_tb);
    if (pkt->pts != NOPTS)
        pkt->pts = subtract(pkt->pts, shift);
    if (pkt->dts != NOPTS)
        pkt->dts = subtract(pkt->dts, shift);
    av_packet_rescale_ts(pkt, in_tb, st.out_tb);
    if (pkt->pts != NOPTS)
        pkt->pts = add(pkt->pts, st.offset);
    if (pkt->dts != NOPTS)
        pkt->dts = add(pkt->dts, st.offset);
    pkt->pos = -1;
    // Where the packet's samples belong on the output timeline, for the count.
    int64_t heard_at = in_place_us != NOPTS ? in_place_us : add(st.base_us, us(subtract(pkt->pts != NOPTS ? pkt->pts : st.offset, st.offset), st.out_tb));
    if (fit == AUDIO_KEEP_SILENT && pkt->pts != NOPTS) {
        // Heard not at all, the frame only primes the decoder: it takes no
        // time on the timeline, at the end of its place, after the packet
        // before it.
        int64_t at = subtract(add(pkt->pts, std::max<int64_t>(pkt->duration, 0)), 1);
        if (st.last_dts != NOPTS)
            at = std::max(at, add(st.last_dts, 1));
        pkt->pts = pkt->dts = at;
        pkt->duration = 0;
    }

    fill_missing_dts(pkt, st);
    keep_dts_increasing(pkt, st);
    repair_pts_before_dts(pkt, st);
    if (pkt->dts != NOPTS)
        st.last_dts = pkt->dts;

    // The end counts a packet of unknown time at the part's start.
    int64_t p = pkt->pts != NOPTS ? pkt->pts : st.offset;
    int64_t d = std::max<int64_t>(pkt->duration, 0);
    if (heard)  // audio ends where the recording does, without padding
        d = std::min(d, av_rescale_q(len.content, AVRational{1, st.audio.sample_rate}, st.out_tb));
    int64_t end = add(st.base_us, us(subtract(add(p, d), st.offset), st.out_tb));
    if (in_place_us != NOPTS && fit != AUDIO_KEEP_SILENT)
        end = add(in_place_us, av_rescale(len.content, 1000000, st.audio.sample_rate));
    if (heard)
        audio_clock_count(&st.audio, pkt, heard_at, end, len, fit == AUDIO_KEEP_SILENT);
    st.end_us = st.end_us == NOPTS ? end : std::max(st.end_us, end);
    if (st.kind != TIMELINE_OTHER && pkt->pts != NOPTS) {
        int64_t first = add(st.base_us, us(subtract(pkt->pts, st.offset), st.out_tb));
        tl->written_first_us = tl->written_first_us == NOPTS ? first : std::min(tl->written_first_us, first);
        tl->written_end_us = tl->written_end_us == NOPTS ? end : std::max(tl->written_end_us, end);
    }

    if (pkt->stream_index == 0 && pkt->pts != NOPTS)
        tl->processed_ms = std::max(tl->processed_ms, add(av_rescale_q(subtract(pkt->pts, st.offset), st.out_tb, MS_TB),
                                                          av_rescale_q(st.base_us, US_TB, MS_TB)));
    return true;
}

bool timeline_drops_tail(timeline *tl, int k)
{
    timeline_stream &st = tl->streams[k];
    if (tl->files < 2 || tl->continues || st.audio.sample_rate <= 0)
        return false;
    // Where the file's first heard sample belongs: its first packet's place;
    // where the output silences whole priming frames, the first frame that
    // is not all before the file's start.
    int64_t first = st.first_place_us == NOPTS ? tl->file_base_us : st.first_place_us;
    int64_t frame = st.audio.frame_us;
    if (st.audio.trims_padding && frame > 0 && first < tl->file_base_us)
        first = add(first, subtract(tl->file_base_us, first) / frame * frame);
    if (!audio_clock_drop_tail(&st.audio, first))
        return false;
    st.last_dts = audio_clock_last(st.audio).dts;  // the decode time of what is still written
    return true;
}

void timeline_release_held(timeline *tl, int k)
{
    audio_clock_release(&tl->streams[k].audio);
}

int64_t timeline_written_ms(const timeline *tl)
{
    if (tl->written_first_us == NOPTS)
        return 0;
    return av_rescale_q(subtract(tl->written_end_us, tl->written_first_us), US_TB, MS_TB);
}

void timeline_end_file(timeline *tl, bool another_follows)
{
    (void)another_follows;
    tl->base_us = std::max(tl->base_us, file_end(tl, tl->file_base_us));
    tl->base_ms = av_rescale_q(tl->base_us, US_TB, MS_TB);
}

int64_t timeline_output_us(const timeline *tl, int64_t input_us)
{
    return add(subtract(input_us, tl->file_start_us), tl->file_base_us);
}
