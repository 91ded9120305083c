// SPDX-License-Identifier: MIT
#include "thread.h"

#include <windows.h>

namespace {

// Runs the record's routine; the thread's exit code is always 0.
DWORD WINAPI vm_tramp(LPVOID p)
{
    vm_thread *t = static_cast<vm_thread *>(p);
    t->routine(t->arg);
    return 0;
}

}  // namespace

int vm_thread_start(vm_thread *t)
{
    HANDLE h = CreateThread(nullptr, 0, vm_tramp, t, 0, nullptr);
    if (!h)
        return -1;
    t->handle = h;
    return 0;
}

void vm_thread_join(vm_thread *t)
{
    WaitForSingleObject(static_cast<HANDLE>(t->handle), INFINITE);
}

void vm_thread_release(vm_thread *t)
{
    CloseHandle(static_cast<HANDLE>(t->handle));
    t->handle = nullptr;
}
