// SPDX-License-Identifier: MIT
// Job control on real threads: start codes, the table of four slots,
// cancel and free at every stage, the reports in every state, failures
// with their texts, and a soak for leaks.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace fs = std::filesystem;

namespace {

std::string pair_of(const std::string &name)
{
    return path_list({fixture(name), fixture(name)});
}

// 32 inputs of 30 s each: long enough to be caught running.
std::string busy_list()
{
    std::string s;
    for (int i = 0; i < 32; i++)
        s += fixture("long.mp4") + "\n";
    return s;
}

// An output path of exactly `len` bytes, in directories that exist.
std::string path_of_length(size_t len, const std::string &ext)
{
    std::string p = scratch("long_paths");
    while (p.size() + 201 + ext.size() < len) {
        p += "/" + std::string(200, 'd');
        fs::create_directories(p);
    }
    return p + "/" + std::string(len - p.size() - 1 - ext.size(), 'f') + ext;
}

struct start_case {
    const char *name;
    std::function<std::string()> list;  // null: a null pointer
    std::function<std::string()> out;   // null: a null pointer
    int expect;
    const char *muxer = nullptr;  // one the case needs in this FFmpeg build
};
VM_PRINTS_AS_NAME(start_case)

class Start : public testing::TestWithParam<start_case> {};

TEST_P(Start, ReturnsItsCode)
{
    const start_case &c = GetParam();
    if (c.muxer && !av_guess_format(c.muxer, nullptr, nullptr))
        GTEST_SKIP() << "this FFmpeg has no " << c.muxer << " muxer";
    std::string list = c.list ? c.list() : "", out = c.out ? c.out() : "";
    auto before = fs::is_regular_file(out) ? fs::file_size(out) : 0;
    int id = videomerge_start(c.list ? list.c_str() : nullptr, c.out ? out.c_str() : nullptr);
    if (id >= 0) {
        EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
        videomerge_free(id);
        fs::remove(out);
    }
    EXPECT_EQ(id < 0 ? id : 0, c.expect);
    if (c.expect < 0 && c.out && fs::is_regular_file(out)) {
        EXPECT_EQ(fs::file_size(out), before) << "a refused start touched its output";
    }
}

auto fx = [](const char *name) { return [=] { return pair_of(name); }; };
auto out_at = [](const char *name) { return [=] { return scratch(name); }; };

// The output path names the first input in other spellings.
std::string copy_of_av(const char *name)
{
    std::string p = scratch(name);
    copy_over(fixture("av.mp4"), p);
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Start,
    testing::Values(
        start_case{"Valid", fx("av.mp4"), out_at("start_ok.mkv"), 0},
        start_case{"NullList", nullptr, out_at("x.mkv"), -1},
        start_case{"EmptyList", [] { return std::string(); }, out_at("x.mkv"), -1},
        start_case{"NullOutput", fx("av.mp4"), nullptr, -1},
        start_case{"EmptyOutput", fx("av.mp4"), [] { return std::string(); }, -1},
        start_case{"OutputOf1198", fx("av.mp4"), [] { return path_of_length(1198, ".mkv"); }, 0},
        start_case{"OutputOf1199", fx("av.mp4"), [] { return path_of_length(1199, ".mkv"); }, -1},
        start_case{"OnePath", [] { return fixture("av.mp4"); }, out_at("x.mkv"), -1},
        start_case{"OverLongLine", [] { return fixture("av.mp4") + "\n" + std::string(1200, 'x'); },
                   out_at("x.mkv"), -1},
        // Writing the output would truncate an input while it is read.
        start_case{"OutputIsAnInput",
                   [] { return path_list({copy_of_av("in_a.mp4"), fixture("av.mp4")}); },
                   [] { return scratch("in_a.mp4"); }, -1},
        start_case{"OutputIsAnInputSpelledOtherwise",
                   [] { return path_list({fixture("av.mp4"), copy_of_av("in_b.mp4")}); },
                   [] { return scratch("") + "./../scratch/in_b.mp4"; }, -1},
        // FFmpeg reads "file:" as the file protocol's prefix: the same file.
        start_case{"OutputIsAnInputWithFilePrefix",
                   [] { return path_list({fixture("av.mp4"), copy_of_av("in_d.mp4")}); },
                   [] { return "file:" + scratch("in_d.mp4"); }, -1},
        start_case{"InputWithFilePrefixIsTheOutput",
                   [] { return path_list({"file:" + copy_of_av("in_e.mp4"), fixture("av.mp4")}); },
                   [] { return scratch("in_e.mp4"); }, -1},
        // Muxers that write files of their own (playlists and segments,
        // manifests, image sequences): one output file is all a job writes.
        start_case{"HlsPlaylist", fx("av.mp4"), out_at("playlist.m3u8"), -1, "hls"},
        start_case{"DashManifest", fx("av.mp4"), out_at("manifest.mpd"), -1, "dash"},
        start_case{"ImageSequence", fx("video.mp4"), out_at("img%03d.jpg"), -1, "image2"},
#if !defined(_WIN32)
        start_case{"OutputLinksToAnInput",
                   [] {
                       std::string in = copy_of_av("in_c.mp4"), link = scratch("link_c.mp4");
                       fs::remove(link);
                       fs::create_symlink(in, link);
                       return path_list({fixture("av.mp4"), in});
                   },
                   [] { return scratch("link_c.mp4"); }, -1},
#endif
        // What stands at the output path is not a place for one file.
        start_case{"OutputIsADirectory", fx("av.mp4"),
                   [] {
                       fs::create_directories(scratch("a_dir.mkv"));
                       return scratch("a_dir.mkv");
                   },
                   -1},
#if !defined(_WIN32)
        start_case{"OutputLinksToADevice", fx("av.mp4"),
                   [] {
                       std::string p = scratch("device_link.mp4");
                       fs::remove(p);
                       fs::create_symlink("/dev/full", p);
                       return p;
                   },
                   -1},
#endif
        start_case{"MissingInput", [] { return path_list({fixture("av.mp4"), fixture("gone.mp4")}); },
                   out_at("x.mkv"), -3},
        start_case{"NotMedia", [] { return path_list({fixture("av.mp4"), fixture(".stamp")}); },
                   out_at("x.mkv"), -3},
        start_case{"Incompatible", [] { return path_list({fixture("av.mp4"), fixture("big.mp4")}); },
                   out_at("x.mkv"), -5},
        start_case{"Rotated", [] { return path_list({fixture("av.mp4"), fixture("rot90.mp4")}); },
                   out_at("x.mp4"), -5},
        start_case{"SwappedLanguages",
                   [] { return path_list({fixture("tagged.mkv"), fixture("swapped.mkv")}); }, out_at("x.mkv"),
                   -5}),
    [](const testing::TestParamInfo<start_case> &i) { return std::string(i.param.name); });

TEST(Jobs, FifthStartFindsTheTableFull)
{
    std::vector<int> ids;
    for (int i = 0; i < 4; i++) {
        ids.push_back(videomerge_start(pair_of("s3.mka").c_str(), scratch("full" + std::to_string(i) + ".mka").c_str()));
        EXPECT_EQ(ids.back(), i);
    }
    EXPECT_EQ(videomerge_start(pair_of("s3.mka").c_str(), scratch("full4.mka").c_str()), -2);
    // Checks come first: a bad request is reported as such, not as a full table.
    EXPECT_EQ(videomerge_start(path_list({fixture("av.mp4"), fixture("big.mp4")}).c_str(),
                               scratch("full5.mkv").c_str()), -5);
    EXPECT_EQ(videomerge_start(path_list({fixture("av.mp4"), fixture("gone.mp4")}).c_str(),
                               scratch("full6.mkv").c_str()), -3);
    EXPECT_FALSE(file_exists(scratch("full4.mka")));
    for (int id : ids) {
        EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
        videomerge_free(id);
    }
    // Freed slots are handed out again, lowest first.
    int id = videomerge_start(pair_of("s3.mka").c_str(), scratch("full0.mka").c_str());
    EXPECT_EQ(id, 0);
    EXPECT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);
    videomerge_free(id);
}

