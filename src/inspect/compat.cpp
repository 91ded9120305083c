// SPDX-License-Identifier: MIT
#include "inspect/compat.h"

#include "merge_options.h"

#include "inspect/kept_analysis.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
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
    int64_t size = ic->pb ? avio_size(ic->pb) : 0;
    info->size_bytes = size > 0 ? size : 0;
    for (unsigned i = 0; i < ic->nb_streams; i++)
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT)
            info->once_bytes += ic->streams[i]->codecpar->extradata_size;
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

// Where the differences between a file and the first go: the first one
// becomes the reason (the text the check has always given), every one a
// mismatch record when the caller wants them all.
struct differences {
    char *reason;
    std::vector<mismatch> *all;
    int file;
    int found = 0;

    // Records a difference; true when the caller wants more of them.
    template <class... Args>
    bool add(int stream, const char *what, std::string expected, std::string got, const char *fmt, Args... args)
    {
        if (found++ == 0)
            format_text(reason, VM_REASON_CAP, fmt, args...);
        if (all)
            all->push_back(mismatch{file, stream, what, std::move(expected), std::move(got)});
        return all != nullptr;
    }
};

std::string text_of(int n) { return std::to_string(n); }

const char *kind_name(int media_type)
{
    const char *name = av_get_media_type_string((enum AVMediaType)media_type);
    return name ? name : "unknown";
}

const char *packaging_name(int packaging)
{
    switch (packaging) {
    case VM_PACK_LENGTH_PREFIXED: return "length_prefixed";
    case VM_PACK_START_CODES: return "start_codes";
    case VM_PACK_AAC_CONFIG: return "aac_config";
    case VM_PACK_AAC_ADTS: return "aac_adts";
    default: return "other";
    }
}

std::string setup_text(const codec_setup &c)
{
    if (c.aac_object_type)
        return "aac_object_type " + text_of(c.aac_object_type);
    if (!c.digested)
        return "none";
    char hex[9];
    for (int i = 0; i < 4; i++)
        std::snprintf(hex + 2 * i, 3, "%02x", c.digest[i]);
    return std::string("setup ") + hex;
}

// Stream j of file k against the first file's. A stream of another kind or
// codec is not compared further: nothing else of it is comparable.
void compare_streams(const stream_info &a, const stream_info &b, int k, int j, differences &d)
{
    if (b.media_type != a.media_type) {
        d.add(j, "kind", kind_name(a.media_type), kind_name(b.media_type), "codec mismatch: file %d stream %d", k, j);
        return;
    }
    if (b.codec_id != a.codec_id) {
        d.add(j, "codec", avcodec_get_name((enum AVCodecID)a.codec_id),
              avcodec_get_name((enum AVCodecID)b.codec_id), "codec mismatch: file %d stream %d", k, j);
        return;
    }
    if (b.media_type == AVMEDIA_TYPE_VIDEO && (b.width != a.width || b.height != a.height) &&
        !d.add(j, "size", text_of(a.width) + "x" + text_of(a.height), text_of(b.width) + "x" + text_of(b.height),
               "resolution mismatch: file %d (%dx%d vs %dx%d)", k, b.width, b.height, a.width, a.height))
        return;
    if (b.media_type == AVMEDIA_TYPE_AUDIO) {
        if (b.sample_rate != a.sample_rate &&
            !d.add(j, "sample_rate", text_of(a.sample_rate), text_of(b.sample_rate), "audio format mismatch: file %d",
                   k))
            return;
        if (b.channels != a.channels &&
            !d.add(j, "channels", text_of(a.channels), text_of(b.channels), "audio format mismatch: file %d", k))
            return;
    }
    if (b.packaging != a.packaging &&
        !d.add(j, "packaging", packaging_name(a.packaging), packaging_name(b.packaging),
               "stream format mismatch: file %d stream %d", k, j))
        return;
    if (!same_codec_setup(a.setup, b.setup))
        d.add(j, "codec_setup", setup_text(a.setup), setup_text(b.setup), "codec setup mismatch: file %d stream %d", k,
              j);
}

// The languages of a file's streams of one kind, in order: "eng,ger".
std::string languages_of(const file_info &f, int kind)
{
    std::string out;
    for (int j = 0; j < f.stream_count; j++)
        if (f.streams[j].media_type == kind)
            out += (out.empty() ? "" : ",") + std::string(*f.streams[j].language ? f.streams[j].language : "und");
    return out;
}

