// SPDX-License-Identifier: MIT
#include "inspect/first_picture.h"

#include <cstring>

#include "inspect/codec_setup.h"
#include "text.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace {

// How much of the first picture is read: the units before its first slice
// (parameter sets, SEI) are well within it.
const int READ_CAP = 64 << 10;
// How much of the first slice the decoder gets: its header, and a few
// blocks of the picture.
const unsigned SLICE_KEEP = 2048;
// The blocks after SLICE_KEEP cannot be decoded, which the decoder reports
// as an error; raised this far, its messages are never shown.
const int QUIET = 8 * AV_LOG_TRACE;

// How far from the start the first picture may lie: FFmpeg's analysis
// reads a few seconds at most, and may not reach a later one.
const int64_t FIRST_PICTURE_BY = AV_TIME_BASE;

const char *const INDEXED_FORMATS[] = {"mov,mp4,m4a,3gp,3g2,mj2"};

bool slice_unit(uint8_t first_byte)
{
    int type = first_byte & 0x1f;
    return type >= 1 && type <= 5;
}

// Cuts the picture in `pkt` after the first SLICE_KEEP bytes of its first
// slice. False when no slice starts within it, or its units do not add up.
bool cut_after_slice_start(AVPacket *pkt, int len_size)
{
    int pos = 0;
    while (pos + len_size < pkt->size) {
        uint32_t len = 0;
        for (int i = 0; i < len_size; i++)
            len = (len << 8) | pkt->data[pos + i];
        int body = pos + len_size;
        if (len == 0)
            return false;
        if (slice_unit(pkt->data[body])) {
            uint32_t kept = len < SLICE_KEEP ? len : SLICE_KEEP;
            if (kept > (uint32_t)(pkt->size - body))
                kept = (uint32_t)(pkt->size - body);
            for (int i = 0; i < len_size; i++)
                pkt->data[pos + i] = (uint8_t)(kept >> (8 * (len_size - 1 - i)));
            pkt->size = body + (int)kept;
            std::memset(pkt->data + pkt->size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
            return true;
        }
        if (len > (uint32_t)(pkt->size - body))
            return false;
        pos = body + (int)len;
    }
    return false;
}

// The first sample's bytes, up to READ_CAP, read where the index says it
// lies; the reading position is put back.
AVPacket *read_first_sample(AVFormatContext *ic, AVStream *st)
{
    if (!ic->pb || avformat_index_get_entries_count(st) < 1)
        return nullptr;
    const AVIndexEntry *e = avformat_index_get_entry(st, 0);
    if (!e || !(e->flags & AVINDEX_KEYFRAME) || e->size <= 0 || e->timestamp == AV_NOPTS_VALUE ||
        st->time_base.num <= 0 || st->time_base.den <= 0)
        return nullptr;
    int64_t at_us = av_rescale_q(e->timestamp, st->time_base, AV_TIME_BASE_Q);
    if (at_us > FIRST_PICTURE_BY || at_us < -FIRST_PICTURE_BY)
        return nullptr;
    AVPacket *pkt = av_packet_alloc();
    int size = e->size < READ_CAP ? e->size : READ_CAP;
    if (!pkt || av_new_packet(pkt, size) < 0) {
        av_packet_free(&pkt);
        return nullptr;
    }
    int64_t at = avio_tell(ic->pb);
    bool read = at >= 0 && avio_seek(ic->pb, e->pos, SEEK_SET) == e->pos && avio_read(ic->pb, pkt->data, size) == size;
    if (avio_seek(ic->pb, at, SEEK_SET) != at || !read) {
        av_packet_free(&pkt);
        return nullptr;
    }
    pkt->pts = pkt->dts = e->timestamp;
    pkt->flags |= AV_PKT_FLAG_KEY;
    return pkt;
}

// Opens the decoder as FFmpeg's analysis does (one thread, no loop
// filter), and without hiding the missing part of the picture, which would
// cost more than the rest.
AVCodecContext *open_decoder(const AVStream *st)
{
    const AVCodecParameters *par = st->codecpar;
    const AVCodec *codec = avcodec_find_decoder_by_name("h264");
    if (!codec)
        return nullptr;
    AVCodecContext *dec = avcodec_alloc_context3(codec);
    if (!dec)
        return nullptr;
    AVDictionary *opts = nullptr;
    int ret = avcodec_parameters_to_context(dec, par);
    dec->pkt_timebase = st->time_base;
    dec->log_level_offset = QUIET;
    if (ret >= 0)
        ret = av_dict_set(&opts, "threads", "1", 0);
    if (ret >= 0)
        ret = av_dict_set(&opts, "skip_loop_filter", "all", 0);
    if (ret >= 0)
        ret = av_dict_set(&opts, "ec", "0", 0);
    if (ret >= 0)
        ret = avcodec_open2(dec, codec, &opts);
    av_dict_free(&opts);
    if (ret < 0)
        avcodec_free_context(&dec);
    return dec;
}

}  // namespace

