// SPDX-License-Identifier: MIT
#include "merge/carry_over.h"

#include "av_compat.h"
#include "merge_options.h"
#include "text.h"

#include <climits>
#include <cstring>
#include <initializer_list>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/dict.h>
#include <libavutil/timecode.h>
}

namespace {

// Tags carried from one dictionary (a file's or a stream's), at most.
// Recordings carry a few dozen; a file with tens of thousands would make
// each one cost a search of the others (FFmpeg's dictionaries are lists),
// minutes for the merge. Tags past this are left out.
const int MAX_TAGS = 1000;

// mkvmerge stores statistics of each track as tags (BPS-eng, DURATION-eng,
// NUMBER_OF_FRAMES-eng, ...), naming them in _STATISTICS_TAGS (`names`,
// null when there is none). They describe the first input only, so a
// joined file must not repeat them.
bool is_statistics_tag(const char *names, const char *key)
{
    if (av_strncasecmp(key, "_STATISTICS_", 12) == 0)
        return true;
    if (!names)
        return false;
    size_t key_len = std::strcspn(key, "-");  // the name without its language suffix
    for (const char *p = names; *p;) {
        size_t len = std::strcspn(p, " ");
        if (len == key_len && av_strncasecmp(p, key, len) == 0)
            return true;
        p += len;
        p += std::strspn(p, " ");
    }
    return false;
}

// A stream's length as a tag (Matroska outputs of FFmpeg carry one): stale
// once other files follow.
bool is_length_tag(const char *key)
{
    return av_strcasecmp(key, "duration") == 0;
}

bool skip_stream_tag(const char *statistics, const char *key)
{
    return is_statistics_tag(statistics, key) || is_length_tag(key);
}

// The encoder tag names the program that wrote the input; this output is
// written by libavformat, which names itself where its container has a place.
bool skip_file_tag(const char *statistics, const char *key)
{
    return av_strcasecmp(key, "encoder") == 0 || skip_stream_tag(statistics, key);
}

int copy_tags(const AVDictionary *from, AVDictionary **to, bool (*skip)(const char *, const char *))
{
    const AVDictionaryEntry *names = av_dict_get(from, "_STATISTICS_TAGS", nullptr, AV_DICT_IGNORE_SUFFIX);
    const AVDictionaryEntry *t = nullptr;
    int carried = 0;
    while (carried < MAX_TAGS && (t = av_dict_get(from, "", t, AV_DICT_IGNORE_SUFFIX))) {
        if (skip(names ? names->value : nullptr, t->key))
            continue;
        int ret = av_dict_set(to, t->key, t->value, 0);
        if (ret < 0)
            return ret;
        carried++;
    }
    return 0;
}

// The MP4 muxer writes Dolby Vision configuration (dvcC), stereo 3D (st3d)
// and spherical video (sv3d) only when told that boxes outside the MP4
// standard are welcome; without them a Dolby Vision recording plays as
// plain HEVC and a 360° video as a flat one.
bool needs_unofficial_boxes(const AVFormatContext *oc)
{
    if (std::strcmp(oc->oformat->name, "mp4") != 0)
        return false;
    for (unsigned i = 0; i < oc->nb_streams; i++)
        for (auto type : {AV_PKT_DATA_DOVI_CONF, AV_PKT_DATA_STEREO3D, AV_PKT_DATA_SPHERICAL})
            if (stream_side_data_of(oc->streams[i], type, nullptr))
                return true;
    return false;
}

}  // namespace

