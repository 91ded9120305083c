// SPDX-License-Identifier: MIT
// What a path string names, worked out once: the `file:` prefix that
// FFmpeg's file protocol strips, a relative path made absolute against the
// working directory of the moment, and symbolic links followed. The
// directories are resolved as the system resolves them when it opens the
// path: each must exist, and `..` goes up from where the links before it
// lead, so "missing/../x" names nothing (it is kept as given, for opening
// to fail as it will). A job keeps
// the resolved paths, so that a host that changes its working directory or
// a link that is moved later changes nothing about the files it reads and
// writes, and two spellings of one file are seen to be the same.
#ifndef VIDEOMERGE_RESOLVED_PATH_H
#define VIDEOMERGE_RESOLVED_PATH_H

#include "capacity.h"
#include "files/platform_file.h"

// A resolved path fits a path slot, so that the check reads the same
// strings the job opens.
enum { VM_RESOLVED_CAP = VM_PATH_CAP };

struct resolved_path {
    // True when FFmpeg would open the path as a local file (no protocol, or
    // `file:`); otherwise `path` is the string as given, for FFmpeg to refuse.
    bool local;
    char path[VM_RESOLVED_CAP];  // absolute, links followed
    vm_file_status status;       // what stands there now
    // The directory holding the path's last name, which tells one
    // directory reached by two names (a bind mount) for one; kind
    // VM_FILE_MISSING when that directory is not there.
    vm_file_status dir_status;
};

// The part of `path` that FFmpeg's file protocol opens, or null when FFmpeg
// would take the path for another protocol ("http:", "concat:", ...).
const char *local_file_part(const char *path);

// Resolves `given`; -1 when it cannot be (a resolved path too long to keep,
// or a working directory that cannot be read).
int resolve_path(const char *given, resolved_path *out);

// True when a and b name the same file: the same identity where both
// exist; otherwise the same last name in the same directory (by identity,
// however the directory was reached), or the same resolved path.
bool same_file(const resolved_path &a, const resolved_path &b);

#endif
