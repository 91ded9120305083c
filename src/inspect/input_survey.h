// SPDX-License-Identifier: MIT
// Reading a check's inputs, several at once: each input is opened and
// analysed on its own, so the check spreads them over as many threads as
// the machine has cores, each holding one open input at a time. The first
// input is read alongside the others, and each is compared with it as soon
// as both are read: what stays of each is its verdict, not its summary, so
// a list of any length is checked in memory that grows only a little with
// it.
#ifndef VIDEOMERGE_INPUT_SURVEY_H
#define VIDEOMERGE_INPUT_SURVEY_H

#include <string>
#include <vector>

#include "inspect/compat.h"
#include "text.h"

// What the check learnt of one input.
struct surveyed_input {
    enum { READ, UNREADABLE, DIFFERENT, NOT_READ } outcome = NOT_READ;
    std::string error;           // UNREADABLE: why; DIFFERENT: the first difference
    int64_t duration_ms = 0;     // READ: the container's duration
    int64_t size_bytes = 0;      // READ: the file's size
    int64_t once_bytes = 0;      // READ: of that, attachments
    vm_stream_mask differ = 0;   // READ: streams whose H.264/HEVC parameter sets differ from the first's
    std::vector<mismatch> mismatches;  // DIFFERENT: every difference from the first
    kept_analysis *kept = nullptr;  // with keep: what its analysis found, or null
};

// Reads every input into out (resized to the list's length) and compares
// each with the first. Past an input that cannot be read, inputs may be
// left unread: the check stops there anyway. With `keep`, each input's
// analysis is kept for the merge while the kept ones fit a memory budget;
// inputs past it are analysed again by the merge. Throws std::bad_alloc.
void survey_inputs(const vm_path_list &paths, std::vector<surveyed_input> &out, bool keep = false);

#endif
