#include "merge/range_start.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// How far before the range's start each further seek aims.
const int64_t SEEK_BACK_US[] = {0, 1000000, 5000000, 30000000};

// Whether the copy starts in time: video at a keyframe at or before the
// range's start; audio alone with a packet that holds it.
bool starts_in_time(const join_start *js, const AVFormatContext *ic, int64_t from_us)
{
    bool video = false;
    for (int i = 0; i < js->streams; i++) {
        const AVStream *st = ic->streams[i];
        video |= st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
    }
    if (video)
        return js->cut_from_us <= from_us;
    for (int i = 0; i < js->streams; i++)
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && js->first_us[i] != AV_NOPTS_VALUE &&
            js->first_us[i] > from_us)
            return false;
    return true;
}

}  // namespace

int begin_range(join_start *js, AVFormatContext *ic, kept_analysis *reused, input_range range)
{
    if (range.from_us == AV_NOPTS_VALUE)
        return join_start_begin(js, ic, reused, range);
    int64_t file_start = ic->start_time == AV_NOPTS_VALUE ? 0 : ic->start_time;
    for (int64_t back : SEEK_BACK_US) {
        bool at_file_start = range.from_us - back <= file_start;
        int64_t target = at_file_start ? file_start : range.from_us - back;
        bool sought = avformat_seek_file(ic, -1, INT64_MIN, target, target, 0) >= 0;
        // Where no seek works, the input is read from where it stands: its
        // start, as nothing has been read yet; more is kept, nothing lost.
        if (join_start_begin(js, ic, nullptr, range) < 0)
            return -1;
        if (!sought || at_file_start || starts_in_time(js, ic, range.from_us))
            return 0;
    }
    // Still late after the furthest seek back: from the file's start.
    if (avformat_seek_file(ic, -1, INT64_MIN, file_start, file_start, 0) < 0)
        return 0;  // keeps what the last seek found
    return join_start_begin(js, ic, nullptr, range);
}
