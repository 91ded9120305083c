// Opens and analyses the merge's next input on a helper thread while the
// worker copies the current one. Reading an input's stream information
// decodes a few frames and costs about as much as copying a short file, so
// doing it alongside the copy takes it off the merge's critical path. At
// most two inputs are open at once.
#ifndef VIDEOMERGE_INPUT_PREFETCH_H
#define VIDEOMERGE_INPUT_PREFETCH_H

#include "thread.h"

struct AVFormatContext;

struct input_prefetch {
    vm_thread thread;
    bool started;      // a helper thread is working on `path`
    const char *path;  // null when nothing is pending
    AVFormatContext *ic;
    int result;        // open_media's result
    int av_error;
};

// Starts opening `path` in the background. When no thread can be started,
// the opening happens in prefetch_take instead.
void prefetch_start(input_prefetch *p, const char *path);

// Waits for the pending input; returns open_media's result and, on
// success, hands over the open context.
int prefetch_take(input_prefetch *p, AVFormatContext **ic, int *av_error);

// Waits for and closes whatever is pending; safe on a zeroed record.
void prefetch_discard(input_prefetch *p);

#endif
