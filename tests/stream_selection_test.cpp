// SPDX-License-Identifier: MIT
// Merges of files with streams the output container cannot store: those
// streams are left out and named in the result, the rest is merged; attached
// pictures are carried once; where no audio or video can be stored the job
// fails before creating anything.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// What the output holds: "kind codec" per stream, an attached picture as
// "picture codec", and how many packets each stream has.
struct output_streams {
    std::vector<std::string> streams;
    std::vector<int> packets;
};

output_streams read_streams(const std::string &path)
{
    output_streams o;
    AVFormatContext *ic = nullptr;
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0)
        return o;
    if (avformat_find_stream_info(ic, nullptr) >= 0) {
        for (unsigned i = 0; i < ic->nb_streams; i++) {
            const AVStream *st = ic->streams[i];
            const char *kind = av_get_media_type_string(st->codecpar->codec_type);
            if (st->disposition & AV_DISPOSITION_ATTACHED_PIC)
                kind = "picture";
            o.streams.push_back(std::string(kind ? kind : "?") + " " + avcodec_get_name(st->codecpar->codec_id));
        }
        o.packets.assign(ic->nb_streams, 0);
        AVPacket *pkt = av_packet_alloc();
        while (pkt && av_read_frame(ic, pkt) >= 0) {
            o.packets[pkt->stream_index]++;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&ic);
    return o;
}

struct selection_case {
    const char *name;
    const char *input;  // fixture, joined with itself
    const char *out_ext;
    std::vector<int> left_out;           // first-input stream indexes
    std::vector<std::string> expect;     // the output's streams (an unknown codec "none" is not listed)
};
VM_PRINTS_AS_NAME(selection_case)

class Selection : public testing::TestWithParam<selection_case> {};

