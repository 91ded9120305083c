// SPDX-License-Identifier: MIT
#include "merge/input_prefetch.h"

#include "inspect/kept_analysis.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

void open_pending(void *arg)
{
    input_prefetch *p = static_cast<input_prefetch *>(arg);
    p->result = open_for_merge(p->path, p->kept, &p->ic, &p->av_error, &p->reused);
}

void finish(input_prefetch *p)
{
    if (p->started) {
        vm_thread_join(&p->thread);
        vm_thread_release(&p->thread);
        p->started = false;
    } else if (p->path) {
        open_pending(p);
    }
    p->path = nullptr;
}

}  // namespace

void prefetch_start(input_prefetch *p, const char *path, kept_analysis *kept)
{
    p->path = path;
    p->kept = kept;
    p->reused = false;
    p->ic = nullptr;
    p->thread = vm_thread{};
    p->thread.routine = open_pending;
    p->thread.arg = p;
    p->started = vm_thread_start(&p->thread) == 0;
}

int prefetch_take(input_prefetch *p, AVFormatContext **ic, int *av_error, bool *reused)
{
    finish(p);
    *ic = p->ic;
    *av_error = p->av_error;
    *reused = p->reused;
    p->ic = nullptr;
    return p->result;
}

void prefetch_discard(input_prefetch *p)
{
    if (p->started)
        finish(p);
    p->path = nullptr;
    avformat_close_input(&p->ic);
}
