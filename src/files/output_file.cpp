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

// The temporary name for attempt n: the output's directory, its name cut
// at a character boundary, the process and the attempt.
bool temp_name(const char *final_path, unsigned n, char *out)
{
    auto p = fs_path(final_path);
    std::string name = p.filename().u8string();
    char kept[NAME_KEPT + 1];
    format_text(kept, sizeof kept, "%s", name.c_str());
    char tail[64];
    std::snprintf(tail, sizeof tail, ".videomerge-%lu-%u.part", vm_process_id(), n);
    std::string t = (p.parent_path() / fs_path((std::string(".") + kept + tail).c_str())).u8string();
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

int output_file_open(output_file *f, const char *final_path, AVIOContext **pb)
{
    std::memset(f, 0, sizeof *f);
    if (std::strlen(final_path) >= VM_RESOLVED_CAP)
        return -1;
    std::strcpy(f->final_path, final_path);
    // A name left by an earlier process with the same id, or taken by
    // someone else, is never reused: the next number is tried.
    for (int attempt = 0; attempt < 100 && !f->created; attempt++) {
        if (!temp_name(final_path, g_temp_counter.fetch_add(1), f->temp_path))
            return -1;
        f->file = vm_file_create_new(f->temp_path, &f->error);
        f->created = f->file_open = f->file != -1;
        if (!f->created && f->error != -EEXIST)
            return -1;
    }
    if (!f->created)
        return -1;
    f->error = 0;
    uint8_t *buffer = static_cast<uint8_t *>(av_malloc(IO_BUFFER_SIZE));
    if (buffer)
        *pb = avio_alloc_context(buffer, IO_BUFFER_SIZE, 1, f, nullptr, write_cb, seek_cb);
    if (!*pb) {
        av_free(buffer);
        return -1;
    }
    return 0;
}

int output_file_commit(output_file *f, AVIOContext **pb, int64_t *size_bytes)
{
    avio_flush(*pb);
    bool write_failed = (*pb)->error < 0 || f->write_error != 0;
    close_context(pb);
    if (write_failed)
        return VM_COMMIT_WRITE_FAILED;
    if ((f->error = vm_file_sync(f->file)) < 0)
        return VM_COMMIT_SYNC_FAILED;
    *size_bytes = vm_file_size(f->file);
    int closed = vm_file_close(f->file);
    f->file_open = false;
    if (closed < 0)
        return VM_COMMIT_WRITE_FAILED;
    if ((f->error = vm_file_replace(f->temp_path, f->final_path)) < 0)
        return VM_COMMIT_RENAME_FAILED;
    f->committed = true;
    // The rename itself must survive a crash too; a directory that cannot
    // be synced (some network file systems) still holds the file.
    vm_dir_sync(fs_path(f->final_path).parent_path().u8string().c_str());
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
        vm_file_remove(f->temp_path);
    f->created = false;
}

int output_muxer_options(const AVFormatContext *oc, AVDictionary **opts)
{
    if (std::strcmp(oc->oformat->name, "wav") == 0)
        return av_dict_set(opts, "rf64", "auto", 0);
    return 0;
}
