// SPDX-License-Identifier: MIT
#include "api/session.h"

#include <cstring>
#include <thread>

#include "inspect/kept_analysis.h"

vm_session g_sessions[VM_MAX_JOBS];

void session_reset(vm_session *s)
{
    s->in_use.store(0, std::memory_order_relaxed);
    s->state.store(VM_STATE_PENDING, std::memory_order_relaxed);
    s->cancel.store(0, std::memory_order_relaxed);
    vm_path_list().swap(s->paths);  // their memory goes with them
    s->file_count = 0;
    std::vector<input_piece>().swap(s->pieces);
    std::vector<int64_t>().swap(s->piece_ms);
    s->options = merge_options();
    s->not_applied.store(0, std::memory_order_relaxed);
    std::memset(s->out_path, 0, sizeof s->out_path);
    vm_path_list().swap(s->open_paths);
    std::vector<vm_file_status>().swap(s->in_status);
    for (kept_analysis *&k : s->kept)
        free_analysis(&k);
    std::vector<kept_analysis *>().swap(s->kept);
    std::memset(&s->out, 0, sizeof s->out);
    output_dir_close(&s->out_dir);
    std::memset(&s->out_dir, 0, sizeof s->out_dir);
    s->finishing.store(0, std::memory_order_relaxed);
    s->current_file.store(0, std::memory_order_relaxed);
    s->processed_ms.store(0, std::memory_order_relaxed);
    s->total_ms = 0;
    s->estimated_bytes = 0;
    s->reannex = 0;
    s->left_out.store(0, std::memory_order_relaxed);
    s->packets.store(0, std::memory_order_relaxed);
    s->out_size_bytes.store(0, std::memory_order_relaxed);
    s->output_ms.store(0, std::memory_order_relaxed);
    std::vector<join_record>().swap(s->joins);
    s->elapsed_ms.store(0, std::memory_order_relaxed);
    std::memset(s->error, 0, sizeof s->error);
    s->thread = nullptr;
}

vm_session *session_for_id(int id)
{
    // Unsigned, so that negative ids are out of range too.
    if ((unsigned)id >= (unsigned)VM_MAX_JOBS)
        return nullptr;
    vm_session *s = &g_sessions[id];
    return s->in_use.load(std::memory_order_relaxed) ? s : nullptr;
}

slot_guard::slot_guard(vm_session *s) : s_(s)
{
    while (s_->guard.exchange(1, std::memory_order_acquire))
        std::this_thread::yield();
}

slot_guard::~slot_guard()
{
    s_->guard.store(0, std::memory_order_release);
}
