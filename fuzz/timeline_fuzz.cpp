// SPDX-License-Identifier: MIT
// The timestamp rules with any times a hostile file can carry: packets and
// file starts anywhere in int64 (an Ogg granule position near INT64_MAX, a
// start time far in the past), any time bases, wraps and jumps, audio
// counted as heard with any rate and frame size, its last packets held back
// and left out at joins as a merge does. Under UBSan every overflow aborts;
// the dts handed on must still increase.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "merge/timeline.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
#include <libavutil/avutil.h>
}

namespace {

int64_t any_time(FuzzedDataProvider &in)
{
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: return AV_NOPTS_VALUE;
    case 1: return INT64_MAX - in.ConsumeIntegralInRange<int64_t>(0, 1000);
    case 2: return INT64_MIN + in.ConsumeIntegralInRange<int64_t>(0, 1000);
    case 3: return in.ConsumeIntegralInRange<int64_t>(-100000, 10000000);
    default: return in.ConsumeIntegral<int64_t>();
    }
}

AVRational any_time_base(FuzzedDataProvider &in)
{
    static const AVRational COMMON[] = {{1, 1000}, {1, 90000}, {1, 48000}, {1, 1000000}, {1, 1}};
    if (in.ConsumeBool())
        return COMMON[in.ConsumeIntegralInRange<size_t>(0, 4)];
    return AVRational{in.ConsumeIntegralInRange(1, 1 << 20), in.ConsumeIntegralInRange(1, 1 << 30)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    int n = in.ConsumeIntegralInRange(1, 4);
    timeline tl;
    if (timeline_begin_merge(&tl, n) < 0)
        return 0;
    bool trims = in.ConsumeBool();
    for (int i = 0; i < n; i++) {
        tl.streams[i].out_tb = any_time_base(in);
        tl.streams[i].kind = in.ConsumeIntegralInRange(0, 2);
        if (tl.streams[i].kind == TIMELINE_AUDIO && in.ConsumeBool()) {
            AVCodecParameters *par = avcodec_parameters_alloc();
            if (par) {
                par->codec_type = AVMEDIA_TYPE_AUDIO;
                par->codec_id = in.ConsumeBool() ? AV_CODEC_ID_AAC : AV_CODEC_ID_OPUS;
                par->sample_rate = in.ConsumeIntegralInRange(1, 768000);
                par->frame_size = in.ConsumeIntegralInRange(0, 1 << 16);
                audio_clock_init(&tl.streams[i].audio, par, trims);
                avcodec_parameters_free(&par);
            }
        }
    }
    AVPacket *pkt = av_packet_alloc();
    std::vector<int64_t> last_dts(n, AV_NOPTS_VALUE);
    // The decode times handed on of each stream's held packets, oldest
    // first, and the last one written before them.
    std::vector<std::deque<int64_t>> held(n);
    int files = in.ConsumeIntegralInRange(1, 4);
    for (int f = 0; f < files && pkt; f++) {
        std::vector<int64_t> first(n), lead(n);
        for (int i = 0; i < n; i++) {
            first[i] = any_time(in);
            lead[i] = in.ConsumeBool() ? 0 : any_time(in);
        }
        timeline_file file;
        file.start_us = any_time(in);
        file.wrap_us = in.ConsumeBool() ? 0 : (int64_t(1) << 33) * 100 / 9;
        file.follows_jumps = in.ConsumeBool();
        file.format = in.ConsumeBool() ? "ogg" : "mpegts";
        file.first_us = in.ConsumeBool() ? first.data() : nullptr;
        file.dts_lead_us = in.ConsumeBool() ? lead.data() : nullptr;
        timeline_begin_file(&tl, file);
        for (int i = 0; i < n; i++) {
            while (!held[i].empty() && timeline_drops_tail(&tl, i)) {
                held[i].pop_back();
                // The decode time left is that of what is still written.
                last_dts[i] = tl.streams[i].last_dts;
            }
            held[i].clear();
            timeline_release_held(&tl, i);
        }
        AVRational in_tb = any_time_base(in);
        int packets = in.ConsumeIntegralInRange(0, 64);
        for (int p = 0; p < packets; p++) {
            pkt->stream_index = in.ConsumeIntegralInRange(0, n - 1);
            pkt->pts = any_time(in);
            pkt->dts = in.ConsumeBool() ? pkt->pts : any_time(in);
            pkt->duration = in.ConsumeBool() ? in.ConsumeIntegralInRange<int64_t>(0, 5000) : any_time(in);
            if (!timeline_rebase(&tl, pkt, in_tb)) {  // left out
                av_packet_free_side_data(pkt);
                continue;
            }
            av_packet_free_side_data(pkt);
            if (tl.streams[pkt->stream_index].audio.sample_rate > 0) {
                std::deque<int64_t> &h = held[pkt->stream_index];
                h.push_back(pkt->dts);
                if (h.size() > AUDIO_HELD)
                    h.pop_front();
            }
            int64_t &last = last_dts[pkt->stream_index];
            if (pkt->dts != AV_NOPTS_VALUE) {
                // Decode times increase, short of the very end of int64,
                // where the sums saturate (and the muxer refuses the packet).
                if (last != AV_NOPTS_VALUE && pkt->dts <= last && last < INT64_MAX / 2)
                    abort();
                last = pkt->dts;
            }
        }
        (void)timeline_output_us(&tl, any_time(in));
        timeline_end_file(&tl, f + 1 < files);
    }
    (void)timeline_written_ms(&tl);
    av_packet_free(&pkt);
    timeline_free(&tl);
    return 0;
}
