#include "inspect/compat.h"

#include "inspect/kept_analysis.h"

#include <cstring>
#include <memory>
#include <new>

#include "inspect/input_survey.h"
#include "inspect/media_input.h"
#include "av_compat.h"
#include "text.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/display.h>
#include <libavutil/sha.h>
}

#include <cmath>

vm_packaging stream_packaging(const AVCodecParameters *par)
{
    const uint8_t *x = par->extradata;
    int n = par->extradata_size;
    switch (par->codec_id) {
    case AV_CODEC_ID_H264:
        // avcC always begins with configurationVersion 1; Annex B with 0.
        return n > 0 && x[0] == 1 ? VM_PACK_LENGTH_PREFIXED : VM_PACK_START_CODES;
    case AV_CODEC_ID_HEVC:
        // FFmpeg's own test: hvcC unless it begins with a 00 00 0x start code.
        return n > 3 && (x[0] || x[1] || x[2] > 1) ? VM_PACK_LENGTH_PREFIXED
                                                   : VM_PACK_START_CODES;
    case AV_CODEC_ID_AAC:
        return n > 0 ? VM_PACK_AAC_CONFIG : VM_PACK_AAC_ADTS;
    default:
        return VM_PACK_OTHER;
    }
}

namespace {

// Returns false when out of memory.
bool digest_extradata(const AVCodecParameters *par, uint8_t out[20])
{
    struct AVSHA *sha = av_sha_alloc();
    if (!sha)
        return false;
    av_sha_init(sha, 160);
    av_sha_update(sha, par->extradata, (size_t)par->extradata_size);
    av_sha_final(sha, out);
    av_free(sha);
    return true;
}

// Fills what decides how a stream is presented: its rotation and language.
void summarize_presentation(const AVStream *stream, stream_info *st)
{
    size_t size = 0;
    const uint8_t *matrix = stream_side_data_of(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && matrix && size >= 9 * sizeof(int32_t)) {
        double degrees = av_display_rotation_get(reinterpret_cast<const int32_t *>(matrix));
        if (!std::isnan(degrees))
            st->rotation = ((int)std::lround(degrees) % 360 + 360) % 360;
    }
    const AVDictionaryEntry *lang = av_dict_get(stream->metadata, "language", nullptr, 0);
    if (lang && av_strcasecmp(lang->value, "und") != 0)
        av_strlcpy(st->language, lang->value, sizeof st->language);
}

}  // namespace

int summarize_input(const AVFormatContext *ic, file_info *info)
{
    std::memset(info, 0, sizeof *info);
    // Every stream is compared: a file is never half checked.
    if (ic->nb_streams > VM_MAX_STREAMS)
        return -1;
    info->stream_count = (int)ic->nb_streams;
    for (int i = 0; i < info->stream_count; i++) {
        const AVCodecParameters *par = ic->streams[i]->codecpar;
        stream_info &st = info->streams[i];
        st.codec_id = par->codec_id;
        st.media_type = par->codec_type;
        st.width = par->width;
        st.height = par->height;
        st.sample_rate = par->sample_rate;
        st.channels = par->ch_layout.nb_channels;
        st.packaging = stream_packaging(par);
        if (st.packaging == VM_PACK_LENGTH_PREFIXED && !digest_extradata(par, st.extradata_sha1))
            st.sha1_missing = true;
        summarize_presentation(ic->streams[i], &st);
        // Out of memory leaves the setup unread, which no comparison refuses.
        read_codec_setup(par, &st.setup);
    }
    info->duration_ms = ic->duration == AV_NOPTS_VALUE ? 0 : ic->duration / 1000;
    return 0;
}

void too_many_streams(const char *path, char *out, size_t cap)
{
    format_text(out, cap, "too many streams in %s (max %d)", path, (int)VM_MAX_STREAMS);
}

