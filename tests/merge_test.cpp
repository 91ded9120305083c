// SPDX-License-Identifier: MIT
// Real merges across containers, each output read back and checked against
// its inputs: every video packet there, decode times increasing, every file
// placed right after the one before, audio fitted to each join within half a
// frame, and an output that decodes cleanly.
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
    EXPECT_EQ((size_t)r["packets_written"].get<long long>(), o.packets.size());
    // The measured length is the output's, where duration_ms adds up what
    // the inputs declare.
    EXPECT_NEAR(r["output_duration_ms"].get<double>() / 1000.0, o.length_s(), 0.05) << r.dump();

    // One record per join, each file's audio heard within half a frame of
    // its video (AAC: 1024 samples at 48 kHz).
    ASSERT_EQ(r["joins"].size(), ins.size() - 1) << r.dump();
    const double HALF_AAC_FRAME_S = 1024 / 48000.0 / 2;
    for (const auto &j : r["joins"]) {
        if (j.contains("audio_offset_ms")) {
            EXPECT_LE(std::abs(j["audio_offset_ms"].get<double>() / 1000.0), HALF_AAC_FRAME_S + 0.0001) << j.dump();
        }
    }

    // shifts[k]: how far the first video stream of file k was moved.
    std::vector<double> shifts(ins.size(), NAN);
    for (int s = 0; s < (int)o.kinds.size(); s++) {
        auto got = o.of_stream(s);
        bool audio = o.kinds[s] == "audio";
        size_t want = 0;
        for (const auto &in : ins)
            want += in.of_stream(s).size();
        // Audio fits each join by whole frames: the padding at the end of
        // the file before and the priming at the start of the next (at most
        // four frames a join; a Matroska output keeps the priming, silent).
        if (audio) {
            EXPECT_LE(got.size(), want) << "packets of stream " << s;
            EXPECT_GE(got.size() + 4 * (ins.size() - 1), want) << "packets of stream " << s;
        } else {
            ASSERT_EQ(got.size(), want) << "packets of stream " << s;
        }
        // Decode times increase (Matroska stores none for some packets);
        // no audio packet starts before the one heard before it ends (a
        // priming frame that players are told to drop whole is not heard:
        // it takes a tick before the next).
        double last_dts = -INFINITY, heard_end = -INFINITY;
        for (size_t i = 0; i < got.size(); i++) {
            if (audio && !(got[i].discard >= 1024)) {
                ASSERT_GE(got[i].pts_s, heard_end - TOLERANCE_S) << "audio packet " << i << " at " << got[i].pts_s << " s";
                heard_end = got[i].pts_s + got[i].duration_s - got[i].discard / 48000.0;
            }
            if (std::isnan(got[i].dts_s))
                continue;
            ASSERT_GT(got[i].dts_s, last_dts) << "dts of stream " << s << " packet " << i;
            last_dts = got[i].dts_s;
        }
        if (audio)
            continue;
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
            double shift = last_out.pts_s - (last_in.pts_s - ins[k].start_us / 1e6);
            // Every stream but audio moves with the file.
            if (std::isnan(shifts[k]))
                shifts[k] = shift;
            EXPECT_NEAR(shift, shifts[k], TOLERANCE_S) << "file " << k + 1 << " stream " << s;
        }
    }
    // Each file starts where the one before ends: where its video ends
    // (no hole, no overlap), or its audio where that runs on past the
    // video by more than a frame.
    for (size_t k = 1; k < ins.size(); k++)
        EXPECT_NEAR(shifts[k] - shifts[k - 1], ins[k - 1].joined_length_s(), TOLERANCE_S)
            << "join before file " << k + 1;
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
