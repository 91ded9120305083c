// SPDX-License-Identifier: MIT
// Faults from outside: inputs changed after the check, damaged inputs, an
// output directory that cannot be written, cancels at random moments, a
// free that has to wait for a blocked worker, and awkward path names.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

namespace fs = std::filesystem;

namespace {

std::vector<char> bytes_of(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), {});
}

void write_bytes(const std::string &path, const std::vector<char> &b)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(b.data(), (std::streamsize)b.size());
}

// Damage done to a copy of a good file.
struct damage_case {
    const char *name;
    const char *source;
    void (*damage)(std::vector<char> &);
};
VM_PRINTS_AS_NAME(damage_case)

void truncate_half(std::vector<char> &b) { b.resize(b.size() / 2); }
void overwrite_bytes(std::vector<char> &b)
{
    for (size_t at : {b.size() * 3 / 10, b.size() * 6 / 10})
        for (size_t i = 0; i < 64 && at + i < b.size(); i++)
            b[at + i] = (char)0xff;
}
void zero_block(std::vector<char> &b)
{
    std::fill(b.begin() + (long)(b.size() / 3), b.begin() + (long)std::min(b.size(), b.size() / 3 + 4096), 0);
}
void scramble_start(std::vector<char> &b)
{
    std::mt19937 rng(7);
    for (size_t i = 0; i < 512 && i < b.size(); i++)
        b[i] = (char)rng();
}

class Damaged : public testing::TestWithParam<damage_case> {};

