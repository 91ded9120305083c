// SPDX-License-Identifier: MIT
// The parsers that read bytes of the inputs themselves: decoder setups
// (AAC, Vorbis, Opus, FLAC, Theora, MPEG-4 Visual, ASS/SSA extradata),
// AC-3/E-AC-3 frame headers, and FLAC frame headers renumbered for a .flac
// output. Any bytes: no read outside the buffer, no overflow, and answers
// that stay within the buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "inspect/codec_setup.h"
#include "merge/ac3_frames.h"
#include "merge/flac_frames.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

const AVCodecID SETUP_CODECS[] = {AV_CODEC_ID_AAC,    AV_CODEC_ID_VORBIS, AV_CODEC_ID_OPUS,
                                  AV_CODEC_ID_FLAC,   AV_CODEC_ID_THEORA, AV_CODEC_ID_MPEG4,
                                  AV_CODEC_ID_ASS,    AV_CODEC_ID_SSA,    AV_CODEC_ID_H264};

// A stream's parameters with the given extradata (copied, padded as FFmpeg wants it).
AVCodecParameters *parameters(AVCodecID id, const std::vector<uint8_t> &extra, int profile)
{
    AVCodecParameters *par = avcodec_parameters_alloc();
    if (!par)
        return nullptr;
    par->codec_id = id;
    par->codec_type = avcodec_get_type(id);
    par->profile = profile;
    if (!extra.empty()) {
        par->extradata = static_cast<uint8_t *>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata) {
            std::memcpy(par->extradata, extra.data(), extra.size());
            par->extradata_size = (int)extra.size();
        }
    }
    return par;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: {  // two decoder setups, compared
        AVCodecID id = SETUP_CODECS[in.ConsumeIntegralInRange<size_t>(0, sizeof SETUP_CODECS / sizeof *SETUP_CODECS - 1)];
        codec_setup a{}, b{};
        for (codec_setup *s : {&a, &b}) {
            std::vector<uint8_t> extra = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4096));
            AVCodecParameters *par = parameters(id, extra, in.ConsumeIntegralInRange(-100, 100));
            if (!par)
                return 0;
            (void)read_codec_setup(par, s);
            avcodec_parameters_free(&par);
        }
        (void)same_codec_setup(a, b);
        break;
    }
    case 1: {  // an AC-3/E-AC-3 packet
        std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();
        int whole = ac3_whole_frames(bytes.data(), (int)bytes.size());
        if (whole < 0 || whole > (int)bytes.size())
            abort();
        break;
    }
    default: {  // a FLAC packet numbered in a .flac output
        AVFormatContext *oc = nullptr;
        if (avformat_alloc_output_context2(&oc, nullptr, "flac", nullptr) < 0)
            return 0;
        AVStream *st = avformat_new_stream(oc, nullptr);
        AVPacket *pkt = av_packet_alloc();
        if (st && pkt) {
            st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
            st->codecpar->codec_id = AV_CODEC_ID_FLAC;
            st->codecpar->sample_rate = in.ConsumeIntegralInRange(1, 384000);
            st->time_base = AVRational{1, st->codecpar->sample_rate};
            int64_t pts = in.ConsumeIntegralInRange<int64_t>(-1000, INT64_MAX / 2);
            int64_t duration = in.ConsumeIntegralInRange<int64_t>(0, 65536);
            std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();
            // av_new_packet resets the packet's fields: times go on after.
            if (av_new_packet(pkt, (int)bytes.size()) == 0) {
                pkt->pts = pts;
                pkt->duration = duration;
                if (!bytes.empty())
                    std::memcpy(pkt->data, bytes.data(), bytes.size());
                (void)flac_number_frame(pkt, st);
            }
        }
        av_packet_free(&pkt);
        avformat_free_context(oc);
        break;
    }
    }
    return 0;
}
