// SPDX-License-Identifier: MIT
#include "merge/ts_boundary.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "files/platform_file.h"
#include "inspect/kept_analysis.h"
#include "inspect/media_input.h"
#include "merge/join_start.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace {

// How much of each file around the cut is read again: enough to hold, for
// every audio and subtitle PID, the PES the cut falls in and the one after
// it, at the bit rates of broadcast HD (a few MB a second); a PES that
// starts before it is left as today.
const int64_t TAIL_BYTES = 2 << 20;
const int64_t HEAD_BYTES = 2 << 20;
// Whether the files meet cleanly, and whether the cut splits a PES at all,
// shows within a few hundred transport packets of it: only this much is
// read at a join where nothing was lost (segmenters that cut where every
// PES starts anew, files that do not follow on).
const int64_t NEAR_BYTES = 64 << 10;

// Transport packet sizes FFmpeg's demuxer reads: plain, with a 4-byte time
// code in front (M2TS), with 16 bytes of FEC after.
const int PACKET_SIZES[] = {188, 192, 204};
const int NULL_PID = 0x1FFF;

// `bytes` bytes of the local file at `path`, from its start or up to its
// end; false when it cannot be read (or is no longer a regular file).
bool read_span(const char *path, bool at_end, int64_t bytes, std::vector<uint8_t> *out)
{
    vm_file_status st;
    file_identity(path, &st);
    if (st.kind != VM_FILE_REGULAR)
        return false;
    AVDictionary *opts = nullptr;
    AVIOContext *pb = nullptr;
    int ret = open_local_options(&opts);
    if (ret >= 0)
        ret = avio_open2(&pb, path, AVIO_FLAG_READ, nullptr, &opts);
    av_dict_free(&opts);
    if (ret < 0)
        return false;
    int64_t size = avio_size(pb);
    bool ok = size > 0;
    int64_t from = at_end ? std::max<int64_t>(0, size - bytes) : 0;
    int64_t n = std::min(bytes, size - from);
    if (ok && from > 0)
        ok = avio_seek(pb, from, SEEK_SET) == from;
    if (ok) {
        out->resize((size_t)n);
        ok = avio_read(pb, out->data(), (int)n) == n;
    }
    avio_closep(&pb);
    return ok;
}

// The first sync byte of the packets in `buf` and their size, such that
// every whole packet from there to the buffer's end starts with one: the
// files meet at a packet boundary (of a whole packet or one split by the
// cut). -1 when none does.
int find_packets(const std::vector<uint8_t> &buf, int *size)
{
    for (int p : PACKET_SIZES)
        for (int o = 0; o < p && o + p <= (int)buf.size(); o++) {
            bool all = true;
            for (size_t at = o; at + p <= buf.size() && all; at += p)
                all = buf[at] == 0x47;
            if (all) {
                *size = p;
                return o;
            }
        }
    return -1;
}

// Whether every PID that has packets on both sides of the cut (at byte
// `cut` of buf) carries on its continuity counter across it, and at least
// one does. A packet split by the cut counts as the first after it.
bool counters_follow_on(const std::vector<uint8_t> &buf, int first, int size, size_t cut)
{
    std::vector<int> last(NULL_PID, -1);         // per PID: the counter before the cut
    std::vector<uint8_t> checked(NULL_PID, 0);  // per PID: its first packet after the cut was checked
    int joined = 0;
    for (size_t at = first; at + size <= buf.size(); at += size) {
        const uint8_t *h = &buf[at];
        if (h[1] & 0x80)  // transport error: the recording's own damage
            continue;
        int pid = (h[1] & 0x1F) << 8 | h[2];
        if (pid >= NULL_PID)
            continue;
        int control = h[3] >> 4 & 3, cc = h[3] & 0xF;
        bool payload = control & 1;
        if (at + size <= cut) {
            last[pid] = cc;
            continue;
        }
        if (checked[pid] || last[pid] < 0)
            continue;
        checked[pid] = 1;
        bool discontinuity = (control & 2) && h[4] > 0 && (h[5] & 0x80);
        // A packet may be sent twice (the same counter); one without
        // payload keeps the counter.
        bool follows = payload ? cc == ((last[pid] + 1) & 0xF) || cc == last[pid] : cc == last[pid];
        if (!follows && !discontinuity)
            return false;
        joined++;
    }
    return joined > 0;
}

