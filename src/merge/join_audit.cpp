// SPDX-License-Identifier: MIT
#include "merge/join_audit.h"

#include "merge/timeline.h"
#include "text.h"

namespace {

// The output's first audio stream, or null.
const timeline_stream *first_audio(const timeline &tl)
{
    for (int k = 0; k < tl.n; k++)
        if (tl.streams[k].audio.sample_rate > 0)
            return &tl.streams[k];
    return nullptr;
}

// Microseconds as milliseconds with three decimals, in the C locale's
// digits whatever the process's locale.
std::string ms_text(int64_t us)
{
    char out[48];
    format_fixed((double)us / 1000.0, 3, out);
    return out;
}

}  // namespace

join_record join_record_of(const timeline &tl, int file)
{
    join_record r;
    r.file = file;
    r.at_us = tl.file_base_us;
    if (const timeline_stream *st = first_audio(tl)) {
        r.audio = true;
        r.left_out = st->audio.tail_left_out + st->audio.left_out;
        r.discarded = st->audio.before_discarded + st->audio.silenced;
        r.offset_us = st->audio.error_us;
    }
    return r;
}

void append_joins(std::string *text, const std::vector<join_record> &joins)
{
    *text += ",\"joins\":[";
    for (size_t i = 0; i < joins.size(); i++) {
        const join_record &r = joins[i];
        *text += i ? ",{" : "{";
        *text += "\"file\":" + std::to_string(r.file) + ",\"at_ms\":" + ms_text(r.at_us);
        if (r.audio)
            *text += ",\"audio_left_out\":" + std::to_string(r.left_out) +
                     ",\"audio_discarded\":" + std::to_string(r.discarded) +
                     ",\"audio_offset_ms\":" + ms_text(r.offset_us);
        *text += "}";
    }
    *text += "]";
}
