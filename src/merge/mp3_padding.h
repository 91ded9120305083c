// SPDX-License-Identifier: MIT
// An MP3 output's encoder delay and padding, which its header (the LAME
// tag) states for players to skip at the start and the end. The muxer
// takes the delay from the first packet that carries a skip other than
// the decoder's own 529 samples, and the padding from the last packet. A
// joined output's delay is its first packet's alone: a later input's
// priming (joined mid-stream) or a packet that only discards its padding
// must not set it. The muxer of FFmpeg before 8.0 also reads a skip below
// 529 (a file's last packet) as a negative delay, stated as 3567 samples
// to skip: a tenth of a second of the output's start lost. So every
// packet but the first says the decoder's 529, "no delay", and keeps its
// padding; the first says at least that.
#ifndef VIDEOMERGE_MP3_PADDING_H
#define VIDEOMERGE_MP3_PADDING_H

struct AVFormatContext;
struct AVPacket;

// Whether packets for output `oc` go through mp3_keep_delay.
bool mp3_output_needs_delay_fix(const AVFormatContext *oc);

// Sets the packet's skip as above; `first`: the output's first packet.
void mp3_keep_delay(AVPacket *pkt, bool first);

#endif