int read_fileinfo(const char *path, file_info *info, char *err, kept_analysis **keep)
{
    AVFormatContext *ic = nullptr;
    int av_error = 0;
    vm_file_status before;
    if (keep) {
        *keep = nullptr;
        file_identity(path, &before);
    }
    int opened = open_media(path, &ic, &av_error);
    if (opened == VM_INPUT_OPEN_FAILED) {
        char msg[128];
        av_error_text(av_error, msg, sizeof msg);
        format_text(err, VM_FILEINFO_ERROR_CAP, "open %s: %s", path, msg);
        return -1;
    }
    if (opened == VM_INPUT_NOT_REGULAR) {
        format_text(err, VM_FILEINFO_ERROR_CAP, "not a regular file: %s", path);
        return -1;
    }
    if (opened != VM_INPUT_OK) {
        format_text(err, VM_FILEINFO_ERROR_CAP, "no stream info: %s", path);
        return -1;
    }
    int ret = summarize_input(ic, info);
    if (ret == 0 && keep)
        *keep = keep_analysis(ic, path, before);
    avformat_close_input(&ic);
    if (ret < 0)
        too_many_streams(path, err, VM_FILEINFO_ERROR_CAP);
    return ret;
}

namespace {

// Compares stream j of file k with the first file's; 1 when they match,
// otherwise 0 with the reason written.
int streams_match(const stream_info &a, const stream_info &b, int k, int j, char *reason)
{
    if (b.codec_id != a.codec_id || b.media_type != a.media_type) {
        format_text(reason, VM_REASON_CAP, "codec mismatch: file %d stream %d", k, j);
        return 0;
    }
    if (b.media_type == AVMEDIA_TYPE_VIDEO &&
        (b.width != a.width || b.height != a.height)) {
        format_text(reason, VM_REASON_CAP, "resolution mismatch: file %d (%dx%d vs %dx%d)", k,
                    b.width, b.height, a.width, a.height);
        return 0;
    }
    if (b.media_type == AVMEDIA_TYPE_AUDIO &&
        (b.sample_rate != a.sample_rate || b.channels != a.channels)) {
        format_text(reason, VM_REASON_CAP, "audio format mismatch: file %d", k);
        return 0;
    }
    if (b.packaging != a.packaging) {
        format_text(reason, VM_REASON_CAP, "stream format mismatch: file %d stream %d", k, j);
        return 0;
    }
    if (!same_codec_setup(a.setup, b.setup)) {
        format_text(reason, VM_REASON_CAP, "codec setup mismatch: file %d stream %d", k, j);
        return 0;
    }
    return 1;
}

// File k against the first in how its streams are presented. A rotation
// cannot change within a stream. Streams of one kind that carry the same
// languages in another order are tracks swapped between the files: joined,
// the language of each output track would change at the join. Languages
// that merely differ (or are missing) are not refused.
int presentation_matches(const file_info &first, const file_info &f, int k, char *reason)
{
    for (int j = 0; j < f.stream_count; j++)
        if (f.streams[j].media_type == AVMEDIA_TYPE_VIDEO &&
            f.streams[j].rotation != first.streams[j].rotation) {
            format_text(reason, VM_REASON_CAP, "rotation mismatch: file %d stream %d", k, j);
            return 0;
        }
    for (int kind = 0; kind < AVMEDIA_TYPE_NB; kind++) {
        // Each language of file k's streams of this kind, in order, matched
        // to a distinct stream of the first file with that language.
        bool used[VM_MAX_STREAMS] = {};
        bool same_order = true, same_set = true;
        for (int j = 0; j < f.stream_count && same_set; j++) {
            if (f.streams[j].media_type != kind)
                continue;
            const char *lang = f.streams[j].language;
            same_order = same_order && std::strcmp(lang, first.streams[j].language) == 0;
            int match = -1;
            for (int i = 0; i < first.stream_count && match < 0; i++)
                if (!used[i] && first.streams[i].media_type == kind &&
                    std::strcmp(first.streams[i].language, lang) == 0)
                    match = i;
            if (match < 0)
                same_set = false;
            else
                used[match] = true;
        }
        if (same_set && !same_order) {
            format_text(reason, VM_REASON_CAP, "stream order mismatch: file %d", k);
            return 0;
        }
    }
    return 1;
}

}  // namespace