AVCodecParameters *first_picture_parameters(AVFormatContext *ic, int index)
{
    AVStream *st = ic->streams[index];
    if (st->codecpar->codec_id != AV_CODEC_ID_H264)
        return nullptr;
    int len_size = nal_length_size(st->codecpar);
    if (len_size == 0)
        return nullptr;
    AVPacket *pkt = read_first_sample(ic, st);
    if (!pkt)
        return nullptr;
    AVCodecParameters *par = nullptr;
    AVCodecContext *dec = nullptr;
    AVFrame *frame = av_frame_alloc();
    if (frame && cut_after_slice_start(pkt, len_size) && (dec = open_decoder(st))) {
        // The picture is cut short, so the decoder's verdict on it does not
        // matter; what it learnt from the slice's start does.
        if (avcodec_send_packet(dec, pkt) >= 0)
            while (avcodec_receive_frame(dec, frame) >= 0)
                av_frame_unref(frame);
        if (dec->pix_fmt != AV_PIX_FMT_NONE) {
            par = avcodec_parameters_alloc();
            if (par && avcodec_parameters_from_context(par, dec) < 0)
                avcodec_parameters_free(&par);
        }
    }
    avcodec_free_context(&dec);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    return par;
}

namespace {

// Parameter sets all in the header, no colours stated there.
bool seedable_header(const AVCodecParameters *par)
{
    return par->codec_type == AVMEDIA_TYPE_VIDEO && par->codec_id == AV_CODEC_ID_H264 &&
           par->codec_tag == MKTAG('a', 'v', 'c', '1') && par->color_range == AVCOL_RANGE_UNSPECIFIED &&
           par->color_primaries == AVCOL_PRI_UNSPECIFIED && par->color_trc == AVCOL_TRC_UNSPECIFIED &&
           par->color_space == AVCOL_SPC_UNSPECIFIED && par->chroma_location == AVCHROMA_LOC_UNSPECIFIED;
}

}  // namespace

int seed_from_first_pictures(AVFormatContext *ic, AVDictionary **stream_opts)
{
    if (!name_in(ic->iformat->name, INDEXED_FORMATS))
        return 0;
    int seeded = 0;
    for (unsigned i = 0; i < ic->nb_streams; i++) {
        AVCodecParameters *par = ic->streams[i]->codecpar;
        if (!seedable_header(par))
            continue;
        AVCodecParameters *found = first_picture_parameters(ic, (int)i);
        // A depth reported at once comes from the parameter sets, and then
        // the analysis stops after one picture too.
        if (!found || found->video_delay <= 0) {
            avcodec_parameters_free(&found);
            continue;
        }
        // The bit rate is the file's; the field order the analysis reads
        // from the first pictures without decoding them.
        int64_t bit_rate = par->bit_rate;
        enum AVFieldOrder field_order = par->field_order;
        int ret = avcodec_parameters_copy(par, found);
        avcodec_parameters_free(&found);
        if (ret < 0)
            return ret;
        par->bit_rate = bit_rate;
        par->field_order = field_order;
        // The analysis still opens the decoder, as before, but gives it no
        // picture to decode.
        ret = av_dict_set(&stream_opts[i], "skip_frame", "all", 0);
        if (ret < 0)
            return ret;
        seeded++;
    }
    return seeded;
}
