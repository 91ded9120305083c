// SPDX-License-Identifier: MIT
#include "files/resolved_path.h"

#include <cstring>
#include <string>
#include <system_error>

#include "files/fs_path.h"

namespace {

// FFmpeg's URL scheme characters: a path that begins with these and a ':'
// names a protocol (and "subfile," one of its own).
bool is_scheme_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.';
}

bool is_drive_path(const char *p)
{
#if defined(_WIN32)
    return p[0] && p[1] == ':';
#else
    (void)p;
    return false;
#endif
}

}  // namespace

const char *local_file_part(const char *path)
{
    if (std::strncmp(path, "file:", 5) == 0)
        return path + 5;
    size_t n = 0;
    while (is_scheme_char(path[n]))
        n++;
    bool protocol = path[n] == ':' || (std::strncmp(path, "subfile,", 8) == 0 && std::strchr(path + 8, ':'));
    return protocol && !is_drive_path(path) ? nullptr : path;
}

int resolve_path(const char *given, resolved_path *out)
{
    std::memset(out, 0, sizeof *out);
    const char *local = local_file_part(given);
    out->local = local != nullptr;
    if (local && !*local)
        return -1;  // "file:" alone names nothing
    if (!local) {
        if (std::strlen(given) >= VM_RESOLVED_CAP)
            return -1;
        std::strcpy(out->path, given);
        return 0;
    }
    std::error_code ec;
    auto abs = std::filesystem::absolute(fs_path(local), ec);
    if (ec)
        return -1;
    // A link whose target is not there yet names that target (as opening
    // it for writing would); weakly_canonical would stop at the link.
    for (int hops = 0; hops < 40; hops++) {
        std::error_code lec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(abs, lec)) || lec)
            break;
        auto target = std::filesystem::read_symlink(abs, lec);
        if (lec)
            break;
        abs = target.is_absolute() ? target : abs.parent_path() / target;
    }
    // The directories are followed as the system follows them; the last
    // name, not there yet or a file, is kept as it is below them.
    std::filesystem::path name = abs.filename();
    std::filesystem::path resolved = abs;
    bool dir_known = false;
    if (!name.empty() && name != "." && name != "..") {
        auto dir = std::filesystem::canonical(abs.parent_path(), ec);
        if (!ec) {
            resolved = dir / name;
            dir_known = true;
        }
    } else {
        auto whole = std::filesystem::canonical(abs, ec);
        if (!ec)
            resolved = whole;
    }
    std::string s = resolved.u8string();
    if (s.size() >= VM_RESOLVED_CAP)
        return -1;
    std::memcpy(out->path, s.c_str(), s.size() + 1);
    vm_file_status_of(out->path, &out->status);
    if (dir_known)
        vm_file_status_of(resolved.parent_path().u8string().c_str(), &out->dir_status);
    return 0;
}

bool same_file(const resolved_path &a, const resolved_path &b)
{
    bool a_there = a.status.kind == VM_FILE_REGULAR || a.status.kind == VM_FILE_DIRECTORY;
    bool b_there = b.status.kind == VM_FILE_REGULAR || b.status.kind == VM_FILE_DIRECTORY;
    if (a_there && b_there)
        return a.status.device == b.status.device && a.status.inode == b.status.inode;
    // A name not there yet: one directory may be reached by two paths (a
    // bind mount, a second mount of one file system), which no text tells
    // apart, and a job writes its output into the directory it found.
    if (a.dir_status.kind == VM_FILE_DIRECTORY && b.dir_status.kind == VM_FILE_DIRECTORY &&
        a.dir_status.device == b.dir_status.device && a.dir_status.inode == b.dir_status.inode) {
        std::filesystem::path an = fs_path(a.path).filename(), bn = fs_path(b.path).filename();
        if (an == bn)
            return true;
    }
    return std::strcmp(a.path, b.path) == 0;
}
