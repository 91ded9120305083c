// SPDX-License-Identifier: MIT
#include "api/jobs.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "inspect/compat.h"
#include "inspect/kept_analysis.h"
#include "merge/merge.h"
#include "files/resolved_path.h"
#include "api/session.h"
#include "merge_options.h"
#include "text.h"
#include "thread.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// An output path leaves room in the slot for its NUL and one byte more.
const size_t MAX_OUT_PATH = VM_PATH_CAP - 2;

// A start's paths, as given and as resolved.
struct start_request {
    vm_path_list given;
    int count = 0;
    std::vector<resolved_path> inputs;
    vm_path_list open_paths;
    resolved_path out;
    std::vector<kept_analysis *> kept;  // what the check learnt, until the job holds it
    output_dir out_dir;                 // until the job holds it
    ~start_request()
    {
        for (kept_analysis *&k : kept)
            free_analysis(&k);
        output_dir_close(&out_dir);
    }
};

resolved_path as_resolved(const char *path, const vm_file_status &st)
{
    resolved_path r;
    std::memset(&r, 0, sizeof r);
    r.local = true;
    std::strcpy(r.path, path);
    r.status = st;
    return r;
}

// True when the output would land on a file that a job reads or writes:
// one of this job's inputs, or an input or the output of a job still
// running; or when one of this job's inputs is another running job's
// output. Writing there would truncate a file while it is read, or leave
// two writers on one file.
bool shares_a_file(const start_request &r)
{
    for (int i = 0; i < r.count; i++)
        if (r.inputs[i].local && same_file(r.out, r.inputs[i]))
            return true;
    for (vm_session &other : g_sessions) {
        if (!other.in_use.load(std::memory_order_relaxed) ||
            other.state.load(std::memory_order_acquire) >= VM_STATE_DONE)
            continue;
        if (same_file(r.out, other.out))
            return true;
        for (int k = 0; k < other.file_count; k++)
            if (same_file(r.out, as_resolved(other.open_paths[k].c_str(), other.in_status[k])))
                return true;
        for (int i = 0; i < r.count; i++)
            if (r.inputs[i].local && same_file(r.inputs[i], other.out))
                return true;
    }
    return false;
}

// Resolves the paths and refuses an output that is not a place for one
// file: not local, not a regular file where something stands, a muxer that
// writes files of its own (playlists, segments, image sequences), or a
// file some job reads or writes.
bool resolve_request(start_request &r, const char *out_path)
{
    for (int i = 0; i < r.count; i++) {
        if (resolve_path(r.given[i].c_str(), &r.inputs[i]) < 0)
            return false;
        r.open_paths[i] = r.inputs[i].path;
    }
    if (resolve_path(out_path, &r.out) < 0 || !r.out.local)
        return false;
    if (r.out.status.kind != VM_FILE_MISSING && r.out.status.kind != VM_FILE_REGULAR)
        return false;
    const AVOutputFormat *fmt = av_guess_format(nullptr, out_path, nullptr);
    if (fmt && (fmt->flags & AVFMT_NOFILE))
        return false;
    return !shares_a_file(r);
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

int start_job(const char *list, const char *out_path, const char *options)
{
    std::unique_ptr<start_request> req(new start_request());
    start_request &r = *req;
    vm_path_list listed;
    int listed_count = split_paths(list, listed);
    if (listed_count == VM_SPLIT_NO_MEMORY)
        return VM_START_NO_WORKER;
    if (listed_count < 2)  // also a too-long line
        return VM_START_BAD_ARGS;
    merge_options opts;
    std::string refused;  // videomerge_check_with tells the host
    if (parse_merge_options(options, listed_count, &opts, &refused) < 0)
        return VM_START_BAD_ARGS;
    // From here on the job's inputs are its pieces: a file with several
    // ranges is read once per range.
    std::vector<input_piece> pieces = pieces_of(opts, listed_count);
    r.count = (int)pieces.size();
    r.given.resize(r.count);
    for (int i = 0; i < r.count; i++)
        r.given[i] = listed[pieces[i].file];
    r.inputs.resize(r.count);
    r.open_paths.resize(r.count);
    if (!resolve_request(r, out_path))
        return VM_START_BAD_ARGS;
    // The output goes into this directory, wherever it is moved meanwhile.
    output_dir_open(&r.out_dir, r.out.path);

    check_result checked;
    int verdict = compat_check(r.open_paths, checked, CHECK_KEEP);
    r.kept.swap(checked.kept);
    if (verdict < 0)
        return VM_START_UNREADABLE;
    if (verdict == 0)
        return VM_START_INCOMPATIBLE;
    if (check_pieces(pieces, listed, checked.file_ms, &refused) < 0)
        return VM_START_BAD_ARGS;
    std::vector<int64_t> expected_ms(r.count);
    int64_t total_ms = 0, total_bytes = 0;
    for (int i = 0; i < r.count; i++) {
        expected_ms[i] = piece_ms(pieces[i], checked.file_ms[i]);
        total_ms += expected_ms[i];
        total_bytes += piece_bytes(pieces[i], checked.file_ms[i], checked.file_bytes[i]);
        // The merge seeks into a range that starts later: what the check
        // read from the file's start is of no use there.
        if (pieces[i].from_ms > 0)
            free_analysis(&r.kept[i]);
    }
    opts.trims.clear();  // spent into the pieces

    std::vector<vm_file_status> in_status(r.count);
    for (int i = 0; i < r.count; i++)
        in_status[i] = r.inputs[i].status;

    int id = 0;
    while (id < VM_MAX_JOBS && g_sessions[id].in_use.load(std::memory_order_relaxed))
        id++;
    if (id == VM_MAX_JOBS)
        return VM_START_NO_SLOT;
    vm_session *s = &g_sessions[id];
    release_thread(s);
    slot_guard claimed(s);
    session_reset(s);
    s->in_use.store(1, std::memory_order_relaxed);
    // Moved, not copied: nothing here can fail once the slot is claimed.
    s->paths.swap(r.given);
    s->open_paths.swap(r.open_paths);
    s->in_status.swap(in_status);
    s->file_count = r.count;
    std::strcpy(s->out_path, out_path);
    s->out = r.out;
    s->pieces.swap(pieces);
    s->piece_ms.swap(expected_ms);
    s->options = std::move(opts);
    s->total_ms = total_ms;
    s->estimated_bytes = total_bytes;
    s->reannex = checked.reannex;
    s->kept.swap(r.kept);
    s->out_dir = r.out_dir;
    r.out_dir.held = false;

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
    for (kept_analysis *&k : s->kept)
        free_analysis(&k);
    output_dir_close(&s->out_dir);
    s->in_use.store(0, std::memory_order_relaxed);
    return VM_START_NO_WORKER;
}

}  // namespace

int job_start(const char *list, const char *out_path, const char *options)
{
    if (!list || !*list || !out_path || !*out_path || std::strlen(out_path) > MAX_OUT_PATH)
        return VM_START_BAD_ARGS;
    try {
        return start_job(list, out_path, options);
    } catch (const std::bad_alloc &) {  // a list too long for the memory there is
        return VM_START_NO_WORKER;
    }
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
    slot_guard released(s);
    session_reset(s);  // the job's lists and analyses go now, not at the next start
}
