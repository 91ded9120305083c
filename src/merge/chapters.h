// SPDX-License-Identifier: MIT
// The chapters of a merge: every input's chapters, moved to where that
// input starts in the output, in file order, each cut at its file's end;
// or one chapter per input, or none (the host's choice).
//
// Containers differ in when their muxer takes chapters. MP4/MOV and
// Matroska/WebM take them when the trailer is written (Matroska only when
// none were given with the header), so the chapters of every input are
// collected as the inputs are read and handed over at the end. The others
// (MP3's ID3v2 tag, Ogg, ...) write them in the header, before any later
// input has a place in the output: they get the first input's chapters.
#ifndef VIDEOMERGE_CHAPTERS_H
#define VIDEOMERGE_CHAPTERS_H

#include <cstdint>

#include <string>
#include <vector>

#include "merge_options.h"

struct AVDictionary;
struct AVFormatContext;
struct AVOutputFormat;
struct timeline;

struct chapter_entry {
    int64_t start_us;        // on the output timeline
    int64_t end_us;          // on the output timeline; -1 until its file has ended
    AVDictionary *metadata;  // title and the other tags, owned
};

struct chapter_list {
    int mode;               // a vm_chapters_mode
    bool at_trailer;        // the muxer takes chapters with the trailer
    chapter_entry *items;   // count entries, in output order
    int count;
    int file_first;         // the first entry of the file being read
};

// Whether the muxer takes chapters with the trailer (else with the header).
bool muxer_takes_chapters_at_trailer(const AVOutputFormat *f);

// Whether the muxer stores chapters at all.
bool muxer_stores_chapters(const AVOutputFormat *f);

// Decides, for output `oc` (header not yet written), when its muxer takes
// chapters; when that is the header and `mode` keeps the inputs' chapters,
// gives it those of the first input `ic` now: from from_us into the input
// (where its copy starts), cut at length_us when that is above 0. Returns 0,
// or a negative AVERROR when out of memory.
int chapters_begin(chapter_list *cl, int mode, const AVFormatContext *ic, AVFormatContext *oc, int64_t from_us,
                   int64_t length_us);

// The same for one chapter per input: where the muxer takes chapters in
// the header, it gets them now, laid end to end by the inputs' expected
// lengths (what is known before they are read).
int chapters_begin_inputs(chapter_list *cl, AVFormatContext *oc, const std::vector<std::string> &titles,
                          const std::vector<int64_t> &lengths_us);

// Collects the chapters of input `ic`, which has just begun on timeline
// `tl` (its copy starting at the timeline's file start), or its one
// chapter titled `title`; the chapters of the file before are cut where
// this one starts. Returns 0, or a negative AVERROR when out of memory.
int chapters_add_file(chapter_list *cl, const AVFormatContext *ic, const timeline *tl, const std::string &title);

// An input's chapter title: its title tag, else its file name without the
// extension.
std::string chapter_title(const AVFormatContext *ic, const std::string &path);

// Ends the file being read at output position end_us: its chapters are cut
// there, and one starting there or later is dropped. chapters_add_file
// does this for every file but the last.
void chapters_end_file(chapter_list *cl, int64_t end_us);

// Hands the collected chapters to `oc` just before its trailer is written.
// Returns 0, or a negative AVERROR when out of memory.
int chapters_finish(chapter_list *cl, AVFormatContext *oc);

// Frees what is left; safe on a zeroed or finished list.
void chapters_free(chapter_list *cl);

#endif
