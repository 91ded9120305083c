// SPDX-License-Identifier: MIT
#include "inspect/input_survey.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "inspect/kept_analysis.h"
#include "thread.h"

namespace {

// What the analyses kept for one merge may hold, in all: codec setups are
// small, but a file may carry dozens of tracks of large ones (240 KiB each
// was seen), and a list may be long. Past this an input is analysed again
// when the merge reaches it, which costs time, not memory.
const size_t KEPT_BUDGET_BYTES = size_t(64) << 20;

struct survey {
    const vm_path_list *paths;
    std::vector<surveyed_input> *out;
    const file_info *first;
    std::atomic<size_t> next;         // the next input to take
    std::atomic<size_t> first_failed; // lowest input found unreadable so far
    std::atomic<size_t> kept_bytes;   // held by the analyses kept so far
    bool keep;
    // The first input is read alongside the others; each of them waits for
    // its summary only to be compared with it.
    std::mutex lock;
    std::condition_variable first_done;
    enum { FIRST_READING, FIRST_READ, FIRST_FAILED } first_state = FIRST_READING;
};

// Waits until the first input is read; true when it could be.
bool first_read(survey *s)
{
    std::unique_lock<std::mutex> g(s->lock);
    s->first_done.wait(g, [s] { return s->first_state != survey::FIRST_READING; });
    return s->first_state == survey::FIRST_READ;
}

// Reads input k into in; with first, compares it with that input's summary.
void read_input(survey *s, size_t k, file_info *info)
{
    surveyed_input &in = (*s->out)[k];
    char error[VM_REASON_CAP > VM_FILEINFO_ERROR_CAP ? VM_REASON_CAP : VM_FILEINFO_ERROR_CAP];
    kept_analysis *kept = nullptr;
    if (read_fileinfo((*s->paths)[k].c_str(), info, error, s->keep ? &kept : nullptr) < 0) {
        in.outcome = surveyed_input::UNREADABLE;
        in.error = error;
        size_t seen = s->first_failed.load();
        while (k < seen && !s->first_failed.compare_exchange_weak(seen, k)) {
        }
        return;
    }
    if (kept) {
        size_t bytes = kept_analysis_bytes(kept);
        if (s->kept_bytes.fetch_add(bytes) + bytes > KEPT_BUDGET_BYTES) {
            s->kept_bytes.fetch_sub(bytes);
            free_analysis(&kept);
        }
    }
    in.kept = kept;
    in.duration_ms = info->duration_ms;
    in.size_bytes = info->size_bytes;
    in.once_bytes = info->once_bytes;
    if (k > 0 && !first_read(s))
        return;  // the check stops at the first input: nothing to compare with
    if (s->first && !compare_fileinfo(*s->first, *info, (int)k + 1, error, &in.differ, &in.mismatches)) {
        in.outcome = surveyed_input::DIFFERENT;
        in.error = error;
        return;
    }
    in.outcome = surveyed_input::READ;
}

void read_inputs(void *arg)
{
    survey *s = static_cast<survey *>(arg);
    std::unique_ptr<file_info> info(new (std::nothrow) file_info);
    if (!info)
        return;  // the inputs this thread would have read are left to the others
    for (;;) {
        size_t k = s->next.fetch_add(1);
        if (k >= s->paths->size())
            return;
        // Past an unreadable input nothing more is needed.
        if (k > s->first_failed.load())
            continue;
        try {
            read_input(s, k, info.get());
        } catch (const std::bad_alloc &) {
            (*s->out)[k].outcome = surveyed_input::NOT_READ;
        }
    }
}

}  // namespace

void survey_inputs(const vm_path_list &paths, std::vector<surveyed_input> &out, bool keep)
{
    out.assign(paths.size(), surveyed_input{});
    std::unique_ptr<file_info> first(new file_info);
    survey s{&paths, &out, nullptr, {1}, {paths.size()}, {0}, keep, {}, {}};
    // Analysing one input decodes a frame or two and costs more than
    // anything else in a check (about 20 ms for a 720p H.264 keyframe);
    // the helpers start on the next inputs while this thread reads the
    // first, so that a list of two takes the time of one on two cores.
    size_t cores = std::max(1u, std::thread::hardware_concurrency());
    size_t helpers = std::min(paths.size() - 1, cores - 1);
    std::vector<vm_thread> threads(helpers);
    size_t started = 0;
    for (size_t i = 0; i < helpers; i++) {
        threads[started] = vm_thread{};
        threads[started].routine = read_inputs;
        threads[started].arg = &s;
        if (vm_thread_start(&threads[started]) == 0)
            started++;
    }
    bool ok = false;
    try {
        read_input(&s, 0, first.get());
        ok = out[0].outcome == surveyed_input::READ;
    } catch (const std::bad_alloc &) {
    }
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (ok) {
            s.first = first.get();
            s.first_state = survey::FIRST_READ;
        } else {
            s.first_failed.store(0);  // nothing past it is needed
            s.first_state = survey::FIRST_FAILED;
        }
        s.first_done.notify_all();
    }
    // This thread reads too; if no helper could start, it reads them all.
    if (ok)
        read_inputs(&s);
    for (size_t i = 0; i < started; i++) {
        vm_thread_join(&threads[i]);
        vm_thread_release(&threads[i]);
    }
}
