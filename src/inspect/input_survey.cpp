#include "inspect/input_survey.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "thread.h"

namespace {

struct survey {
    const char (*paths)[VM_PATH_CAP];
    int count;
    surveyed_input *out;
    std::atomic<int> next;          // the next input to take
    std::atomic<int> first_failed;  // lowest input found unreadable so far
    bool keep;
};

void read_inputs(void *arg)
{
    survey *s = static_cast<survey *>(arg);
    for (;;) {
        int k = s->next.fetch_add(1);
        if (k >= s->count)
            return;
        surveyed_input &in = s->out[k];
        // Past an unreadable input nothing more is needed.
        if (k > s->first_failed.load()) {
            in.status = 1;
            continue;
        }
        in.status = read_fileinfo(s->paths[k], &in.info, in.error, s->keep ? &in.kept : nullptr);
        if (in.status < 0) {
            int seen = s->first_failed.load();
            while (k < seen && !s->first_failed.compare_exchange_weak(seen, k)) {
            }
        }
    }
}

}  // namespace

void survey_inputs(const vm_path_slots paths, int count, surveyed_input *out, bool keep)
{
    for (int k = 0; k < count; k++)
        out[k].kept = nullptr;
    survey s{paths, count, out, {0}, {count}, keep};
    int cores = (int)std::max(1u, std::thread::hardware_concurrency());
    int helpers = std::min(count, cores) - 1;
    vm_thread threads[VM_MAX_FILES];
    int started = 0;
    for (int i = 0; i < helpers; i++) {
        threads[started] = vm_thread{};
        threads[started].routine = read_inputs;
        threads[started].arg = &s;
        if (vm_thread_start(&threads[started]) == 0)
            started++;
    }
    // This thread reads too; if no helper could start, it reads them all.
    read_inputs(&s);
    for (int i = 0; i < started; i++) {
        vm_thread_join(&threads[i]);
        vm_thread_release(&threads[i]);
    }
}
