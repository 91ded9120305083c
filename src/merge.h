// The merge worker: copies every packet of every input of a job slot into
// its output file and ends by storing the job's final state.
#ifndef VIDEOMERGE_MERGE_H
#define VIDEOMERGE_MERGE_H

struct vm_session;

// Runs one merge to its end on the calling thread. `slot` is a vm_session
// with paths, file_count, out_path and total_ms filled and everything else
// zero. The worker-thread entry point.
void merge_thread(void *slot);

// Deletes the job's output file, but only if the job created or opened it.
void remove_job_output(vm_session *s);

#endif
