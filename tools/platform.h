// SPDX-License-Identifier: MIT
// What the command needs of its console and its process, per platform.
#ifndef VIDEOMERGE_TOOLS_PLATFORM_H
#define VIDEOMERGE_TOOLS_PLATFORM_H

#include <cstddef>
#include <string>
#include <vector>

// True when standard error is a terminal (a live bar makes sense there).
bool stderr_is_terminal();

// Columns of the terminal on standard error; 80 when unknown.
int terminal_width();

// Calls `handler` on Ctrl-C, on a request to terminate and on a hang-up
// (the terminal closed). A reader that goes away (`videomerge ... | head`)
// only makes the command's writes fail: the merge goes on to its end
// instead of the process dying with its temporary file left behind.
void catch_interrupts(void (*handler)(int));

// The command's arguments as UTF-8, the library's encoding of paths. On
// Windows they are read as UTF-16 from the system, so that names outside
// the console's code page arrive whole.
std::vector<std::string> utf8_arguments(int argc, char **argv);

// Where the file name begins in `path`: after its last directory
// separator ('/'; on Windows also '\\' and a drive's "C:").
size_t file_name_offset(const std::string &path);

// Lets the allocator keep the memory a job frees for its next use. Reading
// a file's stream information decodes a few frames into buffers of a
// megabyte and more; by default glibc hands such blocks back to the system
// at once, and every file then pays the page faults of zeroed pages again
// (about 20 ms of a four-file merge). The command is one short job, so it
// keeps them; the library leaves such choices to its host.
void keep_freed_memory();

#endif
