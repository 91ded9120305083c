// SPDX-License-Identifier: MIT
#include "inspect/kept_analysis.h"

#include <cstring>
#include <new>

#include "av_compat.h"
#include "capacity.h"
#include "inspect/media_input.h"
#include "files/resolved_path.h"
#include "text.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace {

// The demuxers (FFmpeg's run-time names) whose packets were compared,
// field by field, between an input read after a full analysis and one read
// after its header with the kept analysis put back: every packet the same
// on the real recordings and the test media. Left out, each for a measured
// reason: MPEG-PS and FLV create their streams only while packets are read;
// ASF, raw AAC and the other raw video formats take packet durations or
// times from the analysis itself.
const char *const REOPENABLE[] = {
    "mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm", "mpegts", "avi", "ogg", "mp3", "flac", "wav", "ac3", "eac3",
};

// Formats that store presentation times only: FFmpeg derives the video's
// decode times from them with the reordering depth that the analysis learns.
const char *const PRESENTATION_TIMES_ONLY[] = {"matroska,webm"};

// FFmpeg's largest reordering depth (MAX_REORDER_DELAY).
enum { MAX_DELAY = 16 };

bool same_file_state(const vm_file_status &a, const vm_file_status &b)
{
    return a.kind == VM_FILE_REGULAR && b.kind == VM_FILE_REGULAR && a.device == b.device &&
           a.inode == b.inode && a.size == b.size && a.modified == b.modified && a.changed == b.changed;
}

}  // namespace

struct kept_stream {
    AVCodecParameters *par;
    AVRational r_frame_rate, avg_frame_rate, sample_aspect_ratio;
    int disposition;
    int64_t start_time, duration, nb_frames;
    AVPacketSideData *side_data;
    int nb_side_data;
    // Decode times: the depth of the window of presentation times they are
    // taken from (-1 when the demuxer gives them), and that window, sorted.
    int delay;
    int64_t window[MAX_DELAY + 1];
};

struct kept_analysis {
    vm_file_status file;
    const AVInputFormat *format;
    int64_t start_time, duration, bit_rate;
    int stream_count;
    kept_stream streams[VM_MAX_STREAMS];
    // The analysis gives chapters without an end the next one's start.
    int chapter_count;
    int64_t *chapter_ends;
    // The programs' tags: MPEG-TS names its service (SDT) often only after
    // the tables that a header read stops at.
    int program_count;
    AVDictionary **program_tags;
};

void file_identity(const char *path, vm_file_status *now)
{
    const char *local = local_file_part(path);
    if (local)
        vm_file_status_of(local, now);
    else
        *now = vm_file_status{};
}

void free_analysis(kept_analysis **a)
{
    if (!*a)
        return;
    for (int i = 0; i < (*a)->stream_count; i++) {
        kept_stream &k = (*a)->streams[i];
        avcodec_parameters_free(&k.par);
        for (int j = 0; j < k.nb_side_data; j++)
            av_free(k.side_data[j].data);
        av_free(k.side_data);
    }
    av_free((*a)->chapter_ends);
    for (int i = 0; i < (*a)->program_count; i++)
        av_dict_free(&(*a)->program_tags[i]);
    av_free((*a)->program_tags);
    delete *a;
    *a = nullptr;
}

