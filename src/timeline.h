// The timestamp rules that lay the inputs of a merge end to end on one
// timeline, and the progress figure measured on it.
//
// Every file is moved so that its start time (the demuxer's start_time,
// shared by all its streams) lands at zero, and then pushed past the end of
// the files before it. A file's length is the longest of its streams, so
// all streams of a file share one offset and audio keeps its place against
// video at every join instead of drifting by the difference in stream
// lengths. Offsets are kept as a sum of microseconds and converted into
// each stream's time base afresh, so rounding never accumulates.
#ifndef VIDEOMERGE_TIMELINE_H
#define VIDEOMERGE_TIMELINE_H

#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

struct AVPacket;

struct timeline_stream {
    AVRational out_tb;  // the output stream's time base after the header
    int64_t offset;     // where the current file starts, in out_tb
    int64_t end;        // furthest end reached in the current file, from its start, in out_tb
    int64_t last_dts;   // last dts handed to this output stream, or AV_NOPTS_VALUE
};

struct timeline {
    int n;                     // streams of the first input: the output's streams
    timeline_stream *streams;  // n entries
    int64_t file_start_us;     // the current file's start time
    int64_t base_us;           // summed length of the finished files
    int64_t base_ms;           // the same in ms
    int64_t processed_ms;      // how far stream 0 has got in the output, never decreasing
};

// Sets up a merge with n output streams. Returns 0, or -1 when out of
// memory. The caller then sets each stream's out_tb. Release with
// timeline_free.
int timeline_begin_merge(timeline *tl, int n);
void timeline_free(timeline *tl);

// Starts the next input file; start_us is its AVFormatContext.start_time
// (AV_NOPTS_VALUE when unknown, counted as 0).
void timeline_begin_file(timeline *tl, int64_t start_us);

// Rewrites a packet of stream pkt->stream_index (below n), read in the input
// time base in_tb: its pts, dts and duration into the output time base and
// onto the merged timeline, pos to -1. Unknown timestamps stay unknown,
// except that a pts-only packet after a known dts gets a decode time. The
// dts handed on for a stream always increase.
void timeline_rebase(timeline *tl, AVPacket *pkt, AVRational in_tb);

// Where a time of the current input, in microseconds on the input's own clock
// (the clock of AVFormatContext.start_time), lands on the output timeline.
int64_t timeline_output_us(const timeline *tl, int64_t input_us);

// Ends the current file: its length joins the sum, and when another file
// follows, every stream's offset moves to the new sum.
void timeline_end_file(timeline *tl, bool another_follows);

#endif
