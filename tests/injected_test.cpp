// SPDX-License-Identifier: MIT
// Faults the system would rarely give on demand, injected by the test-only
// shim (fault_shim.c, loaded with LD_PRELOAD): a full disk while the output
// is written, and a read error in the middle of an input; and the number of
// times a merge analyses its inputs, which the shim counts. Without the
// shim (a plain run of this program) the tests are skipped.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

namespace fs = std::filesystem;

namespace {

enum { OP_READ = 1, OP_WRITE = 2, OP_SLOW_SYNC = 4 };

using fault_set_fn = void (*)(const char *, int, long long, int);

fault_set_fn shim()
{
    return reinterpret_cast<fault_set_fn>(dlsym(RTLD_DEFAULT, "vm_fault_set"));
}

int analyses()
{
    using count_fn = int (*)();
    return reinterpret_cast<count_fn>(dlsym(RTLD_DEFAULT, "vm_analyses"))();
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

class Injected : public testing::Test {
protected:
    void SetUp() override
    {
        if (!shim())
            GTEST_SKIP() << "run with LD_PRELOAD=libfault_shim.so";
    }
    void TearDown() override
    {
        if (shim())
            shim()("", 0, 0, 0);
    }
};

// The disk fills up at some point of writing the output: the job fails
// with the stage's text, its temporary file is gone, and the file that
// stood at the output path before is still there, unchanged.
struct full_case {
    const char *name;
    const char *input;    // merged with itself
    const char *out;      // the output's name
    long long after;      // bytes written before the disk is full
    const char *error;
};
VM_PRINTS_AS_NAME(full_case)

class DiskFull : public Injected, public testing::WithParamInterface<full_case> {};

TEST_P(DiskFull, FailsAndKeepsTheOldFile)
{
    const full_case &c = GetParam();
    // A directory of its own: ctest runs programs side by side.
    std::string dir = scratch(std::string("injected_") + c.name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string out = dir + "/" + c.out;
    std::ofstream(out, std::ios::binary) << "the user's earlier file";
    shim()(c.out, OP_WRITE, c.after, ENOSPC);
    int id = videomerge_start(path_list({fixture(c.input), fixture(c.input)}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_FAILED);
    // Where the full disk shows up, and FFmpeg's word for it.
    std::string error = parse_answer(videomerge_result(id))["error"];
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    EXPECT_EQ(error.substr(error.size() - 25), ": No space left on device") << error;
    videomerge_free(id);
    EXPECT_EQ(read_all(out), "the user's earlier file");
    EXPECT_EQ(temporary_files_in(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskFull,
    testing::Values(full_case{"Mp4AtOnce", "av.mp4", "full.mp4", 0, "write header failed"},
                    full_case{"MkvAtOnce", "av.mp4", "full.mkv", 0, "write frame failed (file 1, stream "},
                    full_case{"TsAtOnce", "av.mp4", "full.ts", 0, "write frame failed (file 1, stream "},
                    full_case{"InTheMiddle", "long.mp4", "full_large.mkv", 1 << 20, "write frame failed (file 1, stream "}),
    [](const testing::TestParamInfo<full_case> &i) { return std::string(i.param.name); });

// The system cannot read the second input past two thirds of it (EIO): the
// job fails, instead of reporting done with a third of that file missing.
TEST_F(Injected, ReadErrorFailsTheJob)
{
    std::string in = scratch("eio_input.mp4"), out = scratch("eio_out.mkv");
    copy_over(fixture("long.mp4"), in);
    fs::remove(out);
    shim()("eio_input.mp4", OP_READ, (long long)fs::file_size(in) * 2 / 3, EIO);
    int id = videomerge_start(path_list({fixture("long.mp4"), in}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_FAILED);
    EXPECT_STREQ(videomerge_result(id), "{\"state\":5,\"ok\":false,\"error\":\"read failed (file 2)\"}");
    videomerge_free(id);
    EXPECT_FALSE(file_exists(out));
}

// Once every packet is copied the job says it is finishing (the index,
// the trailer, the sync to a slow disk) and reaches 100% only when the
// output is in place.
TEST_F(Injected, ProgressSaysFinishingAndReaches100OnlyWhenDone)
{
    std::string out = scratch("finishing_out.mp4");
    fs::remove(out);
    shim()("finishing_out.mp4", OP_SLOW_SYNC, 600, 0);
    int id = videomerge_start(path_list({fixture("av.mp4"), fixture("av.mp4")}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    bool saw_finishing = false;
    for (;;) {
        auto p = parse_answer(videomerge_progress(id));
        if (p["state"] == 3) {
            EXPECT_EQ(p["percent"], 100.0);
            EXPECT_EQ(p["phase"], "finishing");
            EXPECT_TRUE(file_exists(out));
            break;
        }
        ASSERT_LT(p["state"], 3) << p.dump();
        EXPECT_LT(p["percent"], 100.0) << p.dump();
        if (p["phase"] == "finishing")
            saw_finishing = true;
        else
            EXPECT_FALSE(saw_finishing) << "back to copying: " << p.dump();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    videomerge_free(id);
    EXPECT_TRUE(saw_finishing);
}

// Each input is analysed once per job: by the check inside start, whose
// findings the merge reuses. Formats whose packets depend on the analysis
// itself are analysed again by the merge.
struct analyses_case {
    const char *name;
    std::vector<const char *> inputs;
    const char *out;
    int analyses;
};
VM_PRINTS_AS_NAME(analyses_case)

class AnalysesPerJob : public Injected, public testing::WithParamInterface<analyses_case> {};

TEST_P(AnalysesPerJob, OnePerInput)
{
    const analyses_case &c = GetParam();
    std::vector<std::string> inputs;
    for (const char *name : c.inputs)
        inputs.push_back(fixture(name));
    std::string out = scratch(std::string("analyses_") + c.name + "." + c.out);
    fs::remove(out);
    int before = analyses();
    int id = videomerge_start(path_list(inputs).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE) << videomerge_result(id);
    videomerge_free(id);
    EXPECT_EQ(analyses() - before, c.analyses);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnalysesPerJob,
    testing::Values(analyses_case{"Mp4", {"av.mp4", "av.mp4", "av.mp4"}, "mp4", 3},
                    analyses_case{"MatroskaBFrames", {"av.mkv", "av.mkv", "av.mkv"}, "mkv", 3},
                    analyses_case{"MpegTs", {"seg0.ts", "seg1.ts"}, "ts", 2},
                    analyses_case{"Mp3", {"delay.mp3", "delay.mp3"}, "mp3", 2},
                    analyses_case{"RawAacTwice", {"audio.aac", "audio.aac"}, "mka", 4},
                    // Opus in MPEG-TS: only an analysis times its packets.
                    analyses_case{"OpusInMpegTs", {"opus_seg0.ts", "opus_seg1.ts"}, "mkv", 4},
                    // What analyses keep is held to 64 MiB a job: each of
                    // these keeps 14 MB of subtitle headers, and inputs past
                    // the fourth are analysed again by the merge.
                    analyses_case{"PastTheBudget", std::vector<const char *>(6, "big_headers.mkv"), "mkv", 8}),
    [](const testing::TestParamInfo<analyses_case> &i) { return std::string(i.param.name); });

// A file replaced after the check (a new file under the same name, with the
// same contents) is analysed again and compared; the job still succeeds.
TEST_F(Injected, ReplacedInputIsAnalysedAgain)
{
    std::string slow = scratch("analysed_slow.mp4"), later = scratch("analysed_later.mp4");
    std::string out = scratch("analysed_again.mkv");
    copy_over(fixture("long.mp4"), slow);
    copy_over(fixture("av.mp4"), later);
    fs::remove(out);
    // The merge stays on its first input while the third one is replaced.
    shim()("analysed_slow.mp4", 3, 20, 0);
    int before = analyses();
    int id = videomerge_start(path_list({slow, fixture("av.mp4"), later}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    std::string moved = later + ".new";
    copy_over(fixture("av.mp4"), moved);
    fs::rename(moved, later);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE) << videomerge_result(id);
    videomerge_free(id);
    EXPECT_EQ(analyses() - before, 4);
}

// A file written over in place after the check, with other media of the
// same size and its write time put back (as `touch -r` does), is no longer
// the file the check analysed: it is analysed again and refused, never
// merged with the old analysis (another codec's packets in the output).
TEST_F(Injected, InputRewrittenInPlaceIsAnalysedAgain)
{
    std::string slow = scratch("rewritten_slow.mp4"), later = scratch("rewritten_later.mp4");
    std::string out = scratch("rewritten.mkv");
    copy_over(fixture("long.mp4"), slow);
    fs::remove(out);
    // Both contents padded to one size: MP4 readers skip what follows the
    // last box.
    std::string first = read_all(fixture("av.mp4")), other = read_all(fixture("big.mp4"));
    size_t size = std::max(first.size(), other.size()) + 16;
    first.resize(size, '\0');
    other.resize(size, '\0');
    std::ofstream(later, std::ios::binary | std::ios::trunc) << first;
    shim()("rewritten_slow.mp4", 3, 20, 0);
    int before = analyses();
    int id = videomerge_start(path_list({slow, fixture("av.mp4"), later}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    auto written = fs::last_write_time(later);
    {
        std::fstream f(later, std::ios::binary | std::ios::in | std::ios::out);
        f.write(other.data(), (std::streamsize)other.size());
    }
    fs::last_write_time(later, written);
    ASSERT_EQ(fs::file_size(later), size);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_FAILED);
    EXPECT_NE(std::string(videomerge_result(id)).find("resolution mismatch: file 3"), std::string::npos)
        << videomerge_result(id);
    videomerge_free(id);
    EXPECT_EQ(analyses() - before, 4);
    EXPECT_FALSE(fs::exists(out));
}

}  // namespace