namespace {

// Keeps one stream's part of the analysis. 0, 1 when the stream's packets
// would not come out the same without an analysis, -1 when out of memory.
int keep_stream(const AVStream *st, bool presentation_times_only, kept_stream &k)
{
    k.par = avcodec_parameters_alloc();
    if (!k.par || avcodec_parameters_copy(k.par, st->codecpar) < 0)
        return -1;
    k.r_frame_rate = st->r_frame_rate;
    k.avg_frame_rate = st->avg_frame_rate;
    k.sample_aspect_ratio = st->sample_aspect_ratio;
    k.disposition = st->disposition;
    k.start_time = st->start_time;
    k.duration = st->duration;
    k.nb_frames = st->nb_frames;
    // Side data goes with the parameters where they hold it.
    int side_data_count = 0;
    const AVPacketSideData *side_data = stream_side_data(st, &side_data_count);
    if (!VM_SIDE_DATA_IN_PARAMETERS && side_data_count > 0) {
        k.side_data = static_cast<AVPacketSideData *>(av_calloc(side_data_count, sizeof *k.side_data));
        if (!k.side_data)
            return -1;
        for (int j = 0; j < side_data_count; j++) {
            const AVPacketSideData &sd = side_data[j];
            k.side_data[j].data = static_cast<uint8_t *>(av_memdup(sd.data, sd.size));
            if (!k.side_data[j].data && sd.size)
                return -1;
            k.side_data[j].size = sd.size;
            k.side_data[j].type = sd.type;
            k.nb_side_data = j + 1;
        }
    }
    k.delay = -1;
    const AVCodecParameters *par = st->codecpar;
    if (presentation_times_only && par->codec_type == AVMEDIA_TYPE_VIDEO) {
        // Tracks kept in the old Windows way (a FourCC tag) store decode
        // times instead; other codecs than H.264 and HEVC that reorder
        // frames get their decode times from FFmpeg in other ways.
        bool reorder_by_window = par->codec_id == AV_CODEC_ID_H264 || par->codec_id == AV_CODEC_ID_HEVC;
        if (par->codec_tag != 0 || par->video_delay < 0 || par->video_delay > MAX_DELAY ||
            (par->video_delay > 0 && !reorder_by_window))
            return 1;
        k.delay = par->video_delay;
    }
    return 0;
}

// Puts the kept analysis back on an input whose header alone was read.
int put_back(const kept_analysis &a, AVFormatContext *ic)
{
    ic->start_time = a.start_time;
    ic->duration = a.duration;
    ic->bit_rate = a.bit_rate;
    for (int i = 0; i < a.chapter_count; i++)
        ic->chapters[i]->end = a.chapter_ends[i];
    for (int i = 0; i < a.program_count && i < (int)ic->nb_programs; i++)
        if (av_dict_copy(&ic->programs[i]->metadata, a.program_tags[i], 0) < 0)
            return -1;
    for (int i = 0; i < a.stream_count; i++) {
        const kept_stream &k = a.streams[i];
        AVStream *st = ic->streams[i];
        if (avcodec_parameters_copy(st->codecpar, k.par) < 0)
            return -1;
        st->r_frame_rate = k.r_frame_rate;
        st->avg_frame_rate = k.avg_frame_rate;
        st->sample_aspect_ratio = k.sample_aspect_ratio;
        st->disposition = k.disposition;
        st->start_time = k.start_time;
        st->duration = k.duration;
        st->nb_frames = k.nb_frames;
        for (int j = 0; j < k.nb_side_data; j++) {
            const AVPacketSideData &sd = k.side_data[j];
            if (stream_add_side_data(st, sd.type, sd.data, sd.size) < 0)
                return -1;
        }
    }
    return 0;
}

// Whether an opened header shows the file the check analysed: the same
// demuxer, streams of the same kinds and codecs, and as many chapters. A
// file rewritten in place with other media never gets the old analysis
// (and with it another codec's parameters for its packets).
bool header_matches(const kept_analysis &a, const AVFormatContext *ic)
{
    if (ic->iformat != a.format || (int)ic->nb_streams != a.stream_count || (int)ic->nb_chapters != a.chapter_count)
        return false;
    for (int i = 0; i < a.stream_count; i++) {
        const AVCodecParameters *now = ic->streams[i]->codecpar, *then = a.streams[i].par;
        if (now->codec_type != then->codec_type || now->codec_id != then->codec_id)
            return false;
        // FFmpeg times the packets of an audio stream (those after the
        // first of a PES in MPEG-TS) from the sample rate it knows when it
        // reads them, or the muxer from a fixed frame size; what is put back
        // reaches neither the demuxer nor its parsers. Where the header has
        // no sample rate and the frames no fixed size (Opus in MPEG-TS),
        // only an analysis times the packets.
        if (then->codec_type == AVMEDIA_TYPE_AUDIO && now->sample_rate <= 0 && then->frame_size <= 0)
            return false;
    }
    return true;
}

void reset_windows(kept_analysis &a)
{
    for (int i = 0; i < a.stream_count; i++)
        for (int64_t &t : a.streams[i].window)
            t = AV_NOPTS_VALUE;
}

}  // namespace

