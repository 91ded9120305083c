// SPDX-License-Identifier: MIT
// Which bytes of an AC-3 / E-AC-3 packet are whole frames, on made-up
// headers: a piece of a frame is never counted as one.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "merge/ac3_frames.h"
#include "support.h"

namespace {

// An E-AC-3 frame of `bytes` bytes (even, at least 6): sync word, size in
// words less one, bsid 16.
std::vector<uint8_t> eac3_frame(int bytes)
{
    std::vector<uint8_t> f(bytes, 0);
    int words = bytes / 2 - 1;
    f[0] = 0x0B, f[1] = 0x77, f[2] = (uint8_t)(words >> 8 & 7), f[3] = (uint8_t)words;
    f[4] = 0x3f, f[5] = 16 << 3;
    return f;
}

// An AC-3 frame at 48 kHz, 192 kbit/s (frame size code 20): 768 bytes.
std::vector<uint8_t> ac3_frame()
{
    std::vector<uint8_t> f(768, 0);
    f[0] = 0x0B, f[1] = 0x77, f[4] = 20, f[5] = 8 << 3;
    return f;
}

std::vector<uint8_t> join(std::vector<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<uint8_t> first(std::vector<uint8_t> v, size_t n)
{
    v.resize(n);
    return v;
}

std::vector<uint8_t> swapped(std::vector<uint8_t> v)
{
    for (size_t i = 0; i + 1 < v.size(); i += 2)
        std::swap(v[i], v[i + 1]);
    return v;
}

struct frames_case {
    const char *name;
    std::vector<uint8_t> packet;
    int want;  // bytes of whole frames
};
VM_PRINTS_AS_NAME(frames_case)

class Ac3Frames : public testing::TestWithParam<frames_case> {};

TEST_P(Ac3Frames, CountsOnlyWholeFrames)
{
    const frames_case &c = GetParam();
    EXPECT_EQ(ac3_whole_frames(c.packet.data(), (int)c.packet.size()), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ac3Frames,
    testing::Values(
        frames_case{"Eac3Frame", eac3_frame(384), 384},
        frames_case{"Ac3Frame", ac3_frame(), 768},
        frames_case{"ByteSwappedAc3Frame", swapped(ac3_frame()), 768},
        // An independent frame and its dependent one, as the parser joins them.
        frames_case{"TwoFrames", join({eac3_frame(384), eac3_frame(256)}), 640},
        // A broadcast's first packet: a frame, then a piece of the next.
        frames_case{"FrameThenPiece", join({eac3_frame(384), first(eac3_frame(384), 203)}), 384},
        frames_case{"FrameThenJunk", join({eac3_frame(384), std::vector<uint8_t>(203, 0x55)}), 384},
        // A frame cut short at a file's end, and the tail of a frame.
        frames_case{"CutShort", first(eac3_frame(384), 165), 0},
        frames_case{"NoSyncWord", std::vector<uint8_t>(384, 0x55), 0},
        frames_case{"TooShortForAHeader", first(eac3_frame(384), 5), 0},
        frames_case{"Empty", std::vector<uint8_t>{}, 0},
        // Header fields no frame has: 44.1/48/32 kHz only, bsid up to 16.
        frames_case{"ReservedSampleRate", [] { auto f = ac3_frame(); f[4] |= 0xC0; return f; }(), 0},
        frames_case{"UnknownBitstream", [] { auto f = eac3_frame(384); f[5] = 20 << 3; return f; }(), 0}),
    [](const testing::TestParamInfo<frames_case> &i) { return std::string(i.param.name); });

}  // namespace
