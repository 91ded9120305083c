// SPDX-License-Identifier: MIT
// What players hear and see of a joined output, decoded with libavcodec as
// players decode it: sound after a join where the joined file had it against
// its pictures, within half an audio frame, after one join as after a
// hundred; and the second half of a split chirp where it was, to the sample
// where the output can say what to drop.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace {

// What a player gets of a file: the first audio stream's first channel as
// decoded, from the time of its first frame; the first video stream's
// pictures as their times and mean luma.
struct played {
    bool ok = false;
    double audio_start_s = NAN;
    int sample_rate = 0;
    std::vector<float> audio;
    std::vector<double> frame_s, frame_luma;
};

float sample_at(const AVFrame *f, int i)
{
    const uint8_t *d = f->extended_data[0];
    switch (f->format) {
    case AV_SAMPLE_FMT_FLTP:
        return ((const float *)d)[i];
    case AV_SAMPLE_FMT_FLT:
        return ((const float *)d)[i * f->ch_layout.nb_channels];
    case AV_SAMPLE_FMT_S16P:
        return ((const int16_t *)d)[i] / 32768.0f;
    case AV_SAMPLE_FMT_S16:
        return ((const int16_t *)d)[i * f->ch_layout.nb_channels] / 32768.0f;
    case AV_SAMPLE_FMT_S32P:
        return ((const int32_t *)d)[i] / 2147483648.0f;
    case AV_SAMPLE_FMT_S32:
        return ((const int32_t *)d)[i * f->ch_layout.nb_channels] / 2147483648.0f;
    default:
        ADD_FAILURE() << "sample format " << f->format;
        return 0;
    }
}

// Decodes the file as a player does: whatever the container tells it to
// drop is dropped. ignore_editlist: as a player that reads no MP4 edit list.
played play(const std::string &path, bool ignore_editlist = false)
{
    played p;
    AVFormatContext *ic = nullptr;
    AVDictionary *opts = nullptr;
    if (ignore_editlist)
        av_dict_set(&opts, "ignore_editlist", "1", 0);
    int opened = avformat_open_input(&ic, path.c_str(), nullptr, &opts);
    av_dict_free(&opts);
    if (opened < 0 || avformat_find_stream_info(ic, nullptr) < 0) {
        avformat_close_input(&ic);
        return p;
    }
    int a = av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    int v = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    std::vector<AVCodecContext *> dec(ic->nb_streams, nullptr);
    for (int s : {a, v}) {
        if (s < 0)
            continue;
        const AVCodec *codec = avcodec_find_decoder(ic->streams[s]->codecpar->codec_id);
        dec[s] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(dec[s], ic->streams[s]->codecpar);
        dec[s]->pkt_timebase = ic->streams[s]->time_base;
        if (avcodec_open2(dec[s], codec, nullptr) < 0)
            ADD_FAILURE() << "cannot open the decoder of stream " << s;
    }
    AVPacket *pkt = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    auto drain = [&](int s) {
        while (avcodec_receive_frame(dec[s], f) >= 0) {
            double t = f->best_effort_timestamp == AV_NOPTS_VALUE
                           ? NAN
                           : f->best_effort_timestamp * av_q2d(ic->streams[s]->time_base);
            if (s == a) {
                if (p.audio.empty())
                    p.audio_start_s = t;
                p.sample_rate = f->sample_rate;
                for (int i = 0; i < f->nb_samples; i++)
                    p.audio.push_back(sample_at(f, i));
            } else {
                double sum = 0;
                for (int y = 0; y < f->height; y++)
                    for (int x = 0; x < f->width; x++)
                        sum += f->data[0][y * f->linesize[0] + x];
                p.frame_s.push_back(t);
                p.frame_luma.push_back(sum / (f->width * f->height));
            }
            av_frame_unref(f);
        }
    };
    while (av_read_frame(ic, pkt) >= 0) {
        int s = pkt->stream_index;
        if (dec[s] && avcodec_send_packet(dec[s], pkt) >= 0)
            drain(s);
        av_packet_unref(pkt);
    }
    for (int s : {a, v})
        if (s >= 0) {
            avcodec_send_packet(dec[s], nullptr);
            drain(s);
        }
    for (AVCodecContext *&c : dec)
        avcodec_free_context(&c);
    av_frame_free(&f);
    av_packet_free(&pkt);
    avformat_close_input(&ic);
    p.ok = true;
    return p;
}

