// SPDX-License-Identifier: MIT
// The whole frames in an AC-3 or E-AC-3 packet. A broadcast cut into files
// (or a capture with a lost transport packet) leaves pieces of frames: a
// packet without a frame's sync word, shorter than the frame its header
// announces, or a whole frame followed by such a piece. No decoder can use
// a piece, and the MP4 muxer, which reads the frames of an E-AC-3 stream's
// first packet one after another, refuses a packet that ends in one.
#ifndef VIDEOMERGE_AC3_FRAMES_H
#define VIDEOMERGE_AC3_FRAMES_H

#include <cstdint>

// How many bytes at the start of data (size bytes) are whole AC-3 or E-AC-3
// frames, one after another: each with the sync word 0x0B77 (or its
// byte-swapped form), a header that makes sense, and all its bytes. 0 when
// the packet does not start with a whole frame.
int ac3_whole_frames(const uint8_t *data, int size);

#endif
