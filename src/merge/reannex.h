// SPDX-License-Identifier: MIT
// Bitstream filters that rewrite length-prefixed H.264/HEVC packets with
// start codes and put the file's parameter sets in front of every keyframe.
// Used for streams whose parameter sets differ between the inputs, so that
// each file's frames decode with their own sets after a join.
#ifndef VIDEOMERGE_REANNEX_H
#define VIDEOMERGE_REANNEX_H

#include "capacity.h"

struct AVBSFContext;
struct AVFormatContext;

struct reannex_filters {
    AVBSFContext *bsf[VM_MAX_STREAMS];  // null for streams copied untouched
};

// Opens a filter, set up from this input's own stream parameters, for each
// stream j of `ic` whose bit is set in `mask`. Returns 0, or -1 (nothing
// left open) when a filter cannot be made.
int reannex_open(reannex_filters *f, const AVFormatContext *ic, vm_stream_mask mask);

// Frees every filter; safe on a zeroed or already closed set.
void reannex_close(reannex_filters *f);

#endif
