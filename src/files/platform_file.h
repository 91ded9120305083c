// SPDX-License-Identifier: MIT
// The file calls that differ between platforms: an output file created
// only if nothing is there, written, synced to the disk and put in place in
// one step over whatever stood at its name; and what a path names (its
// kind, and an identity that tells two names of one file apart from two
// files). One implementation per platform (src/unix, src/win).
#ifndef VIDEOMERGE_PLATFORM_FILE_H
#define VIDEOMERGE_PLATFORM_FILE_H

#include <cstddef>
#include <cstdint>

enum vm_file_kind {
    VM_FILE_MISSING = 0,  // nothing at the path
    VM_FILE_REGULAR,
    VM_FILE_DIRECTORY,
    VM_FILE_OTHER,        // a FIFO, device, socket, ...
    VM_FILE_UNREADABLE,   // something is there, but it cannot be examined
};

// What a path names, links followed. device/inode identify the file (the
// volume serial number and file index on Windows); valid for regular files
// and directories. size, the last write time and the change time tell a
// file changed in place from the one seen before: a program can put the
// write time back after writing (touch -r), but not the change time.
struct vm_file_status {
    int kind;
    uint64_t device;
    uint64_t inode;
    int64_t size;
    int64_t modified;  // in the platform's own units (ns; 100 ns on Windows)
    int64_t changed;   // the inode's change time (ctime), or NTFS's ChangeTime; same units
};

void vm_file_status_of(const char *utf8_path, vm_file_status *st);

// An open file of ours (a descriptor, or a HANDLE on Windows); -1 for none.
typedef intptr_t vm_file;

// An open directory of ours, where the job's output file is made and put
// in place; -1 for none. On Unix a descriptor: the calls below work inside
// the directory itself by name, wherever it is moved or renamed while it is
// held. Windows has no rename relative to a directory handle, so there the
// handle keeps the directory from being renamed or removed while it is held
// (it is opened without delete sharing) and the calls work by its path.
typedef intptr_t vm_dir;

// Opens the directory at `utf8_dir`; -1 with a negative errno-style code
// in *error when it cannot be.
vm_dir vm_dir_open(const char *utf8_dir, int *error);
void vm_dir_close(vm_dir d);
// Bytes this process may still write on the directory's file system, or
// -1 when the system does not tell (some network file systems).
int64_t vm_dir_free_bytes(vm_dir d);

// Creates a new file for writing named `name` in `d`; fails when anything
// stands there already (nothing is followed or truncated). On failure
// *error gets a negative errno-style code (-EEXIST for a name taken).
vm_file vm_file_create_new(vm_dir d, const char *name, int *error);
// Writes all `n` bytes; 0, or a negative errno-style code.
int vm_file_write(vm_file f, const uint8_t *buf, size_t n);
// Moves the write position like lseek; returns the new position, or a
// negative errno-style code. whence is SEEK_SET/SEEK_CUR/SEEK_END.
int64_t vm_file_seek(vm_file f, int64_t offset, int whence);
int64_t vm_file_size(vm_file f);
// Waits until the file's contents are on the disk.
int vm_file_sync(vm_file f);
// Asks the system to start writing what the file holds so far to the disk,
// without waiting for it, so that the sync at the end has less left to do.
// Only a hint: where the system has no such call it does nothing.
void vm_file_start_writeback(vm_file f);
int vm_file_close(vm_file f);
// Sets the file's modification time, in microseconds since 1970 (UTC).
// 0, or a negative errno-style code.
int vm_file_set_modified(vm_file f, int64_t unix_us);
// A vm_file_status time (the platform's units) in microseconds since 1970.
int64_t vm_time_unix_us(int64_t platform_time);

// 0 when a new file of ours in `d` could be renamed over `name` there, as
// far as the system tells before trying; otherwise the negative
// errno-style code that rename would fail with (a file of another user in
// a sticky directory, a file or directory that may not be changed). A
// directory we may not write is left to the creation of our file to
// report. Never refuses what the rename would do: what it cannot tell, it
// lets pass.
int vm_file_may_replace(vm_dir d, const char *name);
// Puts the file named `from` in `d` in the place of `to` there in one
// step, replacing a file there.
int vm_file_replace(vm_dir d, const char *from, const char *to);
// Waits until the directory's entries (a rename into it) are on the disk.
int vm_dir_sync(vm_dir d);
int vm_file_remove(vm_dir d, const char *name);

unsigned long vm_process_id();

#endif