TEST(Jobs, FourRunAtOnce)
{
    std::string list = path_list({fixture("long.mp4"), fixture("av.mp4"), fixture("long.mp4")});
    std::vector<int> ids;
    for (int i = 0; i < 4; i++)
        ids.push_back(videomerge_start(list.c_str(), scratch("four" + std::to_string(i) + ".mp4").c_str()));
    long long packets = -1;
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(ids[i], i);
        EXPECT_EQ(wait_final(ids[i]), VIDEOMERGE_STATE_DONE);
        auto r = parse_answer(videomerge_result(ids[i]));
        if (packets < 0)
            packets = r["packets_written"];
        EXPECT_EQ(r["packets_written"], packets);
        EXPECT_EQ(r["out_size_bytes"], (long long)fs::file_size(scratch("four" + std::to_string(i) + ".mp4")));
    }
    for (int id : ids)
        videomerge_free(id);
}

TEST(Jobs, DoneJobReportsAndKeepsItsOutput)
{
    std::string out = scratch("done.mkv");
    int id = videomerge_start(path_list({fixture("av.mp4"), fixture("av_short.mp4")}).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    int early = videomerge_status(id);
    EXPECT_TRUE(early == 0 || early == 2 || early == 3) << early;
    parse_answer(videomerge_progress(id));
    parse_answer(videomerge_result(id));
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_DONE);

    auto p = parse_answer(videomerge_progress(id));
    EXPECT_EQ(p["state"], 3);
    EXPECT_NE(std::string(videomerge_progress(id)).find(",\"percent\":100.0,"), std::string::npos);
    EXPECT_EQ(p["current_file"], 2);
    EXPECT_EQ(p["total_files"], 2);
    EXPECT_EQ(p["total_ms"], 3200);
    EXPECT_GT(p["processed_ms"], 3000);
    auto r = parse_answer(videomerge_result(id));
    EXPECT_EQ(r["state"], 3);
    EXPECT_EQ(r["ok"], true);
    EXPECT_EQ(r["out_path"], out);
    EXPECT_EQ(r["out_size_bytes"], (long long)fs::file_size(out));
    EXPECT_EQ(r["files_merged"], 2);
    EXPECT_EQ(r["duration_ms"], 3200);
    EXPECT_EQ(r["packets_written"], p["packets"]);
    EXPECT_GE(r["elapsed_ms"], 0);

    videomerge_cancel(id);  // after the end: nothing changes
    EXPECT_EQ(videomerge_status(id), 3);
    videomerge_free(id);
    EXPECT_TRUE(file_exists(out));
    EXPECT_EQ(videomerge_status(id), -1);
    EXPECT_STREQ(videomerge_progress(id), "{\"error\":\"bad id\"}");
    EXPECT_STREQ(videomerge_result(id), "{\"error\":\"bad id\"}");
}

