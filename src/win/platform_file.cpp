// SPDX-License-Identifier: MIT
#include "files/platform_file.h"

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>

#include <windows.h>

namespace {

// Paths arrive as UTF-8; the wide calls take UTF-16.
std::wstring wide(const char *utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring w((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &w[0], n);
    w.resize((size_t)n - 1);
    return w;
}

int last_error()
{
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return -ENOENT;
    case ERROR_ACCESS_DENIED: return -EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return -EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return -ENOSPC;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return -EBUSY;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: return -EINVAL;
    case ERROR_FILENAME_EXCED_RANGE: return -ENAMETOOLONG;
    case ERROR_WRITE_PROTECT: return -EROFS;
    case ERROR_DIRECTORY: return -ENOTDIR;
    case ERROR_NOT_SAME_DEVICE: return -EXDEV;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return -ENOMEM;
    default: return -EIO;
    }
}

HANDLE handle(vm_file f) { return reinterpret_cast<HANDLE>(f); }

// Windows has no rename relative to a directory handle (MoveFileExW takes
// paths, and SetFileInformationByHandle's rename takes no directory), so a
// directory of ours is its path, with the separator to add names to it.
// While the job's file is open in it, NTFS refuses to rename the directory,
// which keeps that path right until the file is closed for the rename.
struct win_dir {
    std::wstring path;  // ends in a separator
};

win_dir *dir_of(vm_dir d) { return reinterpret_cast<win_dir *>(d); }

std::wstring in_dir(vm_dir d, const char *name)
{
    return dir_of(d)->path + wide(name);
}

}  // namespace

void vm_file_status_of(const char *path, vm_file_status *st)
{
    *st = vm_file_status{};
    std::wstring w = wide(path);
    DWORD attrs = GetFileAttributesW(w.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        DWORD e = GetLastError();
        st->kind = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? VM_FILE_MISSING : VM_FILE_UNREADABLE;
        return;
    }
    // No access rights asked: this neither blocks on a pipe nor needs read permission.
    HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        st->kind = VM_FILE_UNREADABLE;
        return;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        st->kind = VM_FILE_UNREADABLE;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        st->kind = VM_FILE_DIRECTORY;
    } else {
        st->kind = GetFileType(h) == FILE_TYPE_DISK ? VM_FILE_REGULAR : VM_FILE_OTHER;
    }
    st->device = info.dwVolumeSerialNumber;
    st->inode = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    st->size = (int64_t)(((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow);
    st->modified = (int64_t)(((uint64_t)info.ftLastWriteTime.dwHighDateTime << 32) |
                             info.ftLastWriteTime.dwLowDateTime);
    // The change time moves with every write and every change of the
    // file's attributes, also when a program sets the write time back.
    FILE_BASIC_INFO basic;
    if (GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        st->changed = basic.ChangeTime.QuadPart;
    CloseHandle(h);
}

vm_dir vm_dir_open(const char *dir, int *error)
{
    std::wstring w = wide(dir);
    DWORD attrs = GetFileAttributesW(w.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        // A file where a directory should be is a path not found, as
        // creating a file below it would say.
        *error = attrs == INVALID_FILE_ATTRIBUTES ? last_error() : -ENOENT;
        return -1;
    }
    win_dir *d = new (std::nothrow) win_dir;
    if (!d) {
        *error = -ENOMEM;
        return -1;
    }
    d->path = w;
    if (!w.empty() && w.back() != L'\\' && w.back() != L'/')
        d->path += L'\\';
    *error = 0;
    return reinterpret_cast<vm_dir>(d);
}

void vm_dir_close(vm_dir d)
{
    delete dir_of(d);
}

int64_t vm_dir_free_bytes(vm_dir d)
{
    ULARGE_INTEGER available;  // to this user, quotas counted
    if (!GetDiskFreeSpaceExW(dir_of(d)->path.c_str(), &available, nullptr, nullptr))
        return -1;
    return available.QuadPart > (ULONGLONG)INT64_MAX ? INT64_MAX : (int64_t)available.QuadPart;
}

vm_file vm_file_create_new(vm_dir d, const char *name, int *error)
{
    HANDLE h = CreateFileW(in_dir(d, name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    *error = h == INVALID_HANDLE_VALUE ? last_error() : 0;
    return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<vm_file>(h);
}

int vm_file_write(vm_file f, const uint8_t *buf, size_t n)
{
    while (n > 0) {
        DWORD chunk = n > (1u << 30) ? (1u << 30) : (DWORD)n, written = 0;
        if (!WriteFile(handle(f), buf, chunk, &written, nullptr))
            return last_error();
        if (written == 0)
            return -EIO;
        buf += written;
        n -= written;
    }
    return 0;
}

int64_t vm_file_seek(vm_file f, int64_t offset, int whence)
{
    DWORD method = whence == SEEK_SET ? FILE_BEGIN : whence == SEEK_CUR ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER to, now;
    to.QuadPart = offset;
    if (!SetFilePointerEx(handle(f), to, &now, method))
        return last_error();
    return now.QuadPart;
}

int64_t vm_file_size(vm_file f)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(handle(f), &size) ? size.QuadPart : last_error();
}

int vm_file_sync(vm_file f)
{
    return FlushFileBuffers(handle(f)) ? 0 : last_error();
}

// Windows has no call that starts writing a file's cached pages without
// waiting for them; FlushFileBuffers at the end does it all.
void vm_file_start_writeback(vm_file) {}

int vm_file_close(vm_file f)
{
    return CloseHandle(handle(f)) ? 0 : last_error();
}

namespace {
// FILETIME counts 100 ns from 1601; this many of them lie before 1970.
const int64_t FILETIME_1970 = 116444736000000000LL;
}  // namespace

int vm_file_set_modified(vm_file f, int64_t unix_us)
{
    int64_t t = unix_us * 10 + FILETIME_1970;
    if (t < 0)
        return -EINVAL;
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)((uint64_t)t & 0xFFFFFFFFu);
    ft.dwHighDateTime = (DWORD)((uint64_t)t >> 32);
    return SetFileTime(handle(f), nullptr, nullptr, &ft) ? 0 : last_error();
}

int64_t vm_time_unix_us(int64_t platform_time)
{
    return (platform_time - FILETIME_1970) / 10;
}

int vm_file_may_replace(vm_dir, const char *)
{
    return 0;  // MoveFileExW's reasons (a file open elsewhere) may pass before the end
}

int vm_file_replace(vm_dir d, const char *from, const char *to)
{
    // WRITE_THROUGH: returns once the move is on the disk, which is what a
    // directory sync gives elsewhere.
    return MoveFileExW(in_dir(d, from).c_str(), in_dir(d, to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : last_error();
}

int vm_dir_sync(vm_dir)
{
    return 0;  // MOVEFILE_WRITE_THROUGH has done it
}

int vm_file_remove(vm_dir d, const char *name)
{
    return DeleteFileW(in_dir(d, name).c_str()) ? 0 : last_error();
}

unsigned long vm_process_id()
{
    return GetCurrentProcessId();
}
