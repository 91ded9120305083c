// SPDX-License-Identifier: MIT
// The media probe: one file described as JSON.
#ifndef VIDEOMERGE_PROBE_H
#define VIDEOMERGE_PROBE_H

#include <cstddef>

// Writes the probe answer for `path` (may be null) into `out`, which must
// hold at least 1024 bytes. Stream entries stop before they could overflow,
// so the text is always complete JSON.
void write_probe_json(const char *path, char *out, size_t cap);

#endif
