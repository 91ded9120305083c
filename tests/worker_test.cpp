// The merge worker run directly on a prepared slot, on the test's thread:
// the failure and cancel paths that the API cannot reach without a race.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fs_path.h"
#include "merge.h"
#include "session.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

// A slot as job start leaves it, with the inputs and output given.
vm_session *prepare(const std::vector<std::string> &inputs, const std::string &out)
{
    static vm_session slot;
    session_reset(&slot);
    slot.in_use.store(1);
    for (size_t i = 0; i < inputs.size(); i++) {
        std::strcpy(slot.paths[i], inputs[i].c_str());
        std::strcpy(slot.open_paths[i], inputs[i].c_str());
    }
    slot.file_count = (int)inputs.size();
    std::strcpy(slot.out_path, out.c_str());
    resolve_path(out.c_str(), &slot.out);
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
