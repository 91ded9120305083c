// SPDX-License-Identifier: MIT
// Which streams the check marks for carrying their own parameter sets.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "inspect/compat.h"
#include "support.h"

namespace {

struct reannex_case {
    const char *name;
    std::vector<std::string> files;
    vm_stream_mask expect;
};
VM_PRINTS_AS_NAME(reannex_case)

class Reannex : public testing::TestWithParam<reannex_case> {};

TEST_P(Reannex, MarksStreamsWhoseParameterSetsDiffer)
{
    const reannex_case &c = GetParam();
    vm_path_list paths;
    for (const auto &f : c.files)
        paths.push_back(fixture(f));
    check_result r;
    r.reannex = 99;
    ASSERT_EQ(compat_check(paths, r), 1) << r.reason;
    EXPECT_EQ(r.reannex, c.expect);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Reannex,
    testing::Values(
        // One encoder setting: copied untouched.
        reannex_case{"SameSettings", {"av.mp4", "av_short.mp4", "av.mkv"}, 0},
        reannex_case{"StartCodesNeedNothing", {"av.ts", "av.ts"}, 0},
        reannex_case{"AudioOnly", {"audio.m4a", "audio.m4a"}, 0},
        reannex_case{"OtherH264Settings", {"av.mp4", "av_short.mp4", "uf.mkv"}, 1},
        reannex_case{"OtherHevcSettings", {"hevc_fast.mp4", "hevc_ultra.mkv"}, 1}),
    [](const testing::TestParamInfo<reannex_case> &i) { return std::string(i.param.name); });

}  // namespace
