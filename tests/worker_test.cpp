// The merge worker run directly on a prepared slot, on the test's thread:
// the failure and cancel paths that the API cannot reach without a race.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
    for (size_t i = 0; i < inputs.size(); i++)
        std::strcpy(slot.paths[i], inputs[i].c_str());
    slot.file_count = (int)inputs.size();
    std::strcpy(slot.out_path, out.c_str());
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
    EXPECT_FALSE(s->out_opened);
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
