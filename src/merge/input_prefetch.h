// SPDX-License-Identifier: MIT
// Opens the merge's next input on a helper thread while the worker copies
// the current one. Opening reads the header, and, when the check's analysis
// cannot be reused, the stream information, which decodes a few frames and
// costs about as much as copying a short file; doing it alongside the copy
// takes it off the merge's critical path. At most two inputs are open at
// once.
#ifndef VIDEOMERGE_INPUT_PREFETCH_H
#define VIDEOMERGE_INPUT_PREFETCH_H

#include "thread.h"

struct AVFormatContext;
struct kept_analysis;

struct input_prefetch {
    vm_thread thread;
    bool started;      // a helper thread is working on `path`
    const char *path;  // null when nothing is pending
    kept_analysis *kept;
    AVFormatContext *ic;
    int result;        // open_for_merge's result
    int av_error;
    bool reused;       // opened with the kept analysis
};

// Starts opening `path` in the background, with what the check kept of it
// (may be null). When no thread can be started, the opening happens in
// prefetch_take instead.
void prefetch_start(input_prefetch *p, const char *path, kept_analysis *kept);

// Waits for the pending input; returns open_for_merge's result and, on
// success, hands over the open context and whether the kept analysis was
// used.
int prefetch_take(input_prefetch *p, AVFormatContext **ic, int *av_error, bool *reused);

// Waits for and closes whatever is pending; safe on a zeroed record.
void prefetch_discard(input_prefetch *p);

#endif
