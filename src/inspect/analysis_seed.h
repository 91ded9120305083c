// What an MP4/MOV input's analysis would learn by decoding, put on its
// H.264/HEVC streams beforehand so that the analysis only reads the
// packets' times. Analysing such a stream decodes a picture to learn what
// its parameter sets imply (pixel format, reordering depth, colours):
// about 20 ms for a 720p keyframe, 150 ms for a 4K one, and most of a
// check's time. That comes from one of two places: the first input's
// analysis, for a later input whose video header equals the first's (the
// clips of one camera carry the same parameter sets byte for byte), or the
// start of the stream's own first picture (first_picture.h). Compared with
// a full analysis on FFmpeg 5.1, 7.1 and 9.0 (real phone and camera
// recordings, the test and benchmark media): the same stream parameters
// and times, and the same packets after it. Matroska is left out: there
// the reordering depth learnt mid-analysis gives the first packets' decode
// times, and with it the stream's start.
#ifndef VIDEOMERGE_ANALYSIS_SEED_H
#define VIDEOMERGE_ANALYSIS_SEED_H

struct AVDictionary;
struct AVFormatContext;
struct analysis_seed;

// Takes the video headers of `ic`, whose header alone is read, that a later
// input may match. Null when it has none (or out of memory).
analysis_seed *seed_from_header(const AVFormatContext *ic);

// Adds what the analysis of that same input found.
void seed_analysed(analysis_seed *seed, const AVFormatContext *ic);

// Adds what the start of each seeded stream's first picture tells, for
// `ic` itself, whose header alone is read. Streams whose header states
// colours are left out: FFmpeg 9.0's analysis keeps the header's colours
// where it states them and earlier versions the decoder's, so only a full
// analysis gives the one the linked version would give.
void seed_from_first_pictures(analysis_seed *seed, AVFormatContext *ic);

void free_seed(analysis_seed **seed);

// True when some stream of `ic`, whose header alone is read, has the header
// of a seeded stream: its analysis can be spared the decoding once the seed
// is complete.
bool seed_fits(const analysis_seed *seed, const AVFormatContext *ic);

// Puts the seed's findings on every stream of `ic` that fits, and has the
// analysis skip the decoding of their pictures through `stream_opts` (one
// per stream of ic). Returns how many streams it seeded, or a negative
// AVERROR.
int seed_streams(const analysis_seed *seed, AVFormatContext *ic, AVDictionary **stream_opts);

#endif
