#include "inspect/analysis_seed.h"

#include <cstring>
#include <new>

#include "av_compat.h"
#include "capacity.h"
#include "inspect/first_picture.h"
#include "text.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace {

// MP4 and MOV: their packets carry decode times, so the analysis learns the
// same times whether or not it decodes pictures.
const char *const SEEDABLE_FORMATS[] = {"mov,mp4,m4a,3gp,3g2,mj2"};

// Parameter sets only in the sample description (avc1, hvc1): with avc3
// and hev1 the packets may carry other ones, which only decoding reads.
bool seedable_stream(const AVCodecParameters *par)
{
    return par->codec_type == AVMEDIA_TYPE_VIDEO &&
           ((par->codec_id == AV_CODEC_ID_H264 && par->codec_tag == MKTAG('a', 'v', 'c', '1')) ||
            (par->codec_id == AV_CODEC_ID_HEVC && par->codec_tag == MKTAG('h', 'v', 'c', '1')));
}

bool same_rational(AVRational a, AVRational b) { return a.num == b.num && a.den == b.den; }

// Two video headers, as read before any analysis, the same in everything
// the decoder learns from; the bit rate MP4 computes from the file's size
// aside.
bool same_header(const AVStream *a, const AVStream *b)
{
    const AVCodecParameters *p = a->codecpar, *q = b->codecpar;
    if (p->codec_type != q->codec_type || p->codec_id != q->codec_id || p->codec_tag != q->codec_tag ||
        p->format != q->format || p->bits_per_coded_sample != q->bits_per_coded_sample ||
        p->bits_per_raw_sample != q->bits_per_raw_sample || p->profile != q->profile || p->level != q->level ||
        p->width != q->width || p->height != q->height || !same_rational(p->sample_aspect_ratio, q->sample_aspect_ratio) ||
        p->field_order != q->field_order || p->color_range != q->color_range ||
        p->color_primaries != q->color_primaries || p->color_trc != q->color_trc ||
        p->color_space != q->color_space || p->chroma_location != q->chroma_location ||
        p->video_delay != q->video_delay || !same_rational(a->time_base, b->time_base))
        return false;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 11, 100)
    if (!same_rational(p->framerate, q->framerate))
        return false;
#endif
    if (p->extradata_size != q->extradata_size ||
        (p->extradata_size > 0 && std::memcmp(p->extradata, q->extradata, p->extradata_size) != 0))
        return false;
    int na = 0, nb = 0;
    const AVPacketSideData *sa = stream_side_data(a, &na);
    const AVPacketSideData *sb = stream_side_data(b, &nb);
    if (na != nb)
        return false;
    for (int i = 0; i < na; i++)
        if (sa[i].type != sb[i].type || sa[i].size != sb[i].size ||
            (sa[i].size > 0 && std::memcmp(sa[i].data, sb[i].data, sa[i].size) != 0))
            return false;
    return true;
}

}  // namespace

struct analysis_seed {
    const AVInputFormat *format = nullptr;
    int stream_count = 0;
    AVStream *header[VM_MAX_STREAMS] = {};      // seedable streams as the header gave them
    AVCodecParameters *found[VM_MAX_STREAMS] = {};  // and as the analysis left them
    AVFormatContext *holder = nullptr;          // owns the header copies
};

analysis_seed *seed_from_header(const AVFormatContext *ic)
{
    if (!name_in(ic->iformat->name, SEEDABLE_FORMATS) || ic->nb_streams > VM_MAX_STREAMS)
        return nullptr;
    analysis_seed *seed = new (std::nothrow) analysis_seed();
    if (!seed)
        return nullptr;
    seed->format = ic->iformat;
    seed->stream_count = (int)ic->nb_streams;
    seed->holder = avformat_alloc_context();
    bool any = false;
    for (unsigned i = 0; seed->holder && i < ic->nb_streams; i++) {
        const AVStream *from = ic->streams[i];
        if (!seedable_stream(from->codecpar))
            continue;
        AVStream *st = avformat_new_stream(seed->holder, nullptr);
        if (!st || avcodec_parameters_copy(st->codecpar, from->codecpar) < 0 ||
            stream_copy_side_data(st, from) < 0) {
            any = false;
            break;
        }
        st->time_base = from->time_base;
        seed->header[i] = st;
        any = true;
    }
    if (!any)
        free_seed(&seed);
    return seed;
}

void seed_analysed(analysis_seed *seed, const AVFormatContext *ic)
{
    for (int i = 0; i < seed->stream_count && i < (int)ic->nb_streams; i++) {
        if (!seed->header[i])
            continue;
        seed->found[i] = avcodec_parameters_alloc();
        // Out of memory leaves that stream unseeded.
        if (seed->found[i] && avcodec_parameters_copy(seed->found[i], ic->streams[i]->codecpar) < 0)
            avcodec_parameters_free(&seed->found[i]);
    }
}

void seed_from_first_pictures(analysis_seed *seed, AVFormatContext *ic)
{
    for (int i = 0; i < seed->stream_count && i < (int)ic->nb_streams; i++) {
        const AVCodecParameters *par = ic->streams[i]->codecpar;
        bool states_colours = par->color_range != AVCOL_RANGE_UNSPECIFIED ||
                              par->color_primaries != AVCOL_PRI_UNSPECIFIED ||
                              par->color_trc != AVCOL_TRC_UNSPECIFIED || par->color_space != AVCOL_SPC_UNSPECIFIED ||
                              par->chroma_location != AVCHROMA_LOC_UNSPECIFIED;
        if (seed->header[i] && !seed->found[i] && !states_colours)
            seed->found[i] = first_picture_parameters(ic, i);
    }
}

void free_seed(analysis_seed **seed)
{
    if (!*seed)
        return;
    for (AVCodecParameters *&par : (*seed)->found)
        avcodec_parameters_free(&par);
    avformat_free_context((*seed)->holder);
    delete *seed;
    *seed = nullptr;
}

namespace {

// Whether stream i of `ic` has the header of the seed's stream i.
bool stream_fits(const analysis_seed *seed, const AVFormatContext *ic, unsigned i)
{
    return ic->iformat == seed->format && (int)i < seed->stream_count && seed->header[i] &&
           seedable_stream(ic->streams[i]->codecpar) && same_header(seed->header[i], ic->streams[i]);
}

}  // namespace

bool seed_fits(const analysis_seed *seed, const AVFormatContext *ic)
{
    for (unsigned i = 0; i < ic->nb_streams; i++)
        if (stream_fits(seed, ic, i))
            return true;
    return false;
}

int seed_streams(const analysis_seed *seed, AVFormatContext *ic, AVDictionary **stream_opts)
{
    int seeded = 0;
    for (unsigned i = 0; i < ic->nb_streams; i++) {
        if (!stream_fits(seed, ic, i) || !seed->found[i])
            continue;
        AVCodecParameters *par = ic->streams[i]->codecpar;
        // The bit rate is the file's own; the field order the analysis
        // reads from this file's first pictures, without decoding them.
        int64_t bit_rate = par->bit_rate;
        enum AVFieldOrder field_order = par->field_order;
        int ret = avcodec_parameters_copy(par, seed->found[i]);
        if (ret < 0)
            return ret;
        par->bit_rate = bit_rate;
        par->field_order = field_order;
        // The analysis still opens the decoder (its parameter sets tell the
        // reordering depth) but gives it no picture to decode.
        ret = av_dict_set(&stream_opts[i], "skip_frame", "all", 0);
        if (ret < 0)
            return ret;
        seeded++;
    }
    return seeded;
}
