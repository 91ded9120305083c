// SPDX-License-Identifier: MIT
#include "inspect/formats.h"

#include "ffmpeg_formats.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/dict.h>
}

int restrict_demuxers(AVDictionary **opts)
{
    return av_dict_set(opts, "format_whitelist", VM_DEMUXER_LIST, 0);
}

bool muxer_supported(const AVOutputFormat *fmt)
{
    return fmt && av_match_list(fmt->name, VM_MUXER_LIST, ',') > 0;
}
