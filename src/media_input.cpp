#include "media_input.h"

#include "formats.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/avstring.h>
#include <libavutil/error.h>
}

int open_local_options(AVDictionary **opts)
{
    return av_dict_set(opts, "protocol_whitelist", "file", 0);
}

int open_media(const char *path, AVFormatContext **ctx, int *av_error)
{
    *ctx = nullptr;
    AVFormatContext *ic = nullptr;
    AVDictionary *opts = nullptr;
    // Only the demuxers on the library's list: playlists and scripts
    // (hls, dash, concat, ...) that would open other files or the network
    // on the say-so of the file being opened are not on it.
    int ret = open_local_options(&opts);
    if (ret >= 0)
        ret = restrict_demuxers(&opts);
    if (ret >= 0)
        ret = avformat_open_input(&ic, path, nullptr, &opts);
    av_dict_free(&opts);
    // FFmpeg answers a format that is not on the list with EINVAL; the
    // file protocol itself does not give that code for a path.
    if (ret == AVERROR(EINVAL))
        ret = VM_AVERROR_FORMAT_NOT_SUPPORTED;
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
    if (av_error == VM_AVERROR_FORMAT_NOT_SUPPORTED) {
        av_strlcpy(buf, "format not supported", cap);
        return;
    }
    // For an unknown code FFmpeg still writes a generic text.
    av_strerror(av_error, buf, cap);
}
