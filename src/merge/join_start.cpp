// SPDX-License-Identifier: MIT
#include "merge/join_start.h"

#include <algorithm>
#include <vector>

#include "inspect/codec_setup.h"
#include "merge/ac3_frames.h"
#include "inspect/kept_analysis.h"

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

// A video stream's progress through its leading frames, and what tells
// whether a leading frame is referred to by frames after it.
struct lead {
    enum { WAIT_KEY, AFTER_KEY, DONE } state;
    int64_t key_pts;
    enum { KEEP, DROP, H264, HEVC } leading;  // what to do with leading frames
    int nal_length;  // bytes of a NAL unit's length prefix; 0: start codes
    bool hidden_audio;  // audio not yet past the packets an edit list hides
};

namespace {

// The input's next packet, as an analysed input would give it.
int read_packet(join_start *js, AVFormatContext *ic, AVPacket *pkt)
{
    return js->reused ? read_reused(js->reused, ic, pkt) : av_read_frame(ic, pkt);
}

// The read-ahead stops at whichever comes first.
const int AHEAD_PACKETS = 256;
const int64_t AHEAD_BYTES = 32 << 20;
// Video packets read ahead per stream, at least, to find decode times that
// run ahead of the pts: a demuxer that misjudges negative composition
// offsets (FFmpeg's MOV reader) shows it within the first group of frames.
const int AHEAD_VIDEO_PACKETS = 32;
// A longer lead than this is not a misjudged offset but broken timestamps,
// left to the timeline's last-resort repair.
const int64_t MAX_DTS_LEAD_US = 10000000;

// Pieces of AC-3 and E-AC-3 frames (see ac3_frames.h), wherever in an
// input they come, are left out: no decoder can use them, and the MP4 muxer
// refuses them. A packet of whole frames followed by a piece keeps its
// frames. Returns true when nothing of the packet is left. Other corrupt
// packets are kept: a damaged video frame still decodes, with the damage
// concealed.
bool cut_audio_pieces(const AVFormatContext *ic, AVPacket *pkt)
{
    if (pkt->stream_index < 0 || pkt->stream_index >= (int)ic->nb_streams)
        return false;
    enum AVCodecID id = ic->streams[pkt->stream_index]->codecpar->codec_id;
    if (id != AV_CODEC_ID_AC3 && id != AV_CODEC_ID_EAC3)
        return false;
    int whole = ac3_whole_frames(pkt->data, pkt->size);
    if (whole > 0 && whole < pkt->size && av_packet_make_writable(pkt) >= 0)
        av_shrink_packet(pkt, whole);
    return whole == 0;
}

bool trimmed_kind(const AVStream *st)
{
    return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
           !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

// The first slice NAL unit's header byte in a packet of H.264 or HEVC, or
// -1 when there is none.
int first_slice(const lead &l, const uint8_t *p, int size)
{
    bool hevc = l.leading == lead::HEVC;
    int i = 0;
    while (i < size) {
        int start, end;
        if (l.nal_length == 0) {  // start codes
            while (i + 3 <= size && !(p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1))
                i++;
            if (i + 3 > size)
                return -1;
            start = i + 3;
            end = start;
        } else {
            if (i + l.nal_length > size)
                return -1;
            int64_t len = 0;
            for (int k = 0; k < l.nal_length; k++)
                len = len << 8 | p[i + k];
            start = i + l.nal_length;
            end = (int)std::min<int64_t>(size, start + len);
        }
        if (start >= size)
            return -1;
        int type = hevc ? (p[start] >> 1) & 0x3F : p[start] & 0x1F;
        if (hevc ? type <= 21 : type == 1 || type == 5)
            return p[start];
        i = std::max(end, start + 1);
    }
    return -1;
}

// Whether a leading frame can be left out: no frame after it refers to it.
// H.264 marks a frame nothing refers to (nal_ref_idc 0); HEVC's skipped
// leading pictures (RASL) are never referred to by the frames after the
// keyframe; MPEG-1/2 and MPEG-4 Visual B-frames are never referred to. A
// leading frame that later frames refer to is kept.
bool unreferenced(const lead &l, const AVPacket *pkt)
{
    if (l.leading == lead::DROP || l.leading == lead::KEEP)
        return l.leading == lead::DROP;
    int h = first_slice(l, pkt->data, pkt->size);
    if (h < 0)
        return false;
    if (l.leading == lead::HEVC) {
        int type = (h >> 1) & 0x3F;
        return type == 8 || type == 9;
    }
    return (h >> 5 & 3) == 0;
}

lead lead_of(const AVStream *st)
{
    lead l{trimmed_kind(st) ? lead::WAIT_KEY : lead::DONE, 0, lead::KEEP, 0,
           st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO};
    const AVCodecParameters *par = st->codecpar;
    l.nal_length = nal_length_size(par);
    switch (par->codec_id) {
    case AV_CODEC_ID_H264:
        l.leading = lead::H264;
        break;
    case AV_CODEC_ID_HEVC:
        l.leading = lead::HEVC;
        break;
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_MPEG4:
        l.leading = lead::DROP;
        break;
    default:
        break;
    }
    return l;
}

// Whether the packet is one of the leading frames left out; moves the
// stream's state on. Video frames an edit list hides (MP4 pre-roll from
// the keyframe before the edit's start) are left out: after a join nothing
// can hide them, and the frames after them up to the next keyframe refer to
// them and go too. A hidden frame shown after a kept keyframe is not
// pre-roll but the edit's end cutting the last frame shown (an iPhone
// recording hides its second frame in decode order so): the frames after it
// refer to it, so it is kept, as it is in the first input. (Hidden audio is
// handled in join_start_read.)
bool leading(lead &l, const AVPacket *pkt)
{
    bool after_key = l.state == lead::AFTER_KEY && pkt->pts != AV_NOPTS_VALUE && pkt->pts >= l.key_pts;
    if ((pkt->flags & AV_PKT_FLAG_DISCARD) && l.state != lead::DONE && !after_key) {
        l.state = lead::WAIT_KEY;
        return true;
    }
    switch (l.state) {
    case lead::WAIT_KEY:
        if (!(pkt->flags & AV_PKT_FLAG_KEY))
            return true;
        l.key_pts = pkt->pts;
        l.state = pkt->pts == AV_NOPTS_VALUE ? lead::DONE : lead::AFTER_KEY;
        return false;
    case lead::AFTER_KEY:
        if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < l.key_pts)
            return unreferenced(l, pkt);
        l.state = lead::DONE;
        return false;
    default:
        return false;
    }
}

// Containers that store only presentation times (Matroska) give the first
// packets of B-frame video no decode time: FFmpeg derives one only once it
// has seen as many frames as the video reorders. Those packets get one here,
// a frame apart counting back from the first decode time known, as a
// container that stores decode times would have given them. The muxer's
// own guess needs packet durations; without them (files that do not store
// them) it gives two packets one time and the muxer then refuses them.
void fill_leading_dts(join_start *js, const AVFormatContext *ic)
{
    for (int s = 0; s < js->streams; s++) {
        const AVStream *st = ic->streams[s];
        if (!trimmed_kind(st))
            continue;
        std::vector<AVPacket *> missing;
        const AVPacket *known = nullptr, *next = nullptr;
        for (int i = 0; i < js->count; i++) {
            AVPacket *p = js->held[i];
            if (p->stream_index != s)
                continue;
            if (known) {
                next = p->dts != AV_NOPTS_VALUE && p->dts > known->dts ? p : nullptr;
                break;
            }
            if (p->dts == AV_NOPTS_VALUE)
                missing.push_back(p);
            else
                known = p;
        }
        if (missing.empty() || !known)
            continue;
        // A frame: the packet's duration, else the step to the next decode
        // time, else the frame rate.
        int64_t step = known->duration;
        if (step <= 0 && next && __builtin_sub_overflow(next->dts, known->dts, &step))
            step = 0;
        AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate
                                                                                    : st->r_frame_rate;
        if (step <= 0 && rate.num > 0 && rate.den > 0)
            step = av_rescale_q(1, av_inv_q(rate), st->time_base);
        if (step <= 0)
            continue;
        int64_t dts = known->dts;
        for (size_t k = missing.size(); k-- > 0;) {
            AVPacket *p = missing[k];
            if (p->pts == AV_NOPTS_VALUE || __builtin_sub_overflow(dts, step, &dts) || dts == AV_NOPTS_VALUE)
                break;
            dts = p->dts = std::min(dts, p->pts);
        }
    }
}

// The streams whose end ends a range: audio and video (an attached
// picture comes once, at the start).
bool ends_range(const AVStream *st)
{
    return st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO || trimmed_kind(st);
}

int64_t us_of(int64_t t, const AVStream *st)
{
    return t == AV_NOPTS_VALUE ? t : av_rescale_q(t, st->time_base, AVRational{1, 1000000});
}

// Whether a packet of a stream other than video lies wholly before the
// copy's start: it ends by then and does not hold the start itself.
bool before_cut(const join_start *js, const AVStream *st, const AVPacket *pkt)
{
    if (js->cut_from_us == AV_NOPTS_VALUE || trimmed_kind(st) || pkt->pts == AV_NOPTS_VALUE ||
        (st->disposition & AV_DISPOSITION_ATTACHED_PIC))
        return false;
    int64_t start = us_of(pkt->pts, st);
    int64_t end = us_of(pkt->pts + std::max<int64_t>(pkt->duration, 0), st);
    return start < js->cut_from_us && end <= js->cut_from_us;
}

// The copy of a range starts at the first video keyframe kept (the
// demuxer sought to the one at or before the range's start), for every
// stream: the pictures shown before the range's start keep their sound.
// Audio alone starts with the packet that holds the range's start, and so
// does audio where the video has no keyframe until after it (a range from
// a file's first moments, a broadcast whose video starts late): what lies
// in the range is never left out. The first times of the other streams
// are those of the packets kept.
void start_range(join_start *js, const AVFormatContext *ic, int64_t from_us)
{
    int64_t key = AV_NOPTS_VALUE;
    for (int i = 0; i < js->streams; i++)
        if (trimmed_kind(ic->streams[i]) && js->first_us[i] != AV_NOPTS_VALUE)
            key = key == AV_NOPTS_VALUE ? js->first_us[i] : std::min(key, js->first_us[i]);
    js->key_us = key;
    js->cut_from_us = key == AV_NOPTS_VALUE ? from_us : std::min(key, from_us);
    for (int i = 0; i < js->streams; i++)
        if (!trimmed_kind(ic->streams[i]))
            js->first_us[i] = AV_NOPTS_VALUE;
    for (int k = 0; k < js->count; k++) {
        const AVPacket *p = js->held[k];
        int s = p->stream_index;
        if (s < 0 || s >= js->streams || trimmed_kind(ic->streams[s]) || p->pts == AV_NOPTS_VALUE ||
            before_cut(js, ic->streams[s], p))
            continue;
        int64_t t = us_of(p->pts, ic->streams[s]);
        js->first_us[s] = js->first_us[s] == AV_NOPTS_VALUE ? t : std::min(js->first_us[s], t);
    }
}

// The most any video packet read ahead is shown after it is decoded (its
// decode time moved by the stream's lead, as the timeline moves it).
int64_t reorder_of(const join_start *js, const AVFormatContext *ic)
{
    int64_t most = 0;
    for (int k = 0; k < js->count; k++) {
        const AVPacket *p = js->held[k];
        int s = p->stream_index;
        if (s < 0 || s >= js->streams || !trimmed_kind(ic->streams[s]) || p->pts == AV_NOPTS_VALUE ||
            p->dts == AV_NOPTS_VALUE)
            continue;
        int64_t d = us_of(p->pts, ic->streams[s]) - us_of(p->dts, ic->streams[s]) + js->dts_lead_us[s];
        if (d > 0 && d < 10000000)  // longer is broken timestamps, not reordering
            most = std::max(most, d);
    }
    return most;
}

enum range_verdict { IN_RANGE, OUT_OF_RANGE, RANGE_ENDED };

// Past the range's end: video by decode time (a frame decoded before the
// end may be shown a little after it, so every frame shown before the end
// decodes), the others by presentation time, as far as that video is shown
// (so audio is not cut short of the last pictures). The range ends once
// each of its ending streams has passed it, or one has passed it by far (a
// stream that stops short of the end must not keep the rest of the file
// read).
range_verdict range_of_packet(join_start *js, const AVFormatContext *ic, const AVPacket *pkt)
{
    int s = pkt->stream_index;
    if (s < 0 || s >= js->streams)
        return IN_RANGE;
    const AVStream *st = ic->streams[s];
    if (before_cut(js, st, pkt))
        return OUT_OF_RANGE;
    if (js->cut_to_us == AV_NOPTS_VALUE || (st->disposition & AV_DISPOSITION_ATTACHED_PIC))
        return IN_RANGE;
    bool video = trimmed_kind(st);
    int64_t t = video && pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if (t == AV_NOPTS_VALUE)
        return IN_RANGE;
    int64_t t_us = us_of(t, st);
    if (video && pkt->dts != AV_NOPTS_VALUE)  // decode times that run ahead of the pts, as the timeline moves them
        t_us -= js->dts_lead_us[s];
    int64_t end = video ? js->cut_to_us : js->cut_to_us + js->reorder_us;
    if (t_us < end)
        return IN_RANGE;
    const int64_t FAR_PAST_US = 10000000;
    if (!js->ended[s]) {
        js->ended[s] = 1;
        if (js->ending < 0 || ends_range(st))
            js->ended_count++;
    }
    if (js->ended_count >= std::abs(js->ending) || t_us - js->cut_to_us > FAR_PAST_US)
        return RANGE_ENDED;
    return OUT_OF_RANGE;
}

void reset_leads(join_start *js, AVFormatContext *ic)
{
    for (int i = 0; i < js->streams; i++)
        js->leads[i] = lead_of(ic->streams[i]);
}

}  // namespace