kept_analysis *keep_analysis(const AVFormatContext *ic, const char *path, const vm_file_status &before)
{
    if (!name_in(ic->iformat->name, REOPENABLE) || ic->nb_streams > VM_MAX_STREAMS)
        return nullptr;
    vm_file_status after;
    file_identity(path, &after);
    if (!same_file_state(before, after))
        return nullptr;
    kept_analysis *a = new (std::nothrow) kept_analysis();
    if (!a)
        return nullptr;
    a->file = before;
    a->format = ic->iformat;
    a->start_time = ic->start_time;
    a->duration = ic->duration;
    a->bit_rate = ic->bit_rate;
    bool pts_only = name_in(ic->iformat->name, PRESENTATION_TIMES_ONLY);
    if (ic->nb_chapters > 0) {
        a->chapter_ends = static_cast<int64_t *>(av_malloc_array(ic->nb_chapters, sizeof(int64_t)));
        if (!a->chapter_ends) {
            free_analysis(&a);
            return nullptr;
        }
        a->chapter_count = (int)ic->nb_chapters;
        for (int i = 0; i < a->chapter_count; i++)
            a->chapter_ends[i] = ic->chapters[i]->end;
    }
    if (ic->nb_programs > 0) {
        a->program_tags = static_cast<AVDictionary **>(av_calloc(ic->nb_programs, sizeof(AVDictionary *)));
        if (!a->program_tags) {
            free_analysis(&a);
            return nullptr;
        }
        a->program_count = (int)ic->nb_programs;
        for (int i = 0; i < a->program_count; i++)
            if (av_dict_copy(&a->program_tags[i], ic->programs[i]->metadata, 0) < 0) {
                free_analysis(&a);
                return nullptr;
            }
    }
    for (unsigned i = 0; i < ic->nb_streams; i++) {
        a->stream_count = (int)i + 1;
        if (keep_stream(ic->streams[i], pts_only, a->streams[i]) != 0) {
            free_analysis(&a);
            return nullptr;
        }
    }
    return a;
}

int open_for_merge(const char *path, kept_analysis *kept, AVFormatContext **ctx, int *av_error, bool *reused)
{
    *reused = false;
    vm_file_status now;
    if (kept) {
        file_identity(path, &now);
        if (same_file_state(kept->file, now)) {
            int opened = open_media_header(path, ctx, av_error);
            if (opened != VM_INPUT_OK)
                return opened;
            AVFormatContext *ic = *ctx;
            // The header must show what the analysis saw, and the path
            // still name that file once it is open.
            vm_file_status after;
            file_identity(path, &after);
            if (header_matches(*kept, ic) && same_file_state(kept->file, after) && put_back(*kept, ic) == 0) {
                reset_windows(*kept);
                *reused = true;
                return VM_INPUT_OK;
            }
            avformat_close_input(ctx);
        }
    }
    return open_media(path, ctx, av_error);
}

int read_reused(kept_analysis *kept, AVFormatContext *ic, AVPacket *pkt)
{
    int ret = av_read_frame(ic, pkt);
    if (ret < 0 || pkt->stream_index < 0 || pkt->stream_index >= kept->stream_count)
        return ret;
    kept_stream &k = kept->streams[pkt->stream_index];
    // An analysis leaves an attached picture without times.
    if (k.disposition & AV_DISPOSITION_ATTACHED_PIC) {
        pkt->pts = pkt->dts = AV_NOPTS_VALUE;
        pkt->duration = 0;
        return ret;
    }
    if (k.delay < 0 || pkt->pts == AV_NOPTS_VALUE)
        return ret;
    // As FFmpeg does: the new time goes into the sorted window of the last
    // delay + 1 presentation times, and the smallest is the decode time
    // (none until the window has filled).
    int64_t *w = k.window;
    w[0] = pkt->pts;
    for (int i = 0; i < k.delay && w[i] > w[i + 1]; i++) {
        int64_t t = w[i];
        w[i] = w[i + 1];
        w[i + 1] = t;
    }
    pkt->dts = w[0];
    return ret;
}

size_t kept_analysis_bytes(const kept_analysis *a)
{
    if (!a)
        return 0;
    size_t bytes = sizeof *a + (size_t)a->chapter_count * sizeof(int64_t);
    for (int i = 0; i < a->stream_count; i++) {
        const kept_stream &k = a->streams[i];
        bytes += sizeof(AVCodecParameters) + (size_t)k.par->extradata_size;
#if VM_SIDE_DATA_IN_PARAMETERS
        for (int j = 0; j < k.par->nb_coded_side_data; j++)
            bytes += k.par->coded_side_data[j].size;
#endif
        for (int j = 0; j < k.nb_side_data; j++)
            bytes += k.side_data[j].size;
    }
    for (int i = 0; i < a->program_count; i++) {
        const AVDictionaryEntry *e = nullptr;
        while ((e = av_dict_get(a->program_tags[i], "", e, AV_DICT_IGNORE_SUFFIX)))
            bytes += std::strlen(e->key) + std::strlen(e->value) + 2;
    }
    return bytes;
}
