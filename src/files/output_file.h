// SPDX-License-Identifier: MIT
// Where and how a job's output is written. The bytes go to a temporary file
// of the job's own, created in the output's directory where nothing stood
// before; only once the muxer has written its last byte is that file
// synced to the disk and renamed over the output path, and the directory
// synced. Whatever stands at the output path stays untouched until that
// rename, so a cancel, a failure, a full disk or a killed process never
// costs the user a file, and nothing reads a partial output under the final
// name. A job that does not finish removes its temporary file, and nothing
// else.
//
// All of this happens inside the output's directory as it was when the job
// started, held open from then on: a directory renamed or moved while the
// job runs still gets the output (and loses the temporary file on a
// failure), where names would miss it.
#ifndef VIDEOMERGE_OUTPUT_FILE_H
#define VIDEOMERGE_OUTPUT_FILE_H

#include <cstdint>

#include "files/platform_file.h"
#include "files/resolved_path.h"

struct AVDictionary;
struct AVFormatContext;
struct AVIOContext;

// The temporary name adds a dot, a process id, a number and a suffix to the
// output's name.
enum { VM_TEMP_PATH_CAP = VM_RESOLVED_CAP + 64 };

// The output's directory, opened when the job starts and held until the
// job ends; a zeroed record holds nothing.
struct output_dir {
    bool held;
    vm_dir handle;
    int error;  // why it could not be opened: a negative errno-style code, or 0
};

// Opens the directory of `final_path` (a resolved path); when it cannot be,
// d->error says why, for the job to fail with once it creates its output.
void output_dir_open(output_dir *d, const char *final_path);
void output_dir_close(output_dir *d);

struct output_file {
    vm_dir dir;       // the output's directory, while dir_held
    bool dir_held;
    char final_name[VM_TEMP_PATH_CAP];
    // ".<name>.videomerge-<process>-<n>.part" beside the output, so that
    // one left by a killed process tells what it was.
    char temp_name[VM_TEMP_PATH_CAP];
    vm_file file;     // the temporary file, while file_open
    bool file_open;
    bool created;     // temp_name is ours, to remove unless committed
    bool committed;
    int write_error;  // the first failed write or seek, as an AVERROR
    int error;        // why opening or committing failed: a negative errno-style code, or 0
    int64_t unsent;   // bytes written since the system was last asked to write them out
    bool time_refused;  // the system did not take the modification time asked for
};

enum {
    VM_COMMIT_OK = 0,
    VM_COMMIT_WRITE_FAILED = -1,   // a write, the flush or the close failed
    VM_COMMIT_SYNC_FAILED = -2,    // the data did not reach the disk
    VM_COMMIT_RENAME_FAILED = -3,  // the file could not be put in place
};

enum {
    VM_OPEN_OK = 0,
    VM_OPEN_FAILED = -1,        // the temporary file could not be made
    VM_OPEN_NO_REPLACE = -2,    // the system would refuse the rename at the end
};

// Creates the temporary file for `final_path` (a resolved path) inside
// `dir` (taken over from the caller; opened here when the caller holds none
// and has no error) and an I/O context that writes to it, for the muxer's
// `pb`. Before anything is written, it makes sure the system would let the
// file be renamed over the output path at the end, so that a merge is not
// run only to be thrown away. VM_OPEN_OK, or a failure with f->error.
int output_file_open(output_file *f, const char *final_path, output_dir *dir, AVIOContext **pb);

// Flushes and closes the I/O context, syncs the file, renames it over the
// final path and syncs the directory. *size_bytes is the file's size.
// modified_us, unless VM_TIME_NOW: the file's modification time (since
// 1970, UTC), set before the sync; where the system refuses it (a time out
// of its range) the file keeps its own and time_refused is set.
enum : int64_t { VM_TIME_NOW = INT64_MIN };
int output_file_commit(output_file *f, AVIOContext **pb, int64_t *size_bytes, int64_t modified_us = VM_TIME_NOW);

// Closes the I/O context and removes the temporary file unless committed,
// and lets go of the directory; safe on a zeroed record and after a commit.
void output_file_discard(output_file *f, AVIOContext **pb);

// Muxer options for how the output is laid out: a WAV output reserves room
// for the RF64 header, which the muxer writes in its place should the file
// pass 4 GiB (a plain WAV cannot say its size past that, and would read as
// broken or cut short). Adds them to `opts`; 0, or an AVERROR.
int output_muxer_options(const AVFormatContext *oc, AVDictionary **opts);

#endif
