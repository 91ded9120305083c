#include "join_start.h"

#include <algorithm>
#include <vector>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

// A video stream's progress through its leading frames.
struct lead {
    enum { WAIT_KEY, AFTER_KEY, DONE } state;
    int64_t key_pts;
};

namespace {

// The read-ahead stops at whichever comes first.
const int AHEAD_PACKETS = 256;
const int64_t AHEAD_BYTES = 32 << 20;

bool trimmed_kind(const AVStream *st)
{
    return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
           !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

// Whether the packet is one of the leading frames left out; moves the
// stream's state on.
bool leading(lead &l, const AVPacket *pkt)
{
    switch (l.state) {
    case lead::WAIT_KEY:
        if (!(pkt->flags & AV_PKT_FLAG_KEY))
            return true;
        l.key_pts = pkt->pts;
        l.state = pkt->pts == AV_NOPTS_VALUE ? lead::DONE : lead::AFTER_KEY;
        return false;
    case lead::AFTER_KEY:
        if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < l.key_pts)
            return true;
        l.state = lead::DONE;
        return false;
    default:
        return false;
    }
}

void reset_leads(join_start *js, AVFormatContext *ic)
{
    for (int i = 0; i < js->streams; i++)
        js->leads[i] = lead{trimmed_kind(ic->streams[i]) ? lead::WAIT_KEY : lead::DONE, 0};
}

}  // namespace

int join_start_begin(join_start *js, AVFormatContext *ic)
{
    join_start_end(js);
    js->streams = (int)ic->nb_streams;
    int n = std::max(js->streams, 1);
    js->held = static_cast<AVPacket **>(av_calloc(AHEAD_PACKETS, sizeof(AVPacket *)));
    js->first_us = static_cast<int64_t *>(av_malloc_array(n, sizeof(int64_t)));
    js->leads = static_cast<lead *>(av_calloc(n, sizeof(lead)));
    if (!js->held || !js->first_us || !js->leads)
        return -1;
    int waiting = 0;  // audio and video streams yet to show a packet
    for (int i = 0; i < js->streams; i++) {
        js->first_us[i] = AV_NOPTS_VALUE;
        enum AVMediaType t = ic->streams[i]->codecpar->codec_type;
        waiting += t == AVMEDIA_TYPE_AUDIO || trimmed_kind(ic->streams[i]);
    }
    std::vector<bool> seen(js->streams, false);
    reset_leads(js, ic);  // as if trimmed, to learn the first times of what is kept
    int64_t bytes = 0;
    while (waiting > 0 && js->count < AHEAD_PACKETS && bytes < AHEAD_BYTES) {
        AVPacket *pkt = av_packet_alloc();
        if (!pkt)
            return -1;
        int ret = av_read_frame(ic, pkt);
        if (ret < 0) {
            av_packet_free(&pkt);
            js->read_end = ret;
            break;
        }
        js->held[js->count++] = pkt;
        bytes += pkt->size;
        int s = pkt->stream_index;
        if (s < 0 || s >= js->streams || leading(js->leads[s], pkt) || pkt->pts == AV_NOPTS_VALUE)
            continue;
        const AVStream *st = ic->streams[s];
        int64_t t = av_rescale_q(pkt->pts, st->time_base, AVRational{1, 1000000});
        js->first_us[s] = js->first_us[s] == AV_NOPTS_VALUE ? t : std::min(js->first_us[s], t);
        enum AVMediaType type = st->codecpar->codec_type;
        if (!seen[s] && (type == AVMEDIA_TYPE_AUDIO || trimmed_kind(st))) {
            seen[s] = true;
            waiting--;
        }
    }
    reset_leads(js, ic);
    return 0;
}

void join_start_trim(join_start *js, bool trim)
{
    js->trim = trim;
}

int join_start_read(join_start *js, AVFormatContext *ic, AVPacket *pkt)
{
    for (;;) {
        int ret = 0;
        if (js->next < js->count) {
            av_packet_move_ref(pkt, js->held[js->next]);
            av_packet_free(&js->held[js->next++]);
        } else if (js->read_end < 0) {
            return js->read_end;
        } else {
            ret = av_read_frame(ic, pkt);
            if (ret < 0)
                return ret;
        }
        int s = pkt->stream_index;
        if (!js->trim || s < 0 || s >= js->streams || !leading(js->leads[s], pkt))
            return 0;
        js->left_out++;
        av_packet_unref(pkt);
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
    av_freep(&js->first_us);
    av_freep(&js->leads);
    js->count = js->next = 0;
    js->read_end = 0;
    js->streams = 0;
    js->trim = false;
}