// File k against the first in how its streams are presented. A rotation
// cannot change within a stream. Streams of one kind that carry the same
// languages in another order are tracks swapped between the files: joined,
// the language of each output track would change at the join. Languages
// that merely differ (or are missing) are not refused.
void compare_presentation(const file_info &first, const file_info &f, int k, differences &d)
{
    for (int j = 0; j < f.stream_count; j++)
        if (f.streams[j].media_type == AVMEDIA_TYPE_VIDEO && first.streams[j].media_type == AVMEDIA_TYPE_VIDEO &&
            f.streams[j].rotation != first.streams[j].rotation &&
            !d.add(j, "rotation", text_of(first.streams[j].rotation), text_of(f.streams[j].rotation),
                   "rotation mismatch: file %d stream %d", k, j))
            return;
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
        if (same_set && !same_order &&
            !d.add(-1, "stream_order", languages_of(first, kind), languages_of(f, kind),
                   "stream order mismatch: file %d", k))
            return;
    }
}

}  // namespace

int compare_fileinfo(const file_info &first, const file_info &f, int k, char *reason, vm_stream_mask *differ,
                     std::vector<mismatch> *all)
{
    differences d{reason, all, k};
    if (f.stream_count != first.stream_count) {
        d.add(-1, "stream_count", text_of(first.stream_count), text_of(f.stream_count),
              "stream count mismatch: file %d has %d streams (expected %d)", k, f.stream_count, first.stream_count);
        return 0;
    }
    vm_stream_mask mask = 0;
    for (int j = 0; j < f.stream_count && (d.found == 0 || all); j++) {
        const stream_info &a = first.streams[j], &b = f.streams[j];
        int before = d.found;
        compare_streams(a, b, k, j, d);
        if (d.found != before)
            continue;
        // Without a digest a stream counts as different: filtering a
        // stream that did not need it costs time, never correctness.
        bool unknown = a.sha1_missing || b.sha1_missing;
        if (b.packaging == VM_PACK_LENGTH_PREFIXED &&
            (unknown || std::memcmp(a.extradata_sha1, b.extradata_sha1, 20) != 0))
            mask |= 1ull << j;
    }
    if (d.found == 0 || all)
        compare_presentation(first, f, k, d);
    if (d.found > 0)
        return 0;
    *differ |= mask;
    return 1;
}

namespace {

// The verdict on inputs read by survey_inputs, as compat_check gives it:
// the first input, in list order, that cannot be read or does not match
// decides.
int verdict_of(std::vector<surveyed_input> &inputs, check_result &out, bool list_all)
{
    int64_t total = 0, bytes = 0;
    vm_stream_mask differ = 0;
    int verdict = 1;
    for (surveyed_input &in : inputs) {
        // The first input that cannot be read or does not match decides;
        // past a difference, the list is read on for more differences up
        // to an input that cannot be read.
        if (verdict == 0 && (in.outcome == surveyed_input::UNREADABLE || in.outcome == surveyed_input::NOT_READ))
            break;
        switch (in.outcome) {
        case surveyed_input::UNREADABLE:
            format_text(out.reason, VM_REASON_CAP, "%s", in.error.c_str());
            return -1;
        case surveyed_input::NOT_READ:  // only where memory ran out
            format_text(out.reason, VM_REASON_CAP, "out of memory");
            return -1;
        case surveyed_input::DIFFERENT:
            if (verdict == 1)
                format_text(out.reason, VM_REASON_CAP, "%s", in.error.c_str());
            verdict = 0;
            if (!list_all)
                return 0;
            // Every difference of the whole list, file by file.
            out.mismatches.insert(out.mismatches.end(), std::make_move_iterator(in.mismatches.begin()),
                                  std::make_move_iterator(in.mismatches.end()));
            break;
        case surveyed_input::READ:
            break;
        }
        int64_t in_bytes = in.size_bytes - (&in == &inputs[0] ? 0 : in.once_bytes);
        total += in.duration_ms;
        bytes += in_bytes;
        out.file_ms.push_back(in.duration_ms);
        out.file_bytes.push_back(in_bytes);
        differ |= in.differ;
    }
    if (verdict == 1) {
        out.total_ms = total;
        out.size_bytes = bytes;
        out.reannex = differ;
    }
    return verdict;
}

}  // namespace

