// File-system paths from the UTF-8 byte strings that the host passes (the
// same bytes FFmpeg opens, on every platform).
#ifndef VIDEOMERGE_FS_PATH_H
#define VIDEOMERGE_FS_PATH_H

#include <filesystem>

inline std::filesystem::path fs_path(const char *utf8)
{
    return std::filesystem::u8path(utf8);
}

#endif
