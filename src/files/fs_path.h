// SPDX-License-Identifier: MIT
// File-system paths from the UTF-8 byte strings that the host passes (the
// same bytes FFmpeg opens, on every platform).
#ifndef VIDEOMERGE_FS_PATH_H
#define VIDEOMERGE_FS_PATH_H

#include <cstdint>
#include <filesystem>
#include <system_error>

inline std::filesystem::path fs_path(const char *utf8)
{
    return std::filesystem::u8path(utf8);
}

// A file's size as a 64-bit count (files over 2 GiB included, where a
// `long` is 32 bits), or -1 when it cannot be read.
inline int64_t file_size_bytes(const char *utf8)
{
    std::error_code ec;
    auto size = std::filesystem::file_size(fs_path(utf8), ec);
    return ec ? -1 : (int64_t)size;
}

#endif
