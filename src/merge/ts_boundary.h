// SPDX-License-Identifier: MIT
// The packets lost where one MPEG-TS recording is cut into files at
// arbitrary byte positions (DVB recorders, HLS segmenters), put back.
//
// Each file is demuxed on its own, so a PES that straddles the cut comes
// apart: at the end of the file before, the demuxer flushes the incomplete
// PES (its last frame a piece, which ac3_frames and join_start leave out);
// at the start of the next file, the transport packets of that PID before
// its first payload_unit_start are dropped. `cat` of the files reads the
// bytes as one stream and loses nothing.
//
// When the timeline finds that a file continues the one before, the bytes
// around the cut (the end of the file before, then the start of the file)
// are demuxed a second time, as one, by the same demuxer, and for each
// stream the packets that lie strictly between the last one the file before
// handed to the output and the first one the file gives are handed out
// before the file's own. An audio frame the cut splits is among them (its
// piece in the file before was left out); a video picture or a subtitle the
// cut splits is not: its piece was written already, with the same times.
// Nothing else of either file is read again, so the merge's opening of
// inputs (ahead on a thread, with the check's analysis), the placing on the
// timeline and the copy stay as they were.
//
// This was preferred to reading every continuing file through a stream that
// starts in the file before: that would change what the demuxer reads at
// the file's start (its start time, the analysis, the first packets the
// timeline is placed by) for every join; here a join changes only by the
// packets that fill its gap. It was preferred to splicing transport packets
// of the file before into the file's own stream too: here no transport
// packet or PES is rebuilt by hand, and the demuxer and its parsers split
// and time the frames exactly as they do for `cat`.
//
// Packets are filled in only where nothing can go wrong silently: the
// transport packets keep their sync byte across the cut (the files meet
// where a transport packet ends, or inside one that their bytes make whole,
// with nothing missing between them), every PID found on both
// sides carries on its continuity counter, and a stream's gap is bounded on
// both sides by packets with the same times in both readings (the last one
// written and the file's first). Anywhere else the join is left as it is.
#ifndef VIDEOMERGE_TS_BOUNDARY_H
#define VIDEOMERGE_TS_BOUNDARY_H

#include <cstdint>

#include "capacity.h"

extern "C" {
#include <libavcodec/packet.h>
}

struct AVFormatContext;
struct join_start;

// What the file being copied has handed to the output, per input stream.
struct ts_boundary {
    bool mpegts;  // the file is MPEG-TS
    int streams;
    int pid[VM_MAX_STREAMS];
    int64_t last_pts[VM_MAX_STREAMS];  // times of the last packet written, or AV_NOPTS_VALUE
    int64_t last_dts[VM_MAX_STREAMS];
};

// Starts noting the packets of input `ic`.
void ts_boundary_begin_file(ts_boundary *b, const AVFormatContext *ic);

// Notes a packet of input stream `idx` handed to the output, with its
// input times.
inline void ts_boundary_written(ts_boundary *b, int idx, const AVPacket *pkt)
{
    if (b->mpegts && idx >= 0 && idx < b->streams) {
        b->last_pts[idx] = pkt->pts;
        b->last_dts[idx] = pkt->dts;
    }
}

// For `next` (opened from next_path, its first packets read into `js`),
// which the timeline found continues the file before (read from prev_path
// and noted in `b`): hands the packets lost at the cut to `js`, to come out
// first. Returns how many, or -1 when out of memory; 0 where the join does
// not qualify.
int ts_boundary_fill(const ts_boundary *b, const char *prev_path, const char *next_path, const AVFormatContext *next,
                     join_start *js);

#endif