// Open descriptors of this process, or -1 where that cannot be told.
int open_descriptors()
{
#ifdef __linux__
    std::error_code ec;
    int n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        n++;
    return ec ? -1 : n;
#else
    return -1;
#endif
}

// A list has no length limit: a thousand short inputs join with every
// packet of each, and the job never holds more than a few of them open.
TEST(Jobs, AThousandInputsJoin)
{
    const int n = 1000;
    std::vector<std::string> inputs(n, fixture("tiny.mp4"));
    std::string out = scratch("thousand.mkv");
    int before = open_descriptors();
    int id = videomerge_start(path_list(inputs).c_str(), out.c_str());
    ASSERT_GE(id, 0);
    int most = before;
    while (videomerge_status(id) < VIDEOMERGE_STATE_DONE) {
        most = std::max(most, open_descriptors());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    auto r = parse_answer(videomerge_result(id));
    videomerge_free(id);
    ASSERT_EQ(r["state"], 3) << r.dump();
    EXPECT_EQ(r["files_merged"], n);
    if (before >= 0) {
        EXPECT_LT(most - before, 16) << "descriptors open at once during the merge";
    }
    media_read in = read_media(fixture("tiny.mp4")), o = read_media(out);
    ASSERT_TRUE(in.ok);
    ASSERT_TRUE(o.ok);
    ASSERT_EQ(o.kinds, in.kinds);
    for (int s = 0; s < (int)in.kinds.size(); s++)
        EXPECT_EQ(o.of_stream(s).size(), n * in.of_stream(s).size()) << in.kinds[s];
    EXPECT_NEAR(r["output_duration_ms"].get<double>(), n * in.length_s() * 1000, n * 42.0);
}

TEST(Jobs, CancelStopsAndDeletesTheOutput)
{
    std::string out = scratch("cancelled.mp4");
    int id = videomerge_start(busy_list().c_str(), out.c_str());
    ASSERT_GE(id, 0);
    while (parse_answer(videomerge_progress(id))["packets"] == 0 && videomerge_status(id) < 3) {
    }
    videomerge_cancel(id);
    videomerge_cancel(id);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_CANCELLED);
    EXPECT_FALSE(file_exists(out));
    auto r = parse_answer(videomerge_result(id));
    EXPECT_EQ(r["state"], 4);
    EXPECT_EQ(r["ok"], false);
    EXPECT_EQ(r["out_size_bytes"], 0);
    EXPECT_EQ(r["elapsed_ms"], 0);
    EXPECT_EQ(r["files_merged"], 32);
    auto p = parse_answer(videomerge_progress(id));
    EXPECT_EQ(p["state"], 4);
    EXPECT_LT(p["percent"].get<double>(), 100.0);
    videomerge_free(id);
}

