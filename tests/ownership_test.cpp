// SPDX-License-Identifier: MIT
// A user's files are never lost: what stands at the output path stays as
// it was until the job is done, and then is replaced in one step; a job
// removes only its own temporary file; two jobs never share a file they
// write; paths mean what they meant at start.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

namespace fs = std::filesystem;

namespace {

const char OLD[] = "the user's earlier file";

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void write_old(const std::string &path)
{
    fs::remove(path);
    std::ofstream(path, std::ios::binary) << OLD;
}

// 32 inputs of 30 s each: long enough to be caught running.
std::string busy_list()
{
    std::string s;
    for (int i = 0; i < 32; i++)
        s += fixture("long.mp4") + "\n";
    return s;
}

// A directory of the test's own, empty: ctest runs test programs side by
// side, and a scan for temporary files must see only this test's.
std::string own_dir(const std::string &name)
{
    std::string dir = scratch("own_" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

void wait_for_packets(int id)
{
    while (parse_answer(videomerge_progress(id))["packets"] == 0 && videomerge_status(id) < 3) {
    }
}

// Every way a job can end without finishing leaves the file that stood at
// the output path as it was, and no temporary file.
struct unfinished_case {
    const char *name;
    std::string list;
    const char *out;
    void (*stop)(int id);  // what the host does once the job runs
    int state;
    void (*before)() = nullptr;  // what happens before the job starts
};
VM_PRINTS_AS_NAME(unfinished_case)

class Unfinished : public testing::TestWithParam<unfinished_case> {};

TEST_P(Unfinished, KeepsTheFileAtTheOutputPath)
{
    const unfinished_case &c = GetParam();
    std::string dir = own_dir(c.name), out = dir + "/" + c.out;
    write_old(out);
    if (c.before)
        c.before();
    int id = videomerge_start(c.list.c_str(), out.c_str());
    ASSERT_GE(id, 0);
    c.stop(id);
    if (videomerge_status(id) >= 0) {
        EXPECT_EQ(wait_final(id), c.state);
        EXPECT_EQ(read_all(out), OLD) << "before free";
        videomerge_free(id);
    }
    EXPECT_EQ(read_all(out), OLD);
    EXPECT_EQ(temporary_files_in(dir), std::vector<std::string>{});
}

void nothing(int) {}

// A list whose last input passes the check and is then replaced by a file
// with fewer streams: the worker, busy with the long inputs before it,
// fails at that input once the output is well under way.
std::string changing_list(const char *victim)
{
    return path_list({fixture("long.mp4"), fixture("long.mp4"), fixture("long.mp4"), scratch(victim)});
}
void make_later_victim() { copy_over(fixture("av.mp4"), scratch("later_victim.mp4")); }
void replace_later_victim(int) { copy_over(fixture("video.mp4"), scratch("later_victim.mp4")); }
void cancel_running(int id)
{
    wait_for_packets(id);
    videomerge_cancel(id);
}
void free_running(int id)
{
    wait_for_packets(id);
    videomerge_free(id);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, Unfinished,
    testing::Values(
        unfinished_case{"Cancelled", busy_list(), "kept_cancel.mp4", cancel_running, VIDEOMERGE_STATE_CANCELLED},
        unfinished_case{"FreedWhileRunning", busy_list(), "kept_free.mp4", free_running, 0},
        // Ogg stores no PCM: the job fails before it makes anything.
        unfinished_case{"NothingStorable", path_list({fixture("s3.mka"), fixture("s3.mka")}), "kept_header.ogg", nothing,
                        VIDEOMERGE_STATE_FAILED},
        unfinished_case{"LaterInputFails", changing_list("later_victim.mp4"), "kept_later.mkv",
                        replace_later_victim, VIDEOMERGE_STATE_FAILED, make_later_victim}),
    [](const testing::TestParamInfo<unfinished_case> &i) { return std::string(i.param.name); });

// The output of a done job replaces the file that stood there, and the
// result tells the path as the host gave it.
TEST(Ownership, DoneReplacesTheFileAtTheOutputPath)
{
    std::string dir = own_dir("replaced"), out = dir + "/replaced.mkv";
    write_old(out);
    int id = videomerge_start(path_list({fixture("av.mp4"), fixture("av_short.mp4")}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
    auto r = parse_answer(videomerge_result(id));
    EXPECT_EQ(r["out_path"], out);
    EXPECT_EQ(r["out_size_bytes"], (long long)fs::file_size(out));
    EXPECT_TRUE(read_media(out).ok);
    videomerge_free(id);
    EXPECT_EQ(temporary_files_in(dir), std::vector<std::string>{});
}

// A WAV output keeps room for the RF64 header (a JUNK chunk of the ds64
// chunk's size ahead of the data; FFmpeg 5.1 puts it before the format
// chunk, later versions after it): past 4 GiB the muxer turns it into RF64
// instead of writing sizes that wrap around, which read as a short or
// broken file.
TEST(Ownership, WavOutputCanPassFourGiB)
{
    std::string dir = own_dir("wav"), out = dir + "/joined.wav";
    int id = videomerge_start(path_list({fixture("tone.wav"), fixture("tone.wav")}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
    videomerge_free(id);
    std::string bytes = read_all(out);
    ASSERT_GT(bytes.size(), 40u);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(bytes.substr(8, 4), "WAVE");
    std::vector<std::string> chunks;
    uint32_t junk_size = 0;
    for (size_t at = 12; at + 8 <= bytes.size() && chunks.size() < 8;) {
        std::string id = bytes.substr(at, 4);
        uint32_t size = 0;
        for (int i = 3; i >= 0; i--)
            size = size << 8 | (unsigned char)bytes[at + 4 + i];
        chunks.push_back(id);
        if (id == "JUNK")
            junk_size = size;
        if (id == "data")
            break;
        at += 8 + size + (size & 1);
    }
    EXPECT_NE(std::find(chunks.begin(), chunks.end(), "JUNK"), chunks.end());
    EXPECT_EQ(chunks.back(), "data");
    EXPECT_EQ(junk_size, 28u);
    EXPECT_NEAR(read_media(out).length_s(), 1.0, 0.01);
}

// A link at the output path stays a link: the file it points to is what
// the job replaces, and only once the job is done.
TEST(Ownership, LinkAtTheOutputPathKeepsPointingAtTheNewFile)
{
    std::string dir = own_dir("link"), target = dir + "/link_target.mkv", link = dir + "/link_at_out.mkv";
    write_old(target);
    fs::remove(link);
    fs::create_symlink(target, link);

    int id = videomerge_start(busy_list().c_str(), link.c_str());
    ASSERT_GE(id, 0);
    wait_for_packets(id);
    videomerge_cancel(id);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_CANCELLED);
    videomerge_free(id);
    EXPECT_EQ(read_all(target), OLD) << "a cancelled job filled the link's target";

    id = videomerge_start(path_list({fixture("av.mp4"), fixture("av.mp4")}).c_str(), link.c_str());
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
    videomerge_free(id);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(read_media(target).ok);
    EXPECT_EQ(temporary_files_in(dir), std::vector<std::string>{});
}

// A link to a file not there yet: the file is made there, the link stays.
TEST(Ownership, LinkToAFileNotThereYet)
{
    std::string dir = own_dir("dangling"), link = dir + "/link.mkv";
    fs::create_symlink("made_later.mkv", link);
    int id = videomerge_start(path_list({fixture("av.mp4"), fixture("av.mp4")}).c_str(), link.c_str());
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
    videomerge_free(id);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(read_media(dir + "/made_later.mkv").ok);
}

// A failed job freed late deletes nothing: not a retry's finished output
// at the same path, not a file of that name in the directory the host has
// moved to since.
TEST(Ownership, FreeOfAFailedJobDeletesNothing)
{
    copy_over(fixture("av.mp4"), scratch("late_victim.mp4"));
    std::string list = changing_list("late_victim.mp4");
    fs::create_directories(scratch("cwd_a"));
    fs::create_directories(scratch("cwd_b"));
    fs::path was = fs::current_path();
    fs::current_path(scratch("cwd_a"));
    int failed = videomerge_start(list.c_str(), "late_free.mkv");
    ASSERT_GE(failed, 0);
    copy_over(fixture("video.mp4"), scratch("late_victim.mp4"));
    EXPECT_EQ(wait_final(failed), VIDEOMERGE_STATE_FAILED);
    // The retry succeeds at the same path.
    int retry = videomerge_start(path_list({fixture("av.mp4"), fixture("av.mp4")}).c_str(), "late_free.mkv");
    ASSERT_GE(retry, 0);
    EXPECT_EQ(wait_final(retry), VIDEOMERGE_STATE_DONE);
    videomerge_free(retry);
    // And the host has moved on, to a directory with a file of that name.
    fs::current_path(scratch("cwd_b"));
    write_old("late_free.mkv");
    videomerge_free(failed);
    fs::current_path(was);
    EXPECT_TRUE(read_media(scratch("cwd_a/late_free.mkv")).ok);
    EXPECT_EQ(read_all(scratch("cwd_b/late_free.mkv")), OLD);
}

// Relative paths are taken against the working directory at start: a host
// that changes it while the job runs changes nothing about what is read
// and written.
TEST(Ownership, ChangingTheWorkingDirectoryAfterStartChangesNothing)
{
    for (const char *dir : {"here", "elsewhere"})
        fs::create_directories(scratch(dir));
    copy_over(fixture("long.mp4"), scratch("here/in.mp4"));
    std::ofstream(scratch("elsewhere/in.mp4")) << "not media";
    fs::remove(scratch("here/out.mp4"));
    fs::path was = fs::current_path();
    fs::current_path(scratch("here"));
    int id = videomerge_start("in.mp4\nin.mp4\nin.mp4\n", "out.mp4");
    fs::current_path(scratch("elsewhere"));
    ASSERT_GE(id, 0);
    int state = wait_final(id);
    fs::current_path(was);
    EXPECT_EQ(state, VIDEOMERGE_STATE_DONE) << videomerge_result(id);
    videomerge_free(id);
    EXPECT_TRUE(read_media(scratch("here/out.mp4")).ok);
    EXPECT_FALSE(file_exists(scratch("elsewhere/out.mp4")));
}

// While a job runs, a second one may not write its output, nor one of its
// inputs, nor read what it writes; however the path is spelled.
struct sharing_case {
    const char *name;
    std::function<std::string(const std::string &in, const std::string &out)> list;
    std::function<std::string(const std::string &in, const std::string &out)> out;
};
VM_PRINTS_AS_NAME(sharing_case)

class Sharing : public testing::TestWithParam<sharing_case> {};

TEST_P(Sharing, SecondJobIsRefused)
{
    const sharing_case &c = GetParam();
    std::string dir = own_dir(std::string("sharing_") + c.name);
    std::string in = dir + "/shared_in.mp4", out = dir + "/shared_out.mp4";
    copy_over(fixture("long.mp4"), in);
    fs::remove(out);
    std::string list;
    for (int i = 0; i < 16; i++)
        list += in + "\n";
    int first = videomerge_start(list.c_str(), out.c_str());
    ASSERT_GE(first, 0);
    std::string second_out = c.out(in, out);
    EXPECT_EQ(videomerge_start(c.list(in, out).c_str(), second_out.c_str()), -1);
    bool first_still_ran = videomerge_status(first) < VIDEOMERGE_STATE_DONE;
    videomerge_cancel(first);
    wait_final(first);
    videomerge_free(first);
    EXPECT_TRUE(first_still_ran) << "the first job ended before the second start: inconclusive";
    EXPECT_EQ(fs::file_size(in), fs::file_size(fixture("long.mp4")));
}

auto two_fixtures = [](const std::string &, const std::string &) {
    return path_list({fixture("av.mp4"), fixture("av.mp4")});
};

INSTANTIATE_TEST_SUITE_P(
    WhileAJobRuns, Sharing,
    testing::Values(
        sharing_case{"SameOutput", two_fixtures, [](const std::string &, const std::string &o) { return o; }},
        sharing_case{"SameOutputWithFilePrefix", two_fixtures,
                     [](const std::string &, const std::string &o) { return "file:" + o; }},
        sharing_case{"OutputIsTheOthersInput", two_fixtures, [](const std::string &i, const std::string &) { return i; }},
        sharing_case{"InputIsTheOthersOutput",
                     [](const std::string &, const std::string &o) { return path_list({fixture("av.mp4"), o}); },
                     [](const std::string &, const std::string &o) { return o + ".other.mp4"; }}),
    [](const testing::TestParamInfo<sharing_case> &i) { return std::string(i.param.name); });

// A host killed in the middle of a merge leaves no partial file under the
// output's name (a partial MPEG-TS would read as a complete, shorter file):
// the earlier file is still there, and the job's temporary file, named for
// what it is, is all that is left.
TEST(Ownership, KilledHostLeavesNoPartialOutput)
{
    std::string dir = own_dir("killed");
    std::string out = dir + "/out.ts";
    write_old(out);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int id = videomerge_start(busy_list().c_str(), out.c_str());
        if (id < 0)
            _exit(1);
        while (nlohmann::json::parse(videomerge_progress(id))["packets"] < 1000) {
        }
        char c = 'r';
        if (write(ready[1], &c, 1) != 1)
            _exit(2);
        for (;;)
            pause();
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(read_all(out), OLD);
    auto left = temporary_files_in(dir);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].rfind(".out.ts.videomerge-" + std::to_string(pid) + "-", 0), 0u) << left[0];
    fs::remove_all(dir);
}

// A directory has more names than its path: a link to it, a bind mount of
// it. A second job writing a new file of the same name there, through
// whichever name, is refused like one naming the same path.
struct alias_case {
    const char *name;
    // Makes `alias` a second name of `dir`; false when the system will not.
    bool (*make)(const std::string &dir, const std::string &alias);
    void (*undo)(const std::string &alias);
};
VM_PRINTS_AS_NAME(alias_case)

class SecondName : public testing::TestWithParam<alias_case> {};

TEST_P(SecondName, OfTheOutputDirectoryIsTheSameOutput)
{
    const alias_case &c = GetParam();
    std::string dir = own_dir(std::string("named_") + c.name), alias = scratch(std::string("alias_") + c.name);
    std::string out = dir + "/new_out.mkv";
    fs::remove(alias);
    if (!c.make(dir, alias))
        GTEST_SKIP() << "no second name for a directory here (mount permission)";
    int first = videomerge_start(busy_list().c_str(), out.c_str());
    ASSERT_GE(first, 0);
    int second = videomerge_start(path_list({fixture("av.mp4"), fixture("av.mp4")}).c_str(),
                                  (alias + "/new_out.mkv").c_str());
    bool first_still_ran = videomerge_status(first) < VIDEOMERGE_STATE_DONE;
    if (second >= 0) {
        wait_final(second);
        videomerge_free(second);
    }
    videomerge_cancel(first);
    wait_final(first);
    videomerge_free(first);
    c.undo(alias);
    EXPECT_EQ(second, -1);
    EXPECT_TRUE(first_still_ran) << "the first job ended before the second start: inconclusive";
}

INSTANTIATE_TEST_SUITE_P(
    Directory, SecondName,
    testing::Values(
        alias_case{"Link",
                   [](const std::string &dir, const std::string &alias) {
                       fs::create_symlink(dir, alias);
                       return true;
                   },
                   [](const std::string &alias) { fs::remove(alias); }},
        alias_case{"BindMount",
                   [](const std::string &dir, const std::string &alias) {
                       fs::create_directories(alias);
                       return mount(dir.c_str(), alias.c_str(), nullptr, MS_BIND, nullptr) == 0;
                   },
                   [](const std::string &alias) {
                       umount2(alias.c_str(), MNT_DETACH);
                       fs::remove(alias);
                   }}),
    [](const testing::TestParamInfo<alias_case> &i) { return std::string(i.param.name); });

// The output's directory renamed while the job runs: the job keeps to the
// directory it started in, under its new name. Done, the output is there;
// cancelled, its temporary file is gone from there too.
TEST(Ownership, OutputDirectoryRenamedWhileTheJobRuns)
{
    for (int state : {VIDEOMERGE_STATE_DONE, VIDEOMERGE_STATE_CANCELLED}) {
        SCOPED_TRACE(state);
        std::string dir = own_dir("renamed"), before = dir + "/before", after = dir + "/after";
        fs::create_directories(before);
        int id = videomerge_start(busy_list().c_str(), (before + "/out.mkv").c_str());
        ASSERT_GE(id, 0);
        wait_for_packets(id);
        fs::rename(before, after);
        EXPECT_LT(videomerge_status(id), VIDEOMERGE_STATE_DONE) << "renamed after the end: inconclusive";
        if (state == VIDEOMERGE_STATE_CANCELLED)
            videomerge_cancel(id);
        EXPECT_EQ(wait_final(id), state) << videomerge_result(id);
        videomerge_free(id);
        EXPECT_EQ(file_exists(after + "/out.mkv"), state == VIDEOMERGE_STATE_DONE);
        if (state == VIDEOMERGE_STATE_DONE) {
            EXPECT_TRUE(read_media(after + "/out.mkv").ok);
        }
        EXPECT_EQ(temporary_files_in(after), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(before));
    }
}

// An output path is read as the system reads it: a directory named in it
// must exist even when a ".." after it leaves it again, and a file is no
// directory. Such a job fails as one naming a missing directory does, and
// writes nothing where the ".." would lead on paper.
TEST(Ownership, DotDotAfterWhatIsNoDirectory)
{
    std::string dir = own_dir("dotdot");
    std::ofstream(dir + "/plain_file") << "x";
    struct {
        const char *out;
        const char *error;
    } cases[] = {
        {"/missing/../out.mkv", "cannot open output file: No such file or directory"},
        {"/plain_file/../out.mkv", "cannot open output file: Not a directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        int id = videomerge_start(path_list({fixture("av.mp4"), fixture("av.mp4")}).c_str(), (dir + c.out).c_str());
        ASSERT_GE(id, 0);
        EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_FAILED);
        EXPECT_EQ(std::string(videomerge_result(id)),
                  std::string("{\"state\":5,\"ok\":false,\"error\":\"") + c.error + "\"}");
        videomerge_free(id);
        EXPECT_FALSE(file_exists(dir + "/out.mkv"));
    }
}

// How a job ended, as seen from a child process.
struct outcome {
    int state = -1;
    long long packets = -1;
    std::string error;
};

// Runs a merge to its end, in a child process as user nobody when asked
// (root may replace anything; the child's exit status 3 means it could
// not become nobody).
outcome merge_as(bool nobody, const std::string &list, const std::string &out)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        if (nobody && getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        int id = videomerge_start(list.c_str(), out.c_str());
        std::string text = std::to_string(id < 0 ? id : wait_final(id)) + "\n";
        if (id >= 0) {
            text += std::to_string((long long)nlohmann::json::parse(videomerge_progress(id))["packets"]) + "\n";
            text += nlohmann::json::parse(videomerge_result(id)).value("error", "");
            videomerge_free(id);
        }
        ssize_t ignored = write(pipe_fds[1], text.data(), text.size());
        (void)ignored;
        _exit(0);
    }
    close(pipe_fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;)
        text.append(buf, (size_t)n);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome o;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return o;
    size_t a = text.find('\n'), b = text.find('\n', a + 1);
    o.state = std::atoi(text.c_str());
    if (b != std::string::npos) {
        o.packets = std::atoll(text.c_str() + a + 1);
        o.error = text.substr(b + 1);
    }
    return o;
}

bool run(const std::string &command)
{
    return std::system((command + " 2>/dev/null").c_str()) == 0;
}

// Where the system would refuse the rename at the end, the job fails
// before it copies a packet (not after the whole merge), with the rename's
// reason, and leaves the file at the output path and nothing else.
struct refused_case {
    const char *name;
    // Sets the place up; false when this system or user cannot.
    bool (*make)(const std::string &dir, const std::string &out);
    void (*undo)(const std::string &dir, const std::string &out);
    bool as_nobody;
};
VM_PRINTS_AS_NAME(refused_case)

class RenameRefused : public testing::TestWithParam<refused_case> {};

TEST_P(RenameRefused, FailsBeforeTheCopy)
{
    const refused_case &c = GetParam();
    std::string dir = own_dir(std::string("refused_") + c.name), out = dir + "/out.mkv";
    write_old(out);
    if (!c.make(dir, out)) {
        c.undo(dir, out);
        GTEST_SKIP() << "cannot set this up here";
    }
    outcome o = merge_as(c.as_nobody, busy_list(), out);
    c.undo(dir, out);
    ASSERT_NE(o.state, -1) << "the child could not become nobody";
    EXPECT_EQ(o.state, VIDEOMERGE_STATE_FAILED);
    EXPECT_EQ(o.error, "cannot put the output in place: Operation not permitted");
    EXPECT_EQ(o.packets, 0) << "found only after the copy";
    EXPECT_EQ(read_all(out), OLD);
    EXPECT_EQ(temporary_files_in(dir), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Places, RenameRefused,
    testing::Values(
        // Like /tmp: anyone may make files, but replace only their own.
        refused_case{"StickyDirectoryOthersFile",
                     [](const std::string &dir, const std::string &) {
                         return chmod(dir.c_str(), 01777) == 0 && getuid() == 0;
                     },
                     [](const std::string &, const std::string &) {}, true},
        // chattr needs root and a file system with these flags (ext4, xfs, btrfs, tmpfs).
        refused_case{"ImmutableFile",
                     [](const std::string &, const std::string &out) { return run("chattr +i '" + out + "'"); },
                     [](const std::string &, const std::string &out) { run("chattr -i '" + out + "'"); }, false},
        refused_case{"AppendOnlyDirectory",
                     [](const std::string &dir, const std::string &) { return run("chattr +a '" + dir + "'"); },
                     [](const std::string &dir, const std::string &) { run("chattr -a '" + dir + "'"); }, false}),
    [](const testing::TestParamInfo<refused_case> &i) { return std::string(i.param.name); });

// An output whose file system clearly lacks the room (a 2 MB tmpfs for
// 2.6 MB of inputs) fails at once, saying how much is needed and free,
// before anything is made there; one that fits there is done. Skipped
// where no tmpfs can be mounted.
TEST(Ownership, NoRoomFailsBeforeAnythingIsMade)
{
    std::string dir = scratch("small_fs");
    fs::create_directories(dir);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    std::string big = dir + "/big.mp4", small = dir + "/small.mp4";
    int id = videomerge_start(path_list({fixture("long.mp4"), fixture("long.mp4")}).c_str(), big.c_str());
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_FAILED);
    auto r = parse_answer(videomerge_result(id));
    auto p = parse_answer(videomerge_progress(id));
    videomerge_free(id);
    std::string error = r["error"];
    EXPECT_EQ(error.rfind("not enough space for " + big + ": about 3 MB needed, ", 0), 0u) << error;
    EXPECT_NE(error.find(" MB free"), std::string::npos) << error;
    EXPECT_EQ(p["packets"], 0);
    EXPECT_TRUE(fs::is_empty(dir));

    id = videomerge_start(path_list({fixture("av.mp4"), fixture("av.mp4")}).c_str(), small.c_str());
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE) << videomerge_result(id);
    videomerge_free(id);
    EXPECT_TRUE(file_exists(small));
    umount2(dir.c_str(), MNT_DETACH);
}

}  // namespace
