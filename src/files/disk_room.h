// SPDX-License-Identifier: MIT
// Whether the output's file system has room for what a job will write,
// told when the job begins, before it makes anything: a full disk found
// after an hour of copying costs the hour.
#ifndef VIDEOMERGE_DISK_ROOM_H
#define VIDEOMERGE_DISK_ROOM_H

#include <cstddef>
#include <cstdint>

#include "files/output_file.h"

// 0 when the file system of `dir` (the output's directory, held) has room
// for about `needed_bytes`, or cannot tell; -1 when it clearly has not,
// with the text naming `out_path` written into `error` (cap bytes). Only a
// clear lack refuses: free space under nine tenths of the estimate.
int check_room(const output_dir &dir, const char *out_path, int64_t needed_bytes, char *error, size_t cap);

#endif
