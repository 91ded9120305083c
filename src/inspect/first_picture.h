// What the decoder learns from the start of an H.264 or HEVC stream's first
// picture. FFmpeg's analysis decodes that whole picture to learn the pixel
// format, reordering depth and colours that its parameter sets imply;
// they are all known once the decoder has read the first slice's header,
// before any of the picture itself. So the picture's units before its
// first slice are given whole and that slice only its first bytes: a 4K
// keyframe's analysis costs a few milliseconds instead of 150.
#ifndef VIDEOMERGE_FIRST_PICTURE_H
#define VIDEOMERGE_FIRST_PICTURE_H

struct AVCodecParameters;
struct AVFormatContext;

// For stream `index` of `ic`, whose header alone is read (MP4/MOV: its
// index gives where the first picture lies; the reading position is kept):
// the stream's parameters as the decoder leaves them after the start of
// its first picture. Null where that cannot be learnt so: no index, a
// first sample that is not a keyframe, units not length-prefixed, a
// decoder that does not say its pixel format, out of memory.
AVCodecParameters *first_picture_parameters(AVFormatContext *ic, int index);

#endif
