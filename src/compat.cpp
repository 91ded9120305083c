#include "compat.h"

#include <cstring>

#include "media_input.h"
#include "text.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/sha.h>
}

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

}  // namespace

void summarize_input(const AVFormatContext *ic, file_info *info)
{
    std::memset(info, 0, sizeof *info);
    info->stream_count = ic->nb_streams < VM_INFO_STREAMS ? (int)ic->nb_streams : VM_INFO_STREAMS;
    for (int i = 0; i < info->stream_count; i++) {
        const AVCodecParameters *par = ic->streams[i]->codecpar;
        info->codec_id[i] = par->codec_id;
        info->media_type[i] = par->codec_type;
        info->width[i] = par->width;
        info->height[i] = par->height;
        info->sample_rate[i] = par->sample_rate;
        info->channels[i] = par->ch_layout.nb_channels;
        info->packaging[i] = stream_packaging(par);
        if (info->packaging[i] == VM_PACK_LENGTH_PREFIXED && !digest_extradata(par, info->extradata_sha1[i]))
            info->sha1_missing |= 1u << i;
    }
    info->duration_ms = ic->duration == AV_NOPTS_VALUE ? 0 : ic->duration / 1000;
}

int read_fileinfo(const char *path, file_info *info, char *err)
{
    AVFormatContext *ic = nullptr;
    int av_error = 0;
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
    summarize_input(ic, info);
    avformat_close_input(&ic);
    return 0;
}

namespace {

// Compares stream j of file k with the first file's; 1 when they match,
// otherwise 0 with the reason written.
int streams_match(const file_info &first, const file_info &f, int k, int j, char *reason)
{
    if (f.codec_id[j] != first.codec_id[j] || f.media_type[j] != first.media_type[j]) {
        format_text(reason, VM_REASON_CAP, "codec mismatch: file %d stream %d", k, j);
        return 0;
    }
    if (f.media_type[j] == AVMEDIA_TYPE_VIDEO &&
        (f.width[j] != first.width[j] || f.height[j] != first.height[j])) {
        format_text(reason, VM_REASON_CAP, "resolution mismatch: file %d (%dx%d vs %dx%d)", k,
                    f.width[j], f.height[j], first.width[j], first.height[j]);
        return 0;
    }
    if (f.media_type[j] == AVMEDIA_TYPE_AUDIO &&
        (f.sample_rate[j] != first.sample_rate[j] || f.channels[j] != first.channels[j])) {
        format_text(reason, VM_REASON_CAP, "audio format mismatch: file %d", k);
        return 0;
    }
    if (f.packaging[j] != first.packaging[j]) {
        format_text(reason, VM_REASON_CAP, "stream format mismatch: file %d stream %d", k, j);
        return 0;
    }
    return 1;
}

}  // namespace

int compare_fileinfo(const file_info &first, const file_info &f, int k, char *reason, unsigned *differ)
{
    if (f.stream_count != first.stream_count) {
        format_text(reason, VM_REASON_CAP, "stream count mismatch: file %d has %d streams (expected %d)", k,
                    f.stream_count, first.stream_count);
        return 0;
    }
    for (int j = 0; j < f.stream_count; j++) {
        if (!streams_match(first, f, k, j, reason))
            return 0;
        // Without a digest a stream counts as different: filtering a
        // stream that did not need it costs time, never correctness.
        bool unknown = ((f.sha1_missing | first.sha1_missing) >> j) & 1;
        if (f.packaging[j] == VM_PACK_LENGTH_PREFIXED &&
            (unknown || std::memcmp(f.extradata_sha1[j], first.extradata_sha1[j], 20) != 0))
            *differ |= 1u << j;
    }
    return 1;
}

int compat_check(const vm_path_slots paths, int count, int64_t *total_ms, char *reason,
                 unsigned *reannex)
{
    file_info first, f;
    if (read_fileinfo(paths[0], &first, reason) < 0)
        return -1;
    int64_t total = first.duration_ms;
    unsigned differ = 0;
    for (int k = 2; k <= count; k++) {
        if (read_fileinfo(paths[k - 1], &f, reason) < 0)
            return -1;
        if (!compare_fileinfo(first, f, k, reason, &differ))
            return 0;
        total += f.duration_ms;
    }
    *total_ms = total;
    if (reannex)
        *reannex = differ;
    return 1;
}

void write_check_json(const char *list, char *out, size_t cap)
{
    if (!list || !*list) {
        format_text(out, cap, "{\"ok\":false,\"error\":\"empty input\"}");
        return;
    }
    vm_path_slots paths;
    int count = split_paths(list, paths);
    if (count == VM_SPLIT_TOO_MANY) {
        format_text(out, cap, "{\"ok\":false,\"error\":\"too many files (max %d)\"}", VM_MAX_FILES);
        return;
    }
    if (count < 2) {
        format_text(out, cap, "{\"ok\":false,\"error\":\"need at least 2 files (got %d)\"}",
                    count < 0 ? 0 : count);
        return;
    }
    char reason[VM_REASON_CAP], escaped[600];
    int64_t total = 0;
    int verdict = compat_check(paths, count, &total, reason);
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