int compare_fileinfo(const file_info &first, const file_info &f, int k, char *reason, vm_stream_mask *differ)
{
    if (f.stream_count != first.stream_count) {
        format_text(reason, VM_REASON_CAP, "stream count mismatch: file %d has %d streams (expected %d)", k,
                    f.stream_count, first.stream_count);
        return 0;
    }
    for (int j = 0; j < f.stream_count; j++) {
        const stream_info &a = first.streams[j], &b = f.streams[j];
        if (!streams_match(a, b, k, j, reason))
            return 0;
        // Without a digest a stream counts as different: filtering a
        // stream that did not need it costs time, never correctness.
        bool unknown = a.sha1_missing || b.sha1_missing;
        if (b.packaging == VM_PACK_LENGTH_PREFIXED &&
            (unknown || std::memcmp(a.extradata_sha1, b.extradata_sha1, 20) != 0))
            *differ |= 1ull << j;
    }
    return presentation_matches(first, f, k, reason);
}

namespace {

// The verdict on inputs read by survey_inputs, as compat_check gives it:
// the first input, in list order, that cannot be read or does not match
// decides.
int verdict_of(std::vector<surveyed_input> &inputs, int64_t *total_ms, char *reason, vm_stream_mask *reannex)
{
    int64_t total = 0;
    vm_stream_mask differ = 0;
    for (const surveyed_input &in : inputs) {
        switch (in.outcome) {
        case surveyed_input::UNREADABLE:
            format_text(reason, VM_REASON_CAP, "%s", in.error.c_str());
            return -1;
        case surveyed_input::NOT_READ:  // only where memory ran out
            format_text(reason, VM_REASON_CAP, "out of memory");
            return -1;
        case surveyed_input::DIFFERENT:
            format_text(reason, VM_REASON_CAP, "%s", in.error.c_str());
            return 0;
        case surveyed_input::READ:
            break;
        }
        total += in.duration_ms;
        differ |= in.differ;
    }
    *total_ms = total;
    if (reannex)
        *reannex = differ;
    return 1;
}

}  // namespace

int compat_check(const vm_path_list &paths, int64_t *total_ms, char *reason, vm_stream_mask *reannex,
                 std::vector<kept_analysis *> *kept)
{
    std::vector<surveyed_input> inputs;
    int verdict;
    try {
        survey_inputs(paths, inputs, kept != nullptr);
        verdict = verdict_of(inputs, total_ms, reason, reannex);
        if (verdict == 1 && kept)
            kept->assign(inputs.size(), nullptr);
    } catch (const std::bad_alloc &) {
        format_text(reason, VM_REASON_CAP, "out of memory");
        verdict = -1;
    }
    for (size_t k = 0; k < inputs.size(); k++) {
        if (verdict == 1 && kept)
            (*kept)[k] = inputs[k].kept;
        else
            free_analysis(&inputs[k].kept);
    }
    return verdict;
}

void write_check_json(const char *list, char *out, size_t cap)
{
    if (!list || !*list) {
        format_text(out, cap, "{\"ok\":false,\"error\":\"empty input\"}");
        return;
    }
    vm_path_list paths;
    int count = split_paths(list, paths);
    if (count == VM_SPLIT_NO_MEMORY) {
        format_text(out, cap, "{\"ok\":false,\"error\":\"out of memory\"}");
        return;
    }
    if (count < 2) {
        format_text(out, cap, "{\"ok\":false,\"error\":\"need at least 2 files (got %d)\"}",
                    count < 0 ? 0 : count);
        return;
    }
    char reason[VM_REASON_CAP], escaped[600];
    int64_t total = 0;
    int verdict = compat_check(paths, &total, reason);
    if (verdict != 1)
        json_escape(reason, escaped, sizeof escaped);
    if (verdict < 0)
        format_text(out, cap, "{\"ok\":false,\"error\":\"%s\"}", escaped);
    else if (verdict == 0)
        format_text(out, cap, "{\"ok\":true,\"compatible\":false,\"reason\":\"%s\"}", escaped);
    else
        format_text(out, cap, "{\"ok\":true,\"compatible\":true,\"files\":%d,\"total_duration_ms\":%lld}",
                    count, (long long)total);
}
