// SPDX-License-Identifier: MIT
#include "merge/chapters.h"

#include <algorithm>
#include <cstring>

#include "merge/timeline.h"
#include "text.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace {

const AVRational US_TB = {1, 1000000};
const int64_t OPEN_END = INT64_MAX;  // runs to its file's end
// Chapter times beyond about 36,000 years are damage, not chapters; keeping
// them out also keeps the sums below from overflowing.
const int64_t FAR_US = int64_t(1) << 60;

// Where input `ic` starts on its own clock; false when that is out of range.
bool file_start_us(const AVFormatContext *ic, int64_t *us)
{
    *us = ic->start_time == AV_NOPTS_VALUE ? 0 : ic->start_time;
    return *us > -FAR_US && *us < FAR_US;
}

// A chapter time in microseconds; false when it is unknown or out of range.
bool chapter_time_us(int64_t t, AVRational tb, int64_t *us)
{
    if (t == AV_NOPTS_VALUE || tb.num <= 0 || tb.den <= 0)
        return false;
    *us = av_rescale_q(t, tb, US_TB);
    return *us > -FAR_US && *us < FAR_US;
}


// Chapters an output carries, at most, from all its inputs together: an
// audiobook of a thousand parts has a few thousand. Inputs with a hundred
// thousand chapters each would hold gigabytes, and FFmpeg's Matroska muxer
// compares every chapter with every other (100 000 take it 25 s). Chapters
// past this are left out.
const int MAX_CHAPTERS = 10000;

int append(chapter_list *cl, int64_t start_us, int64_t end_us, const AVDictionary *metadata)
{
    if (cl->count >= MAX_CHAPTERS)
        return 0;
    chapter_entry *grown = static_cast<chapter_entry *>(
        av_realloc_array(cl->items, (size_t)cl->count + 1, sizeof *cl->items));
    if (!grown)
        return AVERROR(ENOMEM);
    cl->items = grown;
    chapter_entry &e = cl->items[cl->count];
    e.start_us = start_us;
    e.end_us = end_us;
    e.metadata = nullptr;
    int ret = av_dict_copy(&e.metadata, metadata, 0);
    if (ret < 0) {
        av_dict_free(&e.metadata);
        return ret;
    }
    cl->count++;
    return 0;
}

// Adds the chapters of `ic`, placed by `place` (an input time in
// microseconds to an output position), none before the start of what is
// copied (file_start_in, on the input's clock).
template <typename Place>
int add_chapters(chapter_list *cl, const AVFormatContext *ic, int64_t file_start_in, Place place)
{
    int64_t file_start = place(file_start_in);
    for (unsigned i = 0; i < ic->nb_chapters; i++) {
        const AVChapter *c = ic->chapters[i];
        int64_t start_in, end_in;
        if (!chapter_time_us(c->start, c->time_base, &start_in))
            continue;
        bool has_end = chapter_time_us(c->end, c->time_base, &end_in) && end_in >= start_in;
        if (has_end && start_in < file_start_in && end_in <= file_start_in)
            continue;  // over before the copy starts (a range's)
        int64_t start = std::max(place(start_in), file_start);
        int64_t end = has_end ? std::max(start, place(end_in)) : OPEN_END;
        int ret = append(cl, start, end, c->metadata);
        if (ret < 0)
            return ret;
    }
    return 0;
}

int append_titled(chapter_list *cl, int64_t start_us, int64_t end_us, const std::string &title)
{
    AVDictionary *tags = nullptr;
    int ret = av_dict_set(&tags, "title", title.c_str(), 0);
    if (ret >= 0)
        ret = append(cl, start_us, end_us, tags);
    av_dict_free(&tags);
    return ret;
}

// Moves the list's chapters into the muxer's, numbered after those it has
// (Matroska needs distinct ids); the list is left empty.
int hand_over(chapter_list *cl, AVFormatContext *oc)
{
    int ret = 0;
    if (cl->count > 0) {
        AVChapter **grown = static_cast<AVChapter **>(
            av_realloc_array(oc->chapters, (size_t)oc->nb_chapters + cl->count, sizeof *oc->chapters));
        if (!grown)
            ret = AVERROR(ENOMEM);
        else
            oc->chapters = grown;
    }
    for (int i = 0; ret == 0 && i < cl->count; i++) {
        chapter_entry &e = cl->items[i];
        AVChapter *c = static_cast<AVChapter *>(av_mallocz(sizeof(AVChapter)));
        if (!c) {
            ret = AVERROR(ENOMEM);
            break;
        }
        c->id = (int64_t)oc->nb_chapters + 1;
        c->time_base = US_TB;
        c->start = e.start_us;
        c->end = e.end_us == OPEN_END ? e.start_us : e.end_us;
        c->metadata = e.metadata;
        e.metadata = nullptr;
        oc->chapters[oc->nb_chapters++] = c;
    }
    chapters_free(cl);
    return ret;
}

}  // namespace

