// SPDX-License-Identifier: MIT
// What FFmpeg's analysis of an H.264 stream in MP4/MOV learns by decoding
// its first picture, learnt from the start of that picture instead. The
// analysis decodes the picture whole to learn what the parameter sets
// imply (pixel format, reordering depth, colours, profile): 20 to 30 ms of
// processor time for a 720p keyframe, several times that at 4K. All of it is
// known once the decoder has read the first slice's header, before the
// picture itself; so the picture's units before its first slice are
// decoded whole and that slice only its first bytes, the result is put on
// the stream, and the analysis is told to decode no picture of it. It
// then only reads the packets' times.
//
// Only where the analysis itself would decode just that one picture and
// keep what it found: an `avc1` stream whose parameter sets state a
// reordering depth above zero (the decoder reports it at once, and the
// analysis stops after one picture; with none stated, or zero, it decodes
// up to seven and may raise the depth on the way), whose first sample is a keyframe within the first second (the
// analysis may never reach a later one), and whose header states no
// colours (FFmpeg 9.0's analysis keeps the header's, earlier versions the
// decoder's). Compared with FFmpeg's own analysis on 5.1, 7.1 and 9.0: the
// same stream parameters and times, and the same packets.
#ifndef VIDEOMERGE_FIRST_PICTURE_H
#define VIDEOMERGE_FIRST_PICTURE_H

struct AVCodecParameters;
struct AVDictionary;
struct AVFormatContext;

// For stream `index` of `ic`, whose header alone is read: the stream's
// parameters as the decoder leaves them after the start of its first
// picture, read where the MP4/MOV index says it lies (the reading
// position is kept). Null where they cannot be learnt so.
AVCodecParameters *first_picture_parameters(AVFormatContext *ic, int index);

// Puts what their first picture tells on every stream of `ic` (header
// read, not yet analysed) where that spares the analysis its decoding,
// and tells the analysis so through `stream_opts` (one per stream).
// Returns how many streams it did this for, or a negative AVERROR.
int seed_from_first_pictures(AVFormatContext *ic, AVDictionary **stream_opts);

#endif
