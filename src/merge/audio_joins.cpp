// SPDX-License-Identifier: MIT
#include "merge/audio_joins.h"

#include <algorithm>
#include <cstdlib>

#include "merge/saturating.h"
#include "text.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/mathematics.h>
}

namespace {

// Codecs whose every frame decodes to the same number of samples, whatever
// duration a container states for the last one.
bool fixed_frames(AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_AAC:
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_AC3:
        return true;
    default:
        return false;
    }
}

// Samples as microseconds; times out of any recording's range saturate.
int64_t us_of(const audio_clock &c, int64_t samples)
{
    int64_t r = av_rescale(samples, 1000000, c.sample_rate);
    return r == INT64_MIN ? INT64_MIN + 1 : r;
}

// The packet's skip side data (samples to drop at its start and end), or
// null without it.
const uint8_t *skips_of(const AVPacket *pkt)
{
    size_t size = 0;
    const uint8_t *sd = av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &size);
    return sd && size >= 10 ? sd : nullptr;
}

}  // namespace

bool output_trims_padding(const AVOutputFormat *fmt)
{
    static const char *const DISCARD_PADDING[] = {"matroska", "webm"};
    return name_in(fmt->name, DISCARD_PADDING);
}

void audio_clock_init(audio_clock *c, const AVCodecParameters *par, bool trims_padding)
{
    *c = audio_clock{};
    if (par->codec_type != AVMEDIA_TYPE_AUDIO || par->sample_rate <= 0)
        return;
    c->sample_rate = par->sample_rate;
    c->frame_size = fixed_frames(par->codec_id) && par->frame_size > 0 ? par->frame_size : 0;
    c->usual_frame = std::max(par->frame_size, 0);
    c->trims_padding = trims_padding;
}

int64_t audio_clock_heard_us(const audio_clock &c)
{
    if (c.anchor_us == AV_NOPTS_VALUE)
        return AV_NOPTS_VALUE;
    return saturating_add(c.anchor_us, us_of(c, c.samples));
}

audio_lengths audio_clock_lengths(const audio_clock &c, const AVPacket *pkt, AVRational tb)
{
    int64_t stated = pkt->duration > 0 ? av_rescale_q(pkt->duration, tb, AVRational{1, c.sample_rate}) : 0;
    const uint8_t *sd = skips_of(pkt);
    int64_t end = sd ? AV_RL32(sd + 4) : 0;
    if (c.frame_size > 0) {
        // Every frame decodes to frame_size; a duration within a tick of
        // that (Matroska's milliseconds) is a whole frame, not a short one.
        int64_t tick = av_rescale_q_rnd(1, tb, AVRational{1, c.sample_rate}, AV_ROUND_UP);
        if (std::llabs(stated - c.frame_size) <= tick)
            stated = c.frame_size;
        int64_t decoded = c.frame_size;
        return {decoded, std::max<int64_t>(0, std::min(stated, decoded - end))};
    }
    if (stated == 0)  // what a decoder makes of it all the same
        return {c.usual_frame, 0};
    return {stated + end, stated};
}

audio_fit audio_clock_place(audio_clock *c, int64_t place_us, bool ends_before_start, audio_lengths len,
                            int64_t *shift_us)
{
    int64_t decoded = len.decoded, stated = len.content;
    *shift_us = 0;
    if (stated == 0) {  // nothing of the recording
        c->left_out += decoded;
        return AUDIO_LEAVE_OUT;
    }
    if (ends_before_start && c->trims_padding)
        return AUDIO_KEEP_SILENT;
    int64_t heard = audio_clock_heard_us(*c);
    if (heard == AV_NOPTS_VALUE) {
        c->placed = true;
        return AUDIO_KEEP;
    }
    int64_t late = saturating_subtract(heard, place_us);
    int64_t half = us_of(*c, decoded) / 2;
    // Left out when it would be heard more than half its length late: the
    // packets after it then come closer to their place.
    if (late > half) {
        c->left_out += decoded;
        return AUDIO_LEAVE_OUT;
    }
    c->placed = true;
    c->error_us = late;
    // Heard early by less than half a frame: moved there too, so that the
    // audio runs on without a gap; heard earlier (the audio before ended
    // early), left in its place, where players that follow timestamps have
    // it (no packet can fill the gap for those that do not).
    if (late >= -half)
        *shift_us = late;
    int64_t end = audio_clock_last(*c).end_us;
    if (end != AV_NOPTS_VALUE && saturating_add(place_us, *shift_us) < end)
        *shift_us = saturating_subtract(end, place_us);
    return AUDIO_KEEP;
}

