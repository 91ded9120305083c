// SPDX-License-Identifier: MIT
// What an output keeps of its inputs besides their packets, read back with
// libavformat: the first input's stream languages, titles, flags and
// rotation and its file tags, and every input's chapters at its place,
// wherever the output's container stores them.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "av_compat.h"
#include "support.h"
#include "videomerge.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace {

// Positions are compared within this, in seconds: well under a frame, above
// the rounding of millisecond time bases.
const double TOLERANCE_S = 0.003;

struct chapter_read {
    double start_s, end_s;
    std::string title;
    int64_t id;
};

struct stream_read {
    std::string language, title;
    int disposition = 0;
    int rotation = 0;  // degrees, 0 to 359
    AVRational frame_rate{0, 1};  // as a reader works it out
    std::vector<std::string> tag_names;
};

struct props_read {
    bool ok = false;
    std::vector<stream_read> streams;
    std::string title, artist, comment;
    std::string service_name, service_provider;  // MPEG-TS: the first program's
    std::vector<chapter_read> chapters;
};

props_read read_props(const std::string &path)
{
    props_read r;
    AVFormatContext *ic = open_analysed(path);
    if (!ic)
        return r;
    for (unsigned i = 0; i < ic->nb_streams; i++) {
        const AVStream *st = ic->streams[i];
        // MP4/MOV keep chapters in a text track of their own, shown as a
        // data stream that is not read.
        if (st->discard == AVDISCARD_ALL)
            continue;
        stream_read s;
        s.language = tag(st->metadata, "language");
        if (s.language == "und")
            s.language = "";
        s.title = tag(st->metadata, "title");
        const AVDictionaryEntry *e = nullptr;
        while ((e = av_dict_get(st->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
            s.tag_names.push_back(e->key);
        s.disposition = st->disposition;
        s.frame_rate = st->avg_frame_rate;
        size_t size = 0;
        const uint8_t *m = stream_side_data_of(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
        if (m && size >= 36)
            s.rotation = ((int)std::lround(av_display_rotation_get((const int32_t *)m)) % 360 + 360) % 360;
        r.streams.push_back(s);
    }
    if (ic->nb_programs > 0) {
        r.service_name = tag(ic->programs[0]->metadata, "service_name");
        r.service_provider = tag(ic->programs[0]->metadata, "service_provider");
    }
    r.title = tag(ic->metadata, "title");
    r.artist = tag(ic->metadata, "artist");
    r.comment = tag(ic->metadata, "comment");
    for (unsigned i = 0; i < ic->nb_chapters; i++) {
        const AVChapter *c = ic->chapters[i];
        r.chapters.push_back({c->start * av_q2d(c->time_base), c->end * av_q2d(c->time_base),
                              tag(c->metadata, "title"), c->id});
    }
    avformat_close_input(&ic);
    r.ok = true;
    return r;
}

nlohmann::json merge(const std::vector<std::string> &inputs, const std::string &out)
{
    std::vector<std::string> paths;
    for (const auto &f : inputs)
        paths.push_back(fixture(f));
    return merge_to_end(paths, out);
}

// What the output's container stores, learnt from the ffmpeg tool's copy of
// one file into it.
struct carry_case {
    const char *name;
    std::vector<std::string> inputs;  // fixture names
    const char *out_ext;
    bool languages, titles, comment_flag, file_tags;
    // Whose chapters the output has: every input's, the first input's
    // (containers that write chapters in the header), or none.
    enum { ALL, FIRST, NONE } chapters;
    double tolerance_s = TOLERANCE_S;  // for chapter positions
};
VM_PRINTS_AS_NAME(carry_case)

class Carry : public testing::TestWithParam<carry_case> {};

TEST_P(Carry, KeepsWhatTheContainerStores)
{
    const carry_case &c = GetParam();
    std::string out = scratch(std::string("carry_") + c.name + "." + c.out_ext);
    auto r = merge(c.inputs, out);
    ASSERT_EQ(r["state"], 3) << r.dump();
    props_read first = read_props(fixture(c.inputs[0])), o = read_props(out);
    ASSERT_TRUE(first.ok && o.ok);

    ASSERT_EQ(o.streams.size(), first.streams.size());
    for (size_t s = 0; s < o.streams.size(); s++) {
        if (c.languages) {
            EXPECT_EQ(o.streams[s].language, first.streams[s].language) << "stream " << s;
        }
        if (c.titles) {
            EXPECT_EQ(o.streams[s].title, first.streams[s].title) << "stream " << s;
        }
        if (c.comment_flag) {
            EXPECT_EQ(o.streams[s].disposition & AV_DISPOSITION_COMMENT,
                      first.streams[s].disposition & AV_DISPOSITION_COMMENT) << "stream " << s;
        }
        // mkvmerge's statistics of the first file would be wrong for the
        // joined one.
        for (const auto &name : o.streams[s].tag_names)
            for (const char *stale : {"BPS", "NUMBER_OF_FRAMES", "_STATISTICS"})
                EXPECT_NE(name.rfind(stale, 0), 0u) << "stream " << s << " tag " << name;
    }
    if (c.file_tags) {
        EXPECT_EQ(o.title, first.title);
        EXPECT_EQ(o.artist, first.artist);
        EXPECT_EQ(o.comment, first.comment);
    }

    // Each file's chapters move to where the file starts (the end of the
    // one before) and end no later than the file.
    std::vector<chapter_read> want;
    double at = 0;
    for (size_t k = 0; k < c.inputs.size(); k++) {
        double length = read_media(fixture(c.inputs[k])).joined_length_s();
        bool wanted = c.chapters == carry_case::ALL || (c.chapters == carry_case::FIRST && k == 0);
        for (const auto &ch : read_props(fixture(c.inputs[k])).chapters)
            if (wanted && ch.start_s < length)
                want.push_back({at + ch.start_s, at + std::min(ch.end_s, length), ch.title, 0});
        at += length;
    }
    ASSERT_EQ(o.chapters.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(o.chapters[i].title, want[i].title) << "chapter " << i;
        EXPECT_NEAR(o.chapters[i].start_s, want[i].start_s, c.tolerance_s) << "chapter " << i;
        EXPECT_NEAR(o.chapters[i].end_s, want[i].end_s, c.tolerance_s) << "chapter " << i;
        for (size_t j = 0; j < i; j++)
            EXPECT_NE(o.chapters[i].id, o.chapters[j].id) << "chapters " << j << " and " << i;
    }
}

// tagged.mkv: English and a French commentary track (titled, flagged),
// file tags, two chapters, the second running past the file's end.
INSTANTIATE_TEST_SUITE_P(
    Containers, Carry,
    testing::Values(
        carry_case{"ToMkv", {"tagged.mkv", "tagged.mkv", "tagged.mkv"}, "mkv", true, true, true, true,
                   carry_case::ALL},
        carry_case{"ToMp4", {"tagged.mkv", "tagged.mkv"}, "mp4", true, false, true, true, carry_case::ALL},
        carry_case{"ToMov", {"tagged.mkv", "tagged.mkv"}, "mov", true, false, false, true, carry_case::ALL},
        carry_case{"ToTs", {"tagged.mkv", "tagged.mkv"}, "ts", true, false, false, false, carry_case::NONE},
        // Only the second file has chapters: they start where it does, and
        // the first file gets none.
        carry_case{"SecondFileOnly", {"two_audio.mp4", "tagged.mkv"}, "mkv", true, true, true, true,
                   carry_case::ALL},
        // Chapters stored without their ends, which the reading works out.
        // Opus counts its first packet's priming samples (6.5 ms) in the
        // file's length where a reader does not: the later positions are
        // that much apart.
        carry_case{"StartsOnly", {"chapters.opus", "chapters.opus"}, "mka", false, false, false, true,
                   carry_case::ALL, 0.01},
        // MP3 writes chapters in its header, before later files have a
        // place. It stores no timestamps: a reader puts the first frame at
        // zero, where the merge had moved it back by the encoder delay
        // (23 ms), like every other position of the first file.
        carry_case{"Mp3Header", {"tagged.mp3", "tagged.mp3"}, "mp3", false, false, false, true,
                   carry_case::FIRST, 0.024}),
    [](const testing::TestParamInfo<carry_case> &i) { return std::string(i.param.name); });

// A broadcast's service keeps its name and provider in an MPEG-TS output.
// The demuxer finds them (in the SDT) only while it reads packets, which the
// merge does not do before writing its header when it reuses the check's
// analysis: the analysis keeps them.
TEST(Carry, KeepsTheServiceName)
{
    std::string out = scratch("carry_service.ts");
    auto r = merge({"named.ts", "named.ts"}, out);
    ASSERT_EQ(r["state"], 3) << r.dump();
    props_read o = read_props(out);
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.service_name, "Arte");
    EXPECT_EQ(o.service_provider, "Multi4");
}

// A turned picture stays turned where the container stores the turn.
TEST(Carry, KeepsRotation)
{
    for (const char *ext : {"mp4", "mov"}) {
        std::string out = scratch(std::string("carry_rot90.") + ext);
        auto r = merge({"rot90.mp4", "rot90.mp4"}, out);
        ASSERT_EQ(r["state"], 3) << r.dump();
        props_read o = read_props(out);
        ASSERT_TRUE(o.ok);
        EXPECT_EQ(o.streams[0].rotation, read_props(fixture("rot90.mp4")).streams[0].rotation) << ext;
        EXPECT_NE(o.streams[0].rotation, 0) << ext;
    }
}

// What an output carries is bounded, whatever its inputs hold: 10 000
// chapters in all, 1 000 tags a file (or stream). Inputs with a hundred
// thousand chapters each took minutes and gigabytes.
TEST(Carry, BoundsChaptersAndTags)
{
    std::string out = scratch("carry_many.mkv");
    auto r = merge({"many_chapters.mkv", "many_chapters.mkv"}, out);
    ASSERT_EQ(r["state"], 3) << r.dump();
    AVFormatContext *ic = nullptr;
    ASSERT_EQ(avformat_open_input(&ic, out.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(ic->nb_chapters, 10000u);
    EXPECT_LE(av_dict_count(ic->metadata), 1000 + 1);  // and the muxer's encoder tag
    EXPECT_GE(av_dict_count(ic->metadata), 1000 - 1);
    avformat_close_input(&ic);
}

// Video of a constant frame rate keeps it in Matroska (the track's default
// duration): without it a reader works out a rate from the timestamps
// (24.417 for the two segments of a 24 fps broadcast) and guesses decode
// times.
TEST(Carry, KeepsAConstantFrameRate)
{
    std::string out = scratch("carry_rate.mkv");
    auto r = merge({"opus_seg0.ts", "opus_seg1.ts"}, out);
    ASSERT_EQ(r["state"], 3) << r.dump();
    props_read o = read_props(out);
    ASSERT_TRUE(o.ok);
    AVRational rate = o.streams[0].frame_rate;
    EXPECT_EQ(av_cmp_q(rate, AVRational{24, 1}), 0) << rate.num << "/" << rate.den;
}

}  // namespace
