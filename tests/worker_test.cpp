// SPDX-License-Identifier: MIT
// The merge worker run directly on a prepared slot, on the test's thread:
// the failure and cancel paths that the API cannot reach without a race.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "inspect/compat.h"
#include "files/fs_path.h"
#include "merge/merge.h"
#include "api/session.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

// A slot as job start leaves it, with the inputs and output given; with
// `checked`, also what the check learnt of each input, for the merge to reuse.
vm_session *prepare(const std::vector<std::string> &inputs, const std::string &out, bool checked = false)
{
    static vm_session slot;
    session_reset(&slot);
    slot.in_use.store(1);
    slot.paths = inputs;
    slot.open_paths = inputs;
    slot.kept.assign(inputs.size(), nullptr);
    slot.file_count = (int)inputs.size();
    for (int i = 0; i < slot.file_count; i++)
        slot.pieces.push_back({i, 0, -1});  // every input whole
    slot.piece_ms.assign(inputs.size(), 0);
    std::strcpy(slot.out_path, out.c_str());
    resolve_path(out.c_str(), &slot.out);
    if (checked) {
        check_result r;
        EXPECT_EQ(compat_check(slot.open_paths, r, CHECK_KEEP), 1) << r.reason;
        slot.reannex = r.reannex;
        slot.kept.swap(r.kept);
    }
    return &slot;
}

TEST(Worker, MissingLaterInputFailsAndDeletesTheOutput)
{
    std::string out = scratch("worker_missing.mkv");
    vm_session *s = prepare({fixture("av.mp4"), fixture("av.mp4"), fixture("gone.mp4")}, out);
    merge_thread(s);
    EXPECT_EQ(s->state.load(), VM_STATE_FAILED);
    EXPECT_EQ(std::string(s->error), "cannot open " + fixture("gone.mp4"));
    EXPECT_EQ(s->current_file.load(), 3);
    EXPECT_GT(s->packets.load(), 0);
    EXPECT_EQ(s->out_size_bytes.load(), 0);
    EXPECT_EQ(s->elapsed_ms.load(), 0);
    EXPECT_FALSE(file_exists(out));
}

TEST(Worker, MissingFirstInputCreatesNothing)
{
    std::string out = scratch("worker_first.mkv");
    vm_session *s = prepare({fixture("gone.mp4"), fixture("av.mp4")}, out);
    merge_thread(s);
    EXPECT_EQ(s->state.load(), VM_STATE_FAILED);
    EXPECT_EQ(std::string(s->error), "cannot open " + fixture("gone.mp4"));
    EXPECT_EQ(s->current_file.load(), 0);
    EXPECT_FALSE(file_exists(out));
}

// A cancel raised before the first packet (while the header was written)
// takes effect at that packet.
TEST(Worker, CancelBeforeTheFirstPacket)
{
    std::string out = scratch("worker_cancel.mkv");
    vm_session *s = prepare({fixture("av.mp4"), fixture("av.mp4")}, out);
    s->cancel.store(1);
    merge_thread(s);
    EXPECT_EQ(s->state.load(), VM_STATE_CANCELLED);
    EXPECT_EQ(s->packets.load(), 0);
    EXPECT_STREQ(s->error, "");
    EXPECT_FALSE(file_exists(out));
}

// A damaged input is cut short where reading stops; the next one follows.
TEST(Worker, TruncatedInputCountsAsRead)
{
    std::string half = scratch("half.ts");
    {
        std::ifstream in(fixture("av.ts"), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        std::ofstream(half, std::ios::binary).write(bytes.data(), (std::streamsize)bytes.size() / 2 + 77);
    }
    std::string out = scratch("worker_half.ts");
    vm_session *s = prepare({half, fixture("av.ts")}, out);
    merge_thread(s);
    EXPECT_EQ(s->state.load(), VM_STATE_DONE) << s->error;
    size_t whole = read_media(fixture("av.ts")).packets.size();
    EXPECT_GT(s->packets.load(), (int64_t)whole);
    EXPECT_LT(s->packets.load(), (int64_t)(2 * whole));
    EXPECT_EQ(read_media(out).packets.size(), (size_t)s->packets.load());
}

}  // namespace

