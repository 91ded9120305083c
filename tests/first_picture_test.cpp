// SPDX-License-Identifier: MIT
// An input whose analysis is spared decoding its first picture must come
// out of the analysis as FFmpeg's own analysis leaves it: the same stream
// parameters and times, and the same packets after it.
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "av_compat.h"
#include "inspect/first_picture.h"
#include "inspect/media_input.h"
#include "support.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace {

// What an analysis leaves on an input, in one text.
std::string analysis_text(const AVFormatContext *ic)
{
    std::ostringstream o;
    o << "start " << ic->start_time << " duration " << ic->duration << " rate " << ic->bit_rate << "\n";
    for (unsigned i = 0; i < ic->nb_streams; i++) {
        const AVStream *st = ic->streams[i];
        const AVCodecParameters *p = st->codecpar;
        o << "stream " << i << ": " << avcodec_get_name(p->codec_id) << " tag " << p->codec_tag << " format "
          << p->format << " profile " << p->profile << " level " << p->level << " " << p->width << "x"
          << p->height << " sar " << p->sample_aspect_ratio.num << "/" << p->sample_aspect_ratio.den
          << " fields " << p->field_order << " colour " << p->color_range << "," << p->color_primaries << ","
          << p->color_trc << "," << p->color_space << "," << p->chroma_location << " delay " << p->video_delay
          << " bits " << p->bits_per_coded_sample << "/" << p->bits_per_raw_sample << " rate " << p->bit_rate
          << " audio " << p->sample_rate << "," << p->frame_size << " extradata " << p->extradata_size
          << " r " << st->r_frame_rate.num << "/" << st->r_frame_rate.den << " avg " << st->avg_frame_rate.num
          << "/" << st->avg_frame_rate.den << " tb " << st->time_base.num << "/" << st->time_base.den
          << " start " << st->start_time << " duration " << st->duration << " frames " << st->nb_frames;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 11, 100)
        o << " framerate " << p->framerate.num << "/" << p->framerate.den;
#endif
        int side = 0;
        stream_side_data(st, &side);
        o << " side data " << side << "\n";
    }
    return o.str();
}

std::string packets_text(AVFormatContext *ic)
{
    std::ostringstream o;
    AVPacket *pkt = av_packet_alloc();
    while (pkt && av_read_frame(ic, pkt) >= 0) {
        o << pkt->stream_index << " " << pkt->pts << " " << pkt->dts << " " << pkt->duration << " " << pkt->flags
          << " " << pkt->size << "\n";
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return o.str();
}

// How many streams of `path` the first picture seeds.
int seeded_streams(const std::string &path)
{
    AVFormatContext *ic = nullptr;
    int av_error = 0;
    if (open_media_header(path.c_str(), &ic, &av_error) != VM_INPUT_OK)
        return -1;
    AVDictionary **opts = static_cast<AVDictionary **>(av_calloc(ic->nb_streams, sizeof *opts));
    int n = opts ? seed_from_first_pictures(ic, opts) : -1;
    for (unsigned i = 0; opts && i < ic->nb_streams; i++)
        av_dict_free(&opts[i]);
    av_free(opts);
    avformat_close_input(&ic);
    return n;
}

struct picture_case {
    const char *name;
    const char *file;
    int seeded;  // streams whose analysis decodes no picture
};
VM_PRINTS_AS_NAME(picture_case)

class SparedDecoding : public testing::TestWithParam<picture_case> {};

TEST_P(SparedDecoding, LeavesWhatFFmpegsOwnAnalysisLeaves)
{
    const picture_case &c = GetParam();
    EXPECT_EQ(seeded_streams(fixture(c.file)), c.seeded);
    AVFormatContext *reference = open_analysed(fixture(c.file));
    ASSERT_NE(reference, nullptr);
    AVFormatContext *ours = nullptr;
    int av_error = 0;
    ASSERT_EQ(open_media(fixture(c.file).c_str(), &ours, &av_error), VM_INPUT_OK);
    EXPECT_EQ(analysis_text(ours), analysis_text(reference));
    EXPECT_EQ(packets_text(ours), packets_text(reference));
    avformat_close_input(&ours);
    avformat_close_input(&reference);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SparedDecoding,
    testing::Values(
        // H.264 with B-frames: the reordering depth from the parameter sets.
        picture_case{"H264", "av.mp4", 1}, picture_case{"VideoOnly", "video.mp4", 1},
        picture_case{"Mov", "av.mov", 1}, picture_case{"Rotated", "rot90.mp4", 1},
        picture_case{"EditList", "preroll.mp4", 1},
        // One parameter set for both; the field order is each clip's own.
        picture_case{"TopFieldFirst", "tff.mp4", 1}, picture_case{"BottomFieldFirst", "bff.mp4", 1},
        // No reordering: the analysis decodes further pictures, which may
        // find some.
        picture_case{"NoBFrames", "uf.mp4", 0},
        // The analysis never reaches the video.
        picture_case{"LateVideo", "late_video.mp4", 0},
        // Which colours an analysis keeps depends on FFmpeg's version.
        picture_case{"ColoursStatedTwice", "colours_twice.mp4", 0},
        // HEVC's analysis decodes no picture anyway.
        picture_case{"Hevc", "hevc_a.mp4", 0},
        // No index, or times that depend on what the analysis decodes.
        picture_case{"MpegTs", "av.ts", 0}, picture_case{"Matroska", "av.mkv", 0}));

// The start of the first picture tells what decoding all of it tells, and
// reading it leaves the input where it was.
TEST(FirstPicture, TellsWhatDecodingThePictureTells)
{
    for (const char *name : {"av.mp4", "tff.mp4", "rot90.mp4"}) {
        SCOPED_TRACE(name);
        AVFormatContext *reference = open_analysed(fixture(name));
        ASSERT_NE(reference, nullptr);
        AVFormatContext *ic = nullptr;
        int av_error = 0;
        ASSERT_EQ(open_media_header(fixture(name).c_str(), &ic, &av_error), VM_INPUT_OK);
        int64_t at = avio_tell(ic->pb);
        AVCodecParameters *par = first_picture_parameters(ic, 0);
        EXPECT_EQ(avio_tell(ic->pb), at);
        ASSERT_NE(par, nullptr);
        const AVCodecParameters *want = reference->streams[0]->codecpar;
        EXPECT_EQ(par->format, want->format);
        EXPECT_EQ(par->video_delay, want->video_delay);
        EXPECT_EQ(par->profile, want->profile);
        EXPECT_EQ(par->level, want->level);
        EXPECT_EQ(par->chroma_location, want->chroma_location);
        EXPECT_EQ(par->bits_per_raw_sample, want->bits_per_raw_sample);
        avcodec_parameters_free(&par);
        avformat_close_input(&ic);
        avformat_close_input(&reference);
    }
}

}  // namespace
