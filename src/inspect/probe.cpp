// SPDX-License-Identifier: MIT
#include "inspect/probe.h"

#include "inspect/media_input.h"
#include "text.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// Room kept free after each stream entry for one more separator and entry
// plus the closing "]}", so that no entry is ever cut.
const size_t ENTRY_RESERVE = 513;

const char *media_type_name(enum AVMediaType t)
{
    switch (t) {
    case AVMEDIA_TYPE_VIDEO: return "video";
    case AVMEDIA_TYPE_AUDIO: return "audio";
    case AVMEDIA_TYPE_SUBTITLE: return "subtitle";
    case AVMEDIA_TYPE_DATA: return "data";
    case AVMEDIA_TYPE_ATTACHMENT: return "attachment";
    default: return "other";
    }
}

long long duration_ms(const AVFormatContext *ic)
{
    return ic->duration == AV_NOPTS_VALUE ? 0 : (long long)(ic->duration / 1000);
}

size_t append_stream(char *out, size_t cap, unsigned index, const AVStream *st)
{
    const AVCodecParameters *par = st->codecpar;
    const char *codec = avcodec_get_name(par->codec_id);
    char fps[32];
    AVRational r = st->avg_frame_rate;
    format_fixed(r.den > 0 ? (double)r.num / (double)r.den : 0.0, 3, fps);
    return format_text(out, cap,
                       "{\"index\":%u,\"type\":\"%s\",\"codec\":\"%s\",\"width\":%d,"
                       "\"height\":%d,\"fps\":%s,\"channels\":%d,\"sample_rate\":%d,"
                       "\"bitrate\":%lld}",
                       index, media_type_name(par->codec_type), codec ? codec : "?",
                       par->width, par->height, fps, par->ch_layout.nb_channels,
                       par->sample_rate, (long long)par->bit_rate);
}

}  // namespace

void write_probe_json(const char *path, char *out, size_t cap)
{
    if (!path || !*path) {
        format_text(out, cap, "{\"ok\":false,\"error\":\"empty path\"}");
        return;
    }
    AVFormatContext *ic = nullptr;
    int av_error = 0;
    int opened = open_media(path, &ic, &av_error);
    if (opened == VM_INPUT_OPEN_FAILED) {
        char msg[128], escaped[256];
        av_error_text(av_error, msg, sizeof msg);
        json_escape(msg, escaped, sizeof escaped);
        format_text(out, cap, "{\"ok\":false,\"error\":\"open: %s\"}", escaped);
        return;
    }
    if (opened == VM_INPUT_NOT_REGULAR) {
        char escaped[VM_PATH_CAP * 6];  // a control byte becomes \u0001, six bytes
        json_escape(path, escaped, sizeof escaped);
        format_text(out, cap, "{\"ok\":false,\"error\":\"not a regular file: %s\"}", escaped);
        return;
    }
    if (opened != VM_INPUT_OK) {
        format_text(out, cap, "{\"ok\":false,\"error\":\"no stream info\"}");
        return;
    }

    size_t pos = format_text(out, cap, "{\"ok\":true,\"duration_ms\":%lld,\"format\":\"%s\",\"streams\":[",
                             duration_ms(ic), ic->iformat && ic->iformat->name ? ic->iformat->name : "");
    for (unsigned i = 0; i < ic->nb_streams; i++) {
        if (i != 0)
            pos += format_text(out + pos, cap - pos, ",");
        pos += append_stream(out + pos, cap - pos, i, ic->streams[i]);
        if (pos > cap - ENTRY_RESERVE)
            break;
    }
    format_text(out + pos, cap - pos, "]}");
    avformat_close_input(&ic);
}
