// SPDX-License-Identifier: MIT
// The options a merge may be started with: a JSON object from the host,
// read and checked in full before anything is opened or created, and the
// ranges of the inputs that the merge copies.
#ifndef VIDEOMERGE_MERGE_OPTIONS_H
#define VIDEOMERGE_MERGE_OPTIONS_H

#include <cstdint>

#include <string>
#include <vector>

#include "text.h"

enum vm_chapters_mode {
    VM_CHAPTERS_KEEP = 0,  // the inputs' own chapters, each moved to its input's place
    VM_CHAPTERS_INPUTS,    // one chapter per input, titled from its title tag or name
    VM_CHAPTERS_NONE,
};

enum vm_file_time {
    VM_FILE_TIME_NOW = 0,       // the output's time is when it was written
    VM_FILE_TIME_FIRST_INPUT,   // the first input's recording time
};

enum vm_timecode {
    VM_TIMECODE_DEFAULT = 0,  // as continue, where the output can hold it; never reported
    VM_TIMECODE_CONTINUE,
    VM_TIMECODE_NONE,
};

// One range of an input, in milliseconds from the input's start.
struct trim_range {
    int file;         // 1-based place in the list
    int64_t from_ms;  // 0: the start
    int64_t to_ms;    // -1: the end
};

struct merge_options {
    int chapters = VM_CHAPTERS_KEEP;
    int file_time = VM_FILE_TIME_NOW;
    int timecode = VM_TIMECODE_DEFAULT;
    std::vector<trim_range> trims;  // in list order, checked against the list
};

// What the merge copies, in order: a whole input, or a range of one. An
// input with several ranges gives several pieces.
struct input_piece {
    int file;         // 0-based place in the host's list
    int64_t from_ms;  // 0: the start
    int64_t to_ms;    // -1: the end
    bool cut() const { return from_ms > 0 || to_ms >= 0; }
};

// Reads `json` (null or empty: no options) for a list of `file_count`
// inputs: the keys, their types and values, trims naming files of the list,
// each file's ranges in order and apart. Returns 0, or -1 with the reason
// in *error. Throws std::bad_alloc.
int parse_merge_options(const char *json, int file_count, merge_options *out, std::string *error);

// The pieces the merge copies for `file_count` inputs.
std::vector<input_piece> pieces_of(const merge_options &o, int file_count);

// Checks the pieces against their files' lengths (`file_ms`, one per
// piece, 0 when unknown): a range must start before its file ends and end
// by then.
// Returns 0, or -1 with the reason, naming the file, in *error.
int check_pieces(const std::vector<input_piece> &pieces, const vm_path_list &given,
                 const std::vector<int64_t> &file_ms, std::string *error);

// A piece's expected length and share of its file's bytes.
int64_t piece_ms(const input_piece &p, int64_t file_ms);
int64_t piece_bytes(const input_piece &p, int64_t file_ms, int64_t file_bytes);

#endif
