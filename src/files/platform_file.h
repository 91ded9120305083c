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

// Creates a new file for writing; fails when anything stands at the path
// already (nothing is followed or truncated). On failure *error gets a
// negative errno-style code (-EEXIST for a name taken).
vm_file vm_file_create_new(const char *utf8_path, int *error);
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

// Puts `from` in the place of `to` in one step, replacing a file there.
int vm_file_replace(const char *utf8_from, const char *utf8_to);
// Waits until the directory's entries (a rename into it) are on the disk.
int vm_dir_sync(const char *utf8_dir);
int vm_file_remove(const char *utf8_path);

unsigned long vm_process_id();

#endif
