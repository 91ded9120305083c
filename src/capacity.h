// SPDX-License-Identifier: MIT
// Fixed capacities shared by every part of the library.
#ifndef VIDEOMERGE_CAPACITY_H
#define VIDEOMERGE_CAPACITY_H

enum {
    VM_MAX_JOBS = 4,      // job slots that can be in use at once
    VM_PATH_CAP = 1200,   // bytes per stored path, NUL included
    VM_MAX_STREAMS = 64,  // streams of one input; a file with more is refused
};

// One bit per stream of an input, for per-stream choices made at start.
typedef unsigned long long vm_stream_mask;

#endif
