/* SPDX-License-Identifier: MIT */
/* Test-only fault injection, loaded with LD_PRELOAD: makes read() or
 * write() on files whose path contains a chosen text fail with a chosen
 * errno once a number of bytes has gone through, or makes every read of
 * them, or their sync to the disk, slow. A test process sets it up through vm_fault_set, found with
 * dlsym; another program through the environment (VM_FAULT_MATCH,
 * VM_FAULT_OP, VM_FAULT_AFTER, VM_FAULT_ERRNO) when it loads. It also
 * counts the analyses of inputs (FFmpeg's avformat_find_stream_info), read
 * with vm_analyses. Linux only. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/types.h>
#include <unistd.h>

enum { MAX_FD = 4096, MATCH_CAP = 1024 };

static char g_match[MATCH_CAP];
static int g_op;  /* 0 off, 1 read, 2 write, 3 every read sleeps `after` ms, 4 fsync sleeps `after` ms */
static long long g_after;
static int g_errno;
static volatile char g_marked[MAX_FD];
static long long g_done[MAX_FD];

void vm_fault_set(const char *match, int op, long long after, int err)
{
    strncpy(g_match, match ? match : "", MATCH_CAP - 1);
    g_op = op;
    g_after = after;
    g_errno = err;
    memset((void *)g_marked, 0, sizeof g_marked);
}

__attribute__((constructor)) static void from_environment(void)
{
    const char *match = getenv("VM_FAULT_MATCH");
    if (match)
        vm_fault_set(match, atoi(getenv("VM_FAULT_OP") ? getenv("VM_FAULT_OP") : "0"),
                     atoll(getenv("VM_FAULT_AFTER") ? getenv("VM_FAULT_AFTER") : "0"),
                     atoi(getenv("VM_FAULT_ERRNO") ? getenv("VM_FAULT_ERRNO") : "5"));
}

static void mark(int fd, const char *path)
{
    if (fd >= 0 && fd < MAX_FD) {
        g_marked[fd] = g_op && path && g_match[0] && strstr(path, g_match);
        g_done[fd] = 0;
    }
}

typedef int (*open_fn)(const char *, int, ...);
typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*write_fn)(int, const void *, size_t);

#define REAL(name, type)      \
    static type real_##name; \
    if (!real_##name)        \
    real_##name = (type)dlsym(RTLD_NEXT, #name)

static mode_t mode_arg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

static int open_marked(open_fn real, const char *path, int flags, va_list ap)
{
    int fd = real(path, flags, mode_arg(flags, ap));
    mark(fd, path);
    return fd;
}

int open(const char *path, int flags, ...)
{
    REAL(open, open_fn);
    va_list ap;
    va_start(ap, flags);
    int fd = open_marked(real_open, path, flags, ap);
    va_end(ap);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    REAL(open64, open_fn);
    va_list ap;
    va_start(ap, flags);
    int fd = open_marked(real_open64, path, flags, ap);
    va_end(ap);
    return fd;
}

typedef int (*openat_fn)(int, const char *, int, ...);

static int openat_marked(openat_fn real, int dir, const char *path, int flags, va_list ap)
{
    int fd = real(dir, path, flags, mode_arg(flags, ap));
    mark(fd, path);
    return fd;
}

/* The output's file is made by its name inside its directory. */
int openat(int dir, const char *path, int flags, ...)
{
    REAL(openat, openat_fn);
    va_list ap;
    va_start(ap, flags);
    int fd = openat_marked(real_openat, dir, path, flags, ap);
    va_end(ap);
    return fd;
}

int openat64(int dir, const char *path, int flags, ...)
{
    REAL(openat64, openat_fn);
    va_list ap;
    va_start(ap, flags);
    int fd = openat_marked(real_openat64, dir, path, flags, ap);
    va_end(ap);
    return fd;
}

/* Passes at most what is left before the fault; then fails. */
static long long allowed(int fd, int op, size_t n)
{
    if (fd < 0 || fd >= MAX_FD || !g_marked[fd] || g_op != op)
        return (long long)n;
    long long left = g_after - g_done[fd];
    if (left <= 0)
        return -1;
    return (long long)n < left ? (long long)n : left;
}

ssize_t read(int fd, void *buf, size_t n)
{
    REAL(read, read_fn);
    if (g_op == 3 && fd >= 0 && fd < MAX_FD && g_marked[fd]) {
        struct timespec pause = {g_after / 1000, (g_after % 1000) * 1000000};
        nanosleep(&pause, NULL);
        return real_read(fd, buf, n);
    }
    long long ok = allowed(fd, 1, n);
    if (ok < 0) {
        errno = g_errno;
        return -1;
    }
    ssize_t r = real_read(fd, buf, (size_t)ok);
    if (r > 0 && fd < MAX_FD)
        g_done[fd] += r;
    return r;
}

ssize_t write(int fd, const void *buf, size_t n)
{
    REAL(write, write_fn);
    long long ok = allowed(fd, 2, n);
    if (ok < 0) {
        errno = g_errno;
        return -1;
    }
    ssize_t r = real_write(fd, buf, (size_t)ok);
    if (r > 0 && fd < MAX_FD)
        g_done[fd] += r;
    return r;
}

typedef int (*fsync_fn)(int);

int fsync(int fd)
{
    REAL(fsync, fsync_fn);
    if (g_op == 4 && fd >= 0 && fd < MAX_FD && g_marked[fd]) {
        struct timespec pause = {g_after / 1000, (g_after % 1000) * 1000000};
        nanosleep(&pause, NULL);
    }
    return real_fsync(fd);
}

/* Every analysis of an input goes through FFmpeg's avformat_find_stream_info. */
static int g_analyses;

int vm_analyses(void)
{
    return __atomic_load_n(&g_analyses, __ATOMIC_SEQ_CST);
}

typedef int (*find_stream_info_fn)(void *, void **);

int avformat_find_stream_info(void *ic, void **options)
{
    REAL(avformat_find_stream_info, find_stream_info_fn);
    __atomic_add_fetch(&g_analyses, 1, __ATOMIC_SEQ_CST);
    return real_avformat_find_stream_info(ic, options);
}
