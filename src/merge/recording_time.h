// SPDX-License-Identifier: MIT
// When a recording was made, for an output that is to carry it as its
// modification time (photo and video libraries sort by it): the
// creation_time its camera or phone wrote into the file, else the file's
// own modification time.
#ifndef VIDEOMERGE_RECORDING_TIME_H
#define VIDEOMERGE_RECORDING_TIME_H

#include <cstdint>

#include "files/platform_file.h"

struct AVFormatContext;

// Microseconds since 1970 (UTC) for input `ic`, whose file was seen as `st`.
int64_t recording_time_us(const AVFormatContext *ic, const vm_file_status &st);

#endif
