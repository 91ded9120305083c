#include "media_input.h"

#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

namespace {

// Demuxers that read other files or the network on the say-so of the file
// being opened: a playlist disguised as video could otherwise bring another
// local file (or a server's answer) into a probe or a merged output.
const char *const OPENS_OTHER_RESOURCES[] = {"hls", "dash", "concat", "imf", "sdp", "rtp", "rtsp", "sap", "lavfi"};

bool opens_other_resources(const AVInputFormat *fmt)
{
    for (const char *name : OPENS_OTHER_RESOURCES)
        if (std::strcmp(fmt->name, name) == 0)
            return true;
    return false;
}

}  // namespace

int open_local_options(AVDictionary **opts)
{
    return av_dict_set(opts, "protocol_whitelist", "file", 0);
}

int open_media(const char *path, AVFormatContext **ctx, int *av_error)
{
    *ctx = nullptr;
    AVFormatContext *ic = nullptr;
    AVDictionary *opts = nullptr;
    int ret = open_local_options(&opts);
    if (ret >= 0)
        ret = avformat_open_input(&ic, path, nullptr, &opts);
    av_dict_free(&opts);
    if (ret >= 0 && opens_other_resources(ic->iformat)) {
        avformat_close_input(&ic);
        ret = AVERROR(EPERM);
    }
    if (ret < 0) {
        *av_error = ret;
        return VM_INPUT_OPEN_FAILED;
    }
    if (avformat_find_stream_info(ic, nullptr) < 0) {
        avformat_close_input(&ic);
        return VM_INPUT_NO_STREAM_INFO;
    }
    *ctx = ic;
    return VM_INPUT_OK;
}

void av_error_text(int av_error, char *buf, unsigned long cap)
{
    // For an unknown code FFmpeg still writes a generic text.
    av_strerror(av_error, buf, cap);
}
