// SPDX-License-Identifier: MIT
#include "merge/recording_time.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/parseutils.h>
}

namespace {

// The creation_time tag of the file, else of its first stream that has one
// (MP4 writes it in each track's header too): an ISO 8601 time as FFmpeg's
// demuxers give it, in UTC with a "Z". (FFmpeg's parser reads a time
// without the "Z" as local time and passes over an offset such as +02:00.)
// False when there is none that parses.
bool tagged_time(const AVFormatContext *ic, int64_t *us)
{
    const AVDictionaryEntry *t = av_dict_get(ic->metadata, "creation_time", nullptr, 0);
    for (unsigned i = 0; !t && i < ic->nb_streams; i++)
        t = av_dict_get(ic->streams[i]->metadata, "creation_time", nullptr, 0);
    // A zero time is what muxers write when they know none.
    return t && av_parse_time(us, t->value, 0) >= 0 && *us > 0;
}

}  // namespace

int64_t recording_time_us(const AVFormatContext *ic, const vm_file_status &st)
{
    int64_t us;
    if (tagged_time(ic, &us))
        return us;
    return vm_time_unix_us(st.modified);
}