namespace {

// An input replaced between the check and the worker's opening of it: the
// worker holds it to the same rule as the check instead of writing another
// codec's packets into the stream.
struct replaced_case {
    const char *name;
    const char *replacement;  // a fixture, "" to remove, "text" for a text file
    std::string error;        // with @ for the replaced file's path
};
VM_PRINTS_AS_NAME(replaced_case)

class Replaced : public testing::TestWithParam<replaced_case> {};

TEST_P(Replaced, FailsWithTheReason)
{
    const replaced_case &c = GetParam();
    std::string victim = scratch(std::string("victim_") + c.name + ".mp4");
    std::string out = scratch(std::string("replaced_") + c.name + ".mkv");
    copy_over(fixture("av.mp4"), victim);
    vm_session *s = prepare({fixture("av.mp4"), victim}, out);
    // ... the check passes here, then the file changes.
    if (std::string(c.replacement).empty())
        fs::remove(victim);
    else if (std::string(c.replacement) == "text")
        std::ofstream(victim) << "not media at all\n";
    else
        copy_over(fixture(c.replacement), victim);
    merge_thread(s);
    EXPECT_EQ(s->state.load(), VM_STATE_FAILED);
    std::string want = c.error;
    if (auto at = want.find('@'); at != std::string::npos)
        want.replace(at, 1, victim);
    EXPECT_EQ(std::string(s->error), want);
    EXPECT_FALSE(file_exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    AfterTheCheck, Replaced,
    testing::Values(replaced_case{"Removed", "", "cannot open @"},
                    replaced_case{"ByText", "text", "cannot open @"},
                    replaced_case{"ByOtherCodec", "mpeg4.mp4", "codec mismatch: file 2 stream 0"},
                    replaced_case{"ByOtherSize", "big.mp4", "resolution mismatch: file 2 (320x240 vs 160x120)"},
                    replaced_case{"ByFewerStreams", "video.mp4", "stream count mismatch in @"},
                    replaced_case{"ByOtherPackaging", "av.ts", "stream format mismatch: file 2 stream 0"},
                    replaced_case{"ByOtherDecoderSetup", "av_aac_main.mp4", "codec setup mismatch: file 2 stream 1"},
                    replaced_case{"ByOtherSettings", "uf.mp4", "parameter sets changed: file 2 stream 0"},
                    replaced_case{"ByRotated", "rot90.mp4", "rotation mismatch: file 2 stream 0"}),
    [](const testing::TestParamInfo<replaced_case> &i) { return std::string(i.param.name); });

}  // namespace

namespace {

// The output size is a 64-bit count: a 3 GiB file (sparse, so it costs no
// disk) reads back whole on every platform.
TEST(Worker, SizesOverTwoGiB)
{
    std::string big = scratch("sparse_3gib.bin");
    { std::ofstream touch(big, std::ios::binary); }
    fs::resize_file(big, 3ull << 30);
    EXPECT_EQ(file_size_bytes(big.c_str()), int64_t(3) << 30);
    fs::remove(big);
    EXPECT_EQ(file_size_bytes(big.c_str()), -1);
}

}  // namespace

namespace {

// The merge opens an input unchanged since the check with the check's
// analysis instead of analysing it again; the output must be the one a
// second analysis gives, packet for packet. Each case is a format whose
// packet times depend on what the analysis found.
struct reuse_case {
    const char *name;
    std::vector<const char *> inputs;
    const char *out;
};
VM_PRINTS_AS_NAME(reuse_case)

class ReusedAnalysis : public testing::TestWithParam<reuse_case> {};

TEST_P(ReusedAnalysis, GivesTheSameOutput)
{
    const reuse_case &c = GetParam();
    std::vector<std::string> inputs;
    for (const char *name : c.inputs)
        inputs.push_back(fixture(name));
    std::string analysed = scratch(std::string("analysed_") + c.name + "." + c.out);
    std::string reused = scratch(std::string("reused_") + c.name + "." + c.out);
    vm_session *s = prepare(inputs, analysed);
    merge_thread(s);
    ASSERT_EQ(s->state.load(), VM_STATE_DONE) << s->error;
    s = prepare(inputs, reused, true);
    for (size_t i = 0; i < inputs.size(); i++)
        ASSERT_NE(s->kept[i], nullptr) << "input " << i + 1 << " would be analysed again";
    merge_thread(s);
    ASSERT_EQ(s->state.load(), VM_STATE_DONE) << s->error;
    media_read a = read_media(analysed), b = read_media(reused);
    ASSERT_TRUE(a.ok && b.ok);
    EXPECT_EQ(a.kinds, b.kinds);
    ASSERT_EQ(a.packets.size(), b.packets.size());
    for (size_t i = 0; i < a.packets.size(); i++) {
        const packet_info &x = a.packets[i], &y = b.packets[i];
        EXPECT_TRUE(x.stream == y.stream && x.pts == y.pts && x.dts == y.dts && x.duration == y.duration &&
                    x.crc == y.crc)
            << "packet " << i << ": stream " << x.stream << " pts " << x.pts << " dts " << x.dts
            << " against stream " << y.stream << " pts " << y.pts << " dts " << y.dts;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ReusedAnalysis,
    testing::Values(reuse_case{"MatroskaBFrames", {"av.mkv", "av.mkv"}, "mp4"},
                    reuse_case{"MatroskaNoBFrames", {"uf.mkv", "uf.mkv"}, "mp4"},
                    reuse_case{"MatroskaHevc", {"hevc_ultra.mkv", "hevc_ultra.mkv"}, "mp4"},
                    reuse_case{"Mp4WithCover", {"cover.mp4", "cover.mp4"}, "mp4"},
                    reuse_case{"EditList", {"preroll.mp4", "preroll.mp4"}, "mp4"},
                    reuse_case{"MpegTsSegments", {"seg0.ts", "seg1.ts"}, "ts"},
                    reuse_case{"Mp3Delay", {"delay.mp3", "delay.mp3"}, "mp3"},
                    reuse_case{"FlacNumbered", {"numbered.flac", "numbered.flac"}, "flac"}),
    [](const testing::TestParamInfo<reuse_case> &i) { return std::string(i.param.name); });

}  // namespace
