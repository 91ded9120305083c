// SPDX-License-Identifier: MIT
// What a player hears of a joined audio stream, and how a later input's
// audio is fitted to its video at a join.
//
// A decoder hands out whole frames: an AAC packet gives 1024 samples however
// short a duration its container states for a file's last one, and the next
// file's first packet (its priming) gives 1024 more. Players play those
// samples one after another whatever the timestamps say: they follow neither
// gaps nor overlaps. So what is heard after a join is set by the count of
// samples played before it, and the previous input's padding and the next
// one's priming would each put everything after them a little later, at
// every join, without end.
//
// So each audio stream keeps that count: samples played since its first one,
// less what the output tells players to drop (the first packet's priming in
// every container; in Matroska also any packet's padding, and the whole of a
// later input's priming frames, which are kept so that the decoder starts
// the input's first sounds as the input's own decoding does). At a join:
// - the last packets of the input before, held back until then, are left out
//   while they would make the next input's audio heard more than half a frame
//   late and leaving one out brings it closer (padding first: the cut falls
//   at the end of a recording, not in the next one's first sounds);
// - then the next input's leading packets that would still be heard more
//   than half their length late are left out, and the first one kept moves to
//   where it is heard when that is later than its place, so no packet
//   overlaps the one before.
// The error at each join stays within half a frame, and the next join starts
// from the count again: it never adds up.
#ifndef VIDEOMERGE_AUDIO_JOINS_H
#define VIDEOMERGE_AUDIO_JOINS_H

#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

struct AVCodecParameters;
struct AVOutputFormat;
struct AVPacket;

// How many of a stream's last packets are held back from the muxer until
// the next input is placed: enough to take back priming and padding of
// three frames together.
enum { AUDIO_HELD = 4 };

// Whether an output container tells players to drop a packet's padding
// (Matroska's DiscardPadding), from the packet's skip side data.
bool output_trims_padding(const AVOutputFormat *fmt);

// What counting one packet did, to undo it, and where it was written.
struct audio_counted {
    int64_t played;     // samples heard
    int64_t stated;     // samples its duration states
    int64_t discarded;  // samples players are told to drop
    int64_t end_us;     // where its stated duration ends on the output timeline
    int64_t dts;        // its decode time in the output time base
};

struct audio_clock {
    int sample_rate = 0;  // 0: not counted (not audio, or no rate known)
    int frame_size = 0;   // samples every packet decodes to (0: its duration says)
    int usual_frame = 0;  // samples a packet of no stated duration decodes to, as far as known
    bool trims_padding = false;  // the output tells players to drop padding
    // Where the count stands: samples heard since anchor_us on the output
    // timeline (INT64_MIN, AV_NOPTS_VALUE, until the first packet is kept).
    int64_t anchor_us = INT64_MIN;
    int64_t samples = 0;
    int64_t frame_us = 0;  // length of the latest packet as decoded
    // The last packets counted and not yet written, oldest first, and the
    // last one written before them.
    audio_counted recent[AUDIO_HELD] = {};
    int recent_count = 0;
    audio_counted written = {0, 0, 0, INT64_MIN, INT64_MIN};
    // Of the current input:
    bool placed = false;           // its first heard packet is kept
    int64_t left_out = 0;          // samples of its leading packets left out
    int64_t error_us = 0;          // where its first heard packet is heard, less its place
    int64_t silenced = 0;          // samples of its priming frames players are told to drop
    int64_t discarded = 0;         // samples of the rest players are told to drop
    int64_t before_discarded = 0;  // the same of the input before
    int64_t tail_left_out = 0;     // samples stated of the input before's last packets, left out
};

// Sets up the clock of an output stream from the stream's parameters.
void audio_clock_init(audio_clock *c, const AVCodecParameters *par, bool trims_padding);

// Where the next sample is heard, on the output timeline in microseconds,
// or AV_NOPTS_VALUE before the first packet.
int64_t audio_clock_heard_us(const audio_clock &c);

// What a packet (its duration in time base tb) decodes to and what of that
// is the recording's, in samples. Demuxers state the padding of a last
// packet in two ways: a short duration (MP4: the decoder still makes a whole
// AAC frame; Ogg: the rest is in the skip side data), or a whole frame's
// duration with the padding in the side data (MP3).
struct audio_lengths {
    int64_t decoded;
    int64_t content;
};
audio_lengths audio_clock_lengths(const audio_clock &c, const AVPacket *pkt, AVRational tb);

enum audio_fit { AUDIO_LEAVE_OUT, AUDIO_KEEP, AUDIO_KEEP_SILENT };

// The decision for a later input's leading packet, not yet rebased: its
// place on the output timeline (place_us), where it ends on the input's own
// clock against the input's start (ends_before_start: it is priming), and
// what it decodes to. AUDIO_KEEP_SILENT: a priming frame kept for the
// decoder and dropped by players; AUDIO_LEAVE_OUT: counted in left_out
// (so is a leading packet that holds nothing of the recording by what it
// states: no duration cannot be placed against the packets after it, and
// FFmpeg 9.0 reads the frame before the piece that starts a cut E-AC-3
// recording so, with the next frame's time);
// AUDIO_KEEP: the first heard packet, to be moved by *shift_us: to where it
// is heard, so that timestamps and what is heard agree, and never before
// the end of the packet written before it.
audio_fit audio_clock_place(audio_clock *c, int64_t place_us, bool ends_before_start, audio_lengths len,
                            int64_t *shift_us);

// Counts a packet kept at at_us on the output timeline. Players drop the
// start skip of its side data when it is the stream's first packet, and its
// end skip where the output trims padding. Where the output does, a packet
// whose padding its side data does not state (the last AAC frame of an MP4
// file) is told to drop it, and a silent one (AUDIO_KEEP_SILENT) all it
// decodes to.
void audio_clock_count(audio_clock *c, AVPacket *pkt, int64_t at_us, int64_t end_us, audio_lengths len,
                       bool silent);

// The last packet counted and kept: where its stated duration ends
// (AV_NOPTS_VALUE before any) and its decode time.
const audio_counted &audio_clock_last(const audio_clock &c);

// Whether the newest held packet of the input before is left out, for a
// next input whose first heard sample belongs at first_us (see above).
// Uncounts it when it is.
bool audio_clock_drop_tail(audio_clock *c, int64_t first_us);

// The held packets are written: nothing is held any more.
void audio_clock_release(audio_clock *c);

// Starts a new input: nothing of it placed yet.
void audio_clock_begin_file(audio_clock *c);

#endif