TEST_P(Selection, KeepsWhatTheContainerStores)
{
    const selection_case &c = GetParam();
    std::string in = fixture(c.input);
    std::string out = scratch(std::string("selection_") + c.name + "." + c.out_ext);
    int id = videomerge_start(path_list({in, in}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE) << videomerge_result(id);
    auto r = parse_answer(videomerge_result(id));
    videomerge_free(id);
    EXPECT_EQ(r["streams_left_out"].get<std::vector<int>>(), c.left_out);

    output_streams o = read_streams(out);
    std::vector<std::string> known;
    for (size_t i = 0; i < o.streams.size(); i++) {
        if (o.streams[i] == "data none")
            continue;  // a timecode track the MP4 muxer makes of its own
        known.push_back(o.streams[i]);
        // A picture is carried once, never joined into a video of two frames.
        if (o.streams[i].rfind("picture", 0) == 0) {
            EXPECT_LE(o.packets[i], 1) << o.streams[i];
        }
    }
    EXPECT_EQ(known, c.expect);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Selection,
    testing::Values(
        // GoPro: MP4 keeps the telemetry; Matroska stores no data streams.
        // The timecode track (stream 3) is of no codec FFmpeg knows.
        selection_case{"GoProToMp4", "gopro_karma_cut.mp4", "mp4", {3},
                       {"video h264", "audio aac", "data bin_data"}},
        // MOV's tables lack gpmd: the track keeps its own sample entry.
        selection_case{"GoProToMov", "gopro_karma_cut.mp4", "mov", {3},
                       {"video h264", "audio aac", "data bin_data"}},
        selection_case{"GoProToMkv", "gopro_karma_cut.mp4", "mkv", {2, 3}, {"video h264", "audio aac"}},
        selection_case{"CoverToMp4", "cover.mp4", "mp4", {}, {"video h264", "audio aac", "picture png"}},
        // Matroska holds the picture as an attachment, which FFmpeg reads
        // back as an attached picture.
        selection_case{"CoverToMkv", "cover.mp4", "mkv", {}, {"video h264", "audio aac", "picture png"}},
        // MPEG-TS would take the picture as a stream of private data.
        selection_case{"CoverToTs", "cover.mp4", "ts", {2}, {"video h264", "audio aac"}},
        selection_case{"AttachmentsToMkv", "attachments.mkv", "mkv", {},
                       {"video h264", "audio aac", "attachment ttf", "attachment none"}},
        selection_case{"AttachmentsToMp4", "attachments.mkv", "mp4", {2, 3}, {"video h264", "audio aac"}},
        selection_case{"MovTextToMkv", "movtext.mp4", "mkv", {2}, {"video h264", "audio aac"}},
        selection_case{"MovTextToMp4", "movtext.mp4", "mp4", {}, {"video h264", "audio aac", "subtitle mov_text"}},
        // The podcast's picture carries more flags than an attached
        // picture's; it is kept as the cover. The chapter text tracks are
        // the input's; the output's data track is the one the muxer makes
        // for the chapters.
        selection_case{"PodcastToM4a", "garageband_podcast_chapters.m4a", "m4a", {0, 1},
                       {"audio aac", "data bin_data", "picture mjpeg"}},
        selection_case{"PodcastToMkv", "garageband_podcast_chapters.m4a", "mkv", {0, 1},
                       {"audio aac", "picture mjpeg"}},
        // Audio of a codec FFmpeg does not know fits no container: left
        // out, the video kept.
        selection_case{"UnknownAudioToMp4", "unknown_audio.mkv", "mp4", {1}, {"video h264"}},
        selection_case{"NothingLeftOut", "av.mp4", "mkv", {}, {"video h264", "audio aac"}}),
    [](const testing::TestParamInfo<selection_case> &i) { return std::string(i.param.name); });

// A container that stores none of the audio and video: the job fails with
// the container and the stream named, and no file is created.
TEST(Selection, NoAudioOrVideoStoredFailsBeforeCreatingTheOutput)
{
    std::string in = fixture("av.mp4");
    std::string out = scratch("selection_none.webm");
    std::filesystem::remove(out);
    int id = videomerge_start(path_list({in, in}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_FAILED);
    auto r = parse_answer(videomerge_result(id));
    videomerge_free(id);
    EXPECT_EQ(r["error"], "webm cannot store the audio or video of " + in + " (stream 0: video, h264)");
    EXPECT_FALSE(r.contains("streams_left_out"));
    EXPECT_FALSE(file_exists(out));
}

// A container that stores some of the audio and video but not all: the
// job fails before creating anything, naming the stream and the containers
// that store it, rather than writing a file without the video (or its
// sound).
struct refused_case {
    const char *name;
    const char *input;
    const char *out_ext;
    const char *muxer;  // as the error names it
    const char *error;  // after "<muxer> cannot store stream "; empty: stored, the job is done
};
VM_PRINTS_AS_NAME(refused_case)

class MainStreamRefused : public testing::TestWithParam<refused_case> {};

TEST_P(MainStreamRefused, FailsNamingTheStream)
{
    const refused_case &c = GetParam();
    std::string in = fixture(c.input), out = scratch(std::string("refused_") + c.name + "." + c.out_ext);
    std::filesystem::remove(out);
    int id = videomerge_start(path_list({in, in}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    int state = wait_final(id);
    auto r = parse_answer(videomerge_result(id));
    videomerge_free(id);
    if (!*c.error) {
        EXPECT_EQ(state, VIDEOMERGE_STATE_DONE) << r.dump();
        EXPECT_EQ(r["streams_left_out"], nlohmann::json::array());
        return;
    }
    ASSERT_EQ(state, VIDEOMERGE_STATE_FAILED);
    std::string error = r["error"], stream = c.error;
    std::string want = std::string(c.muxer) + " cannot store stream " + stream.substr(0, stream.find(' ')) + " of " +
                       in + stream.substr(stream.find(' '));
    EXPECT_EQ(error, want);
    EXPECT_FALSE(file_exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MainStreamRefused,
    testing::Values(
        refused_case{"Vp8ToMp4", "vp8.webm", "mp4", "mp4", "0 (video, vp8): use .webm or .mkv"},
#if LIBAVFORMAT_VERSION_MAJOR >= 61
        // FFmpeg 7 and later write PCM into MP4.
        refused_case{"PcmToMp4OnFFmpeg7AndLater", "pcm.avi", "mp4", "mp4", ""},
#else
        refused_case{"PcmToMp4OnFFmpeg5", "pcm.avi", "mp4", "mp4", "1 (audio, pcm_s16le): use .mkv or .mov"},
#endif
        refused_case{"PcmToMkv", "pcm.avi", "mkv", "matroska", ""}),
    [](const testing::TestParamInfo<refused_case> &i) { return std::string(i.param.name); });

}  // namespace
