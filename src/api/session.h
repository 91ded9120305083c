// SPDX-License-Identifier: MIT
// The job table: one slot per merge job, shared by the host's calls and
// the job's worker thread.
#ifndef VIDEOMERGE_SESSION_H
#define VIDEOMERGE_SESSION_H

#include <atomic>
#include <cstdint>

#include <vector>

#include "capacity.h"
#include "files/output_file.h"
#include "files/resolved_path.h"
#include "merge/join_audit.h"
#include "merge_options.h"
#include "text.h"

struct kept_analysis;
struct vm_thread;

enum {
    VM_STATE_PENDING = 0,
    VM_STATE_RUNNING = 2,
    VM_STATE_DONE = 3,
    VM_STATE_CANCELLED = 4,
    VM_STATE_FAILED = 5,
};

enum { VM_NOT_APPLIED_CHAPTERS = 1, VM_NOT_APPLIED_TIMECODE = 2, VM_NOT_APPLIED_FILE_TIME = 4 };

enum { VM_ERROR_CAP = 256, VM_PROGRESS_CAP = 512, VM_RESULT_CAP = 8192 };

// Start and free change which job a slot holds while other host threads
// may ask for that id's progress or result: both sides hold the slot's
// `guard` (a short spin lock, never held while waiting for a worker), so a
// report describes one job whole, or answers "bad id".
//
// While a job runs, the host writes only `cancel` (and `thread` once, right
// after creating the worker); the worker writes the figures, `error` and
// last of all the final state, stored with release order so that a host
// that reads a final state with acquire order also sees the outcome and the
// output in place (or, for a job that did not finish, its temporary file
// removed).
struct vm_session {
    std::atomic<int> in_use;
    std::atomic<int> state;
    std::atomic<int> cancel;
    vm_path_list paths;  // as the host gave them, for the texts; one per piece
    int file_count;      // pieces: the inputs, a trimmed one once per range
    // What the job copies of each entry of paths, and how long that is
    // expected to be; the options it was started with (trims spent into the
    // pieces).
    std::vector<input_piece> pieces;
    std::vector<int64_t> piece_ms;
    merge_options options;
    // Bits of VM_NOT_APPLIED_*: options given that the output's container
    // could not honour. Written by the worker before the final state.
    std::atomic<unsigned> not_applied;
    char out_path[VM_PATH_CAP];
    // What the job opens and writes: the paths resolved at start, and what
    // stood there then (the guards against two jobs sharing a file).
    vm_path_list open_paths;
    std::vector<vm_file_status> in_status;
    // What the check learnt of each input, for the worker to reuse when
    // the file has not changed since (null: analyse it again). The worker
    // frees each once it has opened the input.
    std::vector<kept_analysis *> kept;
    resolved_path out;
    // The output's directory, opened at start; the worker takes it over.
    output_dir out_dir;
    // Set once every packet is copied and the worker writes what follows
    // them: the index and trailer, the sync, the rename.
    std::atomic<int> finishing;
    std::atomic<int> current_file;
    std::atomic<int64_t> processed_ms;
    int64_t total_ms;
    int64_t estimated_bytes;  // about what the output takes (the check's estimate)
    // Bit j: stream j is H.264/HEVC whose parameter sets differ between the
    // inputs; the worker gives its packets their own file's sets in band.
    vm_stream_mask reannex;
    // Bit i: stream i of the first input is not in the output (the
    // container cannot store it). Written by the worker before it creates
    // the output.
    std::atomic<vm_stream_mask> left_out;
    std::atomic<int64_t> packets;
    std::atomic<int64_t> out_size_bytes;
    // The output's audio and video as written, first start to last end.
    std::atomic<int64_t> output_ms;
    // One record per join, in order; written by the worker before the
    // final state, read for the result once the job is done.
    std::vector<join_record> joins;
    std::atomic<int64_t> elapsed_ms;
    char error[VM_ERROR_CAP];
    std::atomic<int> guard;
    vm_thread *thread;
};

extern vm_session g_sessions[VM_MAX_JOBS];

// Clears every field of a slot (but its guard), as a fresh slot reads, and
// frees what the last job left in it.
void session_reset(vm_session *s);

// Holds a slot's guard for as long as it lives.
class slot_guard {
public:
    explicit slot_guard(vm_session *s);
    ~slot_guard();
    slot_guard(const slot_guard &) = delete;
    slot_guard &operator=(const slot_guard &) = delete;

private:
    vm_session *s_;
};

// The slot for a job id, or null when the id is out of range or free.
vm_session *session_for_id(int id);

#endif
