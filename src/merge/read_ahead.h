// SPDX-License-Identifier: MIT
// Reads the current input's packets on a thread of its own, a bounded
// number ahead of the merge, so that demuxing one file (reading, parsing,
// the leading-frame rules of join_start) runs alongside muxing and writing
// the output instead of taking turns with it. On two cores this takes about
// a fifth off an MPEG-TS merge. While it runs, the reading thread alone
// touches the input's format context and join_start record; the merge gets
// each packet with its stream's time base.
#ifndef VIDEOMERGE_READ_AHEAD_H
#define VIDEOMERGE_READ_AHEAD_H

extern "C" {
#include <libavutil/rational.h>
}

struct AVFormatContext;
struct AVPacket;
struct join_start;
struct read_ahead;

// Starts reading `ic` through join_start_read(js, ic, ...). Returns null
// when no thread or memory can be had; the caller then reads in place.
read_ahead *read_ahead_start(join_start *js, AVFormatContext *ic);

// Moves the next packet into pkt and gives its stream's time base; returns
// 0, or what join_start_read returned at the end (AVERROR_EOF, an error).
int read_ahead_take(read_ahead *ra, AVPacket *pkt, AVRational *time_base);

// Stops the thread, waits for it and frees what it read but nobody took;
// the input is the caller's again. Safe on null, sets *ra to null.
void read_ahead_stop(read_ahead **ra);

#endif
