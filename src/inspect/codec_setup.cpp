// SPDX-License-Identifier: MIT
#include "inspect/codec_setup.h"

#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/sha.h>
}

namespace {

typedef std::string bytes;

bytes slice(const uint8_t *p, size_t n) { return bytes(reinterpret_cast<const char *>(p), n); }

// The three headers of Vorbis and Theora, as FFmpeg keeps them in the
// extradata: Xiph lacing (a first byte of 2), or each header after a 16-bit
// size. False when the data is neither.
bool split_xiph(const uint8_t *x, size_t n, bytes out[3])
{
    if (n >= 6 && x[0] == 0 && x[1] >= 30) {  // 16-bit sizes; the first header is 30 or 42 bytes
        size_t pos = 0;
        for (int k = 0; k < 3; k++) {
            if (pos + 2 > n)
                return false;
            size_t len = (size_t)x[pos] << 8 | x[pos + 1];
            pos += 2;
            if (len > n - pos)
                return false;
            out[k] = slice(x + pos, len);
            pos += len;
        }
        return true;
    }
    if (n < 3 || x[0] != 2)
        return false;
    size_t pos = 1, len[2] = {0, 0};
    for (int k = 0; k < 2; k++) {
        while (pos < n && x[pos] == 255)
            len[k] += x[pos++];
        if (pos >= n)
            return false;
        len[k] += x[pos++];
    }
    if (len[0] > n - pos || len[1] > n - pos - len[0])
        return false;
    out[0] = slice(x + pos, len[0]);
    out[1] = slice(x + pos + len[0], len[1]);
    out[2] = slice(x + pos + len[0] + len[1], n - pos - len[0] - len[1]);
    return true;
}

// Vorbis: version, channels and sample rate, the two block sizes, and the
// whole setup header (codebooks, floors, residues, modes). Not the bit
// rates, which are only hints, nor the comments.
bool vorbis_setup(const uint8_t *x, size_t n, bytes &out)
{
    bytes h[3];
    if (!split_xiph(x, n, h) || h[0].size() < 30)
        return false;
    out = h[0].substr(7, 9) + h[0].substr(28, 1) + h[2];
    return true;
}

// Theora: the identification header but its nominal bit rate and quality
// hint, and the whole setup header (quantisers, Huffman tables).
bool theora_setup(const uint8_t *x, size_t n, bytes &out)
{
    bytes h[3];
    if (!split_xiph(x, n, h) || h[0].size() < 42)
        return false;
    out = h[0].substr(7, 30);                      // version .. colour space
    out += (char)(h[0][40] & 0x03);                // key-frame shift, without the quality
    out += h[0].substr(41, 1) + h[2];
    return true;
}

// Opus: channels, output gain and the channel mapping. Not the pre-skip
// (it trims the start of a file, not its decoding) nor the input rate.
bool opus_setup(const uint8_t *x, size_t n, bytes &out)
{
    if (n < 19 || std::memcmp(x, "OpusHead", 8) != 0)
        return false;
    out = slice(x + 9, 1) + slice(x + 16, n - 16);
    return true;
}

// FLAC STREAMINFO: the largest block size (the decoder's buffers), sample
// rate, channels and bits per sample. Not the frame-size hints, the sample
// count nor the MD5, which differ from file to file.
bool flac_setup(const uint8_t *x, size_t n, bytes &out)
{
    if (n >= 8 && std::memcmp(x, "fLaC", 4) == 0) {
        x += 8;
        n -= 8;
    }
    if (n < 18)
        return false;
    out = slice(x + 2, 2);                          // max block size
    out += (char)x[10];                             // sample rate, 20 bits
    out += (char)x[11];
    out += (char)(x[12] & 0xF0);
    out += (char)(x[12] & 0x0F);                    // channels, bits per sample
    out += (char)(x[13] & 0xF0);
    return true;
}

// MPEG-4 Visual: the video object layer headers (start codes 0x120 to
// 0x12F), where quarter-pel, interlacing, quantiser type and matrices,
// time resolution and sprites are set. Not user data (encoder names).
bool mpeg4_setup(const uint8_t *x, size_t n, bytes &out)
{
    out.clear();
    for (size_t i = 0; i + 3 < n; i++) {
        if (!(x[i] == 0 && x[i + 1] == 0 && x[i + 2] == 1 && (x[i + 3] & 0xF0) == 0x20))
            continue;
        size_t end = i + 4;
        while (end + 2 < n && !(x[end] == 0 && x[end + 1] == 0 && x[end + 2] == 1))
            end++;
        if (end + 2 >= n)
            end = n;
        out += slice(x + i, end - i);
        i = end - 1;
    }
    return !out.empty();
}

// Lines of an ASS/SSA [Script Info] that only describe the script.
bool descriptive_ass_line(const bytes &line)
{
    static const char *const keys[] = {"Title:", "Original Script:", "Original Translation:",
                                       "Original Editing:", "Original Timing:", "Synch Point:",
                                       "Script Updated By:", "Update Details:"};
    if (line.empty() || line[0] == ';' || line.compare(0, 2, "!:") == 0)
        return true;
    for (const char *k : keys)
        if (line.compare(0, std::strlen(k), k) == 0)
            return true;
    return false;
}

// ASS/SSA: the script header (resolution, wrapping, styles, the event
// format), without comments, descriptive lines and editor sections.
bool ass_setup(const uint8_t *x, size_t n, bytes &out)
{
    bytes text = slice(x, n);
    out.clear();
    bool editor_section = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == bytes::npos)
            end = text.size();
        bytes line = text.substr(pos, end - pos);
        pos = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty() && line[0] == '[')
            editor_section = line.compare(0, 9, "[Aegisub ") == 0;
        if (editor_section || descriptive_ass_line(line))
            continue;
        out += line + "\n";
    }
    return !out.empty();
}

