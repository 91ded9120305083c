// SPDX-License-Identifier: MIT
#include "inspect/media_input.h"

#include "inspect/first_picture.h"
#include "inspect/formats.h"

#include "files/platform_file.h"
#include "files/resolved_path.h"
#include "text.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/avstring.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {

// What opening and analysing one file may read. FFmpeg's own limits count
// the packets that come out; a file that is not media (an ID3 tag and then
// a gigabyte of zeros) gives none and was read, and held in memory by the
// parser, to its end. 16 MiB is three times FFmpeg's default packet budget
// for the analysis (5 MB).
const int64_t ANALYSIS_READ_CAP = 16ll << 20;
// Matroska and MP4 headers are read element by element, each as long as it
// says it is, so what they read is what the file holds before its media:
// fonts and covers that mkvmerge puts before the first cluster (tens of
// megabytes for subtitled films), the sample tables of a recording of many
// hours at the end of an MP4. Their header may take this much; the
// analysis after it the cap above.
const int64_t STRUCTURED_HEADER_CAP = 1ll << 30;

bool structured_header(const AVInputFormat *fmt)
{
    static const char *const names[] = {"matroska,webm", "mov,mp4,m4a,3gp,3g2,mj2"};
    return fmt && name_in(fmt->name, names);
}

// Where reading an input being opened stands against its cap, in
// AVFormatContext.opaque while the file is opened and analysed.
struct read_limit {
    int64_t analysis_from = -1;  // bytes read when the analysis began; -1 while the header is read
};

// FFmpeg polls this before every read: reading stops once the cap is
// passed, and only while the file is opened, not while it is copied. The
// format is known (ic->iformat) once FFmpeg has probed the file, before its
// header is read.
int read_cap(void *opaque)
{
    const AVFormatContext *ic = static_cast<const AVFormatContext *>(opaque);
    const read_limit *limit = static_cast<const read_limit *>(ic->opaque);
    if (!limit || !ic->pb)
        return 0;
    int64_t read = ic->pb->bytes_read;
    if (limit->analysis_from >= 0)
        return read - limit->analysis_from > ANALYSIS_READ_CAP;
    return read > (structured_header(ic->iformat) ? STRUCTURED_HEADER_CAP : ANALYSIS_READ_CAP);
}

// The analysis of a structured header's file may read the cap after the
// header; any other file's header and analysis share it.
void begin_analysis(AVFormatContext *ic)
{
    read_limit *limit = static_cast<read_limit *>(ic->opaque);
    if (limit && ic->pb)
        limit->analysis_from = structured_header(ic->iformat) ? ic->pb->bytes_read : 0;
}

// True when `path` is a local file that exists and is not a regular file
// (a FIFO, a device, a socket, a directory): opening a FIFO would wait for a
// writer without end, and a device has no end at all.
bool names_a_special_file(const char *path)
{
    const char *local = local_file_part(path);
    if (!local)
        return false;
    vm_file_status st;
    vm_file_status_of(local, &st);
    return st.kind == VM_FILE_DIRECTORY || st.kind == VM_FILE_OTHER;
}

}  // namespace

int open_local_options(AVDictionary **opts)
{
    return av_dict_set(opts, "protocol_whitelist", "file", 0);
}

namespace {

// Opens `path` and reads its header, with the read cap on; the analysis, if
// one follows, is read under the same cap.
int open_header(const char *path, AVFormatContext **ctx, int *av_error, read_limit *limit)
{
    *ctx = nullptr;
    if (names_a_special_file(path))
        return VM_INPUT_NOT_REGULAR;
    AVFormatContext *ic = avformat_alloc_context();
    if (!ic) {
        *av_error = AVERROR(ENOMEM);
        return VM_INPUT_OPEN_FAILED;
    }
    ic->opaque = limit;
    ic->interrupt_callback.callback = read_cap;
    ic->interrupt_callback.opaque = ic;
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
    *ctx = ic;
    return VM_INPUT_OK;
}

// FFmpeg's analysis of an input: it decodes a few frames of each stream to
// learn what the header does not say, and throws the pictures away. The
// loop filter only smooths those pictures (up to a fifth of the analysis
// time of H.264 and HEVC), so it is skipped: what the analysis learns is
// the same, field for field, on every file we measured. An H.264 stream
// in MP4/MOV decodes no picture at all where the start of its first one
// tells the same (first_picture.h).
int analyse(AVFormatContext *ic)
{
    unsigned n = ic->nb_streams;
    AVDictionary **opts = static_cast<AVDictionary **>(av_calloc(n > 0 ? n : 1, sizeof *opts));
    if (!opts)
        return AVERROR(ENOMEM);
    int ret = 0;
    for (unsigned i = 0; i < n && ret >= 0; i++)
        ret = av_dict_set(&opts[i], "skip_loop_filter", "all", 0);
    if (ret >= 0)
        ret = seed_from_first_pictures(ic, opts);
    if (ret >= 0)
        ret = avformat_find_stream_info(ic, opts);
    for (unsigned i = 0; i < n; i++)
        av_dict_free(&opts[i]);
    av_free(opts);
    return ret;
}

// Opens `path`, with or without the analysis, within the read cap.
int open_input(const char *path, AVFormatContext **ctx, int *av_error, bool analysed)
{
    read_limit limit;
    int opened = open_header(path, ctx, av_error, &limit);
    if (opened != VM_INPUT_OK)
        return opened;
    AVFormatContext *ic = *ctx;
    bool failed = read_cap(ic);
    if (!failed) {
        begin_analysis(ic);
        failed = (analysed && analyse(ic) < 0) || read_cap(ic);
    }
    ic->opaque = nullptr;  // the cap is for opening only, not for the copy
    if (failed) {
        avformat_close_input(ctx);
        return VM_INPUT_NO_STREAM_INFO;
    }
    return VM_INPUT_OK;
}

}  // namespace

int open_media(const char *path, AVFormatContext **ctx, int *av_error)
{
    return open_input(path, ctx, av_error, true);
}

int open_media_header(const char *path, AVFormatContext **ctx, int *av_error)
{
    return open_input(path, ctx, av_error, false);
}

bool input_read_failed(const AVFormatContext *ic, int ret)
{
    // The I/O layer keeps the first read error; the demuxer above it often
    // reports only that the data ended.
    if (ic->pb && ic->pb->error < 0 && ic->pb->error != AVERROR_EOF)
        return true;
    return ret == AVERROR(EIO);
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
