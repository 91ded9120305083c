// SPDX-License-Identifier: MIT
// Which streams of the first input an output container takes.
//
// Decided before the output file is created, by asking the output's muxer:
// the streams are tried on a throw-away muxer that writes its header into
// memory, so that whatever it refuses is left out of the merge instead of
// failing it. Streams are added audio and video first, then the rest, each
// kept when the header still succeeds with it; the output keeps the input's
// order. Attached pictures and attachments are carried once, from the first
// input; Matroska stores an attached picture as an attachment, as it came.
#ifndef VIDEOMERGE_STREAM_SELECTION_H
#define VIDEOMERGE_STREAM_SELECTION_H

#include <cstddef>

#include "capacity.h"

struct AVCodecParameters;
struct AVFormatContext;
struct AVOutputFormat;
struct AVStream;

struct stream_selection {
    int count;                       // streams of the first input
    int kept;                        // output streams
    int out_index[VM_MAX_STREAMS];   // output stream of each input stream, or -1
    vm_stream_mask once;             // streams carried from the first input only
    vm_stream_mask as_attachment;    // attached pictures the output holds as attachments
    vm_stream_mask left_out;         // input streams the output does not have
    // The sample-entry tag an output stream keeps from an MP4/MOV input
    // where the muxer has none of its own for the codec (GoPro's gpmd in
    // MOV); 0 lets the muxer pick.
    unsigned codec_tag[VM_MAX_STREAMS];
};

// Decides which streams of `ic` (the first input, `path` as the host named
// it) an output of format `of` keeps. pars[i] is what output stream i would
// be created from (the input's parameters, or a filter's output). Returns 0,
// or -1 with a reason in `reason` (cap bytes) when no audio or video stream
// can be stored, or when out of memory.
int select_streams(const AVFormatContext *ic, const char *path, const AVCodecParameters *const *pars,
                   const AVOutputFormat *of, stream_selection *sel, char *reason, size_t cap);

// Sets up output stream `out` of format `of` for input stream `in` from
// `par`: what the muxer needs to accept it. Returns 0, or a negative AVERROR.
int setup_output_stream(AVStream *out, const AVStream *in, const AVCodecParameters *par,
                        const AVOutputFormat *of);

// The output stream for a packet of input stream `index` of input file j
// (1-based), or -1 when the packet is not written.
int output_stream_of(const stream_selection &sel, int index, int j);

// A short name of a stream's kind: "video", "audio", "subtitle", "data",
// "attachment", "attached picture".
const char *stream_kind(const AVStream *st);

#endif
