#include "media_input.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

int open_media(const char *path, AVFormatContext **ctx, int *av_error)
{
    *ctx = nullptr;
    AVFormatContext *ic = nullptr;
    int ret = avformat_open_input(&ic, path, nullptr, nullptr);
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
