// SPDX-License-Identifier: MIT
#include "merge/range_start.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// How far before the range's start each further seek aims: in small steps
// first, as a demuxer that lands past a keyframe (MPEG-TS, whose parser
// may not flag the first I-frame after a seek) usually needs only a little
// more room, and each step back costs a group of pictures more in the output.
// Still late after the furthest, the copy starts at the file's start.
const int64_t FILE_START = INT64_MAX;
const int64_t SEEK_BACK_US[] = {0, 500000, 1000000, 1500000, 2000000, 3000000, 4000000,
                                6000000, 8000000, 12000000, 20000000, 30000000, FILE_START};

// Whether the copy starts in time: video at a keyframe at or before the
// range's start (a seek that landed past the last keyframe found none);
// audio alone with a packet that holds it.
bool starts_in_time(const join_start *js, const AVFormatContext *ic, int64_t from_us)
{
    bool video = false;
    for (int i = 0; i < js->streams; i++) {
        const AVStream *st = ic->streams[i];
        video |= st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
    }
    if (video)
        return js->key_us != AV_NOPTS_VALUE && js->key_us <= from_us;
    for (int i = 0; i < js->streams; i++)
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && js->first_us[i] != AV_NOPTS_VALUE &&
            js->first_us[i] > from_us)
            return false;
    return true;
}

// Back to the file's first packet. Formats whose timestamps may jump
// (MPEG-TS) are sought by timestamp only roughly, and a seek to the start
// time can land past the first keyframe: those go back to the first byte.
bool seek_to_file_start(AVFormatContext *ic, int64_t file_start)
{
    if ((ic->iformat->flags & AVFMT_TS_DISCONT) && !(ic->iformat->flags & AVFMT_NO_BYTE_SEEK) &&
        av_seek_frame(ic, -1, 0, AVSEEK_FLAG_BYTE) >= 0)
        return true;
    return avformat_seek_file(ic, -1, INT64_MIN, file_start, file_start, 0) >= 0;
}

}  // namespace

int64_t range_clock_start(const AVFormatContext *ic)
{
    const int64_t FAR_US = int64_t(1) << 60;
    return ic->start_time == AV_NOPTS_VALUE || ic->start_time < -FAR_US || ic->start_time > FAR_US ? 0
                                                                                                     : ic->start_time;
}

int begin_range(join_start *js, AVFormatContext *ic, kept_analysis *reused, input_range range)
{
    if (range.from_us == AV_NOPTS_VALUE)
        return join_start_begin(js, ic, reused, range);
    int64_t file_start = range_clock_start(ic);
    for (int64_t back : SEEK_BACK_US) {
        bool at_file_start = back == FILE_START || range.from_us - back <= file_start;
        int64_t target = at_file_start ? file_start : range.from_us - back;
        bool sought = at_file_start ? seek_to_file_start(ic, file_start)
                                    : avformat_seek_file(ic, -1, INT64_MIN, target, target, 0) >= 0;
        // Where no seek works, the input is read from where it stands: its
        // start, as nothing has been read yet; more is kept, nothing lost.
        if (join_start_begin(js, ic, nullptr, range) < 0)
            return -1;
        if (!sought || at_file_start || starts_in_time(js, ic, range.from_us))
            return 0;
    }
    return 0;  // the last step is the file's start
}
