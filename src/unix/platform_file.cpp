#include "files/platform_file.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

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

vm_file vm_file_create_new(const char *path, int *error)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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

int vm_file_replace(const char *from, const char *to)
{
    return rename(from, to) == 0 ? 0 : -errno;
}

int vm_dir_sync(const char *dir)
{
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    int r = fsync(fd) == 0 ? 0 : -errno;
    close(fd);
    return r;
}

int vm_file_remove(const char *path)
{
    return unlink(path) == 0 ? 0 : -errno;
}

unsigned long vm_process_id()
{
    return (unsigned long)getpid();
}
