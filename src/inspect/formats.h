// SPDX-License-Identifier: MIT
// The formats the library reads and writes: one list, kept in
// cmake/ffmpeg-components.txt, that also configures the minimal FFmpeg
// builds. Any other format is refused, whatever the FFmpeg underneath can do.
#ifndef VIDEOMERGE_FORMATS_H
#define VIDEOMERGE_FORMATS_H

struct AVDictionary;
struct AVOutputFormat;

// Limits the demuxers an input may be opened with to the list. Returns
// FFmpeg's code from av_dict_set.
int restrict_demuxers(AVDictionary **opts);

// True when the muxer is on the list.
bool muxer_supported(const AVOutputFormat *fmt);

#endif
