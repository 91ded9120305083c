// An input analysed with what decoding would tell put on it beforehand
// (from the first input's analysis, or from the start of its own first
// picture) must come out of its analysis as FFmpeg's own analysis leaves
// it: the same stream parameters and times, and the same packets after it.
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "av_compat.h"
#include "inspect/analysis_seed.h"
#include "inspect/first_picture.h"
#include "inspect/media_input.h"
#include "support.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// The first input's side: its headers, then its findings.
struct making {
    analysis_seed *seed = nullptr;
};

const analysis_seed *make_seed(void *arg, const AVFormatContext *ic)
{
    static_cast<making *>(arg)->seed = seed_from_header(ic);
    return nullptr;
}

void complete_seed(void *arg, const AVFormatContext *ic)
{
    making *m = static_cast<making *>(arg);
    if (m->seed)
        seed_analysed(m->seed, ic);
}

// A later input's side: the seed where it fits, and whether it did.
struct using_seed {
    const analysis_seed *seed;
    bool fitted = false;
};

const analysis_seed *offer_seed(void *arg, const AVFormatContext *ic)
{
    using_seed *u = static_cast<using_seed *>(arg);
    u->fitted = u->seed && seed_fits(u->seed, ic);
    return u->fitted ? u->seed : nullptr;
}

void ignore(void *, const AVFormatContext *) {}

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

struct seed_case {
    const char *name;
    const char *first, *later;
    bool fits;  // whether the later input's analysis is spared the decoding
};
VM_PRINTS_AS_NAME(seed_case)

class SeededAnalysis : public testing::TestWithParam<seed_case> {};

// FFmpeg's own analysis of `path`, as a program without the library does it.
AVFormatContext *analysed_by_ffmpeg(const std::string &path)
{
    AVFormatContext *ic = nullptr;
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0)
        return nullptr;
    if (avformat_find_stream_info(ic, nullptr) < 0)
        avformat_close_input(&ic);
    return ic;
}

TEST_P(SeededAnalysis, LeavesWhatFFmpegsOwnAnalysisLeaves)
{
    const seed_case &c = GetParam();
    making m;
    analysis_hooks first_hooks{make_seed, complete_seed, &m};
    AVFormatContext *first = nullptr;
    int av_error = 0;
    ASSERT_EQ(open_media_with(fixture(c.first).c_str(), &first, &av_error, &first_hooks), VM_INPUT_OK);
    avformat_close_input(&first);

    AVFormatContext *reference = analysed_by_ffmpeg(fixture(c.later));
    ASSERT_NE(reference, nullptr);
    std::string want = analysis_text(reference), want_packets = packets_text(reference);
    avformat_close_input(&reference);

    // With the first input's findings.
    using_seed u{m.seed};
    analysis_hooks later_hooks{offer_seed, ignore, &u};
    AVFormatContext *seeded = nullptr;
    ASSERT_EQ(open_media_with(fixture(c.later).c_str(), &seeded, &av_error, &later_hooks), VM_INPUT_OK);
    EXPECT_EQ(u.fitted, c.fits);
    EXPECT_EQ(analysis_text(seeded), want);
    EXPECT_EQ(packets_text(seeded), want_packets);
    avformat_close_input(&seeded);
    free_seed(&m.seed);

    // On its own: from its first picture where it can.
    AVFormatContext *alone = nullptr;
    ASSERT_EQ(open_media(fixture(c.later).c_str(), &alone, &av_error), VM_INPUT_OK);
    EXPECT_EQ(analysis_text(alone), want);
    EXPECT_EQ(packets_text(alone), want_packets);
    avformat_close_input(&alone);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SeededAnalysis,
    testing::Values(
        // H.264 with B-frames: the reordering depth comes from the first.
        seed_case{"H264", "av.mp4", "av_short.mp4", true},
        seed_case{"H264WithoutAudio", "av.mp4", "video.mp4", true},
        seed_case{"Hevc", "hevc_a.mp4", "hevc_b.mp4", true},
        // One parameter set for both; the field order is each clip's own.
        seed_case{"FieldOrder", "tff.mp4", "bff.mp4", true},
        // Not the same header: analysed in full.
        seed_case{"OtherSize", "av.mp4", "big.mp4", false},
        seed_case{"VideoAtAnotherIndex", "av.mp4", "audio_first.mp4", false},
        // Matroska: the decode times come from what the analysis decodes.
        seed_case{"OtherFormat", "av.mp4", "av.mkv", false},
        // hev1 may carry other parameter sets in its packets.
        seed_case{"ParameterSetsInBand", "hevc_fast.mp4", "hevc_fast.mp4", false},
        // Which colours an analysis keeps depends on FFmpeg's version.
        seed_case{"ColoursStatedTwice", "colours_twice.mp4", "colours_twice.mp4", true},
        // MPEG-TS: no index, and units with start codes.
        seed_case{"StartCodes", "av.ts", "av.ts", false}));

}  // namespace

namespace {

// The start of the first picture tells what decoding all of it tells, and
// reading it leaves the input where it was.
TEST(FirstPicture, TellsWhatDecodingThePictureTells)
{
    for (const char *name : {"av.mp4", "hevc_a.mp4", "tff.mp4", "rot90.mp4"}) {
        SCOPED_TRACE(name);
        AVFormatContext *reference = analysed_by_ffmpeg(fixture(name));
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
        EXPECT_EQ(par->color_range, want->color_range);
        EXPECT_EQ(par->chroma_location, want->chroma_location);
        EXPECT_EQ(par->bits_per_raw_sample, want->bits_per_raw_sample);
        avcodec_parameters_free(&par);
        avformat_close_input(&ic);
        avformat_close_input(&reference);
    }
}

}  // namespace
