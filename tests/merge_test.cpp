// Real merges across containers, each output read back and checked against
// its inputs: every packet there, decode times increasing, every file placed
// right after the one before, audio kept in sync with video, and an output
// that decodes cleanly.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

namespace {

// Timestamps of a read-back output are compared within this, in seconds:
// millisecond time bases (Matroska) round every value.
const double TOLERANCE_S = 0.002;

struct merge_case {
    const char *name;
    std::vector<std::string> inputs;  // fixture names
    const char *out_ext;
    // Streams whose packets are rewritten to carry each file's own
    // parameter sets: their payloads change, everything else holds.
    std::vector<int> reannexed = {};
};
VM_PRINTS_AS_NAME(merge_case)

bool is_ts(const std::string &path)
{
    return path.size() > 3 && path.compare(path.size() - 3, 3, ".ts") == 0;
}

// Where each input file's packets of one stream sit in the output.
struct file_place {
    double shift_s;  // output time minus the input's own time from its start
    double length_s; // the input's length: its longest stream's end
};

class Merge : public testing::TestWithParam<merge_case> {};

TEST_P(Merge, KeepsEveryPacketInPlace)
{
    const merge_case &c = GetParam();
    std::vector<std::string> paths;
    std::vector<media_read> ins;
    for (const auto &f : c.inputs) {
        paths.push_back(fixture(f));
        ins.push_back(read_media(paths.back()));
        ASSERT_TRUE(ins.back().ok) << f;
    }
    std::string out = scratch(std::string("merge_") + c.name + "." + c.out_ext);
    auto r = merge_to_end(paths, out);
    ASSERT_EQ(r["state"], 3) << r.dump();
    EXPECT_EQ(r["out_size_bytes"].get<long long>(), (long long)std::filesystem::file_size(out));
    EXPECT_EQ(r["files_merged"], (int)paths.size());

    media_read o = read_media(out);
    ASSERT_TRUE(o.ok);
    ASSERT_EQ(o.kinds, ins[0].kinds);
    size_t in_total = 0;
    for (const auto &in : ins)
        in_total += in.packets.size();
    EXPECT_EQ((size_t)r["packets_written"].get<long long>(), in_total);
    // The measured length is the output's, where duration_ms adds up what
    // the inputs declare.
    EXPECT_NEAR(r["output_duration_ms"].get<double>() / 1000.0, o.length_s(), 0.05) << r.dump();

    // shifts[k][s]: how far stream s of file k was moved.
    std::vector<std::vector<double>> shifts(ins.size());
    for (int s = 0; s < (int)o.kinds.size(); s++) {
        auto got = o.of_stream(s);
        size_t want = 0;
        for (const auto &in : ins)
            want += in.of_stream(s).size();
        ASSERT_EQ(got.size(), want) << "packets of stream " << s;
        // Decode times increase (Matroska stores none for some packets).
        double last_dts = -INFINITY;
        for (size_t i = 0; i < got.size(); i++) {
            if (std::isnan(got[i].dts_s))
                continue;
            ASSERT_GT(got[i].dts_s, last_dts) << "dts of stream " << s << " packet " << i;
            last_dts = got[i].dts_s;
        }
        // Every packet keeps its payload, unless the muxer repackages it
        // (MPEG-TS start codes and ADTS against MP4/Matroska; a DV file's
        // audio woven anew into its video frames); the last of
        // each file's run shows where the file went (the first may have been
        // nudged past a join).
        size_t at = 0;
        for (size_t k = 0; k < ins.size(); k++) {
            auto mine = ins[k].of_stream(s);
            bool reannexed = std::count(c.reannexed.begin(), c.reannexed.end(), s) > 0;
            bool same_packaging = is_ts(c.inputs[k]) == is_ts(out) && !reannexed && c.out_ext != std::string("dv");
            for (size_t i = 0; same_packaging && i < mine.size(); i++)
                ASSERT_EQ(got[at + i].crc, mine[i].crc) << "file " << k + 1 << " stream " << s;
            at += mine.size();
            const packet_info &last_in = mine.back(), &last_out = got[at - 1];
            shifts[k].push_back(last_out.pts_s - (last_in.pts_s - ins[k].start_us / 1e6));
        }
    }
    for (size_t k = 0; k < ins.size(); k++) {
        // All streams of a file move together: audio stays where it was
        // against video, at every join.
        for (size_t s = 1; s < shifts[k].size(); s++)
            EXPECT_NEAR(shifts[k][s], shifts[k][0], TOLERANCE_S) << "file " << k + 1 << " stream " << s;
        // Each file starts where the one before ends: at its longest
        // stream's end, so no overlap and no gap beyond the difference
        // between a file's stream lengths; later by at most the first
        // audio packet where that reaches back before the file's start
        // (AAC priming), so that it does not overlap the audio before.
        if (k > 0) {
            double room = 0;
            for (size_t s = 0; s < ins[k].kinds.size(); s++)
                if (ins[k].kinds[s] == "audio")
                    room = std::max(room, ins[k].of_stream((int)s).front().duration_s);
            double step = shifts[k][0] - shifts[k - 1][0];
            EXPECT_GE(step, ins[k - 1].length_s() - TOLERANCE_S) << "join before file " << k + 1;
            EXPECT_LE(step, ins[k - 1].length_s() + room + TOLERANCE_S) << "join before file " << k + 1;
        }
    }
    EXPECT_EQ(decode_errors(out), "");
}

INSTANTIATE_TEST_SUITE_P(
    Containers, Merge,
    testing::Values(
        merge_case{"Mp4ToMp4", {"av.mp4", "av_short.mp4"}, "mp4"},
        // What cameras write: DV from a camcorder, MXF from a broadcast camera.
        merge_case{"DvToDv", {"camera.dv", "camera.dv"}, "dv"},
        merge_case{"DvToMkv", {"camera.dv", "camera.dv"}, "mkv"},
        merge_case{"MxfToMkv", {"camera.mxf", "camera.mxf"}, "mkv"},
        merge_case{"Mp4ToMkv", {"av.mp4", "av_short.mp4", "av.mp4"}, "mkv"},
        merge_case{"Mp4ToTs", {"av_short.mp4", "av.mp4"}, "ts"},
        merge_case{"MovMixToMov", {"av.mov", "av.mp4", "av_short.mkv"}, "mov"},
        // Matroska gives B-frame video's first packets no dts.
        merge_case{"MkvToMp4", {"av.mkv", "av_short.mkv"}, "mp4"},
        merge_case{"MkvToMkv", {"av.mkv", "av_short.mkv"}, "mkv"},
        merge_case{"MkvToTs", {"av.mkv", "av_short.mkv"}, "ts"},
        // MPEG-TS starts at 1.4 s; each file is moved to start at zero.
        merge_case{"TsToMp4", {"av.ts", "av.ts"}, "mp4"},
        merge_case{"TsToMkv", {"av.ts", "av.ts"}, "mkv"},
        merge_case{"TsToTs", {"av.ts", "av.ts"}, "ts"},
        // Audio 0.28 s longer than video: video shows a gap at each join
        // while audio and video stay in sync.
        merge_case{"LongerAudio", {"av_longaudio.mp4", "av_longaudio.mp4", "av_longaudio.mp4"}, "mp4"},
        // AAC starts 1024 samples before the video; after eight joins the
        // audio is still where it was in each file.
        merge_case{"EightJoins", {"av.mp4", "av.mp4", "av.mp4", "av.mp4", "av.mp4", "av.mp4", "av.mp4",
                                  "av.mp4", "av.mp4"},
                   "mp4"}),
    [](const testing::TestParamInfo<merge_case> &i) { return std::string(i.param.name); });

// Files from other encoder settings have other parameter sets; each file's
// frames must decode with their own after the join.
INSTANTIATE_TEST_SUITE_P(
    EncoderSettings, Merge,
    testing::Values(
        merge_case{"H264ToMp4", {"av.mp4", "uf.mp4"}, "mp4", {0}},
        merge_case{"H264ToMkv", {"av.mp4", "uf.mp4"}, "mkv", {0}},
        merge_case{"H264ToTs", {"av.mp4", "uf.mp4"}, "ts", {0}},
        merge_case{"H264MixedToMp4", {"uf.mkv", "av.mp4", "av_short.mkv"}, "mp4", {0}},
        merge_case{"H264MixedToMkv", {"av.mkv", "uf.mkv", "av.mp4"}, "mkv", {0}},
        merge_case{"H264MixedToTs", {"uf.mkv", "av.mkv", "uf.mp4"}, "ts", {0}},
        merge_case{"HevcToMp4", {"hevc_fast.mp4", "hevc_ultra.mkv"}, "mp4", {0}},
        merge_case{"HevcToMkv", {"hevc_ultra.mp4", "hevc_fast.mp4"}, "mkv", {0}},
        merge_case{"HevcToTs", {"hevc_fast.mp4", "hevc_ultra.mp4", "hevc_fast.mp4"}, "ts", {0}}),
    [](const testing::TestParamInfo<merge_case> &i) { return std::string(i.param.name); });

}  // namespace
