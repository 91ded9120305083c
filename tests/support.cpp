#include "support.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "videomerge.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/crc.h>
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

bool file_exists(const std::string &path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
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

media_read read_media(const std::string &path)
{
    media_read r;
    AVFormatContext *ic = nullptr;
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0)
        return r;
    if (avformat_find_stream_info(ic, nullptr) < 0) {
        avformat_close_input(&ic);
        return r;
    }
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
        r.packets.push_back(p);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ic);
    r.ok = true;
    return r;
}

std::string decode_errors(const std::string &path)
{
    std::string cmd = "ffmpeg -nostdin -hide_banner -v error -i '" + path + "' -f null - 2>&1";
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f)
        return "cannot run ffmpeg";
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    if (pclose(f) != 0 && out.empty())
        out = "ffmpeg failed";
    return out;
}
