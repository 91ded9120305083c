// SPDX-License-Identifier: MIT
#include "files/platform_file.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

void vm_file_status_of(const char *path, vm_file_status *st)
{
    *st = vm_file_status{};
    struct stat sb;
    if (stat(path, &sb) != 0) {
        st->kind = errno == ENOENT || errno == ENOTDIR ? VM_FILE_MISSING : VM_FILE_UNREADABLE;
        return;
    }
    st->kind = S_ISREG(sb.st_mode) ? VM_FILE_REGULAR : S_ISDIR(sb.st_mode) ? VM_FILE_DIRECTORY : VM_FILE_OTHER;
    st->device = (uint64_t)sb.st_dev;
    st->inode = (uint64_t)sb.st_ino;
    st->size = (int64_t)sb.st_size;
    st->modified = (int64_t)sb.st_mtim.tv_sec * 1000000000 + sb.st_mtim.tv_nsec;
    st->changed = (int64_t)sb.st_ctim.tv_sec * 1000000000 + sb.st_ctim.tv_nsec;
}

vm_dir vm_dir_open(const char *dir, int *error)
{
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
    // A directory one may write and search but not list still takes new
    // files; such a descriptor serves every call but the sync.
    if (fd < 0 && errno == EACCES)
        fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
    *error = fd < 0 ? -errno : 0;
    return fd;
}

void vm_dir_close(vm_dir d)
{
    close((int)d);
}

int64_t vm_dir_free_bytes(vm_dir d)
{
    struct statvfs st;
    if (fstatvfs((int)d, &st) != 0 || st.f_frsize == 0)
        return -1;
    // The blocks an unprivileged writer may use (root may use the reserve).
    unsigned long long free_blocks = geteuid() == 0 ? st.f_bfree : st.f_bavail;
    unsigned long long bytes = free_blocks * (unsigned long long)st.f_frsize;
    return bytes > (unsigned long long)INT64_MAX ? INT64_MAX : (int64_t)bytes;
}

vm_file vm_file_create_new(vm_dir d, const char *name, int *error)
{
    int fd = openat((int)d, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    *error = fd < 0 ? -errno : 0;
    return fd;
}

int vm_file_write(vm_file f, const uint8_t *buf, size_t n)
{
    while (n > 0) {
        ssize_t w = write((int)f, buf, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return w < 0 ? -errno : -EIO;
        buf += w;
        n -= (size_t)w;
    }
    return 0;
}

int64_t vm_file_seek(vm_file f, int64_t offset, int whence)
{
    off_t r = lseek((int)f, (off_t)offset, whence);
    return r < 0 ? -errno : (int64_t)r;
}

int64_t vm_file_size(vm_file f)
{
    struct stat sb;
    return fstat((int)f, &sb) == 0 ? (int64_t)sb.st_size : -errno;
}

int vm_file_sync(vm_file f)
{
    return fsync((int)f) == 0 ? 0 : -errno;
}

void vm_file_start_writeback(vm_file f)
{
#ifdef __linux__
    // Pages already on their way are not waited for; 0, 0 is the whole file.
    sync_file_range((int)f, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)f;
#endif
}

int vm_file_close(vm_file f)
{
    return close((int)f) == 0 ? 0 : -errno;
}

int vm_file_set_modified(vm_file f, int64_t unix_us)
{
    int64_t sec = unix_us / 1000000, us = unix_us % 1000000;
    if (us < 0) {
        sec--;
        us += 1000000;
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;  // the access time stays
    times[1].tv_sec = (time_t)sec;
    times[1].tv_nsec = (long)(us * 1000);
    return futimens((int)f, times) == 0 ? 0 : -errno;
}

int64_t vm_time_unix_us(int64_t platform_time)
{
    return platform_time / 1000;  // nanoseconds
}

namespace {

// What a rename's checks look at: the owner, the mode and, on Linux, the
// immutable and append-only flags (chattr +i, +a), which bind root too.
struct entry_info {
    uid_t owner;
    mode_t mode;
    bool immutable;
    bool append_only;
};

int entry_of(int dir, const char *name, entry_info *e)
{
#ifdef __linux__
    struct statx sx;
    int flags = AT_SYMLINK_NOFOLLOW | (*name ? 0 : AT_EMPTY_PATH);
    if (statx(dir, name, flags, STATX_UID | STATX_MODE, &sx) != 0)
        return -errno;
    e->owner = sx.stx_uid;
    e->mode = sx.stx_mode;
    uint64_t known = sx.stx_attributes & sx.stx_attributes_mask;
    e->immutable = (known & STATX_ATTR_IMMUTABLE) != 0;
    e->append_only = (known & STATX_ATTR_APPEND) != 0;
#else
    struct stat sb;
    if ((*name ? fstatat(dir, name, &sb, AT_SYMLINK_NOFOLLOW) : fstat(dir, &sb)) != 0)
        return -errno;
    e->owner = sb.st_uid;
    e->mode = sb.st_mode;
    e->immutable = e->append_only = false;
#endif
    return 0;
}

// Whether the process may remove others' files from a sticky directory
// (CAP_FOWNER). When that cannot be told, it is taken that it may.
bool may_override_sticky()
{
#ifdef __linux__
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return true;
    return (data[CAP_FOWNER / 32].effective >> (CAP_FOWNER % 32) & 1) != 0;
#else
    return geteuid() == 0;
#endif
}

}  // namespace

int vm_file_may_replace(vm_dir d, const char *name)
{
    // Without write and search permission nothing is made here at all,
    // and making our file says so in the system's words.
    if (faccessat((int)d, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return 0;
    entry_info dir, target;
    if (entry_of((int)d, "", &dir) != 0)
        return 0;
    // An append-only directory takes new names but lets none go: neither
    // our file's name at the rename nor, on a failure, our file itself.
    if (dir.append_only)
        return -EPERM;
    if (entry_of((int)d, name, &target) != 0)
        return 0;  // nothing there (or nothing to tell): the rename makes the name
    if (target.append_only || target.immutable)
        return -EPERM;
    // In a sticky directory (such as /tmp) only the file's owner, the
    // directory's owner or a privileged process may replace a file.
    uid_t me = geteuid();
    if ((dir.mode & S_ISVTX) && me != target.owner && me != dir.owner && !may_override_sticky())
        return -EPERM;
    return 0;
}

int vm_file_replace(vm_dir d, const char *from, const char *to)
{
    return renameat((int)d, from, (int)d, to) == 0 ? 0 : -errno;
}

int vm_dir_sync(vm_dir d)
{
    return fsync((int)d) == 0 ? 0 : -errno;
}

int vm_file_remove(vm_dir d, const char *name)
{
    return unlinkat((int)d, name, 0) == 0 ? 0 : -errno;
}

unsigned long vm_process_id()
{
    return (unsigned long)getpid();
}
