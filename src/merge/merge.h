// SPDX-License-Identifier: MIT
// The merge worker: copies every packet of every input of a job slot into
// its output file and ends by storing the job's final state.
#ifndef VIDEOMERGE_MERGE_H
#define VIDEOMERGE_MERGE_H

struct vm_session;

// Runs one merge to its end on the calling thread. `slot` is a vm_session
// with paths, open_paths, file_count, out_path, out and total_ms filled and
// everything else zero. The worker-thread entry point. A job that does not
// finish leaves no file of its own behind, and touches no other.
void merge_thread(void *slot);

#endif