int join_start_begin(join_start *js, AVFormatContext *ic, kept_analysis *reused, input_range range)
{
    join_start_end(js);
    js->reused = reused;
    js->streams = (int)ic->nb_streams;
    int n = std::max(js->streams, 1);
    js->held = static_cast<AVPacket **>(av_calloc(AHEAD_PACKETS, sizeof(AVPacket *)));
    js->first_us = static_cast<int64_t *>(av_malloc_array(n, sizeof(int64_t)));
    js->dts_lead_us = static_cast<int64_t *>(av_calloc(n, sizeof(int64_t)));
    js->leads = static_cast<lead *>(av_calloc(n, sizeof(lead)));
    js->hidden = static_cast<AVPacket **>(av_calloc(n, sizeof(AVPacket *)));
    js->ended = static_cast<uint8_t *>(av_calloc(n, 1));
    if (!js->held || !js->first_us || !js->dts_lead_us || !js->leads || !js->hidden || !js->ended)
        return -1;
    js->cut_to_us = range.to_us;
    for (int i = 0; i < js->streams; i++)
        js->ending += ends_range(ic->streams[i]);
    if (js->ending == 0)  // neither audio nor video: any stream ends it
        js->ending = -js->streams;
    int waiting = 0;  // audio and video streams yet to show a packet
    int video_short = 0;  // video streams yet to show AHEAD_VIDEO_PACKETS
    std::vector<int> video_left(js->streams, 0);
    for (int i = 0; i < js->streams; i++) {
        js->first_us[i] = AV_NOPTS_VALUE;
        enum AVMediaType t = ic->streams[i]->codecpar->codec_type;
        waiting += t == AVMEDIA_TYPE_AUDIO || trimmed_kind(ic->streams[i]);
        if (trimmed_kind(ic->streams[i])) {
            video_left[i] = AHEAD_VIDEO_PACKETS;
            video_short++;
        }
    }
    std::vector<int64_t> lead_ticks(js->streams, 0);
    std::vector<bool> seen(js->streams, false);
    std::vector<int64_t> last_hidden(js->streams, AV_NOPTS_VALUE);
    reset_leads(js, ic);  // as if trimmed, to learn the first times of what is kept
    int64_t bytes = 0;
    while ((waiting > 0 || video_short > 0) && js->count < AHEAD_PACKETS && bytes < AHEAD_BYTES) {
        AVPacket *pkt = av_packet_alloc();
        if (!pkt)
            return -1;
        int ret = read_packet(js, ic, pkt);
        if (ret < 0) {
            av_packet_free(&pkt);
            js->read_end = ret;
            break;
        }
        js->held[js->count++] = pkt;
        bytes += pkt->size;
        int s = pkt->stream_index;
        if (s >= 0 && s < js->streams) {
            if (video_left[s] > 0 && --video_left[s] == 0)
                video_short--;
            int64_t p = pkt->pts, d = pkt->dts;  // d - p taken only where it cannot overflow
            if (p != AV_NOPTS_VALUE && d != AV_NOPTS_VALUE && d > p && (p >= 0 || d <= INT64_MAX + p))
                lead_ticks[s] = std::max(lead_ticks[s], d - p);
        }
        if (s < 0 || s >= js->streams || cut_audio_pieces(ic, pkt) || leading(js->leads[s], pkt) ||
            pkt->pts == AV_NOPTS_VALUE)
            continue;
        const AVStream *st = ic->streams[s];
        int64_t pts = pkt->pts;
        if (js->leads[s].hidden_audio) {  // the last hidden packet is kept
            if (pkt->flags & AV_PKT_FLAG_DISCARD) {
                last_hidden[s] = pts;
                continue;
            }
            js->leads[s].hidden_audio = false;
            if (last_hidden[s] != AV_NOPTS_VALUE)
                pts = std::min(pts, last_hidden[s]);
        }
        int64_t t = av_rescale_q(pts, st->time_base, AVRational{1, 1000000});
        js->first_us[s] = js->first_us[s] == AV_NOPTS_VALUE ? t : std::min(js->first_us[s], t);
        enum AVMediaType type = st->codecpar->codec_type;
        if (!seen[s] && (type == AVMEDIA_TYPE_AUDIO || trimmed_kind(st))) {
            seen[s] = true;
            waiting--;
        }
    }
    if (range.from_us != AV_NOPTS_VALUE)
        start_range(js, ic, range.from_us);
    fill_leading_dts(js, ic);
    for (int i = 0; i < js->streams; i++) {
        int64_t lead = lead_ticks[i] > 0 ? av_rescale_q_rnd(lead_ticks[i], ic->streams[i]->time_base,
                                                            AVRational{1, 1000000}, AV_ROUND_UP)
                                         : 0;
        js->dts_lead_us[i] = lead > 0 && lead <= MAX_DTS_LEAD_US ? lead : 0;
    }
    if (range.to_us != AV_NOPTS_VALUE)
        js->reorder_us = reorder_of(js, ic);
    reset_leads(js, ic);
    return 0;
}

