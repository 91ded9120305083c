#include "timeline.h"

#include <algorithm>

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

// Gives a dts to a packet that has only a pts (Matroska and other
// pts-only containers do this for the first frames of B-frame video): one
// duration after the stream's last dts, never past its own pts. Without
// this the muxer guesses a dts that may go backwards at a join.
void fill_missing_dts(AVPacket *pkt, const timeline_stream &st)
{
    if (pkt->dts != NOPTS || pkt->pts == NOPTS || st.last_dts == NOPTS)
        return;
    int64_t step = std::max<int64_t>(pkt->duration, 1);
    pkt->dts = std::min(st.last_dts + step, pkt->pts);
}

// A file's first packets may reach back before the join (AAC priming
// does): keep the decode times of a stream strictly increasing.
void keep_dts_increasing(AVPacket *pkt, const timeline_stream &st)
{
    if (pkt->dts == NOPTS || st.last_dts == NOPTS || pkt->dts > st.last_dts)
        return;
    pkt->dts = st.last_dts + 1;
    if (pkt->pts != NOPTS && pkt->pts < pkt->dts)
        pkt->pts = pkt->dts;
}

}  // namespace

int timeline_begin_merge(timeline *tl, int n)
{
    tl->n = n;
    tl->streams = static_cast<timeline_stream *>(av_calloc(n > 0 ? n : 1, sizeof(timeline_stream)));
    tl->file_start_us = 0;
    tl->base_us = 0;
    tl->base_ms = 0;
    tl->processed_ms = 0;
    if (!tl->streams)
        return -1;
    for (int i = 0; i < n; i++) {
        tl->streams[i].out_tb = AVRational{1, 1};
        tl->streams[i].last_dts = NOPTS;
    }
    return 0;
}

void timeline_free(timeline *tl)
{
    av_freep(&tl->streams);
}

void timeline_begin_file(timeline *tl, int64_t start_us)
{
    tl->file_start_us = start_us == NOPTS ? 0 : start_us;
}

void timeline_rebase(timeline *tl, AVPacket *pkt, AVRational in_tb)
{
    int s = pkt->stream_index;
    timeline_stream &st = tl->streams[s];

    int64_t shift = av_rescale_q(tl->file_start_us, US_TB, in_tb);
    if (pkt->pts != NOPTS)
        pkt->pts -= shift;
    if (pkt->dts != NOPTS)
        pkt->dts -= shift;
    av_packet_rescale_ts(pkt, in_tb, st.out_tb);
    if (pkt->pts != NOPTS)
        pkt->pts += st.offset;
    if (pkt->dts != NOPTS)
        pkt->dts += st.offset;
    pkt->pos = -1;

    fill_missing_dts(pkt, st);
    keep_dts_increasing(pkt, st);
    if (pkt->dts != NOPTS)
        st.last_dts = pkt->dts;

    int64_t p = pkt->pts != NOPTS ? pkt->pts : 0;
    int64_t d = std::max<int64_t>(pkt->duration, 0);
    st.end = std::max(st.end, p + d - st.offset);

    if (s == 0 && pkt->pts != NOPTS) {
        int64_t ms = av_rescale_q(pkt->pts - st.offset, st.out_tb, MS_TB) + tl->base_ms;
        tl->processed_ms = std::max(tl->processed_ms, ms);
    }
}

int64_t timeline_output_us(const timeline *tl, int64_t input_us)
{
    return input_us - tl->file_start_us + tl->base_us;
}

void timeline_end_file(timeline *tl, bool another_follows)
{
    int64_t length_us = 0;
    for (int k = 0; k < tl->n; k++)
        length_us = std::max(length_us, av_rescale_q(tl->streams[k].end, tl->streams[k].out_tb, US_TB));
    tl->base_us += length_us;
    tl->base_ms = av_rescale_q(tl->base_us, US_TB, MS_TB);
    if (!another_follows)
        return;
    for (int k = 0; k < tl->n; k++) {
        tl->streams[k].offset = av_rescale_q(tl->base_us, US_TB, tl->streams[k].out_tb);
        tl->streams[k].end = 0;
    }
}
