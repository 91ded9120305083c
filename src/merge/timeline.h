// SPDX-License-Identifier: MIT
// The timestamp rules that lay the inputs of a merge end to end on one
// timeline, and the progress figure measured on it.
//
// Every file is moved so that its start time (the demuxer's start_time,
// shared by all its streams) lands at zero, and then pushed past the end of
// the files before it. A file's length is the end of its longest audio or
// video stream (subtitle and data streams do not stretch it; a file without
// audio and video counts every stream), so all streams of a file share one
// offset and audio keeps its place against video at every join instead of
// drifting by the difference in stream lengths.
//
// Three refinements of that rule:
// - A file whose start continues the previous file's end (one recording cut
//   into files) keeps the recording's own timeline, as if the files were
//   one: no hole, no overlap. (Not a file whose start is cut off, nor the
//   file after one whose end is: what was cut away would leave a hole.)
// - A file with video lasts as long as its video: the next file's video
//   starts where the last frame ends. Audio that runs on past the video by
//   more than its last frame still makes the file longer.
// - Audio follows what players hear rather than the timestamps (see
//   audio_joins.h): a later file's leading audio packets that would be heard
//   more than half a frame late are left out, and the first one kept is
//   moved to where it is heard when that is later than its place.
// - A later file whose first video packets reach back before its start time
//   is placed late enough that none lands before that stream's end in the
//   file before.
// - In formats whose timestamps may jump (MPEG-TS), a stream whose
//   timestamps jump back, or far forward, starts a new part that is placed
//   after what came before, as at a join; the other streams of the file take
//   the same correction when they reach the jump.
//
// Offsets are kept in microseconds and converted into each stream's time
// base afresh, so rounding never accumulates.
#ifndef VIDEOMERGE_TIMELINE_H
#define VIDEOMERGE_TIMELINE_H

#include <cstdint>

#include "merge/audio_joins.h"

extern "C" {
#include <libavutil/rational.h>
}

struct AVPacket;

// What an output stream holds, as far as the timeline cares.
enum timeline_kind { TIMELINE_OTHER = 0, TIMELINE_AUDIO, TIMELINE_VIDEO };

struct timeline_stream {
    // Set by the caller after timeline_begin_merge:
    AVRational out_tb;  // the output stream's time base after the header
    int kind;           // a timeline_kind; TIMELINE_OTHER until set

    // Kept by the timeline:
    int part;            // the part of the current file this stream follows
    int64_t zero_us;     // input time that lands on base_us
    int64_t base_us;     // where zero_us lands on the output timeline
    int64_t offset;      // base_us in out_tb
    int64_t end_us;      // furthest end on the output timeline in this file, or AV_NOPTS_VALUE
    int64_t in_first_us; // first decode time read in this file, input clock, or AV_NOPTS_VALUE
    int64_t in_last_us;  // last decode time read in this file, input clock, or AV_NOPTS_VALUE
    int64_t in_end_us;   // furthest end in the current part, input clock, or AV_NOPTS_VALUE
    int64_t last_dts;    // last dts handed to this output stream, or AV_NOPTS_VALUE
    int64_t dts_lead_us; // how much earlier this file's decode times are moved, or 0
    int64_t first_place_us;  // where the file's first packet of this stream belongs, or AV_NOPTS_VALUE
    int64_t moved_us;        // how far this file's audio was moved to where it is heard
    audio_clock audio;   // audio: what players hear; set up by the caller (audio_clock_init)
};

// What the caller knows of an input when it starts.
struct timeline_file {
    int64_t start_us = 0;     // AVFormatContext.start_time (AV_NOPTS_VALUE counts as 0)
    int64_t wrap_us = 0;      // timestamps wrap after this long (MPEG-TS: 2^33 / 90 kHz); 0: never
    bool follows_jumps = false;  // the format may jump (AVFMT_TS_DISCONT): follow the jumps
    const char *format = nullptr;  // the demuxer's name: only a file of the same one continues another
    // Only a range of the file is copied: its start cut off (it does not
    // continue the file before), its end cut off (the next file does not
    // continue it).
    bool cut_start = false;
    bool cut_end = false;
    // Per output stream (n entries, or null): the earliest pts of the
    // stream's first packets, input clock, AV_NOPTS_VALUE when unknown.
    const int64_t *first_us = nullptr;
    // Per output stream (n entries, or null): how far the decode time of
    // the stream's first packets runs ahead of their pts at most, in
    // microseconds rounded up; 0 where no packet is decoded after it is shown.
    const int64_t *dts_lead_us = nullptr;
};

struct timeline {
    int n;                     // the output's streams
    timeline_stream *streams;  // n entries
    int files;                 // files begun so far
    bool continues;            // the current file continues the one before
    bool cut_end;              // the current file's end is cut off
    bool follows_jumps;
    int64_t wrap_us;
    const char *format;        // the current file's demuxer, or null
    int64_t file_start_us;     // the current file's start time, input clock
    int64_t file_base_us;      // where it lands on the output timeline
    int part;                  // the current file's latest part (0: no jump yet)
    int64_t part_zero_us;      // that part's input time that lands on part_base_us
    int64_t part_base_us;
    int64_t base_us;           // end of the finished files: where a file is joined
    int64_t base_ms;           // the same in ms
    int64_t processed_ms;      // how far stream 0 has got in the output, never decreasing
    // What the audio and video written so far span on the output timeline:
    // the earliest presentation time and the furthest end (AV_NOPTS_VALUE
    // until the first such packet).
    int64_t written_first_us;
    int64_t written_end_us;
};

// Sets up a merge with n output streams. Returns 0, or -1 when out of
// memory. The caller then sets each stream's out_tb and kind. Release with
// timeline_free.
int timeline_begin_merge(timeline *tl, int n);
void timeline_free(timeline *tl);

// How long the output's audio and video last as written so far, in ms: a
// measured length, where the check's total is the inputs' declared ones.
int64_t timeline_written_ms(const timeline *tl);

// Starts the next input file and decides where it lands.
void timeline_begin_file(timeline *tl, const timeline_file &f);
// The same with only a start time (AV_NOPTS_VALUE when unknown, counted as 0).
void timeline_begin_file(timeline *tl, int64_t start_us);

// Rewrites a packet of output stream pkt->stream_index (below n), read in
// the input time base in_tb: its pts, dts and duration into the output time
// base and onto the merged timeline, pos to -1. Unknown timestamps stay
// unknown, except that a pts-only packet after a known dts gets a decode
// time. The dts handed on for a stream always increase. Returns false for
// a later file's leading audio packet that is left out (the packet is
// then unchanged and not to be written).
bool timeline_rebase(timeline *tl, AVPacket *pkt, AVRational in_tb);

// Whether the newest held audio packet of stream k of the file before
// (audio_joins.h), held back until the current file was begun, is left out:
// never where the current file continues the one before. Then, once the
// caller has written the rest, timeline_release_held.
bool timeline_drops_tail(timeline *tl, int k);
void timeline_release_held(timeline *tl, int k);

// Ends the current file: its end becomes the place of the next join.
void timeline_end_file(timeline *tl, bool another_follows);

// Where a time of the current input, in microseconds on the input's own clock
// (the clock of AVFormatContext.start_time), lands on the output timeline.
// Where the input's timestamps jump, this is the mapping of the file's start.
int64_t timeline_output_us(const timeline *tl, int64_t input_us);

#endif