bool muxer_takes_chapters_at_trailer(const AVOutputFormat *f)
{
    static const char *const names[] = {"mov", "mp4", "ipod", "3gp", "3g2", "psp", "matroska", "webm"};
    return name_in(f->name, names);
}

bool muxer_stores_chapters(const AVOutputFormat *f)
{
    // The Ogg family and FLAC write them as comments, MP3 in its ID3v2 tag.
    static const char *const in_header[] = {"mp3", "ogg", "oga", "ogv", "opus", "spx", "flac"};
    return muxer_takes_chapters_at_trailer(f) || name_in(f->name, in_header);
}

int chapters_begin(chapter_list *cl, int mode, const AVFormatContext *ic, AVFormatContext *oc, int64_t from_us,
                   int64_t length_us)
{
    cl->mode = mode;
    cl->at_trailer = muxer_takes_chapters_at_trailer(oc->oformat);
    if (mode != VM_CHAPTERS_KEEP || cl->at_trailer || ic->nb_chapters == 0)
        return 0;
    // The first input starts the output at zero; its end is known only
    // from its container's duration here.
    int64_t file_start;
    if (!file_start_us(ic, &file_start) || from_us < 0 || from_us >= FAR_US)
        return 0;
    int64_t copy_start = file_start + from_us;
    int ret = add_chapters(cl, ic, copy_start, [&](int64_t us) { return us - copy_start; });
    if (ret < 0)
        return ret;
    if (length_us > 0)
        chapters_end_file(cl, length_us);
    return hand_over(cl, oc);
}

int chapters_begin_inputs(chapter_list *cl, AVFormatContext *oc, const std::vector<std::string> &titles,
                          const std::vector<int64_t> &lengths_us)
{
    cl->mode = VM_CHAPTERS_INPUTS;
    cl->at_trailer = muxer_takes_chapters_at_trailer(oc->oformat);
    if (cl->at_trailer)
        return 0;
    int64_t at = 0;
    for (size_t i = 0; i < titles.size() && i < lengths_us.size(); i++) {
        int ret = append_titled(cl, at, at + lengths_us[i], titles[i]);
        if (ret < 0)
            return ret;
        at += lengths_us[i];
    }
    return hand_over(cl, oc);
}

int chapters_add_file(chapter_list *cl, const AVFormatContext *ic, const timeline *tl, const std::string &title)
{
    if (!cl->at_trailer || cl->mode == VM_CHAPTERS_NONE)
        return 0;
    auto place = [&](int64_t us) { return timeline_output_us(tl, us); };
    // The timeline's start of the file is where its copy starts: the
    // file's start, or a range's.
    int64_t start_in = tl->file_start_us;
    chapters_end_file(cl, place(start_in));
    if (cl->mode == VM_CHAPTERS_INPUTS)
        return append_titled(cl, place(start_in), OPEN_END, title);
    return add_chapters(cl, ic, start_in, place);
}

std::string chapter_title(const AVFormatContext *ic, const std::string &path)
{
    const AVDictionaryEntry *t = ic ? av_dict_get(ic->metadata, "title", nullptr, 0) : nullptr;
    if (t && *t->value)
        return t->value;
#ifdef _WIN32
    size_t slash = path.find_last_of("/\\");
#else
    size_t slash = path.rfind('/');
#endif
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

void chapters_end_file(chapter_list *cl, int64_t end_us)
{
    int kept = cl->file_first;
    for (int i = cl->file_first; i < cl->count; i++) {
        chapter_entry &e = cl->items[i];
        if (e.start_us >= end_us) {
            av_dict_free(&e.metadata);
            continue;
        }
        e.end_us = std::min(e.end_us, end_us);
        cl->items[kept++] = e;
    }
    cl->count = kept;
    cl->file_first = kept;
}

int chapters_finish(chapter_list *cl, AVFormatContext *oc)
{
    return cl->at_trailer ? hand_over(cl, oc) : 0;
}

void chapters_free(chapter_list *cl)
{
    for (int i = 0; i < cl->count; i++)
        av_dict_free(&cl->items[i].metadata);
    av_freep(&cl->items);
    cl->count = 0;
    cl->file_first = 0;
}
