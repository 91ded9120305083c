// SPDX-License-Identifier: MIT
#include "merge/reannex.h"

extern "C" {
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

namespace {

const char *filter_name(enum AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_H264: return "h264_mp4toannexb";
    case AV_CODEC_ID_HEVC: return "hevc_mp4toannexb";
    default: return nullptr;
    }
}

int open_one(AVBSFContext **out, const AVStream *st)
{
    const char *name = filter_name(st->codecpar->codec_id);
    const AVBitStreamFilter *filter = name ? av_bsf_get_by_name(name) : nullptr;
    if (!filter || av_bsf_alloc(filter, out) < 0)
        return -1;
    AVBSFContext *bsf = *out;
    if (avcodec_parameters_copy(bsf->par_in, st->codecpar) < 0)
        return -1;
    bsf->time_base_in = st->time_base;
    return av_bsf_init(bsf) < 0 ? -1 : 0;
}

}  // namespace

int reannex_open(reannex_filters *f, const AVFormatContext *ic, vm_stream_mask mask)
{
    for (unsigned j = 0; j < VM_MAX_STREAMS && j < ic->nb_streams; j++) {
        if (!((mask >> j) & 1))
            continue;
        if (open_one(&f->bsf[j], ic->streams[j]) < 0) {
            reannex_close(f);
            return -1;
        }
    }
    return 0;
}

void reannex_close(reannex_filters *f)
{
    for (auto &bsf : f->bsf)
        av_bsf_free(&bsf);
}
