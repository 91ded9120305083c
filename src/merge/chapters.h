// The chapters of a merge: every input's chapters, moved to where that
// input starts in the output, in file order, each cut at its file's end.
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

struct AVDictionary;
struct AVFormatContext;
struct timeline;

struct chapter_entry {
    int64_t start_us;        // on the output timeline
    int64_t end_us;          // on the output timeline; -1 until its file has ended
    AVDictionary *metadata;  // title and the other tags, owned
};

struct chapter_list {
    bool at_trailer;        // the muxer takes chapters with the trailer
    chapter_entry *items;   // count entries, in output order
    int count;
    int file_first;         // the first entry of the file being read
};

// Decides, for output `oc` (header not yet written), when its muxer takes
// chapters; when that is the header, gives it the chapters of the first
// input `ic` now. Returns 0, or a negative AVERROR when out of memory.
int chapters_begin(chapter_list *cl, const AVFormatContext *ic, AVFormatContext *oc);

// Collects the chapters of input `ic`, which has just begun on timeline
// `tl`; the chapters of the file before are cut where this one starts.
// Returns 0, or a negative AVERROR when out of memory.
int chapters_add_file(chapter_list *cl, const AVFormatContext *ic, const timeline *tl);

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
