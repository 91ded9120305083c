// A later input analysed with what the first input's analysis found must
// come out of its analysis as a full analysis leaves it: the same stream
// parameters and times, and the same packets after it.
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "av_compat.h"
#include "inspect/analysis_seed.h"
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

TEST_P(SeededAnalysis, LeavesWhatAFullAnalysisLeaves)
{
    const seed_case &c = GetParam();
    making m;
    analysis_hooks first_hooks{make_seed, complete_seed, &m};
    AVFormatContext *first = nullptr;
    int av_error = 0;
    ASSERT_EQ(open_media_with(fixture(c.first).c_str(), &first, &av_error, &first_hooks), VM_INPUT_OK);
    avformat_close_input(&first);

    using_seed u{m.seed};
    analysis_hooks later_hooks{offer_seed, ignore, &u};
    AVFormatContext *seeded = nullptr, *full = nullptr;
    ASSERT_EQ(open_media_with(fixture(c.later).c_str(), &seeded, &av_error, &later_hooks), VM_INPUT_OK);
    ASSERT_EQ(open_media(fixture(c.later).c_str(), &full, &av_error), VM_INPUT_OK);
    EXPECT_EQ(u.fitted, c.fits);
    EXPECT_EQ(analysis_text(seeded), analysis_text(full));
    EXPECT_EQ(packets_text(seeded), packets_text(full));
    avformat_close_input(&seeded);
    avformat_close_input(&full);
    free_seed(&m.seed);
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
        seed_case{"ParameterSetsInBand", "hevc_fast.mp4", "hevc_fast.mp4", false}));

}  // namespace
