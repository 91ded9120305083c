// SPDX-License-Identifier: MIT
#include "files/disk_room.h"

#include "text.h"

namespace {

const int64_t MB = 1000000;

}  // namespace

int check_room(const output_dir &dir, const char *out_path, int64_t needed_bytes, char *error, size_t cap)
{
    if (!dir.held || needed_bytes <= 0)
        return 0;  // a directory that cannot be opened fails the job on its own
    int64_t free_bytes = vm_dir_free_bytes(dir.handle);
    // The estimate is the inputs' sizes (later files' attachments aside): a
    // stream copy writes within a few percent of it, less only where the
    // container leaves streams out. A tenth of slack keeps a close call
    // from being refused.
    if (free_bytes < 0 || free_bytes >= needed_bytes - needed_bytes / 10)
        return 0;
    format_text(error, cap, "not enough space for %s: about %lld MB needed, %lld MB free", out_path,
                (long long)((needed_bytes + MB - 1) / MB), (long long)(free_bytes / MB));
    return -1;
}