int carry_stream_props(const AVStream *in, AVStream *out)
{
    int ret = copy_tags(in->metadata, &out->metadata, skip_stream_tag);
    if (ret < 0)
        return ret;
    // An attachment (a cover that Matroska stores as a file) is no stream
    // to flag; every other stream takes the input's flags as they are.
    if (out->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT)
        out->disposition = in->disposition;
    // A picture carried as the output's cover has that flag alone: the
    // MP4/MOV muxers write a cover only then, and take a picture with more
    // flags (an input's default flag, or the timed thumbnails of a podcast's
    // chapter images) as a video track, which M4A has no tag for.
    if (out->disposition & AV_DISPOSITION_ATTACHED_PIC)
        out->disposition = AV_DISPOSITION_ATTACHED_PIC;
    // Video of a constant frame rate keeps it: Matroska stores it as the
    // track's default duration, which tells a reader each frame's duration
    // (without it, decode times of B-frame video read back are guessed, in
    // ties). A rate measured as varying is not made up into a constant one.
    AVRational rate = in->avg_frame_rate;
    if (in->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(out->disposition & AV_DISPOSITION_ATTACHED_PIC) &&
        rate.num > 0 && rate.den > 0 && av_cmp_q(rate, in->r_frame_rate) == 0)
        out->avg_frame_rate = out->r_frame_rate = rate;
    // Side data the demuxer found in the stream's header (display matrix,
    // mastering display, content light level, stereo 3D, spherical, Dolby
    // Vision configuration, ...): the muxer writes each kind it knows.
    return stream_copy_side_data(out, in);
}

int carry_file_props(const AVFormatContext *ic, AVFormatContext *oc)
{
    int ret = copy_tags(ic->metadata, &oc->metadata, skip_file_tag);
    if (ret < 0)
        return ret;
    if (needs_unofficial_boxes(oc))
        oc->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    // MPEG-TS names its service in the program, which the output does not
    // copy; the MPEG-TS muxer takes these two from the file's tags instead.
    // Other containers have no service to name.
    if (ic->nb_programs > 0 && std::strcmp(oc->oformat->name, "mpegts") == 0) {
        static const char *const keys[] = {"service_name", "service_provider"};
        for (const char *key : keys) {
            const AVDictionaryEntry *t = av_dict_get(ic->programs[0]->metadata, key, nullptr, 0);
            if (t && !av_dict_get(oc->metadata, key, nullptr, 0) &&
                (ret = av_dict_set(&oc->metadata, key, t->value, 0)) < 0)
                return ret;
        }
    }
    return 0;
}

namespace {

// A timecode tag moved on by offset_us at the video's frame rate; left as
// it is when either cannot be read.
int move_timecode(AVDictionary **tags, AVRational rate, int64_t offset_us)
{
    const AVDictionaryEntry *t = av_dict_get(*tags, "timecode", nullptr, 0);
    AVTimecode tc;
    if (!t || offset_us <= 0 || rate.num <= 0 || rate.den <= 0 ||
        av_timecode_init_from_string(&tc, rate, t->value, nullptr) < 0)
        return 0;
    int64_t frames = av_rescale_q(offset_us, AVRational{1, 1000000}, av_inv_q(rate));
    if (frames <= 0 || frames > INT_MAX)
        return 0;
    char text[AV_TIMECODE_STR_SIZE];
    return av_dict_set(tags, "timecode", av_timecode_make_string(&tc, text, (int)frames), 0);
}

}  // namespace

int carry_timecode(AVFormatContext *oc, int mode, int64_t offset_us)
{
    if (mode == VM_TIMECODE_NONE) {
        int ret = av_dict_set(&oc->metadata, "timecode", nullptr, 0);
        for (unsigned i = 0; ret >= 0 && i < oc->nb_streams; i++)
            ret = av_dict_set(&oc->streams[i]->metadata, "timecode", nullptr, 0);
        return ret < 0 ? ret : 0;
    }
    AVRational rate{0, 1};
    for (unsigned i = 0; i < oc->nb_streams && rate.num == 0; i++)
        if (oc->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            rate = oc->streams[i]->avg_frame_rate.num > 0 ? oc->streams[i]->avg_frame_rate
                                                           : oc->streams[i]->r_frame_rate;
    int ret = move_timecode(&oc->metadata, rate, offset_us);
    for (unsigned i = 0; ret >= 0 && i < oc->nb_streams; i++)
        ret = move_timecode(&oc->streams[i]->metadata, rate, offset_us);
    if (ret < 0)
        return ret;
    // The muxer's own rule: the file's tag, or a video stream's.
    static const char *const TRACKS[] = {"mov", "mp4"};
    if (!name_in(oc->oformat->name, TRACKS))
        return 0;
    if (av_dict_get(oc->metadata, "timecode", nullptr, 0))
        return 1;
    for (unsigned i = 0; i < oc->nb_streams; i++)
        if (oc->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            av_dict_get(oc->streams[i]->metadata, "timecode", nullptr, 0))
            return 1;
    return 0;
}