TEST(Jobs, FreeOnARunningJobWaitsAndDeletes)
{
    std::string out = scratch("freed.mp4");
    int id = videomerge_start(busy_list().c_str(), out.c_str());
    ASSERT_GE(id, 0);
    videomerge_free(id);
    EXPECT_EQ(videomerge_status(id), -1);
    EXPECT_FALSE(file_exists(out));
}

struct failure_case {
    const char *name;
    std::function<std::string()> list;
    std::function<std::string()> out;
    std::string error;  // exact, or a prefix ending in '*'
};
VM_PRINTS_AS_NAME(failure_case)

class Failure : public testing::TestWithParam<failure_case> {};

TEST_P(Failure, EndsInStateFiveLeavingNothing)
{
    const failure_case &c = GetParam();
    std::string out = c.out();
    int id = videomerge_start(c.list().c_str(), out.c_str());
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_FAILED);
    const char *text = videomerge_result(id);
    auto r = parse_answer(text);
    std::string err = r["error"];
    if (c.error.back() == '*')
        EXPECT_EQ(err.substr(0, c.error.size() - 1), c.error.substr(0, c.error.size() - 1));
    else
        EXPECT_EQ(std::string(text), "{\"state\":5,\"ok\":false,\"error\":\"" + c.error + "\"}");
    if (!fs::is_directory(out)) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(out))) << "left behind: " << out;
    }
    videomerge_free(id);
}


INSTANTIATE_TEST_SUITE_P(
    Cases, Failure,
    testing::Values(
        failure_case{"UnknownExtension", [] { return pair_of("av.mp4"); }, out_at("out.unknownext"),
                     "cannot create output"},
        // FFmpeg has a muxer for it, but the library does not write it.
        failure_case{"FormatNotOnTheList", [] { return pair_of("av.mp4"); }, out_at("out.nut"),
                     "cannot create output"},
        failure_case{"NoSuchDirectory", [] { return pair_of("av.mp4"); }, out_at("no/such/dir.mkv"),
                     "cannot open output file: No such file or directory"},
        // The job cannot create its file in a directory it may not write.
        failure_case{"NoSuchDirectoryOnAFile", [] { return pair_of("av.mp4"); },
                     [] {
                         std::ofstream(scratch("plain_file")) << "x";
                         return scratch("plain_file/out.mkv");
                     },
                     // Windows says "No such file or directory" here.
                     "cannot open output file: *"}),
    [](const testing::TestParamInfo<failure_case> &i) { return std::string(i.param.name); });