const audio_counted &audio_clock_last(const audio_clock &c)
{
    return c.recent_count > 0 ? c.recent[c.recent_count - 1] : c.written;
}

void audio_clock_count(audio_clock *c, AVPacket *pkt, int64_t at_us, int64_t end_us, audio_lengths len,
                       bool silent)
{
    int64_t decoded = len.decoded, stated = len.content;
    const uint8_t *skips = skips_of(pkt);
    int64_t start = skips ? AV_RL32(skips) : 0, end = skips ? AV_RL32(skips + 4) : 0;
    if (c->trims_padding && (silent || (decoded > stated + end && stated > 0))) {
        // The decoder makes a whole frame of a short last packet: the rest
        // is the encoder's padding. A silent packet primes the decoder and
        // is not heard at all. (A packet's side data is its own to change.)
        uint8_t *sd = skips ? const_cast<uint8_t *>(skips) : av_packet_new_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, 10);
        if (sd) {
            start = silent ? 0 : start;
            end = silent ? decoded : decoded - stated - start;
            AV_WL32(sd, (uint32_t)start);
            AV_WL32(sd + 4, (uint32_t)end);
        }
    }
    audio_counted n = {decoded, stated, 0, end_us, pkt->dts};
    if (c->anchor_us == AV_NOPTS_VALUE && !silent) {
        // The output's first heard packet: every container states its
        // priming.
        start = std::min(start, decoded);
        c->anchor_us = saturating_add(at_us, us_of(*c, start));
        n.played -= start;
    }
    if (c->trims_padding) {
        n.discarded = std::min(end, n.played);
        n.played -= n.discarded;
        (silent ? c->silenced : c->discarded) += n.discarded;
    }
    c->samples = saturating_add(c->samples, n.played);
    c->frame_us = us_of(*c, decoded);
    if (c->recent_count == AUDIO_HELD) {  // the oldest goes to the muxer
        c->written = c->recent[0];
        std::copy(c->recent + 1, c->recent + AUDIO_HELD, c->recent);
        c->recent_count--;
    }
    c->recent[c->recent_count++] = n;
}

bool audio_clock_drop_tail(audio_clock *c, int64_t first_us)
{
    int64_t heard = audio_clock_heard_us(*c);
    if (heard == AV_NOPTS_VALUE || c->recent_count == 0)
        return false;
    const audio_counted &last = c->recent[c->recent_count - 1];
    int64_t late = saturating_subtract(heard, first_us);
    int64_t late_without = saturating_subtract(late, us_of(*c, last.played));
    // INT64_MIN + 1 at worst: its magnitude fits.
    if (late <= c->frame_us / 2 || std::llabs(late_without) >= late)
        return false;
    c->samples = saturating_subtract(c->samples, last.played);
    c->before_discarded -= last.discarded;
    c->tail_left_out += last.stated;
    c->recent_count--;
    return true;
}

void audio_clock_release(audio_clock *c)
{
    if (c->recent_count > 0)
        c->written = c->recent[c->recent_count - 1];
    c->recent_count = 0;
}

void audio_clock_begin_file(audio_clock *c)
{
    c->placed = false;
    c->left_out = 0;
    c->error_us = 0;
    c->before_discarded = c->discarded;
    c->discarded = c->silenced = 0;
    c->tail_left_out = 0;
}
