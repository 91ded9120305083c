// SPDX-License-Identifier: MIT
#include "merge/stream_selection.h"

#include <algorithm>
#include <utility>
#include <cstdio>
#include <cstring>

#include "av_compat.h"
#include "inspect/formats.h"
#include "merge/carry_over.h"
#include "merge/chapters.h"
#include "text.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace {

// A seekable output that keeps nothing: the trial header goes here, never
// near the real output path. Seekable, since some muxers (MP4) refuse an
// output they cannot seek back in.
struct null_sink {
    int64_t pos;
    int64_t size;
};

int sink_write(void *opaque, avio_write_byte *, int n)
{
    null_sink *s = static_cast<null_sink *>(opaque);
    s->pos += n;
    s->size = std::max(s->size, s->pos);
    return n;
}

int64_t sink_seek(void *opaque, int64_t offset, int whence)
{
    null_sink *s = static_cast<null_sink *>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return s->size;
    case SEEK_SET: s->pos = offset; break;
    case SEEK_CUR: s->pos += offset; break;
    case SEEK_END: s->pos = s->size + offset; break;
    default: return AVERROR(EINVAL);
    }
    return s->pos < 0 ? AVERROR(EINVAL) : s->pos;
}

// True for the ISO base media family (MP4, MOV, M4A, 3GP), whose codec
// tags are sample-entry names that mean the same in each of them.
bool iso_media(const char *name)
{
    return std::strstr(name, "mov") || std::strstr(name, "mp4") || std::strcmp(name, "ipod") == 0 ||
           std::strstr(name, "3gp") || std::strstr(name, "3g2");
}

bool is_attached_pic(const AVStream *st)
{
    return (st->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
}

// Audio and video that is joined, as opposed to what rides along with it.
bool is_main_stream(const AVStream *st)
{
    int t = st->codecpar->codec_type;
    return (t == AVMEDIA_TYPE_AUDIO || t == AVMEDIA_TYPE_VIDEO) && !is_attached_pic(st);
}

// Tries the header of format `of` with the input streams in `set` (n of
// them, in input order), set up as the output's will be, on a null sink. Returns 0 when the muxer takes
// them, else its AVERROR.
int try_header(const AVOutputFormat *of, const AVFormatContext *ic,
               const AVCodecParameters *const *pars, const unsigned *tags, const int *set, int n)
{
    AVFormatContext *t = nullptr;
    int ret = avformat_alloc_output_context2(&t, of, nullptr, nullptr);
    if (ret < 0)
        return ret;
    for (int k = 0; k < n && ret >= 0; k++) {
        AVStream *out = avformat_new_stream(t, nullptr);
        ret = out ? setup_output_stream(out, ic->streams[set[k]], pars[set[k]], of) : AVERROR(ENOMEM);
        if (ret >= 0) {
            out->codecpar->codec_tag = tags[set[k]];
            ret = carry_stream_props(ic->streams[set[k]], out);
        }
    }
    // The header sees what the real one will: the carried flags, tags and
    // side data change what a muxer makes of a stream (a picture flagged
    // more than an attached picture is a video track to MP4), and chapters
    // given with the header make a track of their own.
    chapter_list chapters{};
    if (ret >= 0)
        ret = carry_file_props(ic, t);
    if (ret >= 0)
        ret = chapters_begin(&chapters, VM_CHAPTERS_KEEP, ic, t, 0,
                             ic->duration == AV_NOPTS_VALUE ? 0 : ic->duration);
    chapters_free(&chapters);
    null_sink sink{0, 0};
    const int buffer_size = 4096;
    unsigned char *buffer = nullptr;
    if (ret >= 0 && !(buffer = static_cast<unsigned char *>(av_malloc(buffer_size))))
        ret = AVERROR(ENOMEM);
    if (ret >= 0) {
        t->pb = avio_alloc_context(buffer, buffer_size, 1, &sink, nullptr, sink_write, sink_seek);
        if (!t->pb) {
            av_free(buffer);
            ret = AVERROR(ENOMEM);
        }
    }
    if (ret >= 0) {
        t->flags |= AVFMT_FLAG_CUSTOM_IO;
        ret = avformat_write_header(t, nullptr);
    }
    if (t->pb) {
        av_freep(&t->pb->buffer);
        avio_context_free(&t->pb);
    }
    avformat_free_context(t);
    return ret;
}

const char *codec_name(const AVStream *st)
{
    const char *name = avcodec_get_name(st->codecpar->codec_id);
    return name ? name : "?";
}

}  // namespace

