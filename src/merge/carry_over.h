// SPDX-License-Identifier: MIT
// What an output takes over from its inputs besides their packets: each
// stream's tags, disposition flags and side data (rotation, HDR and Dolby
// Vision configuration, 3D, 360°), and the file's own tags. All come from
// the first input; the muxer stores what its container has room for.
#ifndef VIDEOMERGE_CARRY_OVER_H
#define VIDEOMERGE_CARRY_OVER_H

#include <cstdint>

struct AVFormatContext;
struct AVStream;

// Gives output stream `out` the tags, dispositions and side data of input
// stream `in`. Call after the output stream's parameters are set, before
// the header is written. Returns 0, or a negative
// AVERROR when out of memory.
int carry_stream_props(const AVStream *in, AVStream *out);

// Gives the output `oc` the file tags of input `ic` (and, from a broadcast
// capture, the name and provider of its service), and lets the muxer write
// the kinds of side data its output streams carry. Call after the output
// streams are made, before the header is written. Returns 0, or a negative
// AVERROR when out of memory.
int carry_file_props(const AVFormatContext *ic, AVFormatContext *oc);

// What becomes of the first input's timecode (its "timecode" tags, which
// the MP4/MOV muxer turns into one timecode track spanning the output):
// `mode` a vm_timecode; with none the tags go. Where the copy of the first
// input starts offset_us into it (a range), the timecode moves on by as
// many frames, so that it still names the frame it stands on. Returns 1
// when the output gets a timecode track, 0 when not, or a negative AVERROR.
int carry_timecode(AVFormatContext *oc, int mode, int64_t offset_us);

#endif