// Whether the cut (at byte `cut` of buf) splits a PES: it splits a
// transport packet, or a PID's first packet with payload after it does not
// start a PES (or section).
bool splits_pes(const std::vector<uint8_t> &buf, int first, int size, size_t cut)
{
    if ((cut - first) % size != 0)
        return true;
    std::vector<uint8_t> seen(NULL_PID, 0);
    for (size_t at = cut; at + size <= buf.size(); at += size) {
        const uint8_t *h = &buf[at];
        int pid = (h[1] & 0x1F) << 8 | h[2];
        if (pid >= NULL_PID || !(h[3] & 0x10) || seen[pid])
            continue;
        seen[pid] = 1;
        if (!(h[1] & 0x40))
            return true;
    }
    return false;
}

// The end of the file before and the start of the next, `bytes` of each,
// one after the other in *buf, with the cut at *cut. The first transport
// packet in it at *first, their size in *size. False when they cannot be
// read, or do not meet cleanly.
bool read_around_cut(const char *prev_path, const char *next_path, int64_t bytes, std::vector<uint8_t> *buf,
                     size_t *cut, int *first, int *size)
{
    std::vector<uint8_t> head;
    if (!read_span(prev_path, true, bytes, buf) || !read_span(next_path, false, bytes, &head))
        return false;
    *cut = buf->size();
    buf->insert(buf->end(), head.begin(), head.end());
    *first = find_packets(*buf, size);
    return *first >= 0 && (size_t)*first < *cut && counters_follow_on(*buf, *first, *size, *cut);
}

// Reads a byte buffer as a seekable file.
struct memory_file {
    const uint8_t *data;
    int64_t size, pos;
};

int memory_read(void *opaque, uint8_t *buf, int n)
{
    memory_file *f = static_cast<memory_file *>(opaque);
    int64_t left = f->size - f->pos;
    if (left <= 0)
        return AVERROR_EOF;
    int k = (int)std::min<int64_t>(n, left);
    std::memcpy(buf, f->data + f->pos, k);
    f->pos += k;
    return k;
}

int64_t memory_seek(void *opaque, int64_t offset, int whence)
{
    memory_file *f = static_cast<memory_file *>(opaque);
    if (whence & AVSEEK_SIZE)
        return f->size;
    whence &= ~AVSEEK_FORCE;
    int64_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? f->pos + offset
                                             : whence == SEEK_END ? f->size + offset : -1;
    if (to < 0 || to > f->size)
        return AVERROR(EINVAL);
    f->pos = to;
    return to;
}

// One packet of the second reading, with the input stream of `next` it
// belongs to.
struct read_packet {
    AVPacket *pkt;
    int stream;
};

// Demuxes the bytes around the cut with next's demuxer, its streams given
// next's parameters (as the check's analysis is put back on a header read
// alone), and keeps the packets of the streams next has under the same
// PIDs. Returns 1, 0 when the bytes cannot be opened, -1 when out of
// memory.
int demux_again(const uint8_t *data, size_t size, const AVFormatContext *next, std::vector<read_packet> *out)
{
    memory_file file{data, (int64_t)size, 0};
    const int IO_BUFFER = 32768;
    uint8_t *io_buffer = static_cast<uint8_t *>(av_malloc(IO_BUFFER));
    AVIOContext *pb = io_buffer ? avio_alloc_context(io_buffer, IO_BUFFER, 0, &file, memory_read, nullptr, memory_seek)
                                : nullptr;
    if (!pb) {
        av_free(io_buffer);
        return -1;
    }
    AVFormatContext *ic = avformat_alloc_context();
    bool ok = ic != nullptr, opened = false;
    if (ok) {
        ic->pb = pb;
        ic->flags |= AVFMT_FLAG_CUSTOM_IO;
        opened = avformat_open_input(&ic, "", next->iformat, nullptr) >= 0;  // frees ic on failure
    }
    ok = ok && opened;
    std::vector<int> to_next;
    for (unsigned k = 0; ok && k < ic->nb_streams; k++) {
        AVStream *st = ic->streams[k];
        int j = -1;
        for (unsigned i = 0; i < next->nb_streams && j < 0; i++)
            if (next->streams[i]->id == st->id)
                j = (int)i;
        if (j >= 0 && avcodec_parameters_copy(st->codecpar, next->streams[j]->codecpar) < 0)
            ok = false;
        to_next.push_back(j);
    }
    AVPacket *pkt = ok ? av_packet_alloc() : nullptr;
    while (pkt && av_read_frame(ic, pkt) >= 0) {
        int k = pkt->stream_index;
        // Streams found only while reading have no counterpart.
        int j = k >= 0 && k < (int)to_next.size() ? to_next[k] : -1;
        if (j < 0) {
            av_packet_unref(pkt);
            continue;
        }
        AVPacket *kept = av_packet_alloc();
        if (!kept) {
            ok = false;
            break;
        }
        av_packet_move_ref(kept, pkt);
        kept->stream_index = j;
        out->push_back({kept, j});
    }
    ok = ok && pkt;
    av_packet_free(&pkt);
    if (ic)
        avformat_close_input(&ic);
    av_freep(&pb->buffer);  // the one it holds now, which may not be ours
    avio_context_free(&pb);
    return ok ? 1 : opened ? -1 : 0;
}

