/* SPDX-License-Identifier: MIT */
/* Loaded into the videomerge command by bench/run (LD_PRELOAD) for one row
 * of the table: the merge without waiting for the disk. The command syncs
 * its output before it reports done; the ffmpeg tool and mkvmerge leave
 * theirs in the page cache, so this row shows what the sync costs on the
 * machine at hand. Never used outside the benchmark. */
#define _GNU_SOURCE
#include <sys/types.h>

int fsync(int fd)
{
    (void)fd;
    return 0;
}

int fdatasync(int fd)
{
    (void)fd;
    return 0;
}

int sync_file_range(int fd, off64_t offset, off64_t nbytes, unsigned int flags)
{
    (void)fd;
    (void)offset;
    (void)nbytes;
    (void)flags;
    return 0;
}