int compat_check(const vm_path_list &paths, check_result &out, unsigned wants)
{
    std::vector<surveyed_input> inputs;
    int verdict;
    try {
        survey_inputs(paths, inputs, wants & CHECK_KEEP);
        verdict = verdict_of(inputs, out, wants & CHECK_MISMATCHES);
        if (verdict == 1 && (wants & CHECK_KEEP))
            out.kept.assign(inputs.size(), nullptr);
    } catch (const std::bad_alloc &) {
        format_text(out.reason, VM_REASON_CAP, "out of memory");
        verdict = -1;
    }
    for (size_t k = 0; k < inputs.size(); k++) {
        if (verdict == 1 && (wants & CHECK_KEEP))
            out.kept[k] = inputs[k].kept;
        else
            free_analysis(&inputs[k].kept);
    }
    return verdict;
}

namespace {

std::string options_error(const std::string &reason)
{
    return "{\"ok\":false,\"error\":" + json_quoted(reason) + "}";
}

// `,"mismatches":[...]`: every difference, as data.
void append_mismatches(std::string &out, const std::vector<mismatch> &all)
{
    out += ",\"mismatches\":[";
    for (size_t i = 0; i < all.size(); i++) {
        const mismatch &m = all[i];
        out += i ? ",{" : "{";
        out += "\"file\":" + std::to_string(m.file);
        out += ",\"stream\":" + (m.stream < 0 ? std::string("null") : std::to_string(m.stream));
        out += ",\"what\":\"" + std::string(m.what) + "\"";
        out += ",\"expected\":" + json_quoted(m.expected) + ",\"found\":" + json_quoted(m.found) + "}";
    }
    out += "]";
}

}  // namespace

std::string check_json(const char *list, const char *options)
{
    char text[VM_REASON_CAP * 6 + 200];
    if (!list || !*list)
        return "{\"ok\":false,\"error\":\"empty input\"}";
    vm_path_list paths;
    int count = split_paths(list, paths);
    if (count == VM_SPLIT_NO_MEMORY)
        return "{\"ok\":false,\"error\":\"out of memory\"}";
    if (count < 2) {
        format_text(text, sizeof text, "{\"ok\":false,\"error\":\"need at least 2 files (got %d)\"}",
                    count < 0 ? 0 : count);
        return text;
    }
    merge_options opts;
    std::string refused;
    if (parse_merge_options(options, count, &opts, &refused) < 0)
        return options_error(refused);
    check_result r;
    int verdict = compat_check(paths, r, CHECK_MISMATCHES);
    char escaped[VM_REASON_CAP * 6];  // a control byte becomes \u0001, six bytes
    if (verdict != 1)
        json_escape(r.reason, escaped, sizeof escaped);
    if (verdict < 0) {
        format_text(text, sizeof text, "{\"ok\":false,\"error\":\"%s\"}", escaped);
        return text;
    }
    if (verdict == 0) {
        format_text(text, sizeof text, "{\"ok\":true,\"compatible\":false,\"reason\":\"%s\"", escaped);
        std::string out = text;
        append_mismatches(out, r.mismatches);
        return out + "}";
    }
    if (!opts.trims.empty()) {  // the ranges' lengths and shares, not the files'
        std::vector<input_piece> pieces = pieces_of(opts, count);
        std::vector<int64_t> piece_file_ms;
        for (const input_piece &p : pieces)
            piece_file_ms.push_back(r.file_ms[p.file]);
        if (check_pieces(pieces, paths, piece_file_ms, &refused) < 0)
            return options_error(refused);
        r.total_ms = r.size_bytes = 0;
        for (const input_piece &p : pieces) {
            r.total_ms += piece_ms(p, r.file_ms[p.file]);
            r.size_bytes += piece_bytes(p, r.file_ms[p.file], r.file_bytes[p.file]);
        }
    }
    format_text(text, sizeof text,
                "{\"ok\":true,\"compatible\":true,\"files\":%d,\"total_duration_ms\":%lld,\"estimated_size_bytes\":%lld}",
                count, (long long)r.total_ms, (long long)r.size_bytes);
    return text;
}