// A damaged input never crashes the library: the merge is refused, or it
// finishes, or it fails with a text and leaves no output.
TEST_P(Damaged, FinishesOrFailsCleanly)
{
    const damage_case &c = GetParam();
    std::string ext = fs::path(c.source).extension().string();
    std::string bad = scratch(std::string("damaged_") + c.name + ext);
    std::vector<char> b = bytes_of(fixture(c.source));
    c.damage(b);
    write_bytes(bad, b);
    for (bool damaged_first : {true, false}) {
        std::string list = damaged_first ? path_list({bad, fixture(c.source)}) : path_list({fixture(c.source), bad});
        std::string out = scratch(std::string("damaged_out_") + c.name + ext);
        int id = videomerge_start(list.c_str(), out.c_str());
        if (id < 0) {
            EXPECT_TRUE(id == -3 || id == -5) << id;
            EXPECT_FALSE(file_exists(out));
            continue;
        }
        int state = wait_final(id);
        auto r = parse_answer(videomerge_result(id));
        if (state == VIDEOMERGE_STATE_DONE) {
            EXPECT_TRUE(read_media(out).ok) << "a finished output must be readable";
        } else {
            EXPECT_EQ(state, VIDEOMERGE_STATE_FAILED);
            EXPECT_FALSE(r["error"].get<std::string>().empty());
            EXPECT_FALSE(file_exists(out));
        }
        videomerge_free(id);
        fs::remove(out);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Damaged,
    testing::Values(damage_case{"Mp4Truncated", "av.mp4", truncate_half},
                    damage_case{"Mp4Overwritten", "av.mp4", overwrite_bytes},
                    damage_case{"Mp4ZeroBlock", "av.mp4", zero_block},
                    damage_case{"Mp4ScrambledHeader", "av.mp4", scramble_start},
                    damage_case{"MkvTruncated", "av.mkv", truncate_half},
                    damage_case{"MkvOverwritten", "av.mkv", overwrite_bytes},
                    damage_case{"MkvScrambledHeader", "av.mkv", scramble_start},
                    damage_case{"TsTruncated", "av.ts", truncate_half},
                    damage_case{"TsOverwritten", "av.ts", overwrite_bytes},
                    damage_case{"TsZeroBlock", "av.ts", zero_block}),
    [](const testing::TestParamInfo<damage_case> &i) { return std::string(i.param.name); });

// Root writes anywhere, so the job runs in a child process as nobody.
TEST(Faults, OutputDirectoryWithoutWritePermission)
{
    std::string dir = scratch("read_only_dir");
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    std::string out = dir + "/out.mkv", list = path_list({fixture("av.mp4"), fixture("av.mp4")});
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        int id = videomerge_start(list.c_str(), out.c_str());
        if (id < 0)
            _exit(4);
        int state = wait_final(id);
        std::string text = videomerge_result(id);
        videomerge_free(id);
        bool right = state == VIDEOMERGE_STATE_FAILED &&
                     text == "{\"state\":5,\"ok\":false,\"error\":\"cannot open output file: Permission denied\"}" &&
                     access(out.c_str(), F_OK) != 0;
        _exit(right ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: cannot drop root, 4: start refused, 1: wrong outcome";
}

// Whenever the cancel lands, the job ends cancelled without an output or
// done with one.
TEST(Faults, CancelAtRandomMoments)
{
    std::string list = path_list({fixture("long.mp4"), fixture("av.mp4"), fixture("long.mp4")});
    std::mt19937 rng(2026);
    int seen[6] = {};
    for (int trial = 0; trial < 100; trial++) {
        std::string out = scratch("random_cancel.mkv");
        int id = videomerge_start(list.c_str(), out.c_str());
        ASSERT_GE(id, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 40000));
        videomerge_cancel(id);
        int state = wait_final(id);
        ASSERT_TRUE(state == VIDEOMERGE_STATE_CANCELLED || state == VIDEOMERGE_STATE_DONE) << state;
        EXPECT_EQ(file_exists(out), state == VIDEOMERGE_STATE_DONE) << "trial " << trial;
        seen[state]++;
        videomerge_free(id);
        EXPECT_EQ(file_exists(out), state == VIDEOMERGE_STATE_DONE);
        fs::remove(out);
    }
    EXPECT_GT(seen[VIDEOMERGE_STATE_CANCELLED], 0);
}

// Anything but a regular file, as an input or as the output, is refused at
// once: a FIFO nobody writes to used to hold probe, check and start (and
// a FIFO output the job) without end; a device has no end at all.
struct special_case {
    const char *name;
    std::string (*make)();  // the special file's path
};
VM_PRINTS_AS_NAME(special_case)

std::string a_fifo()
{
    std::string p = scratch("nobody_writes.ts");
    fs::remove(p);
    EXPECT_EQ(mkfifo(p.c_str(), 0600), 0);
    return p;
}
std::string a_device() { return "/dev/zero"; }
std::string a_directory()
{
    fs::create_directories(scratch("a_directory.ts"));
    return scratch("a_directory.ts");
}

class Special : public testing::TestWithParam<special_case> {};

TEST_P(Special, IsRefusedAtOnce)
{
    std::string p = GetParam().make();
    auto probe = parse_answer(videomerge_probe(p.c_str()));
    EXPECT_EQ(probe["error"], "not a regular file: " + p);
    auto check = parse_answer(videomerge_check(path_list({fixture("av.ts"), p}).c_str()));
    EXPECT_EQ(check["error"], "not a regular file: " + p);
    EXPECT_EQ(videomerge_start(path_list({fixture("av.ts"), p}).c_str(), scratch("special_out.ts").c_str()), -3);
    EXPECT_EQ(videomerge_start(path_list({fixture("av.ts"), fixture("av.ts")}).c_str(), p.c_str()), -1);
    EXPECT_FALSE(file_exists(scratch("special_out.ts")));
}

INSTANTIATE_TEST_SUITE_P(Files, Special,
                         testing::Values(special_case{"Fifo", a_fifo}, special_case{"Device", a_device},
                                         special_case{"Directory", a_directory}),
                         [](const testing::TestParamInfo<special_case> &i) { return std::string(i.param.name); });

// A file that is not media but starts like an MP3 (an ID3 header, then 1 GB
// of zeros, sparse on disk): describing it reads a bounded part of it. Once
// it was read to its end, and held whole in memory by the parser (2.1 GB).
// The probe runs in a child so that its peak memory is its own.
TEST(Faults, NotMediaIsDescribedFromABoundedRead)
{
    std::string p = scratch("id3_then_zeros.mp3");
    {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f.write("ID3\x04\0\0\0\0\0\0", 10);
    }
    fs::resize_file(p, 10 + (1ull << 30));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto answer = nlohmann::json::parse(videomerge_probe(p.c_str()), nullptr, false);
        auto verdict = nlohmann::json::parse(videomerge_check(path_list({p, p}).c_str()), nullptr, false);
        struct rusage use;
        getrusage(RUSAGE_SELF, &use);
        bool refused = !answer.is_discarded() && answer["ok"] == false && !verdict.is_discarded() &&
                       verdict["ok"] == false;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // The sanitizers keep freed memory aside and add their own: the
        // figure means nothing there.
        use.ru_maxrss = 0;
#endif
        _exit(!refused ? 1 : use.ru_maxrss >= 100 * 1024 ? 2 : 0);  // ru_maxrss is in KiB
    }
    int status = 0;
    waitpid(pid, &status, 0);
    fs::remove(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not refused, 2: 100 MiB or more used";
}

// A valid Matroska file with 20 MB of attachments before its media: the
// bound on reading a file's start does not refuse it.
TEST(Faults, LargeMatroskaHeaderIsRead)
{
    std::string in = fixture("big_fonts.mkv");
    auto probe = parse_answer(videomerge_probe(in.c_str()));
    EXPECT_EQ(probe["ok"], true) << probe.dump();
    auto check = parse_answer(videomerge_check(path_list({in, in}).c_str()));
    EXPECT_EQ(check["ok"], true) << check.dump();
    std::string out = scratch("big_fonts_out.mkv");
    auto r = merge_to_end({in, in}, out);
    EXPECT_EQ(r["state"], 3) << r.dump();
    EXPECT_GT(fs::file_size(out), 20000000u);
}

// Names with quotes, backslashes, control bytes and UTF-8 come back in
// valid JSON, in the result and in error texts, naming the file as it is.
TEST(Faults, AwkwardPathsInJobAnswers)
{
    std::string euros;
    for (int i = 0; i < 60; i++)
        euros += "\xe2\x82\xac";
    for (std::string name : {std::string("q\"uo\\te"), std::string("tab\there\x01"), std::string("caf\xc3\xa9 \xe2\x82\xac"),
                             std::string(200, 'n') + "/" + euros, std::string("latin1_caf\xe9"),
                             // 600 control bytes: escaped, six times as long.
                             std::string(200, '\x01') + "/" + std::string(200, '\x02') + "/" + std::string(200, '\x1f')}) {
        std::string in = scratch(name + ".mp4"), out = scratch(name + "_out.mkv");
        fs::create_directories(fs::path(in).parent_path());
        copy_over(fixture("av.mp4"), in);
        int id = videomerge_start(path_list({fixture("av.mp4"), in}).c_str(), out.c_str());
        ASSERT_GE(id, 0) << name;
        EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
        auto r = parse_answer(videomerge_result(id));
        // Control bytes come back escaped, so the answer names this file.
        std::string shown = out;
        // A byte that is not UTF-8 is shown as U+FFFD; the file is still made.
        for (size_t at; (at = shown.find("latin1_caf\xe9")) != std::string::npos;)
            shown.replace(at, 11, "latin1_caf\xef\xbf\xbd");
        EXPECT_EQ(r["out_path"], shown);
        parse_answer(videomerge_progress(id));
        videomerge_free(id);

        // The same name in a failure text: the output cannot be created.
        std::string bad_out = scratch(name + "_out.unknownext");
        id = videomerge_start(path_list({fixture("av.mp4"), in}).c_str(), bad_out.c_str());
        ASSERT_GE(id, 0);
        EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_FAILED);
        parse_answer(videomerge_result(id));
        videomerge_free(id);
        parse_answer(videomerge_check(path_list({fixture("av.mp4"), in + ".gone"}).c_str()));
    }
}

}  // namespace