// The AAC Audio Object Type: from the AudioSpecificConfig, or for ADTS
// (no extradata) from the profile FFmpeg read from the frame headers.
int aac_object_type(const AVCodecParameters *par)
{
    const uint8_t *x = par->extradata;
    if (par->extradata_size >= 1) {
        int aot = x[0] >> 3;
        if (aot == 31 && par->extradata_size >= 2)
            aot = 32 + ((x[0] & 0x07) << 3 | x[1] >> 5);
        return aot;
    }
    return par->profile >= 0 ? par->profile + 1 : 0;
}

}  // namespace

int read_codec_setup(const AVCodecParameters *par, codec_setup *setup)
{
    std::memset(setup, 0, sizeof *setup);
    const uint8_t *x = par->extradata;
    size_t n = x ? (size_t)par->extradata_size : 0;
    bytes fields;
    bool known = false;
    switch (par->codec_id) {
    case AV_CODEC_ID_AAC: setup->aac_object_type = aac_object_type(par); break;
    case AV_CODEC_ID_VORBIS: known = vorbis_setup(x, n, fields); break;
    case AV_CODEC_ID_THEORA: known = theora_setup(x, n, fields); break;
    case AV_CODEC_ID_OPUS: known = opus_setup(x, n, fields); break;
    case AV_CODEC_ID_FLAC: known = flac_setup(x, n, fields); break;
    case AV_CODEC_ID_MPEG4: known = mpeg4_setup(x, n, fields); break;
    case AV_CODEC_ID_ASS:
    case AV_CODEC_ID_SSA: known = ass_setup(x, n, fields); break;
    default: break;
    }
    if (!known)
        return 0;
    struct AVSHA *sha = av_sha_alloc();
    if (!sha)
        return -1;
    av_sha_init(sha, 160);
    av_sha_update(sha, reinterpret_cast<const uint8_t *>(fields.data()), fields.size());
    av_sha_final(sha, setup->digest);
    av_free(sha);
    setup->digested = true;
    return 0;
}

bool same_codec_setup(const codec_setup &a, const codec_setup &b)
{
    if (a.aac_object_type != b.aac_object_type)
        return false;
    // A file without setup data to read (MPEG-4 Visual with its headers in
    // band, which the decoder reads there) gives nothing to refuse on.
    return !a.digested || !b.digested || std::memcmp(a.digest, b.digest, sizeof a.digest) == 0;
}

int nal_length_size(const AVCodecParameters *par)
{
    const uint8_t *x = par->extradata;
    if (par->codec_id == AV_CODEC_ID_H264 && par->extradata_size >= 7 && x[0] == 1)
        return (x[4] & 3) + 1;
    if (par->codec_id == AV_CODEC_ID_HEVC && par->extradata_size >= 23 && x[0] == 1)
        return (x[21] & 3) + 1;
    return 0;
}
