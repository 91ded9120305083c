// Fixed capacities shared by every part of the library.
#ifndef VIDEOMERGE_CAPACITY_H
#define VIDEOMERGE_CAPACITY_H

enum {
    VM_MAX_JOBS = 4,      // job slots that can be in use at once
    VM_MAX_FILES = 32,    // paths in one list
    VM_PATH_CAP = 1200,   // bytes per stored path, NUL included
    VM_MAX_STREAMS = 64,  // streams of one input; a file with more is refused
};

// One bit per stream of an input, for per-stream choices made at start.
typedef unsigned long long vm_stream_mask;

// The path-slot array that split_paths fills, on the stack of the check and
// of job start and inside every job slot.
typedef char vm_path_slots[VM_MAX_FILES][VM_PATH_CAP];

#endif
