#include "jobs.h"

#include <cstring>
#include <new>
#include <system_error>

#include "compat.h"
#include "fs_path.h"
#include "merge.h"
#include "session.h"
#include "text.h"
#include "thread.h"

namespace {

// An output path leaves room in the slot for its NUL and one byte more.
const size_t MAX_OUT_PATH = VM_PATH_CAP - 2;

// True when out_path is the same file as one of the inputs, however
// spelled: writing it would truncate an input while it is read.
bool output_is_an_input(const vm_path_slots paths, int count, const char *out_path)
{
    std::error_code ec;
    auto out = fs_path(out_path);
    if (!std::filesystem::exists(out, ec))
        return false;
    for (int i = 0; i < count; i++)
        if (std::filesystem::equivalent(out, fs_path(paths[i]), ec))
            return true;
    return false;
}

void release_thread(vm_session *s)
{
    if (!s->thread)
        return;
    vm_thread_join(s->thread);
    vm_thread_release(s->thread);
    delete s->thread;
    s->thread = nullptr;
}

}  // namespace

int job_start(const char *list, const char *out_path)
{
    if (!list || !*list || !out_path || !*out_path || std::strlen(out_path) > MAX_OUT_PATH)
        return VM_START_BAD_ARGS;
    vm_path_slots paths;
    int count = split_paths(list, paths);
    if (count < 2)  // also a too-long line or too many lines
        return VM_START_BAD_ARGS;
    if (output_is_an_input(paths, count, out_path))
        return VM_START_BAD_ARGS;

    char reason[VM_REASON_CAP];
    int64_t total_ms = 0;
    vm_stream_mask reannex = 0;
    int verdict = compat_check(paths, count, &total_ms, reason, &reannex);
    if (verdict < 0)
        return VM_START_UNREADABLE;
    if (verdict == 0)
        return VM_START_INCOMPATIBLE;

    int id = 0;
    while (id < VM_MAX_JOBS && g_sessions[id].in_use.load(std::memory_order_relaxed))
        id++;
    if (id == VM_MAX_JOBS)
        return VM_START_NO_SLOT;
    vm_session *s = &g_sessions[id];
    release_thread(s);
    session_reset(s);
    s->in_use.store(1, std::memory_order_relaxed);
    std::memcpy(s->paths, paths, sizeof paths[0] * count);
    s->file_count = count;
    std::strcpy(s->out_path, out_path);
    s->total_ms = total_ms;
    s->reannex = reannex;

    vm_thread *t = new (std::nothrow) vm_thread{};
    if (t) {
        t->routine = merge_thread;
        t->arg = s;
        if (vm_thread_start(t) == 0) {
            s->thread = t;
            return id;
        }
        delete t;
    }
    s->in_use.store(0, std::memory_order_relaxed);
    return VM_START_NO_WORKER;
}

int job_status(int id)
{
    vm_session *s = session_for_id(id);
    return s ? s->state.load(std::memory_order_acquire) : -1;
}

void job_cancel(int id)
{
    if (vm_session *s = session_for_id(id))
        s->cancel.store(1, std::memory_order_relaxed);
}

void job_free(int id)
{
    vm_session *s = session_for_id(id);
    if (!s)
        return;
    s->cancel.store(1, std::memory_order_relaxed);
    release_thread(s);
    if (s->state.load(std::memory_order_acquire) != VM_STATE_DONE)
        remove_job_output(s);
    s->in_use.store(0, std::memory_order_relaxed);
}
