#include "inspect/first_picture.h"

#include <cstring>

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
// How much of the first slice the decoder gets: its header, with room for
// an HEVC slice's entry points, and a few blocks of the picture.
const unsigned SLICE_KEEP = 2048;
// The blocks after SLICE_KEEP cannot be decoded, which the decoder reports
// as an error; raised this far, its messages are never shown.
const int QUIET = 8 * AV_LOG_TRACE;

// The size of the length field before each unit, from the H.264 (avcC)
// or HEVC (hvcC) setup; 0 for units with start codes or an unknown setup.
int length_size(const AVCodecParameters *par)
{
    const uint8_t *x = par->extradata;
    if (par->codec_id == AV_CODEC_ID_H264 && par->extradata_size >= 7 && x[0] == 1)
        return (x[4] & 3) + 1;
    if (par->codec_id == AV_CODEC_ID_HEVC && par->extradata_size >= 23 && x[0] == 1)
        return (x[21] & 3) + 1;
    return 0;
}

bool slice_unit(enum AVCodecID codec, uint8_t first_byte)
{
    if (codec == AV_CODEC_ID_H264) {
        int type = first_byte & 0x1f;
        return type >= 1 && type <= 5;
    }
    return ((first_byte >> 1) & 0x3f) < 32;
}

// Cuts the picture in `pkt` after the first SLICE_KEEP bytes of its first
// slice. False when no slice starts within it, or its units do not add up.
bool cut_after_slice_start(AVPacket *pkt, enum AVCodecID codec, int len_size)
{
    int pos = 0;
    while (pos + len_size < pkt->size) {
        uint32_t len = 0;
        for (int i = 0; i < len_size; i++)
            len = (len << 8) | pkt->data[pos + i];
        int body = pos + len_size;
        if (len == 0)
            return false;
        if (slice_unit(codec, pkt->data[body])) {
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
    if (!e || !(e->flags & AVINDEX_KEYFRAME) || e->size <= 0)
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

// Opens the decoder as FFmpeg's analysis does: one thread, no loop filter.
AVCodecContext *open_decoder(const AVStream *st)
{
    const AVCodecParameters *par = st->codecpar;
    const AVCodec *codec = par->codec_id == AV_CODEC_ID_H264 ? avcodec_find_decoder_by_name("h264")
                                                            : avcodec_find_decoder(par->codec_id);
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
    int len_size = length_size(st->codecpar);
    if (len_size == 0)
        return nullptr;
    AVPacket *pkt = read_first_sample(ic, st);
    if (!pkt)
        return nullptr;
    AVCodecParameters *par = nullptr;
    AVCodecContext *dec = nullptr;
    AVFrame *frame = av_frame_alloc();
    if (frame && cut_after_slice_start(pkt, st->codecpar->codec_id, len_size) && (dec = open_decoder(st))) {
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
