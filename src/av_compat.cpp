// SPDX-License-Identifier: MIT
#include "av_compat.h"

#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

const AVPacketSideData *stream_side_data(const AVStream *st, int *count)
{
#if VM_SIDE_DATA_IN_PARAMETERS
    *count = st->codecpar->nb_coded_side_data;
    return st->codecpar->coded_side_data;
#else
    *count = st->nb_side_data;
    return st->side_data;
#endif
}

const uint8_t *stream_side_data_of(const AVStream *st, enum AVPacketSideDataType type, size_t *size)
{
#if VM_SIDE_DATA_IN_PARAMETERS
    const AVPacketSideData *sd =
        av_packet_side_data_get(st->codecpar->coded_side_data, st->codecpar->nb_coded_side_data, type);
    if (size)
        *size = sd ? sd->size : 0;
    return sd ? sd->data : nullptr;
#else
    return av_stream_get_side_data(st, type, size);
#endif
}

int stream_add_side_data(AVStream *st, enum AVPacketSideDataType type, const uint8_t *data, size_t size)
{
#if VM_SIDE_DATA_IN_PARAMETERS
    AVPacketSideData *sd =
        av_packet_side_data_new(&st->codecpar->coded_side_data, &st->codecpar->nb_coded_side_data, type, size, 0);
    if (!sd)
        return AVERROR(ENOMEM);
    if (size)
        std::memcpy(sd->data, data, size);
#else
    uint8_t *copy = av_stream_new_side_data(st, type, size);
    if (!copy)
        return AVERROR(ENOMEM);
    if (size)
        std::memcpy(copy, data, size);
#endif
    return 0;
}

int stream_copy_side_data(AVStream *to, const AVStream *from)
{
#if VM_SIDE_DATA_IN_PARAMETERS
    (void)to;
    (void)from;
#else
    int count = 0;
    const AVPacketSideData *sd = stream_side_data(from, &count);
    for (int i = 0; i < count; i++) {
        int ret = stream_add_side_data(to, sd[i].type, sd[i].data, sd[i].size);
        if (ret < 0)
            return ret;
    }
#endif
    return 0;
}
