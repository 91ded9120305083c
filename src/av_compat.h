// SPDX-License-Identifier: MIT
// What differs between the FFmpeg versions the library builds on (5.1 to
// 9.0), in one place, so that the rest of the code reads the same on all.
//
// Stream side data (display matrix, HDR metadata, Dolby Vision
// configuration, ...) moved from the stream into its codec parameters in
// FFmpeg 6.1 (codecpar->coded_side_data), and the stream's own list is
// gone since FFmpeg 8. Where the parameters hold it, copying the
// parameters copies it too. The AVIO write callback takes const bytes
// since FFmpeg 7.
#ifndef VIDEOMERGE_AV_COMPAT_H
#define VIDEOMERGE_AV_COMPAT_H

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/version.h>
#include <libavcodec/packet.h>
#include <libavformat/version.h>
}

struct AVStream;

// FFmpeg 6.1 (libavcodec 60.31) keeps stream side data in the codec
// parameters and has the av_packet_side_data_* calls for such lists.
#define VM_SIDE_DATA_IN_PARAMETERS (LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 31, 100))

#if LIBAVFORMAT_VERSION_MAJOR >= 61
typedef const uint8_t avio_write_byte;
#else
typedef uint8_t avio_write_byte;
#endif

// A stream's side data, in the order the demuxer stored it; `count` gets
// its length (0: none, and the result may be null).
const AVPacketSideData *stream_side_data(const AVStream *st, int *count);

// One kind of a stream's side data, or null; `size` (may be null) gets its
// length.
const uint8_t *stream_side_data_of(const AVStream *st, enum AVPacketSideDataType type, size_t *size);

// Stores a copy of `data` as the stream's side data of that kind, in place
// of any it had. 0, or AVERROR(ENOMEM).
int stream_add_side_data(AVStream *st, enum AVPacketSideDataType type, const uint8_t *data, size_t size);

// Gives `to` the side data of `from`, for a stream whose codec parameters
// were copied from `from`'s: where the parameters hold the side data, that
// copy carried it already. 0, or AVERROR(ENOMEM).
int stream_copy_side_data(AVStream *to, const AVStream *from);

#endif