void join_start_trim(join_start *js, bool trim)
{
    js->trim = trim;
}

int join_start_prepend(join_start *js, AVPacket **pkts, int n)
{
    int kept = js->count - js->next;
    AVPacket **held = static_cast<AVPacket **>(av_malloc_array(kept + n, sizeof(AVPacket *)));
    if (!held) {
        for (int i = 0; i < n; i++)
            av_packet_free(&pkts[i]);
        return -1;
    }
    std::copy(pkts, pkts + n, held);
    std::copy(js->held + js->next, js->held + js->count, held + n);
    av_free(js->held);
    js->held = held;
    js->next = 0;
    js->count = kept + n;
    return 0;
}

namespace {

// Audio packets an edit list hides at a later file's start: only the last
// one is kept, the priming its decoder needs before the first one shown;
// earlier ones are content cut away. Returns 1 when pkt is taken (held back
// or left out), 0 when it is to be handed out now (the held-back packet
// first, with pkt kept for the next call).
int hold_hidden_audio(join_start *js, lead &l, AVPacket *pkt)
{
    AVPacket *&hidden = js->hidden[pkt->stream_index];  // holds a packet when set
    if (pkt->flags & AV_PKT_FLAG_DISCARD) {
        if (hidden)
            js->left_out++;
        else if (!(hidden = av_packet_alloc()))
            return AVERROR(ENOMEM);
        av_packet_unref(hidden);
        av_packet_move_ref(hidden, pkt);
        return 1;
    }
    l.hidden_audio = false;
    if (!hidden)
        return 0;
    AVPacket *shown = av_packet_alloc();
    if (!shown)
        return AVERROR(ENOMEM);
    av_packet_move_ref(shown, pkt);  // the first packet shown waits its turn
    av_packet_move_ref(pkt, hidden);
    av_packet_free(&hidden);
    js->back = shown;
    return 0;
}

}  // namespace