// A file at the output path that the job never opened is not the job's to
// delete, neither when the job fails nor when it is freed.
TEST(Jobs, FailureKeepsAFileTheJobNeverOpened)
{
    std::string out = scratch("precious.unknownext");
    std::ofstream(out) << "keep me";
    int id = videomerge_start(pair_of("av.mp4").c_str(), out.c_str());
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), VIDEOMERGE_STATE_FAILED);
    videomerge_free(id);
    EXPECT_EQ(fs::file_size(out), 7u);
}

// Threads ask for the progress and the result of id 0 without pause while
// the host frees that job and starts the next in its slot, alternately two
// and three inputs into two outputs. Every answer is whole: valid JSON, "bad
// id" or the figures of one job (never an empty text, never the count of
// one job with the output of the other).
TEST(Jobs, ReportsRacingFreeAndTheNextStartAreWhole)
{
    std::string two = path_list({fixture("s3.mka"), fixture("s3.mka")});
    std::string three = two + fixture("s3.mka") + "\n";
    std::string out2 = scratch("race2.mka"), out3 = scratch("race3.mka");
    std::atomic<bool> stop{false};
    std::atomic<long> bad{0}, jobs_seen{0};
    std::mutex first_bad_lock;
    std::string first_bad;
    auto judge = [&](const char *text, bool is_result) {
        auto j = nlohmann::json::parse(text, nullptr, false);
        bool ok = !j.is_discarded() && j.is_object();
        if (ok && j.contains("error") && !j.contains("state")) {
            ok = j["error"] == "bad id";
        } else if (ok && is_result) {
            int files = j.value("files_merged", 0);
            ok = (files == 2 && j["out_path"] == out2) || (files == 3 && j["out_path"] == out3);
            jobs_seen++;
        } else if (ok) {
            int files = j.value("total_files", 0);
            ok = (files == 2 && j["total_ms"] == 1000) || (files == 3 && j["total_ms"] == 1500);
            jobs_seen++;
        }
        if (!ok) {
            bad++;
            std::lock_guard<std::mutex> hold(first_bad_lock);
            if (first_bad.empty())
                first_bad = std::string("[") + text + "]";
        }
    };
    std::vector<std::thread> askers;
    for (int t = 0; t < 3; t++)
        askers.emplace_back([&] {
            while (!stop) {
                judge(videomerge_progress(0), false);
                judge(videomerge_result(0), true);
            }
        });
    for (int i = 0; i < 60; i++) {
        bool odd = i % 2;
        int id = videomerge_start((odd ? three : two).c_str(), (odd ? out3 : out2).c_str());
        ASSERT_EQ(id, 0);
        if (i % 3 == 0)
            wait_final(id);
        videomerge_free(id);
    }
    stop = true;
    for (auto &t : askers)
        t.join();
    EXPECT_EQ(bad, 0) << first_bad;
    EXPECT_GT(jobs_seen, 0);
}

// Hundreds of start/cancel/free cycles leave no descriptors or memory.
TEST(Jobs, SoakLeavesNothingBehind)
{
    std::string list = path_list({fixture("av.mp4"), fixture("av_short.mp4")});
    std::string out = scratch("soak.mkv");
    auto cycle = [&](int i) {
        int id = videomerge_start(list.c_str(), out.c_str());
        ASSERT_GE(id, 0);
        if (i % 3 != 2)
            videomerge_cancel(id);
        if (i % 2)
            wait_final(id);
        videomerge_free(id);
    };
    for (int i = 0; i < 20; i++)
        cycle(i);
    int fds = open_descriptors();
    size_t heap = heap_in_use();
    for (int i = 0; i < 300; i++)
        cycle(i);
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_LT(heap_in_use(), heap + 256 * 1024) << "heap grew from " << heap;
}

}  // namespace