const char *stream_kind(const AVStream *st)
{
    if (is_attached_pic(st))
        return "attached picture";
    switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO: return "video";
    case AVMEDIA_TYPE_AUDIO: return "audio";
    case AVMEDIA_TYPE_SUBTITLE: return "subtitle";
    case AVMEDIA_TYPE_ATTACHMENT: return "attachment";
    default: return "data";
    }
}

namespace {

// Muxers that store an attached picture as a picture (cover art); others
// take it, if at all, as one more video or data stream.
bool stores_pictures(const AVOutputFormat *of)
{
    static const char *const names[] = {"mp4", "mov", "ipod", "3gp", "3g2", "matroska", "mp3", "flac"};
    return name_in(of->name, names);
}

// Matroska (FFmpeg 5.1) would store an attached picture as a video track
// of one frame; as an attachment it stays what it was in a Matroska input.
bool attach_picture(const AVStream *in, const AVOutputFormat *of)
{
    return is_attached_pic(in) && std::strcmp(of->name, "matroska") == 0;
}

// The picture of an attached-picture stream as the attachment's data.
int picture_as_attachment(AVStream *out, const AVStream *in)
{
    const AVPacket &pic = in->attached_pic;
    AVCodecParameters *par = out->codecpar;
    av_freep(&par->extradata);
    par->extradata_size = 0;
    par->extradata = static_cast<uint8_t *>(av_mallocz((size_t)pic.size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata)
        return AVERROR(ENOMEM);
    if (pic.size > 0)
        std::memcpy(par->extradata, pic.data, (size_t)pic.size);
    par->extradata_size = pic.size;
    par->codec_type = AVMEDIA_TYPE_ATTACHMENT;
    if (!av_dict_get(in->metadata, "filename", nullptr, 0)) {
        const char *name = par->codec_id == AV_CODEC_ID_PNG ? "cover.png" : "cover.jpg";
        return av_dict_set(&out->metadata, "filename", name, 0);
    }
    return 0;
}

}  // namespace

int setup_output_stream(AVStream *out, const AVStream *in, const AVCodecParameters *par,
                        const AVOutputFormat *of)
{
    int ret = avcodec_parameters_copy(out->codecpar, par);
    if (ret < 0)
        return ret;
    out->codecpar->codec_tag = 0;  // let the muxer pick its own tag
    out->time_base = in->time_base;
    bool attach = attach_picture(in, of);
    if (is_attached_pic(in) && !attach)
        out->disposition |= AV_DISPOSITION_ATTACHED_PIC;
    // A Matroska attachment is stored under its file name and media type.
    if (attach || par->codec_type == AVMEDIA_TYPE_ATTACHMENT)
        for (const char *key : {"filename", "mimetype"})
            if (const AVDictionaryEntry *e = av_dict_get(in->metadata, key, nullptr, 0))
                if ((ret = av_dict_set(&out->metadata, key, e->value, 0)) < 0)
                    return ret;
    return attach ? picture_as_attachment(out, in) : 0;
}

namespace {

// The containers to suggest for a stream the output cannot store, by the
// extension a user gives: ".webm or .mkv". Empty when none of them takes
// it. Not MPEG-TS: it carries almost anything as private data, which
// players do not play.
void containers_storing(const AVFormatContext *ic, const AVCodecParameters *const *pars, int index,
                        const AVOutputFormat *refused, char *out, size_t cap)
{
    static const char *const CANDIDATES[][2] = {
        {"webm", "webm"}, {"mkv", "matroska"}, {"mp4", "mp4"}, {"mov", "mov"},
    };
    unsigned tags[VM_MAX_STREAMS] = {};
    int set[1] = {index};
    const char *found[4];
    int n = 0;
    for (const auto &c : CANDIDATES) {
        const AVOutputFormat *of = av_guess_format(c[1], nullptr, nullptr);
        if (of && of != refused && muxer_supported(of) && try_header(of, ic, pars, tags, set, 1) >= 0)
            found[n++] = c[0];
    }
    size_t pos = 0;
    out[0] = '\0';
    for (int i = 0; i < n; i++)
        pos += format_text(out + pos, cap - pos, "%s.%s", i == 0 ? "" : i + 1 == n ? " or " : ", ", found[i]);
}

}  // namespace

int select_streams(const AVFormatContext *ic, const char *path, const AVCodecParameters *const *pars,
                   const AVOutputFormat *of, stream_selection *sel, char *reason, size_t cap)
{
    int n = (int)std::min<unsigned>(ic->nb_streams, VM_MAX_STREAMS);
    *sel = stream_selection{};
    sel->count = n;
    bool keep[VM_MAX_STREAMS] = {};
    int set[VM_MAX_STREAMS];
    // Files whose output opens further files of its own (segments, images,
    // playlists) are not tried: their header would create those files.
    bool trial = !(of->flags & AVFMT_NOFILE);
    // Audio and video first, so that a muxer that wants them (MP3 wants its
    // audio stream) has them when the others are tried.
    for (int pass = 0; pass < 2; pass++) {
        for (int i = 0; i < n; i++) {
            const AVStream *st = ic->streams[i];
            if (is_main_stream(st) != (pass == 0))
                continue;
            // A codec FFmpeg does not know cannot be written faithfully by
            // any muxer, even one that takes it (MOV writes a track of it).
            // An attachment is a file with its media type: it needs none.
            if (st->codecpar->codec_id == AV_CODEC_ID_NONE &&
                st->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT)
                continue;
            if (is_attached_pic(st) && !stores_pictures(of))
                continue;
            keep[i] = true;
            if (!trial)
                continue;
            int k = 0;
            for (int x = 0; x < n; x++)
                if (keep[x])
                    set[k++] = x;
            // Under the muxer's own tag, or else, from MP4/MOV into MP4/MOV,
            // under the input's sample entry, which the muxer may write as
            // it is; a data track tries its own first, as the muxer's
            // tables name few of them (GoPro's gpmd in MOV).
            unsigned own = st->codecpar->codec_tag;
            bool may_keep = own && iso_media(ic->iformat->name) && iso_media(of->name);
            unsigned tries[2] = {0, may_keep ? own : 0};
            if (may_keep && st->codecpar->codec_type == AVMEDIA_TYPE_DATA)
                std::swap(tries[0], tries[1]);
            int ret = AVERROR(EINVAL);
            for (int t = 0; t < 2 && ret < 0 && ret != AVERROR(ENOMEM); t++) {
                if (t == 1 && tries[1] == tries[0])
                    break;
                sel->codec_tag[i] = tries[t];
                ret = try_header(of, ic, pars, sel->codec_tag, set, k);
            }
            if (ret < 0)
                sel->codec_tag[i] = 0;
            if (ret == AVERROR(ENOMEM)) {
                format_text(reason, cap, "oom");
                return -1;
            }
            keep[i] = ret >= 0;
        }
    }
    int first_main = -1;
    bool main_kept = false;
    for (int i = 0; i < n; i++) {
        const AVStream *st = ic->streams[i];
        if (is_main_stream(st)) {
            if (first_main < 0)
                first_main = i;
            main_kept = main_kept || keep[i];
        }
        if (keep[i]) {
            sel->out_index[i] = sel->kept++;
            if (is_attached_pic(st) || st->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT)
                sel->once |= 1ull << i;
            if (attach_picture(st, of))
                sel->as_attachment |= 1ull << i;
        } else {
            sel->out_index[i] = -1;
            sel->left_out |= 1ull << i;
        }
    }
    // Some of the audio and video fit, not all: a user who asked for a
    // video must not get a file without it (nor without its sound). A codec
    // FFmpeg does not know fits no container: it is left out, as before.
    for (int i = 0; i < n && main_kept && trial; i++) {
        const AVStream *st = ic->streams[i];
        if (!is_main_stream(st) || keep[i] || st->codecpar->codec_id == AV_CODEC_ID_NONE)
            continue;
        char where[64];
        containers_storing(ic, pars, i, of, where, sizeof where);
        size_t pos = format_text(reason, cap, "%s cannot store stream %d of %s (%s, %s)", of->name, i, path,
                                 stream_kind(st), codec_name(st));
        if (where[0])
            format_text(reason + pos, cap - pos, ": use %s", where);
        return -1;
    }
    if (first_main >= 0 && !main_kept) {
        const AVStream *st = ic->streams[first_main];
        format_text(reason, cap, "%s cannot store the audio or video of %s (stream %d: %s, %s)",
                    of->name, path, first_main, stream_kind(st), codec_name(st));
        return -1;
    }
    if (sel->kept == 0) {
        format_text(reason, cap, "%s cannot store any stream of %s", of->name, path);
        return -1;
    }
    return 0;
}

int output_stream_of(const stream_selection &sel, int index, int j)
{
    if (index < 0 || index >= sel.count)
        return -1;
    if ((j > 1 && (sel.once >> index & 1)) || (sel.as_attachment >> index & 1))
        return -1;
    return sel.out_index[index];
}
