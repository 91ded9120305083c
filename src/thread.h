// SPDX-License-Identifier: MIT
// The worker-thread layer: start a thread on a routine with one pointer,
// wait for it without time limit, release it. One implementation per
// platform (src/unix, src/win), chosen by the build.
#ifndef VIDEOMERGE_THREAD_H
#define VIDEOMERGE_THREAD_H

#if defined(_WIN32)
typedef void *vm_thread_handle;  // a Win32 HANDLE
#else
#include <pthread.h>
typedef pthread_t vm_thread_handle;
#endif

// A started worker: its handle, and the routine and argument it runs.
struct vm_thread {
    vm_thread_handle handle;
    void (*routine)(void *arg);
    void *arg;
};

// Starts a thread that runs t->routine(t->arg) and stores its handle in t.
// Returns 0, or -1 when the thread cannot be created.
int vm_thread_start(vm_thread *t);

// Waits, without time limit, for the thread to end.
void vm_thread_join(vm_thread *t);

// Releases the handle of a thread that has been joined.
void vm_thread_release(vm_thread *t);

#endif
