// SPDX-License-Identifier: MIT
// What happened to time at each join of a merge, for the result: where the
// file begins on the output timeline and how its audio was fitted to it.
#ifndef VIDEOMERGE_JOIN_AUDIT_H
#define VIDEOMERGE_JOIN_AUDIT_H

#include <cstdint>
#include <string>
#include <vector>

struct timeline;

struct join_record {
    int file = 0;          // the input that begins here, from 1
    int64_t at_us = 0;     // where it begins on the output timeline
    bool audio = false;    // the output has audio: the fields below are its first audio stream's
    int64_t left_out = 0;   // samples left out: the file before's last packet, the file's leading ones
    int64_t discarded = 0;  // samples players are told to drop: the file before's padding, the file's priming
    int64_t offset_us = 0;  // where the file's audio is heard against its video, as written
};

// The record of the join before the file the timeline has just ended
// (file `file`).
join_record join_record_of(const timeline &tl, int file);

// `,"joins":[...]`: one object per join, appended to text.
void append_joins(std::string *text, const std::vector<join_record> &joins);

#endif
