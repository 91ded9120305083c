// SPDX-License-Identifier: MIT
#include "merge/mp3_padding.h"

#include <cstring>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
}

namespace {
// Samples an MP3 decoder puts out before the first one of the stream.
const uint32_t DECODER_DELAY = 528 + 1;
}  // namespace

bool mp3_output_needs_delay_fix(const AVFormatContext *oc)
{
    return std::strcmp(oc->oformat->name, "mp3") == 0;
}

void mp3_keep_delay(AVPacket *pkt, bool first)
{
    size_t size = 0;
    uint8_t *sd = av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &size);
    if (sd && size >= 10 && (!first || AV_RL32(sd) < DECODER_DELAY))
        AV_WL32(sd, DECODER_DELAY);  // a packet's side data is its own
}
