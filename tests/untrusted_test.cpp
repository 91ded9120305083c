// SPDX-License-Identifier: MIT
// Untrusted files and path strings: a file may name only itself. Playlists
// disguised as video, and path strings that name a protocol, must not bring
// another file's bytes (or a server's) into an answer or an output.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support.h"
#include "videomerge.h"

namespace fs = std::filesystem;

namespace {

const char SECRET[] = "SECRET-LINE-1 top secret\nSECRET-LINE-2 more\n";

// Writes a disguised file, in a directory of its own, next to a secret
// text and a real media file.
std::string make(const std::string &name, const std::string &text)
{
    std::string dir = scratch("untrusted_" + name);
    fs::create_directories(dir);
    std::ofstream(dir + "/secret.txt") << SECRET;
    std::ofstream(dir + "/secret.ts") << SECRET;
    copy_over(fixture("av.ts"), dir + "/media.ts");
    std::ofstream(dir + "/" + name) << text;
    return dir + "/" + name;
}

std::string hls(const std::string &segment)
{
    return "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + segment + "\n#EXT-X-ENDLIST\n";
}

struct untrusted_case {
    const char *name;
    std::string (*path)();
};
VM_PRINTS_AS_NAME(untrusted_case)

class Untrusted : public testing::TestWithParam<untrusted_case> {};

TEST_P(Untrusted, IsRefusedEverywhere)
{
    std::string path = GetParam().path();
    auto p = parse_answer(videomerge_probe(path.c_str()));
    EXPECT_EQ(p["ok"], false) << p.dump();
    std::string list = path_list({fixture("av.ts"), path});
    auto c = parse_answer(videomerge_check(list.c_str()));
    EXPECT_EQ(c["ok"], false) << c.dump();
    std::string out = scratch(std::string("untrusted_out_") + GetParam().name + ".ts");
    fs::remove(out);
    EXPECT_EQ(videomerge_start(list.c_str(), out.c_str()), -3);
    EXPECT_FALSE(file_exists(out));
    for (const char *answer : {videomerge_probe(path.c_str()), videomerge_check(list.c_str())})
        EXPECT_EQ(std::string(answer).find("SECRET"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Untrusted,
    testing::Values(
        // FFmpeg itself refuses these two: a segment without a media
        // extension, and one that does not demux.
        untrusted_case{"HlsNamingATextFile", [] { return make("a.mp4", hls(scratch("untrusted_a.mp4/secret.txt"))); }},
        untrusted_case{"HlsNamingTextAsTs", [] { return make("b.mp4", hls("secret.ts")); }},
        // These FFmpeg would follow, reading another local file.
        untrusted_case{"HlsNamingLocalMedia", [] { return make("c.mp4", hls("media.ts")); }},
        untrusted_case{"HlsNamingAServer", [] { return make("d.mp4", hls("http://127.0.0.1:9/x.ts")); }},
        untrusted_case{"ConcatScript", [] { return make("e.mp4", "ffconcat version 1.0\nfile media.ts\n"); }},
        // Path strings that name a protocol rather than a file.
        untrusted_case{"ConcatProtocol", [] { return "concat:" + fixture("av.ts") + "|" + fixture("av.ts"); }},
        untrusted_case{"SubfileProtocol", [] { return "subfile,,start,0,end,0,,:" + fixture("av.ts"); }},
        untrusted_case{"HttpUrl", [] { return std::string("http://127.0.0.1:9/x.ts"); }},
        untrusted_case{"PipeUrl", [] { return std::string("pipe:0"); }}),
    [](const testing::TestParamInfo<untrusted_case> &i) { return std::string(i.param.name); });

TEST(Untrusted, FileUrlsAreStillFiles)
{
    std::string path = "file:" + fixture("av.ts");
    EXPECT_EQ(parse_answer(videomerge_probe(path.c_str()))["ok"], true);
}

// An output that names a protocol is no local file: refused at start.
TEST(Untrusted, OutputGoesOnlyToAFile)
{
    std::string list = path_list({fixture("av.mp4"), fixture("av.mp4")});
    EXPECT_EQ(videomerge_start(list.c_str(), "http://127.0.0.1:9/out.mkv"), -1);
}

}  // namespace