// --- Flash and click: audio against video at every join -------------------

struct sync_case {
    const char *name;
    const char *out_ext;
    int files;
    bool ignore_editlist;  // heard by a player that reads no edit list
    double tolerance_s;    // how far the click may move against its flash
};
VM_PRINTS_AS_NAME(sync_case)

// Half an AAC frame at 48 kHz, and a little for the pictures' times.
const double HALF_FRAME_S = 512 / 48000.0 + 0.0005;
// Matroska's milliseconds, where audio is exact.
const double MS_S = 0.0015;

class Heard : public testing::TestWithParam<sync_case> {};

TEST_P(Heard, WithItsPicturesAtEveryJoin)
{
    const sync_case &c = GetParam();
    std::vector<std::string> inputs(c.files, fixture("flash_click.mp4"));
    std::string out = scratch(std::string("heard_") + c.name + "." + c.out_ext);
    auto r = merge_to_end(inputs, out);
    ASSERT_EQ(r["state"], 3) << r.dump();
    ASSERT_EQ(r["joins"].size(), (size_t)c.files - 1);

    played p = play(out, c.ignore_editlist);
    ASSERT_TRUE(p.ok);
    std::vector<double> flashes, clicks;
    for (size_t i = 0; i < p.frame_luma.size(); i++)
        if (p.frame_luma[i] > 128)
            flashes.push_back(p.frame_s[i]);
    for (size_t i = 0, quiet = 4800; i < p.audio.size(); i++, quiet++) {
        if (std::fabs(p.audio[i]) < 0.1)
            continue;
        if (quiet >= 4800)  // a click after 0.1 s of silence
            clicks.push_back(p.audio_start_s + (double)i / p.sample_rate);
        quiet = 0;
    }
    ASSERT_EQ(flashes.size(), (size_t)c.files);
    ASSERT_EQ(clicks.size(), (size_t)c.files) << "a click lost at a join";
    // Where the first file has the click against its flash, every later
    // one has it too: the error at a join does not add up.
    double first = clicks[0] - flashes[0];
    for (int k = 1; k < c.files; k++)
        EXPECT_NEAR(clicks[k] - flashes[k], first, c.tolerance_s) << "file " << k + 1;
    // And the pictures follow one another without a hole.
    for (size_t i = 1; i < p.frame_s.size(); i++)
        EXPECT_NEAR(p.frame_s[i] - p.frame_s[i - 1], 1 / 30.0, MS_S) << "picture " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Joins, Heard,
    testing::Values(
        sync_case{"Mp4", "mp4", 20, false, HALF_FRAME_S},
        sync_case{"Mp4WithoutEditLists", "mp4", 20, true, HALF_FRAME_S},
        sync_case{"MovWithoutEditLists", "mov", 20, true, HALF_FRAME_S},
        sync_case{"Ts", "ts", 20, false, HALF_FRAME_S},
        // Matroska tells players to drop the padding and the priming: the
        // click is where it was.
        sync_case{"Mkv", "mkv", 20, false, MS_S},
        sync_case{"HundredJoinsMp4", "mp4", 101, false, HALF_FRAME_S},
        sync_case{"HundredJoinsMkv", "mkv", 101, false, MS_S}),
    [](const testing::TestParamInfo<sync_case> &i) { return std::string(i.param.name); });

// --- A split chirp: the second half where it was ---------------------------

