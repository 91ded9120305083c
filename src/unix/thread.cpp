// SPDX-License-Identifier: MIT
#include "thread.h"

namespace {

// Runs the record's routine; the thread's result is unused.
void *vm_tramp(void *p)
{
    vm_thread *t = static_cast<vm_thread *>(p);
    t->routine(t->arg);
    return nullptr;
}

}  // namespace

int vm_thread_start(vm_thread *t)
{
    return pthread_create(&t->handle, nullptr, vm_tramp, t) == 0 ? 0 : -1;
}

void vm_thread_join(vm_thread *t)
{
    pthread_join(t->handle, nullptr);
}

void vm_thread_release(vm_thread *)
{
    // pthread_join has already released everything the thread held.
}
