// SPDX-License-Identifier: MIT
// Opening a media file for reading, shared by the probe, the check and the
// merge worker.
#ifndef VIDEOMERGE_MEDIA_INPUT_H
#define VIDEOMERGE_MEDIA_INPUT_H

extern "C" {
#include <libavutil/error.h>
}

struct AVDictionary;
struct AVFormatContext;

enum {
    VM_INPUT_OK = 0,
    VM_INPUT_OPEN_FAILED = -1,     // avformat_open_input refused the path
    VM_INPUT_NO_STREAM_INFO = -2,  // opened, but its streams cannot be read
    VM_INPUT_NOT_REGULAR = -3,     // a directory, FIFO, device or socket: not opened
};

// Our code for a file whose format is not one the library reads.
#define VM_AVERROR_FORMAT_NOT_SUPPORTED FFERRTAG('V', 'M', 'F', 'S')

// Paths are local files and nothing else: every input and output is
// opened through the file protocol only, so that a path string naming a
// protocol ("concat:", "subfile,", "http://") or a file that names others
// cannot reach beyond the file given. Adds that restriction to `opts`.
int open_local_options(AVDictionary **opts);

// Opens `path` with the format FFmpeg detects and reads its stream
// information, reading a bounded amount of the file to learn it. A path
// that names anything but a regular file is refused before it is opened. A
// format that is not on the library's list (playlists and other formats that
// open further resources among them) is refused as
// VM_AVERROR_FORMAT_NOT_SUPPORTED. On VM_INPUT_OK *ctx is the open input, to be closed
// with avformat_close_input; otherwise *ctx is null and, for
// VM_INPUT_OPEN_FAILED, *av_error holds FFmpeg's error code.
int open_media(const char *path, AVFormatContext **ctx, int *av_error);

// Opens `path` like open_media but reads its header only, without the
// analysis: for a file whose analysis is known already.
int open_media_header(const char *path, AVFormatContext **ctx, int *av_error);

// True when av_read_frame's result `ret` (below zero) means the system
// could not read the file (EIO and the like), as opposed to its end or to
// damage the demuxer stopped at.
bool input_read_failed(const AVFormatContext *ic, int ret);

// FFmpeg's text for an error code, in `buf` of at least 128 bytes.
void av_error_text(int av_error, char *buf, unsigned long cap);

#endif
