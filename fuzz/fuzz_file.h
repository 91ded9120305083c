// SPDX-License-Identifier: MIT
// A per-process scratch file for the fuzz input, so that parallel fuzzing
// jobs do not share one.
#ifndef VIDEOMERGE_FUZZ_FILE_H
#define VIDEOMERGE_FUZZ_FILE_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

inline std::string fuzz_path(const char *name)
{
    const char *dir = getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/vm_fuzz_" + std::to_string(getpid()) + "_" + name;
}

inline std::string write_fuzz_file(const char *name, const uint8_t *data, size_t size)
{
    std::string path = fuzz_path(name);
    FILE *f = fopen(path.c_str(), "wb");
    if (f) {
        fwrite(data, 1, size, f);
        fclose(f);
    }
    return path;
}

#endif