struct chirp_case {
    const char *name;
    const char *in_ext;   // chirp_1.EXT and chirp_2.EXT
    const char *out_ext;
    int frame;            // samples a packet decodes to
    bool exact;           // sample-exact, else within half a frame
};
VM_PRINTS_AS_NAME(chirp_case)

const int SPLIT = 144037;

double chirp(int n)
{
    double t = n / 48000.0;
    const double PI = 3.14159265358979323846;
    return 0.5 * std::sin(2 * PI * (200 * t + 400 * t * t));
}

// How many samples later than sample `at` of the chirp the output has it,
// searched within `range` either way.
int lag_of(const std::vector<float> &out, int at, int range)
{
    const int N = 2048;
    int best = 0;
    double best_c = -INFINITY;
    for (int lag = -range; lag <= range; lag++) {
        if (at + lag < 0 || at + lag + N > (int)out.size())
            continue;
        double c = 0;
        for (int i = 0; i < N; i++)
            c += chirp(at + i) * out[at + lag + i];
        if (c > best_c) {
            best_c = c;
            best = lag;
        }
    }
    return best;
}

class SplitChirp : public testing::TestWithParam<chirp_case> {};

TEST_P(SplitChirp, SecondHalfHeardInPlace)
{
    const chirp_case &c = GetParam();
    std::string first = fixture(std::string("chirp_1.") + c.in_ext);
    std::string out = scratch(std::string("chirp_") + c.name + "." + c.out_ext);
    auto r = merge_to_end({first, fixture(std::string("chirp_2.") + c.in_ext)}, out);
    ASSERT_EQ(r["state"], 3) << r.dump();
    played p = play(out);
    ASSERT_TRUE(p.ok);
    ASSERT_EQ(p.sample_rate, 48000);
    // The second half follows the first as long as the first says it is:
    // its packets' times (FFmpeg's AAC encoder states its last frame a few
    // samples short), or what its decoding drops (MP3's LAME header tells
    // the padding; its last frames are stated whole).
    played alone = play(first);
    int stated = (int)std::min<double>(std::lround(read_media(first).length_s() * 48000), alone.audio.size());
    int start = lag_of(p.audio, 20000, 3000);
    int second = lag_of(p.audio, SPLIT + 4000, 3000) - start - (stated - SPLIT);
    if (c.exact)
        EXPECT_EQ(second, 0) << r.dump();
    else
        EXPECT_LE(std::abs(second), c.frame / 2) << r.dump();
    // The join's record says as much.
    EXPECT_LE(std::abs(r["joins"][0]["audio_offset_ms"].get<double>()) * 48, c.frame / 2 + 1) << r.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, SplitChirp,
    testing::Values(
        chirp_case{"AacToM4a", "m4a", "m4a", 1024, false},
        chirp_case{"AacToMka", "m4a", "mka", 1024, true},
        chirp_case{"AacToTs", "m4a", "ts", 1024, false},
        chirp_case{"OpusToOpus", "opus", "opus", 960, false},
        chirp_case{"OpusToMka", "opus", "mka", 960, false},
        chirp_case{"Mp3ToMp3", "mp3", "mp3", 1152, false},
        chirp_case{"Mp3ToMka", "mp3", "mka", 1152, false},
        chirp_case{"VorbisToOgg", "ogg", "ogg", 1024, false},
        chirp_case{"VorbisToMka", "ogg", "mka", 1024, false},
        chirp_case{"Ac3ToAc3", "ac3", "ac3", 1536, false},
        chirp_case{"Ac3ToMka", "ac3", "mka", 1536, false},
        chirp_case{"FlacToFlac", "flac", "flac", 4608, true},
        chirp_case{"FlacToMka", "flac", "mka", 4608, true},
        chirp_case{"PcmToWav", "wav", "wav", 0, true},
        chirp_case{"PcmToMka", "wav", "mka", 0, true}),
    [](const testing::TestParamInfo<chirp_case> &i) { return std::string(i.param.name); });

}  // namespace
