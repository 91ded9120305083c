// SPDX-License-Identifier: MIT
// FLAC frames in a .flac output. Each frame's header carries its position
// (a frame or sample number), which restarts in every input; a .flac reader
// takes its timestamps from there, so after a join they would go back. In a
// .flac output every frame is given its sample number on the output
// timeline instead (the variable-blocksize numbering, which also allows the
// short last frame of an input in the middle of the stream), and the stream
// header stops claiming the first input's sample count and checksum.
#ifndef VIDEOMERGE_FLAC_FRAMES_H
#define VIDEOMERGE_FLAC_FRAMES_H

struct AVFormatContext;
struct AVPacket;
struct AVStream;

// Whether the output is a .flac file, whose frames need numbering. Call
// before the header is written: it also clears the sample count and the
// checksum in the stream header. Returns 1, 0, or -1 on a malformed header.
int flac_output_numbers_frames(AVFormatContext *oc);

// Numbers the frame in pkt (timestamps already on the output timeline, in
// st's time base) by its first sample. Returns 0, or -1 when out of memory.
// A packet that is not one whole frame is left as it is.
int flac_number_frame(AVPacket *pkt, const AVStream *st);

#endif
