// SPDX-License-Identifier: MIT
#include "merge/flac_frames.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/bswap.h>
#include <libavutil/crc.h>
#include <libavutil/mathematics.h>
}

namespace {

// STREAMINFO: after the 4-byte block header in the extradata, or bare.
const int STREAMINFO_SIZE = 34;
// The longest header: 4 fixed bytes, a 7-byte number, 2 + 2 optional
// bytes, the CRC-8.
const int MAX_HEADER = 16;

uint8_t crc8(const uint8_t *p, size_t n)
{
    return (uint8_t)av_crc(av_crc_get_table(AV_CRC_8_ATM), 0, p, n);
}

uint16_t crc16(const uint8_t *p, size_t n)
{
    return av_bswap16((uint16_t)av_crc(av_crc_get_table(AV_CRC_16_ANSI), 0, p, n));
}

// Length of the UTF-8-like coded number starting with byte b, or 0.
int coded_length(uint8_t b)
{
    if (b < 0x80)
        return 1;
    for (int n = 2; n <= 7; n++)
        if ((b & (0xFF << (7 - n) & 0xFF)) == (0xFF << (8 - n) & 0xFF))
            return n;
    return 0;
}

// Codes v (up to 36 bits) the UTF-8 way; returns the bytes written.
int put_coded(uint8_t *out, uint64_t v)
{
    if (v < 0x80) {
        out[0] = (uint8_t)v;
        return 1;
    }
    int n = 2;
    while (n < 7 && v >> (5 * n + 1))
        n++;
    for (int i = n - 1; i > 0; i--, v >>= 6)
        out[i] = (uint8_t)(0x80 | (v & 0x3F));
    out[0] = (uint8_t)((0xFF << (8 - n)) | v);
    return n;
}

}  // namespace

int flac_output_numbers_frames(AVFormatContext *oc)
{
    if (strcmp(oc->oformat->name, "flac") != 0 || oc->nb_streams != 1)
        return 0;
    AVCodecParameters *par = oc->streams[0]->codecpar;
    if (par->codec_id != AV_CODEC_ID_FLAC)
        return 0;
    uint8_t *info = par->extradata;
    if (par->extradata_size >= 8 + STREAMINFO_SIZE && !memcmp(info, "fLaC", 4))
        info += 8;
    else if (par->extradata_size >= 4 + STREAMINFO_SIZE && par->extradata_size < 8 + STREAMINFO_SIZE)
        info += par->extradata_size - STREAMINFO_SIZE;
    else if (par->extradata_size != STREAMINFO_SIZE)
        return -1;
    // Total samples: the low 36 bits of bytes 13..17; then the MD5. Zero
    // means unknown in both.
    info[13] &= 0xF0;
    memset(info + 14, 0, 4 + 16);
    return 1;
}

int flac_number_frame(AVPacket *pkt, const AVStream *st)
{
    const uint8_t *p = pkt->data;
    int size = pkt->size;
    if (pkt->pts == AV_NOPTS_VALUE || size < 10 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8)
        return 0;
    int coded = coded_length(p[4]);
    if (!coded)
        return 0;
    int bs = p[2] >> 4, sr = p[2] & 0x0F;
    int extra = (bs == 6 ? 1 : bs == 7 ? 2 : 0) + (sr == 12 ? 1 : sr == 13 || sr == 14 ? 2 : 0);
    int header = 4 + coded + extra;  // up to the CRC-8
    if (header + 1 + 2 > size || crc8(p, header) != p[header] ||
        crc16(p, size - 2) != (p[size - 2] << 8 | p[size - 1]))
        return 0;  // not one whole frame: leave it

    int rate = st->codecpar->sample_rate;
    if (rate <= 0)
        return 0;
    int64_t sample = av_rescale_q(pkt->pts, st->time_base, AVRational{1, rate});
    if (sample < 0 || sample >= (int64_t(1) << 36))
        return 0;

    uint8_t head[MAX_HEADER];
    memcpy(head, p, 4);
    head[1] |= 1;  // numbered by samples
    int n = 4 + put_coded(head + 4, (uint64_t)sample);
    memcpy(head + n, p + 4 + coded, extra);
    n += extra;
    head[n] = crc8(head, n);
    n++;

    int body = size - (header + 1);  // subframes and the CRC-16
    int new_size = n + body;
    AVBufferRef *buf = av_buffer_alloc(new_size + AV_INPUT_BUFFER_PADDING_SIZE);
    if (!buf)
        return -1;
    memcpy(buf->data, head, n);
    memcpy(buf->data + n, p + header + 1, body);
    memset(buf->data + new_size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    uint16_t crc = crc16(buf->data, new_size - 2);
    buf->data[new_size - 2] = (uint8_t)(crc >> 8);
    buf->data[new_size - 1] = (uint8_t)crc;
    av_buffer_unref(&pkt->buf);
    pkt->buf = buf;
    pkt->data = buf->data;
    pkt->size = new_size;
    return 0;
}