namespace {

// The next packet after the leading-frame rules.
int next_kept(join_start *js, AVFormatContext *ic, AVPacket *pkt)
{
    for (;;) {
        int ret = 0;
        if (js->back) {
            av_packet_move_ref(pkt, js->back);
            av_packet_free(&js->back);
            return 0;
        }
        if (js->next < js->count) {
            av_packet_move_ref(pkt, js->held[js->next]);
            av_packet_free(&js->held[js->next++]);
        } else if (js->read_end < 0) {
            return js->read_end;
        } else {
            ret = read_packet(js, ic, pkt);
            if (ret < 0)
                return ret;
        }
        if (cut_audio_pieces(ic, pkt)) {
            js->left_out++;
            av_packet_unref(pkt);
            continue;
        }
        int s = pkt->stream_index;
        if (!js->trim || s < 0 || s >= js->streams)
            return 0;
        lead &l = js->leads[s];
        if (l.hidden_audio) {
            int held = hold_hidden_audio(js, l, pkt);
            if (held <= 0)
                return held;
            continue;
        }
        if (!leading(l, pkt))
            return 0;
        js->left_out++;
        av_packet_unref(pkt);
    }
}

}  // namespace

int join_start_read(join_start *js, AVFormatContext *ic, AVPacket *pkt)
{
    for (;;) {
        int ret = next_kept(js, ic, pkt);
        if (ret < 0)
            return ret;
        range_verdict v = range_of_packet(js, ic, pkt);
        if (v == IN_RANGE)
            return 0;
        av_packet_unref(pkt);
        if (v == RANGE_ENDED) {
            while (js->next < js->count)  // held packets past the end go unread
                av_packet_free(&js->held[js->next++]);
            js->read_end = AVERROR_EOF;
            return AVERROR_EOF;
        }
    }
}

