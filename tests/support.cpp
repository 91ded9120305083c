// SPDX-License-Identifier: MIT
#include "support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "videomerge.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/crc.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/log.h>
}

std::string fixture(const std::string &name)
{
    return std::string(VM_FIXTURE_DIR) + "/" + name;
}

std::string scratch(const std::string &name)
{
    std::filesystem::create_directories(VM_SCRATCH_DIR);
    return std::string(VM_SCRATCH_DIR) + "/" + name;
}

std::vector<std::string> temporary_files_in(const std::string &dir)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
        std::string name = e.path().filename().u8string();
        if (name[0] == '.' && name.find(".videomerge-") != std::string::npos && name.size() > 5 &&
            name.compare(name.size() - 5, 5, ".part") == 0)
            found.push_back(name);
    }
    return found;
}

std::string path_list(const std::vector<std::string> &paths)
{
    std::string list;
    for (const auto &p : paths)
        list += p + "\n";
    return list;
}

nlohmann::json parse_answer(const char *text)
{
    try {
        return nlohmann::json::parse(text);
    } catch (const std::exception &e) {
        ADD_FAILURE() << "not valid JSON: " << e.what() << "\n" << text;
        return nlohmann::json();
    }
}

int wait_final(int id, int (*status)(int))
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        int st = status(id);
        if (st < 0 || st >= VIDEOMERGE_STATE_DONE)
            return st;
        if (std::chrono::steady_clock::now() > until)
            return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

#if defined(_WIN32)
int open_descriptors()
{
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return (int)n;
}
size_t heap_in_use() { return 0; }
#else
int open_descriptors()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            n++;
        closedir(d);
    }
    return n;
}
size_t heap_in_use() { return mallinfo2().uordblks; }
#endif

bool file_exists(const std::string &path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

void copy_over(const std::string &from, const std::string &to)
{
    std::filesystem::remove(to);
    std::filesystem::copy_file(from, to);
}

std::vector<packet_info> media_read::of_stream(int s) const
{
    std::vector<packet_info> out;
    for (const auto &p : packets)
        if (p.stream == s)
            out.push_back(p);
    return out;
}

double media_read::length_s() const
{
    double end = 0;
    for (const auto &p : packets)
        if (!std::isnan(p.pts_s))
            end = std::max(end, p.pts_s + std::max(p.duration_s, 0.0));
    return end - start_us / 1e6;
}

double media_read::joined_length_s() const
{
    const double FRAME_S = 1024 / 48000.0;
    double video = -1, audio = -1;
    for (const auto &p : packets) {
        double end = p.pts_s + std::max(p.duration_s, 0.0) - start_us / 1e6;
        if (std::isnan(end))
            continue;
        if (kinds[p.stream] == "video")
            video = std::max(video, end);
        if (kinds[p.stream] == "audio")
            audio = std::max(audio, end);
    }
    if (video < 0)
        return length_s();
    return audio - FRAME_S > video ? audio : video;
}

AVFormatContext *open_analysed(const std::string &path)
{
    AVFormatContext *ic = nullptr;
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0)
        return nullptr;
    if (avformat_find_stream_info(ic, nullptr) < 0)
        avformat_close_input(&ic);
    return ic;
}

std::string tag(const AVDictionary *d, const char *key)
{
    const AVDictionaryEntry *e = av_dict_get(d, key, nullptr, 0);
    return e ? e->value : "";
}

media_read read_media(const std::string &path)
{
    media_read r;
    AVFormatContext *ic = open_analysed(path);
    if (!ic)
        return r;
    for (unsigned i = 0; i < ic->nb_streams; i++) {
        const char *k = av_get_media_type_string(ic->streams[i]->codecpar->codec_type);
        r.kinds.push_back(k ? k : "?");
    }
    r.start_us = ic->start_time == AV_NOPTS_VALUE ? 0 : ic->start_time;
    const AVCRC *crc = av_crc_get_table(AV_CRC_32_IEEE);
    AVPacket *pkt = av_packet_alloc();
    while (av_read_frame(ic, pkt) >= 0) {
        AVRational tb = ic->streams[pkt->stream_index]->time_base;
        packet_info p;
        p.stream = pkt->stream_index;
        p.pts = pkt->pts;
        p.dts = pkt->dts;
        p.duration = pkt->duration;
        p.pts_s = pkt->pts == AV_NOPTS_VALUE ? NAN : pkt->pts * av_q2d(tb);
        p.dts_s = pkt->dts == AV_NOPTS_VALUE ? NAN : pkt->dts * av_q2d(tb);
        p.duration_s = pkt->duration * av_q2d(tb);
        p.crc = av_crc(crc, 0, pkt->data, pkt->size);
        p.key = pkt->flags & AV_PKT_FLAG_KEY;
        size_t skip_size = 0;
        const uint8_t *skip = av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &skip_size);
        p.discard = skip && skip_size >= 10 ? (int64_t)AV_RL32(skip) + AV_RL32(skip + 4) : 0;
        r.packets.push_back(p);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ic);
    r.ok = true;
    return r;
}

namespace {

// Decoder messages at error level, collected while decode_errors runs.
std::string g_decode_log;

void collect_errors(void *avcl, int level, const char *fmt, va_list vl)
{
    if (level > AV_LOG_ERROR)
        return;
    char line[1024];
    int print_prefix = 1;
    av_log_format_line(avcl, level, fmt, vl, line, sizeof line, &print_prefix);
    g_decode_log += line;
}

}  // namespace

std::string decode_errors(const std::string &path)
{
    AVFormatContext *ic = nullptr;
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0)
        return "cannot open " + path;
    if (avformat_find_stream_info(ic, nullptr) < 0) {
        avformat_close_input(&ic);
        return "no stream info in " + path;
    }
    std::vector<AVCodecContext *> decoders(ic->nb_streams, nullptr);
    std::string problems;
    for (unsigned i = 0; i < ic->nb_streams; i++) {
        const AVCodec *codec = avcodec_find_decoder(ic->streams[i]->codecpar->codec_id);
        if (!codec)
            continue;
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], ic->streams[i]->codecpar);
        decoders[i]->pkt_timebase = ic->streams[i]->time_base;
        if (avcodec_open2(decoders[i], codec, nullptr) < 0)
            problems += "cannot open the decoder of stream " + std::to_string(i) + "\n";
    }
    g_decode_log.clear();
    av_log_set_callback(collect_errors);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    auto drain = [&](AVCodecContext *dec) {
        int ret;
        while ((ret = avcodec_receive_frame(dec, frame)) >= 0)
            av_frame_unref(frame);
        if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
            problems += "decoding failed\n";
    };
    while (av_read_frame(ic, pkt) >= 0) {
        AVCodecContext *dec = decoders[pkt->stream_index];
        if (dec && avcodec_is_open(dec)) {
            if (avcodec_send_packet(dec, pkt) < 0)
                problems += "a packet was refused\n";
            drain(dec);
        }
        av_packet_unref(pkt);
    }
    for (AVCodecContext *dec : decoders)
        if (dec && avcodec_is_open(dec)) {
            avcodec_send_packet(dec, nullptr);
            drain(dec);
        }
    av_log_set_callback(av_log_default_callback);
    for (AVCodecContext *&dec : decoders)
        avcodec_free_context(&dec);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avformat_close_input(&ic);
    return problems + g_decode_log;
}