bool same_times(const AVPacket *a, int64_t pts, int64_t dts)
{
    return a->pts == pts && a->dts == dts && (pts != AV_NOPTS_VALUE || dts != AV_NOPTS_VALUE);
}

// The first packet of input stream s that `js` holds, or null.
const AVPacket *first_held(const join_start *js, int s)
{
    for (int i = js->next; i < js->count; i++)
        if (js->held[i]->stream_index == s)
            return js->held[i];
    return nullptr;
}

// Whether `next` has the streams of the file noted in `b`: the same
// demuxer, as many streams under the same PIDs.
bool same_streams(const ts_boundary *b, const AVFormatContext *next)
{
    if (!b->mpegts || std::strcmp(next->iformat->name, "mpegts") != 0 || (int)next->nb_streams != b->streams)
        return false;
    for (int i = 0; i < b->streams; i++)
        if (next->streams[i]->id != b->pid[i])
            return false;
    return true;
}

}  // namespace

void ts_boundary_begin_file(ts_boundary *b, const AVFormatContext *ic)
{
    b->mpegts = std::strcmp(ic->iformat->name, "mpegts") == 0 && ic->nb_streams <= VM_MAX_STREAMS;
    b->streams = b->mpegts ? (int)ic->nb_streams : 0;
    for (int i = 0; i < b->streams; i++) {
        b->pid[i] = ic->streams[i]->id;
        b->last_pts[i] = b->last_dts[i] = AV_NOPTS_VALUE;
    }
}

int ts_boundary_fill(const ts_boundary *b, const char *prev_path, const char *next_path, const AVFormatContext *next,
                     join_start *js)
{
    if (!same_streams(b, next))
        return 0;
    std::vector<uint8_t> bytes;
    size_t cut = 0;
    int size = 0, first = 0;
    if (!read_around_cut(prev_path, next_path, NEAR_BYTES, &bytes, &cut, &first, &size) ||
        !splits_pes(bytes, first, size, cut))
        return 0;
    // Then more of both, read from the first packet in step with those
    // (the demuxer finds its way past any damage further off).
    size_t near_cut = cut, near_first = first;
    std::vector<uint8_t> head;
    bytes.clear();
    if (!read_span(prev_path, true, TAIL_BYTES, &bytes) || !read_span(next_path, false, HEAD_BYTES, &head))
        return 0;
    cut = bytes.size();
    bytes.insert(bytes.end(), head.begin(), head.end());
    first = (int)((cut - (near_cut - near_first) % size) % size);
    std::vector<read_packet> again;
    int read = demux_again(bytes.data() + first, bytes.size() - first, next, &again);
    bool ok = read > 0;
    // Per stream: the packets between the last one written and the file's
    // first, both found in the second reading.
    std::vector<int> state(b->streams, 0);  // 0: before the last written, 1: in the gap, 2: past it
    std::vector<AVPacket *> gap;
    for (read_packet &r : again) {
        int s = r.stream;
        const AVPacket *first_own = first_held(js, s);
        if (!ok || !first_own || state[s] == 2) {
            av_packet_free(&r.pkt);
            continue;
        }
        if (state[s] == 0) {
            if (same_times(r.pkt, b->last_pts[s], b->last_dts[s]))
                state[s] = 1;
            av_packet_free(&r.pkt);
            continue;
        }
        if (same_times(r.pkt, first_own->pts, first_own->dts)) {
            state[s] = 2;
            av_packet_free(&r.pkt);
            continue;
        }
        r.pkt->pos = -1;
        gap.push_back(r.pkt);
    }
    // A stream whose gap was not closed by the file's first packet keeps
    // nothing of it.
    std::vector<AVPacket *> filled;
    for (AVPacket *p : gap) {
        if (state[p->stream_index] == 2)
            filled.push_back(p);
        else
            av_packet_free(&p);
    }
    if (!ok) {
        for (AVPacket *&p : filled)
            av_packet_free(&p);
        return read;
    }
    if (filled.empty())
        return 0;
    int n = (int)filled.size();
    return join_start_prepend(js, filled.data(), n) < 0 ? -1 : n;
}
