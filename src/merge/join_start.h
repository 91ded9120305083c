// SPDX-License-Identifier: MIT
// Where an input begins. Its first packets are read ahead so the timeline
// can learn each stream's earliest time before it places the input (and
// how far its decode times run ahead of its presentation times), and a
// later input's leading video frames that cannot decode after a join are
// left out: those before the first keyframe, and those shown before that
// keyframe (open-GOP B-frames referring to frames of the input's past).
#ifndef VIDEOMERGE_JOIN_START_H
#define VIDEOMERGE_JOIN_START_H

#include <cstdint>

#include "merge/timeline.h"

extern "C" {
#include <libavutil/avutil.h>
}

struct AVFormatContext;
struct AVPacket;
struct AVStream;
struct kept_analysis;

// The part of an input the merge copies, on the input's own clock (that of
// AVFormatContext.start_time), in microseconds; AV_NOPTS_VALUE: from the
// start, to the end.
struct input_range {
    int64_t from_us;
    int64_t to_us;
};

struct join_start {
    AVPacket **held;    // packets read ahead, handed out first
    int count, next;    // held packets, and the next one to hand out
    int read_end;       // what av_read_frame said when it ended the read-ahead (0: it did not)
    int streams;        // of the input
    int64_t *first_us;  // per input stream: earliest pts of the first packets kept, or AV_NOPTS_VALUE
    int64_t *dts_lead_us;  // per input stream: most the first packets' dts run ahead of their pts, or 0
    struct lead *leads; // per input stream: leading frames being left out
    AVPacket **hidden;  // per input stream: the last hidden audio packet, held back
    AVPacket *back;     // a packet to hand out before reading on
    bool trim;          // leave out leading frames that cannot decode
    int64_t left_out;   // packets left out so far
    kept_analysis *reused;  // the input was opened with this analysis of the check's
    // Where the copy starts (the video keyframe at or before the range's
    // start; the range's start for audio alone, or where the video's first
    // keyframe comes after it) and ends, or AV_NOPTS_VALUE.
    int64_t cut_from_us;
    int64_t key_us;  // the video keyframe the copy starts at, or AV_NOPTS_VALUE
    int64_t cut_to_us;
    // How much later than its decode time video is shown at most (B-frames):
    // the video decoded before the range's end runs this far past it, and
    // the other streams end there too.
    int64_t reorder_us;
    uint8_t *ended;   // per input stream: has reached the range's end
    int ended_count;  // of the streams that end the range
    int ending;       // streams whose end ends the range: audio and video, else all
};

// Reads the first packets of the input just opened (until every audio and
// video stream has shown one and every video stream a few, within limits),
// fills first_us as if the leading frames were left out, and dts_lead_us.
// `reused` is the check's analysis the input was opened with, if any: its
// packets are read through it. With a range, only what lies in it is handed
// out (see input_range.h); the caller has sought to its start. Returns 0, or
// -1 when out of memory.
int join_start_begin(join_start *js, AVFormatContext *ic, kept_analysis *reused,
                     input_range range = {AV_NOPTS_VALUE, AV_NOPTS_VALUE});

// Whether leading frames that cannot decode are left out from this input:
// not from the first input, nor from one that continues the one before
// (the frames they refer to are there).
void join_start_trim(join_start *js, bool trim);

// Puts n packets (taken over, also on failure) in front of those read
// ahead, to be handed out first; before any packet is handed out. Returns 0,
// or -1 when out of memory.
int join_start_prepend(join_start *js, AVPacket **pkts, int n);

// Hands out the next packet of the input, like av_read_frame.
int join_start_read(join_start *js, AVFormatContext *ic, AVPacket *pkt);

// What the timeline needs to know of an input's stream and of the input:
// start time, whether and where its timestamps may jump or wrap. The
// first_us of the result is left for the caller.
int timeline_kind_of(const AVStream *st);
timeline_file timeline_file_of(const AVFormatContext *ic);

// Releases what begin took; safe on a zeroed or released join_start.
void join_start_end(join_start *js);

#endif
