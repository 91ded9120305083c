// SPDX-License-Identifier: MIT
// The progress and result texts of a job slot.
#include <algorithm>
#include <string>

#include "api/jobs.h"
#include "api/session.h"
#include "text.h"

namespace {

const char BAD_ID[] = "{\"error\":\"bad id\"}";

// Each host thread has answer buffers of its own, one per job id: a text
// handed out stays as it is until the same thread asks again about the
// same id, whatever other threads ask meanwhile.
thread_local char t_progress[VM_MAX_JOBS][VM_PROGRESS_CAP];
// A result grows with the joins it lists.
thread_local std::string t_result[VM_MAX_JOBS];

// Percent of the expected total reached on stream 0; 100 once done, and
// only then: the output is in place. Stream 0 and the container durations
// need not agree, so it is capped below that until the job is done.
double percent_of(int state, int64_t processed_ms, int64_t total_ms)
{
    if (state == VM_STATE_DONE)
        return 100.0;
    double divisor = total_ms > 0 ? (double)total_ms : 1.0;
    return std::min(99.9, (double)processed_ms * 100.0 / divisor);
}

// `,"streams_left_out":[i,j]`: the first input's streams the output
// does not have; appended at pos.
size_t append_left_out(char *out, size_t cap, size_t pos, vm_stream_mask mask)
{
    pos += format_text(out + pos, cap - pos, ",\"streams_left_out\":[");
    const char *sep = "";
    for (int i = 0; i < 64; i++)
        if (mask >> i & 1) {
            pos += format_text(out + pos, cap - pos, "%s%d", sep, i);
            sep = ",";
        }
    return pos + format_text(out + pos, cap - pos, "]");
}

// The answer write(id, s) gives about job `id`, made while the job's slot is
// guarded (a free waits for it), or BAD_ID when the id names no job.
template <class Write>
const char *answer_about(int id, Write write)
{
    vm_session *s = session_for_id(id);
    if (!s)
        return BAD_ID;
    slot_guard guard(s);
    if (!s->in_use.load(std::memory_order_relaxed))  // freed before the guard was taken
        return BAD_ID;
    return write(id, s);
}

const char *write_progress(int id, vm_session *s)
{
    char *out = t_progress[id];
    int state = s->state.load(std::memory_order_acquire);
    int64_t processed = s->processed_ms.load(std::memory_order_relaxed);
    char percent[32];
    format_fixed(percent_of(state, processed, s->total_ms), 1, percent);
    // Finishing: every packet is copied; the index, the trailer, the sync
    // and the rename take their time on a long output.
    const char *phase = s->finishing.load(std::memory_order_relaxed) ? "finishing" : "copying";
    format_text(out, VM_PROGRESS_CAP,
                "{\"state\":%d,\"percent\":%s,\"current_file\":%d,\"total_files\":%d,"
                "\"processed_ms\":%lld,\"total_ms\":%lld,\"packets\":%lld,\"phase\":\"%s\"}",
                state, percent, s->current_file.load(std::memory_order_relaxed), s->file_count,
                (long long)processed, (long long)s->total_ms,
                (long long)s->packets.load(std::memory_order_relaxed), phase);
    return out;
}

const char *write_result(int id, vm_session *s)
{
    char out[VM_RESULT_CAP];
    int state = s->state.load(std::memory_order_acquire);
    if (state == VM_STATE_FAILED) {
        char error[VM_ERROR_CAP * 6];  // a control byte becomes \u0001, six bytes
        json_escape(s->error, error, sizeof error);
        format_text(out, VM_RESULT_CAP,
                    "{\"state\":%d,\"ok\":false,\"error\":\"%s\"}", state, error);
        t_result[id] = out;
        return t_result[id].c_str();
    }
    char out_path[VM_PATH_CAP * 6];  // as escaped at worst
    json_escape(s->out_path, out_path, sizeof out_path);
    size_t pos = format_text(out, VM_RESULT_CAP,
                "{\"state\":%d,\"ok\":%s,\"out_path\":\"%s\",\"out_size_bytes\":%lld,"
                "\"files_merged\":%d,\"duration_ms\":%lld,\"packets_written\":%lld,"
                "\"elapsed_ms\":%lld",
                state, state == VM_STATE_DONE ? "true" : "false", out_path,
                (long long)s->out_size_bytes.load(std::memory_order_relaxed), s->file_count,
                (long long)s->total_ms, (long long)s->packets.load(std::memory_order_relaxed),
                (long long)s->elapsed_ms.load(std::memory_order_relaxed));
    pos = append_left_out(out, VM_RESULT_CAP, pos, s->left_out.load(std::memory_order_relaxed));
    // The measured length once done (duration_ms is the check's expected
    // total: segments of one recording overlap, some files declare none).
    if (state == VM_STATE_DONE)
        pos += format_text(out + pos, VM_RESULT_CAP - pos, ",\"output_duration_ms\":%lld",
                           (long long)s->output_ms.load(std::memory_order_relaxed));
    // Options the output's container (or system) could not honour, by
    // their keys; only when there are any, so that a start without
    // options answers as it always has.
    unsigned not_applied = s->not_applied.load(std::memory_order_relaxed);
    if (state == VM_STATE_DONE && not_applied) {
        static const struct {
            unsigned bit;
            const char *key;
        } OPTIONS[] = {{VM_NOT_APPLIED_CHAPTERS, "chapters"},
                       {VM_NOT_APPLIED_TIMECODE, "timecode"},
                       {VM_NOT_APPLIED_FILE_TIME, "file_time"}};
        pos += format_text(out + pos, VM_RESULT_CAP - pos, ",\"options_not_applied\":[");
        const char *sep = "";
        for (const auto &o : OPTIONS)
            if (not_applied & o.bit) {
                pos += format_text(out + pos, VM_RESULT_CAP - pos, "%s\"%s\"", sep, o.key);
                sep = ",";
            }
        pos += format_text(out + pos, VM_RESULT_CAP - pos, "]");
    }
    t_result[id].assign(out, std::min<size_t>(pos, VM_RESULT_CAP - 1));
    // How each join was fitted, once done: where each file begins and
    // what of its audio was left out or dropped around it.
    if (state == VM_STATE_DONE)
        append_joins(&t_result[id], s->joins);
    t_result[id] += "}";
    return t_result[id].c_str();
}

}  // namespace

const char *job_progress(int id)
{
    return answer_about(id, write_progress);
}

const char *job_result(int id)
{
    return answer_about(id, write_result);
}
