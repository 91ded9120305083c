// SPDX-License-Identifier: MIT
// Job control and reports behind the exported job functions.
#ifndef VIDEOMERGE_JOBS_H
#define VIDEOMERGE_JOBS_H

// videomerge_start's codes below zero.
enum {
    VM_START_BAD_ARGS = -1,
    VM_START_NO_SLOT = -2,
    VM_START_UNREADABLE = -3,
    VM_START_NO_WORKER = -4,
    VM_START_INCOMPATIBLE = -5,
};

// options: the merge options' JSON, or null.
int job_start(const char *list, const char *out_path, const char *options);
int job_status(int id);
void job_cancel(int id);
void job_free(int id);

// The texts return the slot's own buffer, or the constant bad-id text.
const char *job_progress(int id);
const char *job_result(int id);

#endif
