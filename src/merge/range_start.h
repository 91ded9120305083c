// SPDX-License-Identifier: MIT
// Where the copy of a trimmed input begins. The demuxer is sought to the
// video keyframe at or before the range's start (a stream copy cannot
// start between keyframes) and the input's first packets are read from
// there. Demuxers without an index (MPEG-TS, MP3) land near the time asked
// for, sometimes after it; then the seek goes further back, up to the
// file's start, so that nothing of the range is lost.
#ifndef VIDEOMERGE_RANGE_START_H
#define VIDEOMERGE_RANGE_START_H

#include "merge/join_start.h"

// The time that ranges of input `ic` count from: its start time. One
// beyond any recording's (damage) counts as zero, as on the timeline.
int64_t range_clock_start(const AVFormatContext *ic);

// join_start_begin for `range` of input `ic`, after the seek its start
// needs. Returns 0, or -1 when out of memory.
int begin_range(join_start *js, AVFormatContext *ic, kept_analysis *reused, input_range range);

#endif