int timeline_kind_of(const AVStream *st)
{
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
        return TIMELINE_AUDIO;
    return trimmed_kind(st) ? TIMELINE_VIDEO : TIMELINE_OTHER;
}

timeline_file timeline_file_of(const AVFormatContext *ic)
{
    timeline_file f;
    f.start_us = ic->start_time;
    f.follows_jumps = ic->iformat->flags & AVFMT_TS_DISCONT;
    f.format = ic->iformat->name;
    if (ic->nb_streams > 0 && ic->streams[0]->pts_wrap_bits < 63) {
        const AVStream *st = ic->streams[0];
        f.wrap_us = av_rescale_q(int64_t(1) << st->pts_wrap_bits, st->time_base, AVRational{1, 1000000});
    }
    return f;
}

void join_start_end(join_start *js)
{
    for (int i = js->next; js->held && i < js->count; i++)
        av_packet_free(&js->held[i]);
    av_freep(&js->held);
    for (int i = 0; js->hidden && i < js->streams; i++)
        av_packet_free(&js->hidden[i]);
    av_freep(&js->hidden);
    av_packet_free(&js->back);
    av_freep(&js->first_us);
    av_freep(&js->dts_lead_us);
    av_freep(&js->leads);
    av_freep(&js->ended);
    js->cut_from_us = js->cut_to_us = js->key_us = AV_NOPTS_VALUE;
    js->reorder_us = 0;
    js->ended_count = js->ending = 0;
    js->count = js->next = 0;
    js->read_end = 0;
    js->streams = 0;
    js->trim = false;
    js->reused = nullptr;
}
