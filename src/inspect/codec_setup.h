// SPDX-License-Identifier: MIT
// What a stream's decoder is set up from, beyond codec, size, rate and
// channels: the AAC object type, and the setup data of Vorbis, Opus, FLAC,
// Theora, ASS/SSA and MPEG-4 Visual. A stream copy hands the later files'
// packets to a decoder set up from the first file's data, so two files with
// other setups do not join. Where the setup bytes also hold values of one
// file that do not matter to decoding (FLAC's sample count and MD5, Vorbis'
// bit rates, encoder names), only the fields that do are compared.
#ifndef VIDEOMERGE_CODEC_SETUP_H
#define VIDEOMERGE_CODEC_SETUP_H

#include <cstdint>

struct AVCodecParameters;

struct codec_setup {
    int aac_object_type;  // AAC: the Audio Object Type (2 = LC, 1 = Main, ...); else 0
    bool digested;        // `digest` holds the setup of a codec with a setup rule
    uint8_t digest[20];   // SHA-1 of the fields that matter to the decoder
};

// Reads the setup of a stream. Returns 0, or -1 when out of memory (then
// nothing is digested).
int read_codec_setup(const AVCodecParameters *par, codec_setup *setup);

// True when a decoder set up from `a` also decodes a stream set up as `b`
// (or when either has no setup data to tell).
bool same_codec_setup(const codec_setup &a, const codec_setup &b);

// Bytes of the length before each NAL unit of an H.264 or HEVC stream, as
// its setup (avcC, hvcC) declares; 0 where the units follow start codes.
int nal_length_size(const AVCodecParameters *par);

#endif
