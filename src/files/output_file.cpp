// SPDX-License-Identifier: MIT
#include "files/output_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "av_compat.h"
#include "files/fs_path.h"
#include "text.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {

const int IO_BUFFER_SIZE = 256 * 1024;
// The disk is asked to take the output in steps of this many bytes while
// the merge runs, instead of all at once in the sync at the end: the
// writing overlaps the copy, and the sync that a job waits for before it is
// done (80 ms of a 94 MB merge here, 3 ms with the steps) has only the
// last step left. It makes that merge about 45 ms faster.
const int64_t WRITEBACK_STEP = 8 << 20;
// Bytes of the output's name kept in the temporary file's name, so that it
// stays within the 255 bytes a name may have.
const size_t NAME_KEPT = 200;

std::atomic<unsigned> g_temp_counter{0};

int write_cb(void *opaque, avio_write_byte *buf, int size)
{
    output_file *f = static_cast<output_file *>(opaque);
    int r = vm_file_write(f->file, buf, (size_t)size);
    if (r < 0) {
        if (!f->write_error)
            f->write_error = AVERROR(-r);
        return AVERROR(-r);
    }
    f->unsent += size;
    if (f->unsent >= WRITEBACK_STEP) {
        vm_file_start_writeback(f->file);
        f->unsent = 0;
    }
    return size;
}

int64_t seek_cb(void *opaque, int64_t offset, int whence)
{
    output_file *f = static_cast<output_file *>(opaque);
    if (whence == AVSEEK_SIZE) {
        int64_t size = vm_file_size(f->file);
        return size < 0 ? AVERROR(-size) : size;
    }
    int64_t r = vm_file_seek(f->file, offset, whence & ~AVSEEK_FORCE);
    return r < 0 ? AVERROR(-r) : r;
}

// The temporary name for attempt n: the output's name cut at a character
// boundary, the process and the attempt.
bool temp_name(const char *final_name, unsigned n, char *out)
{
    char kept[NAME_KEPT + 1];
    format_text(kept, sizeof kept, "%s", final_name);
    char tail[64];
    std::snprintf(tail, sizeof tail, ".videomerge-%lu-%u.part", vm_process_id(), n);
    std::string t = std::string(".") + kept + tail;
    if (t.size() >= VM_TEMP_PATH_CAP)
        return false;
    std::memcpy(out, t.c_str(), t.size() + 1);
    return true;
}

void close_context(AVIOContext **pb)
{
    if (!*pb)
        return;
    av_freep(&(*pb)->buffer);
    avio_context_free(pb);
}

}  // namespace

void output_dir_open(output_dir *d, const char *final_path)
{
    std::memset(d, 0, sizeof *d);
    std::string dir = fs_path(final_path).parent_path().u8string();
    d->handle = vm_dir_open(dir.c_str(), &d->error);
    d->held = d->handle != -1;
}

void output_dir_close(output_dir *d)
{
    if (d->held)
        vm_dir_close(d->handle);
    d->held = false;
}

int output_file_open(output_file *f, const char *final_path, output_dir *dir, AVIOContext **pb)
{
    std::memset(f, 0, sizeof *f);
    if (!dir->held && !dir->error)
        output_dir_open(dir, final_path);  // a slot prepared without one
    if (!dir->held) {
        f->error = dir->error;
        return VM_OPEN_FAILED;
    }
    f->dir = dir->handle;
    f->dir_held = true;
    dir->held = false;
    std::string name = fs_path(final_path).filename().u8string();
    if (name.size() >= sizeof f->final_name) {
        f->error = -ENAMETOOLONG;
        return VM_OPEN_FAILED;
    }
    std::memcpy(f->final_name, name.c_str(), name.size() + 1);
    // Before anything is made: a file made where it may not be renamed
    // might not be removable either (an append-only directory).
    if ((f->error = vm_file_may_replace(f->dir, f->final_name)) < 0)
        return VM_OPEN_NO_REPLACE;
    // A name left by an earlier process with the same id, or taken by
    // someone else, is never reused: the next number is tried.
    for (int attempt = 0; attempt < 100 && !f->created; attempt++) {
        if (!temp_name(f->final_name, g_temp_counter.fetch_add(1), f->temp_name))
            return VM_OPEN_FAILED;
        f->file = vm_file_create_new(f->dir, f->temp_name, &f->error);
        f->created = f->file_open = f->file != -1;
        if (!f->created && f->error != -EEXIST)
            return VM_OPEN_FAILED;
    }
    if (!f->created)
        return VM_OPEN_FAILED;
    f->error = 0;
    uint8_t *buffer = static_cast<uint8_t *>(av_malloc(IO_BUFFER_SIZE));
    if (buffer)
        *pb = avio_alloc_context(buffer, IO_BUFFER_SIZE, 1, f, nullptr, write_cb, seek_cb);
    if (!*pb) {
        av_free(buffer);
        f->error = -ENOMEM;
        return VM_OPEN_FAILED;
    }
    return VM_OPEN_OK;
}

int output_file_commit(output_file *f, AVIOContext **pb, int64_t *size_bytes, int64_t modified_us)
{
    avio_flush(*pb);
    bool write_failed = (*pb)->error < 0 || f->write_error != 0;
    close_context(pb);
    if (write_failed)
        return VM_COMMIT_WRITE_FAILED;
    // A time the system refuses leaves the file's own: the output is whole
    // either way, and the caller says so.
    if (modified_us != VM_TIME_NOW)
        f->time_refused = vm_file_set_modified(f->file, modified_us) < 0;
    if ((f->error = vm_file_sync(f->file)) < 0)
        return VM_COMMIT_SYNC_FAILED;
    *size_bytes = vm_file_size(f->file);
    int closed = vm_file_close(f->file);
    f->file_open = false;
    if (closed < 0)
        return VM_COMMIT_WRITE_FAILED;
    if ((f->error = vm_file_replace(f->dir, f->temp_name, f->final_name)) < 0)
        return VM_COMMIT_RENAME_FAILED;
    f->committed = true;
    // The rename itself must survive a crash too; a directory that cannot
    // be synced (some network file systems) still holds the file.
    vm_dir_sync(f->dir);
    return VM_COMMIT_OK;
}

void output_file_discard(output_file *f, AVIOContext **pb)
{
    close_context(pb);
    if (f->file_open) {
        vm_file_close(f->file);
        f->file_open = false;
    }
    if (f->created && !f->committed)
        vm_file_remove(f->dir, f->temp_name);
    f->created = false;
    if (f->dir_held)
        vm_dir_close(f->dir);
    f->dir_held = false;
}

int output_muxer_options(const AVFormatContext *oc, AVDictionary **opts)
{
    if (std::strcmp(oc->oformat->name, "wav") == 0)
        return av_dict_set(opts, "rf64", "auto", 0);
    return 0;
}
